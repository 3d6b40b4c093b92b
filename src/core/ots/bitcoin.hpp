// Bitcoin block headers as the caller supplies them (80 raw bytes each), the
// checks they must pass, and the confirmation of a proof's Bitcoin
// attestations by them.
//
// The checks catch a wrong or mistyped header: its hash must meet the target
// its own nBits encodes, and that target must be no easier than the chain's
// proof-of-work limit. They do not make a header trustworthy (one of
// difficulty 1 is forged on a desktop in minutes), nor say whether it is in
// the best chain: the caller's headers are the trust root.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "core/anchor/anchor.hpp"
#include "core/ots/proof.hpp"

namespace zun::ots {

enum class Chain : std::uint8_t { mainnet, regtest };
std::optional<Chain> chain_named(std::string_view name);
std::string_view chain_name(Chain chain);
// The chain's proof-of-work limit in compact form.
std::uint32_t pow_limit_bits(Chain chain);

inline constexpr std::size_t kHeaderSize = 80;
using Hash256 = std::array<std::uint8_t, 32>;

struct BlockHeader {
    Hash256 merkle_root{};  // as the header stores it: the reverse of the hex explorers show
    std::uint32_t time = 0;
    Hash256 hash{};  // double SHA-256, as computed
};

// The header's fields once it passes the checks, else the reason it fails.
std::variant<BlockHeader, std::string> check_header(std::span<const std::uint8_t> header, Chain chain);

// A hash as block explorers and bitcoin-cli show it: its bytes reversed, in hex.
std::string display_hex(std::span<const std::uint8_t, 32> hash);

struct Confirmation {
    std::uint64_t height = 0;
    std::uint32_t time = 0;
    Hash256 block_hash{};
};

// The caller's headers, by block height.
using Headers = std::map<std::uint64_t, std::span<const std::uint8_t>>;

// The earliest (lowest) block among `bitcoin`'s attestations whose header is
// supplied and holds the attested message as its merkle root. Nullopt when
// no attestation has a header. A BadResponse when a supplied header fails
// its checks, or when none confirms and one contradicts its attestation; the
// reason names the block and what differs.
AnchorResult<std::optional<Confirmation>> confirm(std::span<const Attestation> bitcoin, const Headers& headers,
                                                  Chain chain);

}  // namespace zun::ots
