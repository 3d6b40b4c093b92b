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

// Gives back an instance's memory and the reference to its class that the
// allocation took; its value is already destroyed, or was never built.
inline void free_instance(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_Free(self);
    Py_DECREF(reinterpret_cast<PyObject*>(type));
}

// A new instance of `type` whose value is built in place from `args`. A
// constructor that throws leaves nothing behind: the instance is freed
// without running dealloc, which would destroy a value that does not exist.
template <class T, class... Args>
PyObject* emplace(PyTypeObject* type, Args&&... args) {
    PyObject* self = check(PyType_GenericAlloc(type, 0));
    try {
        new (&value_of<T>(self)) T(std::forward<Args>(args)...);
    } catch (...) {
        free_instance(self);
        throw;
    }
    return self;
}

// A new instance of `type` holding `value`.
template <class T>
PyObject* wrap(PyTypeObject* type, T&& value) {
    return emplace<std::decay_t<T>>(type, std::forward<T>(value));
}

template <class T>
void dealloc(PyObject* self) noexcept {
    value_of<T>(self).~T();
    free_instance(self);
}

// A property getter: a fresh str, or None for an absent optional text, from
// the text member that the member pointers `Path` reach from the value held
// by instances of `Cell`.
template <class Cell, auto... Path>
PyObject* get_text(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        const auto& text = (std::as_const(value_of<Cell>(self)) .* ... .* Path);
        if constexpr (requires { text.has_value(); }) {
            return new_optional_str(text);
        } else {
            return new_str(text);
        }
    });
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
