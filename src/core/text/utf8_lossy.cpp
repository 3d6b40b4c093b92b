#include "core/text/utf8_lossy.hpp"

#include "core/text/utf8.hpp"

namespace zun {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

}  // namespace

void append_utf8_lossy(std::string& out, std::string_view bytes) {
    std::size_t run_start = 0;
    std::size_t i = 0;
    while (i < bytes.size()) {
        const utf8::Step step =
            utf8::decode(reinterpret_cast<const unsigned char*>(bytes.data()) + i, bytes.size() - i);
        if (!step.valid) {
            out.append(bytes.substr(run_start, i - run_start));
            out += kReplacement;
            run_start = i + step.length;
        }
        i += step.length;
    }
    out.append(bytes.substr(run_start));
}

}  // namespace zun
