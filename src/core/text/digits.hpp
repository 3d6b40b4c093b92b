// Digits as core writes and reads them: the one hexadecimal digit table with
// what derives from it, and the decimal text of integers.
#pragma once

#include <array>
#include <charconv>
#include <cstdint>
#include <string>

#include "core/text/ascii.hpp"

namespace zun {

inline constexpr char kHexDigits[] = "0123456789abcdef";

// The lowercase digit of the low four bits of value.
constexpr char hex_digit(unsigned value) noexcept { return kHexDigits[value & 0xF]; }

constexpr char upper_hex_digit(unsigned value) noexcept {
    return static_cast<char>(ascii_upper(static_cast<unsigned char>(hex_digit(value))));
}

namespace digits_detail {
constexpr std::array<std::int8_t, 256> make_hex_values() {
    std::array<std::int8_t, 256> table{};
    table.fill(-1);
    for (unsigned i = 0; i < 16; ++i) {
        table[static_cast<unsigned char>(hex_digit(i))] = static_cast<std::int8_t>(i);
        table[static_cast<unsigned char>(upper_hex_digit(i))] = static_cast<std::int8_t>(i);
    }
    return table;
}
inline constexpr auto kHexValues = make_hex_values();
}  // namespace digits_detail

// 0 to 15 for a hexadecimal digit of either case, -1 for any other byte.
constexpr int hex_value(unsigned char c) noexcept { return digits_detail::kHexValues[c]; }

template <class Int>
void append_decimal(std::string& out, Int value) {
    char digits[24];
    out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

}  // namespace zun
