// The protocol's value records. Plain data: every record is copied by value,
// compared field by field and never changed after it is built.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zun {

enum class AddressClass : std::uint8_t {
    body, act, datum, prop, discard, pair, doc, evidence, route, mediation,
};
inline constexpr int kAddressClassCount = 10;

struct ProtocolAddress {
    AddressClass address_class = AddressClass::body;
    std::string type;
    std::string ref;
    friend bool operator==(const ProtocolAddress&, const ProtocolAddress&) = default;
};

// A UTC instant. A leap second is held as second 59 with nanos >= 1e9, so
// that it is written back as second 60.
struct Instant {
    std::int64_t unix_seconds = 0;
    std::uint32_t nanos = 0;
    friend bool operator==(const Instant&, const Instant&) = default;
};

enum class Direction : std::uint8_t { outbound, inbound };

struct SignedEnvelope {
    std::string exchange_id;
    ProtocolAddress peer_self;
    std::optional<ProtocolAddress> peer_counterparty;
    Direction direction = Direction::outbound;
    std::string request_hash;
    std::optional<std::string> response_hash;
    std::optional<std::string> counterparty_signature;
    std::string our_signature;
    Instant opened_at;
    std::optional<Instant> closed_at;
    std::string protocol_hint;
    std::string counterparty_identifier;
    friend bool operator==(const SignedEnvelope&, const SignedEnvelope&) = default;
};

struct CounterpartyInfo {
    std::string identifier;
    std::string protocol_hint;
    std::optional<std::string> peer_address;
    std::optional<std::string> counterparty_signature;
    friend bool operator==(const CounterpartyInfo&, const CounterpartyInfo&) = default;
};

// The index is the identity's tier.
enum class IdentitySurface : std::uint8_t {
    software, os_keychain, secure_element, external_hardware, threshold,
};

struct AttestationChain {
    std::vector<std::string> certs_b64;
    std::string vendor;
    bool is_empty() const { return certs_b64.empty(); }
    friend bool operator==(const AttestationChain&, const AttestationChain&) = default;
};

struct PeerIdentityDescriptor {
    std::string fingerprint;
    std::string public_key_b64;
    IdentitySurface surface = IdentitySurface::software;
    AttestationChain attestation;
    std::string created_at;
    std::optional<ProtocolAddress> superseded_by;
    int tier() const { return static_cast<int>(surface); }
    bool hardware_attested() const { return tier() >= 2; }
    friend bool operator==(const PeerIdentityDescriptor&, const PeerIdentityDescriptor&) = default;
};

enum class AnchorKind : std::uint8_t {
    open_timestamps, ethereum, solana, nist_tsa, handshake, local,
};

struct AnchorReceipt {
    std::string anchor_id;
    AnchorKind anchor_kind = AnchorKind::local;
    std::string merkle_root_hex;
    std::string submission_ref;
    std::string submitted_at;
    std::string expected_finality_at;
    std::string proof_b64;
    friend bool operator==(const AnchorReceipt&, const AnchorReceipt&) = default;
};

struct AnchorProof {
    std::string anchor_id;
    AnchorKind anchor_kind = AnchorKind::local;
    std::string merkle_root_hex;
    bool confirmed = false;
    std::string authoritative_time;
    std::string detail;
    friend bool operator==(const AnchorProof&, const AnchorProof&) = default;
};

struct QueuedItem {
    std::string queue_id;
    std::string pair_class;
    SignedEnvelope envelope;
};

}  // namespace zun
