// What every entry point of the module shares: the call guard, the instance
// layout of value classes, result conversion and the comparison slots.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "python/ref.hpp"

namespace zun::py {

// Thrown inside an entry point once a Python exception has been set; the
// guard turns it into a NULL return.
struct PythonError {};

// Sets PanicException with `message` (or a generic text when null).
void raise_panic(const char* message) noexcept;

// Runs an entry point's body. A C++ exception that escapes the body becomes
// PanicException; anything escaping this handling ends the process, which
// `noexcept` guarantees.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const PythonError&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic(nullptr);
    }
    return nullptr;
}

// Throws PythonError when `obj` is null (a Python call failed).
inline PyObject* check(PyObject* obj) {
    if (obj == nullptr) throw PythonError{};
    return obj;
}

// ---- instances --------------------------------------------------------------

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

// ---- results ------------------------------------------------------------------

inline PyObject* new_str(std::string_view text) {
    return check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

inline PyObject* new_optional_str(const std::optional<std::string>& text) {
    if (!text) return new_none();
    return new_str(*text);
}

inline PyObject* new_bytes(std::string_view data) {
    return check(PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size())));
}

inline PyObject* new_bool(bool value) { return PyBool_FromLong(value ? 1 : 0); }

// `json.loads(text)`, importing `json` afresh.
PyObject* json_loads(std::string_view text);
// The text of `json.dumps(dict)`, importing `json` afresh.
std::string json_dumps(PyObject* dict);

// ---- comparison -------------------------------------------------------------

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

// ---- repr -------------------------------------------------------------------

// `text` between double quotes, escaped as every repr shows text.
void append_quoted(std::string& out, std::string_view text);

}  // namespace zun::py
