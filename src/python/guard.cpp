#include "python/guard.hpp"

#include "python/ft.hpp"

namespace zun::py {
namespace {

constexpr const char* kPanicDoc =
    "Raised when the extension's native code fails an internal invariant.\n\n"
    "Like `SystemExit`, it derives from `BaseException`, so that it normally\n"
    "propagates to the top of the stack and ends the interpreter.";

constexpr const char* kGenericPanic = "the extension failed an internal invariant without a message";

// Created on first use and kept for the life of the process. Null when it
// cannot be created, with the creation's own error pending.
PyObject* panic_type() noexcept {
    static KeptObject type;
    try {
        return kept_object(type, [] {
            return check(PyErr_NewExceptionWithDoc("zun_protocol.PanicException", kPanicDoc, PyExc_BaseException,
                                                   nullptr));
        });
    } catch (const PythonError&) {
        return nullptr;
    }
}

}  // namespace

void raise_panic(const char* message) noexcept {
    PyObject* type = panic_type();
    if (type == nullptr) return;  // the creation's own error is pending
    PyErr_SetString(type, message != nullptr ? message : kGenericPanic);
}

}  // namespace zun::py
