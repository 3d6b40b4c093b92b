#include "core/crypto/identity.hpp"

#include <cstring>
#include <utility>

#include <sodium.h>

#include "core/crypto/ed25519_backends.hpp"
#include "core/crypto/wipe.hpp"

namespace zun {
namespace {

static_assert(crypto_sign_SECRETKEYBYTES == 64 && crypto_sign_PUBLICKEYBYTES == 32 && crypto_sign_SEEDBYTES == 32);
static_assert(crypto_sign_BYTES == 64);

// Wipes a stack copy of a seed however the scope is left.
struct SeedWiper {
    SoftwareIdentity::Seed& seed;
    ~SeedWiper() { wipe(seed); }
};

}  // namespace

SoftwareIdentity::SoftwareIdentity(std::span<const std::uint8_t, 32> seed) {
    ensure_sodium();
    crypto_sign_seed_keypair(public_key_.data(), secret_key_.data(), seed.data());
    fingerprint_ = zun::fingerprint(public_key_);
}

SoftwareIdentity SoftwareIdentity::from_seed(std::span<const std::uint8_t, 32> seed) { return SoftwareIdentity(seed); }

std::variant<SoftwareIdentity, RandomSourceError> SoftwareIdentity::generate() {
    Seed seed;
    const SeedWiper wiper{seed};
    if (auto failure = fill_random(seed)) return std::move(*failure);
    return SoftwareIdentity(seed);
}

SoftwareIdentity::SoftwareIdentity(SoftwareIdentity&& other) noexcept
    : secret_key_(other.secret_key_), public_key_(other.public_key_), fingerprint_(other.fingerprint_) {
    wipe(other.secret_key_);
}

SoftwareIdentity& SoftwareIdentity::operator=(SoftwareIdentity&& other) noexcept {
    if (this != &other) {
        secret_key_ = other.secret_key_;
        public_key_ = other.public_key_;
        fingerprint_ = other.fingerprint_;
        wipe(other.secret_key_);
    }
    return *this;
}

SoftwareIdentity::~SoftwareIdentity() { wipe(secret_key_); }

SoftwareIdentity::Signature SoftwareIdentity::sign(std::span<const std::uint8_t> payload) const {
    static const std::uint8_t empty = 0;
    Signature signature;
    crypto_sign_detached(signature.data(), nullptr, payload.empty() ? &empty : payload.data(), payload.size(),
                         secret_key_.data());
    return signature;
}

SoftwareIdentity::Seed SoftwareIdentity::secret_bytes() const {
    Seed seed;
    std::memcpy(seed.data(), secret_key_.data(), seed.size());
    return seed;
}

PeerIdentityDescriptor SoftwareIdentity::descriptor() const {
    PeerIdentityDescriptor descriptor;
    descriptor.fingerprint = fingerprint_.str();
    descriptor.public_key_b64 = public_key_text(public_key_);
    descriptor.surface = IdentitySurface::software;
    descriptor.created_at = std::string(kCreatedAt);
    return descriptor;
}

}  // namespace zun
