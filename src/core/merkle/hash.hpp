// The hashes of the Merkle tree that batches are anchored by: SHA-256 with
// one byte in front that keeps leaves and interior nodes apart, so that no
// node can pass for a leaf.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace zun::merkle {

inline constexpr std::size_t kHashSize = 32;
using Hash = std::array<std::uint8_t, kHashSize>;

// SHA-256(0x00 || leaf).
Hash leaf_hash(std::span<const std::uint8_t> leaf) noexcept;
// SHA-256(0x01 || left || right).
Hash node_hash(const Hash& left, const Hash& right) noexcept;
// SHA-256 of nothing: the root of the tree without leaves.
Hash empty_root() noexcept;

}  // namespace zun::merkle
