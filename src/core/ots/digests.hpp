// The hash operations of proofs, computed by the linked libcrypto: SHA-1,
// RIPEMD-160 and SHA-256 everywhere, KECCAK-256 where the libcrypto has it
// (OpenSSL 3.2 and later). A hash the libcrypto lacks is found when a proof
// needs it, never when the module is imported.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "core/crypto/openssl_handles.hpp"
#include "core/ots/format.hpp"

namespace zun::ots {

// Why the hash op `tag` cannot be computed with the linked libcrypto, or an
// empty view when it can.
std::string_view missing_hash(std::uint8_t tag);

// Computes operations for one walk over a proof; not shared between threads.
class Hasher {
public:
    // Writes op `tag` applied to `in` (with `argument` for append and
    // prepend) to `out`, which must not overlap `in`. Returns an empty view,
    // or the reason the op cannot be computed here (`out` is then
    // unspecified).
    std::string_view apply(std::uint8_t tag, std::span<const std::uint8_t> argument, std::span<const std::uint8_t> in,
                           Bytes& out);

    // SHA-256 of SHA-256, as Bitcoin hashes headers and transactions.
    std::array<std::uint8_t, 32> double_sha256(std::span<const std::uint8_t> data);

private:
    std::string_view digest(std::uint8_t tag, std::span<const std::uint8_t> in, std::uint8_t* out);

    // One context per algorithm, made when first needed, so that each keeps
    // its provider state between messages.
    std::array<EvpMdCtxPtr, 4> contexts_;
};

}  // namespace zun::ots
