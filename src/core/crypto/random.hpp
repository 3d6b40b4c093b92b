// The operating system's random source, for new keys and nonces.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace zun {

// The operating system's random source failed.
struct RandomSourceError {
    int code = 0;             // errno
    std::string description;  // os_error_text(code): "<message> (os error <code>)"
};

// Fills `out` from getrandom, retrying interrupted and short draws.
std::optional<RandomSourceError> fill_random(std::span<std::uint8_t> out);

}  // namespace zun
