#include "core/crypto/ed25519_point.hpp"

#include <array>
#include <cstring>

namespace zun {
namespace {

__extension__ typedef unsigned __int128 u128;

// Radix 2^51: five limbs, each kept a little under 2^52 between operations,
// which leaves room in 128-bit products for the folding factor 19.
struct Fe {
    std::uint64_t v[5];
};

constexpr std::uint64_t kMask51 = (std::uint64_t{1} << 51) - 1;

// d = -121665/121666 mod p.
constexpr Fe kD = {{0x34dca135978a3, 0x1a8283b156ebd, 0x5e7a26001c029, 0x739c663a03cbb, 0x52036cee2b6ff}};

std::uint64_t load64(const std::uint8_t* p) {
    std::uint64_t x;
    std::memcpy(&x, p, 8);
    return x;  // little-endian host
}

// The low 255 bits; a value >= p is left as is, since every operation
// below works modulo p.
Fe fe_from_bytes(PointBytes s) {
    const std::uint64_t w0 = load64(s.data()), w1 = load64(s.data() + 8);
    const std::uint64_t w2 = load64(s.data() + 16), w3 = load64(s.data() + 24);
    return {{
        w0 & kMask51,
        (w0 >> 51 | w1 << 13) & kMask51,
        (w1 >> 38 | w2 << 26) & kMask51,
        (w2 >> 25 | w3 << 39) & kMask51,
        (w3 >> 12) & kMask51,
    }};
}

// Everything below is small and called in long chains; keeping it inline
// lets the limbs stay in registers.
#define ZUN_FE_INLINE [[gnu::always_inline]] inline

// Propagates the carries of five 128-bit column sums into limbs below 2^51
// (the second one may exceed it by a little).
ZUN_FE_INLINE Fe fe_carry(u128 r0, u128 r1, u128 r2, u128 r3, u128 r4) {
    r1 += static_cast<std::uint64_t>(r0 >> 51);
    r2 += static_cast<std::uint64_t>(r1 >> 51);
    r3 += static_cast<std::uint64_t>(r2 >> 51);
    r4 += static_cast<std::uint64_t>(r3 >> 51);
    std::uint64_t h0 = (static_cast<std::uint64_t>(r0) & kMask51) + static_cast<std::uint64_t>(r4 >> 51) * 19;
    std::uint64_t h1 = static_cast<std::uint64_t>(r1) & kMask51;
    h1 += h0 >> 51;
    h0 &= kMask51;
    return {{h0, h1, static_cast<std::uint64_t>(r2) & kMask51, static_cast<std::uint64_t>(r3) & kMask51,
             static_cast<std::uint64_t>(r4) & kMask51}};
}

ZUN_FE_INLINE Fe fe_mul(const Fe& a, const Fe& b) {
    const std::uint64_t b1_19 = b.v[1] * 19, b2_19 = b.v[2] * 19, b3_19 = b.v[3] * 19, b4_19 = b.v[4] * 19;
    const auto m = [](std::uint64_t x, std::uint64_t y) { return static_cast<u128>(x) * y; };
    const u128 r0 = m(a.v[0], b.v[0]) + m(a.v[1], b4_19) + m(a.v[2], b3_19) + m(a.v[3], b2_19) + m(a.v[4], b1_19);
    const u128 r1 = m(a.v[0], b.v[1]) + m(a.v[1], b.v[0]) + m(a.v[2], b4_19) + m(a.v[3], b3_19) + m(a.v[4], b2_19);
    const u128 r2 = m(a.v[0], b.v[2]) + m(a.v[1], b.v[1]) + m(a.v[2], b.v[0]) + m(a.v[3], b4_19) + m(a.v[4], b3_19);
    const u128 r3 = m(a.v[0], b.v[3]) + m(a.v[1], b.v[2]) + m(a.v[2], b.v[1]) + m(a.v[3], b.v[0]) + m(a.v[4], b4_19);
    const u128 r4 = m(a.v[0], b.v[4]) + m(a.v[1], b.v[3]) + m(a.v[2], b.v[2]) + m(a.v[3], b.v[1]) + m(a.v[4], b.v[0]);
    return fe_carry(r0, r1, r2, r3, r4);
}

ZUN_FE_INLINE Fe fe_sq(const Fe& a) {
    const std::uint64_t a0_2 = a.v[0] * 2, a1_2 = a.v[1] * 2, a3_19 = a.v[3] * 19, a4_19 = a.v[4] * 19;
    const auto m = [](std::uint64_t x, std::uint64_t y) { return static_cast<u128>(x) * y; };
    const u128 r0 = m(a.v[0], a.v[0]) + m(a1_2, a4_19) + m(a.v[2] * 2, a3_19);
    const u128 r1 = m(a0_2, a.v[1]) + m(a.v[2] * 2, a4_19) + m(a.v[3], a3_19);
    const u128 r2 = m(a0_2, a.v[2]) + m(a.v[1], a.v[1]) + m(a.v[3] * 2, a4_19);
    const u128 r3 = m(a0_2, a.v[3]) + m(a1_2, a.v[2]) + m(a.v[4], a4_19);
    const u128 r4 = m(a0_2, a.v[4]) + m(a1_2, a.v[3]) + m(a.v[2], a.v[2]);
    return fe_carry(r0, r1, r2, r3, r4);
}

ZUN_FE_INLINE Fe fe_sq_times(Fe a, int n) {
    while (n-- > 0) a = fe_sq(a);
    return a;
}

// a + small, with small < 2^51.
ZUN_FE_INLINE Fe fe_add_small(const Fe& a, std::uint64_t small) {
    return fe_carry(a.v[0] + small, a.v[1], a.v[2], a.v[3], a.v[4]);
}

// a - small, with small < 2^51: adding 2p first keeps every limb positive.
ZUN_FE_INLINE Fe fe_sub_small(const Fe& a, std::uint64_t small) {
    constexpr std::uint64_t two_p0 = 2 * (kMask51 - 18), two_p = 2 * kMask51;
    return fe_carry(a.v[0] + two_p0 - small, a.v[1] + two_p, a.v[2] + two_p, a.v[3] + two_p, a.v[4] + two_p);
}

// The unique representative in [0, p) as little-endian limbs.
Fe fe_canonical(Fe h) {
    // Two carry passes leave every limb below 2^51, so h < 2^255 < 2p.
    for (int pass = 0; pass < 2; ++pass) {
        for (int i = 0; i < 4; ++i) {
            h.v[i + 1] += h.v[i] >> 51;
            h.v[i] &= kMask51;
        }
        h.v[0] += (h.v[4] >> 51) * 19;
        h.v[4] &= kMask51;
    }
    // q = 1 exactly when h >= p, i.e. when h + 19 reaches 2^255.
    std::uint64_t q = (h.v[0] + 19) >> 51;
    for (int i = 1; i < 5; ++i) q = (h.v[i] + q) >> 51;
    h.v[0] += 19 * q;
    for (int i = 0; i < 4; ++i) {
        h.v[i + 1] += h.v[i] >> 51;
        h.v[i] &= kMask51;
    }
    h.v[4] &= kMask51;  // drops 2^255, completing the subtraction of p
    return h;
}

// z^((p-1)/2) = z^(2^254 - 10): 1 for a nonzero square, p - 1 for a
// non-square, 0 for zero. The chain builds z^(2^250 - 1) the usual way.
Fe fe_legendre_power(const Fe& z) {
    const Fe z2 = fe_sq(z);
    const Fe z4 = fe_sq(z2);
    const Fe z6 = fe_mul(z4, z2);
    const Fe z9 = fe_mul(fe_sq(z4), z);
    const Fe z11 = fe_mul(z9, z2);
    const Fe z_5_0 = fe_mul(fe_sq(z11), z9);                  // 2^5 - 1
    const Fe z_10_0 = fe_mul(fe_sq_times(z_5_0, 5), z_5_0);      // 2^10 - 1
    const Fe z_20_0 = fe_mul(fe_sq_times(z_10_0, 10), z_10_0);   // 2^20 - 1
    const Fe z_40_0 = fe_mul(fe_sq_times(z_20_0, 20), z_20_0);   // 2^40 - 1
    const Fe z_50_0 = fe_mul(fe_sq_times(z_40_0, 10), z_10_0);   // 2^50 - 1
    const Fe z_100_0 = fe_mul(fe_sq_times(z_50_0, 50), z_50_0);  // 2^100 - 1
    const Fe z_200_0 = fe_mul(fe_sq_times(z_100_0, 100), z_100_0);
    const Fe z_250_0 = fe_mul(fe_sq_times(z_200_0, 50), z_50_0);
    return fe_mul(fe_sq_times(z_250_0, 4), z6);                   // 2^254 - 16 + 6
}

// The y values of the small-order points, canonical and little-endian,
// besides 0, 1 and p - 1 (the order-8 points).
constexpr std::array<std::array<std::uint8_t, 32>, 2> kOrder8Y = {{
    {0x26, 0xe8, 0x95, 0x8f, 0xc2, 0xb2, 0x27, 0xb0, 0x45, 0xc3, 0xf4, 0x89, 0xf2, 0xef, 0x98, 0xf0,
     0xd5, 0xdf, 0xac, 0x05, 0xd3, 0xc6, 0x33, 0x39, 0xb1, 0x38, 0x02, 0x88, 0x6d, 0x53, 0xfc, 0x05},
    {0xc7, 0x17, 0x6a, 0x70, 0x3d, 0x4d, 0xd8, 0x4f, 0xba, 0x3c, 0x0b, 0x76, 0x0d, 0x10, 0x67, 0x0f,
     0x2a, 0x20, 0x53, 0xfa, 0x2c, 0x39, 0xcc, 0xc6, 0x4e, 0xc7, 0xfd, 0x77, 0x92, 0xac, 0x03, 0x7a},
}};

#undef ZUN_FE_INLINE

}  // namespace

bool ed25519_point_decompresses(PointBytes encoding) {
    // x^2 = u / v with u = y^2 - 1 and v = d y^2 + 1. v is never zero (d is
    // not a square), so a solution exists exactly when u v is zero or a square.
    const Fe y2 = fe_sq(fe_from_bytes(encoding));
    const Fe u = fe_sub_small(y2, 1);
    const Fe v = fe_add_small(fe_mul(kD, y2), 1);
    const Fe r = fe_canonical(fe_legendre_power(fe_mul(u, v)));
    const bool high_zero = (r.v[1] | r.v[2] | r.v[3] | r.v[4]) == 0;
    return high_zero && r.v[0] <= 1;
}

bool ed25519_small_order_or_noncanonical(PointBytes encoding) {
    std::array<std::uint8_t, 32> y;
    std::memcpy(y.data(), encoding.data(), 32);
    y[31] &= 0x7f;

    // y >= p = 2^255 - 19: bytes 1..30 all 0xff, byte 31 0x7f, byte 0 >= 0xed.
    bool high_all_ones = y[31] == 0x7f;
    for (std::size_t i = 1; i < 31; ++i) high_all_ones = high_all_ones && y[i] == 0xff;
    if (high_all_ones && y[0] >= 0xed) return true;
    // y = p - 1 (the order-2 point).
    if (high_all_ones && y[0] == 0xec) return true;

    bool high_zero = y[31] == 0;
    for (std::size_t i = 1; i < 31; ++i) high_zero = high_zero && y[i] == 0;
    if (high_zero && y[0] <= 1) return true;  // y = 0 (order 4) or 1 (identity)

    for (const auto& order8 : kOrder8Y) {
        if (std::memcmp(y.data(), order8.data(), 32) == 0) return true;
    }
    return false;
}

}  // namespace zun
