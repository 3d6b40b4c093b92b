#include "core/json/record_json.hpp"

#include <type_traits>
#include <utility>

#include "core/time/instant.hpp"
#include "core/json/json_reader.hpp"
#include "core/json/json_writer.hpp"
#include "core/protocol/names.hpp"

namespace zun {

using json::FieldDesc;
using json::FieldKind;
using json::Presence;
using json::RecordDesc;

namespace {

// ---- record descriptions ----

template <class M>
struct MemberTraits;
template <class Owner_, class Value_>
struct MemberTraits<Value_ Owner_::*> {
    using Owner = Owner_;
    using Value = Value_;
};

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};

template <auto Member>
void* member_of(void* record) {
    using Owner = typename MemberTraits<decltype(Member)>::Owner;
    return &(static_cast<Owner*>(record)->*Member);
}

template <class T>
void* engage_optional(void* member) {
    return &static_cast<std::optional<T>*>(member)->emplace();
}

template <class T>
constexpr FieldKind kind_of() {
    if constexpr (std::is_same_v<T, std::string>) {
        return FieldKind::text;
    } else if constexpr (std::is_same_v<T, bool>) {
        return FieldKind::boolean;
    } else if constexpr (std::is_same_v<T, std::vector<std::string>>) {
        return FieldKind::text_list;
    } else if constexpr (std::is_enum_v<T>) {
        static_assert(std::is_same_v<std::underlying_type_t<T>, std::uint8_t>);
        return FieldKind::enumeration;
    } else if constexpr (std::is_same_v<T, Instant>) {
        return FieldKind::instant;
    } else {
        return FieldKind::record;
    }
}

// The description of one member, its kind read off the member's type.
template <auto Member>
constexpr FieldDesc field(std::string_view key, Presence presence, const RecordDesc* nested = nullptr) {
    using Value = typename MemberTraits<decltype(Member)>::Value;
    FieldDesc desc;
    desc.key = key;
    desc.presence = presence;
    desc.member = &member_of<Member>;
    desc.nested = nested;
    if constexpr (IsOptional<Value>::value) {
        using Inner = typename Value::value_type;
        desc.kind = kind_of<Inner>();
        desc.nullable = true;
        desc.engage = &engage_optional<Inner>;
    } else {
        desc.kind = kind_of<Value>();
        if constexpr (std::is_enum_v<Value>) desc.names = names_of<Value>();
    }
    return desc;
}

constexpr Presence required = Presence::required;
constexpr Presence optional = Presence::optional;
constexpr Presence defaulted = Presence::defaulted;

constexpr FieldDesc kAddressFields[] = {
    field<&ProtocolAddress::address_class>("class", required),
    field<&ProtocolAddress::type>("type", required),
    field<&ProtocolAddress::ref>("ref", required),
};
constexpr RecordDesc kAddress{"ProtocolAddress", kAddressFields};

constexpr FieldDesc kEnvelopeFields[] = {
    field<&SignedEnvelope::exchange_id>("exchange_id", required),
    field<&SignedEnvelope::peer_self>("peer_self", required, &kAddress),
    field<&SignedEnvelope::peer_counterparty>("peer_counterparty", defaulted, &kAddress),
    field<&SignedEnvelope::direction>("direction", required),
    field<&SignedEnvelope::request_hash>("request_hash", required),
    field<&SignedEnvelope::response_hash>("response_hash", defaulted),
    field<&SignedEnvelope::counterparty_signature>("counterparty_signature", defaulted),
    field<&SignedEnvelope::our_signature>("our_signature", required),
    field<&SignedEnvelope::opened_at>("opened_at", required),
    field<&SignedEnvelope::closed_at>("closed_at", defaulted),
    field<&SignedEnvelope::protocol_hint>("protocol_hint", required),
    field<&SignedEnvelope::counterparty_identifier>("counterparty_identifier", required),
};
constexpr RecordDesc kEnvelope{"SignedEnvelope", kEnvelopeFields};

constexpr FieldDesc kChainFields[] = {
    field<&AttestationChain::certs_b64>("certs_b64", required),
    field<&AttestationChain::vendor>("vendor", required),
};
constexpr RecordDesc kChain{"AttestationChain", kChainFields};

// A missing chain is the empty one; a missing successor is absent in an
// object but still needs its (null) element in the array form.
constexpr FieldDesc kDescriptorFields[] = {
    field<&PeerIdentityDescriptor::fingerprint>("fingerprint", required),
    field<&PeerIdentityDescriptor::public_key_b64>("public_key_b64", required),
    field<&PeerIdentityDescriptor::surface>("surface", required),
    field<&PeerIdentityDescriptor::attestation>("attestation", defaulted, &kChain),
    field<&PeerIdentityDescriptor::created_at>("created_at", required),
    field<&PeerIdentityDescriptor::superseded_by>("superseded_by", optional, &kAddress),
};
constexpr RecordDesc kDescriptor{"PeerIdentityDescriptor", kDescriptorFields};

constexpr FieldDesc kReceiptFields[] = {
    field<&AnchorReceipt::anchor_id>("anchor_id", required),
    field<&AnchorReceipt::anchor_kind>("anchor_kind", required),
    field<&AnchorReceipt::merkle_root_hex>("merkle_root_hex", required),
    field<&AnchorReceipt::submission_ref>("submission_ref", required),
    field<&AnchorReceipt::submitted_at>("submitted_at", required),
    field<&AnchorReceipt::expected_finality_at>("expected_finality_at", required),
    field<&AnchorReceipt::proof_b64>("proof_b64", required),
};
constexpr RecordDesc kReceipt{"AnchorReceipt", kReceiptFields};

constexpr FieldDesc kProofFields[] = {
    field<&AnchorProof::anchor_id>("anchor_id", required),
    field<&AnchorProof::anchor_kind>("anchor_kind", required),
    field<&AnchorProof::merkle_root_hex>("merkle_root_hex", required),
    field<&AnchorProof::confirmed>("confirmed", required),
    field<&AnchorProof::authoritative_time>("authoritative_time", required),
    field<&AnchorProof::detail>("detail", required),
};
constexpr RecordDesc kProof{"AnchorProof", kProofFields};

constexpr FieldDesc kQueuedItemFields[] = {
    field<&QueuedItem::queue_id>("queue_id", required),
    field<&QueuedItem::pair_class>("pair_class", required),
    field<&QueuedItem::envelope>("envelope", required, &kEnvelope),
};
constexpr RecordDesc kQueuedItem{"QueuedItem", kQueuedItemFields};

bool is_default(const QueuedItem& item) {
    return item.queue_id.empty() && item.pair_class.empty() && item.envelope == SignedEnvelope{};
}
template <class Record>
bool is_default(const Record& record) {
    return record == Record{};
}

// `out` changes only on success. A default-constructed `out` (as callers
// that build a new record pass) is read into directly and reset should the
// read fail; any other is replaced by a record read on the side.
template <class Record>
std::optional<JsonError> read_into(std::string_view text, const RecordDesc& desc, Record& out) {
    if (is_default(out)) {
        auto error = json::read_record(text, desc, &out);
        if (error) out = Record{};
        return error;
    }
    Record value;
    if (auto error = json::read_record(text, desc, &value)) return error;
    out = std::move(value);
    return std::nullopt;
}

// ---- writers ----

void write(JsonWriter& w, const Instant& instant) {
    char text[kMaxInstantText];
    w.plain_string(std::string_view(text, format_instant(instant, text)));
}

void write(JsonWriter& w, const ProtocolAddress& address) {
    w.begin_object();
    w.key("class");
    w.plain_string(name_of(address.address_class));
    w.key("type");
    w.string(address.type);
    w.key("ref");
    w.string(address.ref);
    w.end_object();
}

// The envelope's length without escapes: its text plus keys and punctuation.
std::size_t plain_length(const SignedEnvelope& e) {
    auto address = [](const ProtocolAddress& a) { return a.type.size() + a.ref.size() + 48; };
    auto member = [](const std::optional<std::string>& text) { return text ? text->size() + 32 : 0; };
    return 320 + e.exchange_id.size() + address(e.peer_self) +
           (e.peer_counterparty ? address(*e.peer_counterparty) + 24 : 0) + e.request_hash.size() +
           member(e.response_hash) + member(e.counterparty_signature) + e.our_signature.size() +
           (e.closed_at ? 48 : 0) + e.protocol_hint.size() + e.counterparty_identifier.size();
}

void write(JsonWriter& w, const SignedEnvelope& e) {
    w.expect(plain_length(e));
    w.begin_object();
    w.key("exchange_id");
    w.string(e.exchange_id);
    w.key("peer_self");
    write(w, e.peer_self);
    if (e.peer_counterparty) {
        w.key("peer_counterparty");
        write(w, *e.peer_counterparty);
    }
    w.key("direction");
    w.plain_string(name_of(e.direction));
    w.key("request_hash");
    w.string(e.request_hash);
    if (e.response_hash) {
        w.key("response_hash");
        w.string(*e.response_hash);
    }
    if (e.counterparty_signature) {
        w.key("counterparty_signature");
        w.string(*e.counterparty_signature);
    }
    w.key("our_signature");
    w.string(e.our_signature);
    w.key("opened_at");
    write(w, e.opened_at);
    if (e.closed_at) {
        w.key("closed_at");
        write(w, *e.closed_at);
    }
    w.key("protocol_hint");
    w.string(e.protocol_hint);
    w.key("counterparty_identifier");
    w.string(e.counterparty_identifier);
    w.end_object();
}

void write(JsonWriter& w, const AttestationChain& chain) {
    w.begin_object();
    w.key("certs_b64");
    w.begin_array();
    for (const std::string& cert : chain.certs_b64) {
        w.element();
        w.string(cert);
    }
    w.end_array();
    w.key("vendor");
    w.string(chain.vendor);
    w.end_object();
}

void write(JsonWriter& w, const PeerIdentityDescriptor& d) {
    w.begin_object();
    w.key("fingerprint");
    w.string(d.fingerprint);
    w.key("public_key_b64");
    w.string(d.public_key_b64);
    w.key("surface");
    w.plain_string(name_of(d.surface));
    if (!d.attestation.is_empty()) {
        w.key("attestation");
        write(w, d.attestation);
    }
    w.key("created_at");
    w.string(d.created_at);
    if (d.superseded_by) {
        w.key("superseded_by");
        write(w, *d.superseded_by);
    }
    w.end_object();
}

void write(JsonWriter& w, const AnchorReceipt& r) {
    w.begin_object();
    w.key("anchor_id");
    w.string(r.anchor_id);
    w.key("anchor_kind");
    w.plain_string(name_of(r.anchor_kind));
    w.key("merkle_root_hex");
    w.string(r.merkle_root_hex);
    w.key("submission_ref");
    w.string(r.submission_ref);
    w.key("submitted_at");
    w.string(r.submitted_at);
    w.key("expected_finality_at");
    w.string(r.expected_finality_at);
    w.key("proof_b64");
    w.string(r.proof_b64);
    w.end_object();
}

void write(JsonWriter& w, const AnchorProof& p) {
    w.begin_object();
    w.key("anchor_id");
    w.string(p.anchor_id);
    w.key("anchor_kind");
    w.plain_string(name_of(p.anchor_kind));
    w.key("merkle_root_hex");
    w.string(p.merkle_root_hex);
    w.key("confirmed");
    w.boolean(p.confirmed);
    w.key("authoritative_time");
    w.string(p.authoritative_time);
    w.key("detail");
    w.string(p.detail);
    w.end_object();
}

void write(JsonWriter& w, const QueuedItem& item) {
    w.begin_object();
    w.key("queue_id");
    w.string(item.queue_id);
    w.key("pair_class");
    w.string(item.pair_class);
    w.key("envelope");
    write(w, item.envelope);
    w.end_object();
}

void write_optional(JsonWriter& w, const std::optional<std::string>& text) {
    if (text) {
        w.string(*text);
    } else {
        w.null();
    }
}

template <class Record>
std::string compact(const Record& record) {
    JsonWriter w;
    write(w, record);
    return w.take();
}

}  // namespace

