// UTC instants: RFC 3339 text on the wire, read tolerantly, written in one
// canonical form, and broken down into calendar fields for Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/protocol/records.hpp"

namespace zun {

// The calendar years the date handling supports; a reading whose instant in
// UTC falls outside them has "no possible date and time".
inline constexpr std::int64_t kMinInstantYear = -262143;
inline constexpr std::int64_t kMaxInstantYear = 262142;

enum class InstantFault : std::uint8_t {
    none,
    invalid,       // a character where another was required
    too_short,     // the text ends before the offset is complete
    too_long,      // something other than whitespace after the offset
    out_of_range,  // a field outside its range, or a date that does not exist
    impossible,    // the UTC instant lies outside the supported years
};

std::string_view instant_fault_text(InstantFault fault);

// Reads `text` (UTF-8) into `out`; on failure `out` is left as it was.
InstantFault parse_instant(std::string_view text, Instant& out);

// Room for the longest text the writer can produce, whatever the instant.
inline constexpr std::size_t kMaxInstantText = 48;

// Writes the RFC 3339 text ("...Z", 0/3/6/9 fractional digits) to `out`
// and returns its length.
std::size_t format_instant(const Instant& instant, char* out) noexcept;
std::string format_instant(const Instant& instant);

struct CivilDateTime {
    std::int64_t year = 1970;
    unsigned month = 1, day = 1, hour = 0, minute = 0, second = 0;
    // Nanoseconds within the second; for a leap second, those beyond the
    // full second that `second` (59) stands for.
    std::uint32_t nanos = 0;
    bool leap = false;
};

CivilDateTime to_civil(const Instant& instant) noexcept;

}  // namespace zun
