// Wire JSON of every record: one compact writer, one reader, one set of
// messages. Readers return std::nullopt on success and leave `out` untouched
// on failure.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "core/json/json_error.hpp"
#include "core/merkle/proof.hpp"
#include "core/protocol/records.hpp"

namespace zun {

namespace json {
struct RecordDesc;
}

// The description the reader follows for each record below with a JSON form
// (not CounterpartyInfo): its keys in writer order, kinds and presence, for
// readers and writers of other value trees than JSON text.
template <class Record>
const json::RecordDesc& wire_description();

// Compact writers: keys in field order, absent optional members omitted.
std::string to_json(const ProtocolAddress&);
std::string to_json(const SignedEnvelope&);
std::string to_json(const AttestationChain&);
std::string to_json(const PeerIdentityDescriptor&);
std::string to_json(const AnchorReceipt&);
std::string to_json(const AnchorProof&);
std::string to_json(const QueuedItem&);
std::string to_json(const InclusionProof&);
std::string to_json(const ConsistencyProof&);
// Always four keys, null for an absent member.
std::string to_json(const CounterpartyInfo&);

// The queue item file: the same writer in its two-space indented layout, no
// trailing line feed.
std::string to_item_file(const QueuedItem&);

// `[exchange_id, request_hash, response_hash_or_null]`, compact.
std::string canonical_signing_bytes(const SignedEnvelope&);

// Readers over raw bytes (which need not be valid UTF-8).
std::optional<JsonError> from_json(std::string_view text, ProtocolAddress& out);
std::optional<JsonError> from_json(std::string_view text, SignedEnvelope& out);
std::optional<JsonError> from_json(std::string_view text, AttestationChain& out);
std::optional<JsonError> from_json(std::string_view text, PeerIdentityDescriptor& out);
std::optional<JsonError> from_json(std::string_view text, AnchorReceipt& out);
std::optional<JsonError> from_json(std::string_view text, AnchorProof& out);
std::optional<JsonError> from_json(std::string_view text, QueuedItem& out);
std::optional<JsonError> from_json(std::string_view text, InclusionProof& out);
std::optional<JsonError> from_json(std::string_view text, ConsistencyProof& out);

}  // namespace zun
