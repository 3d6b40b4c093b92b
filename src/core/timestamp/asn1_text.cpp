#include "core/timestamp/asn1_text.hpp"

#include <cctype>
#include <new>
#include <string_view>
#include <vector>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/objects.h>

#include "core/crypto/openssl_handles.hpp"
#include "core/text/utf8_lossy.hpp"
#include "core/timestamp/timestamp.hpp"

namespace zun {
namespace {

// What a memory BIO holds, as UTF-8 (OpenSSL copies name bytes through as
// the certificate holds them, which need not be UTF-8).
std::string bio_text(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    std::string out;
    if (size > 0) append_utf8_lossy(out, std::string_view(data, static_cast<std::size_t>(size)));
    return out;
}

BioPtr memory_bio() {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio) throw std::bad_alloc();
    return bio;
}

}  // namespace

std::string oid_text(const ASN1_OBJECT* object) {
    char small[80];
    const int needed = OBJ_obj2txt(small, sizeof small, object, 1);
    if (needed <= 0) return {};
    if (static_cast<std::size_t>(needed) < sizeof small) return std::string(small, static_cast<std::size_t>(needed));
    std::vector<char> large(static_cast<std::size_t>(needed) + 1);
    const int written = OBJ_obj2txt(large.data(), static_cast<int>(large.size()), object, 1);
    return std::string(large.data(), written > 0 ? static_cast<std::size_t>(written) : 0);
}

std::string canonical_hex(std::string_view text) {
    bool negative = false;
    if (!text.empty() && text.front() == '-') {
        negative = true;
        text.remove_prefix(1);
    }
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.remove_prefix(2);
    while (!text.empty() && text.front() == '0') text.remove_prefix(1);
    if (text.empty()) return "0";
    std::string out = negative ? "-" : "";
    for (const char c : text) out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string hex_literal(std::string_view canonical) {
    const bool negative = !canonical.empty() && canonical.front() == '-';
    std::string out = negative ? "-0x" : "0x";
    out += canonical.substr(negative ? 1 : 0);
    return out;
}

std::string integer_hex(const ASN1_INTEGER* value) {
    const BignumPtr number(ASN1_INTEGER_to_BN(value, nullptr));
    if (!number) throw std::bad_alloc();
    const OpenSslBuffer<char> hex(BN_bn2hex(number.get()));
    if (!hex) throw std::bad_alloc();
    return canonical_hex(hex.get());
}

std::string name_text(const X509_NAME* name) {
    const BioPtr bio = memory_bio();
    // RFC 2253 escapes every byte above 0x7f; names are shown in UTF-8 instead.
    X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
    return bio_text(bio.get());
}

std::string general_name_text(const GENERAL_NAME* name) {
    if (name->type == GEN_DIRNAME) return name_text(name->d.directoryName);
    const BioPtr bio = memory_bio();
    GENERAL_NAME_print(bio.get(), const_cast<GENERAL_NAME*>(name));
    return bio_text(bio.get());
}

std::string common_name(const X509* certificate) {
    const X509_NAME* subject = X509_get_subject_name(certificate);
    const int index = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    if (index < 0) return {};
    const ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index));
    unsigned char* written = nullptr;
    const int length = ASN1_STRING_to_UTF8(&written, value);
    const OpenSslBuffer<unsigned char> utf8(written);
    if (length < 0) return {};
    std::string out;
    append_utf8_lossy(out,
                      std::string_view(reinterpret_cast<const char*>(utf8.get()), static_cast<std::size_t>(length)));
    return out;
}

}  // namespace zun
