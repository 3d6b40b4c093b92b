// Finding the end of a run of plain string text, sixteen bytes at a time
// where the processor allows it. Shared by the JSON writer and reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zun::json_scan {

// A byte that ends a run of JSON string text: a quotation mark, a reverse
// solidus or a control character; with `stop_non_ascii` also any byte of
// 0x80 and above (the reader checks those as UTF-8 one sequence at a time).
template <bool stop_non_ascii>
inline bool is_stop(unsigned char c) {
    return c < 0x20 || c == '"' || c == '\\' || (stop_non_ascii && c >= 0x80);
}

#if defined(__SSE2__)
// Bit i set when byte i of `v` is a stop byte.
template <bool stop_non_ascii>
inline int stop_mask(__m128i v) {
    __m128i stop = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\\')));
    if constexpr (stop_non_ascii) {
        // Signed compare: bytes of 0x80 and above are negative, so below 0x20.
        stop = _mm_or_si128(stop, _mm_cmplt_epi8(v, _mm_set1_epi8(0x20)));
    } else {
        const __m128i control_max = _mm_set1_epi8(0x1F);
        stop = _mm_or_si128(stop, _mm_cmpeq_epi8(_mm_max_epu8(v, control_max), control_max));
    }
    return _mm_movemask_epi8(stop);
}
#endif

// The first stop byte in [p, end), or end.
template <bool stop_non_ascii>
inline const unsigned char* find_stop(const unsigned char* p, const unsigned char* end) {
#if defined(__SSE2__)
    while (end - p >= 16) {
        const int mask = stop_mask<stop_non_ascii>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
        if (mask != 0) return p + __builtin_ctz(static_cast<unsigned>(mask));
        p += 16;
    }
#else
    constexpr std::uint64_t ones = 0x0101010101010101ULL;
    constexpr std::uint64_t highs = 0x8080808080808080ULL;
    auto zero_byte = [](std::uint64_t x) { return (x - ones) & ~x & highs; };
    while (end - p >= 8) {
        std::uint64_t v;
        std::memcpy(&v, p, 8);
        // The lowest flagged byte of each test is exact; that is all we use.
        std::uint64_t stop = ((v - ones * 0x20) & ~v & highs) | zero_byte(v ^ (ones * '"')) |
                             zero_byte(v ^ (ones * '\\'));
        if constexpr (stop_non_ascii) stop |= v & highs;
        if (stop != 0) return p + (__builtin_ctzll(stop) >> 3);
        p += 8;
    }
#endif
    while (p < end && !is_stop<stop_non_ascii>(*p)) ++p;
    return p;
}

// memcpy for the few bytes left at the end of a text, without a call.
inline void copy_short(char* out, const unsigned char* p, std::size_t n) {
    if (n >= 16) {
        std::memcpy(out, p, n);
    } else if (n >= 8) {
        // Two words that overlap in the middle.
        std::uint64_t a, b;
        std::memcpy(&a, p, 8);
        std::memcpy(&b, p + n - 8, 8);
        std::memcpy(out, &a, 8);
        std::memcpy(out + n - 8, &b, 8);
    } else if (n >= 4) {
        std::uint32_t a, b;
        std::memcpy(&a, p, 4);
        std::memcpy(&b, p + n - 4, 4);
        std::memcpy(out, &a, 4);
        std::memcpy(out + n - 4, &b, 4);
    } else {
        for (std::size_t k = 0; k < n; ++k) out[k] = static_cast<char>(p[k]);
    }
}

// Copies bytes from `p` to `out` up to the first stop byte (or `end`) and
// returns that stop. `out` must have room for end - p bytes.
template <bool stop_non_ascii>
inline const unsigned char* copy_until_stop(const unsigned char* p, const unsigned char* end, char*& out) {
#if defined(__SSE2__)
    while (end - p >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        // Stored whole; bytes past a stop are overwritten later.
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
        const int mask = stop_mask<stop_non_ascii>(v);
        if (mask != 0) {
            const int n = __builtin_ctz(static_cast<unsigned>(mask));
            out += n;
            return p + n;
        }
        p += 16;
        out += 16;
    }
#endif
    const unsigned char* stop = find_stop<stop_non_ascii>(p, end);
    copy_short(out, p, static_cast<std::size_t>(stop - p));
    out += stop - p;
    return stop;
}

}  // namespace zun::json_scan
