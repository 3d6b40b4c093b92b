// Ed25519 public keys as the protocol uses them: fingerprints, the check of
// raw key bytes, and signature verification against a key in text form.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/protocol/records.hpp"

namespace zun {

using PublicKeyBytes = std::array<std::uint8_t, 32>;

// 32 lowercase hexadecimal digits: the first 16 bytes of SHA-256 of the key.
struct Fingerprint {
    std::array<char, 32> digits;
    std::string_view view() const { return {digits.data(), digits.size()}; }
    std::string str() const { return std::string(view()); }
};

Fingerprint fingerprint(std::span<const std::uint8_t, 32> public_key);

// The text form of a key: 43 characters of unpadded standard Base64.
std::string public_key_text(std::span<const std::uint8_t, 32> public_key);

enum class PublicKeyCheck : std::uint8_t {
    ok,
    wrong_length,  // not exactly 32 bytes
    not_a_point,   // no x coordinate exists for the encoded y
};

// Length first, then decompression.
PublicKeyCheck check_public_key(std::span<const std::uint8_t> bytes);

enum class VerifyOutcome : std::uint8_t { ok, bad_public_key, bad_signature };

// "BadPublicKey" or "BadSignature" ("" for ok).
std::string_view verify_outcome_name(VerifyOutcome outcome);

// A key whose text decoded strictly to 32 bytes that decompress. Whoever
// verifies repeatedly under one key should parse it once and keep this: a
// refusal then needs no curve check, which otherwise costs about 4 us and
// dominates the refusal of a signature whose S is out of range.
struct VerifyingKey {
    PublicKeyBytes bytes;
};

// nullopt means BadPublicKey.
std::optional<VerifyingKey> parse_verifying_key(std::string_view public_key_b64);

// Cofactorless RFC 8032 verification of pure Ed25519: S must be below the
// group order and the encoding of [S]B - [k]A must equal R; small-order keys
// and R values are accepted. Reports, in this order: BadPublicKey when the
// text is not a strictly encoded 32-byte key that decompresses,
// BadSignature when the signature is not 64 bytes or does not verify.
VerifyOutcome verify_signature(std::string_view public_key_b64, std::span<const std::uint8_t> payload,
                               std::span<const std::uint8_t> signature);
VerifyOutcome verify_signature(const VerifyingKey& key, std::span<const std::uint8_t> payload,
                               std::span<const std::uint8_t> signature);
inline VerifyOutcome verify_signature(const PeerIdentityDescriptor& descriptor, std::span<const std::uint8_t> payload,
                                      std::span<const std::uint8_t> signature) {
    return verify_signature(descriptor.public_key_b64, payload, signature);
}

}  // namespace zun
