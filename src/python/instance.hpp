// The instance layout of value classes, and the slots they share:
// deallocation and comparison by value.
#pragma once

#include <Python.h>

#include <new>
#include <type_traits>
#include <utility>

#include "python/convert.hpp"
#include "python/guard.hpp"
#include "python/ref.hpp"

namespace zun::py {

template <class T>
struct Instance {
    PyObject_HEAD
    T value;
};

template <class T>
T& value_of(PyObject* self) noexcept {
    return reinterpret_cast<Instance<T>*>(self)->value;
}

// A new instance of `type` holding `value`.
template <class T>
PyObject* wrap(PyTypeObject* type, T&& value) {
    PyObject* self = check(PyType_GenericAlloc(type, 0));
    new (&value_of<std::decay_t<T>>(self)) std::decay_t<T>(std::forward<T>(value));
    return self;
}

template <class T>
void dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    value_of<T>(self).~T();
    PyObject_Free(self);
    Py_DECREF(reinterpret_cast<PyObject*>(type));
}

// `a != b` as the negated truth of the interpreter's `a == b`.
PyObject* negated_equality(PyObject* self, PyObject* other) noexcept;

// `==` by value against the same class and NotImplemented for anything else;
// ordering is unsupported.
template <class T>
PyObject* richcompare(PyObject* self, PyObject* other, int op) noexcept {
    if (op == Py_EQ) {
        if (Py_TYPE(other) != Py_TYPE(self)) return new_not_implemented();
        return new_bool(value_of<T>(self) == value_of<T>(other));
    }
    if (op == Py_NE) return negated_equality(self, other);
    return new_not_implemented();
}

}  // namespace zun::py
