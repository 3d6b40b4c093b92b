#include "core/text/hex.hpp"

#include <array>

#include "core/text/debug_quote.hpp"
#include "core/text/digits.hpp"

namespace zun {
namespace {

// Both digits of every byte, so that encoding is one load per byte.
constexpr std::array<std::array<char, 2>, 256> make_encode_table() {
    std::array<std::array<char, 2>, 256> table{};
    for (unsigned i = 0; i < 256; ++i) table[i] = {hex_digit(i >> 4), hex_digit(i)};
    return table;
}
constexpr auto kEncode = make_encode_table();

std::optional<HexError> first_bad_digit(std::string_view text, std::size_t from) noexcept {
    for (std::size_t i = from; i < text.size(); ++i) {
        if (hex_value(static_cast<unsigned char>(text[i])) < 0) {
            return HexError{HexError::Kind::invalid_character, static_cast<std::uint8_t>(text[i]), i};
        }
    }
    return std::nullopt;
}

}  // namespace

void hex_encode_to(std::span<const std::uint8_t> bytes, char* out) noexcept {
    for (const std::uint8_t byte : bytes) {
        *out++ = kEncode[byte][0];
        *out++ = kEncode[byte][1];
    }
}

void append_hex(std::string& out, std::span<const std::uint8_t> bytes) {
    const std::size_t start = out.size();
    out.resize(start + 2 * bytes.size());
    hex_encode_to(bytes, out.data() + start);
}

std::string hex_encode(std::span<const std::uint8_t> bytes) {
    std::string out;
    append_hex(out, bytes);
    return out;
}

std::string HexError::message() const {
    if (kind == Kind::odd_length) return "Odd number of digits";
    std::string out = "Invalid character ";
    // The offending byte is named as the code point of the same value (a
    // UTF-8 lead byte 0xC3 shows as 'Ã').
    append_debug_quoted_latin1_char(out, byte);
    out.append(" at position ");
    append_decimal(out, position);
    return out;
}

std::optional<HexError> hex_check(std::string_view text) noexcept {
    if (text.size() % 2 != 0) return HexError{};
    return first_bad_digit(text, 0);
}

std::optional<HexError> hex_decode_to(std::string_view text, std::span<std::uint8_t> out) noexcept {
    if (text.size() % 2 != 0) return HexError{};
    for (std::size_t i = 0; i < out.size(); ++i) {
        const int high = hex_value(static_cast<unsigned char>(text[2 * i]));
        const int low = hex_value(static_cast<unsigned char>(text[2 * i + 1]));
        if ((high | low) < 0) return first_bad_digit(text, 2 * i);
        out[i] = static_cast<std::uint8_t>((high << 4) | low);
    }
    return std::nullopt;
}

std::variant<std::vector<std::uint8_t>, HexError> hex_decode(std::string_view text) {
    if (text.size() % 2 != 0) return HexError{};
    std::vector<std::uint8_t> bytes(text.size() / 2);
    if (auto error = hex_decode_to(text, bytes)) return *error;
    return bytes;
}

}  // namespace zun
