// Base64 with the standard alphabet, never padded. The decoder accepts only
// what the encoder can produce: no padding, no whitespace, no other alphabet,
// and a final character whose unused low bits are zero, so every byte string
// has exactly one accepted text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zun {

// 4 characters per 3 bytes, the last group cut short instead of padded.
constexpr std::size_t base64_encoded_length(std::size_t byte_count) {
    return byte_count / 3 * 4 + (byte_count % 3 == 0 ? 0 : byte_count % 3 + 1);
}

// Length of the bytes a text of `text_length` characters decodes to, or
// nullopt when no accepted text has that length (one leftover character).
constexpr std::optional<std::size_t> base64_decoded_length(std::size_t text_length) {
    if (text_length % 4 == 1) return std::nullopt;
    return text_length / 4 * 3 + (text_length % 4 == 0 ? 0 : text_length % 4 - 1);
}

std::string base64_encode(std::span<const std::uint8_t> bytes);

// Writes the decoded bytes into `out`, whose size must equal
// base64_decoded_length(text.size()); anything else is a failure. Returns
// false when the text is not accepted (`out` is then unspecified).
[[nodiscard]] bool base64_decode_into(std::string_view text, std::span<std::uint8_t> out);

std::optional<std::vector<std::uint8_t>> base64_decode(std::string_view text);

// The padded form (RFC 4648 section 4): the text is filled with "=" to a
// multiple of 4 characters. The decoder takes only that form, and with the
// rules above for the characters before the padding.
std::string base64_encode_padded(std::span<const std::uint8_t> bytes);
std::optional<std::vector<std::uint8_t>> base64_decode_padded(std::string_view text);

}  // namespace zun
