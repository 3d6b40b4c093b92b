#include "python/record_dict.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
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
#include "python/ft.hpp"
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
// process: constants, as the module's other interned names are. Threads
// may meet a description first at the same time, with or without the
// interpreter lock: an entry is built whole before it is published
// (KeptList), and a shape dict is never changed once published.
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
struct Shape {
    json::SeenFields fields;
    PyObject* dict;
    ~Shape() { Py_XDECREF(dict); }  // only a shape that another thread made first
};

struct DescObjects {
    const RecordDesc* desc;
    std::array<PyObject*, json::kMaxFields> key{};
    std::array<std::ptrdiff_t, json::kMaxFields> offset{};
    KeptList<Shape> shapes;

    // `record` is any record of the description.
    DescObjects(const RecordDesc& description, const void* record) : desc(&description) {
        // The accessor only computes an address.
        void* any = const_cast<void*>(record);
        std::array<Ref, json::kMaxFields> made;
        for (std::size_t k = 0; k < desc->fields.size(); ++k) {
            offset[k] = static_cast<char*>(desc->fields[k].member(any)) - static_cast<char*>(any);
            const std::string_view text = desc->fields[k].key;
            PyObject* name = check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
            PyUnicode_InternInPlace(&name);
            made[k] = Ref(name);
        }
        for (std::size_t k = 0; k < desc->fields.size(); ++k) key[k] = made[k].release();
    }
    ~DescObjects() {  // only an entry that another thread made first
        for (PyObject* made : key) Py_XDECREF(made);
    }
    DescObjects(const DescObjects&) = delete;
    DescObjects& operator=(const DescObjects&) = delete;

    void* member(void* record, std::size_t k) const { return static_cast<char*>(record) + offset[k]; }
    const void* member(const void* record, std::size_t k) const {
        return static_cast<const char*>(record) + offset[k];
    }

    PyObject* shape(json::SeenFields written) {
        auto make = [&] {
            Ref dict(check(PyDict_New()));
            for (std::size_t k = 0; k < desc->fields.size(); ++k) {
                if ((written & (json::SeenFields{1} << k)) == 0) continue;
                if (PyDict_SetItem(dict.get(), key[k], Py_None) < 0) throw PythonError{};
            }
            return Shape{written, dict.release()};
        };
        return shapes.find_or_add([&](const Shape& shape) { return shape.fields == written; }, make).dict;
    }
};

// The objects of `desc`, whose records `record` is one of.
DescObjects& objects_of(const RecordDesc& desc, const void* record) {
    static KeptList<DescObjects> table;
    return table.find_or_add([&](const DescObjects& entry) { return entry.desc == &desc; },
                             [&] { return DescObjects(desc, record); });
}

// The names of an enumeration as interned str objects, made on first use
// and kept for the process; a new reference to one of them.
PyObject* new_name(std::span<const std::string_view> names, std::size_t index) {
    struct Names {
        const std::string_view* first;
        std::unique_ptr<KeptObject[]> objects;
    };
    static KeptList<Names> table;
    Names& entry = table.find_or_add([&](const Names& candidate) { return candidate.first == names.data(); },
                                     [&] { return Names{names.data(), std::make_unique<KeptObject[]>(names.size())}; });
    return Py_NewRef(kept_object(entry.objects[index], [&] {
        const std::string_view text = names[index];
        PyObject* made = check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
        PyUnicode_InternInPlace(&made);
        return made;
    }));
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

// Each item of an exact list at `level`, each item held while it is read
// (another thread may change the list meanwhile).
template <class ReadOne>
bool read_list(PyObject* list, int level, ReadOne read_one) {
    if (!PyList_CheckExact(list) || !within_nesting(level)) return false;
    for (Py_ssize_t i = 0;; ++i) {
        const Ref item = list_item(list, i);
        if (!item) return true;
        if (!read_one(item.get())) return false;
    }
}

// Each member of an exact dict, key and value held while they are read,
// under the dict's own lock where there is no interpreter lock.
template <class ReadOne>
bool read_members(PyObject* dict, ReadOne read_one) {
    const ObjectLock lock(dict);
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
    DescObjects& objects = objects_of(desc, out);
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
    DescObjects& objects = objects_of(desc, record);
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
