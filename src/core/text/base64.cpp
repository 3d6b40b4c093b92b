#include "core/text/base64.hpp"

#include <array>

namespace zun {
namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::uint8_t kInvalid = 0xFF;

constexpr std::array<std::uint8_t, 256> make_decode_table() {
    std::array<std::uint8_t, 256> table{};
    table.fill(kInvalid);
    for (std::size_t i = 0; i < kAlphabet.size(); ++i) {
        table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::uint8_t>(i);
    }
    return table;
}

constexpr std::array<std::uint8_t, 256> kDecode = make_decode_table();

inline std::uint8_t sextet(char c) { return kDecode[static_cast<unsigned char>(c)]; }

}  // namespace

std::string base64_encode(std::span<const std::uint8_t> bytes) {
    std::string out(base64_encoded_length(bytes.size()), '\0');
    char* dst = out.data();
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t group = std::uint32_t{bytes[i]} << 16 | std::uint32_t{bytes[i + 1]} << 8 | bytes[i + 2];
        *dst++ = kAlphabet[group >> 18];
        *dst++ = kAlphabet[group >> 12 & 63];
        *dst++ = kAlphabet[group >> 6 & 63];
        *dst++ = kAlphabet[group & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest == 1) {
        *dst++ = kAlphabet[bytes[i] >> 2];
        *dst++ = kAlphabet[(bytes[i] & 3) << 4];
    } else if (rest == 2) {
        const std::uint32_t group = std::uint32_t{bytes[i]} << 8 | bytes[i + 1];
        *dst++ = kAlphabet[group >> 10];
        *dst++ = kAlphabet[group >> 4 & 63];
        *dst++ = kAlphabet[(group & 15) << 2];
    }
    return out;
}

bool base64_decode_into(std::string_view text, std::span<std::uint8_t> out) {
    const auto expected = base64_decoded_length(text.size());
    if (!expected || *expected != out.size()) return false;

    const char* src = text.data();
    std::uint8_t* dst = out.data();
    const std::size_t full_groups = text.size() / 4;
    // OR-ing every sextet lets one test at the end catch any invalid character.
    std::uint8_t seen = 0;
    for (std::size_t g = 0; g < full_groups; ++g, src += 4) {
        const std::uint8_t a = sextet(src[0]), b = sextet(src[1]), c = sextet(src[2]), d = sextet(src[3]);
        seen |= a | b | c | d;
        const std::uint32_t group = std::uint32_t{a} << 18 | std::uint32_t{b} << 12 | std::uint32_t{c} << 6 | d;
        *dst++ = static_cast<std::uint8_t>(group >> 16);
        *dst++ = static_cast<std::uint8_t>(group >> 8);
        *dst++ = static_cast<std::uint8_t>(group);
    }
    switch (text.size() % 4) {
        case 2: {
            const std::uint8_t a = sextet(src[0]), b = sextet(src[1]);
            seen |= a | b;
            // Only the top two bits of the last character carry data.
            if ((b & 15) != 0) return false;
            *dst = static_cast<std::uint8_t>(a << 2 | b >> 4);
            break;
        }
        case 3: {
            const std::uint8_t a = sextet(src[0]), b = sextet(src[1]), c = sextet(src[2]);
            seen |= a | b | c;
            if ((c & 3) != 0) return false;
            const std::uint32_t group = std::uint32_t{a} << 12 | std::uint32_t{b} << 6 | c;
            dst[0] = static_cast<std::uint8_t>(group >> 10);
            dst[1] = static_cast<std::uint8_t>(group >> 2);
            break;
        }
        default:
            break;
    }
    // Valid sextets never set the top two bits; kInvalid does.
    return (seen & 0xC0) == 0;
}

std::optional<std::vector<std::uint8_t>> base64_decode(std::string_view text) {
    const auto length = base64_decoded_length(text.size());
    if (!length) return std::nullopt;
    std::vector<std::uint8_t> out(*length);
    if (!base64_decode_into(text, out)) return std::nullopt;
    return out;
}

std::string base64_encode_padded(std::span<const std::uint8_t> bytes) {
    std::string out = base64_encode(bytes);
    out.append((4 - out.size() % 4) % 4, '=');
    return out;
}

std::optional<std::vector<std::uint8_t>> base64_decode_padded(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    for (int i = 0; i < 2 && !text.empty() && text.back() == '='; ++i) text.remove_suffix(1);
    return base64_decode(text);
}

}  // namespace zun
