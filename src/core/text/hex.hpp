// Hexadecimal text: lowercase encoding, and a decoder that accepts either
// case and reports the first fault with a fixed message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace zun {

// Writes 2 * bytes.size() lowercase digits to out.
void hex_encode_to(std::span<const std::uint8_t> bytes, char* out) noexcept;
void append_hex(std::string& out, std::span<const std::uint8_t> bytes);
std::string hex_encode(std::span<const std::uint8_t> bytes);

struct HexError {
    enum class Kind : std::uint8_t { odd_length, invalid_character };
    Kind kind = Kind::odd_length;
    std::uint8_t byte = 0;       // the offending byte (invalid_character)
    std::size_t position = 0;    // its zero-based byte index (invalid_character)

    // "Odd number of digits", or "Invalid character 'g' at position 3".
    std::string message() const;
    friend bool operator==(const HexError&, const HexError&) = default;
};

// The first fault of text as hexadecimal, or nullopt when it decodes.
// An odd length is reported before any bad character.
std::optional<HexError> hex_check(std::string_view text) noexcept;

// Decodes text into out, which must hold exactly text.size() / 2 bytes.
// On failure out holds unspecified bytes.
std::optional<HexError> hex_decode_to(std::string_view text, std::span<std::uint8_t> out) noexcept;

std::variant<std::vector<std::uint8_t>, HexError> hex_decode(std::string_view text);

}  // namespace zun
