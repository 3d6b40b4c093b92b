// Line-driven probe of the Ed25519 core for the Python tests. One command per
// input line, one answer per output line. Byte-string arguments are hex, with
// "-" for the empty string, so any bytes (key texts included) can be sent.
//
//   verify <key_text> <sig> <msg>    outcome through the key text
//   verifykey <key_text> <sig> <msg> outcome through parse_verifying_key
//   split <key32> <sig> <msg>        combined outcome and each verifier alone
//   sign <seed> <msg>                signature
//   pubkey <seed>                    public key, key text, fingerprint
//   descriptor <seed>                the minted descriptor's fields
//   fingerprint <bytes>              fingerprint or the check's failure
//   point <key32>                    decompresses, small-order-or-noncanonical
//   b64encode <bytes> / b64decode <text>
//   generate                         two fresh identities, checked
//   moved <seed>                     what a move leaves behind
//   crosscheck <count> <rng_seed>    curve check vs OpenSSL's BN_kronecker
#include <array>
#include <cstdint>
#include <iostream>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <openssl/bn.h>

#include "core/text/base64.hpp"
#include "core/crypto/ed25519.hpp"
#include "core/crypto/ed25519_backends.hpp"
#include "core/crypto/ed25519_point.hpp"
#include "core/crypto/identity.hpp"
#include "core/protocol/names.hpp"
#include "core/crypto/openssl_handles.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;
using BnCtxPtr = std::unique_ptr<BN_CTX, zun::OpenSslDeleter<BN_CTX, BN_CTX_free>>;
using BignumPtr = std::unique_ptr<BIGNUM, zun::OpenSslDeleter<BIGNUM, BN_free>>;

std::optional<Bytes> from_hex(const std::string& text) {
    if (text == "-") return Bytes{};
    if (text.size() % 2 != 0) return std::nullopt;
    Bytes out;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    }
    return out;
}

