#include "core/ots/ots_anchor.hpp"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <utility>

#include "core/ots/digests.hpp"
#include "core/protocol/names.hpp"
#include "core/text/base64.hpp"
#include "core/text/debug_quote.hpp"
#include "core/text/hex.hpp"
#include "core/time/instant.hpp"

namespace zun::ots {
namespace {

AnchorError bad(std::string detail) { return AnchorError{AnchorError::Kind::bad_response, std::move(detail)}; }

std::string quoted(std::string_view text) {
    std::string out;
    append_debug_quoted(out, text);
    return out;
}

std::string answer_of(std::string_view calendar) { return "the answer of " + quoted(calendar) + ": "; }

Instant now() {
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch());
    return Instant{seconds.count(), 0};
}

}  // namespace

OtsRequest make_request(const MerkleRoot& root, std::span<const std::uint8_t, kNonceSize> nonce) {
    OtsRequest request;
    request.merkle_root = root;
    std::copy(nonce.begin(), nonce.end(), request.nonce.begin());
    Bytes commitment;
    Hasher().apply(op::append, nonce, root, commitment);
    Bytes hashed;
    // SHA-256 is in every libcrypto the module builds against.
    if (!Hasher().apply(op::sha256, {}, commitment, hashed).empty()) throw std::runtime_error("no SHA-256");
    std::copy(hashed.begin(), hashed.end(), request.commitment.begin());
    return request;
}

std::variant<OtsRequest, RandomSourceError> random_request(const MerkleRoot& root) {
    std::array<std::uint8_t, kNonceSize> nonce;
    if (auto failure = fill_random(nonce)) return std::move(*failure);
    return make_request(root, nonce);
}

Bytes request_bytes(const OtsRequest& request) {
    Bytes bytes(request.merkle_root.begin(), request.merkle_root.end());
    bytes.insert(bytes.end(), request.nonce.begin(), request.nonce.end());
    return bytes;
}

std::variant<OtsRequest, std::string> read_request(std::span<const std::uint8_t> data) {
    if (data.size() != kRequestSize) {
        return "an OtsRequest is " + std::to_string(kRequestSize) + " bytes (the root, then the nonce), not " +
               std::to_string(data.size());
    }
    MerkleRoot root;
    std::copy_n(data.begin(), root.size(), root.begin());
    return make_request(root, data.subspan(root.size()).first<kNonceSize>());
}

std::string upgrade_url(std::string_view calendar, std::span<const std::uint8_t> commitment) {
    std::string url(calendar);
    if (!url.empty() && url.back() == '/') url.pop_back();
    url += "/timestamp/";
    append_hex(url, commitment);
    return url;
}

std::optional<std::string> OtsAnchor::check_calendar(std::string_view url) {
    if (url.size() > kMaxUrl) return "longer than " + std::to_string(kMaxUrl) + " bytes";
    if (auto fault = check_url_alphabet(url)) return *fault;
    if (!url.starts_with("https://") && !url.starts_with("http://")) return std::string("not an http:// or https:// URL");
    if (url.ends_with('/')) return std::string("ends with /: give the calendar's URL without it");
    return std::nullopt;
}

OtsAnchor::OtsAnchor(std::string id, std::vector<std::string> calendars, Chain chain)
    : id_(std::move(id)), calendars_(std::move(calendars)), chain_(chain) {}

