#include "core/crypto/ed25519.hpp"

#include <sodium.h>

#include "core/text/base64.hpp"
#include "core/text/hex.hpp"
#include "core/crypto/ed25519_backends.hpp"
#include "core/crypto/ed25519_point.hpp"

namespace zun {
namespace {

// `key_decompresses` is the curve check's answer when it is already known;
// the check is run only when a refusal needs it.
VerifyOutcome verify_key_bytes(std::span<const std::uint8_t, 32> key, std::optional<bool> key_decompresses,
                               std::span<const std::uint8_t> payload, std::span<const std::uint8_t> signature) {
    const auto key_is_point = [&] { return key_decompresses ? *key_decompresses : ed25519_point_decompresses(key); };
    if (signature.size() != 64) {
        return key_is_point() ? VerifyOutcome::bad_signature : VerifyOutcome::bad_public_key;
    }
    const std::span<const std::uint8_t, 64> sig = signature.first<64>();
    const std::span<const std::uint8_t, 32> r = sig.first<32>();

    // Outside these encodings libsodium's verdict equals ours, both ways;
    // it is the fast verifier, so it answers for the common case.
    if (!ed25519_small_order_or_noncanonical(key) && !ed25519_small_order_or_noncanonical(r)) {
        if (sodium_accepts(key, payload, sig)) return VerifyOutcome::ok;
        return key_is_point() ? VerifyOutcome::bad_signature : VerifyOutcome::bad_public_key;
    }
    // libsodium would refuse these on sight, valid or not; OpenSSL computes
    // the equation, but only once the key is known to be a point.
    if (!key_is_point()) return VerifyOutcome::bad_public_key;
    return openssl_accepts(key, payload, sig) ? VerifyOutcome::ok : VerifyOutcome::bad_signature;
}

}  // namespace

Fingerprint fingerprint(std::span<const std::uint8_t, 32> public_key) {
    ensure_sodium();
    std::array<std::uint8_t, crypto_hash_sha256_BYTES> digest;
    crypto_hash_sha256(digest.data(), public_key.data(), public_key.size());
    Fingerprint out;
    hex_encode_to(std::span(digest).first<out.digits.size() / 2>(), out.digits.data());
    return out;
}

std::string public_key_text(std::span<const std::uint8_t, 32> public_key) { return base64_encode(public_key); }

PublicKeyCheck check_public_key(std::span<const std::uint8_t> bytes) {
    if (bytes.size() != 32) return PublicKeyCheck::wrong_length;
    return ed25519_point_decompresses(bytes.first<32>()) ? PublicKeyCheck::ok : PublicKeyCheck::not_a_point;
}

std::string_view verify_outcome_name(VerifyOutcome outcome) {
    switch (outcome) {
        case VerifyOutcome::bad_public_key: return "BadPublicKey";
        case VerifyOutcome::bad_signature: return "BadSignature";
        case VerifyOutcome::ok: break;
    }
    return "";
}

std::optional<VerifyingKey> parse_verifying_key(std::string_view public_key_b64) {
    VerifyingKey key;
    if (!base64_decode_into(public_key_b64, key.bytes) || !ed25519_point_decompresses(key.bytes)) return std::nullopt;
    return key;
}

VerifyOutcome verify_signature(std::string_view public_key_b64, std::span<const std::uint8_t> payload,
                               std::span<const std::uint8_t> signature) {
    PublicKeyBytes key;
    if (!base64_decode_into(public_key_b64, key)) return VerifyOutcome::bad_public_key;
    return verify_key_bytes(key, std::nullopt, payload, signature);
}

VerifyOutcome verify_signature(const VerifyingKey& key, std::span<const std::uint8_t> payload,
                               std::span<const std::uint8_t> signature) {
    return verify_key_bytes(key.bytes, true, payload, signature);
}

}  // namespace zun
