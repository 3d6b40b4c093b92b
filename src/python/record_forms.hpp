// The record forms shared by every record class with a wire form:
// from_json, from_dict, to_json and to_dict. The dict forms are defined by
// the JSON ones: to_dict is json.loads(to_json()), from_dict(d) is
// from_json(json.dumps(d)), results and messages alike.
#pragma once

#include <Python.h>

#include <string_view>
#include <utility>

#include "core/json/record_json.hpp"
#include "python/binder.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/guard.hpp"
#include "python/instance.hpp"
#include "python/record_dict.hpp"

namespace zun::py {

inline constexpr Param kJsonTextParams[] = {{"s", true}};
inline constexpr Param kDictParams[] = {{"d", true}};

// `Class` describes one record class:
//   using Cell = ...;                       what its instances hold
//   static constexpr const char* kName;     the name in "invalid <Name> JSON: "
//   static constexpr Signature kFromJson;   over kJsonTextParams
//   static constexpr Signature kFromDict;   over kDictParams
//   static PyTypeObject* type();
// and, when a cell holds more than the core record, where the record is:
//   static auto& record(Cell&);
//   static const auto& record(const Cell&);
template <class Class>
struct RecordForms {
    using Cell = typename Class::Cell;

    template <class C>
    static auto& record(C& cell) {
        if constexpr (requires { Class::record(cell); }) {
            return Class::record(cell);
        } else {
            return cell;
        }
    }

    // The one reading path of from_json and from_dict; a failed read creates
    // no object.
    static PyObject* read(std::string_view text) {
        Cell cell{};
        if (const auto error = zun::from_json(text, record(cell))) raise_invalid_json(Class::kName, *error);
        return wrap(Class::type(), std::move(cell));
    }

    static PyObject* from_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return guarded([&] {
            const auto bound = bind<1>(Class::kFromJson, args, nargs, kwnames);
            return read(to_text(bound[0], "s"));
        });
    }

    // The record `from_json(json.dumps(d))` reads. Exact dicts of plain
    // values are read directly; everything else, and every dict the reader
    // refuses, takes that path itself, which alone writes the messages.
    static PyObject* from_dict(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return guarded([&] {
            const auto bound = bind<1>(Class::kFromDict, args, nargs, kwnames);
            PyObject* dict = py::to_dict(bound[0], "d");
            if (PyDict_CheckExact(dict)) {
                // Read in place; an instance that is not read is dropped unseen.
                Ref self(emplace<Cell>(Class::type()));
                if (read_record_dict(dict, record(value_of<Cell>(self.get())))) return self.release();
            }
            return read(json_dumps(dict));
        });
    }

    static PyObject* to_json(PyObject* self, PyObject*) {
        return guarded([&] { return new_str(zun::to_json(record(std::as_const(value_of<Cell>(self))))); });
    }

    static PyObject* to_dict(PyObject* self, PyObject*) {
        return guarded([&] { return new_record_dict(record(std::as_const(value_of<Cell>(self)))); });
    }
};

}  // namespace zun::py
