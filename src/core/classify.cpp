#include "core/classify.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <memory>
#include <optional>

namespace zun {
namespace {

// Indexes into kPairClassNames.
enum PairClass : std::size_t {
    kRouting = 0,
    kDiscovery = 1,
    kEnrichment = 2,
    kCausal = 4,
    kMarketplace = 5,
    kTrust = 6,
    kCompliance = 7,
};

struct HostRow {
    std::string_view host;  // lowercase ASCII
    PairClass pair_class;
    std::size_t first_dot;
};

constexpr HostRow host_row(std::string_view host, PairClass pair_class) {
    return {host, pair_class, host.find('.')};
}

// Searched in this order; the first row found anywhere in the text wins.
constexpr HostRow kHostRows[] = {
    host_row("resolver.zunproto.net", kCausal),
    host_row("governance.zunproto.net", kCompliance),
    host_row("compliance.zunproto.net", kCompliance),
    host_row("stripe.com", kMarketplace),
    host_row("paddle.com", kMarketplace),
    host_row("lemonsqueezy.com", kMarketplace),
    host_row("nango.dev", kEnrichment),
    host_row("clearbit.com", kEnrichment),
    host_row("apollo.io", kEnrichment),
    host_row("hunter.io", kEnrichment),
};
constexpr std::size_t kNoHostRow = std::size(kHostRows);

// The search below finds hosts through their dots.
static_assert(std::all_of(std::begin(kHostRows), std::end(kHostRows),
                          [](const HostRow& row) { return row.first_dot != std::string_view::npos; }));

constexpr std::size_t kShortestHost =
    std::min_element(std::begin(kHostRows), std::end(kHostRows), [](const HostRow& a, const HostRow& b) {
        return a.host.size() < b.host.size();
    })->host.size();

struct HintRow {
    std::string_view hint;  // lowercase ASCII
    PairClass pair_class;
};

constexpr HintRow kHintRows[] = {
    {"dns", kDiscovery},   {"mdns", kDiscovery}, {"dnssd", kDiscovery}, {"x3dh", kTrust},
    {"noise", kTrust},     {"tls-handshake", kTrust}, {"tcp", kRouting}, {"quic", kRouting},
    {"libp2p", kRouting},  {"webrtc", kRouting},
};

constexpr std::size_t kLongestHint =
    std::max_element(std::begin(kHintRows), std::end(kHintRows), [](const HintRow& a, const HintRow& b) {
        return a.hint.size() < b.hint.size();
    })->hint.size();

// Counterparty texts longer than this are lowercased on the heap.
constexpr std::size_t kStackTextSize = 512;

void ascii_lowercase(char* out, std::string_view text) noexcept {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        out[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
    }
}

const char* find_dot(const char* from, const char* end) noexcept {
    return static_cast<const char*>(std::memchr(from, '.', static_cast<std::size_t>(end - from)));
}

// Every host holds a dot, so every occurrence of a host in the text puts the
// host's first dot on one of the text's dots. Trying each row at each dot is
// therefore a complete substring search for all rows in one pass, and most
// texts have no dot or very few.
std::size_t first_host_row(std::string_view lowered) noexcept {
    const char* const begin = lowered.data();
    const char* const end = begin + lowered.size();
    std::size_t best = kNoHostRow;
    for (const char* dot = find_dot(begin, end); dot != nullptr && best != 0; dot = find_dot(dot + 1, end)) {
        const auto at = static_cast<std::size_t>(dot - begin);
        for (std::size_t row = 0; row < best; ++row) {
            const HostRow& candidate = kHostRows[row];
            if (at < candidate.first_dot) continue;
            const char* const start = dot - candidate.first_dot;
            if (static_cast<std::size_t>(end - start) < candidate.host.size()) continue;
            if (start[0] == candidate.host[0] &&
                std::memcmp(start, candidate.host.data(), candidate.host.size()) == 0) {
                best = row;
                break;
            }
        }
    }
    return best;
}

std::optional<PairClass> host_class(std::string_view counterparty) {
    // Lowercasing leaves dots where they are, so a text without one is
    // settled before any copy is made.
    if (counterparty.size() < kShortestHost ||
        find_dot(counterparty.data(), counterparty.data() + counterparty.size()) == nullptr) {
        return std::nullopt;
    }
    char stack_copy[kStackTextSize];
    std::unique_ptr<char[]> heap_copy;
    char* lowered = stack_copy;
    if (counterparty.size() > kStackTextSize) {
        heap_copy = std::make_unique_for_overwrite<char[]>(counterparty.size());
        lowered = heap_copy.get();
    }
    ascii_lowercase(lowered, counterparty);
    const std::size_t row = first_host_row({lowered, counterparty.size()});
    if (row == kNoHostRow) return std::nullopt;
    return kHostRows[row].pair_class;
}

PairClass hint_class(std::string_view protocol_hint) noexcept {
    if (protocol_hint.size() > kLongestHint) return kRouting;
    char lowered[kLongestHint];
    ascii_lowercase(lowered, protocol_hint);
    const std::string_view key(lowered, protocol_hint.size());
    for (const HintRow& row : kHintRows) {
        if (row.hint == key) return row.pair_class;
    }
    return kRouting;
}

}  // namespace

std::string_view classify_exchange(std::string_view protocol_hint, std::string_view counterparty) {
    const std::optional<PairClass> by_host = host_class(counterparty);
    return kPairClassNames[by_host ? *by_host : hint_class(protocol_hint)];
}

}  // namespace zun
