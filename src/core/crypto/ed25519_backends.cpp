#include "core/crypto/ed25519_backends.hpp"

#include <cstdlib>

#include <openssl/err.h>
#include <sodium.h>

#include "core/crypto/openssl_handles.hpp"

namespace zun {
namespace {

// An empty span may carry a null pointer; both libraries get a valid one.
const unsigned char* payload_pointer(std::span<const std::uint8_t> payload) {
    static const unsigned char empty = 0;
    return payload.empty() ? &empty : payload.data();
}

}  // namespace

void ensure_sodium() {
    // A failed initialisation leaves libsodium unusable and there is nobody
    // to report it to on a verification path; it only fails on a broken host.
    static const bool ready = sodium_init() >= 0;
    if (!ready) std::abort();
}

bool sodium_accepts(std::span<const std::uint8_t, 32> public_key, std::span<const std::uint8_t> payload,
                    std::span<const std::uint8_t, 64> signature) {
    ensure_sodium();
    return crypto_sign_verify_detached(signature.data(), payload_pointer(payload), payload.size(),
                                       public_key.data()) == 0;
}

bool openssl_accepts(std::span<const std::uint8_t, 32> public_key, std::span<const std::uint8_t> payload,
                     std::span<const std::uint8_t, 64> signature) {
    const EvpPkeyPtr key{EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, public_key.data(), public_key.size())};
    const EvpMdCtxPtr ctx{EVP_MD_CTX_new()};
    if (!key || !ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1) {
        ERR_clear_error();
        return false;
    }
    if (EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), payload_pointer(payload), payload.size()) == 1) {
        return true;
    }
    // A refusal may leave entries on this thread's error queue, where later
    // unrelated OpenSSL users would find them.
    ERR_clear_error();
    return false;
}

}  // namespace zun
