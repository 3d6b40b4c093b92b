// Code point classes used by debug quoting. The data lives in the generated
// unicode_tables.cpp (tools/gen_unicode_tables.py); the predicates built on it
// are in debug_quote.hpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace zun::unicode {

// Inclusive bounds; every table is sorted and its ranges neither overlap
// nor touch, so one binary search answers membership.
struct CodePointRange {
    char32_t first;
    char32_t last;
};

// The Unicode version the tables were generated from, e.g. "15.0.0".
extern const char kUnicodeVersion[];

// General categories Cc, Cf, Cs, Co, Cn, Zl, Zp, and Zs other than U+0020.
extern const std::span<const CodePointRange> kNotPrintableRanges;
// The Grapheme_Extend property.
extern const std::span<const CodePointRange> kGraphemeExtendRanges;
// The union of the two: every code point debug quoting writes as \u{...}
// (before its own short escapes for quote, backslash, NUL and the C0 controls
// it names).
extern const std::span<const CodePointRange> kDebugEscapeRanges;

// The same union as a bitmap for U+0000..U+07FF, the one- and two-byte UTF-8
// range: bit (cp % 64) of word (cp / 64).
inline constexpr char32_t kDebugEscapeBitmapLimit = 0x800;
inline constexpr std::size_t kDebugEscapeBitmapWords = kDebugEscapeBitmapLimit / 64;
extern const std::span<const std::uint64_t, kDebugEscapeBitmapWords> kDebugEscapeBitmap;

// The widest BMP intervals holding no debug-escape code point (the CJK and
// Hangul blocks), checked before the binary search.
inline constexpr std::size_t kClearBmpIntervalCount = 2;
extern const std::span<const CodePointRange, kClearBmpIntervalCount> kClearBmpIntervals;

}  // namespace zun::unicode
