// OpenSSL's per-thread error queue, turned into text for the caller's
// message and never left behind for the next OpenSSL user of the thread.
#pragma once

#include <string>

namespace zun {

// Empties this thread's error queue and returns its reasons, oldest first,
// joined by "; " (a reason repeated back to back is given once). Empty when
// nothing was queued.
std::string take_openssl_errors();

// Starts with an empty error queue and leaves one behind, however the scope
// is left.
class OpenSslErrorScope {
public:
    OpenSslErrorScope() noexcept;
    ~OpenSslErrorScope();
    OpenSslErrorScope(const OpenSslErrorScope&) = delete;
    OpenSslErrorScope& operator=(const OpenSslErrorScope&) = delete;
};

}  // namespace zun
