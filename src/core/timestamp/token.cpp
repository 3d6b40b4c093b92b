// Reading a TimeStampResp or a bare token, and what its TSTInfo says.
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

#include <openssl/asn1.h>
#include <openssl/objects.h>

#include "core/crypto/openssl_errors.hpp"
#include "core/text/debug_quote.hpp"
#include "core/text/utf8_lossy.hpp"
#include "core/time/instant.hpp"
#include "core/timestamp/asn1_text.hpp"
#include "core/timestamp/failure.hpp"
#include "core/timestamp/timestamp.hpp"

namespace zun {
namespace {

using timestamp_failure::bad;
using timestamp_failure::bad_openssl;

// Walks DER elements with OpenSSL's header reader: reading a token for its
// TSTInfo needs no more, and leaves its certificates undecoded until a
// verification needs them (decoding a certificate's key is by far the
// dearest step of reading one).
class DerReader {
public:
    struct Element {
        bool constructed = false;
        int tag = 0;
        int tag_class = 0;
        std::span<const std::uint8_t> whole;    // header and content
        std::span<const std::uint8_t> content;
        bool is(int t, int c, bool cons) const { return tag == t && tag_class == c && constructed == cons; }
    };

    explicit DerReader(std::span<const std::uint8_t> data) : rest_(data) {}
    bool done() const { return rest_.empty(); }

    // The next element, or nullopt when none is left or its header is bad;
    // indefinite lengths are refused.
    std::optional<Element> next() {
        if (rest_.empty()) return std::nullopt;
        const unsigned char* p = rest_.data();
        Element e;
        long length = 0;
        const int flags = ASN1_get_object(&p, &length, &e.tag, &e.tag_class, static_cast<long>(rest_.size()));
        if ((flags & 0x80) != 0 || (flags & 0x01) != 0) return std::nullopt;
        e.constructed = (flags & V_ASN1_CONSTRUCTED) != 0;
        const auto header = static_cast<std::size_t>(p - rest_.data());
        e.whole = rest_.first(header + static_cast<std::size_t>(length));
        e.content = e.whole.subspan(header);
        rest_ = rest_.subspan(e.whole.size());
        return e;
    }

    // The next element if it is of the given kind.
    std::optional<Element> next(int tag, int tag_class, bool constructed) {
        auto e = next();
        if (!e || !e->is(tag, tag_class, constructed)) return std::nullopt;
        return e;
    }

private:
    std::span<const std::uint8_t> rest_;
};

constexpr int kUniversal = V_ASN1_UNIVERSAL;
constexpr int kContext = V_ASN1_CONTEXT_SPECIFIC;

int object_nid(const DerReader::Element& e) {
    const unsigned char* p = e.whole.data();
    const Asn1ObjectPtr object(d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(e.whole.size())));
    return object ? OBJ_obj2nid(object.get()) : NID_undef;
}

std::string_view status_name(long status) {
    switch (status) {
        case 0: return "granted";
        case 1: return "grantedWithMods";
        case 2: return "rejection";
        case 3: return "waiting";
        case 4: return "revocationWarning";
        case 5: return "revocationNotification";
        default: return "unknown";
    }
}

std::string_view fail_info_name(int bit) {
    switch (bit) {
        case 0: return "badAlg";
        case 2: return "badRequest";
        case 5: return "badDataFormat";
        case 14: return "timeNotAvailable";
        case 15: return "unacceptedPolicy";
        case 16: return "unacceptedExtension";
        case 17: return "addInfoNotAvailable";
        case 25: return "systemFailure";
        default: return {};
    }
}

// "response status rejection (2); statusString \"...\"; failInfo badAlg"
std::string refusal_text(const TS_STATUS_INFO* info, long status) {
    std::string text = "response status ";
    text += status_name(status);
    text += " (" + std::to_string(status) + "); statusString ";
    const STACK_OF(ASN1_UTF8STRING)* strings = TS_STATUS_INFO_get0_text(info);
    const int count = strings == nullptr ? 0 : sk_ASN1_UTF8STRING_num(strings);
    if (count == 0) text += "absent";
    for (int i = 0; i < count; ++i) {
        const ASN1_UTF8STRING* s = sk_ASN1_UTF8STRING_value(strings, i);
        std::string utf8;
        append_utf8_lossy(utf8, std::string_view(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)),
                                                 static_cast<std::size_t>(ASN1_STRING_length(s))));
        if (i > 0) text += ", ";
        append_debug_quoted(text, utf8);
    }
    text += "; failInfo ";
    const ASN1_BIT_STRING* bits = TS_STATUS_INFO_get0_failure_info(info);
    bool any = false;
    for (int bit = 0; bits != nullptr && bit < ASN1_STRING_length(bits) * 8; ++bit) {
        if (ASN1_BIT_STRING_get_bit(bits, bit) != 1) continue;
        if (any) text += ", ";
        any = true;
        const std::string_view name = fail_info_name(bit);
        text += name.empty() ? "bit " + std::to_string(bit) : std::string(name);
    }
    if (!any) text += "absent";
    return text;
}

