#include "core/json/float_text.hpp"

#include <charconv>
#include <cmath>

namespace zun {

void append_float_text(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "NaN";
        return;
    }
    if (std::signbit(value)) out.push_back('-');
    value = std::fabs(value);
    if (std::isinf(value)) {
        out += "inf";
        return;
    }
    if (value == 0) {
        out += "0.0";
        return;
    }

    // Shortest round-trip digits, as d.ddde±xx. The output is not
    // NUL-terminated: everything below reads only [buffer, end).
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    const char* const end = result.ptr;
    char digits[20];
    int length = 0;
    const char* p = buffer;
    for (; p < end && *p != 'e'; ++p) {
        if (*p != '.') digits[length++] = *p;
    }
    // The leading digit's power of ten; from_chars takes no '+'.
    int exponent = 0;
    if (p < end) ++p;
    if (p < end && *p == '+') ++p;
    std::from_chars(p, end, exponent);

    if (exponent >= -5 && exponent <= 15) {
        if (length - 1 <= exponent) {
            out.append(digits, static_cast<std::size_t>(length));
            out.append(static_cast<std::size_t>(exponent + 1 - length), '0');
            out += ".0";
        } else if (exponent >= 0) {
            out.append(digits, static_cast<std::size_t>(exponent + 1));
            out.push_back('.');
            out.append(digits + exponent + 1, static_cast<std::size_t>(length - exponent - 1));
        } else {
            out += "0.";
            out.append(static_cast<std::size_t>(-exponent - 1), '0');
            out.append(digits, static_cast<std::size_t>(length));
        }
        return;
    }
    out.push_back(digits[0]);
    if (length > 1) {
        out.push_back('.');
        out.append(digits + 1, static_cast<std::size_t>(length - 1));
    }
    out.push_back('e');
    out.push_back(exponent < 0 ? '-' : '+');
    out += std::to_string(exponent < 0 ? -exponent : exponent);
}

}  // namespace zun
