// Owning reference to a Python object.
#pragma once

#include <Python.h>

#include <utility>

namespace zun::py {

class Ref {
public:
    Ref() = default;
    // Takes over a new reference (which may be null).
    explicit Ref(PyObject* owned) noexcept : obj_(owned) {}
    static Ref borrow(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        return Ref(borrowed);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(obj_);
            obj_ = std::exchange(other.obj_, nullptr);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    PyObject* get() const noexcept { return obj_; }
    // Hands the reference to the caller.
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    PyObject* obj_ = nullptr;
};

// New references to the shared singletons. From 3.12 on, the headers'
// Py_RETURN_NONE and Py_RETURN_NOTIMPLEMENTED return the object without
// counting a reference, because those interpreters never free it; this abi3
// module also runs on 3.10 and 3.11, which do count, so every return takes
// its own reference whichever headers compiled it.
inline PyObject* new_none() noexcept { return Py_NewRef(Py_None); }
inline PyObject* new_not_implemented() noexcept { return Py_NewRef(Py_NotImplemented); }

}  // namespace zun::py

// The macros that return a singleton without a reference on newer headers
// cannot be used by mistake.
#undef Py_RETURN_NONE
#undef Py_RETURN_NOTIMPLEMENTED
#undef Py_RETURN_TRUE
#undef Py_RETURN_FALSE
#pragma GCC poison Py_RETURN_NONE Py_RETURN_NOTIMPLEMENTED Py_RETURN_TRUE Py_RETURN_FALSE
