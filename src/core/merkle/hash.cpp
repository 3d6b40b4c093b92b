#include "core/merkle/hash.hpp"

// The low-level SHA-256 calls are deprecated in OpenSSL 3 but still built
// (Debian, RHEL and the manylinux images all ship them). They are what a
// root of a million leaves is made of: measured with bench/sha256_floor.c,
// an EVP context reused for every hash takes 1.36 times as long, EVP_Digest
// 1.45 times and the one-shot SHA256() 3.2 times, the provider dispatch
// costing as much as the two compression rounds of a leaf. Compressing a
// node's two padded blocks with SHA256_Transform instead of the update and
// final calls was measured too: it is slower (126 ns against 111 a node).
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include <algorithm>

namespace zun::merkle {
namespace {

constexpr unsigned char kLeafPrefix = 0x00;
constexpr unsigned char kNodePrefix = 0x01;

}  // namespace

Hash leaf_hash(std::span<const std::uint8_t> leaf) noexcept {
    SHA256_CTX ctx;
    SHA256_Init(&ctx);
    SHA256_Update(&ctx, &kLeafPrefix, 1);
    SHA256_Update(&ctx, leaf.data(), leaf.size());
    Hash out;
    SHA256_Final(out.data(), &ctx);
    return out;
}

Hash node_hash(const Hash& left, const Hash& right) noexcept {
    // One contiguous message: a single update fills the first block whole.
    std::array<std::uint8_t, 1 + 2 * kHashSize> message;
    message[0] = kNodePrefix;
    std::copy(left.begin(), left.end(), message.begin() + 1);
    std::copy(right.begin(), right.end(), message.begin() + 1 + kHashSize);
    SHA256_CTX ctx;
    SHA256_Init(&ctx);
    SHA256_Update(&ctx, message.data(), message.size());
    Hash out;
    SHA256_Final(out.data(), &ctx);
    return out;
}

Hash empty_root() noexcept {
    SHA256_CTX ctx;
    SHA256_Init(&ctx);
    Hash out;
    SHA256_Final(out.data(), &ctx);
    return out;
}

}  // namespace zun::merkle