std::string hex(std::span<const std::uint8_t> bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (const auto b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out.empty() ? "-" : out;
}

std::string text_of(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

std::string outcome(zun::VerifyOutcome o) {
    return o == zun::VerifyOutcome::ok ? "ok" : std::string(zun::verify_outcome_name(o));
}

// The curve question answered by OpenSSL's big numbers: is (y^2 - 1)(d y^2 + 1)
// zero or a square modulo p?
class KroneckerCheck {
public:
    KroneckerCheck() {
        BIGNUM* raw = nullptr;
        BN_dec2bn(&raw, "57896044618658097711785492504343953926634992332820282019728792003956564819949");
        p_.reset(raw);
        raw = nullptr;
        BN_dec2bn(&raw, "37095705934669439343138083508754565189542113879843219016388785533085940283555");
        d_.reset(raw);
    }
    bool decompresses(const std::array<std::uint8_t, 32>& encoding) {
        std::array<std::uint8_t, 32> y_bytes = encoding;
        y_bytes[31] &= 0x7f;
        const BignumPtr y{BN_lebin2bn(y_bytes.data(), 32, nullptr)};
        const BignumPtr y2{BN_new()}, u{BN_new()}, v{BN_new()}, t{BN_new()};
        BN_mod_sqr(y2.get(), y.get(), p_.get(), ctx_.get());
        BN_mod_sub(u.get(), y2.get(), BN_value_one(), p_.get(), ctx_.get());
        BN_mod_mul(v.get(), d_.get(), y2.get(), p_.get(), ctx_.get());
        BN_mod_add(v.get(), v.get(), BN_value_one(), p_.get(), ctx_.get());
        BN_mod_mul(t.get(), u.get(), v.get(), p_.get(), ctx_.get());
        return BN_kronecker(t.get(), p_.get(), ctx_.get()) != -1;
    }

private:
    BnCtxPtr ctx_{BN_CTX_new()};
    BignumPtr p_, d_;
};

std::string crosscheck(std::uint64_t count, std::uint64_t rng_seed) {
    KroneckerCheck reference;
    std::mt19937_64 rng(rng_seed);
    std::uint64_t mismatches = 0, points = 0;
    for (std::uint64_t n = 0; n < count; ++n) {
        std::array<std::uint8_t, 32> y;
        for (auto& b : y) b = static_cast<std::uint8_t>(rng());
        // Every eighth sample sits at the edges: a small y or one near 2^255.
        if (n % 8 == 0) {
            const bool near_top = (n / 8) % 2 == 0;
            for (std::size_t i = 1; i < 32; ++i) y[i] = near_top ? 0xff : 0x00;
            y[0] = static_cast<std::uint8_t>(n / 16);
            if (near_top) y[31] = (y[31] & 0x80) | 0x7f;
        }
        const bool ours = zun::ed25519_point_decompresses(y);
        points += ours;
        mismatches += ours != reference.decompresses(y);
    }
    return "mismatches=" + std::to_string(mismatches) + " points=" + std::to_string(points);
}

std::string run(const std::string& line) {
    std::istringstream in(line);
    std::string cmd;
    in >> cmd;
    if (cmd == "crosscheck") {
        std::uint64_t count = 0, seed = 0;
        if (in >> count >> seed) return crosscheck(count, seed);
        return "bad-command";
    }
    std::vector<Bytes> args;
    for (std::string word; in >> word;) {
        auto bytes = from_hex(word);
        if (!bytes) return "bad-hex";
        args.push_back(std::move(*bytes));
    }
    const auto arg_count_is = [&](std::size_t n) { return args.size() == n; };

    if (cmd == "verify" && arg_count_is(3)) {
        return outcome(zun::verify_signature(text_of(args[0]), args[2], args[1]));
    }
    if (cmd == "verifykey" && arg_count_is(3)) {
        const auto key = zun::parse_verifying_key(text_of(args[0]));
        if (!key) return "BadPublicKey";
        return outcome(zun::verify_signature(*key, args[2], args[1]));
    }
    if (cmd == "split" && arg_count_is(3) && args[0].size() == 32) {
        const std::span<const std::uint8_t, 32> key(args[0].data(), 32);
        std::string out = "combined=" + outcome(zun::verify_signature(zun::public_key_text(key), args[2], args[1]));
        out += " point=" + std::to_string(zun::ed25519_point_decompresses(key));
        if (args[1].size() != 64) return out + " sodium=- openssl=- unusual=-";
        const std::span<const std::uint8_t, 64> sig(args[1].data(), 64);
        out += " sodium=" + std::to_string(zun::sodium_accepts(key, args[2], sig));
        out += " openssl=" + std::to_string(zun::openssl_accepts(key, args[2], sig));
        const bool unusual = zun::ed25519_small_order_or_noncanonical(key) ||
                             zun::ed25519_small_order_or_noncanonical(sig.first<32>());
        return out + " unusual=" + std::to_string(unusual);
    }
    if ((cmd == "sign" && arg_count_is(2)) || ((cmd == "pubkey" || cmd == "descriptor" || cmd == "moved") && arg_count_is(1))) {
        if (args[0].size() != 32) return "bad-seed";
        const auto identity = zun::SoftwareIdentity::from_seed(std::span<const std::uint8_t, 32>(args[0].data(), 32));
        if (cmd == "sign") return hex(identity.sign(args[1]));
        if (cmd == "pubkey") {
            return hex(identity.public_key()) + " " + zun::public_key_text(identity.public_key()) + " " +
                   identity.fingerprint().str() + " " + hex(identity.secret_bytes());
        }
        if (cmd == "descriptor") {
            const zun::PeerIdentityDescriptor d = identity.descriptor();
            return d.fingerprint + " " + d.public_key_b64 + " " + std::string(zun::name_of(d.surface)) + " " +
                   std::to_string(d.attestation.certs_b64.size()) + "[" + d.attestation.vendor + "] " +
                   d.created_at + " " + (d.superseded_by ? "successor" : "none");
        }
        auto source = zun::SoftwareIdentity::from_seed(std::span<const std::uint8_t, 32>(args[0].data(), 32));
        zun::SoftwareIdentity moved(std::move(source));
        zun::SoftwareIdentity assigned = zun::SoftwareIdentity::from_seed(zun::SoftwareIdentity::Seed{});
        assigned = std::move(moved);
        return hex(source.secret_bytes()) + " " + hex(moved.secret_bytes()) + " " + hex(assigned.secret_bytes()) +
               " " + hex(assigned.sign({}));
    }
    if (cmd == "fingerprint" && arg_count_is(1)) {
        switch (zun::check_public_key(args[0])) {
            case zun::PublicKeyCheck::wrong_length: return "wrong_length";
            case zun::PublicKeyCheck::not_a_point: return "not_a_point";
            case zun::PublicKeyCheck::ok: break;
        }
        return zun::fingerprint(std::span<const std::uint8_t, 32>(args[0].data(), 32)).str();
    }
    if (cmd == "point" && arg_count_is(1) && args[0].size() == 32) {
        const std::span<const std::uint8_t, 32> key(args[0].data(), 32);
        return std::to_string(zun::ed25519_point_decompresses(key)) + " " +
               std::to_string(zun::ed25519_small_order_or_noncanonical(key));
    }
    if (cmd == "b64encode" && arg_count_is(1)) {
        const std::string text = zun::base64_encode(args[0]);
        return text.empty() ? "-" : text;
    }
    if (cmd == "b64decode" && arg_count_is(1)) {
        const auto decoded = zun::base64_decode(text_of(args[0]));
        return decoded ? hex(*decoded) : "error";
    }
    if (cmd == "generate" && args.size() <= 1) {
        auto first = zun::SoftwareIdentity::generate();
        auto second = zun::SoftwareIdentity::generate();
        const auto* a = std::get_if<zun::SoftwareIdentity>(&first);
        const auto* b = std::get_if<zun::SoftwareIdentity>(&second);
        if (!a || !b) return "error " + std::get<zun::RandomSourceError>(a ? second : first).description;
        const auto again = zun::SoftwareIdentity::from_seed(a->secret_bytes());
        const auto sig = a->sign(args.empty() ? std::span<const std::uint8_t>{} : args[0]);
        return a->fingerprint().str() + " " + b->fingerprint().str() + " " + again.fingerprint().str() + " " +
               hex(a->public_key()) + " " + hex(sig);
    }
    return "bad-command";
}

}  // namespace

int main() {
    std::ios::sync_with_stdio(false);
    for (std::string line; std::getline(std::cin, line);) std::cout << run(line) << '\n';
    return 0;
}
