// Certificates given by the caller, as PEM or DER.
#include <algorithm>
#include <climits>
#include <cstring>
#include <mutex>
#include <string_view>
#include <utility>

#include <openssl/err.h>
#include <openssl/pem.h>

#include "core/crypto/openssl_errors.hpp"
#include "core/timestamp/certificate_cache.hpp"
#include "core/timestamp/timestamp.hpp"

namespace zun {
namespace {

std::string with_queue(std::string reason) {
    const std::string queued = take_openssl_errors();
    if (!queued.empty()) reason += " (" + queued + ")";
    return reason;
}

bool looks_like_pem(std::span<const std::uint8_t> data) {
    constexpr std::string_view marker = "-----BEGIN ";
    const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
    return text.find(marker) != std::string_view::npos;
}

X509Ptr share(X509* certificate) {
    if (X509_up_ref(certificate) != 1) throw std::bad_alloc();
    return X509Ptr(certificate);
}

std::vector<X509Ptr> share_all(const std::vector<X509Ptr>& certificates) {
    std::vector<X509Ptr> out;
    out.reserve(certificates.size());
    for (const auto& c : certificates) out.push_back(share(c.get()));
    return out;
}

// Reading a certificate costs about 100 us with OpenSSL 3.0, whose key
// decoding takes most of it: more than the rest of a verification. Callers
// pass the same roots and intermediates with every token, so the inputs
// read last are kept with their certificates, which are never changed once
// read and are shared by reference count.
class RecentCertificates {
public:
    static constexpr std::size_t kCapacity = 8;

    std::optional<std::vector<X509Ptr>> find(std::span<const std::uint8_t> data) {
        const std::lock_guard lock(mutex_);
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            const Entry& e = entries_[i];
            if (e.bytes.size() != data.size() || std::memcmp(e.bytes.data(), data.data(), data.size()) != 0) continue;
            auto found = share_all(e.certificates);
            std::rotate(entries_.begin(), entries_.begin() + static_cast<std::ptrdiff_t>(i),
                        entries_.begin() + static_cast<std::ptrdiff_t>(i) + 1);
            return found;
        }
        return std::nullopt;
    }

    void keep(std::span<const std::uint8_t> data, const std::vector<X509Ptr>& certificates) {
        Entry entry{Bytes(data.begin(), data.end()), share_all(certificates)};
        const std::lock_guard lock(mutex_);
        if (entries_.size() == kCapacity) entries_.pop_back();
        entries_.insert(entries_.begin(), std::move(entry));
    }

    void lock() noexcept { mutex_.lock(); }
    void unlock() noexcept { mutex_.unlock(); }

private:
    struct Entry {
        Bytes bytes;
        std::vector<X509Ptr> certificates;
    };
    std::mutex mutex_;
    std::vector<Entry> entries_;  // most recently used first; guarded by mutex_
};

RecentCertificates& recent_certificates() {
    // Never destroyed: a thread may still verify while the process exits.
    static auto* recent = new RecentCertificates;
    return *recent;
}

std::variant<std::vector<X509Ptr>, std::string> decode_certificates(std::span<const std::uint8_t> data);

}  // namespace

void lock_certificate_cache() noexcept { recent_certificates().lock(); }
void unlock_certificate_cache() noexcept { recent_certificates().unlock(); }

std::variant<std::vector<X509Ptr>, std::string> read_certificates(std::span<const std::uint8_t> data) {
    if (data.empty()) return std::vector<X509Ptr>{};
    if (auto found = recent_certificates().find(data)) return std::move(*found);
    auto read = decode_certificates(data);
    if (const auto* certificates = std::get_if<std::vector<X509Ptr>>(&read)) recent_certificates().keep(data, *certificates);
    return read;
}

namespace {

// In place of OpenSSL's default, which asks for the passphrase of an
// encrypted block on the terminal (and waits there). An error rather than an
// empty passphrase, which OpenSSL 3 would try: an encrypted block is one that
// cannot be read.
int no_passphrase(char*, int, int, void*) { return -1; }

std::variant<std::vector<X509Ptr>, std::string> decode_certificates(std::span<const std::uint8_t> data) {
    OpenSslErrorScope scope;
    std::vector<X509Ptr> certificates;
    if (!looks_like_pem(data)) {
        const unsigned char* p = data.data();
        X509Ptr certificate(d2i_X509(nullptr, &p, static_cast<long>(data.size())));
        if (!certificate) return with_queue("neither PEM nor a DER certificate");
        if (p != data.data() + data.size()) return "bytes after the DER certificate";
        certificates.push_back(std::move(certificate));
        return certificates;
    }
    if (data.size() > static_cast<std::size_t>(INT_MAX)) return "more than 2 GiB of PEM text";
    const BioPtr bio(BIO_new_mem_buf(data.data(), static_cast<int>(data.size())));
    if (!bio) throw std::bad_alloc();
    for (;;) {
        X509Ptr certificate(PEM_read_bio_X509(bio.get(), nullptr, no_passphrase, nullptr));
        if (!certificate) break;
        certificates.push_back(std::move(certificate));
    }
    // The loop ends at the first block it cannot use; only running out of
    // blocks after at least one certificate is a clean end.
    const unsigned long last = ERR_peek_last_error();
    if (ERR_GET_LIB(last) == ERR_LIB_PEM && ERR_GET_REASON(last) == PEM_R_NO_START_LINE) {
        if (!certificates.empty()) return certificates;
        return "no certificate in the PEM text";
    }
    return with_queue("PEM block " + std::to_string(certificates.size() + 1) + " is not a certificate");
}

}  // namespace

Bytes certificates_pem(std::span<const X509Ptr> certificates) {
    OpenSslErrorScope scope;
    const BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio) throw std::bad_alloc();
    for (const auto& certificate : certificates) {
        // Writing to memory fails only when memory does.
        if (PEM_write_bio_X509(bio.get(), certificate.get()) != 1) throw std::bad_alloc();
    }
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return Bytes(data, data + size);
}

std::variant<TimestampTrust, std::string> read_trust(std::span<const std::uint8_t> roots,
                                                     std::span<const std::uint8_t> intermediates,
                                                     std::optional<std::span<const std::uint8_t>> tsa_certificate) {
    TimestampTrust trust;
    auto read = [](std::string_view name, std::span<const std::uint8_t> data,
                   std::vector<X509Ptr>& out) -> std::optional<std::string> {
        auto result = read_certificates(data);
        if (auto* reason = std::get_if<std::string>(&result)) return std::string(name) + ": " + *reason;
        out = std::get<std::vector<X509Ptr>>(std::move(result));
        return std::nullopt;
    };
    if (auto failure = read("roots", roots, trust.roots)) return *failure;
    if (trust.roots.empty()) return "roots: no certificate given";
    if (auto failure = read("intermediates", intermediates, trust.intermediates)) return *failure;
    if (tsa_certificate) {
        std::vector<X509Ptr> tsa;
        if (auto failure = read("tsa_certificate", *tsa_certificate, tsa)) return *failure;
        if (tsa.size() != 1) return "tsa_certificate: " + std::to_string(tsa.size()) + " certificates given, expected one";
        trust.tsa_certificate = std::move(tsa.front());
    }
    return trust;
}

}  // namespace zun
