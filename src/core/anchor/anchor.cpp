#include "core/anchor/anchor.hpp"

#include "core/text/hex.hpp"

namespace zun {

std::string_view AnchorError::prefix(Kind kind) noexcept {
    switch (kind) {
        case Kind::network: return "anchor network: ";
        case Kind::bad_response: return "anchor bad response: ";
        case Kind::already_submitted: return "anchor already submitted: ";
        case Kind::not_found: return "anchor not found: ";
        case Kind::unsupported: return "anchor unsupported: ";
    }
    return "anchor: ";
}

std::string AnchorError::message() const {
    const std::string_view head = prefix(kind);
    std::string out;
    out.reserve(head.size() + detail.size());
    out.append(head).append(detail);
    return out;
}

AnchorResult<MerkleRoot> receipt_root(std::string_view merkle_root_hex) {
    const auto bad = [](std::string detail) { return AnchorError{AnchorError::Kind::bad_response, std::move(detail)}; };
    MerkleRoot root;
    if (merkle_root_hex.size() != 2 * root.size()) {
        if (auto error = hex_check(merkle_root_hex)) return bad(error->message());
        return bad("root len");
    }
    if (auto error = hex_decode_to(merkle_root_hex, root)) return bad(error->message());
    return root;
}

AnchorResult<AnchorReceipt> MockAnchor::submit(const MerkleRoot& root) {
    // Built before locking so that the lock covers only the map operation.
    AnchorReceipt receipt;
    receipt.anchor_id = id_;
    receipt.anchor_kind = kKind;
    receipt.merkle_root_hex = hex_encode(root);
    receipt.submission_ref = "mock://";
    append_hex(receipt.submission_ref, std::span(root).first<4>());
    receipt.submitted_at = kIssuedAt;
    receipt.expected_finality_at = kIssuedAt;
    {
        // Look-up and insertion in one acquisition: of two concurrent
        // submissions of one root exactly one succeeds.
        const std::lock_guard lock(mutex_);
        if (!submissions_.try_emplace(root, receipt).second) {
            return AnchorError{AnchorError::Kind::already_submitted, std::move(receipt.merkle_root_hex)};
        }
    }
    return receipt;
}

AnchorResult<AnchorProof> MockAnchor::verify(const AnchorReceipt& receipt) const {
    auto root = receipt_root(receipt.merkle_root_hex);
    if (auto* error = std::get_if<AnchorError>(&root)) return std::move(*error);
    bool found;
    {
        const std::lock_guard lock(mutex_);
        found = submissions_.contains(std::get<MerkleRoot>(root));
    }
    if (!found) return AnchorError{AnchorError::Kind::not_found, receipt.merkle_root_hex};
    return AnchorProof{id_, kKind, receipt.merkle_root_hex, true, receipt.submitted_at, "mock"};
}

std::optional<AnchorReceipt> MockAnchor::stored_receipt(const MerkleRoot& root) const {
    const std::lock_guard lock(mutex_);
    const auto it = submissions_.find(root);
    if (it == submissions_.end()) return std::nullopt;
    return it->second;
}

std::size_t MockAnchor::submission_count() const {
    const std::lock_guard lock(mutex_);
    return submissions_.size();
}

}  // namespace zun
