#include "core/crypto/wipe.hpp"

#include <sodium.h>

namespace zun {

void wipe(void* data, std::size_t size) noexcept { sodium_memzero(data, size); }

}  // namespace zun
