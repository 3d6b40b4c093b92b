#include "core/text/utf8_lossy.hpp"

#include <cstddef>
#include <cstdint>

namespace zun {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

bool in_range(std::uint8_t byte, std::uint8_t low, std::uint8_t high) {
    return byte >= low && byte <= high;
}

// Length of the well-formed sequence starting at bytes[i], or, when it is
// ill-formed, the negated length of its maximal ill-formed prefix (at least 1).
std::ptrdiff_t sequence_length(std::string_view bytes, std::size_t i) {
    const auto byte_at = [&](std::size_t k) { return static_cast<std::uint8_t>(bytes[k]); };
    const std::uint8_t lead = byte_at(i);
    if (lead < 0x80) return 1;

    std::size_t need = 0;
    std::uint8_t second_low = 0x80;
    std::uint8_t second_high = 0xBF;
    if (in_range(lead, 0xC2, 0xDF)) {
        need = 1;
    } else if (in_range(lead, 0xE0, 0xEF)) {
        need = 2;
        if (lead == 0xE0) second_low = 0xA0;   // overlong
        if (lead == 0xED) second_high = 0x9F;  // surrogates
    } else if (in_range(lead, 0xF0, 0xF4)) {
        need = 3;
        if (lead == 0xF0) second_low = 0x90;   // overlong
        if (lead == 0xF4) second_high = 0x8F;  // beyond U+10FFFF
    } else {
        return -1;
    }

    std::size_t taken = 1;
    for (; taken <= need; ++taken) {
        if (i + taken >= bytes.size()) break;
        const std::uint8_t next = byte_at(i + taken);
        const bool ok = taken == 1 ? in_range(next, second_low, second_high) : in_range(next, 0x80, 0xBF);
        if (!ok) break;
    }
    if (taken == need + 1) return static_cast<std::ptrdiff_t>(taken);
    return -static_cast<std::ptrdiff_t>(taken);
}

}  // namespace

void append_utf8_lossy(std::string& out, std::string_view bytes) {
    std::size_t run_start = 0;
    std::size_t i = 0;
    while (i < bytes.size()) {
        const std::ptrdiff_t length = sequence_length(bytes, i);
        if (length > 0) {
            i += static_cast<std::size_t>(length);
            continue;
        }
        out.append(bytes.substr(run_start, i - run_start));
        out += kReplacement;
        i += static_cast<std::size_t>(-length);
        run_start = i;
    }
    out.append(bytes.substr(run_start));
}

}  // namespace zun
