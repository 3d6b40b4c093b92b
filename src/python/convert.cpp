#include "python/convert.hpp"

#include "core/text/debug_quote.hpp"

namespace zun::py {
PyObject* interned(KeptObject& slot, const char* text) {
    return kept_object(slot, [&] { return check(PyUnicode_InternFromString(text)); });
}

namespace {

PyObject* json_function(PyObject* name) {
    // Imported at each call: the module keeps no reference to `json`.
    static KeptObject module_name;
    Ref json(check(PyImport_ImportModuleLevelObject(interned(module_name, "json"), nullptr, nullptr, nullptr, 0)));
    return check(PyObject_GetAttr(json.get(), name));
}

}  // namespace

std::string json_dumps(PyObject* dict) {
    static KeptObject name;
    Ref dumps(json_function(interned(name, "dumps")));
    Ref text(check(PyObject_CallFunctionObjArgs(dumps.get(), dict, nullptr)));
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (data == nullptr) throw PythonError{};
    return std::string(data, static_cast<std::size_t>(size));
}

void append_quoted(std::string& out, std::string_view text) { zun::append_debug_quoted(out, text); }

}  // namespace zun::py
