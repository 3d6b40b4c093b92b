// Argument binding and conversion for every callable with parameters, with
// the exact TypeError texts callers rely on.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "python/guard.hpp"
#include "python/instance.hpp"

namespace zun::py {

struct Param {
    const char* name;
    bool required;
    // Keyword-only parameters follow all the others.
    bool keyword_only = false;
};

// `display` is how messages name the callable, e.g. "ProtocolAddress.parse()".
struct Signature {
    const char* display;
    std::span<const Param> params;
};

// Binds the arguments of a fast call (or of `__new__`) to `sig`'s parameters.
// `out` receives one borrowed reference per parameter, null where an optional
// parameter was not given. Throws PythonError with the TypeError set.
void bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          std::span<PyObject*> out);
void bind(const Signature& sig, PyObject* args, PyObject* kwargs, std::span<PyObject*> out);

template <std::size_t N>
std::array<PyObject*, N> bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    std::array<PyObject*, N> out{};
    if (kwnames == nullptr && nargs == static_cast<Py_ssize_t>(N) && (N == 0 || !sig.params[N - 1].keyword_only)) {
        // Every parameter given by position: nothing can be missing or doubled.
        for (std::size_t i = 0; i < N; ++i) out[i] = args[i];
        return out;
    }
    // Qualified: an unqualified call also finds std::bind through the array's namespace,
    // and that template matches better than the conversion to a span, so libc++ would
    // build a discarded bind expression instead of binding anything.
    zun::py::bind(sig, args, nargs, kwnames, out);
    return out;
}

template <std::size_t N>
std::array<PyObject*, N> bind(const Signature& sig, PyObject* args, PyObject* kwargs) {
    std::array<PyObject*, N> out{};
    zun::py::bind(sig, args, kwargs, out);
    return out;
}

// Conversions. Each throws PythonError; a TypeError is re-raised as
// "argument '<param>': <message>" keeping the original's cause.

// `str` (and subclasses) as UTF-8, valid while `obj` lives.
std::string_view to_text(PyObject* obj, const char* param);
// As to_text; null or None is absent.
std::optional<std::string_view> to_optional_text(PyObject* obj, const char* param);
// `bytes` (and subclasses) only.
std::string_view to_bytes(PyObject* obj, const char* param);
// As to_bytes; null or None is absent.
std::optional<std::string_view> to_optional_bytes(PyObject* obj, const char* param);
// `bool` only: neither an int nor any other object with a truth value.
bool to_bool(PyObject* obj, const char* param);
// An `int` (and subclasses) of any size, as Python's hex() writes it
// ("0x1f", "-0x1f").
std::string to_int_hex(PyObject* obj, const char* param);
// The same bytes as unsigned octets, for the cryptographic core.
inline std::span<const std::uint8_t> byte_span(std::string_view data) {
    return {reinterpret_cast<const std::uint8_t*>(data.data()), data.size()};
}
// `dict` (and subclasses).
PyObject* to_dict(PyObject* obj, const char* param);
// Any sequence whose items are all `str`; a `str` itself is refused.
std::vector<std::string> to_text_list(PyObject* obj, const char* param);
// An `int` (and subclasses, bool among them) as an unsigned 64-bit number;
// nullopt for an int below 0 or above 2**64 - 1.
std::optional<std::uint64_t> to_unsigned(PyObject* obj, const char* param);
// A new iterator over `obj`, for a parameter that takes any iterable; a
// str, bytes or bytearray is refused.
Ref to_iterator(PyObject* obj, const char* param);
// A new iterator over `obj`, which must be registered as a sequence; a str,
// bytes or bytearray is refused.
Ref to_sequence_iterator(PyObject* obj, const char* param);
// Re-raises the pending exception as the conversion error of `param` (a
// TypeError gets the "argument '<param>': " prefix; others pass unchanged).
[[noreturn]] void fail_argument(const char* param);
// An instance of `type`, named `type_name` in the message.
PyObject* to_instance(PyObject* obj, PyTypeObject* type, const char* type_name, const char* param);

template <class T>
T& to_record(PyObject* obj, PyTypeObject* type, const char* type_name, const char* param) {
    return value_of<T>(to_instance(obj, type, type_name, param));
}

}  // namespace zun::py
