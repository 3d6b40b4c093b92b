// The failures of this layer, as anchor errors.
#pragma once

#include <string>
#include <utility>

#include "core/anchor/anchor.hpp"
#include "core/crypto/openssl_errors.hpp"

namespace zun::timestamp_failure {

inline AnchorError bad(std::string detail) { return AnchorError{AnchorError::Kind::bad_response, std::move(detail)}; }

// `reason`, followed by what OpenSSL queued about it, which is taken off the
// queue.
inline AnchorError bad_openssl(std::string reason) {
    const std::string queued = take_openssl_errors();
    if (!queued.empty()) reason += " (" + queued + ")";
    return bad(std::move(reason));
}

inline AnchorError unsupported(std::string detail) {
    return AnchorError{AnchorError::Kind::unsupported, std::move(detail)};
}

}  // namespace zun::timestamp_failure
