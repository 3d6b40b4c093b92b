// Owning handles for the OpenSSL objects the core creates.
#pragma once

#include <memory>

#include <openssl/evp.h>

namespace zun {

template <class T, void (*Free)(T*)>
struct OpenSslDeleter {
    void operator()(T* p) const noexcept { Free(p); }
};

using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, OpenSslDeleter<EVP_PKEY, EVP_PKEY_free>>;
using EvpMdCtxPtr = std::unique_ptr<EVP_MD_CTX, OpenSslDeleter<EVP_MD_CTX, EVP_MD_CTX_free>>;

}  // namespace zun
