// Eight-bytes-at-a-time tests and transforms on ASCII text.
#pragma once

#include <cstdint>
#include <cstring>

namespace zun::swar {

inline constexpr std::uint64_t kOnes = 0x0101010101010101u;
inline constexpr std::uint64_t kHighs = 0x8080808080808080u;

inline std::uint64_t load(const void* bytes) noexcept {
    std::uint64_t word;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

inline void store(void* bytes, std::uint64_t word) noexcept { std::memcpy(bytes, &word, sizeof word); }

constexpr std::uint64_t broadcast(unsigned char value) noexcept { return kOnes * value; }

// The masks below set the high bit of bytes that match. They are exact as a
// whole-word yes/no; a borrow may also flag bytes above a true match.

// Bytes below `limit`, which must be at most 0x80.
constexpr std::uint64_t bytes_below(std::uint64_t word, unsigned char limit) noexcept {
    return (word - broadcast(limit)) & ~word & kHighs;
}

constexpr std::uint64_t bytes_equal(std::uint64_t word, unsigned char value) noexcept {
    return bytes_below(word ^ broadcast(value), 1);
}

constexpr bool has_byte(std::uint64_t word, unsigned char value) noexcept { return bytes_equal(word, value) != 0; }

// A..Z become a..z; every other byte, non-ASCII ones included, is unchanged.
// The sums stay below 0x100 per byte, so no carry crosses into a neighbour.
constexpr std::uint64_t ascii_lowercase(std::uint64_t word) noexcept {
    const std::uint64_t low7 = word & ~kHighs;
    const std::uint64_t at_least_a = low7 + broadcast(0x80 - 'A');
    const std::uint64_t above_z = low7 + broadcast(0x7F - 'Z');
    const std::uint64_t upper = at_least_a & ~above_z & ~word & kHighs;
    return word | (upper >> 2);
}

}  // namespace zun::swar
