// Feeds arbitrary bytes to the .ots reader as a whole file, and as a
// calendar's bare answer grafted onto a fixed proof. Besides crashes, leaks,
// hangs and undefined behaviour it checks that every refusal says why, that a
// proof read back from its own bytes is the same proof, that those bytes are
// a fixed point of reading, that merging a proof with itself changes nothing,
// that counting attestations agrees with walking to them, and that checking
// headers made of the input's bytes leaves OpenSSL's error queue empty.
//
// scripts/fuzz.sh builds it with clang (the core instrumented too) and runs it
// for a bounded time from the seeds in fuzz/seeds-ots.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <variant>

#include <openssl/err.h>

#include "core/ots/bitcoin.hpp"
#include "core/ots/proof.hpp"

namespace {

using namespace zun::ots;

[[noreturn]] void fail() { std::abort(); }

void check_reason(const std::string& reason) {
    if (reason.empty()) fail();
}

void check_error(const zun::AnchorError& error) {
    if (error.detail.empty()) fail();
}

// A proof of the digest sha256("") whose root is pending, for answers to graft at.
const Proof& base_proof() {
    static const Proof proof = [] {
        Bytes file(kMagic.begin(), kMagic.end());
        file.push_back(1);
        file.push_back(op::sha256);
        file.resize(file.size() + 32, 0xab);
        file.push_back(kAttestationTag);
        file.insert(file.end(), kPendingTag.begin(), kPendingTag.end());
        const std::string url = "https://a.example";
        file.push_back(static_cast<std::uint8_t>(url.size() + 1));
        file.push_back(static_cast<std::uint8_t>(url.size()));
        file.insert(file.end(), url.begin(), url.end());
        return std::get<Proof>(Proof::read(file));
    }();
    return proof;
}

void check_proof(const Proof& proof, std::span<const std::uint8_t> data) {
    auto again = Proof::read(proof.bytes());
    if (!std::holds_alternative<Proof>(again) || !(std::get<Proof>(again) == proof)) fail();
    auto merged = merge(proof, proof);
    if (!std::holds_alternative<Proof>(merged) || !(std::get<Proof>(merged) == proof)) fail();

    const auto found = attestations(proof);
    if (const auto* error = std::get_if<zun::AnchorError>(&found)) {
        if (error->kind != zun::AnchorError::Kind::unsupported) fail();
        check_error(*error);
    } else if (std::get<std::vector<Attestation>>(found).size() != attestation_count(proof)) {
        fail();
    }

    // Headers made of the input's first 80 bytes, for every Bitcoin height.
    const auto bitcoin = attestations(proof, kind_bit(AttestationKind::bitcoin));
    if (const auto* claims = std::get_if<std::vector<Attestation>>(&bitcoin)) {
        Headers headers;
        for (const Attestation& claim : *claims) headers.emplace(claim.height, data.first(std::min<std::size_t>(80, data.size())));
        for (const Chain chain : {Chain::mainnet, Chain::regtest}) {
            const auto confirmed = confirm(*claims, headers, chain);
            if (const auto* error = std::get_if<zun::AnchorError>(&confirmed)) check_error(*error);
        }
    }
    // The input's tail as an answer grafted where the digest is.
    const auto upgraded = upgrade(proof, proof.digest(), data.subspan(data.size() / 2));
    if (const auto* error = std::get_if<zun::AnchorError>(&upgraded)) check_error(*error);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    const auto read = Proof::read(input);
    if (const auto* reason = std::get_if<std::string>(&read)) {
        check_reason(*reason);
    } else {
        check_proof(std::get<Proof>(read), input);
    }

    const Proof& base = base_proof();
    const auto upgraded = upgrade(base, base.digest(), input);
    if (const auto* error = std::get_if<zun::AnchorError>(&upgraded)) {
        check_error(*error);
    } else if (const auto& proof = std::get<std::optional<Proof>>(upgraded)) {
        check_proof(*proof, input);
    } else {
        fail();  // the root has the digest's message
    }
    if (ERR_peek_error() != 0) fail();
    return 0;
}
