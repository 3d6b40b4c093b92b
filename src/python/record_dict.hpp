// The dictionary forms of the wire records, made from and read into the
// records directly by the descriptions the JSON reader follows, without the
// JSON text and the `json` module in between.
#pragma once

#include <Python.h>

#include "core/json/json_reader.hpp"
#include "core/json/record_json.hpp"

namespace zun::py {

// What `json.loads(to_json(record))` gives: the same keys in the same order,
// the same values of the same types.
PyObject* new_record_dict(const json::RecordDesc& desc, const void* record);

// Reads an exact dict into `out`, a default-built record of the described
// type, when the record is certainly the one `json.dumps` of the dict and
// the JSON reader would give. False, with no exception set and `out` holding
// part of the dict, wherever that is in doubt: anything but exact dicts with
// exact str keys and exact str, int, bool, None, list and dict values; text
// with surrogates; ints beyond 64 bits; nesting beyond the reader's limit;
// and every value the reader would refuse. The JSON path then answers.
bool read_record_dict(PyObject* dict, const json::RecordDesc& desc, void* out);

template <class Record>
PyObject* new_record_dict(const Record& record) {
    return new_record_dict(wire_description<Record>(), &record);
}

template <class Record>
bool read_record_dict(PyObject* dict, Record& out) {
    return read_record_dict(dict, wire_description<Record>(), &out);
}

}  // namespace zun::py
