// Wire and Python spellings of the protocol's enumerations, in index order.
#pragma once

#include <array>
#include <optional>
#include <span>
#include <string_view>

#include "core/protocol/records.hpp"

namespace zun {

inline constexpr std::array<std::string_view, 10> kAddressClassNames = {
    "body", "act", "datum", "prop", "discard", "pair", "doc", "evidence", "route", "mediation",
};
inline constexpr std::array<std::string_view, 2> kDirectionNames = {"outbound", "inbound"};
inline constexpr std::array<std::string_view, 5> kIdentitySurfaceNames = {
    "software", "os_keychain", "secure_element", "external_hardware", "threshold",
};
inline constexpr std::array<std::string_view, 6> kAnchorKindNames = {
    "open_timestamps", "ethereum", "solana", "nist_tsa", "handshake", "local",
};

template <class Enum> constexpr std::span<const std::string_view> names_of();
template <> constexpr std::span<const std::string_view> names_of<AddressClass>() { return kAddressClassNames; }
template <> constexpr std::span<const std::string_view> names_of<Direction>() { return kDirectionNames; }
template <> constexpr std::span<const std::string_view> names_of<IdentitySurface>() { return kIdentitySurfaceNames; }
template <> constexpr std::span<const std::string_view> names_of<AnchorKind>() { return kAnchorKindNames; }

template <class Enum>
constexpr std::string_view name_of(Enum value) {
    return names_of<Enum>()[static_cast<std::size_t>(value)];
}

// Exact, case-sensitive match.
template <class Enum>
constexpr std::optional<Enum> enum_from_name(std::string_view text) {
    const auto names = names_of<Enum>();
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (names[i] == text) return static_cast<Enum>(i);
    }
    return std::nullopt;
}

}  // namespace zun
