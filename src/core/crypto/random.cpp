#include "core/crypto/random.hpp"

#include <sys/random.h>

#include <cerrno>

#include "core/queue/os_error.hpp"

namespace zun {

std::optional<RandomSourceError> fill_random(std::span<std::uint8_t> out) {
    std::size_t filled = 0;
    while (filled < out.size()) {
        const ssize_t got = retry_eintr([&] { return getrandom(out.data() + filled, out.size() - filled, 0); });
        if (got < 0) {
            const int code = errno;
            return RandomSourceError{code, os_error_text(code)};
        }
        filled += static_cast<std::size_t>(got);
    }
    return std::nullopt;
}

}  // namespace zun
