#include "core/json/record_json.hpp"

#include <array>
#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/time/instant.hpp"
#include "core/json/json_reader.hpp"
#include "core/json/json_writer.hpp"
#include "core/protocol/names.hpp"
#include "core/text/hex.hpp"

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
    } else if constexpr (std::is_same_v<T, std::uint64_t>) {
        return FieldKind::unsigned_integer;
    } else if constexpr (std::is_same_v<T, std::vector<merkle::Hash>>) {
        return FieldKind::hash_list;
    } else {
        return FieldKind::record;
    }
}

// One member of a record as both the reader and the writer see it: its key
// and presence; its type gives the rest.
template <auto Member>
struct Field {
    static constexpr auto member = Member;
    using Value = typename MemberTraits<decltype(Member)>::Value;
    std::string_view key;
    Presence presence;
};

constexpr Presence required = Presence::required;
constexpr Presence optional = Presence::optional;
constexpr Presence defaulted = Presence::defaulted;

// Each record's name and its fields in declaration order: the key order on
// output, the element order of the array form, the order missing keys are
// looked for.
template <class Record>
struct Wire {};

template <class T>
concept WireRecord = requires { Wire<T>::fields; };

template <>
struct Wire<ProtocolAddress> {
    static constexpr std::string_view name = "ProtocolAddress";
    static constexpr std::tuple fields{
        Field<&ProtocolAddress::address_class>{"class", required},
        Field<&ProtocolAddress::type>{"type", required},
        Field<&ProtocolAddress::ref>{"ref", required},
    };
};

template <>
struct Wire<SignedEnvelope> {
    static constexpr std::string_view name = "SignedEnvelope";
    static constexpr std::tuple fields{
        Field<&SignedEnvelope::exchange_id>{"exchange_id", required},
        Field<&SignedEnvelope::peer_self>{"peer_self", required},
        Field<&SignedEnvelope::peer_counterparty>{"peer_counterparty", defaulted},
        Field<&SignedEnvelope::direction>{"direction", required},
        Field<&SignedEnvelope::request_hash>{"request_hash", required},
        Field<&SignedEnvelope::response_hash>{"response_hash", defaulted},
        Field<&SignedEnvelope::counterparty_signature>{"counterparty_signature", defaulted},
        Field<&SignedEnvelope::our_signature>{"our_signature", required},
        Field<&SignedEnvelope::opened_at>{"opened_at", required},
        Field<&SignedEnvelope::closed_at>{"closed_at", defaulted},
        Field<&SignedEnvelope::protocol_hint>{"protocol_hint", required},
        Field<&SignedEnvelope::counterparty_identifier>{"counterparty_identifier", required},
    };
};

template <>
struct Wire<AttestationChain> {
    static constexpr std::string_view name = "AttestationChain";
    static constexpr std::tuple fields{
        Field<&AttestationChain::certs_b64>{"certs_b64", required},
        Field<&AttestationChain::vendor>{"vendor", required},
    };
};

// A missing chain is the empty one; a missing successor is absent in an
// object but still needs its (null) element in the array form.
template <>
struct Wire<PeerIdentityDescriptor> {
    static constexpr std::string_view name = "PeerIdentityDescriptor";
    static constexpr std::tuple fields{
        Field<&PeerIdentityDescriptor::fingerprint>{"fingerprint", required},
        Field<&PeerIdentityDescriptor::public_key_b64>{"public_key_b64", required},
        Field<&PeerIdentityDescriptor::surface>{"surface", required},
        Field<&PeerIdentityDescriptor::attestation>{"attestation", defaulted},
        Field<&PeerIdentityDescriptor::created_at>{"created_at", required},
        Field<&PeerIdentityDescriptor::superseded_by>{"superseded_by", optional},
    };
};

template <>
struct Wire<AnchorReceipt> {
    static constexpr std::string_view name = "AnchorReceipt";
    static constexpr std::tuple fields{
        Field<&AnchorReceipt::anchor_id>{"anchor_id", required},
        Field<&AnchorReceipt::anchor_kind>{"anchor_kind", required},
        Field<&AnchorReceipt::merkle_root_hex>{"merkle_root_hex", required},
        Field<&AnchorReceipt::submission_ref>{"submission_ref", required},
        Field<&AnchorReceipt::submitted_at>{"submitted_at", required},
        Field<&AnchorReceipt::expected_finality_at>{"expected_finality_at", required},
        Field<&AnchorReceipt::proof_b64>{"proof_b64", required},
    };
};

