// The one UTF-8 decoder and encoder of core.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zun::utf8 {

// How much a decoder asks of a sequence beyond its lead byte and the number
// of continuation bytes that lead announces.
enum class Policy : std::uint8_t {
    // Well-formed UTF-8 only: no overlong forms, no surrogates, nothing
    // above U+10FFFF.
    strict,
    // Any continuation bytes after a lead byte of C2 to F4, so overlong
    // forms, surrogates and values up to 0x13FFFF decode too.
    lax,
};

struct Step {
    char32_t cp;         // the code point, when valid
    std::size_t length;  // of the character, or of the maximal ill-formed subsequence (at least 1)
    bool valid;
};

// Decodes the character at `p`, of which `available` (at least 1) bytes
// may be read.
template <Policy policy = Policy::strict>
inline Step decode(const unsigned char* p, std::size_t available) noexcept {
    const unsigned char lead = p[0];
    if (lead < 0x80) return {lead, 1, true};
    std::size_t continuations = 0;
    char32_t cp = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        continuations = 1;
        cp = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        continuations = 2;
        cp = lead & 0x0Fu;
        if (policy == Policy::strict && lead == 0xE0) low = 0xA0;   // overlong
        if (policy == Policy::strict && lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        continuations = 3;
        cp = lead & 0x07u;
        if (policy == Policy::strict && lead == 0xF0) low = 0x90;   // overlong
        if (policy == Policy::strict && lead == 0xF4) high = 0x8F;  // beyond U+10FFFF
    } else {
        return {0, 1, false};
    }
    std::size_t length = 1;
    for (; continuations > 0; --continuations) {
        if (length == available || p[length] < low || p[length] > high) return {0, length, false};
        cp = (cp << 6) | (p[length] & 0x3Fu);
        ++length;
        low = 0x80;
        high = 0xBF;
    }
    return {cp, length, true};
}

// Appends the UTF-8 form of `cp` (at most U+10FFFF).
void append(std::string& out, char32_t cp);

}  // namespace zun::utf8
