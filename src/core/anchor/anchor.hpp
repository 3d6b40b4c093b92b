// Anchor failures and the in-memory anchor for tests and local development.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "core/protocol/records.hpp"

namespace zun {

struct AnchorError {
    enum class Kind : std::uint8_t { network, bad_response, already_submitted, not_found, unsupported };
    Kind kind = Kind::network;
    std::string detail;

    // Fixed prefix of the kind + detail, e.g. "anchor not found: <detail>".
    std::string message() const;
    static std::string_view prefix(Kind kind) noexcept;
    friend bool operator==(const AnchorError&, const AnchorError&) = default;
};

template <class T>
using AnchorResult = std::variant<T, AnchorError>;

using MerkleRoot = std::array<std::uint8_t, 32>;

// The root a receipt names, from its text: BadResponse when that is not 64
// hex digits, bad hex being reported ahead of a wrong length ("root len").
AnchorResult<MerkleRoot> receipt_root(std::string_view merkle_root_hex);

// Accepts roots, issues receipts at once, and confirms them immediately.
// Remembers every root it accepted for its own lifetime; entries are never
// removed or replaced. Safe to use from several threads.
class MockAnchor {
public:
    static constexpr AnchorKind kKind = AnchorKind::local;
    static constexpr std::uint64_t kFinalitySeconds = 0;
    static constexpr double kCostUsdPerSubmission = 0.0;
    static constexpr std::string_view kIssuedAt = "2026-04-15T09:00:00Z";

    explicit MockAnchor(std::string id) : id_(std::move(id)) {}
    MockAnchor(const MockAnchor&) = delete;
    MockAnchor& operator=(const MockAnchor&) = delete;

    const std::string& id() const noexcept { return id_; }

    // AlreadySubmitted (detail: the root in lowercase hex) when the root was
    // accepted before; the first receipt stays in place.
    AnchorResult<AnchorReceipt> submit(const MerkleRoot& root);

    // BadResponse when the receipt's root text is not hex of 32 bytes,
    // NotFound (detail: that text verbatim) when this anchor never accepted
    // the root. Only the root is compared with what was issued.
    AnchorResult<AnchorProof> verify(const AnchorReceipt& receipt) const;

    // The receipt stored for root, if any.
    std::optional<AnchorReceipt> stored_receipt(const MerkleRoot& root) const;
    std::size_t submission_count() const;

private:
    const std::string id_;
    mutable std::mutex mutex_;
    std::map<MerkleRoot, AnchorReceipt> submissions_;  // guarded by mutex_
};

}  // namespace zun
