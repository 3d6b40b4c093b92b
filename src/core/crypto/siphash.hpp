// SipHash-1-3: one compression round per 8-byte block, three finalisation
// rounds. Streaming, so that callers can hash several pieces without first
// joining them into one buffer. Defined inline: hashing short keys is
// dominated by call and tail overhead unless the compiler sees through it.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace zun {

class SipHasher13 {
public:
    SipHasher13(std::uint64_t key0, std::uint64_t key1) noexcept
        : v0_(key0 ^ 0x736f6d6570736575ULL),
          v1_(key1 ^ 0x646f72616e646f6dULL),
          v2_(key0 ^ 0x6c7967656e657261ULL),
          v3_(key1 ^ 0x7465646279746573ULL) {}

    void write(const void* data, std::size_t size) noexcept;
    void write(std::string_view bytes) noexcept { write(bytes.data(), bytes.size()); }
    void write_u8(std::uint8_t byte) noexcept;
    // Eight bytes, little-endian.
    void write_u64(std::uint64_t value) noexcept;

    // Does not change the state: more bytes may still be written afterwards.
    std::uint64_t finish() const noexcept;

private:
    static void round(std::uint64_t& v0, std::uint64_t& v1, std::uint64_t& v2, std::uint64_t& v3) noexcept {
        v0 += v1; v1 = std::rotl(v1, 13); v1 ^= v0; v0 = std::rotl(v0, 32);
        v2 += v3; v3 = std::rotl(v3, 16); v3 ^= v2;
        v0 += v3; v3 = std::rotl(v3, 21); v3 ^= v0;
        v2 += v1; v1 = std::rotl(v1, 17); v1 ^= v2; v2 = std::rotl(v2, 32);
    }
    static std::uint64_t load_le(const unsigned char* p) noexcept;
    // The first n (< 8) bytes at p as a little-endian number.
    static std::uint64_t load_le_partial(const unsigned char* p, std::size_t n) noexcept;

    void compress(std::uint64_t block) noexcept {
        v3_ ^= block;
        round(v0_, v1_, v2_, v3_);
        v0_ ^= block;
    }
    // Appends n (< 8) bytes held in the low bytes of bits to the tail.
    void push_tail(std::uint64_t bits, unsigned n) noexcept;

    std::uint64_t v0_, v1_, v2_, v3_;
    std::uint64_t tail_ = 0;     // pending bytes, little-endian, low byte first
    unsigned tail_len_ = 0;      // 0..7
    std::uint64_t length_ = 0;   // total bytes written; only its low byte counts
};

// One-shot form.
std::uint64_t siphash13(std::uint64_t key0, std::uint64_t key1, std::string_view bytes) noexcept;

inline std::uint64_t SipHasher13::load_le(const unsigned char* p) noexcept {
    std::uint64_t value;
    std::memcpy(&value, p, sizeof value);
    if constexpr (std::endian::native == std::endian::big) value = __builtin_bswap64(value);
    return value;
}

inline std::uint64_t SipHasher13::load_le_partial(const unsigned char* p, std::size_t n) noexcept {
    if (n >= 4) {
        // Two overlapping 4-byte loads cover 4..7 bytes without a byte loop;
        // the overlapping bytes are OR-ed onto themselves.
        std::uint32_t low, high;
        std::memcpy(&low, p, 4);
        std::memcpy(&high, p + n - 4, 4);
        if constexpr (std::endian::native == std::endian::big) {
            low = __builtin_bswap32(low);
            high = __builtin_bswap32(high);
        }
        return std::uint64_t{low} | (std::uint64_t{high} << (8 * (n - 4)));
    }
    if (n == 0) return 0;
    return std::uint64_t{p[0]} | (std::uint64_t{p[n / 2]} << (8 * (n / 2))) | (std::uint64_t{p[n - 1]} << (8 * (n - 1)));
}

inline void SipHasher13::push_tail(std::uint64_t bits, unsigned n) noexcept {
    tail_ |= bits << (8 * tail_len_);
    tail_len_ += n;
    if (tail_len_ >= 8) {
        compress(tail_);
        tail_len_ -= 8;
        // The bytes of bits that did not fit; shifting by 64 is undefined.
        tail_ = tail_len_ == 0 ? 0 : bits >> (8 * (n - tail_len_));
    }
}

inline void SipHasher13::write(const void* data, std::size_t size) noexcept {
    const auto* p = static_cast<const unsigned char*>(data);
    length_ += size;
    if (tail_len_ != 0) {
        const std::size_t need = 8 - tail_len_;
        if (size < need) {
            push_tail(load_le_partial(p, size), static_cast<unsigned>(size));
            return;
        }
        compress(tail_ | (load_le_partial(p, need) << (8 * tail_len_)));
        p += need;
        size -= need;
    }
    for (; size >= 8; p += 8, size -= 8) compress(load_le(p));
    tail_ = load_le_partial(p, size);
    tail_len_ = static_cast<unsigned>(size);
}

inline void SipHasher13::write_u8(std::uint8_t byte) noexcept {
    length_ += 1;
    push_tail(byte, 1);
}

inline void SipHasher13::write_u64(std::uint64_t value) noexcept {
    length_ += 8;
    if (tail_len_ == 0) {
        compress(value);
        return;
    }
    // The pending bytes plus the low bytes of value fill one block; the
    // high bytes of value become the new tail.
    compress(tail_ | (value << (8 * tail_len_)));
    tail_ = value >> (8 * (8 - tail_len_));
}

inline std::uint64_t SipHasher13::finish() const noexcept {
    std::uint64_t v0 = v0_, v1 = v1_, v2 = v2_, v3 = v3_;
    const std::uint64_t last = (length_ << 56) | tail_;
    v3 ^= last;
    round(v0, v1, v2, v3);
    v0 ^= last;
    v2 ^= 0xff;
    round(v0, v1, v2, v3);
    round(v0, v1, v2, v3);
    round(v0, v1, v2, v3);
    return v0 ^ v1 ^ v2 ^ v3;
}

}  // namespace zun
