// Operating-system errors as the queue meets them: their text, and the
// retry of calls that a signal interrupts.
#pragma once

#include <cerrno>
#include <string>

namespace zun {

// "<the C library's message for errnum> (os error <errnum>)", e.g.
// "No such file or directory (os error 2)". Thread-safe, locale-independent.
std::string os_error_text(int errnum);

// Calls `call` again for as long as it fails with EINTR; its first other
// result, with errno as that call left it.
template <class Call>
auto retry_eintr(Call call) {
    for (;;) {
        const auto result = call();
        if (result >= 0 || errno != EINTR) return result;
    }
}

}  // namespace zun
