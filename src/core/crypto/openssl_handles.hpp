// Owning handles for the OpenSSL objects the core creates.
#pragma once

#include <memory>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/cms.h>
#include <openssl/crypto.h>
#include <openssl/ess.h>
#include <openssl/evp.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace zun {

template <class T, void (*Free)(T*)>
struct OpenSslDeleter {
    void operator()(T* p) const noexcept { Free(p); }
};

template <class T, void (*Free)(T*)>
using OpenSslPtr = std::unique_ptr<T, OpenSslDeleter<T, Free>>;

using EvpPkeyPtr = OpenSslPtr<EVP_PKEY, EVP_PKEY_free>;
using EvpMdCtxPtr = OpenSslPtr<EVP_MD_CTX, EVP_MD_CTX_free>;

using BioPtr = OpenSslPtr<BIO, BIO_free_all>;
using BignumPtr = OpenSslPtr<BIGNUM, BN_free>;
using Asn1IntegerPtr = OpenSslPtr<ASN1_INTEGER, ASN1_INTEGER_free>;
using Asn1ObjectPtr = OpenSslPtr<ASN1_OBJECT, ASN1_OBJECT_free>;
using X509AlgorPtr = OpenSslPtr<X509_ALGOR, X509_ALGOR_free>;
using X509Ptr = OpenSslPtr<X509, X509_free>;
using X509StorePtr = OpenSslPtr<X509_STORE, X509_STORE_free>;
using X509StoreCtxPtr = OpenSslPtr<X509_STORE_CTX, X509_STORE_CTX_free>;
using ExtendedKeyUsagePtr = OpenSslPtr<EXTENDED_KEY_USAGE, EXTENDED_KEY_USAGE_free>;
using CmsPtr = OpenSslPtr<CMS_ContentInfo, CMS_ContentInfo_free>;
using EssSigningCertPtr = OpenSslPtr<ESS_SIGNING_CERT, ESS_SIGNING_CERT_free>;
using EssSigningCertV2Ptr = OpenSslPtr<ESS_SIGNING_CERT_V2, ESS_SIGNING_CERT_V2_free>;
using TsReqPtr = OpenSslPtr<TS_REQ, TS_REQ_free>;
using TsMsgImprintPtr = OpenSslPtr<TS_MSG_IMPRINT, TS_MSG_IMPRINT_free>;
using TsStatusInfoPtr = OpenSslPtr<TS_STATUS_INFO, TS_STATUS_INFO_free>;
using TsTstInfoPtr = OpenSslPtr<TS_TST_INFO, TS_TST_INFO_free>;

// A buffer OpenSSL allocated for the caller (BN_bn2hex, ASN1_STRING_to_UTF8,
// the i2d_* functions given a null output pointer).
struct OpenSslFree {
    void operator()(void* p) const noexcept { OPENSSL_free(p); }
};
template <class T>
using OpenSslBuffer = std::unique_ptr<T, OpenSslFree>;

inline void free_certificates(STACK_OF(X509) * stack) noexcept { sk_X509_pop_free(stack, X509_free); }
inline void free_stack_only(STACK_OF(X509) * stack) noexcept { sk_X509_free(stack); }

// A stack that owns its certificates, and one that only borrows them.
using X509StackPtr = OpenSslPtr<STACK_OF(X509), free_certificates>;
using X509ViewStackPtr = OpenSslPtr<STACK_OF(X509), free_stack_only>;

}  // namespace zun
