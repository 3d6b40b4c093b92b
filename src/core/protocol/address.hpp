// The kiv:// text form of protocol addresses and their content hash.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/protocol/records.hpp"

namespace zun {

inline constexpr std::string_view kAddressScheme = "kiv://";

// "kiv://<class>/<type>/<ref>"; nullopt when the text is not an address.
// Works on bytes: nothing is decoded, trimmed or case-folded, and every "/"
// after the second separator belongs to the ref.
std::optional<ProtocolAddress> parse_uri(std::string_view uri);

std::string to_uri(const ProtocolAddress& address);

// Stable across processes (SipHash-1-3 with zero keys), never -1.
std::int64_t content_hash(const ProtocolAddress& address) noexcept;

}  // namespace zun
