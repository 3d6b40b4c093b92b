#include "core/json/json_number.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "core/json/float_text.hpp"

namespace zun::json {

namespace {

// Powers of ten 1e0 ..= 1e308, each the double nearest to it.
const std::array<double, 309>& powers_of_ten() {
    static const std::array<double, 309> table = [] {
        std::array<double, 309> values{};
        for (std::size_t i = 0; i < values.size(); ++i) {
            const std::string text = "1e" + std::to_string(i);
            std::from_chars(text.data(), text.data() + text.size(), values[i]);
        }
        return values;
    }();
    return table;
}

// Whether `value * 10 + digit` would exceed `limit`.
template <class T>
constexpr bool would_overflow(T value, T digit, T limit) {
    return value >= limit / 10 && (value > limit / 10 || digit > limit % 10);
}

std::int64_t saturate_i32(std::int64_t v) {
    return std::clamp<std::int64_t>(v, std::numeric_limits<std::int32_t>::min(),
                                    std::numeric_limits<std::int32_t>::max());
}

// The significand scaled by a power of ten, one multiplication or division
// at a time, as the signing program's reader computes it (which is not
// always the nearest double).
double f64_from_parts(Cursor& c, bool positive, std::uint64_t significand, std::int64_t exponent) {
    const auto& pow10 = powers_of_ten();
    double f = static_cast<double>(significand);
    for (;;) {
        const std::uint64_t magnitude =
            exponent < 0 ? 0 - static_cast<std::uint64_t>(exponent) : static_cast<std::uint64_t>(exponent);
        if (magnitude < pow10.size()) {
            if (exponent >= 0) {
                f *= pow10[magnitude];
                if (std::isinf(f)) c.fail(Code::number_out_of_range);
            } else {
                f /= pow10[magnitude];
            }
            break;
        }
        if (f == 0) break;
        if (exponent >= 0) c.fail(Code::number_out_of_range);
        f /= 1e308;
        exponent += 308;
    }
    return positive ? f : -f;
}

double parse_exponent(Cursor& c, bool positive, std::uint64_t significand, std::int64_t starting) {
    c.advance();  // e or E
    bool positive_exponent = true;
    if (c.peek_or_null() == '+') {
        c.advance();
    } else if (c.peek_or_null() == '-') {
        c.advance();
        positive_exponent = false;
    }
    if (c.at_end()) c.fail(Code::eof_value);
    const unsigned char first = c.take();
    if (!is_digit(first)) c.fail(Code::invalid_number);
    std::int32_t exponent = first - '0';
    while (is_digit(c.peek_or_null())) {
        const std::int32_t digit = c.take() - '0';
        if (would_overflow<std::int32_t>(exponent, digit, std::numeric_limits<std::int32_t>::max())) {
            // Too large to matter: zero, or out of range.
            if (significand != 0 && positive_exponent) c.fail(Code::number_out_of_range);
            while (is_digit(c.peek_or_null())) c.advance();
            return positive ? 0.0 : -0.0;
        }
        exponent = exponent * 10 + digit;
    }
    const std::int64_t total = positive_exponent ? starting + exponent : starting - exponent;
    return f64_from_parts(c, positive, significand, saturate_i32(total));
}

double parse_decimal(Cursor& c, bool positive, std::uint64_t significand, std::int64_t exponent_before) {
    c.advance();  // the point
    std::int64_t exponent_after = 0;
    bool any_digit = false;
    while (is_digit(c.peek_or_null())) {
        const auto digit = static_cast<std::uint64_t>(c.peek_or_null() - '0');
        any_digit = true;
        if (would_overflow<std::uint64_t>(significand, digit, std::numeric_limits<std::uint64_t>::max())) {
            // Further digits cannot change the double.
            while (is_digit(c.peek_or_null())) c.advance();
            break;
        }
        c.advance();
        significand = significand * 10 + digit;
        --exponent_after;
    }
    if (!any_digit) c.fail_peek(!c.at_end() ? Code::invalid_number : Code::eof_value);
    const std::int64_t exponent = exponent_before + exponent_after;
    const int next = c.peek_or_null();
    if (next == 'e' || next == 'E') return parse_exponent(c, positive, significand, exponent);
    return f64_from_parts(c, positive, significand, exponent);
}

// An integer too long for 64 bits: the digits beyond count as a power of ten.
double parse_long_integer(Cursor& c, bool positive, std::uint64_t significand) {
    std::int64_t exponent = 0;
    for (;;) {
        const int next = c.peek_or_null();
        if (is_digit(next)) {
            c.advance();
            ++exponent;
        } else if (next == '.') {
            return parse_decimal(c, positive, significand, exponent);
        } else if (next == 'e' || next == 'E') {
            return parse_exponent(c, positive, significand, exponent);
        } else {
            return f64_from_parts(c, positive, significand, exponent);
        }
    }
}

void append_integer(std::string& out, const std::string& digits) {
    out += "integer `";
    out += digits;
    out += '`';
}

void append_float(std::string& out, double value) {
    out += "floating point `";
    append_float_text(out, value);
    out += '`';
}

}  // namespace

void append_number_description(Cursor& c, bool positive, std::string& out) {
    if (c.at_end()) c.fail(Code::eof_value);
    const unsigned char first = c.take();
    std::uint64_t significand = 0;
    if (first == '0') {
        if (is_digit(c.peek_or_null())) c.fail_peek(Code::invalid_number);
    } else if (is_digit(first)) {
        significand = first - '0';
        while (is_digit(c.peek_or_null())) {
            const auto digit = static_cast<std::uint64_t>(c.peek_or_null() - '0');
            if (would_overflow<std::uint64_t>(significand, digit, std::numeric_limits<std::uint64_t>::max())) {
                append_float(out, parse_long_integer(c, positive, significand));
                return;
            }
            c.advance();
            significand = significand * 10 + digit;
        }
    } else {
        c.fail(Code::invalid_number);
    }

    const int next = c.peek_or_null();
    if (next == '.') {
        append_float(out, parse_decimal(c, positive, significand, 0));
    } else if (next == 'e' || next == 'E') {
        append_float(out, parse_exponent(c, positive, significand, 0));
    } else if (positive) {
        append_integer(out, std::to_string(significand));
    } else {
        // Zero and magnitudes beyond the signed range become doubles.
        const auto negated = static_cast<std::int64_t>(0 - significand);
        if (negated >= 0) {
            append_float(out, -static_cast<double>(significand));
        } else {
            append_integer(out, std::to_string(negated));
        }
    }
}

bool read_unsigned(Cursor& c, bool positive, std::uint64_t& out, std::string& description) {
    // The description of an integer carries its digits, which cannot
    // exceed 64 bits: a longer one is described as a double.
    static constexpr std::string_view kInteger = "integer `";
    append_number_description(c, positive, description);
    if (!positive || !description.starts_with(kInteger)) return false;
    const char* digits = description.data() + kInteger.size();
    std::from_chars(digits, description.data() + description.size() - 1, out);
    return true;
}

void skip_number(Cursor& c) {
    const auto first = static_cast<unsigned char>(c.peek_or_null());
    if (!c.at_end()) c.advance();
    if (first == '0') {
        if (is_digit(c.peek_or_null())) c.fail_peek(Code::invalid_number);
    } else if (first >= '1' && first <= '9') {
        while (is_digit(c.peek_or_null())) c.advance();
    } else {
        c.fail(Code::invalid_number);
    }
    if (c.peek_or_null() == '.') {
        c.advance();
        bool any_digit = false;
        while (is_digit(c.peek_or_null())) {
            c.advance();
            any_digit = true;
        }
        if (!any_digit) c.fail_peek(Code::invalid_number);
    }
    const int next = c.peek_or_null();
    if (next == 'e' || next == 'E') {
        c.advance();
        if (c.peek_or_null() == '+' || c.peek_or_null() == '-') c.advance();
        const int digit = c.peek_or_null();
        if (!c.at_end()) c.advance();
        if (!is_digit(digit)) c.fail(Code::invalid_number);
        while (is_digit(c.peek_or_null())) c.advance();
    }
}

}  // namespace zun::json
