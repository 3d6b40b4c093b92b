// Building a TimeStampReq, and the nonce that ties the answer to it.
#include <algorithm>
#include <array>
#include <climits>
#include <new>
#include <utility>

#include "core/crypto/openssl_errors.hpp"
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
    unsigned char* written = nullptr;
    const int length = ok ? i2d_TS_REQ(req.get(), &written) : -1;
    const OpenSslBuffer<unsigned char> out(written);
    // Each step only allocates or copies what was checked above.
    if (length <= 0) throw std::bad_alloc();
    request.der.assign(out.get(), out.get() + length);
    return request;
}

std::variant<TimestampRequest, std::string> parse_timestamp_request(std::span<const std::uint8_t> der) {
    OpenSslErrorScope scope;
    if (der.size() > static_cast<std::size_t>(LONG_MAX)) return "not a DER TimeStampReq: too long";
    const unsigned char* p = der.data();
    const TsReqPtr req(d2i_TS_REQ(nullptr, &p, static_cast<long>(der.size())));
    if (!req) {
        const std::string queued = take_openssl_errors();
        return "not a DER TimeStampReq" + (queued.empty() ? "" : " (" + queued + ")");
    }
    if (p != der.data() + der.size()) return "bytes after the TimeStampReq";
    // A BER encoding reads too, but is not what any party signs or sends.
    unsigned char* written = nullptr;
    const int length = i2d_TS_REQ(req.get(), &written);
    const OpenSslBuffer<unsigned char> encoded(written);
    const bool canonical = length >= 0 && static_cast<std::size_t>(length) == der.size() &&
                           std::equal(der.begin(), der.end(), encoded.get());
    if (!canonical) return "the TimeStampReq is not in DER";

    if (const long version = TS_REQ_get_version(req.get()); version != 1) {
        return "version " + std::to_string(version) + ", expected 1";
    }
    TS_MSG_IMPRINT* imprint = TS_REQ_get_msg_imprint(req.get());
    const ASN1_OBJECT* algorithm = nullptr;
    X509_ALGOR_get0(&algorithm, nullptr, nullptr, TS_MSG_IMPRINT_get_algo(imprint));
    if (OBJ_obj2nid(algorithm) != NID_sha256) return "imprint algorithm " + oid_text(algorithm) + ", expected SHA-256";
    const ASN1_OCTET_STRING* message = TS_MSG_IMPRINT_get_msg(imprint);
    std::array<std::uint8_t, 32> digest;
    if (ASN1_STRING_length(message) != static_cast<int>(digest.size())) {
        return "imprint of " + std::to_string(ASN1_STRING_length(message)) + " bytes, expected 32";
    }
    std::copy_n(ASN1_STRING_get0_data(message), digest.size(), digest.begin());
    if (const auto* extensions = TS_REQ_get_exts(req.get()); extensions && sk_X509_EXTENSION_num(extensions) > 0) {
        return "request extensions are not supported";
    }
    std::optional<std::uint64_t> nonce;
    if (const ASN1_INTEGER* value = TS_REQ_get_nonce(req.get())) {
        std::uint64_t n = 0;
        if (ASN1_INTEGER_get_uint64(&n, value) != 1) {
            take_openssl_errors();
            return "nonce outside 0 to 2**64 - 1";
        }
        nonce = n;
    }
    std::optional<std::string> policy;
    if (const ASN1_OBJECT* object = TS_REQ_get_policy_id(req.get())) {
        policy = oid_text(object);
        if (auto reason = check_dotted_oid(*policy)) return "policy: " + *reason;
    }
    // The fields as read, and the bytes as given: encoding them again would
    // add nothing (they are DER) or change them (absent algorithm parameters).
    return TimestampRequest{digest, nonce, std::move(policy), TS_REQ_get_cert_req(req.get()) != 0,
                            Bytes(der.begin(), der.end())};
}

std::variant<std::uint64_t, RandomSourceError> random_nonce() {
    std::array<std::uint8_t, 8> bytes;
    if (auto failure = fill_random(bytes)) return std::move(*failure);
    std::uint64_t nonce = 0;
    for (const std::uint8_t b : bytes) nonce = nonce << 8 | b;
    return nonce;
}

}  // namespace zun
