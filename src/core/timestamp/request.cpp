// Building a TimeStampReq, and the nonce that ties the answer to it.
#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <utility>

#include "core/crypto/openssl_errors.hpp"
#include "core/queue/os_error.hpp"
#include "core/timestamp/asn1_text.hpp"
#include "core/timestamp/timestamp.hpp"

namespace zun {

std::optional<std::string> check_dotted_oid(std::string_view text) {
    OpenSslErrorScope scope;
    // OpenSSL reads "1.02.3" and arcs beyond its limits in ways of its own:
    // only the text it writes back unchanged is taken.
    for (const char c : text) {
        if ((c < '0' || c > '9') && c != '.') return "not a dotted OID: characters other than digits and dots";
    }
    const std::string copy(text);
    const Asn1ObjectPtr object(OBJ_txt2obj(copy.c_str(), 1));
    if (!object || oid_text(object.get()) != text) return "not a dotted OID in canonical form";
    return std::nullopt;
}

std::variant<TimestampRequest, std::string> make_timestamp_request(std::span<const std::uint8_t, 32> digest,
                                                                   std::optional<std::uint64_t> nonce,
                                                                   std::optional<std::string> policy,
                                                                   bool certificate) {
    if (policy) {
        if (auto reason = check_dotted_oid(*policy)) return "policy: " + *reason;
    }
    OpenSslErrorScope scope;
    TimestampRequest request;
    std::copy(digest.begin(), digest.end(), request.digest.begin());
    request.nonce = nonce;
    request.policy = std::move(policy);
    request.certificate = certificate;

    const TsReqPtr req(TS_REQ_new());
    const TsMsgImprintPtr imprint(TS_MSG_IMPRINT_new());
    const X509AlgorPtr algorithm(X509_ALGOR_new());
    if (!req || !imprint || !algorithm) throw std::bad_alloc();
    // NULL parameters, as `openssl ts -query` writes them: every TSA accepts those.
    bool ok = TS_REQ_set_version(req.get(), 1) == 1 &&
              X509_ALGOR_set0(algorithm.get(), OBJ_nid2obj(NID_sha256), V_ASN1_NULL, nullptr) == 1 &&
              TS_MSG_IMPRINT_set_algo(imprint.get(), algorithm.get()) == 1 &&
              TS_MSG_IMPRINT_set_msg(imprint.get(), request.digest.data(), static_cast<int>(request.digest.size())) == 1 &&
              TS_REQ_set_msg_imprint(req.get(), imprint.get()) == 1 && TS_REQ_set_cert_req(req.get(), certificate ? 1 : 0) == 1;
    if (ok && request.policy) {
        const Asn1ObjectPtr object(OBJ_txt2obj(request.policy->c_str(), 1));
        ok = object && TS_REQ_set_policy_id(req.get(), object.get()) == 1;
    }
    if (ok && nonce) {
        const Asn1IntegerPtr value(ASN1_INTEGER_new());
        ok = value && ASN1_INTEGER_set_uint64(value.get(), *nonce) == 1 && TS_REQ_set_nonce(req.get(), value.get()) == 1;
    }
    unsigned char* out = nullptr;
    const int length = ok ? i2d_TS_REQ(req.get(), &out) : -1;
    // Each step only allocates or copies what was checked above.
    if (length <= 0) throw std::bad_alloc();
    request.der.assign(out, out + length);
    OPENSSL_free(out);
    return request;
}

std::variant<std::uint64_t, RandomSourceError> random_nonce() {
    std::array<std::uint8_t, 8> bytes;
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        const ssize_t got = retry_eintr([&] { return getrandom(bytes.data() + filled, bytes.size() - filled, 0); });
        if (got < 0) {
            const int code = errno;
            return RandomSourceError{code, os_error_text(code)};
        }
        filled += static_cast<std::size_t>(got);
    }
    std::uint64_t nonce = 0;
    for (const std::uint8_t b : bytes) nonce = nonce << 8 | b;
    return nonce;
}

}  // namespace zun
