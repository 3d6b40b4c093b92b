// The `open_timestamps` anchor: a Merkle root sent to OpenTimestamps
// calendars, their answers folded into one .ots proof, that proof upgraded
// once a calendar's Bitcoin transaction is mined, and the receipt verified
// offline against block headers the caller supplies. Like the `nist_tsa`
// anchor, it never talks to a calendar: the caller makes the requests and
// hands the answers back.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/anchor/anchor.hpp"
#include "core/crypto/random.hpp"
#include "core/ots/bitcoin.hpp"
#include "core/ots/proof.hpp"

namespace zun::ots {

inline constexpr std::size_t kNonceSize = 16;

// What goes to the calendars for a root: never the root itself, but the
// SHA-256 of the root and 16 random bytes, so that a calendar learns nothing
// about the batch.
struct OtsRequest {
    MerkleRoot merkle_root{};
    std::array<std::uint8_t, kNonceSize> nonce{};
    std::array<std::uint8_t, 32> commitment{};  // sha256(merkle_root || nonce)
    friend bool operator==(const OtsRequest&, const OtsRequest&) = default;
};

OtsRequest make_request(const MerkleRoot& root, std::span<const std::uint8_t, kNonceSize> nonce);
std::variant<OtsRequest, RandomSourceError> random_request(const MerkleRoot& root);

// The request's bytes: the root, then the nonce; read_request refuses any
// other length.
inline constexpr std::size_t kRequestSize = 32 + kNonceSize;
Bytes request_bytes(const OtsRequest& request);
std::variant<OtsRequest, std::string> read_request(std::span<const std::uint8_t> data);

// A failure of a call's arguments, rather than of what a calendar or a
// receipt holds: a ValueError without the anchor prefix.
struct ArgumentError {
    std::string message;
};
template <class T>
using OtsResult = std::variant<T, AnchorError, ArgumentError>;

// A calendar's answer: its URL, and the body it answered with.
struct CalendarAnswer {
    std::string_view calendar;
    std::span<const std::uint8_t> body;
};

struct PendingUpgrade {
    std::string calendar;
    std::string url;  // where to GET the calendar's upgrade
};

// "<calendar>/timestamp/<hex of the commitment>", one slash between them.
std::string upgrade_url(std::string_view calendar, std::span<const std::uint8_t> commitment);

class OtsAnchor {
public:
    static constexpr AnchorKind kKind = AnchorKind::open_timestamps;
    static constexpr std::string_view kSubmissionPrefix = "ots:";
    // When to try the first upgrade: a calendar gathers digests into one
    // Bitcoin transaction every few tens of minutes, and the transaction
    // must then be mined, which usually ends within a few hours.
    static constexpr std::int64_t kFinalitySeconds = 6 * 3600;

    // Nullopt when `url` can name a calendar (http:// or https://, the
    // characters a pending attestation allows, no slash at the end), else
    // the reason it cannot.
    static std::optional<std::string> check_calendar(std::string_view url);

    // Each calendar must have passed check_calendar, and none twice.
    OtsAnchor(std::string id, std::vector<std::string> calendars, Chain chain);

    const std::string& id() const noexcept { return id_; }
    const std::vector<std::string>& calendars() const noexcept { return calendars_; }
    Chain chain() const noexcept { return chain_; }

    // The proof of the request's root: sha256(root), append the nonce,
    // sha256, then the union of the calendars' answers to the commitment.
    // Each answer must be a bare tree and its calendar one of the anchor's.
    OtsResult<AnchorReceipt> receipt(const OtsRequest& request, std::span<const CalendarAnswer> answers) const;

    // Every pending attestation of the receipt's proof, in canonical order.
    AnchorResult<std::vector<PendingUpgrade>> pending(const AnchorReceipt& receipt) const;

    // The receipt with each calendar's upgrade answer grafted where the proof
    // is pending at that calendar; every other field is kept.
    OtsResult<AnchorReceipt> upgrade(const AnchorReceipt& receipt, std::span<const CalendarAnswer> answers) const;

    // Verification in two steps, so that the caller can look up the headers
    // that the first step asks for.
    struct Examined {
        std::vector<Attestation> bitcoin;
        std::vector<std::string> pending;  // calendars, each once, in canonical order
    };
    // Unsupported for a receipt of another kind; BadResponse when its root is
    // not 64 hex digits, its proof not an .ots file in padded Base64, or the
    // proof's digest not the SHA-256 root.
    AnchorResult<Examined> examine(const AnchorReceipt& receipt) const;
    // The proof: confirmed at the earliest block whose header confirms an
    // attestation, or not, saying what is missing.
    AnchorResult<AnchorProof> conclude(const AnchorReceipt& receipt, const Examined& examined,
                                       const Headers& headers) const;

private:
    AnchorResult<Proof> proof_of(const AnchorReceipt& receipt) const;

    const std::string id_;
    const std::vector<std::string> calendars_;
    const Chain chain_;
};

}  // namespace zun::ots
