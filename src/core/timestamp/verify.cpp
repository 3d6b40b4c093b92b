// The offline verification of a token: every check, each with its reason.
//
// OpenSSL's TS_RESP_verify_* would do most of this in one call, but a
// failure there says little about which check failed, it takes the signer
// from the certificate bag in ways that depend on the bag's order, and it
// checks the chain at the current time. Here the signer is found by the
// SignerInfo's identifier only and the chain is checked at genTime.
#include <algorithm>
#include <cstring>
#include <ctime>
#include <new>
#include <string_view>
#include <utility>

#include <openssl/objects.h>

#include "core/crypto/openssl_errors.hpp"
#include "core/text/debug_quote.hpp"
#include "core/text/hex.hpp"
#include "core/timestamp/asn1_text.hpp"
#include "core/timestamp/failure.hpp"
#include "core/timestamp/timestamp.hpp"

namespace zun {
namespace {

using timestamp_failure::bad;
using timestamp_failure::bad_openssl;
using timestamp_failure::unsupported;

// sk_X509_num is -1 for a null stack, which CMS_get1_certs returns when a
// token carries no certificates.
int count_of(const STACK_OF(X509) * stack) { return stack == nullptr ? 0 : sk_X509_num(stack); }

X509ViewStackPtr view_stack() {
    X509ViewStackPtr stack(sk_X509_new_null());
    if (!stack) throw std::bad_alloc();
    return stack;
}

void push(STACK_OF(X509) * stack, X509* certificate) {
    if (sk_X509_push(stack, certificate) <= 0) throw std::bad_alloc();
}

std::string quoted(std::string_view text) {
    std::string out;
    append_debug_quoted(out, text);
    return out;
}

// How a SignerInfo names its certificate, for the message when none matches.
std::string signer_identifier_text(CMS_SignerInfo* si) {
    ASN1_OCTET_STRING* key_id = nullptr;
    X509_NAME* issuer = nullptr;
    ASN1_INTEGER* serial = nullptr;
    if (CMS_SignerInfo_get0_signer_id(si, &key_id, &issuer, &serial) != 1) return "of an unreadable identifier";
    if (key_id != nullptr) {
        const auto* data = ASN1_STRING_get0_data(key_id);
        return "with subject key identifier " +
               hex_encode(std::span(data, static_cast<std::size_t>(ASN1_STRING_length(key_id))));
    }
    return "issued by " + quoted(name_text(issuer)) + " with serial " + hex_literal(integer_hex(serial));
}

// The only value of a signed attribute that must occur once, or null.
template <class T>
T* single_attribute(CMS_SignerInfo* si, int nid, int type) {
    return static_cast<T*>(CMS_signed_get0_data_by_OBJ(si, OBJ_nid2obj(nid), -3, type));
}

bool has_attribute(CMS_SignerInfo* si, int nid) { return CMS_signed_get_attr_by_NID(si, nid, -1) >= 0; }

// The attributes below occur at most once and hold exactly one value; a
// reason naming the attribute when it breaks that, nullopt otherwise (a
// missing one included: each check says what that means).
std::optional<std::string> attribute_shape_fault(CMS_SignerInfo* si, int nid, std::string_view name) {
    const int at = CMS_signed_get_attr_by_NID(si, nid, -1);
    if (at < 0) return std::nullopt;
    std::string reason = "the ";
    reason += name;
    if (CMS_signed_get_attr_by_NID(si, nid, at) >= 0) return reason + " attribute occurs more than once";
    const int values = X509_ATTRIBUTE_count(CMS_signed_get_attr(si, at));
    if (values != 1) return reason + " attribute holds " + std::to_string(values) + " values, not one";
    return std::nullopt;
}

// A signed attribute holding a DER SEQUENCE, decoded by `d2i`.
template <class Ptr, class Decode>
Ptr sequence_attribute(CMS_SignerInfo* si, int nid, Decode d2i) {
    const auto* value = single_attribute<ASN1_STRING>(si, nid, V_ASN1_SEQUENCE);
    if (value == nullptr) return nullptr;
    const unsigned char* p = ASN1_STRING_get0_data(value);
    return Ptr(d2i(nullptr, &p, ASN1_STRING_length(value)));
}

// How far a candidate signer got; of several candidates that all fail, the
// one that got furthest explains the failure.
enum class Stage { signature, ess, usage, chain };

struct Refusal {
    Stage stage;
    AnchorError error;
};

struct Context {
    const TimestampToken& token;
    const TimestampTrust& trust;
    CMS_SignerInfo* si;
    STACK_OF(X509) * bag;  // the token's certificates; may be null
};

std::optional<Refusal> check_signature(const Context& c, X509* signer) {
    CMS_SignerInfo_set1_signer_cert(c.si, signer);
    if (CMS_SignerInfo_verify(c.si) == 1) return std::nullopt;
    return Refusal{Stage::signature, bad_openssl("the signature over the signed attributes does not verify")};
}

std::optional<Refusal> check_signing_certificate(const Context& c, X509* signer) {
    const auto refuse = [](AnchorError e) { return Refusal{Stage::ess, std::move(e)}; };
    const int v1 = NID_id_smime_aa_signingCertificate, v2 = NID_id_smime_aa_signingCertificateV2;
    const auto ss = sequence_attribute<EssSigningCertPtr>(c.si, v1, d2i_ESS_SIGNING_CERT);
    const auto ss2 = sequence_attribute<EssSigningCertV2Ptr>(c.si, v2, d2i_ESS_SIGNING_CERT_V2);
    if ((!ss && has_attribute(c.si, v1)) || (!ss2 && has_attribute(c.si, v2))) {
        return refuse(bad_openssl("the ESS signing-certificate attribute is not one readable value"));
    }
    if (!ss && !ss2) return refuse(bad("no ESS signing-certificate attribute (v1 or v2)"));
    // The first certificate ID must name the signer; any further ones name
    // certificates of its chain, which are looked for among all those known.
    const X509ViewStackPtr known = view_stack();
    push(known.get(), signer);
    const auto add = [&](X509* x) {
        if (x != nullptr && X509_cmp(x, signer) != 0) push(known.get(), x);
    };
    for (int i = 0; i < count_of(c.bag); ++i) add(sk_X509_value(c.bag, i));
    for (const auto& x : c.trust.intermediates) add(x.get());
    for (const auto& x : c.trust.roots) add(x.get());
    add(c.trust.tsa_certificate.get());
    if (OSSL_ESS_check_signing_certs(ss.get(), ss2.get(), known.get(), 1) == 1) return std::nullopt;
    return refuse(bad_openssl("the ESS signing-certificate attribute does not name the signer certificate"));
}

std::optional<Refusal> check_key_usage(X509* signer) {
    const auto refuse = [](std::string reason) { return Refusal{Stage::usage, bad(std::move(reason))}; };
    int critical = -1;
    const ExtendedKeyUsagePtr usage(
        static_cast<EXTENDED_KEY_USAGE*>(X509_get_ext_d2i(signer, NID_ext_key_usage, &critical, nullptr)));
    take_openssl_errors();
    if (!usage) {
        if (critical == -1) return refuse("the signer certificate has no extended key usage");
        if (critical == -2) return refuse("the signer certificate has more than one extended key usage extension");
        return refuse("the signer certificate's extended key usage cannot be read");
    }
    if (sk_ASN1_OBJECT_num(usage.get()) != 1 || OBJ_obj2nid(sk_ASN1_OBJECT_value(usage.get(), 0)) != NID_time_stamp) {
        return refuse("the signer certificate's extended key usage is not exactly id-kp-timeStamping");
    }
    if (critical != 1) return refuse("the signer certificate's extended key usage is not marked critical");
    return std::nullopt;
}

std::optional<Refusal> check_chain(const Context& c, X509* signer) {
    const auto refuse = [](AnchorError e) { return Refusal{Stage::chain, std::move(e)}; };
    const X509StorePtr store(X509_STORE_new());
    const X509StoreCtxPtr ctx(X509_STORE_CTX_new());
    const X509ViewStackPtr untrusted = view_stack();
    if (!store || !ctx) throw std::bad_alloc();
    for (const auto& root : c.trust.roots) {
        if (X509_STORE_add_cert(store.get(), root.get()) != 1) throw std::bad_alloc();
    }
    for (int i = 0; i < count_of(c.bag); ++i) push(untrusted.get(), sk_X509_value(c.bag, i));
    for (const auto& x : c.trust.intermediates) push(untrusted.get(), x.get());
    if (X509_STORE_CTX_init(ctx.get(), store.get(), signer, untrusted.get()) != 1) throw std::bad_alloc();
    X509_STORE_CTX_set_purpose(ctx.get(), X509_PURPOSE_TIMESTAMP_SIGN);
    // The time the token vouches for, not today: a token made while its
    // certificates were valid stays valid after they expire.
    X509_VERIFY_PARAM_set_time(X509_STORE_CTX_get0_param(ctx.get()), static_cast<time_t>(c.token.gen_time.unix_seconds));
    if (X509_verify_cert(ctx.get()) == 1) return std::nullopt;
    const int error = X509_STORE_CTX_get_error(ctx.get());
    std::string reason = "the certificate chain does not verify at genTime " + c.token.gen_time_text + ": " +
                         X509_verify_cert_error_string(error) + " (depth " +
                         std::to_string(X509_STORE_CTX_get_error_depth(ctx.get()));
    if (X509* at = X509_STORE_CTX_get_current_cert(ctx.get())) {
        reason += ", " + quoted(name_text(X509_get_subject_name(at)));
    }
    reason += ')';
    take_openssl_errors();
    return refuse(bad(std::move(reason)));
}

std::optional<Refusal> check_signer(const Context& c, X509* signer) {
    if (auto r = check_signature(c, signer)) return r;
    if (auto r = check_signing_certificate(c, signer)) return r;
    if (auto r = check_key_usage(signer)) return r;
    return check_chain(c, signer);
}

// The content-type and message-digest attributes, which bind the signed
// attributes to the TSTInfo whatever the signer; and that each attribute
// checked here or for the signer occurs once with one value, which OpenSSL
// would otherwise report as a failing signature.
std::optional<AnchorError> check_signed_content(CMS_ContentInfo* cms, CMS_SignerInfo* si) {
    if (CMS_signed_get_attr_count(si) <= 0) return bad("the SignerInfo has no signed attributes");
    constexpr std::pair<int, std::string_view> kSingleValued[] = {
        {NID_pkcs9_contentType, "content-type"},
        {NID_pkcs9_messageDigest, "message-digest"},
        {NID_id_smime_aa_signingCertificate, "ESS signing-certificate"},
        {NID_id_smime_aa_signingCertificateV2, "ESS signing-certificate-v2"},
    };
    for (const auto& [nid, name] : kSingleValued) {
        if (auto fault = attribute_shape_fault(si, nid, name)) return bad(std::move(*fault));
    }
    const auto* type = single_attribute<ASN1_OBJECT>(si, NID_pkcs9_contentType, V_ASN1_OBJECT);
    if (type == nullptr || OBJ_cmp(type, CMS_get0_eContentType(cms)) != 0) {
        return bad("the content-type attribute is missing or is not id-ct-TSTInfo");
    }
    X509_ALGOR* algorithm = nullptr;
    CMS_SignerInfo_get0_algs(si, nullptr, nullptr, &algorithm, nullptr);
    const ASN1_OBJECT* oid = nullptr;
    X509_ALGOR_get0(&oid, nullptr, nullptr, algorithm);
    const int nid = OBJ_obj2nid(oid);
    if (nid == NID_sha1 || nid == NID_md5) {
        return bad(std::string("the SignerInfo digests with ") + OBJ_nid2sn(nid) + ", which is too weak");
    }
    const EVP_MD* md = nid == NID_undef ? nullptr : EVP_get_digestbynid(nid);
    if (md == nullptr) return unsupported("the SignerInfo's digest algorithm " + oid_text(oid) + " is not supported");
    const auto* expected = single_attribute<ASN1_OCTET_STRING>(si, NID_pkcs9_messageDigest, V_ASN1_OCTET_STRING);
    if (expected == nullptr) return bad("the message-digest attribute is missing");
    const ASN1_OCTET_STRING* content = *CMS_get0_content(cms);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(ASN1_STRING_get0_data(content), static_cast<std::size_t>(ASN1_STRING_length(content)), digest,
                   &length, md, nullptr) != 1) {
        return bad_openssl("the TSTInfo cannot be digested");
    }
    if (static_cast<int>(length) != ASN1_STRING_length(expected) ||
        std::memcmp(digest, ASN1_STRING_get0_data(expected), length) != 0) {
        return bad("the message-digest attribute does not match the TSTInfo");
    }
    return std::nullopt;
}

std::optional<AnchorError> check_imprint(const TimestampToken& token, std::span<const std::uint8_t> digest) {
    std::size_t size = 0;
    if (token.hash_algorithm == "sha256") size = 32;
    else if (token.hash_algorithm == "sha384") size = 48;
    else if (token.hash_algorithm == "sha512") size = 64;
    else if (token.hash_algorithm == "sha1") return bad("the imprint is a SHA-1 hash, which is too weak");
    else return unsupported("the imprint's hash algorithm " + token.hash_algorithm + " is not supported");
    const std::string takes = "; " + token.hash_algorithm + " takes " + std::to_string(size);
    if (digest.size() != size) return bad("the digest given is " + std::to_string(digest.size()) + " bytes" + takes);
    if (token.digest.size() != size) return bad("the imprint holds " + std::to_string(token.digest.size()) + " bytes" + takes);
    if (!std::equal(digest.begin(), digest.end(), token.digest.begin())) return bad("the imprint does not match the digest");
    return std::nullopt;
}

std::optional<AnchorError> check_expectations(const TimestampToken& token, const TimestampExpectations& expected,
                                              const std::string& signer_name) {
    if (expected.nonce_hex) {
        if (!token.nonce_hex) return bad("the token has no nonce; expected " + hex_literal(*expected.nonce_hex));
        if (*token.nonce_hex != *expected.nonce_hex) {
            return bad("nonce " + hex_literal(*token.nonce_hex) + " is not the expected " +
                       hex_literal(*expected.nonce_hex));
        }
    }
    if (expected.policy && token.policy != *expected.policy) {
        return bad("policy " + token.policy + " is not the expected " + *expected.policy);
    }
    if (expected.signer_common_name && signer_name != *expected.signer_common_name) {
        return bad("signer common name " + quoted(signer_name) + " is not the expected " +
                   quoted(*expected.signer_common_name));
    }
    return std::nullopt;
}

}  // namespace