template <>
struct Wire<AnchorProof> {
    static constexpr std::string_view name = "AnchorProof";
    static constexpr std::tuple fields{
        Field<&AnchorProof::anchor_id>{"anchor_id", required},
        Field<&AnchorProof::anchor_kind>{"anchor_kind", required},
        Field<&AnchorProof::merkle_root_hex>{"merkle_root_hex", required},
        Field<&AnchorProof::confirmed>{"confirmed", required},
        Field<&AnchorProof::authoritative_time>{"authoritative_time", required},
        Field<&AnchorProof::detail>{"detail", required},
    };
};

template <>
struct Wire<QueuedItem> {
    static constexpr std::string_view name = "QueuedItem";
    static constexpr std::tuple fields{
        Field<&QueuedItem::queue_id>{"queue_id", required},
        Field<&QueuedItem::pair_class>{"pair_class", required},
        Field<&QueuedItem::envelope>{"envelope", required},
    };
};

template <>
struct Wire<InclusionProof> {
    static constexpr std::string_view name = "InclusionProof";
    static constexpr std::tuple fields{
        Field<&InclusionProof::leaf_index>{"leaf_index", required},
        Field<&InclusionProof::tree_size>{"tree_size", required},
        Field<&InclusionProof::hashes>{"hashes", required},
    };
};

template <>
struct Wire<ConsistencyProof> {
    static constexpr std::string_view name = "ConsistencyProof";
    static constexpr std::tuple fields{
        Field<&ConsistencyProof::old_size>{"old_size", required},
        Field<&ConsistencyProof::new_size>{"new_size", required},
        Field<&ConsistencyProof::hashes>{"hashes", required},
    };
};

// ---- the reader's descriptions, built from the lists above ----

// A member left out of the output: an absent optional one, and a chain
// without certificates, which is what a missing chain reads as.
template <class Value>
bool omitted(const Value&) {
    return false;
}
template <class Value>
bool omitted(const std::optional<Value>& value) {
    return !value;
}
bool omitted(const AttestationChain& chain) { return chain.is_empty(); }

// The members that the overloads above may leave out.
template <class Value>
constexpr bool can_omit = IsOptional<Value>::value || std::is_same_v<Value, AttestationChain>;

template <auto Member>
const void* written_value(const void* record) {
    using Owner = typename MemberTraits<decltype(Member)>::Owner;
    const auto& value = static_cast<const Owner*>(record)->*Member;
    if (omitted(value)) return nullptr;
    if constexpr (IsOptional<std::remove_cvref_t<decltype(value)>>::value) {
        return &*value;
    } else {
        return &value;
    }
}

template <class Record>
struct Described;

// The description of one member, its kind read off the member's type.
template <auto Member>
constexpr FieldDesc describe(const Field<Member>& f) {
    using Value = typename Field<Member>::Value;
    FieldDesc desc;
    desc.key = f.key;
    desc.presence = f.presence;
    desc.member = &member_of<Member>;
    desc.written = &written_value<Member>;
    desc.omittable = can_omit<Value>;
    using Inner = typename std::conditional_t<IsOptional<Value>::value, Value, std::optional<Value>>::value_type;
    if constexpr (IsOptional<Value>::value) {
        desc.nullable = true;
        desc.engage = &engage_optional<Inner>;
    }
    desc.kind = kind_of<Inner>();
    if constexpr (std::is_enum_v<Inner>) desc.names = names_of<Inner>();
    if constexpr (kind_of<Inner>() == FieldKind::record) desc.nested = &Described<Inner>::desc;
    return desc;
}

