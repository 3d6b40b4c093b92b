// Facts about 32-byte Edwards25519 point encodings that can be read from the
// bytes alone, without building the point.
#pragma once

#include <cstdint>
#include <span>

namespace zun {

using PointBytes = std::span<const std::uint8_t, 32>;

// True when the encoding decompresses: y is the low 255 bits taken modulo
// 2^255 - 19, and some x satisfies the curve equation for it. The sign bit
// plays no part, so y >= p and x = 0 with the sign bit set both decompress.
bool ed25519_point_decompresses(PointBytes encoding);

// True for points of small order and for y >= p: the encodings, as key or
// as R, on which a strict verifier such as libsodium refuses signatures that
// the cofactorless equation accepts. Whatever the sign bit, these are the y
// values 0, 1, p - 1, the two of order 8, and p .. 2^255 - 1.
bool ed25519_small_order_or_noncanonical(PointBytes encoding);

}  // namespace zun
