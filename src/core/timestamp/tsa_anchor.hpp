// The `nist_tsa` anchor: a Merkle root time-stamped by an RFC 3161
// time-stamping authority, and the receipt verified offline, years later.
// The anchor never talks to the authority: the caller sends the request and
// hands the answer back.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <variant>

#include "core/anchor/anchor.hpp"
#include "core/timestamp/timestamp.hpp"

namespace zun {

class TsaAnchor {
public:
    static constexpr AnchorKind kKind = AnchorKind::nist_tsa;
    static constexpr std::string_view kSubmissionPrefix = "tsa-serial:";

    // `policy` must have passed check_dotted_oid.
    TsaAnchor(std::string id, TimestampTrust trust, std::optional<std::string> policy,
              std::optional<std::string> signer_common_name);

    const std::string& id() const noexcept { return id_; }
    const TimestampTrust& trust() const noexcept { return trust_; }
    const std::optional<std::string>& policy() const noexcept { return policy_; }
    const std::optional<std::string>& signer_common_name() const noexcept { return signer_common_name_; }

    // A request for the root with a fresh nonce and the anchor's policy.
    std::variant<TimestampRequest, RandomSourceError> request(const MerkleRoot& root) const;

    // Verifies the authority's answer to `request` in full, its nonce
    // included, and makes the receipt that carries the token. The token's
    // policy must be the anchor's, or when it names none, the request's.
    AnchorResult<AnchorReceipt> receipt(const TimestampRequest& request, std::span<const std::uint8_t> response) const;

    // Unsupported for a receipt of another kind; BadResponse when its root
    // is not 64 hex digits, its proof is not a token in padded Base64, or the
    // token does not verify against the root.
    AnchorResult<AnchorProof> verify(const AnchorReceipt& receipt) const;

private:
    TimestampExpectations expectations(std::span<const std::uint8_t> digest) const;

    const std::string id_;
    const TimestampTrust trust_;
    const std::optional<std::string> policy_;
    const std::optional<std::string> signer_common_name_;
};

}  // namespace zun
