// What the module asks of the libcrypto it is linked with, before any other use.
#pragma once

namespace zun {

// In the distributable wheels, which link a copy of libcrypto of their own, declines every
// configuration file: the host's openssl.cnf (or OPENSSL_CONF's) is written for the system's
// OpenSSL and may name providers, engines or paths that this copy cannot use. OpenSSL reads
// the file on the first use of some calls (OBJ_obj2nid among them) even when built not to
// load it at start-up; declining it first makes those loads do nothing. Where the module
// uses the system's shared libcrypto, it leaves the process's configuration alone.
void prepare_libcrypto() noexcept;

}  // namespace zun