AnchorResult<VerifiedTimestamp> verify_timestamp(const TimestampToken& token, const TimestampTrust& trust,
                                                 const TimestampExpectations& expected) {
    OpenSslErrorScope scope;
    // Parsed afresh: verifying records the signer in the SignerInfo, and the
    // token itself is shared by every thread that verifies it.
    const unsigned char* p = token.der.data();
    const CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(token.der.size())));
    if (!cms || CMS_get0_content(cms.get()) == nullptr || *CMS_get0_content(cms.get()) == nullptr) {
        return bad_openssl("the token's SignedData cannot be read");
    }

    const ASN1_OBJECT* content_type = CMS_get0_eContentType(cms.get());
    if (OBJ_obj2nid(content_type) != NID_id_smime_ct_TSTInfo) {
        return bad("the content type is " + oid_text(content_type) + ", not id-ct-TSTInfo");
    }
    if (token.version != 1) return bad("the TSTInfo version is " + std::to_string(token.version) + ", not 1");

    STACK_OF(CMS_SignerInfo)* infos = CMS_get0_SignerInfos(cms.get());
    const int signer_count = infos == nullptr ? 0 : sk_CMS_SignerInfo_num(infos);
    if (signer_count != 1) return bad(std::to_string(signer_count) + " SignerInfos; expected exactly one");
    CMS_SignerInfo* si = sk_CMS_SignerInfo_value(infos, 0);

    // Candidates by the SignerInfo's identifier alone, never by position or
    // by name. Several can match (a certificate copying the signer's issuer
    // and serial); the one whose key made the signature, and that passes the
    // rest, is the signer, so an added certificate cannot change the outcome.
    const X509StackPtr bag(CMS_get1_certs(cms.get()));
    std::vector<X509*> candidates;
    const auto consider = [&](X509* x) {
        if (x == nullptr || CMS_SignerInfo_cert_cmp(si, x) != 0) return;
        for (X509* seen : candidates) {
            if (X509_cmp(seen, x) == 0) return;
        }
        candidates.push_back(x);
    };
    for (int i = 0; i < count_of(bag.get()); ++i) consider(sk_X509_value(bag.get(), i));
    consider(trust.tsa_certificate.get());
    take_openssl_errors();
    if (candidates.empty()) {
        return bad("signer certificate not found: none " + signer_identifier_text(si) + " among the token's " +
                   std::to_string(count_of(bag.get())) + " certificates" +
                   (trust.tsa_certificate ? " and tsa_certificate" : ""));
    }

    if (auto failure = check_signed_content(cms.get(), si)) return *failure;

    const Context context{token, trust, si, bag.get()};
    X509* signer = nullptr;
    std::optional<Refusal> refusal;
    for (X509* candidate : candidates) {
        auto r = check_signer(context, candidate);
        if (!r) {
            signer = candidate;
            break;
        }
        if (!refusal || r->stage > refusal->stage) refusal = std::move(r);
    }
    if (signer == nullptr) return refusal->error;

    if (auto failure = check_imprint(token, expected.digest)) return *failure;
    std::string name = common_name(signer);
    if (auto failure = check_expectations(token, expected, name)) return *failure;
    return VerifiedTimestamp{std::move(name)};
}

}  // namespace zun
