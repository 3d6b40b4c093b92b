// Single ASCII bytes: the digit test and the letter-case mappings, which
// leave every other byte, non-ASCII ones included, as it is.
#pragma once

namespace zun {

constexpr bool is_digit(int c) noexcept { return c >= '0' && c <= '9'; }

constexpr unsigned char ascii_lower(unsigned char c) noexcept {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

constexpr unsigned char ascii_upper(unsigned char c) noexcept {
    return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - ('a' - 'A')) : c;
}

}  // namespace zun
