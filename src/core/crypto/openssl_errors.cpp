#include "core/crypto/openssl_errors.hpp"

#include <cstdio>

#include <openssl/err.h>

namespace zun {

std::string take_openssl_errors() {
    std::string text, last;
    const char* data = nullptr;
    int flags = 0;
    while (const unsigned long code = ERR_get_error_all(nullptr, nullptr, nullptr, &data, &flags)) {
        std::string reason;
        if (const char* known = ERR_reason_error_string(code)) {
            reason = known;
        } else {
            char buffer[32];
            std::snprintf(buffer, sizeof buffer, "error %lx", code);
            reason = buffer;
        }
        if ((flags & ERR_TXT_STRING) != 0 && data != nullptr && *data != '\0') {
            reason += " (";
            reason += data;
            reason += ')';
        }
        if (reason == last) continue;
        if (!text.empty()) text += "; ";
        text += reason;
        last = std::move(reason);
    }
    return text;
}

OpenSslErrorScope::OpenSslErrorScope() noexcept { ERR_clear_error(); }
OpenSslErrorScope::~OpenSslErrorScope() { ERR_clear_error(); }

}  // namespace zun