OtsResult<AnchorReceipt> OtsAnchor::receipt(const OtsRequest& request, std::span<const CalendarAnswer> answers) const {
    if (answers.empty()) return ArgumentError{"responses: no calendar's answer was given"};
    for (const CalendarAnswer& answer : answers) {
        if (std::find(calendars_.begin(), calendars_.end(), answer.calendar) == calendars_.end()) {
            return ArgumentError{"responses: " + quoted(answer.calendar) + " is not one of the anchor's calendars"};
        }
    }
    // The root's two operations refer to the request's nonce; the calendars'
    // trees hang from the commitment they lead to.
    Arena arena;
    const std::uint16_t nonce = *arena.add_source(request.nonce);
    const std::uint32_t append = arena.add_item({0, kNonceSize, kNoItem, kNoItem, nonce, op::append}, kNoItem);
    const std::uint32_t hash = arena.add_item({0, 0, kNoItem, kNoItem, nonce, op::sha256}, kNoItem);
    arena.set_child(append, hash);
    for (const CalendarAnswer& answer : answers) {
        auto read = read_answer(arena, answer.body, request.commitment.size());
        if (auto* reason = std::get_if<std::string>(&read)) {
            return bad(answer_of(answer.calendar) + "invalid .ots tree: " + *reason);
        }
        arena.graft(hash, std::get<std::uint32_t>(read), false);
    }
    const NodeSource root{append};
    auto proof = Proof::assemble(op::sha256, request.merkle_root, arena, {&root, 1});
    if (auto* reason = std::get_if<std::string>(&proof)) return bad("invalid .ots tree: " + *reason);

    const Instant submitted = now();
    AnchorReceipt receipt;
    receipt.anchor_id = id_;
    receipt.anchor_kind = kKind;
    receipt.merkle_root_hex = hex_encode(request.merkle_root);
    receipt.submission_ref = std::string(kSubmissionPrefix) + hex_encode(request.commitment);
    receipt.submitted_at = format_instant(submitted);
    receipt.expected_finality_at = format_instant(Instant{submitted.unix_seconds + kFinalitySeconds, 0});
    receipt.proof_b64 = base64_encode_padded(std::get<Proof>(proof).bytes());
    return receipt;
}

AnchorResult<Proof> OtsAnchor::proof_of(const AnchorReceipt& receipt) const {
    if (receipt.anchor_kind != kKind) {
        return AnchorError{AnchorError::Kind::unsupported, "a receipt of kind `" +
                                                               std::string(name_of(receipt.anchor_kind)) +
                                                               "` cannot be used by an `open_timestamps` anchor"};
    }
    auto root = receipt_root(receipt.merkle_root_hex);
    if (auto* error = std::get_if<AnchorError>(&root)) return std::move(*error);
    const auto file = base64_decode_padded(receipt.proof_b64);
    if (!file) return bad("proof_b64 is not padded standard Base64");
    auto read = Proof::read(*file);
    if (auto* reason = std::get_if<std::string>(&read)) return bad("proof_b64: invalid .ots proof: " + *reason);
    Proof& proof = std::get<Proof>(read);
    const MerkleRoot& expected = std::get<MerkleRoot>(root);
    if (proof.hash_op() != op::sha256 || !std::ranges::equal(proof.digest(), expected)) {
        return bad("the proof is of " + std::string(op_name(proof.hash_op())) + " " + hex_encode(proof.digest()) +
                   ", not of the receipt's root");
    }
    return std::move(proof);
}

AnchorResult<std::vector<PendingUpgrade>> OtsAnchor::pending(const AnchorReceipt& receipt) const {
    auto proof = proof_of(receipt);
    if (auto* error = std::get_if<AnchorError>(&proof)) return std::move(*error);
    auto found = attestations(std::get<Proof>(proof), kind_bit(AttestationKind::pending));
    if (auto* error = std::get_if<AnchorError>(&found)) return std::move(*error);
    std::vector<PendingUpgrade> pending;
    for (const Attestation& attestation : std::get<std::vector<Attestation>>(found)) {
        pending.push_back({attestation.url, upgrade_url(attestation.url, attestation.commitment)});
    }
    return pending;
}

