#include "core/text/utf8.hpp"

namespace zun::utf8 {

void append(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        const char seq[2] = {static_cast<char>(0xC0 | (cp >> 6)), static_cast<char>(0x80 | (cp & 0x3F))};
        out.append(seq, 2);
    } else if (cp < 0x10000) {
        const char seq[3] = {static_cast<char>(0xE0 | (cp >> 12)), static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
                             static_cast<char>(0x80 | (cp & 0x3F))};
        out.append(seq, 3);
    } else {
        const char seq[4] = {static_cast<char>(0xF0 | (cp >> 18)), static_cast<char>(0x80 | ((cp >> 12) & 0x3F)),
                             static_cast<char>(0x80 | ((cp >> 6) & 0x3F)), static_cast<char>(0x80 | (cp & 0x3F))};
        out.append(seq, 4);
    }
}

}  // namespace zun::utf8
