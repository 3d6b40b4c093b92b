#include "core/merkle/tree.hpp"

#include <bit>

namespace zun::merkle {

void MerkleTree::Level::add_block() {
    blocks_.emplace_back();
    // Past the first block a level is large: its blocks start whole.
    if (size_ >= kBlock) blocks_.back().reserve(kBlock);
}

void MerkleTree::Level::truncate(std::uint64_t size) {
    const std::uint64_t blocks = (size + kBlock - 1) >> kBlockBits;
    blocks_.resize(static_cast<std::size_t>(blocks));
    if (blocks > 0) blocks_.back().resize(static_cast<std::size_t>(size - ((blocks - 1) << kBlockBits)));
    size_ = size;
}

void MerkleTree::truncate(std::uint64_t size) {
    for (std::size_t h = 0; h < levels_.size(); ++h) {
        if (h == 0 || h >= kFirstKeptLevel) levels_[h].truncate(size >> h);
    }
    // A level with an odd number of whole nodes has its last one waiting
    // for a right sibling; the levels not kept hold it in pending_.
    for (std::size_t h = 0; h < kFirstKeptLevel; ++h) {
        if (((size >> h) & 1) != 0) pending_[h] = node(h, (size >> h) - 1);
    }
}

void MerkleTree::append(const Hash& leaf) {
    std::uint64_t index = size();
    levels_[0].push_back(leaf);
    if ((index & 1) == 0) {
        pending_[0] = leaf;
        return;
    }
    // Each odd index completes a subtree one level up with its left sibling.
    Hash carry = leaf;
    for (std::size_t h = 0; (index & 1) != 0; ++h) {
        carry = node_hash(h < kFirstKeptLevel ? pending_[h] : levels_[h][index - 1], carry);
        index >>= 1;
        const std::size_t up = h + 1;
        if (up >= kFirstKeptLevel) {
            while (levels_.size() <= up) levels_.emplace_back();
            levels_[up].push_back(carry);
        } else if ((index & 1) == 0) {
            pending_[up] = carry;
        }
    }
}

Hash MerkleTree::node(std::size_t h, std::uint64_t j) const {
    if (h == 0 || h >= kFirstKeptLevel) return levels_[h][j];
    return node_hash(node(h - 1, 2 * j), node(h - 1, 2 * j + 1));
}

Hash MerkleTree::subtree(std::uint64_t start, std::uint64_t size) const {
    // The whole subtrees that make up the range, one per bit of its size,
    // largest first; the root folds them from the right.
    const int lowest = std::countr_zero(size);
    const auto start_of = [&](int bit) {
        // Past the whole subtrees of the higher bits.
        const std::uint64_t above = bit == 63 ? 0 : size >> (bit + 1) << (bit + 1);
        return (start + above) >> bit;
    };
    Hash acc = node(static_cast<std::size_t>(lowest), start_of(lowest));
    for (int bit = lowest + 1; bit < 64; ++bit) {
        if ((size >> bit & 1) != 0) acc = node_hash(node(static_cast<std::size_t>(bit), start_of(bit)), acc);
    }
    return acc;
}

Hash MerkleTree::root(std::uint64_t size) const {
    if (size == 0) return empty_root();
    return subtree(0, size);
}

InclusionProof MerkleTree::inclusion_proof(std::uint64_t index, std::uint64_t size) const {
    InclusionProof proof{index, size, {}};
    proof.hashes.reserve(inclusion_proof_length(index, size));
    for_each_inclusion_node(index, size, [&](std::uint64_t start, std::uint64_t n) {
        proof.hashes.push_back(subtree(start, n));
    });
    return proof;
}

ConsistencyProof MerkleTree::consistency_proof(std::uint64_t old_size, std::uint64_t size) const {
    ConsistencyProof proof{old_size, size, {}};
    proof.hashes.reserve(consistency_proof_length(old_size, size));
    for_each_consistency_node(old_size, size, [&](std::uint64_t start, std::uint64_t n) {
        proof.hashes.push_back(subtree(start, n));
    });
    return proof;
}

}  // namespace zun::merkle