template <class Record>
struct Described {
    static constexpr auto fields = std::apply(
        [](const auto&... f) { return std::array<FieldDesc, sizeof...(f)>{describe(f)...}; }, Wire<Record>::fields);
    static_assert(fields.size() <= json::kMaxFields, "the reader marks the fields it has seen in one word");
    static constexpr RecordDesc desc{Wire<Record>::name, fields};
};

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
std::optional<JsonError> read_into(std::string_view text, Record& out) {
    const RecordDesc& desc = Described<Record>::desc;
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

template <WireRecord Record>
void write(JsonWriter& w, const Record& record);
void write(JsonWriter& w, const SignedEnvelope& e);

void write(JsonWriter& w, const Instant& instant) {
    char text[kMaxInstantText];
    w.plain_string(std::string_view(text, format_instant(instant, text)));
}

void write(JsonWriter& w, const std::string& text) { w.string(text); }
void write(JsonWriter& w, bool value) { w.boolean(value); }
void write(JsonWriter& w, std::uint64_t value) { w.unsigned_integer(value); }

void write(JsonWriter& w, const std::vector<merkle::Hash>& hashes) {
    w.expect(hashes.size() * (2 * merkle::kHashSize + 3));
    w.begin_array();
    char text[2 * merkle::kHashSize];
    for (const merkle::Hash& hash : hashes) {
        w.element();
        hex_encode_to(hash, text);
        w.plain_string(std::string_view(text, sizeof text));
    }
    w.end_array();
}

void write(JsonWriter& w, const std::vector<std::string>& texts) {
    w.begin_array();
    for (const std::string& text : texts) {
        w.element();
        w.string(text);
    }
    w.end_array();
}

template <class Enum>
    requires std::is_enum_v<Enum>
void write(JsonWriter& w, Enum value) {
    w.plain_string(name_of(value));
}

template <class Value>
void write(JsonWriter& w, const std::optional<Value>& value) {
    write(w, *value);
}

template <class Record>
void write_fields(JsonWriter& w, const Record& record) {
    std::apply(
        [&](const auto&... field) {
            auto member = [&](const auto& f) {
                const auto& value = record.*(std::remove_cvref_t<decltype(f)>::member);
                if (omitted(value)) return;
                w.key(f.key);
                write(w, value);
            };
            (member(field), ...);
        },
        Wire<Record>::fields);
}

template <WireRecord Record>
void write(JsonWriter& w, const Record& record) {
    w.begin_object();
    write_fields(w, record);
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
    write_fields(w, e);
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

template <class Record>
const RecordDesc& wire_description() {
    return Described<Record>::desc;
}
template const RecordDesc& wire_description<ProtocolAddress>();
template const RecordDesc& wire_description<SignedEnvelope>();
template const RecordDesc& wire_description<AttestationChain>();
template const RecordDesc& wire_description<PeerIdentityDescriptor>();
template const RecordDesc& wire_description<AnchorReceipt>();
template const RecordDesc& wire_description<AnchorProof>();
template const RecordDesc& wire_description<QueuedItem>();
template const RecordDesc& wire_description<InclusionProof>();
template const RecordDesc& wire_description<ConsistencyProof>();

std::string to_json(const ProtocolAddress& v) { return compact(v); }
std::string to_json(const SignedEnvelope& v) { return compact(v); }
std::string to_json(const AttestationChain& v) { return compact(v); }
std::string to_json(const PeerIdentityDescriptor& v) { return compact(v); }
std::string to_json(const AnchorReceipt& v) { return compact(v); }
std::string to_json(const AnchorProof& v) { return compact(v); }
std::string to_json(const QueuedItem& v) { return compact(v); }
std::string to_json(const InclusionProof& v) { return compact(v); }
std::string to_json(const ConsistencyProof& v) { return compact(v); }

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
    return read_into(text, out);
}
std::optional<JsonError> from_json(std::string_view text, SignedEnvelope& out) {
    return read_into(text, out);
}
std::optional<JsonError> from_json(std::string_view text, AttestationChain& out) {
    return read_into(text, out);
}
std::optional<JsonError> from_json(std::string_view text, PeerIdentityDescriptor& out) {
    return read_into(text, out);
}
std::optional<JsonError> from_json(std::string_view text, AnchorReceipt& out) {
    return read_into(text, out);
}
std::optional<JsonError> from_json(std::string_view text, AnchorProof& out) {
    return read_into(text, out);
}
std::optional<JsonError> from_json(std::string_view text, QueuedItem& out) {
    return read_into(text, out);
}
std::optional<JsonError> from_json(std::string_view text, InclusionProof& out) {
    return read_into(text, out);
}
std::optional<JsonError> from_json(std::string_view text, ConsistencyProof& out) {
    return read_into(text, out);
}

}  // namespace zun
