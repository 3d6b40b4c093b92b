// RFC 3161 time-stamping: the request sent to a time-stamping authority, the
// token it signs, and the offline verification of that token. The ASN.1 and
// the cryptography are OpenSSL's (its TS, CMS and X.509 interfaces); this
// layer decides what is checked and says which check failed.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/anchor/anchor.hpp"
#include "core/crypto/random.hpp"
#include "core/crypto/openssl_handles.hpp"
#include "core/protocol/records.hpp"

namespace zun {

using Bytes = std::vector<std::uint8_t>;

// A TimeStampReq v1 whose message imprint is SHA-256 over the data: the
// digest is taken as it is, never hashed again.
struct TimestampRequest {
    std::array<std::uint8_t, 32> digest{};
    std::optional<std::uint64_t> nonce;
    std::optional<std::string> policy;  // dotted OID
    bool certificate = true;            // certReq: ask for the TSA's certificate in the token
    Bytes der;                          // the request as sent
    friend bool operator==(const TimestampRequest&, const TimestampRequest&) = default;
};

// Nullopt when `text` is a dotted OID in its canonical form ("1.2.840"),
// else the reason it is not.
std::optional<std::string> check_dotted_oid(std::string_view text);

// Fails only for a policy that check_dotted_oid refuses (the reason).
std::variant<TimestampRequest, std::string> make_timestamp_request(std::span<const std::uint8_t, 32> digest,
                                                                   std::optional<std::uint64_t> nonce,
                                                                   std::optional<std::string> policy,
                                                                   bool certificate);

// Reads a DER TimeStampReq of the kind make_timestamp_request writes: v1, a
// SHA-256 imprint of 32 bytes, a nonce that fits 64 bits, no extensions. The
// bytes read are kept as the request's `der`: they are what was sent. On
// failure, the reason.
std::variant<TimestampRequest, std::string> parse_timestamp_request(std::span<const std::uint8_t> der);

// 64 bits from getrandom.
std::variant<std::uint64_t, RandomSourceError> random_nonce();

// What a token says, read once when it is parsed. Integers that may be of
// any size are held as canonical hexadecimal text: lowercase, no leading
// zeros, "-" before a negative value, "0" for zero.
struct TimestampToken {
    Bytes der;  // the token alone: a CMS ContentInfo holding SignedData
    long version = 0;
    std::string policy;          // dotted OID
    std::string hash_algorithm;  // "sha256", "sha384", "sha512", "sha1", or the dotted OID
    Bytes digest;                // the imprint's hashedMessage
    std::string serial_hex;
    std::string gen_time_text;  // RFC 3339 with "Z", the token's fraction kept
    Instant gen_time;
    std::optional<std::string> nonce_hex;
    std::optional<std::string> tsa_name;
    std::vector<Bytes> certificates;  // DER, in the token's order

    // Everything else is read from the DER.
    friend bool operator==(const TimestampToken& a, const TimestampToken& b) { return a.der == b.der; }
};

// Reads a whole TimeStampResp or a bare token. A response whose status is
// neither granted nor grantedWithMods is a BadResponse that gives the status,
// the statusString and the failInfo.
AnchorResult<TimestampToken> parse_timestamp(std::span<const std::uint8_t> data);

// The certificates a token is checked against.
struct TimestampTrust {
    std::vector<X509Ptr> roots;
    std::vector<X509Ptr> intermediates;
    X509Ptr tsa_certificate;  // null when not given
};

// PEM holding one or more certificates, or one DER certificate; empty input
// is an empty list. On failure, the reason.
std::variant<std::vector<X509Ptr>, std::string> read_certificates(std::span<const std::uint8_t> data);

// Reads the three inputs of a verification; a failure names the argument
// ("roots: ...").
std::variant<TimestampTrust, std::string> read_trust(std::span<const std::uint8_t> roots,
                                                     std::span<const std::uint8_t> intermediates,
                                                     std::optional<std::span<const std::uint8_t>> tsa_certificate);

// The certificates as PEM text, in order: read_certificates reads them back.
Bytes certificates_pem(std::span<const X509Ptr> certificates);

struct TimestampExpectations {
    std::span<const std::uint8_t> digest;
    std::optional<std::string> nonce_hex;  // canonical, as in TimestampToken
    std::optional<std::string> policy;
    std::optional<std::string> signer_common_name;
};

struct VerifiedTimestamp {
    std::string signer_common_name;  // "" when the signer's subject has none
};

// Every check holds, or the first that fails is a BadResponse naming it (an
// imprint algorithm outside SHA-1 and SHA-2 is Unsupported). Reads `token`
// and `trust` only, so several threads may verify with them at once.
AnchorResult<VerifiedTimestamp> verify_timestamp(const TimestampToken& token, const TimestampTrust& trust,
                                                 const TimestampExpectations& expected);

// Python's hexadecimal spelling of an integer ("0x1f", "-0x1f") in the
// canonical form above, and back.
std::string canonical_hex(std::string_view text);
std::string hex_literal(std::string_view canonical);

}  // namespace zun