OtsResult<AnchorReceipt> OtsAnchor::upgrade(const AnchorReceipt& receipt, std::span<const CalendarAnswer> answers) const {
    auto read = proof_of(receipt);
    if (auto* error = std::get_if<AnchorError>(&read)) return std::move(*error);
    Proof proof = std::get<Proof>(std::move(read));
    auto found = attestations(proof, kind_bit(AttestationKind::pending));
    if (auto* error = std::get_if<AnchorError>(&found)) return std::move(*error);
    const auto& pending = std::get<std::vector<Attestation>>(found);

    // Each answer is for the one message its calendar is pending at.
    std::vector<std::pair<const CalendarAnswer*, Bytes>> grafts;
    for (const CalendarAnswer& answer : answers) {
        const Bytes* commitment = nullptr;
        for (const Attestation& attestation : pending) {
            if (attestation.url != answer.calendar) continue;
            if (commitment != nullptr && *commitment != attestation.commitment) {
                return ArgumentError{"responses: the receipt is pending at " + quoted(answer.calendar) +
                                     " for several messages; upgrade its proof one message at a time with "
                                     "OtsProof.upgrade"};
            }
            commitment = &attestation.commitment;
        }
        if (commitment == nullptr) {
            return ArgumentError{"responses: the receipt is not pending at " + quoted(answer.calendar)};
        }
        grafts.emplace_back(&answer, *commitment);
    }
    for (const auto& [answer, commitment] : grafts) {
        auto upgraded = ots::upgrade(proof, commitment, answer->body);
        if (auto* error = std::get_if<AnchorError>(&upgraded)) {
            if (error->kind == AnchorError::Kind::bad_response) error->detail = answer_of(answer->calendar) + error->detail;
            return std::move(*error);
        }
        // The pending attestation's node has that message.
        proof = *std::get<std::optional<Proof>>(std::move(upgraded));
    }
    AnchorReceipt upgraded = receipt;
    upgraded.proof_b64 = base64_encode_padded(proof.bytes());
    return upgraded;
}

AnchorResult<OtsAnchor::Examined> OtsAnchor::examine(const AnchorReceipt& receipt) const {
    auto proof = proof_of(receipt);
    if (auto* error = std::get_if<AnchorError>(&proof)) return std::move(*error);
    auto found = attestations(std::get<Proof>(proof),
                              kind_bit(AttestationKind::bitcoin) | kind_bit(AttestationKind::pending));
    if (auto* error = std::get_if<AnchorError>(&found)) return std::move(*error);
    Examined examined;
    for (Attestation& attestation : std::get<std::vector<Attestation>>(found)) {
        if (attestation.kind == AttestationKind::bitcoin) {
            examined.bitcoin.push_back(std::move(attestation));
        } else if (std::find(examined.pending.begin(), examined.pending.end(), attestation.url) ==
                   examined.pending.end()) {
            examined.pending.push_back(std::move(attestation.url));
        }
    }
    return examined;
}

AnchorResult<AnchorProof> OtsAnchor::conclude(const AnchorReceipt& receipt, const Examined& examined,
                                              const Headers& headers) const {
    auto confirmed = confirm(examined.bitcoin, headers, chain_);
    if (auto* error = std::get_if<AnchorError>(&confirmed)) return std::move(*error);
    AnchorProof proof{id_, kKind, receipt.merkle_root_hex, false, "", ""};
    if (const auto& block = std::get<std::optional<Confirmation>>(confirmed)) {
        proof.confirmed = true;
        proof.authoritative_time = format_instant(Instant{block->time, 0});
        proof.detail = "bitcoin block " + std::to_string(block->height) + ", hash " + display_hex(block->block_hash);
        return proof;
    }
    std::vector<std::uint64_t> heights;
    for (const Attestation& attestation : examined.bitcoin) heights.push_back(attestation.height);
    std::sort(heights.begin(), heights.end());
    heights.erase(std::unique(heights.begin(), heights.end()), heights.end());
    if (!heights.empty()) {
        proof.detail = heights.size() == 1 ? "needs the header of block " : "needs the headers of blocks ";
        for (std::size_t i = 0; i < heights.size(); ++i) {
            if (i != 0) proof.detail += ", ";
            proof.detail += std::to_string(heights[i]);
        }
    }
    if (!examined.pending.empty()) {
        if (!proof.detail.empty()) proof.detail += "; ";
        proof.detail += "pending at " + std::to_string(examined.pending.size()) +
                        (examined.pending.size() == 1 ? " calendar: " : " calendars: ");
        for (std::size_t i = 0; i < examined.pending.size(); ++i) {
            if (i != 0) proof.detail += ", ";
            proof.detail += examined.pending[i];
        }
    }
    if (proof.detail.empty()) proof.detail = "no Bitcoin attestation and nothing pending";
    return proof;
}

}  // namespace zun::ots
