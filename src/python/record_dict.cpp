#include "python/record_dict.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/protocol/records.hpp"
#include "core/text/hex.hpp"
#include "core/time/instant.hpp"
#include "python/convert.hpp"
#include "python/guard.hpp"
#include "python/ref.hpp"

namespace zun::py {
namespace {

using json::FieldDesc;
using json::FieldKind;
using json::RecordDesc;
using Hash = std::array<std::uint8_t, 32>;

// ---- keys and shapes ----

// The Python objects of one description, made on first use and kept for the
// process: constants, as the module's other interned names are.
//  - Its keys, interned. Dicts written with literal keys (which the
//    compiler interns) hold the same objects, so reading them compares
//    pointers.
//  - Its dict shapes: for each set of members a record leaves out, a dict
//    of the other keys in writer order, each with None. A new dict copies
//    its shape (one block copy, at the size it ends with) and replaces the
//    values, where inserting key after key would grow the dict twice on
//    the way.
//  - Where each member lies in a record, learnt from the first record met.
//    A walk over a record's fields reaches each member by its offset rather
//    than through the description's accessor: one indirect call per field,
//    each to another function, costs the processor a mispredicted branch
//    every time.
struct DescObjects {
    const RecordDesc* desc = nullptr;
    bool complete = false;
    bool placed = false;
    std::array<PyObject*, json::kMaxFields> key{};
    std::array<std::ptrdiff_t, json::kMaxFields> offset{};
    std::vector<std::pair<json::SeenFields, PyObject*>> shapes;

    void* member(void* record, std::size_t k) {
        if (!placed) {
            for (std::size_t i = 0; i < desc->fields.size(); ++i) {
                offset[i] = static_cast<char*>(desc->fields[i].member(record)) - static_cast<char*>(record);
            }
            placed = true;
        }
        return static_cast<char*>(record) + offset[k];
    }
    const void* member(const void* record, std::size_t k) {
        // The accessor only computes an address.
        return member(const_cast<void*>(record), k);
    }

    PyObject* shape(json::SeenFields written) {
        for (const auto& [fields, dict] : shapes) {
            if (fields == written) return dict;
        }
        Ref dict(check(PyDict_New()));
        for (std::size_t k = 0; k < desc->fields.size(); ++k) {
            if ((written & (json::SeenFields{1} << k)) == 0) continue;
            if (PyDict_SetItem(dict.get(), key[k], Py_None) < 0) throw PythonError{};
        }
        shapes.reserve(shapes.size() + 1);
        return shapes.emplace_back(written, dict.release()).second;
    }
};

DescObjects& objects_of(const RecordDesc& desc) {
    // A deque keeps every entry in place while a nested description's
    // entry is added during a walk that still uses its parent's. Never
    // destroyed: the objects it points to live as long as the process, and
    // freeing the table at exit would leave them unreachable.
    static auto& table = *new std::deque<DescObjects>;
    DescObjects* entry = nullptr;
    for (DescObjects& candidate : table) {
        if (candidate.desc == &desc) {
            entry = &candidate;
            break;
        }
    }
    if (entry == nullptr) entry = &table.emplace_back(DescObjects{&desc});
    if (!entry->complete) {
        // A failure leaves the keys made so far in place for the next call.
        for (std::size_t k = 0; k < desc.fields.size(); ++k) {
            if (entry->key[k] != nullptr) continue;
            const std::string_view text = desc.fields[k].key;
            PyObject* key = check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
            PyUnicode_InternInPlace(&key);
            entry->key[k] = key;
        }
        entry->complete = true;
    }
    return *entry;
}

// The names of an enumeration as interned str objects, made on first use
// and kept for the process; a new reference to one of them.
PyObject* new_name(std::span<const std::string_view> names, std::size_t index) {
    struct Names {
        const std::string_view* first;
        std::vector<PyObject*> objects;
    };
    static auto& table = *new std::deque<Names>;  // never destroyed, as above
    Names* entry = nullptr;
    for (Names& candidate : table) {
        if (candidate.first == names.data()) {
            entry = &candidate;
            break;
        }
    }
    if (entry == nullptr) {
        entry = &table.emplace_back(Names{names.data(), std::vector<PyObject*>(names.size(), nullptr)});
    }
    PyObject*& name = entry->objects[index];
    if (name == nullptr) {
        const std::string_view text = names[index];
        PyObject* made = check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
        PyUnicode_InternInPlace(&made);
        name = made;
    }
    return Py_NewRef(name);
}

// ---- records to dicts ----

template <class Item, class MakeOne>
PyObject* new_list(const std::vector<Item>& items, MakeOne make_one) {
    Ref list(check(PyList_New(static_cast<Py_ssize_t>(items.size()))));
    for (std::size_t i = 0; i < items.size(); ++i) {
        // The list takes the reference, even when it refuses the item.
        if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), make_one(items[i])) < 0) throw PythonError{};
    }
    return list.release();
}

