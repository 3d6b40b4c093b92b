// SipHash-1-3: one compression round per 8-byte block, three finalisation
// rounds. Streaming, so that callers can hash several pieces without first
// joining them into one buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zun {

class SipHasher13 {
public:
    SipHasher13(std::uint64_t key0, std::uint64_t key1) noexcept;

    void write(const void* data, std::size_t size) noexcept;
    void write(std::string_view bytes) noexcept { write(bytes.data(), bytes.size()); }
    void write_u8(std::uint8_t byte) noexcept;
    // Eight bytes, little-endian.
    void write_u64(std::uint64_t value) noexcept;

    // Does not change the state: more bytes may still be written afterwards.
    std::uint64_t finish() const noexcept;

private:
    void compress(std::uint64_t block) noexcept;

    std::uint64_t v0_, v1_, v2_, v3_;
    std::uint64_t tail_ = 0;     // pending bytes, little-endian, low byte first
    unsigned tail_len_ = 0;      // 0..7
    std::uint64_t length_ = 0;   // total bytes written; only its low byte counts
};

}  // namespace zun