// GeneralizedTime "YYYYMMDDhhmmss[.f+]Z" as RFC 3339 text, fraction kept.
std::optional<std::string> rfc3339_of(std::string_view t) {
    const auto digits = [&](std::size_t from, std::size_t count) {
        if (t.size() < from + count) return false;
        for (std::size_t i = from; i < from + count; ++i) {
            if (t[i] < '0' || t[i] > '9') return false;
        }
        return true;
    };
    if (!digits(0, 14) || t.back() != 'Z') return std::nullopt;
    const std::string_view fraction = t.substr(14, t.size() - 15);
    if (!fraction.empty() && (fraction.size() < 2 || fraction[0] != '.' || !digits(15, fraction.size() - 1))) {
        return std::nullopt;
    }
    std::string out;
    out.reserve(t.size() + 5);
    out.append(t.substr(0, 4)).append("-").append(t.substr(4, 2)).append("-").append(t.substr(6, 2));
    out.append("T").append(t.substr(8, 2)).append(":").append(t.substr(10, 2)).append(":").append(t.substr(12, 2));
    out.append(fraction).append("Z");
    return out;
}

std::string hash_name(const ASN1_OBJECT* algorithm) {
    switch (OBJ_obj2nid(algorithm)) {
        case NID_sha256: return "sha256";
        case NID_sha384: return "sha384";
        case NID_sha512: return "sha512";
        case NID_sha1: return "sha1";
        default: return oid_text(algorithm);
    }
}

Bytes bytes_of(const ASN1_STRING* s) {
    const unsigned char* data = ASN1_STRING_get0_data(s);
    return Bytes(data, data + ASN1_STRING_length(s));
}

// The TSTInfo and the certificates of a ContentInfo holding SignedData:
//   ContentInfo ::= SEQUENCE { contentType, [0] EXPLICIT SignedData }
//   SignedData ::= SEQUENCE { version, digestAlgorithms SET,
//     encapContentInfo SEQUENCE { eContentType, [0] EXPLICIT OCTET STRING },
//     [0] IMPLICIT certificates OPTIONAL, [1] IMPLICIT crls OPTIONAL, signerInfos SET }
struct TokenParts {
    std::span<const std::uint8_t> tst_info;
    std::vector<std::span<const std::uint8_t>> certificates;
};

std::variant<TokenParts, std::string> split_token(std::span<const std::uint8_t> data) {
    DerReader top(data);
    const auto info = top.next(V_ASN1_SEQUENCE, kUniversal, true);
    if (!info || !top.done()) return "not one DER ContentInfo";
    DerReader in(info->content);
    const auto type = in.next(V_ASN1_OBJECT, kUniversal, false);
    if (!type || object_nid(*type) != NID_pkcs7_signed) return "the ContentInfo holds no SignedData";
    const auto explicit_content = in.next(0, kContext, true);
    if (!explicit_content || !in.done()) return "malformed ContentInfo";
    DerReader wrapper(explicit_content->content);
    const auto signed_data = wrapper.next(V_ASN1_SEQUENCE, kUniversal, true);
    if (!signed_data || !wrapper.done()) return "malformed SignedData";

    DerReader sd(signed_data->content);
    const auto encapsulated = sd.next(V_ASN1_INTEGER, kUniversal, false) && sd.next(V_ASN1_SET, kUniversal, true)
                                  ? sd.next(V_ASN1_SEQUENCE, kUniversal, true)
                                  : std::nullopt;
    if (!encapsulated) return "malformed SignedData";
    DerReader ec(encapsulated->content);
    const auto content_type = ec.next(V_ASN1_OBJECT, kUniversal, false);
    const auto explicit_octets = content_type ? ec.next(0, kContext, true) : std::nullopt;
    if (!explicit_octets || !ec.done()) return "no encapsulated content";
    DerReader eo(explicit_octets->content);
    const auto octets = eo.next(V_ASN1_OCTET_STRING, kUniversal, false);
    if (!octets || !eo.done()) return "the encapsulated content is not one DER OCTET STRING";

    TokenParts parts{octets->content, {}};
    auto field = sd.next();
    if (field && field->is(0, kContext, true)) {
        DerReader bag(field->content);
        while (!bag.done()) {
            const auto certificate = bag.next(V_ASN1_SEQUENCE, kUniversal, true);
            if (!certificate) return "malformed certificate set";
            parts.certificates.push_back(certificate->whole);
        }
        field = sd.next();
    }
    if (field && field->is(1, kContext, true)) field = sd.next();
    if (!field || !field->is(V_ASN1_SET, kUniversal, true) || !sd.done()) return "malformed SignedData";
    return parts;
}

