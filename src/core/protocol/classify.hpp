// Pair class of an exchange, from its protocol hint and counterparty text.
#pragma once

#include <array>
#include <string_view>

namespace zun {

// The eleven pair classes, in the order the documentation lists them.
inline constexpr std::array<std::string_view, 11> kPairClassNames = {
    "routing", "discovery", "enrichment", "composition", "causal", "marketplace",
    "trust", "compliance", "conductance", "mediation", "preference",
};

// Known service hosts inside the counterparty text decide first, then the
// protocol hint; anything unrecognised is "routing". Both texts are compared
// after ASCII lowercasing only. The result is one of kPairClassNames'
// elements itself (same data pointer), so callers may map it to a cached
// object by comparing pointers.
std::string_view classify_exchange(std::string_view protocol_hint, std::string_view counterparty);

}  // namespace zun