std::string to_json(const ProtocolAddress& v) { return compact(v); }
std::string to_json(const SignedEnvelope& v) { return compact(v); }
std::string to_json(const AttestationChain& v) { return compact(v); }
std::string to_json(const PeerIdentityDescriptor& v) { return compact(v); }
std::string to_json(const AnchorReceipt& v) { return compact(v); }
std::string to_json(const AnchorProof& v) { return compact(v); }
std::string to_json(const QueuedItem& v) { return compact(v); }

std::string to_json(const CounterpartyInfo& info) {
    JsonWriter w;
    w.begin_object();
    w.key("identifier");
    w.string(info.identifier);
    w.key("protocol_hint");
    w.string(info.protocol_hint);
    w.key("peer_address");
    write_optional(w, info.peer_address);
    w.key("counterparty_signature");
    write_optional(w, info.counterparty_signature);
    w.end_object();
    return w.take();
}

std::string to_item_file(const QueuedItem& item) {
    JsonWriter w(JsonWriter::Layout::indented);
    write(w, item);
    return w.take();
}

std::string canonical_signing_bytes(const SignedEnvelope& envelope) {
    JsonWriter w;
    w.begin_array();
    w.element();
    w.string(envelope.exchange_id);
    w.element();
    w.string(envelope.request_hash);
    w.element();
    write_optional(w, envelope.response_hash);
    w.end_array();
    return w.take();
}

std::optional<JsonError> from_json(std::string_view text, ProtocolAddress& out) {
    return read_into(text, kAddress, out);
}
std::optional<JsonError> from_json(std::string_view text, SignedEnvelope& out) {
    return read_into(text, kEnvelope, out);
}
std::optional<JsonError> from_json(std::string_view text, AttestationChain& out) {
    return read_into(text, kChain, out);
}
std::optional<JsonError> from_json(std::string_view text, PeerIdentityDescriptor& out) {
    return read_into(text, kDescriptor, out);
}
std::optional<JsonError> from_json(std::string_view text, AnchorReceipt& out) {
    return read_into(text, kReceipt, out);
}
std::optional<JsonError> from_json(std::string_view text, AnchorProof& out) {
    return read_into(text, kProof, out);
}
std::optional<JsonError> from_json(std::string_view text, QueuedItem& out) {
    return read_into(text, kQueuedItem, out);
}

}  // namespace zun