AnchorResult<TimestampToken> read_token(std::span<const std::uint8_t> data) {
    auto split = split_token(data);
    if (auto* reason = std::get_if<std::string>(&split)) return bad("not a time-stamp token: " + *reason);
    const TokenParts& parts = std::get<TokenParts>(split);
    const unsigned char* q = parts.tst_info.data();
    const auto length = static_cast<long>(parts.tst_info.size());
    const TsTstInfoPtr tst(d2i_TS_TST_INFO(nullptr, &q, length));
    if (!tst) return bad_openssl("not a time-stamp token: the encapsulated content is not a TSTInfo");
    if (q != parts.tst_info.data() + length) return bad("not a time-stamp token: bytes after the TSTInfo");

    TimestampToken token;
    token.der.assign(data.begin(), data.end());
    token.version = TS_TST_INFO_get_version(tst.get());
    token.policy = oid_text(TS_TST_INFO_get_policy_id(tst.get()));
    TS_MSG_IMPRINT* imprint = TS_TST_INFO_get_msg_imprint(tst.get());
    const ASN1_OBJECT* algorithm = nullptr;
    X509_ALGOR_get0(&algorithm, nullptr, nullptr, TS_MSG_IMPRINT_get_algo(imprint));
    token.hash_algorithm = hash_name(algorithm);
    token.digest = bytes_of(TS_MSG_IMPRINT_get_msg(imprint));
    token.serial_hex = integer_hex(TS_TST_INFO_get_serial(tst.get()));

    const ASN1_GENERALIZEDTIME* time = TS_TST_INFO_get_time(tst.get());
    const std::string_view raw(reinterpret_cast<const char*>(ASN1_STRING_get0_data(time)),
                               static_cast<std::size_t>(ASN1_STRING_length(time)));
    auto text = rfc3339_of(raw);
    if (!text || parse_instant(*text, token.gen_time) != InstantFault::none) {
        std::string detail = "genTime is not a valid GeneralizedTime in UTC: ";
        append_debug_quoted(detail, raw);
        return bad(std::move(detail));
    }
    // Python's datetime, which gen_time is, knows the years 1 to 9999 only.
    if (const std::int64_t year = to_civil(token.gen_time).year; year < 1 || year > 9999) {
        std::string detail = "genTime ";
        append_debug_quoted(detail, raw);
        return bad(detail + " is outside the years 1 to 9999");
    }
    token.gen_time_text = std::move(*text);

    if (const ASN1_INTEGER* nonce = TS_TST_INFO_get_nonce(tst.get())) token.nonce_hex = integer_hex(nonce);
    if (const GENERAL_NAME* tsa = TS_TST_INFO_get_tsa(tst.get())) token.tsa_name = general_name_text(tsa);

    for (const auto certificate : parts.certificates) token.certificates.emplace_back(certificate.begin(), certificate.end());
    return token;
}

}  // namespace

AnchorResult<TimestampToken> parse_timestamp(std::span<const std::uint8_t> data) {
    OpenSslErrorScope scope;
    DerReader top(data);
    const auto outer = top.next(V_ASN1_SEQUENCE, kUniversal, true);
    if (!outer || !top.done()) return bad("not a TimeStampResp or a time-stamp token: not one DER SEQUENCE");
    DerReader in(outer->content);
    const auto first = in.next();
    // A ContentInfo opens with its content type, a response with its status.
    if (first && first->is(V_ASN1_OBJECT, kUniversal, false)) return read_token(data);
    if (!first || !first->is(V_ASN1_SEQUENCE, kUniversal, true)) {
        return bad("not a TimeStampResp or a time-stamp token: unexpected first element");
    }

    // TimeStampResp ::= SEQUENCE { status PKIStatusInfo, timeStampToken OPTIONAL }
    const unsigned char* p = first->whole.data();
    const TsStatusInfoPtr status(d2i_TS_STATUS_INFO(nullptr, &p, static_cast<long>(first->whole.size())));
    if (!status) return bad_openssl("not a TimeStampResp: unreadable PKIStatusInfo");
    const long code = ASN1_INTEGER_get(TS_STATUS_INFO_get0_status(status.get()));
    if (code != 0 && code != 1) return bad("TimeStampResp refused: " + refusal_text(status.get(), code));
    if (in.done()) return bad("TimeStampResp granted but holds no token");
    const auto token = in.next();
    if (!token || !in.done()) return bad("not a TimeStampResp: malformed after the status");
    return read_token(token->whole);
}

}  // namespace zun
