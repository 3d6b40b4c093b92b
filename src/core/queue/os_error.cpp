#include "core/queue/os_error.hpp"

#include <locale.h>
#include <string.h>

#include <string_view>

#include "core/text/digits.hpp"

namespace zun {

namespace {

// glibc's newlocale hands out its static "C" locale object for this request,
// so nothing is allocated and nothing needs freeing.
locale_t c_locale() {
    static const locale_t locale = ::newlocale(LC_ALL_MASK, "C", locale_t{});
    return locale;
}

constexpr std::string_view kUnknown = "Unknown error ";

}  // namespace

std::string os_error_text(int errnum) {
    // In the "C" locale strerror_l returns the untranslated table entry, whatever
    // locale the process chose, and a known entry is static text, safe from any
    // thread. (strerrordesc_np does this without a locale but came only with
    // glibc 2.32, above the distributable wheels' floor.) Unknown numbers are
    // spelled here: glibc before 2.32 printed negative ones as unsigned.
    const locale_t locale = c_locale();
    const char* description = locale != locale_t{} ? ::strerror_l(errnum, locale) : nullptr;
    std::string text;
    if (description != nullptr && !std::string_view(description).starts_with(kUnknown)) {
        text = description;
    } else {
        text = kUnknown;
        append_decimal(text, errnum);
    }
    text += " (os error ";
    append_decimal(text, errnum);
    text += ')';
    return text;
}

}  // namespace zun
