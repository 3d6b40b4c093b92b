// Text of an operating-system error as the queue reports it.
#pragma once

#include <string>

namespace zun {

// "<the C library's message for errnum> (os error <errnum>)", e.g.
// "No such file or directory (os error 2)". Thread-safe, locale-independent.
std::string os_error_text(int errnum);

}  // namespace zun
