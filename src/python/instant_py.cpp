#include "python/instant_py.hpp"

#include "core/time/instant.hpp"
#include "python/convert.hpp"
#include "python/guard.hpp"
#include "python/ref.hpp"

namespace zun::py {
namespace {

constexpr const char* kLeapSecondWarning = "ignored leap-second, `datetime` does not support leap-seconds";

// Attribute and module names, interned once: constants, not state.
struct Names {
    PyObject* datetime;
    PyObject* timezone;
    PyObject* utc;
};

Names names() {
    static KeptObject datetime, timezone, utc;
    return {interned(datetime, "datetime"), interned(timezone, "timezone"), interned(utc, "utc")};
}

// The limited API has no datetime C API, so the objects are built by
// calling the module's own classes. The module is looked up at each call,
// as the host has it, and no reference to it is kept.
Ref datetime_module(const Names& n) {
    if (PyObject* module = PyImport_GetModule(n.datetime)) return Ref(module);
    if (PyErr_Occurred()) throw PythonError{};
    return Ref(check(PyImport_Import(n.datetime)));
}

// Steals `item` into `tuple` at `index`.
void put(PyObject* tuple, Py_ssize_t index, PyObject* item) {
    if (PyTuple_SetItem(tuple, index, check(item)) < 0) throw PythonError{};
}

}  // namespace

PyObject* new_datetime(const Instant& instant) {
    const CivilDateTime civil = to_civil(instant);
    const Names n = names();
    Ref module = datetime_module(n);
    Ref datetime_class(check(PyObject_GetAttr(module.get(), n.datetime)));
    Ref timezone(check(PyObject_GetAttr(module.get(), n.timezone)));
    Ref utc(check(PyObject_GetAttr(timezone.get(), n.utc)));

    // datetime(year, month, day, hour, minute, second, microsecond, tzinfo)
    Ref args(check(PyTuple_New(8)));
    put(args.get(), 0, PyLong_FromLongLong(civil.year));
    put(args.get(), 1, PyLong_FromUnsignedLong(civil.month));
    put(args.get(), 2, PyLong_FromUnsignedLong(civil.day));
    put(args.get(), 3, PyLong_FromUnsignedLong(civil.hour));
    put(args.get(), 4, PyLong_FromUnsignedLong(civil.minute));
    put(args.get(), 5, PyLong_FromUnsignedLong(civil.second));
    put(args.get(), 6, PyLong_FromUnsignedLong(civil.nanos / 1000));
    put(args.get(), 7, utc.release());
    Ref result(check(PyObject_Call(datetime_class.get(), args.get(), nullptr)));

    // The object exists before the warning, so a year datetime refuses
    // raises its ValueError without a warning first.
    if (civil.leap && PyErr_WarnEx(PyExc_UserWarning, kLeapSecondWarning, 1) < 0) throw PythonError{};
    return result.release();
}

PyObject* new_optional_datetime(const std::optional<Instant>& instant) {
    if (!instant) return new_none();
    return new_datetime(*instant);
}

}  // namespace zun::py
