#include "python/frame.hpp"

#include "core/text/debug_quote.hpp"

namespace zun::py {
namespace {

constexpr const char* kPanicDoc =
    "Raised when the extension's native code fails an internal invariant.\n\n"
    "Like `SystemExit`, it derives from `BaseException`, so that it normally\n"
    "propagates to the top of the stack and ends the interpreter.";

constexpr const char* kGenericPanic = "the extension failed an internal invariant without a message";

// Created on first use and kept for the life of the process; callers hold
// the interpreter lock, which serialises the creation.
PyObject* panic_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc("zun_protocol.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
    }
    return type;
}

// An interned name, made on first use and kept: a constant, not state. The
// interned object carries its hash, so lookups with it skip hashing.
PyObject* interned(PyObject*& slot, const char* text) {
    if (slot == nullptr) slot = check(PyUnicode_InternFromString(text));
    return slot;
}

PyObject* json_function(PyObject* name) {
    // Imported at each call: the module keeps no reference to `json`.
    static PyObject* module_name = nullptr;
    Ref json(check(PyImport_ImportModuleLevelObject(interned(module_name, "json"), nullptr, nullptr, nullptr, 0)));
    return check(PyObject_GetAttr(json.get(), name));
}

}  // namespace

void raise_panic(const char* message) noexcept {
    PyObject* type = panic_type();
    if (type == nullptr) return;  // the creation's own error is pending
    PyErr_SetString(type, message != nullptr ? message : kGenericPanic);
}

PyObject* json_loads(std::string_view text) {
    static PyObject* name = nullptr;
    Ref loads(json_function(interned(name, "loads")));
    Ref str(new_str(text));
    return check(PyObject_CallFunctionObjArgs(loads.get(), str.get(), nullptr));
}

std::string json_dumps(PyObject* dict) {
    static PyObject* name = nullptr;
    Ref dumps(json_function(interned(name, "dumps")));
    Ref text(check(PyObject_CallFunctionObjArgs(dumps.get(), dict, nullptr)));
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (data == nullptr) throw PythonError{};
    return std::string(data, static_cast<std::size_t>(size));
}

PyObject* negated_equality(PyObject* self, PyObject* other) noexcept {
    Ref equal(PyObject_RichCompare(self, other, Py_EQ));
    if (!equal) return nullptr;
    const int truth = PyObject_IsTrue(equal.get());
    if (truth < 0) return nullptr;
    return new_bool(truth == 0);
}

void append_quoted(std::string& out, std::string_view text) { zun::append_debug_quoted(out, text); }

}  // namespace zun::py
