#include "core/protocol/classify.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <optional>

#include "core/text/ascii.hpp"
#include "core/text/ascii_swar.hpp"

namespace zun {
namespace {

// Indexes into kPairClassNames.
enum class PairClass : std::size_t {
    routing = 0,
    discovery = 1,
    enrichment = 2,
    causal = 4,
    marketplace = 5,
    trust = 6,
    compliance = 7,
};
using enum PairClass;

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
    host_row("resolver.zunproto.net", causal),
    host_row("governance.zunproto.net", compliance),
    host_row("compliance.zunproto.net", compliance),
    host_row("stripe.com", marketplace),
    host_row("paddle.com", marketplace),
    host_row("lemonsqueezy.com", marketplace),
    host_row("nango.dev", enrichment),
    host_row("clearbit.com", enrichment),
    host_row("apollo.io", enrichment),
    host_row("hunter.io", enrichment),
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
    hint_row("dns", discovery), hint_row("mdns", discovery), hint_row("dnssd", discovery),
    hint_row("x3dh", trust),    hint_row("noise", trust),    hint_row("tls-handshake", trust),
    hint_row("tcp", routing),   hint_row("quic", routing),   hint_row("libp2p", routing),
    hint_row("webrtc", routing),
};
static_assert(std::all_of(std::begin(kHintRows), std::end(kHintRows),
                          [](const HintRow& row) { return row.size <= kHintKeySize; }));

// Bit r set: host row r.
using RowMask = std::uint32_t;
static_assert(kNoHostRow < 32);

// For each byte value, the rows whose host has that byte (in either letter
// case) just before (or just after) its first dot. A dot in the text can only
// be the first dot of an occurrence of a row that both its neighbours admit,
// which is rarely more than one row and usually none.
struct DotNeighbours {
    std::array<RowMask, 256> before{};
    std::array<RowMask, 256> after{};
};

constexpr DotNeighbours kDotNeighbours = [] {
    DotNeighbours masks;
    for (std::size_t row = 0; row < kNoHostRow; ++row) {
        const HostRow& host = kHostRows[row];
        const auto before = static_cast<unsigned char>(host.host[host.first_dot - 1]);
        const auto after = static_cast<unsigned char>(host.host[host.first_dot + 1]);
        masks.before[before] |= RowMask{1} << row;
        masks.before[ascii_upper(before)] |= RowMask{1} << row;
        masks.after[after] |= RowMask{1} << row;
        masks.after[ascii_upper(after)] |= RowMask{1} << row;
    }
    return masks;
}();

// `text` lowercased by ASCII rules equals the lowercase `host`.
bool equals_folded(const char* text, std::string_view host) noexcept {
    for (std::size_t i = 0; i < host.size(); ++i) {
        if (ascii_lower(static_cast<unsigned char>(text[i])) != static_cast<unsigned char>(host[i])) return false;
    }
    return true;
}

// Exactly the high bits of the bytes of `word` that are dots.
constexpr std::uint64_t dot_bytes(std::uint64_t word) noexcept {
    const std::uint64_t x = word ^ swar::broadcast('.');
    const std::uint64_t low7 = ~swar::kHighs;
    return ~(((x & low7) + low7) | x | low7);
}

// Every host holds a dot with a byte on each side, so every occurrence of a
// host in the text puts the host's first dot on one of the text's dots, away
// from both ends. Trying the admitted rows at each dot is therefore a complete
// substring search for all rows in one pass, and since only the few
// candidates are compared letter by letter, the text is never copied to be
// lowercased.
class HostSearch {
public:
    explicit HostSearch(std::string_view text) noexcept
        : text_(reinterpret_cast<const unsigned char*>(text.data())), size_(text.size()) {}

    std::size_t first_row() noexcept {
        std::size_t i = 0;
        if constexpr (std::endian::native == std::endian::little) {
            for (; size_ - i >= 8 && best_ != 0; i += 8) {
                for (std::uint64_t dots = dot_bytes(swar::load(text_ + i)); dots != 0; dots &= dots - 1) {
                    try_dot(i + static_cast<std::size_t>(std::countr_zero(dots)) / 8);
                }
            }
        }
        for (; i < size_ && best_ != 0; ++i) {
            if (text_[i] == '.') try_dot(i);
        }
        return best_;
    }

private:
    void try_dot(std::size_t dot) noexcept {
        if (dot == 0 || dot + 1 == size_) return;
        RowMask rows = kDotNeighbours.before[text_[dot - 1]] & kDotNeighbours.after[text_[dot + 1]] &
                       ((RowMask{1} << best_) - 1);
        for (; rows != 0; rows &= rows - 1) {
            const auto row = static_cast<std::size_t>(std::countr_zero(rows));
            const HostRow& candidate = kHostRows[row];
            if (dot < candidate.first_dot) continue;
            const std::size_t start = dot - candidate.first_dot;
            if (size_ - start >= candidate.host.size() &&
                equals_folded(reinterpret_cast<const char*>(text_ + start), candidate.host)) {
                best_ = row;
                return;
            }
        }
    }

    const unsigned char* text_;
    std::size_t size_;
    std::size_t best_ = kNoHostRow;
};

std::optional<PairClass> host_class(std::string_view counterparty) noexcept {
    if (counterparty.size() < kShortestHost) return std::nullopt;
    const std::size_t row = HostSearch(counterparty).first_row();
    if (row == kNoHostRow) return std::nullopt;
    return kHostRows[row].pair_class;
}

PairClass hint_class(std::string_view protocol_hint) noexcept {
    if (protocol_hint.size() > kHintKeySize) return routing;
    HintBytes bytes{};
    std::copy(protocol_hint.begin(), protocol_hint.end(), bytes.begin());
    HintKey key = std::bit_cast<HintKey>(bytes);
    for (std::uint64_t& word : key) word = swar::ascii_lowercase(word);
    for (const HintRow& row : kHintRows) {
        if (row.size == protocol_hint.size() && row.key[0] == key[0] && row.key[1] == key[1]) return row.pair_class;
    }
    return routing;
}

}  // namespace

std::string_view classify_exchange(std::string_view protocol_hint, std::string_view counterparty) {
    const std::optional<PairClass> by_host = host_class(counterparty);
    return kPairClassNames[static_cast<std::size_t>(by_host ? *by_host : hint_class(protocol_hint))];
}

}  // namespace zun
