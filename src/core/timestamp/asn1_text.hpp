// OpenSSL's ASN.1 values as the text this layer shows them in.
#pragma once

#include <string>

#include <openssl/asn1.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace zun {

// Dotted form, whatever OpenSSL knows the object as.
std::string oid_text(const ASN1_OBJECT* object);

// Canonical hexadecimal text of an INTEGER (see TimestampToken).
std::string integer_hex(const ASN1_INTEGER* value);

// A name in the RFC 2253 order and escapes, UTF-8 kept as it is.
std::string name_text(const X509_NAME* name);

// A directory name as name_text shows it; any other kind as OpenSSL prints
// it ("DNS:tsa.example", "URI:...").
std::string general_name_text(const GENERAL_NAME* name);

// The first commonName of a certificate's subject, or "" when it has none.
std::string common_name(const X509* certificate);

}  // namespace zun