PyObject* new_value(const FieldDesc& field, const void* value) {
    switch (field.kind) {
        case FieldKind::text: return new_str(*static_cast<const std::string*>(value));
        case FieldKind::boolean: return new_bool(*static_cast<const bool*>(value));
        case FieldKind::text_list:
            return new_list(*static_cast<const std::vector<std::string>*>(value),
                            [](const std::string& text) { return new_str(text); });
        case FieldKind::enumeration: {
            std::uint8_t index = 0;
            std::memcpy(&index, value, 1);
            return new_name(field.names, index);
        }
        case FieldKind::record: return new_record_dict(*field.nested, value);
        case FieldKind::instant: {
            char text[kMaxInstantText];
            return new_str(std::string_view(text, format_instant(*static_cast<const Instant*>(value), text)));
        }
        case FieldKind::unsigned_integer:
            return check(PyLong_FromUnsignedLongLong(*static_cast<const std::uint64_t*>(value)));
        case FieldKind::hash_list:
            return new_list(*static_cast<const std::vector<Hash>*>(value), [](const Hash& hash) {
                char text[2 * sizeof(Hash)];
                hex_encode_to(hash, text);
                return new_str(std::string_view(text, sizeof text));
            });
    }
    return new_none();
}

// ---- dicts to records ----

