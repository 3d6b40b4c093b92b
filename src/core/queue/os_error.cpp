#include "core/queue/os_error.hpp"

#include <cstring>

#include "core/text/digits.hpp"

namespace zun {

std::string os_error_text(int errnum) {
    // strerrordesc_np hands out the untranslated static table entry, so it
    // needs no buffer and is safe to call from any thread.
    const char* description = strerrordesc_np(errnum);
    std::string text;
    if (description != nullptr) {
        text = description;
    } else {
        text = "Unknown error ";
        append_decimal(text, errnum);
    }
    text += " (os error ";
    append_decimal(text, errnum);
    text += ')';
    return text;
}

}  // namespace zun
