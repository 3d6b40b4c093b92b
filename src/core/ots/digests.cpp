// SHA-256, which most operations of a proof are, goes through the low-level
// calls that the Merkle tree uses too (core/merkle/hash.cpp): through EVP in
// OpenSSL 3.0, each message re-creates the provider's context, and a walk
// took 2.3 times as long. The other hashes are rare and go through EVP.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "core/ots/digests.hpp"

#include <openssl/sha.h>

#include <algorithm>
#include <new>
#include <stdexcept>
#include <string>

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

namespace zun::ots {
namespace {

// OpenSSL 3.0.0 to 3.0.6 keep RIPEMD-160 in the legacy provider alone.
constexpr unsigned long kRipemdInDefaultProvider = 0x30000070UL;

// The legacy provider is loaded into a library context of our own, so that
// the process's default context (which other users of libcrypto share) is
// left as its configuration made it. Kept for the life of the process.
EVP_MD* fetch_from_legacy_provider(const char* name) {
    static OSSL_LIB_CTX* const context = [] {
        OSSL_LIB_CTX* made = OSSL_LIB_CTX_new();
        if (made != nullptr && OSSL_PROVIDER_load(made, "legacy") == nullptr) {
            OSSL_LIB_CTX_free(made);
            made = nullptr;
        }
        return made;
    }();
    return context == nullptr ? nullptr : EVP_MD_fetch(context, name, nullptr);
}

// Fetched once per process and kept; null when the libcrypto lacks it. A
// failed fetch leaves nothing on the thread's error queue.
const EVP_MD* fetch(const char* name) {
    ERR_set_mark();
    EVP_MD* md = EVP_MD_fetch(nullptr, name, nullptr);
    if (md == nullptr && std::string_view(name) == "RIPEMD160" && OpenSSL_version_num() < kRipemdInDefaultProvider) {
        md = fetch_from_legacy_provider(name);
    }
    ERR_pop_to_mark();
    return md;
}

const EVP_MD* digest_of(std::uint8_t tag) {
    switch (tag) {
        case op::sha1: {
            static const EVP_MD* const md = fetch("SHA1");
            return md;
        }
        case op::ripemd160: {
            static const EVP_MD* const md = fetch("RIPEMD160");
            return md;
        }
        case op::sha256: {
            static const EVP_MD* const md = fetch("SHA2-256");
            return md;
        }
        case op::keccak256: {
            static const EVP_MD* const md = fetch("KECCAK-256");
            return md;
        }
        default: return nullptr;
    }
}

std::size_t context_index(std::uint8_t tag) {
    switch (tag) {
        case op::sha1: return 0;
        case op::ripemd160: return 1;
        case op::sha256: return 2;
        default: return 3;
    }
}

constexpr char kHexDigits[] = "0123456789abcdef";

}  // namespace

std::string_view missing_hash(std::uint8_t tag) {
    if (digest_of(tag) != nullptr) return {};
    switch (tag) {
        case op::keccak256: return "keccak256 needs OpenSSL 3.2 or later";
        case op::ripemd160: return "ripemd160 needs OpenSSL 3.0.7 or later, or its legacy provider";
        case op::sha1: return "sha1 is not in the linked libcrypto";
        default: return "sha256 is not in the linked libcrypto";
    }
}

std::string_view Hasher::digest(std::uint8_t tag, std::span<const std::uint8_t> in, std::uint8_t* out) {
    if (tag == op::sha256) {
        SHA256_CTX context;
        SHA256_Init(&context);
        SHA256_Update(&context, in.data(), in.size());
        SHA256_Final(out, &context);
        return {};
    }
    const EVP_MD* md = digest_of(tag);
    if (md == nullptr) return missing_hash(tag);
    EvpMdCtxPtr& slot = contexts_[context_index(tag)];
    if (!slot) {
        slot.reset(EVP_MD_CTX_new());
        if (!slot) throw std::bad_alloc();
    }
    EVP_MD_CTX* context = slot.get();
    unsigned int size = 0;
    if (EVP_DigestInit_ex2(context, md, nullptr) != 1 || EVP_DigestUpdate(context, in.data(), in.size()) != 1 ||
        EVP_DigestFinal_ex(context, out, &size) != 1) {
        ERR_clear_error();
        return "the linked libcrypto failed to compute a hash";
    }
    return {};
}

std::string_view Hasher::apply(std::uint8_t tag, std::span<const std::uint8_t> argument,
                               std::span<const std::uint8_t> in, Bytes& out) {
    switch (tag) {
        case op::append:
            out.assign(in.begin(), in.end());
            out.insert(out.end(), argument.begin(), argument.end());
            return {};
        case op::prepend:
            out.assign(argument.begin(), argument.end());
            out.insert(out.end(), in.begin(), in.end());
            return {};
        case op::reverse:
            out.assign(in.rbegin(), in.rend());
            return {};
        case op::hexlify:
            out.resize(2 * in.size());
            for (std::size_t i = 0; i < in.size(); ++i) {
                out[2 * i] = static_cast<std::uint8_t>(kHexDigits[in[i] >> 4]);
                out[2 * i + 1] = static_cast<std::uint8_t>(kHexDigits[in[i] & 0x0f]);
            }
            return {};
        default:
            out.resize(digest_size(tag));
            return digest(tag, in, out.data());
    }
}

std::array<std::uint8_t, 32> Hasher::double_sha256(std::span<const std::uint8_t> data) {
    std::array<std::uint8_t, 32> once, twice;
    std::string_view failed = digest(op::sha256, data, once.data());
    if (failed.empty()) failed = digest(op::sha256, once, twice.data());
    // SHA-256 is in every libcrypto the module builds against.
    if (!failed.empty()) throw std::runtime_error(std::string(failed));
    return twice;
}

}  // namespace zun::ots
