#include "core/timestamp/tsa_anchor.hpp"

#include <cstdio>
#include <utility>

#include "core/protocol/names.hpp"
#include "core/text/base64.hpp"
#include "core/text/debug_quote.hpp"
#include "core/text/hex.hpp"
#include "core/timestamp/failure.hpp"

namespace zun {
namespace {

using timestamp_failure::bad;
using timestamp_failure::unsupported;

std::string nonce_hex(std::uint64_t nonce) {
    char text[17];
    std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(nonce));
    return text;
}

}  // namespace

TsaAnchor::TsaAnchor(std::string id, TimestampTrust trust, std::optional<std::string> policy,
                     std::optional<std::string> signer_common_name)
    : id_(std::move(id)),
      trust_(std::move(trust)),
      policy_(std::move(policy)),
      signer_common_name_(std::move(signer_common_name)) {}

TimestampExpectations TsaAnchor::expectations(std::span<const std::uint8_t> digest) const {
    return TimestampExpectations{digest, std::nullopt, policy_, signer_common_name_};
}

std::variant<TimestampRequest, RandomSourceError> TsaAnchor::request(const MerkleRoot& root) const {
    auto nonce = random_nonce();
    if (auto* failure = std::get_if<RandomSourceError>(&nonce)) return std::move(*failure);
    auto made = make_timestamp_request(root, std::get<std::uint64_t>(nonce), policy_, true);
    // The policy was checked when the anchor was made.
    return std::get<TimestampRequest>(std::move(made));
}

AnchorResult<AnchorReceipt> TsaAnchor::receipt(const TimestampRequest& request,
                                               std::span<const std::uint8_t> response) const {
    auto parsed = parse_timestamp(response);
    if (auto* error = std::get_if<AnchorError>(&parsed)) return std::move(*error);
    const TimestampToken& token = std::get<TimestampToken>(parsed);
    TimestampExpectations expected = expectations(request.digest);
    if (request.nonce) expected.nonce_hex = nonce_hex(*request.nonce);
    // The policy asked for is the one the answer must be given under, also
    // when the anchor itself would take any.
    if (!expected.policy) expected.policy = request.policy;
    auto verified = verify_timestamp(token, trust_, expected);
    if (auto* error = std::get_if<AnchorError>(&verified)) return std::move(*error);

    AnchorReceipt receipt;
    receipt.anchor_id = id_;
    receipt.anchor_kind = kKind;
    receipt.merkle_root_hex = hex_encode(request.digest);
    receipt.submission_ref = std::string(kSubmissionPrefix) + token.serial_hex;
    receipt.submitted_at = token.gen_time_text;
    // A time-stamping authority's answer is final as soon as it is given.
    receipt.expected_finality_at = token.gen_time_text;
    receipt.proof_b64 = base64_encode_padded(token.der);
    return receipt;
}

AnchorResult<AnchorProof> TsaAnchor::verify(const AnchorReceipt& receipt) const {
    if (receipt.anchor_kind != kKind) {
        return unsupported("a receipt of kind `" + std::string(name_of(receipt.anchor_kind)) +
                           "` cannot be verified by a `nist_tsa` anchor");
    }
    auto root = receipt_root(receipt.merkle_root_hex);
    if (auto* error = std::get_if<AnchorError>(&root)) return std::move(*error);
    const auto der = base64_decode_padded(receipt.proof_b64);
    if (!der) return bad("proof_b64 is not padded standard Base64");
    auto parsed = parse_timestamp(*der);
    if (auto* error = std::get_if<AnchorError>(&parsed)) return bad("proof_b64: " + error->detail);
    const TimestampToken& token = std::get<TimestampToken>(parsed);
    auto verified = verify_timestamp(token, trust_, expectations(std::get<MerkleRoot>(root)));
    if (auto* error = std::get_if<AnchorError>(&verified)) return std::move(*error);

    std::string detail = "serial " + hex_literal(token.serial_hex) + ", policy " + token.policy + ", signer ";
    append_debug_quoted(detail, std::get<VerifiedTimestamp>(verified).signer_common_name);
    // The root as the proof writes it, in lowercase, whatever case the receipt used.
    return AnchorProof{id_, kKind, hex_encode(std::get<MerkleRoot>(root)), true, token.gen_time_text,
                       std::move(detail)};
}

}  // namespace zun
