// Feeds arbitrary bytes to the request reader, to the time-stamp reader and
// whatever it reads to the verifier, trusting the last certificate the token embeds, so that inputs
// that keep a valid chain reach every check. Besides crashes, leaks and
// undefined behaviour it checks that a token reads back the same from its own
// DER, that a request read makes the same request again, that every failure
// says why, and that OpenSSL's error queue is left
// empty.
//
// scripts/fuzz.sh builds it with clang (the core instrumented too) and runs it
// for a bounded time from the seeds in fuzz/seeds-timestamp.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <variant>

#include <openssl/err.h>

#include "core/timestamp/timestamp.hpp"

namespace {

[[noreturn]] void fail() { std::abort(); }

void check_failure(const zun::AnchorError& error) {
    if (error.detail.empty()) fail();
}

void check_request(std::span<const std::uint8_t> data) {
    const auto read = zun::parse_timestamp_request(data);
    if (ERR_peek_error() != 0) fail();
    if (const auto* reason = std::get_if<std::string>(&read)) {
        if (reason->empty()) fail();
        return;
    }
    const auto& request = std::get<zun::TimestampRequest>(read);
    const auto again = zun::make_timestamp_request(request.digest, request.nonce, request.policy, request.certificate);
    if (!std::holds_alternative<zun::TimestampRequest>(again)) fail();
    const auto& made = std::get<zun::TimestampRequest>(again);
    if (made.digest != request.digest || made.nonce != request.nonce || made.policy != request.policy) fail();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    check_request(std::span(data, size));
    auto parsed = zun::parse_timestamp(std::span(data, size));
    if (ERR_peek_error() != 0) fail();
    if (const auto* error = std::get_if<zun::AnchorError>(&parsed)) {
        check_failure(*error);
        return 0;
    }
    const zun::TimestampToken& token = std::get<zun::TimestampToken>(parsed);
    const auto again = zun::parse_timestamp(token.der);
    if (!std::holds_alternative<zun::TimestampToken>(again) || !(std::get<zun::TimestampToken>(again) == token)) fail();
    if (token.gen_time_text.empty() || token.gen_time_text.back() != 'Z') fail();

    zun::TimestampTrust trust;
    if (!token.certificates.empty()) {
        auto roots = zun::read_certificates(token.certificates.back());
        if (auto* read = std::get_if<std::vector<zun::X509Ptr>>(&roots)) trust.roots = std::move(*read);
    }
    const zun::TimestampExpectations expected{token.digest, token.nonce_hex, token.policy, std::nullopt};
    const auto verified = zun::verify_timestamp(token, trust, expected);
    if (const auto* error = std::get_if<zun::AnchorError>(&verified)) check_failure(*error);
    if (ERR_peek_error() != 0) fail();
    return 0;
}
