// Inclusion and consistency proofs of the Merkle tree, their shapes and
// their verification, step for step as RFC 9162 (2.1.3.2 and 2.1.4.2)
// gives it. Every way a proof can be wrong is a ProofError with its reason.
#pragma once

#include <bit>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core/merkle/hash.hpp"

namespace zun {

struct InclusionProof {
    std::uint64_t leaf_index = 0;
    std::uint64_t tree_size = 0;
    std::vector<merkle::Hash> hashes;
    friend bool operator==(const InclusionProof&, const InclusionProof&) = default;
};

struct ConsistencyProof {
    std::uint64_t old_size = 0;
    std::uint64_t new_size = 0;
    std::vector<merkle::Hash> hashes;
    friend bool operator==(const ConsistencyProof&, const ConsistencyProof&) = default;
};

namespace merkle {

// Why a proof does not verify: the reason as users read it, after the fixed
// prefix the binding puts in front.
struct ProofError {
    std::string reason;
    friend bool operator==(const ProofError&, const ProofError&) = default;
};

template <class T>
using ProofResult = std::variant<T, ProofError>;

// The root that the proof and the leaf hash lead to.
ProofResult<Hash> root_from_inclusion(const InclusionProof& proof, const Hash& leaf);
std::optional<ProofError> verify_inclusion(const InclusionProof& proof, const Hash& leaf, const Hash& root);
std::optional<ProofError> verify_consistency(const ConsistencyProof& proof, const Hash& old_root,
                                             const Hash& new_root);

// ---- the shapes of proofs ----
//
// A proof's hashes are the roots of whole subtrees [start, start + size) of
// the tree. Their count also says how many hashes a proof must hold.

// The largest power of two below n (n > 1).
constexpr std::uint64_t split_point(std::uint64_t n) noexcept { return std::bit_floor(n - 1); }

// Calls visit(start, size) for each hash of the inclusion proof of leaf
// `index` in the first `size` leaves (index < size), leaf first.
template <class Visit>
void for_each_inclusion_node(std::uint64_t index, std::uint64_t size, Visit&& visit) {
    // Walked from the root down; the proof lists the subtrees from the leaf up.
    struct Node {
        std::uint64_t start, size;
    };
    Node nodes[64];
    int count = 0;
    std::uint64_t start = 0;
    while (size > 1) {
        const std::uint64_t k = split_point(size);
        if (index < k) {
            nodes[count++] = {start + k, size - k};
            size = k;
        } else {
            nodes[count++] = {start, k};
            start += k;
            index -= k;
            size -= k;
        }
    }
    while (count > 0) {
        --count;
        visit(nodes[count].start, nodes[count].size);
    }
}

// Calls visit(start, size) for each hash of the consistency proof from the
// first `old_size` leaves to the first `size` (0 < old_size <= size), in
// proof order.
template <class Visit>
void for_each_consistency_node(std::uint64_t old_size, std::uint64_t size, Visit&& visit) {
    struct Node {
        std::uint64_t start, size;
    };
    Node nodes[65];
    int count = 0;
    std::uint64_t start = 0;
    bool whole_old_tree = true;  // the old tree is the left part all the way down
    while (old_size != size) {
        const std::uint64_t k = split_point(size);
        if (old_size <= k) {
            nodes[count++] = {start + k, size - k};
            size = k;
        } else {
            nodes[count++] = {start, k};
            start += k;
            old_size -= k;
            size -= k;
            whole_old_tree = false;
        }
    }
    // The verifier has the old root; any other old subtree must be given.
    if (!whole_old_tree) nodes[count++] = {start, size};
    while (count > 0) {
        --count;
        visit(nodes[count].start, nodes[count].size);
    }
}

std::uint64_t inclusion_proof_length(std::uint64_t index, std::uint64_t size);
std::uint64_t consistency_proof_length(std::uint64_t old_size, std::uint64_t size);

}  // namespace merkle
}  // namespace zun
