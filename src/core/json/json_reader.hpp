// The record JSON reader: one streaming pass over raw bytes straight into a
// record, driven by a small description of the record's fields. Messages and
// positions are those the signing program's reader gives for the same input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "core/json/json_error.hpp"

namespace zun::json {

enum class FieldKind : std::uint8_t {
    text,         // std::string
    boolean,      // bool
    text_list,    // std::vector<std::string>
    enumeration,  // an enum class with std::uint8_t as its underlying type
    record,       // a nested record with its own description
    instant,      // Instant
    unsigned_integer,  // std::uint64_t
    hash_list,    // std::vector<std::array<std::uint8_t, 32>>, each 64 hexadecimal digits
};

enum class Presence : std::uint8_t {
    required,   // an error when left out, in an object and in the array form
    optional,   // absent when left out of an object; the array form needs its element
    defaulted,  // keeps its default when left out of either form
};

struct RecordDesc;

struct FieldDesc {
    std::string_view key;
    FieldKind kind = FieldKind::text;
    Presence presence = Presence::required;
    // The member is a std::optional of its value and null reads as absent.
    bool nullable = false;
    // The writer may leave the member out; `written` tells when.
    bool omittable = false;
    // The member inside a record object.
    void* (*member)(void* record) = nullptr;
    // For nullable members: engages the optional and returns its value.
    void* (*engage)(void* member) = nullptr;
    // The value the writer writes for this member of a record object (inside
    // an engaged optional), or null when the writer leaves the member out:
    // writers of other value trees follow the JSON writer's omissions by it.
    const void* (*written)(const void* record) = nullptr;
    const RecordDesc* nested = nullptr;        // record
    std::span<const std::string_view> names;  // enumeration, in index order
};

// The reader marks the fields of a record it has seen in one word, so no
// record may have more than this many.
using SeenFields = std::uint32_t;
inline constexpr std::size_t kMaxFields = sizeof(SeenFields) * 8;

struct RecordDesc {
    std::string_view name;  // as the messages name it: "struct <name>"
    std::span<const FieldDesc> fields;
};

// Deepest nesting of arrays and objects, the outermost record counting as
// the first level; values of unknown keys are held to it as well.
inline constexpr int kMaxNesting = 127;

// Reads one record from `text` (any bytes) into `out`, an object of the
// described type. On failure `out` may hold part of the input.
std::optional<JsonError> read_record(std::string_view text, const RecordDesc& desc, void* out);

}  // namespace zun::json
