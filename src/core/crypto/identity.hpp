// A software Ed25519 identity: a key pair held in process memory that signs
// byte strings and mints its own public descriptor.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "core/crypto/ed25519.hpp"
#include "core/crypto/random.hpp"
#include "core/protocol/records.hpp"

namespace zun {

class SoftwareIdentity {
public:
    using Seed = std::array<std::uint8_t, 32>;
    using Signature = std::array<std::uint8_t, 64>;

    // Every identity carries this creation time; the clock is never read.
    static constexpr std::string_view kCreatedAt = "2026-04-15T00:00:00Z";

    // Every 32-byte string is a valid seed.
    static SoftwareIdentity from_seed(std::span<const std::uint8_t, 32> seed);
    // Draws the seed with getrandom.
    static std::variant<SoftwareIdentity, RandomSourceError> generate();

    // Secret material is wiped on destruction; a moved-from identity keeps
    // none and must not be used to sign.
    SoftwareIdentity(SoftwareIdentity&& other) noexcept;
    SoftwareIdentity& operator=(SoftwareIdentity&& other) noexcept;
    SoftwareIdentity(const SoftwareIdentity&) = delete;
    SoftwareIdentity& operator=(const SoftwareIdentity&) = delete;
    ~SoftwareIdentity();

    // Pure Ed25519, deterministic; an empty payload is valid.
    Signature sign(std::span<const std::uint8_t> payload) const;
    // A copy of the seed; the caller owns (and should wipe) it.
    Seed secret_bytes() const;
    const PublicKeyBytes& public_key() const { return public_key_; }
    const Fingerprint& fingerprint() const { return fingerprint_; }
    // Surface software, empty attestation chain, kCreatedAt, no successor.
    PeerIdentityDescriptor descriptor() const;

private:
    explicit SoftwareIdentity(std::span<const std::uint8_t, 32> seed);

    // libsodium's layout: the seed followed by the public key.
    std::array<std::uint8_t, 64> secret_key_;
    PublicKeyBytes public_key_;
    Fingerprint fingerprint_;
};

}  // namespace zun
