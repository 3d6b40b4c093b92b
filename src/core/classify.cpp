#include "core/classify.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <optional>

#include "core/ascii_swar.hpp"

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

// The search below finds hosts through their first dot and its neighbours.
static_assert(std::all_of(std::begin(kHostRows), std::end(kHostRows), [](const HostRow& row) {
    return row.first_dot != std::string_view::npos && row.first_dot > 0 && row.first_dot + 1 < row.host.size();
}));

constexpr std::size_t kShortestHost =
    std::min_element(std::begin(kHostRows), std::end(kHostRows), [](const HostRow& a, const HostRow& b) {
        return a.host.size() < b.host.size();
    })->host.size();

// Hints are compared as zero-padded 16-byte keys, two word compares per row
// once the hint has been lowercased in place; the length is compared too, so
// that "dns" followed by a NUL is not "dns".
constexpr std::size_t kHintKeySize = 16;
using HintBytes = std::array<char, kHintKeySize>;
using HintKey = std::array<std::uint64_t, kHintKeySize / 8>;

struct HintRow {
    HintKey key;  // lowercase ASCII, zero-padded, in the words a load would give
    std::size_t size;
    PairClass pair_class;
};

constexpr HintRow hint_row(std::string_view hint, PairClass pair_class) {
    HintBytes bytes{};
    std::copy(hint.begin(), hint.end(), bytes.begin());
    return {std::bit_cast<HintKey>(bytes), hint.size(), pair_class};
}

constexpr HintRow kHintRows[] = {
    hint_row("dns", kDiscovery), hint_row("mdns", kDiscovery), hint_row("dnssd", kDiscovery),
    hint_row("x3dh", kTrust),    hint_row("noise", kTrust),    hint_row("tls-handshake", kTrust),
    hint_row("tcp", kRouting),   hint_row("quic", kRouting),   hint_row("libp2p", kRouting),
    hint_row("webrtc", kRouting),
};
static_assert(std::all_of(std::begin(kHintRows), std::end(kHintRows),
                          [](const HintRow& row) { return row.size <= kHintKeySize; }));

// Counterparty texts longer than this are lowercased on the heap.
constexpr std::size_t kStackTextSize = 512;

void ascii_lowercase(char* out, std::string_view text) noexcept {
    std::size_t i = 0;
    for (; text.size() - i >= 8; i += 8) swar::store(out + i, swar::ascii_lowercase(swar::load(text.data() + i)));
    for (; i < text.size(); ++i) {
        const char c = text[i];
        out[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
    }
}

bool has_dot(std::string_view text) noexcept {
    std::size_t i = 0;
    for (; text.size() - i >= 8; i += 8) {
        if (swar::has_byte(swar::load(text.data() + i), '.')) return true;
    }
    for (; i < text.size(); ++i) {
        if (text[i] == '.') return true;
    }
    return false;
}

const char* find_dot(const char* from, const char* end) noexcept {
    return static_cast<const char*>(std::memchr(from, '.', static_cast<std::size_t>(end - from)));
}

// Bit r set: host row r.
using RowMask = std::uint32_t;
static_assert(kNoHostRow < 32);

// For each byte value, the rows whose host has that byte just before (or
// just after) its first dot. A dot in the text can only be the first dot of
// an occurrence of a row that both its neighbours admit, which is rarely
// more than one row and usually none.
struct DotNeighbours {
    std::array<RowMask, 256> before{};
    std::array<RowMask, 256> after{};
};

constexpr DotNeighbours kDotNeighbours = [] {
    DotNeighbours masks;
    for (std::size_t row = 0; row < kNoHostRow; ++row) {
        const HostRow& host = kHostRows[row];
        masks.before[static_cast<unsigned char>(host.host[host.first_dot - 1])] |= RowMask{1} << row;
        masks.after[static_cast<unsigned char>(host.host[host.first_dot + 1])] |= RowMask{1} << row;
    }
    return masks;
}();

// Every host holds a dot with a byte on each side, so every occurrence of a
// host in the text puts the host's first dot on one of the text's dots, away
// from both ends. Trying the admitted rows at each dot is therefore a complete
// substring search for all rows in one pass.
std::size_t first_host_row(std::string_view lowered) noexcept {
    const char* const begin = lowered.data();
    const char* const end = begin + lowered.size();
    std::size_t best = kNoHostRow;
    for (const char* dot = find_dot(begin, end); dot != nullptr && best != 0; dot = find_dot(dot + 1, end)) {
        if (dot == begin || dot + 1 == end) continue;
        RowMask rows = kDotNeighbours.before[static_cast<unsigned char>(dot[-1])] &
                       kDotNeighbours.after[static_cast<unsigned char>(dot[1])] & ((RowMask{1} << best) - 1);
        for (; rows != 0; rows &= rows - 1) {
            const auto row = static_cast<std::size_t>(std::countr_zero(rows));
            const HostRow& candidate = kHostRows[row];
            if (static_cast<std::size_t>(dot - begin) < candidate.first_dot) continue;
            const char* const start = dot - candidate.first_dot;
            if (static_cast<std::size_t>(end - start) >= candidate.host.size() &&
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
    if (counterparty.size() < kShortestHost || !has_dot(counterparty)) {
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
    if (protocol_hint.size() > kHintKeySize) return kRouting;
    HintBytes bytes{};
    std::copy(protocol_hint.begin(), protocol_hint.end(), bytes.begin());
    HintKey key = std::bit_cast<HintKey>(bytes);
    for (std::uint64_t& word : key) word = swar::ascii_lowercase(word);
    for (const HintRow& row : kHintRows) {
        if (row.size == protocol_hint.size() && row.key[0] == key[0] && row.key[1] == key[1]) return row.pair_class;
    }
    return kRouting;
}

}  // namespace

std::string_view classify_exchange(std::string_view protocol_hint, std::string_view counterparty) {
    const std::optional<PairClass> by_host = host_class(counterparty);
    return kPairClassNames[by_host ? *by_host : hint_class(protocol_hint)];
}

}  // namespace zun
