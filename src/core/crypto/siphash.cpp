#include "core/crypto/siphash.hpp"

namespace zun {

std::uint64_t siphash13(std::uint64_t key0, std::uint64_t key1, std::string_view bytes) noexcept {
    SipHasher13 hasher(key0, key1);
    hasher.write(bytes);
    return hasher.finish();
}

}  // namespace zun