// The UTF-8 of an exact str. Nothing for a subclass, which like every
// subclass is left to json.dumps, and for text with a surrogate, which
// json.dumps writes as a \u escape that the reader then judges on its own
// terms (a lone one is refused, a pair read as one character).
std::optional<std::string_view> exact_text(PyObject* obj) {
    if (!PyUnicode_CheckExact(obj)) return std::nullopt;
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (data == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    return std::string_view(data, static_cast<std::size_t>(size));
}

// Containers at `level` (the record being read is 1) are within the
// reader's limit, which holds for the values of unknown keys as well.
bool within_nesting(int level) { return level <= json::kMaxNesting; }

// Each item of an exact list at `level`, each item held while it is read.
template <class ReadOne>
bool read_list(PyObject* list, int level, ReadOne read_one) {
    if (!PyList_CheckExact(list) || !within_nesting(level)) return false;
    for (Py_ssize_t i = 0; i < PyList_Size(list); ++i) {
        const Ref item = Ref::borrow(PyList_GetItem(list, i));
        if (!item) {
            PyErr_Clear();
            return false;
        }
        if (!read_one(item.get())) return false;
    }
    return true;
}

// Each member of an exact dict, key and value held while they are read.
template <class ReadOne>
bool read_members(PyObject* dict, ReadOne read_one) {
    Py_ssize_t position = 0;
    PyObject* borrowed_key = nullptr;
    PyObject* borrowed_value = nullptr;
    while (PyDict_Next(dict, &position, &borrowed_key, &borrowed_value)) {
        const Ref key = Ref::borrow(borrowed_key);
        const Ref value = Ref::borrow(borrowed_value);
        if (!read_one(key.get(), value.get())) return false;
    }
    return true;
}

// The value of an unknown key, which the reader checks and skips: anything
// json.dumps writes as JSON the reader takes. Ints are held to 64 bits, as
// json.dumps refuses ints with too many digits to convert.
bool ignorable(PyObject* value, int level) {
    if (value == Py_None || value == Py_True || value == Py_False || PyUnicode_CheckExact(value)) return true;
    if (PyLong_CheckExact(value)) {
        int overflow = 0;
        PyLong_AsLongLongAndOverflow(value, &overflow);
        return overflow == 0;
    }
    if (PyList_CheckExact(value)) {
        return read_list(value, level, [&](PyObject* item) { return ignorable(item, level + 1); });
    }
    if (PyDict_CheckExact(value) && within_nesting(level)) {
        return read_members(value, [&](PyObject* key, PyObject* item) {
            return PyUnicode_CheckExact(key) && ignorable(item, level + 1);
        });
    }
    return false;
}

constexpr int kUnknownKey = -1;
constexpr int kDoubtfulKey = -2;

// The field a key names, trying first the one after the last key seen:
// by the key object itself, then by its text.
int find_field(const RecordDesc& desc, PyObject* const* keys, PyObject* key, std::size_t hint) {
    const std::size_t count = desc.fields.size();
    if (hint < count && keys[hint] == key) return static_cast<int>(hint);
    for (std::size_t k = 0; k < count; ++k) {
        if (keys[k] == key) return static_cast<int>(k);
    }
    const auto text = exact_text(key);
    if (!text) return kDoubtfulKey;
    for (std::size_t k = 0; k < count; ++k) {
        if (desc.fields[k].key == *text) return static_cast<int>(k);
    }
    return kUnknownKey;
}

bool read_record(PyObject* dict, const RecordDesc& desc, void* out, int level);

// A known field's value into its member, `level` being where a container
// value would stand.
bool read_field(const FieldDesc& field, PyObject* value, void* slot, int level) {
    if (field.nullable) {
        if (value == Py_None) return true;
        slot = field.engage(slot);
    }
    switch (field.kind) {
        case FieldKind::text: {
            const auto text = exact_text(value);
            if (!text) return false;
            static_cast<std::string*>(slot)->assign(*text);
            return true;
        }
        case FieldKind::boolean:
            if (value != Py_True && value != Py_False) return false;
            *static_cast<bool*>(slot) = value == Py_True;
            return true;
        case FieldKind::text_list: {
            auto& texts = *static_cast<std::vector<std::string>*>(slot);
            return read_list(value, level, [&](PyObject* item) {
                const auto text = exact_text(item);
                if (text) texts.emplace_back(*text);
                return text.has_value();
            });
        }
        case FieldKind::enumeration: {
            // The reader's other spelling, {"name": null}, is left to it.
            const auto text = exact_text(value);
            if (!text) return false;
            for (std::size_t k = 0; k < field.names.size(); ++k) {
                if (field.names[k] != *text) continue;
                const auto index = static_cast<std::uint8_t>(k);
                std::memcpy(slot, &index, 1);
                return true;
            }
            return false;
        }
        // The reader's array form of a record is left to it.
        case FieldKind::record: return read_record(value, *field.nested, slot, level);
        case FieldKind::instant: {
            const auto text = exact_text(value);
            return text && parse_instant(*text, *static_cast<Instant*>(slot)) == InstantFault::none;
        }
        case FieldKind::unsigned_integer: {
            if (!PyLong_CheckExact(value)) return false;
            const unsigned long long number = PyLong_AsUnsignedLongLong(value);
            if (number == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
                PyErr_Clear();
                return false;
            }
            *static_cast<std::uint64_t*>(slot) = number;
            return true;
        }
        case FieldKind::hash_list: {
            auto& hashes = *static_cast<std::vector<Hash>*>(slot);
            return read_list(value, level, [&](PyObject* item) {
                const auto text = exact_text(item);
                if (!text || text->size() != 2 * sizeof(Hash)) return false;
                return !hex_decode_to(*text, hashes.emplace_back());
            });
        }
    }
    return false;
}

bool read_record(PyObject* dict, const RecordDesc& desc, void* out, int level) {
    if (!PyDict_CheckExact(dict) || !within_nesting(level)) return false;
    DescObjects& objects = objects_of(desc);
    PyObject* const* keys = objects.key.data();
    json::SeenFields seen = 0;
    std::size_t hint = 0;
    const bool read = read_members(dict, [&](PyObject* key, PyObject* value) {
        const int index = find_field(desc, keys, key, hint);
        if (index == kDoubtfulKey) return false;
        if (index == kUnknownKey) return ignorable(value, level + 1);
        const auto k = static_cast<std::size_t>(index);
        seen |= json::SeenFields{1} << k;
        hint = k + 1;
        return read_field(desc.fields[k], value, objects.member(out, k), level + 1);
    });
    if (!read) return false;
    for (std::size_t k = 0; k < desc.fields.size(); ++k) {
        const bool missing = (seen & (json::SeenFields{1} << k)) == 0;
        if (missing && desc.fields[k].presence == json::Presence::required) return false;
    }
    return true;
}

}  // namespace

PyObject* new_record_dict(const RecordDesc& desc, const void* record) {
    DescObjects& objects = objects_of(desc);
    // Left uninitialised: filling all of it would cost more than the fields do.
    std::array<const void*, json::kMaxFields> values;
    json::SeenFields written = 0;
    for (std::size_t k = 0; k < desc.fields.size(); ++k) {
        const FieldDesc& field = desc.fields[k];
        values[k] = field.omittable ? field.written(record) : objects.member(record, k);
        if (values[k] != nullptr) written |= json::SeenFields{1} << k;
    }
    Ref dict(check(PyDict_Copy(objects.shape(written))));
    for (std::size_t k = 0; k < desc.fields.size(); ++k) {
        if (values[k] == nullptr) continue;
        const Ref item(new_value(desc.fields[k], values[k]));
        if (PyDict_SetItem(dict.get(), objects.key[k], item.get()) < 0) throw PythonError{};
    }
    return dict.release();
}

bool read_record_dict(PyObject* dict, const RecordDesc& desc, void* out) {
    return read_record(dict, desc, out, 1);
}

}  // namespace zun::py
