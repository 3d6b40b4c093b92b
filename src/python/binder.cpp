#include "python/binder.hpp"

#include <string>

namespace zun::py {
namespace {

[[noreturn]] void type_error(PyObject* message) {
    PyErr_SetObject(PyExc_TypeError, message);
    Py_XDECREF(message);
    throw PythonError{};
}

std::size_t positional_count(const Signature& sig) {
    std::size_t count = 0;
    for (const Param& p : sig.params) count += p.keyword_only ? 0 : 1;
    return count;
}

[[noreturn]] void too_many_positional(const Signature& sig, Py_ssize_t given) {
    std::size_t required = 0;
    for (const Param& p : sig.params) required += p.required && !p.keyword_only ? 1 : 0;
    const char* verb = given == 1 ? "was" : "were";
    const std::size_t positional = positional_count(sig);
    const auto total = static_cast<Py_ssize_t>(positional);
    if (required == positional) {
        type_error(PyUnicode_FromFormat("%s takes %zd positional arguments but %zd %s given",
                                        sig.display, total, given, verb));
    }
    type_error(PyUnicode_FromFormat("%s takes from %zd to %zd positional arguments but %zd %s given",
                                    sig.display, static_cast<Py_ssize_t>(required), total, given, verb));
}

void bind_keyword(const Signature& sig, PyObject* key, PyObject* value, std::span<PyObject*> out) {
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(key, sig.params[i].name) != 0) continue;
        if (out[i] != nullptr) {
            type_error(PyUnicode_FromFormat("%s got multiple values for argument '%s'", sig.display,
                                            sig.params[i].name));
        }
        out[i] = value;
        return;
    }
    type_error(PyUnicode_FromFormat("%s got an unexpected keyword argument '%S'", sig.display, key));
}

// Missing positional parameters are reported first, as Python does, then
// the keyword-only ones.
[[noreturn]] void missing_required(const Signature& sig, std::span<PyObject*> out) {
    std::vector<const char*> missing;
    bool keyword_only = false;
    for (const bool pass : {false, true}) {
        for (std::size_t i = 0; i < sig.params.size(); ++i) {
            const Param& p = sig.params[i];
            if (p.keyword_only == pass && p.required && out[i] == nullptr) missing.push_back(p.name);
        }
        keyword_only = pass;
        if (!missing.empty()) break;
    }
    std::string names;
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) names += i + 1 == missing.size() ? " and " : ", ";
        names += '\'';
        names += missing[i];
        names += '\'';
    }
    type_error(PyUnicode_FromFormat("%s missing %zd required %s argument%s: %s", sig.display,
                                    static_cast<Py_ssize_t>(missing.size()),
                                    keyword_only ? "keyword-only" : "positional", missing.size() == 1 ? "" : "s",
                                    names.c_str()));
}

void check_required(const Signature& sig, std::span<PyObject*> out) {
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
        if (sig.params[i].required && out[i] == nullptr) missing_required(sig, out);
    }
}

}  // namespace

// Re-raises a pending TypeError as "argument '<param>': <message>" with the
// original's cause; other exceptions pass unchanged.
void fail_argument(const char* param) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PythonError{};
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref owned_type(type), original(value), owned_traceback(traceback);
    Ref message(check(PyObject_Str(original.get())));
    Ref text(check(PyUnicode_FromFormat("argument '%s': %U", param, message.get())));
    Ref error(check(PyObject_CallFunctionObjArgs(PyExc_TypeError, text.get(), nullptr)));
    if (PyObject* cause = PyException_GetCause(original.get())) {
        PyException_SetCause(error.get(), cause);  // steals `cause`
    }
    PyErr_SetObject(PyExc_TypeError, error.get());
    throw PythonError{};
}

namespace {

[[noreturn]] void cannot_cast(PyObject* obj, const char* expected, const char* param) {
    Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
    if (!name) throw PythonError{};
    PyErr_Format(PyExc_TypeError, "'%S' object cannot be cast as '%s'", name.get(), expected);
    fail_argument(param);
}

std::string_view utf8_of(PyObject* str, const char* param) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    if (data == nullptr) fail_argument(param);
    return {data, static_cast<std::size_t>(size)};
}

bool is_sequence(PyObject* obj) {
    if (PyList_Check(obj) || PyTuple_Check(obj)) return true;
    Ref abc(check(PyImport_ImportModule("collections.abc")));
    Ref sequence(check(PyObject_GetAttrString(abc.get(), "Sequence")));
    const int answer = PyObject_IsInstance(obj, sequence.get());
    if (answer < 0) throw PythonError{};
    return answer == 1;
}

}  // namespace

void bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          std::span<PyObject*> out) {
    if (nargs > static_cast<Py_ssize_t>(positional_count(sig))) too_many_positional(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<std::size_t>(i)] = args[i];
    if (kwnames != nullptr) {
        const Py_ssize_t count = PyTuple_Size(kwnames);
        for (Py_ssize_t k = 0; k < count; ++k) {
            bind_keyword(sig, PyTuple_GetItem(kwnames, k), args[nargs + k], out);
        }
    }
    check_required(sig, out);
}

void bind(const Signature& sig, PyObject* args, PyObject* kwargs, std::span<PyObject*> out) {
    const Py_ssize_t nargs = PyTuple_Size(args);
    if (nargs > static_cast<Py_ssize_t>(positional_count(sig))) too_many_positional(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<std::size_t>(i)] = PyTuple_GetItem(args, i);
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) bind_keyword(sig, key, value, out);
    }
    check_required(sig, out);
}

std::string_view to_text(PyObject* obj, const char* param) {
    if (!PyUnicode_Check(obj)) cannot_cast(obj, "str", param);
    return utf8_of(obj, param);
}

std::optional<std::string_view> to_optional_text(PyObject* obj, const char* param) {
    if (obj == nullptr || obj == Py_None) return std::nullopt;
    return to_text(obj, param);
}

std::string_view to_bytes(PyObject* obj, const char* param) {
    if (!PyBytes_Check(obj)) cannot_cast(obj, "bytes", param);
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(obj, &data, &size) < 0) fail_argument(param);
    return {data, static_cast<std::size_t>(size)};
}

std::optional<std::string_view> to_optional_bytes(PyObject* obj, const char* param) {
    if (obj == nullptr || obj == Py_None) return std::nullopt;
    return to_bytes(obj, param);
}

bool to_bool(PyObject* obj, const char* param) {
    if (!PyBool_Check(obj)) cannot_cast(obj, "bool", param);
    return obj == Py_True;
}

std::string to_int_hex(PyObject* obj, const char* param) {
    if (!PyLong_Check(obj)) cannot_cast(obj, "int", param);
    // Base 16 is exempt from the interpreter's limit on digits converted.
    Ref text(PyNumber_ToBase(obj, 16));
    if (!text) fail_argument(param);
    return std::string(utf8_of(text.get(), param));
}

PyObject* to_dict(PyObject* obj, const char* param) {
    if (!PyDict_Check(obj)) cannot_cast(obj, "dict", param);
    return obj;
}

std::vector<std::string> to_text_list(PyObject* obj, const char* param) {
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        fail_argument(param);
    }
    Ref iterator = to_sequence_iterator(obj, param);
    std::vector<std::string> items;
    const Py_ssize_t hint = PySequence_Size(obj);
    if (hint > 0) items.reserve(static_cast<std::size_t>(hint));
    if (hint < 0) PyErr_Clear();
    while (Ref item{PyIter_Next(iterator.get())}) {
        if (!PyUnicode_Check(item.get())) cannot_cast(item.get(), "str", param);
        items.emplace_back(utf8_of(item.get(), param));
    }
    if (PyErr_Occurred()) fail_argument(param);
    return items;
}

std::optional<std::uint64_t> to_unsigned(PyObject* obj, const char* param) {
    if (!PyLong_Check(obj)) cannot_cast(obj, "int", param);
    const unsigned long long value = PyLong_AsUnsignedLongLong(obj);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw PythonError{};
        PyErr_Clear();
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(value);
}

// A text or byte string iterates, but never as the collection a parameter
// asks for: its characters or byte values would be taken one by one.
bool is_string(PyObject* obj) { return PyUnicode_Check(obj) || PyBytes_Check(obj) || PyByteArray_Check(obj); }

Ref to_sequence_iterator(PyObject* obj, const char* param) {
    if (is_string(obj)) cannot_cast(obj, "Sequence", param);
    bool sequence = false;
    try {
        sequence = is_sequence(obj);
    } catch (const PythonError&) {
        fail_argument(param);
    }
    if (!sequence) cannot_cast(obj, "Sequence", param);
    Ref iterator(PyObject_GetIter(obj));
    if (!iterator) fail_argument(param);
    return iterator;
}

Ref to_iterator(PyObject* obj, const char* param) {
    if (is_string(obj)) cannot_cast(obj, "Iterable", param);
    Ref iterator(PyObject_GetIter(obj));
    if (iterator) return iterator;
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PythonError{};
    PyErr_Clear();
    cannot_cast(obj, "Iterable", param);
}

PyObject* to_instance(PyObject* obj, PyTypeObject* type, const char* type_name, const char* param) {
    if (!PyObject_TypeCheck(obj, type)) cannot_cast(obj, type_name, param);
    return obj;
}

}  // namespace zun::py
