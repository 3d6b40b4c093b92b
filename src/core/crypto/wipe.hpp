// Zeroing of secrets (seeds, secret keys) that the compiler may not drop as a
// store to memory nobody reads again.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace zun {

void wipe(void* data, std::size_t size) noexcept;

template <std::size_t N>
void wipe(std::array<std::uint8_t, N>& bytes) noexcept {
    wipe(bytes.data(), bytes.size());
}

}  // namespace zun
