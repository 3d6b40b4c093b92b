// Results as new Python objects, the `json` path of the record forms,
// and the quoting of text inside every repr.
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <string_view>

#include "python/ft.hpp"
#include "python/guard.hpp"
#include "python/ref.hpp"

namespace zun::py {

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

// An interned name, made on first use and kept in `slot`: a constant, not
// state. The interned object carries its hash, so lookups with it skip
// hashing; and keeping it spares the interpreter's table of interned names
// an insertion and a deletion at every use.
PyObject* interned(KeptObject& slot, const char* text);

// The text of `json.dumps(dict)`, importing `json` afresh.
std::string json_dumps(PyObject* dict);

// `text` between double quotes, escaped as every repr shows text.
void append_quoted(std::string& out, std::string_view text);

}  // namespace zun::py
