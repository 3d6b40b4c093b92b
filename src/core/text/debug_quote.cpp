#include "core/text/debug_quote.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/text/ascii_swar.hpp"
#include "core/text/digits.hpp"
#include "core/text/unicode_tables.hpp"
#include "core/text/utf8.hpp"

namespace zun {
namespace {

using unicode::CodePointRange;

constexpr char32_t kMaxCodePoint = 0x10FFFF;

bool in_ranges(std::span<const CodePointRange> ranges, char32_t cp) noexcept {
    const auto it = std::lower_bound(ranges.begin(), ranges.end(), cp,
                                     [](const CodePointRange& range, char32_t c) { return range.last < c; });
    return it != ranges.end() && it->first <= cp;
}

// CJK and Hangul text would otherwise pay a full binary search per character.
bool in_clear_bmp_interval(char32_t cp) noexcept {
    return std::any_of(unicode::kClearBmpIntervals.begin(), unicode::kClearBmpIntervals.end(),
                       [cp](const CodePointRange& range) { return range.first <= cp && cp <= range.last; });
}

// For a valid code point at or above U+0080.
bool needs_unicode_escape(char32_t cp) noexcept {
    if (cp < unicode::kDebugEscapeBitmapLimit) {
        return ((unicode::kDebugEscapeBitmap[cp / 64] >> (cp % 64)) & 1u) != 0;
    }
    return !in_clear_bmp_interval(cp) && in_ranges(unicode::kDebugEscapeRanges, cp);
}

constexpr std::array<bool, 128> kAsciiVerbatim = [] {
    std::array<bool, 128> verbatim{};
    for (std::size_t c = 0x20; c < 0x7F; ++c) verbatim[c] = true;
    verbatim['"'] = false;
    verbatim['\\'] = false;
    return verbatim;
}();

// Whether all eight bytes are copied verbatim: printable ASCII other than
// '"' and '\\'.
constexpr bool all_verbatim_ascii(std::uint64_t word) noexcept {
    const std::uint64_t flagged = word | swar::bytes_below(word, 0x20) | swar::bytes_equal(word, '"') |
                                  swar::bytes_equal(word, '\\') | swar::bytes_equal(word, 0x7F);
    return (flagged & swar::kHighs) == 0;
}

void append_unicode_escape(std::string& out, char32_t cp) {
    char digits[8];
    std::size_t start = sizeof digits;
    do {
        digits[--start] = hex_digit(cp);
        cp >>= 4;
    } while (cp != 0);
    out.append("\\u{");
    out.append(digits + start, sizeof digits - start);
    out.push_back('}');
}

void append_ascii_escape(std::string& out, unsigned char c) {
    switch (c) {
        case '"': out.append("\\\""); break;
        case '\\': out.append("\\\\"); break;
        case '\n': out.append("\\n"); break;
        case '\r': out.append("\\r"); break;
        case '\t': out.append("\\t"); break;
        case '\0': out.append("\\0"); break;
        default: append_unicode_escape(out, c); break;
    }
}

void append_byte_escape(std::string& out, unsigned char byte) {
    const char escape[] = {'\\', 'x', upper_hex_digit(byte >> 4), upper_hex_digit(byte)};
    out.append(escape, sizeof escape);
}

enum class InvalidUtf8 { replace, escape_bytes };

template <InvalidUtf8 kInvalid>
void append_quoted(std::string& out, std::string_view text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t size = text.size();
    out.reserve(out.size() + size + 2);
    out.push_back('"');
    std::size_t verbatim_from = 0;  // start of the run not yet appended
    std::size_t i = 0;
    while (i < size) {
        while (size - i >= 8 && all_verbatim_ascii(swar::load(bytes + i))) i += 8;
        // Byte by byte through the word that stopped the fast path (or the
        // tail), then back to whole words.
        const std::size_t slow_until = std::min(size, i + 8);
        while (i < slow_until) {
            const unsigned char c = bytes[i];
            if (c < 0x80) {
                if (!kAsciiVerbatim[c]) {
                    out.append(text.data() + verbatim_from, i - verbatim_from);
                    append_ascii_escape(out, c);
                    verbatim_from = i + 1;
                }
                ++i;
                continue;
            }
            const utf8::Step step = utf8::decode(bytes + i, size - i);
            if (step.valid && !needs_unicode_escape(step.cp)) {
                i += step.length;
                continue;
            }
            out.append(text.data() + verbatim_from, i - verbatim_from);
            if (step.valid) {
                append_unicode_escape(out, step.cp);
            } else if constexpr (kInvalid == InvalidUtf8::escape_bytes) {
                for (std::size_t k = 0; k < step.length; ++k) append_byte_escape(out, bytes[i + k]);
            } else {
                out.append("\xEF\xBF\xBD");
            }
            i += step.length;
            verbatim_from = i;
        }
    }
    out.append(text.data() + verbatim_from, size - verbatim_from);
    out.push_back('"');
}

}  // namespace

bool is_printable(char32_t cp) noexcept {
    if (cp < 0x80) return cp >= 0x20 && cp < 0x7F;
    if (cp > kMaxCodePoint) return false;
    return in_clear_bmp_interval(cp) || !in_ranges(unicode::kNotPrintableRanges, cp);
}

bool is_grapheme_extend(char32_t cp) noexcept {
    if (cp < unicode::kGraphemeExtendRanges.front().first || in_clear_bmp_interval(cp)) return false;
    return in_ranges(unicode::kGraphemeExtendRanges, cp);
}

void append_debug_quoted(std::string& out, std::string_view utf8) {
    append_quoted<InvalidUtf8::replace>(out, utf8);
}

void append_debug_quoted_bytes(std::string& out, std::string_view bytes) {
    append_quoted<InvalidUtf8::escape_bytes>(out, bytes);
}

void append_debug_quoted_latin1_char(std::string& out, unsigned char cp) {
    out.push_back('\'');
    if (cp == '\'') {
        out.append("\\'");
    } else if (cp == '"') {
        out.push_back('"');
    } else if (cp < 0x80) {
        if (kAsciiVerbatim[cp]) {
            out.push_back(static_cast<char>(cp));
        } else {
            append_ascii_escape(out, cp);
        }
    } else if (needs_unicode_escape(cp)) {
        append_unicode_escape(out, cp);
    } else {
        utf8::append(out, cp);
    }
    out.push_back('\'');
}

}  // namespace zun
