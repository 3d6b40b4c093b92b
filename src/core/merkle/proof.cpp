#include "core/merkle/proof.hpp"

#include <string>

namespace zun::merkle {
namespace {

std::string number(std::uint64_t value) { return std::to_string(value); }

std::string hash_count(std::size_t count) { return count == 1 ? "1 hash" : number(count) + " hashes"; }

ProofError inclusion_length_error(const InclusionProof& proof) {
    const std::size_t given = proof.hashes.size();
    const std::uint64_t needed = inclusion_proof_length(proof.leaf_index, proof.tree_size);
    return {std::string(given > needed ? "too many hashes" : "too few hashes") + ": the leaf at index " +
            number(proof.leaf_index) + " of a tree of " + number(proof.tree_size) + " leaves has a proof of " +
            hash_count(needed) + ", not " + number(given)};
}

ProofError consistency_length_error(const ConsistencyProof& proof) {
    const std::size_t given = proof.hashes.size();
    const std::uint64_t needed = consistency_proof_length(proof.old_size, proof.new_size);
    return {std::string(given > needed ? "too many hashes" : "too few hashes") + ": a tree of " +
            number(proof.old_size) + " leaves grown to " + number(proof.new_size) + " has a proof of " +
            hash_count(needed) + ", not " + number(given)};
}

bool lsb(std::uint64_t value) { return (value & 1) != 0; }

}  // namespace

std::uint64_t inclusion_proof_length(std::uint64_t index, std::uint64_t size) {
    std::uint64_t count = 0;
    for_each_inclusion_node(index, size, [&](std::uint64_t, std::uint64_t) { ++count; });
    return count;
}

std::uint64_t consistency_proof_length(std::uint64_t old_size, std::uint64_t size) {
    std::uint64_t count = 0;
    for_each_consistency_node(old_size, size, [&](std::uint64_t, std::uint64_t) { ++count; });
    return count;
}

ProofResult<Hash> root_from_inclusion(const InclusionProof& proof, const Hash& leaf) {
    if (proof.leaf_index >= proof.tree_size) {
        return ProofError{"leaf index " + number(proof.leaf_index) + " is not below the tree size " +
                          number(proof.tree_size)};
    }
    std::uint64_t fn = proof.leaf_index;
    std::uint64_t sn = proof.tree_size - 1;
    Hash r = leaf;
    for (const Hash& p : proof.hashes) {
        // Bounded by the tree's height: sn reaches 0 after at most 64 shifts.
        if (sn == 0) return inclusion_length_error(proof);
        if (lsb(fn) || fn == sn) {
            r = node_hash(p, r);
            if (!lsb(fn)) {
                while (!lsb(fn) && fn != 0) {
                    fn >>= 1;
                    sn >>= 1;
                }
            }
        } else {
            r = node_hash(r, p);
        }
        fn >>= 1;
        sn >>= 1;
    }
    if (sn != 0) return inclusion_length_error(proof);
    return r;
}

std::optional<ProofError> verify_inclusion(const InclusionProof& proof, const Hash& leaf, const Hash& root) {
    auto result = root_from_inclusion(proof, leaf);
    if (auto* error = std::get_if<ProofError>(&result)) return std::move(*error);
    if (std::get<Hash>(result) != root) return ProofError{"the root computed from the proof is not the given root"};
    return std::nullopt;
}

std::optional<ProofError> verify_consistency(const ConsistencyProof& proof, const Hash& old_root,
                                             const Hash& new_root) {
    const std::uint64_t first = proof.old_size;
    const std::uint64_t second = proof.new_size;
    const auto& path = proof.hashes;
    if (first == 0) return ProofError{"old size 0 has no consistency proof"};
    if (first > second) {
        return ProofError{"old size " + number(first) + " is greater than new size " + number(second)};
    }
    if (first == second) {
        if (!path.empty()) return consistency_length_error(proof);
        if (old_root != new_root) return ProofError{"equal sizes with different roots"};
        return std::nullopt;
    }
    if (path.empty()) return consistency_length_error(proof);

    // A power of two is its own subtree: the old root starts the path.
    const bool old_root_first = std::has_single_bit(first);
    std::size_t next = 0;
    const Hash& start = old_root_first ? old_root : path[next++];
    std::uint64_t fn = first - 1;
    std::uint64_t sn = second - 1;
    while (lsb(fn)) {
        fn >>= 1;
        sn >>= 1;
    }
    Hash fr = start;
    Hash sr = start;
    for (; next < path.size(); ++next) {
        const Hash& c = path[next];
        if (sn == 0) return consistency_length_error(proof);
        if (lsb(fn) || fn == sn) {
            fr = node_hash(c, fr);
            sr = node_hash(c, sr);
            if (!lsb(fn)) {
                while (!lsb(fn) && fn != 0) {
                    fn >>= 1;
                    sn >>= 1;
                }
            }
        } else {
            sr = node_hash(sr, c);
        }
        fn >>= 1;
        sn >>= 1;
    }
    if (sn != 0) return consistency_length_error(proof);
    if (fr != old_root) return ProofError{"the old root computed from the proof is not the given old root"};
    if (sr != new_root) return ProofError{"the new root computed from the proof is not the given new root"};
    return std::nullopt;
}

}  // namespace zun::merkle
