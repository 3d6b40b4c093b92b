// The call guard every entry point of the module runs under: a C++ failure
// becomes a Python exception and a NULL return, never an unwinding into the
// interpreter.
#pragma once

#include <Python.h>

#include <exception>
#include <new>

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

}  // namespace zun::py
