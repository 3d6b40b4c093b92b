#include "core/crypto/libcrypto.hpp"

#include <openssl/crypto.h>

namespace zun {

void prepare_libcrypto() noexcept {
#ifdef ZUN_PRIVATE_LIBCRYPTO
    // Fails only when memory does; OpenSSL then fails its later calls as well.
    OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
#endif
}

}  // namespace zun
