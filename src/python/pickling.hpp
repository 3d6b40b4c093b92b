// Pickling and copying. A class opts in with one line in its method table,
//
//     ZUN_PICKLING_AND_COPYING(PickledAsJson<EnvelopeClass>),
//
// which gives it __reduce_ex__ and __reduce__ in one of three forms, and __copy__ and
// __deepcopy__ that return the object itself (nothing of these objects ever changes):
//
//   PickledAsJson<Class>       a record with a JSON form, `Class` as for RecordForms:
//                              rebuilt by the class's from_json from its to_json text.
//   PickledByArguments<Class>  rebuilt by calling a callable with arguments:
//                                static PyObject* rebuilder();  borrowed: the class itself
//                                    when its constructor takes the arguments, else one of
//                                    its static methods as a ClassBound
//                                static PyObject* arguments(PyObject* self);  a new tuple
//   PickleRefused<Class>       never pickled:
//                                static constexpr const char* kMessage;  the TypeError text
//
// ZUN_PICKLING(Form) gives the first two methods alone, for an object that must not be
// copied either: `copy` then falls back on pickling and fails with the same TypeError.
//
// A pickle holds nothing but public text and a callable named through its class, so loading
// one runs the same reader or constructor, with the same checks, as parsing: a tampered
// pickle fails with that reader's error, never gives a record it would refuse. The pickled
// forms are the canonical JSON or the constructor's arguments, and stay as stable as those.
#pragma once

#include <Python.h>

#include <utility>

#include "python/classes.hpp"
#include "python/ft.hpp"
#include "python/guard.hpp"
#include "python/instance.hpp"
#include "python/record_forms.hpp"
#include "python/ref.hpp"

namespace zun::py {

// A static method of a class (fast call with keywords), listed under the same name in the
// class's method table, as a method bound to the class. It pickles by reference, as
// getattr(<class>, "<name>"), the way a method bound to a class does (`int.from_bytes`),
// whatever the interpreter does with static methods; loading such a pickle finds the static
// method by its public name. Bound on first use and kept, like the class it refers to.
class ClassBound {
public:
    ClassBound(const char* name, PyCFunction function) : def_{name, function, kFastKeywords, nullptr} {}

    PyObject* get(PyTypeObject* type) {
        return kept_object(bound_, [&] {
            return check(PyCFunction_NewEx(&def_, reinterpret_cast<PyObject*>(type), nullptr));
        });
    }

private:
    PyMethodDef def_;
    KeptObject bound_{nullptr};
};

inline PyObject* same_object(PyObject* self, PyObject*) noexcept { return Py_NewRef(self); }

template <class Class>
struct PickledAsJson {
    using Forms = RecordForms<Class>;

    static PyObject* reader() {
        static ClassBound from_json{"from_json", method(Forms::from_json)};
        return from_json.get(Class::type());
    }

    static PyObject* reduce(PyObject* self, PyObject*) {
        return guarded([&] {
            PyObject* callable = reader();
            Ref text(new_str(zun::to_json(Forms::record(std::as_const(value_of<typename Class::Cell>(self))))));
            Ref arguments(check(PyTuple_Pack(1, text.get())));
            return check(PyTuple_Pack(2, callable, arguments.get()));
        });
    }
};

template <class Class>
struct PickledByArguments {
    static PyObject* reduce(PyObject* self, PyObject*) {
        return guarded([&] {
            PyObject* callable = Class::rebuilder();
            Ref arguments(Class::arguments(self));
            return check(PyTuple_Pack(2, callable, arguments.get()));
        });
    }
};

template <class Class>
struct PickleRefused {
    static PyObject* reduce(PyObject*, PyObject*) noexcept {
        PyErr_SetString(PyExc_TypeError, Class::kMessage);
        return nullptr;
    }
};

}  // namespace zun::py

// The method-table entries. Pickling asks for __reduce_ex__ first: one of the class's own
// saves the interpreter's default looking up __reduce__ for every object.
#define ZUN_PICKLING(Form)                                                                                    \
    {"__reduce_ex__", ::zun::py::method(Form::reduce), METH_O,                                                \
     "__reduce_ex__($self, protocol, /)\n--\n\n"},                                                            \
    {"__reduce__", ::zun::py::method(Form::reduce), METH_NOARGS, "__reduce__($self)\n--\n\n"}

#define ZUN_PICKLING_AND_COPYING(Form)                                                                        \
    ZUN_PICKLING(Form),                                                                                       \
    {"__copy__", ::zun::py::method(::zun::py::same_object), METH_NOARGS, "__copy__($self)\n--\n\n"},          \
    {"__deepcopy__", ::zun::py::method(::zun::py::same_object), METH_O,                                       \
     "__deepcopy__($self, memo, /)\n--\n\n"}
