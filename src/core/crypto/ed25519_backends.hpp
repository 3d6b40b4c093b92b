// The two Ed25519 verifiers the core combines, each usable on its own so the
// split between them can be checked against reference vectors.
#pragma once

#include <cstdint>
#include <span>

namespace zun {

// libsodium is initialised once per process, from whichever thread gets here
// first.
void ensure_sodium();

// libsodium's verdict. Stricter than ours: it also refuses small-order and
// non-canonical encodings of the key or of R, but otherwise agrees.
bool sodium_accepts(std::span<const std::uint8_t, 32> public_key, std::span<const std::uint8_t> payload,
                    std::span<const std::uint8_t, 64> signature);

// OpenSSL's verdict: exactly the cofactorless equation with S < L, for any
// key that decompresses (it does not tell undecodable keys apart).
bool openssl_accepts(std::span<const std::uint8_t, 32> public_key, std::span<const std::uint8_t> payload,
                     std::span<const std::uint8_t, 64> signature);

}  // namespace zun
