#include "core/siphash.hpp"

#include <bit>
#include <cstring>

namespace zun {
namespace {

inline void sip_round(std::uint64_t& v0, std::uint64_t& v1, std::uint64_t& v2, std::uint64_t& v3) noexcept {
    v0 += v1; v1 = std::rotl(v1, 13); v1 ^= v0; v0 = std::rotl(v0, 32);
    v2 += v3; v3 = std::rotl(v3, 16); v3 ^= v2;
    v0 += v3; v3 = std::rotl(v3, 21); v3 ^= v0;
    v2 += v1; v1 = std::rotl(v1, 17); v1 ^= v2; v2 = std::rotl(v2, 32);
}

inline std::uint64_t load_le64(const unsigned char* p) noexcept {
    std::uint64_t value;
    std::memcpy(&value, p, sizeof value);
    if constexpr (std::endian::native == std::endian::big) value = __builtin_bswap64(value);
    return value;
}

}  // namespace

SipHasher13::SipHasher13(std::uint64_t key0, std::uint64_t key1) noexcept
    : v0_(key0 ^ 0x736f6d6570736575ULL),
      v1_(key1 ^ 0x646f72616e646f6dULL),
      v2_(key0 ^ 0x6c7967656e657261ULL),
      v3_(key1 ^ 0x7465646279746573ULL) {}

void SipHasher13::compress(std::uint64_t block) noexcept {
    v3_ ^= block;
    sip_round(v0_, v1_, v2_, v3_);
    v0_ ^= block;
}

void SipHasher13::write(const void* data, std::size_t size) noexcept {
    const auto* p = static_cast<const unsigned char*>(data);
    length_ += size;
    if (tail_len_ != 0) {
        while (size != 0 && tail_len_ < 8) {
            tail_ |= std::uint64_t{*p++} << (8 * tail_len_++);
            --size;
        }
        if (tail_len_ < 8) return;
        compress(tail_);
        tail_ = 0;
        tail_len_ = 0;
    }
    for (; size >= 8; p += 8, size -= 8) compress(load_le64(p));
    for (unsigned i = 0; i < size; ++i) tail_ |= std::uint64_t{p[i]} << (8 * i);
    tail_len_ = static_cast<unsigned>(size);
}

void SipHasher13::write_u8(std::uint8_t byte) noexcept {
    length_ += 1;
    tail_ |= std::uint64_t{byte} << (8 * tail_len_);
    if (++tail_len_ == 8) {
        compress(tail_);
        tail_ = 0;
        tail_len_ = 0;
    }
}

void SipHasher13::write_u64(std::uint64_t value) noexcept {
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

std::uint64_t SipHasher13::finish() const noexcept {
    std::uint64_t v0 = v0_, v1 = v1_, v2 = v2_, v3 = v3_;
    const std::uint64_t last = (length_ << 56) | tail_;
    v3 ^= last;
    sip_round(v0, v1, v2, v3);
    v0 ^= last;
    v2 ^= 0xff;
    sip_round(v0, v1, v2, v3);
    sip_round(v0, v1, v2, v3);
    sip_round(v0, v1, v2, v3);
    return v0 ^ v1 ^ v2 ^ v3;
}

}  // namespace zun
