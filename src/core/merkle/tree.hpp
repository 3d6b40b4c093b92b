// An append-only Merkle tree over leaf hashes. It keeps the 32-byte hash of
// every leaf and of every whole subtree of 8 leaves or more, whose size is a
// power of two: about 40 bytes per leaf. The root of any prefix and any
// proof then take a handful of hashes however large the tree is; the
// subtrees of 2 and 4 leaves are hashed again from the leaves when needed.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "core/merkle/hash.hpp"
#include "core/merkle/proof.hpp"

namespace zun::merkle {

class MerkleTree {
public:
    std::uint64_t size() const noexcept { return levels_[0].size(); }

    void append(const Hash& leaf);
    // Takes the leaves from `size` on back out (size <= size()): the tree is
    // then as it was when it had `size` leaves.
    void truncate(std::uint64_t size);

    // Preconditions, left to the caller: index < size() for leaf_hash;
    // size <= size() everywhere; index < size for inclusion proofs;
    // 0 < old_size <= size for consistency proofs.
    const Hash& leaf_hash(std::uint64_t index) const noexcept { return levels_[0][index]; }
    Hash root(std::uint64_t size) const;
    InclusionProof inclusion_proof(std::uint64_t index, std::uint64_t size) const;
    ConsistencyProof consistency_proof(std::uint64_t old_size, std::uint64_t size) const;

private:
    // Levels 1 and 2 are not kept: they would hold three quarters as much as
    // the levels above, and rebuilding one of their nodes takes 1 or 3 hashes.
    static constexpr std::size_t kFirstKeptLevel = 3;

    // The hashes of one level, in blocks of 16384 (512 KiB), so that growing
    // never copies the level nor holds twice its size; the first block grows
    // from nothing, so that small trees stay small.
    class Level {
    public:
        static constexpr unsigned kBlockBits = 14;
        static constexpr std::uint64_t kBlock = std::uint64_t{1} << kBlockBits;

        std::uint64_t size() const noexcept { return size_; }
        const Hash& operator[](std::uint64_t i) const noexcept { return blocks_[i >> kBlockBits][i & (kBlock - 1)]; }
        void push_back(const Hash& hash) {
            if (blocks_.empty() || blocks_.back().size() == kBlock) [[unlikely]] add_block();
            blocks_.back().push_back(hash);
            ++size_;
        }
        // size <= size().
        void truncate(std::uint64_t size);

    private:
        void add_block();
        std::vector<std::vector<Hash>> blocks_;
        std::uint64_t size_ = 0;
    };

    // The root of the whole subtree of leaves [j * 2^h, (j + 1) * 2^h).
    Hash node(std::size_t h, std::uint64_t j) const;
    // The root of leaves [start, start + size), a subtree of the tree's
    // shape: start is a multiple of the smallest power of two >= size.
    Hash subtree(std::uint64_t start, std::uint64_t size) const;

    // levels_[h][j] is node(h, j), for h == 0 and h >= kFirstKeptLevel;
    // the levels between stay empty.
    std::vector<Level> levels_ = std::vector<Level>(1);
    // For the leaves and the levels not kept: the last node completed at an
    // even index, the left sibling of the next one.
    std::array<Hash, kFirstKeptLevel> pending_{};
};

}  // namespace zun::merkle
