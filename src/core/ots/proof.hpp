// A parsed .ots proof, held as its canonical bytes and nothing else: a proof
// takes the memory of its file, whatever its shape. Every question asked of
// it (its attestations, the messages they attest, where an answer grafts)
// is one linear walk over those bytes, computing the messages on the way.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/anchor/anchor.hpp"
#include "core/ots/format.hpp"
#include "core/ots/tree.hpp"

namespace zun::ots {

class Proof {
public:
    // A whole .ots file, every limit checked; on failure the reason.
    static std::variant<Proof, std::string> read(std::span<const std::uint8_t> file);

    // The proof of `digest` (hashed by `hash_op`) whose tree is the
    // canonical union of `roots` in `arena`; on failure the reason.
    static std::variant<Proof, std::string> assemble(std::uint8_t hash_op, std::span<const std::uint8_t> digest,
                                                     const Arena& arena, std::span<const NodeSource> roots);

    std::uint8_t hash_op() const noexcept { return file_[kMagic.size() + 1]; }
    std::span<const std::uint8_t> digest() const noexcept {
        return std::span(file_).subspan(kMagic.size() + 2, digest_size(hash_op()));
    }
    std::span<const std::uint8_t> tree() const noexcept {
        return std::span(file_).subspan(kMagic.size() + 2 + digest_size(hash_op()));
    }
    // The canonical .ots file.
    const Bytes& bytes() const noexcept { return file_; }

    friend bool operator==(const Proof&, const Proof&) = default;

private:
    explicit Proof(Bytes file) : file_(std::move(file)) {}
    Bytes file_;
};

// What a walk over a tree reports, in the order of its bytes. A message
// that cannot be computed here (a hash above it that the linked libcrypto
// lacks) is empty, with `missing` saying why.
class TreeVisitor {
public:
    virtual ~TreeVisitor() = default;
    // Each node: `owner` is the index of the operation that leads to it
    // among the tree's items in the order of its bytes, kNoItem for the root.
    virtual void node(std::uint32_t owner, std::span<const std::uint8_t> message, std::string_view missing) = 0;
    virtual void attestation(const ItemView& item, std::span<const std::uint8_t> message,
                             std::string_view missing) = 0;
};

// Walks a proof's tree, which it has read, computing every message.
void walk(const Proof& proof, TreeVisitor& visitor);

struct Attestation {
    AttestationKind kind = AttestationKind::unknown;
    AttestationTag tag{};
    std::uint64_t height = 0;  // the three chains
    std::string url;           // pending
    Bytes commitment;          // the message it attests
};

constexpr unsigned kind_bit(AttestationKind kind) { return 1U << static_cast<unsigned>(kind); }
inline constexpr unsigned kAllKinds = 0x1f;

// The attestations of the kinds in the mask `kinds`, in canonical order, each
// with its message; Unsupported when a hash on the way to one of them is
// missing from the linked libcrypto.
AnchorResult<std::vector<Attestation>> attestations(const Proof& proof, unsigned kinds = kAllKinds);

// How many attestations the proof holds, counted without computing a message.
std::size_t attestation_count(const Proof& proof);

// The union of two proofs of the same digest, or the reason they have none.
std::variant<Proof, std::string> merge(const Proof& a, const Proof& b);

// The proof with `answer` (a bare tree that starts at `commitment`) grafted
// at every node whose message is `commitment`; nullopt when there is none.
// Where the answer holds an attestation that is not pending, it is what the
// pending attestations at those nodes were waiting for, and they are left
// out. A malformed answer is a BadResponse ("invalid .ots tree: ..."), a
// hash the libcrypto lacks Unsupported.
AnchorResult<std::optional<Proof>> upgrade(const Proof& proof, std::span<const std::uint8_t> commitment,
                                           std::span<const std::uint8_t> answer);

// Reads a calendar's answer, a bare tree starting at a message of `length`
// bytes, into `arena` as source `source`; returns its first item, or the
// reason it is no tree.
std::variant<std::uint32_t, std::string> read_answer(Arena& arena, std::span<const std::uint8_t> answer,
                                                     std::size_t length);

// Whether the items read from source `source` of `arena` hold an attestation
// that is not pending.
bool holds_final_attestation(const Arena& arena, std::uint16_t source);

}  // namespace zun::ots
