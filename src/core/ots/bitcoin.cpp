#include "core/ots/bitcoin.hpp"

#include <algorithm>
#include <cstdio>

#include "core/ots/digests.hpp"
#include "core/text/hex.hpp"

namespace zun::ots {
namespace {

std::string bits_text(std::uint32_t bits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", bits);
    return text;
}

// The 256-bit target a compact nBits encodes, big-endian, or the reason it
// encodes none: a negative number, one that overflows 256 bits, or zero.
std::variant<Hash256, std::string> decode_target(std::uint32_t bits) {
    const unsigned exponent = bits >> 24;
    std::uint32_t mantissa = bits & 0x007fffff;
    if (mantissa != 0 && (bits & 0x00800000) != 0) return "nBits " + bits_text(bits) + " encodes a negative target";
    if (mantissa != 0 && (exponent > 34 || (mantissa > 0xff && exponent > 33) || (mantissa > 0xffff && exponent > 32))) {
        return "nBits " + bits_text(bits) + " encodes a target above 256 bits";
    }
    Hash256 target{};
    if (exponent <= 3) {
        mantissa >>= 8 * (3 - exponent);
        target[29] = static_cast<std::uint8_t>(mantissa >> 16);
        target[30] = static_cast<std::uint8_t>(mantissa >> 8);
        target[31] = static_cast<std::uint8_t>(mantissa);
    } else {
        // The mantissa's three bytes, moved up by exponent - 3 bytes; the
        // overflow check leaves out of range only bytes that are zero.
        for (unsigned i = 0; i < 3; ++i) {
            const int at = 34 - static_cast<int>(exponent) - static_cast<int>(i);
            const auto value = static_cast<std::uint8_t>(mantissa >> (8 * i));
            if (at >= 0) target[static_cast<std::size_t>(at)] = value;
        }
    }
    if (std::all_of(target.begin(), target.end(), [](std::uint8_t b) { return b == 0; })) {
        return "nBits " + bits_text(bits) + " encodes a zero target";
    }
    return target;
}

std::uint32_t little_endian_32(const std::uint8_t* at) {
    return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
           static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

AnchorError bad(std::string detail) { return AnchorError{AnchorError::Kind::bad_response, std::move(detail)}; }

std::string block_text(std::uint64_t height) { return "block " + std::to_string(height) + ": "; }

}  // namespace

std::optional<Chain> chain_named(std::string_view name) {
    if (name == "mainnet") return Chain::mainnet;
    if (name == "regtest") return Chain::regtest;
    return std::nullopt;
}

std::string_view chain_name(Chain chain) { return chain == Chain::mainnet ? "mainnet" : "regtest"; }

std::uint32_t pow_limit_bits(Chain chain) { return chain == Chain::mainnet ? 0x1d00ffff : 0x207fffff; }

std::string display_hex(std::span<const std::uint8_t, 32> hash) {
    Hash256 reversed;
    std::reverse_copy(hash.begin(), hash.end(), reversed.begin());
    return hex_encode(reversed);
}

std::variant<BlockHeader, std::string> check_header(std::span<const std::uint8_t> header, Chain chain) {
    if (header.size() != kHeaderSize) return "the header is " + std::to_string(header.size()) + " bytes, not 80";
    const std::uint32_t bits = little_endian_32(header.data() + 72);
    auto target = decode_target(bits);
    if (auto* reason = std::get_if<std::string>(&target)) return std::move(*reason);
    const auto limit = std::get<Hash256>(decode_target(pow_limit_bits(chain)));
    if (std::get<Hash256>(target) > limit) {
        return "nBits " + bits_text(bits) + " is easier than the " + std::string(chain_name(chain)) + " limit " +
               bits_text(pow_limit_bits(chain));
    }
    BlockHeader checked;
    checked.hash = Hasher().double_sha256(header);
    // The hash is a little-endian number: reversed, it compares with the big-endian target.
    Hash256 number;
    std::reverse_copy(checked.hash.begin(), checked.hash.end(), number.begin());
    if (number > std::get<Hash256>(target)) {
        return "the header's hash " + hex_encode(number) + " is above the target of its nBits " + bits_text(bits);
    }
    std::copy_n(header.begin() + 36, 32, checked.merkle_root.begin());
    checked.time = little_endian_32(header.data() + 68);
    return checked;
}

AnchorResult<std::optional<Confirmation>> confirm(std::span<const Attestation> bitcoin, const Headers& headers,
                                                  Chain chain) {
    std::optional<Confirmation> earliest;
    std::optional<std::pair<std::uint64_t, std::string>> contradiction;  // the lowest block's
    for (const Attestation& attestation : bitcoin) {
        const auto found = headers.find(attestation.height);
        if (found == headers.end()) continue;
        auto checked = check_header(found->second, chain);
        if (auto* reason = std::get_if<std::string>(&checked)) return bad(block_text(attestation.height) + *reason);
        const BlockHeader& header = std::get<BlockHeader>(checked);
        const std::span<const std::uint8_t> message = attestation.commitment;
        if (std::ranges::equal(message, header.merkle_root)) {
            if (!earliest || attestation.height < earliest->height) {
                earliest = Confirmation{attestation.height, header.time, header.hash};
            }
            continue;
        }
        if (contradiction && contradiction->first <= attestation.height) continue;
        std::string reason;
        if (message.size() != header.merkle_root.size()) {
            reason = "the attested message is " + std::to_string(message.size()) + " bytes, not a 32-byte merkle root";
        } else {
            reason = "the header's merkle root is " + hex_encode(header.merkle_root) + ", not the attested " +
                     hex_encode(message);
            if (std::equal(message.begin(), message.end(), header.merkle_root.rbegin())) {
                reason += " (the same bytes reversed: the header holds the root in the order explorers display)";
            }
        }
        contradiction = {attestation.height, std::move(reason)};
    }
    if (!earliest && contradiction) return bad(block_text(contradiction->first) + contradiction->second);
    return earliest;
}

}  // namespace zun::ots
