#include "core/time/instant.hpp"

#include <limits>

#include "core/text/ascii.hpp"
#include "core/text/utf8.hpp"

namespace zun {

#define ZUN_TRY(expr)                                                   \
    do {                                                                \
        if (const InstantFault f_ = (expr); f_ != InstantFault::none) { \
            return f_;                                                  \
        }                                                               \
    } while (0)

namespace {

constexpr std::int64_t kSecondsPerDay = 86400;
constexpr std::uint32_t kNanosPerSecond = 1'000'000'000;

constexpr std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    const std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar.
constexpr std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day) {
    const std::int64_t y = year - (month <= 2 ? 1 : 0);
    const std::int64_t era = floor_div(y, 400);
    const auto year_of_era = static_cast<unsigned>(y - era * 400);
    const unsigned day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + static_cast<std::int64_t>(day_of_era) - 719468;
}

struct Date {
    std::int64_t year;
    unsigned month;
    unsigned day;
};

constexpr Date civil_from_days(std::int64_t days) {
    const std::int64_t z = days + 719468;
    const std::int64_t era = floor_div(z, 146097);
    const auto day_of_era = static_cast<unsigned>(z - era * 146097);
    const unsigned year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const unsigned day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const unsigned mp = (5 * day_of_year + 2) / 153;
    const unsigned day = day_of_year - (153 * mp + 2) / 5 + 1;
    const unsigned month = mp < 10 ? mp + 3 : mp - 9;
    return {static_cast<std::int64_t>(year_of_era) + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

constexpr std::int64_t kMinDay = days_from_civil(kMinInstantYear, 1, 1);
constexpr std::int64_t kMaxDay = days_from_civil(kMaxInstantYear, 12, 31);

constexpr bool is_leap_year(std::int64_t year) {
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

constexpr unsigned days_in_month(std::int64_t year, unsigned month) {
    constexpr unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && is_leap_year(year) ? 29 : kDays[month - 1];
}

// The characters Unicode gives the White_Space property.
constexpr bool is_space(char32_t c) {
    if (c < 0x80) return c == ' ' || (c >= 0x09 && c <= 0x0D);
    return c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 ||
           c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// Length of the character at the start of `s` (0 for a byte that starts no
// sequence), its code point in `cp`. Laxer than the JSON reader, which has
// already rejected what is not UTF-8 before an instant is read from it.
std::size_t decode_char(std::string_view s, char32_t& cp) {
    const utf8::Step step =
        utf8::decode<utf8::Policy::lax>(reinterpret_cast<const unsigned char*>(s.data()), s.size());
    if (!step.valid) return 0;
    cp = step.cp;
    return step.length;
}

void skip_spaces(std::string_view& s) {
    while (!s.empty()) {
        char32_t cp = 0;
        const std::size_t len = decode_char(s, cp);
        if (len == 0 || !is_space(cp)) return;
        s.remove_prefix(len);
    }
}

// An unsigned decimal number of `min_digits` to `max_digits` digits.
InstantFault scan_number(std::string_view& s, std::size_t min_digits, std::size_t max_digits,
                         std::int64_t& out) {
    if (s.size() < min_digits) return InstantFault::too_short;
    const std::size_t limit = s.size() < max_digits ? s.size() : max_digits;
    std::int64_t value = 0;
    std::size_t i = 0;
    for (; i < limit; ++i) {
        if (!is_digit(s[i])) {
            if (i < min_digits) return InstantFault::invalid;
            break;
        }
        const int digit = s[i] - '0';
        if (value > (std::numeric_limits<std::int64_t>::max() - digit) / 10) return InstantFault::out_of_range;
        value = value * 10 + digit;
    }
    s.remove_prefix(i);
    out = value;
    return InstantFault::none;
}

// Whitespace, then a number whose value must lie in [low, high].
InstantFault scan_field(std::string_view& s, std::size_t max_digits, std::int64_t low, std::int64_t high,
                        std::int64_t& out) {
    skip_spaces(s);
    if (const InstantFault fault = scan_number(s, 1, max_digits, out); fault != InstantFault::none) return fault;
    return out < low || out > high ? InstantFault::out_of_range : InstantFault::none;
}

// Whitespace, then exactly `c`.
InstantFault scan_separator(std::string_view& s, char c) {
    skip_spaces(s);
    if (s.empty()) return InstantFault::too_short;
    if (s[0] != c) return InstantFault::invalid;
    s.remove_prefix(1);
    return InstantFault::none;
}

// Four digits at most without a sign; any number of them with one.
InstantFault scan_year(std::string_view& s, std::int64_t& year) {
    skip_spaces(s);
    InstantFault fault;
    if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
        const bool negative = s[0] == '-';
        s.remove_prefix(1);
        fault = scan_number(s, 1, std::numeric_limits<std::size_t>::max(), year);
        if (negative) year = -year;
    } else {
        fault = scan_number(s, 1, 4, year);
    }
    if (fault != InstantFault::none) return fault;
    if (year < std::numeric_limits<std::int32_t>::min() || year > std::numeric_limits<std::int32_t>::max()) {
        return InstantFault::out_of_range;
    }
    return InstantFault::none;
}

// "." and one or more digits; the first nine give the nanoseconds.
InstantFault scan_fraction(std::string_view& s, std::int64_t& nanos) {
    const std::size_t before = s.size();
    std::int64_t digits = 0;
    if (const InstantFault fault = scan_number(s, 1, 9, digits); fault != InstantFault::none) return fault;
    static constexpr std::int64_t kScale[10] = {0, 100'000'000, 10'000'000, 1'000'000, 100'000, 10'000,
                                                1'000, 100, 10, 1};
    nanos = digits * kScale[before - s.size()];
    while (!s.empty() && is_digit(s[0])) s.remove_prefix(1);
    return InstantFault::none;
}

bool starts_with_utc(std::string_view s) {
    if (s.size() < 3) return false;
    auto upper = [](char c) { return ascii_upper(static_cast<unsigned char>(c)); };
    return upper(s[0]) == 'U' && upper(s[1]) == 'T' && upper(s[2]) == 'C';
}

// A sign (+, -, U+2212); false for anything else.
bool scan_offset_sign(std::string_view& s, bool& negative) {
    if (s[0] == '+' || s[0] == '-') {
        negative = s[0] == '-';
        s.remove_prefix(1);
        return true;
    }
    if (s.substr(0, 3) == "\xE2\x88\x92") {
        negative = true;
        s.remove_prefix(3);
        return true;
    }
    return false;
}

// Exactly two digits, the first no greater than `max_first`.
InstantFault scan_two_digits(std::string_view& s, char max_first, int& value) {
    if (s.size() < 2) return InstantFault::too_short;
    if (!is_digit(s[0]) || !is_digit(s[1])) return InstantFault::invalid;
    if (s[0] > max_first) return InstantFault::out_of_range;
    value = (s[0] - '0') * 10 + (s[1] - '0');
    s.remove_prefix(2);
    return InstantFault::none;
}

// Any run of colons and whitespace between the offset's hours and minutes.
void skip_offset_separators(std::string_view& s) {
    while (!s.empty()) {
        if (s[0] == ':') {
            s.remove_prefix(1);
            continue;
        }
        char32_t cp = 0;
        const std::size_t len = decode_char(s, cp);
        if (len == 0 || !is_space(cp)) return;
        s.remove_prefix(len);
    }
}

// "Z" or "z", or a sign (+, -, U+2212), two-digit hours, any run of colons
// and whitespace, two-digit minutes whose first digit is 0 to 5.
InstantFault scan_offset(std::string_view& s, std::int64_t& offset) {
    if (s.empty()) return InstantFault::too_short;
    if (s[0] == 'Z' || s[0] == 'z') {
        s.remove_prefix(1);
        offset = 0;
        return InstantFault::none;
    }
    bool negative = false;
    if (!scan_offset_sign(s, negative)) return InstantFault::invalid;
    int hours = 0;
    int minutes = 0;
    ZUN_TRY(scan_two_digits(s, '9', hours));
    skip_offset_separators(s);
    ZUN_TRY(scan_two_digits(s, '5', minutes));
    const std::int64_t seconds = hours * 3600 + minutes * 60;
    offset = negative ? -seconds : seconds;
    return InstantFault::none;
}

// The fields read, as the instant in UTC.
InstantFault resolve(std::int64_t year, std::int64_t month, std::int64_t day, std::int64_t hour,
                     std::int64_t minute, std::int64_t second, std::int64_t nanos, std::int64_t offset,
                     Instant& out) {
    const auto m = static_cast<unsigned>(month);
    const auto d = static_cast<unsigned>(day);
    if (year < kMinInstantYear || year > kMaxInstantYear || d > days_in_month(year, m)) {
        return InstantFault::out_of_range;
    }
    if (offset <= -kSecondsPerDay || offset >= kSecondsPerDay) return InstantFault::out_of_range;

    // A leap second is held as second 59 with the extra second in the nanos.
    const bool leap = second == 60;
    const std::int64_t local =
        days_from_civil(year, m, d) * kSecondsPerDay + hour * 3600 + minute * 60 + (leap ? 59 : second);
    const std::int64_t utc = local - offset;
    const std::int64_t utc_day = floor_div(utc, kSecondsPerDay);
    if (utc_day < kMinDay || utc_day > kMaxDay) return InstantFault::impossible;

    out.unix_seconds = utc;
    out.nanos = static_cast<std::uint32_t>(nanos) + (leap ? kNanosPerSecond : 0);
    return InstantFault::none;
}

// Two digits at p[k]; false for a non-digit.
bool two_digits(const unsigned char* p, int k, unsigned& value) {
    const unsigned high = p[k] - 48U, low = p[k + 1] - 48U;  // above 9 for a non-digit
    value = high * 10 + low;
    return high <= 9 && low <= 9;
}

struct DateTime {
    std::int64_t year = 0;
    unsigned month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

// YYYY-MM-DDTHH:MM:SS at the start of `p`, each field within its range
// (the day only up to 31).
bool canonical_date_time(const unsigned char* p, DateTime& t) {
    if (p[4] != '-' || p[7] != '-' || p[10] != 'T' || p[13] != ':' || p[16] != ':') return false;
    unsigned century, year_in_century;
    if (!two_digits(p, 0, century) || !two_digits(p, 2, year_in_century) || !two_digits(p, 5, t.month) ||
        !two_digits(p, 8, t.day) || !two_digits(p, 11, t.hour) || !two_digits(p, 14, t.minute) ||
        !two_digits(p, 17, t.second)) {
        return false;
    }
    t.year = century * 100 + year_in_century;
    return t.month >= 1 && t.month <= 12 && t.day >= 1 && t.hour <= 23 && t.minute <= 59 && t.second <= 60;
}

// What stands between the seconds and the final "Z" of `s`: nothing, or
// "." and one or more digits, of which the first nine give `nanos`.
bool canonical_fraction(std::string_view s, std::int64_t& nanos) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    std::size_t i = 19;
    const std::size_t last = s.size() - 1;
    nanos = 0;
    if (p[i] == '.') {
        ++i;
        std::size_t count = 0;
        for (; i < last && p[i] - 48U <= 9; ++i, ++count) {
            if (count < 9) nanos = nanos * 10 + (p[i] - '0');
        }
        if (count == 0) return false;
        static constexpr std::int64_t kScale[10] = {1'000'000'000, 100'000'000, 10'000'000, 1'000'000, 100'000,
                                                    10'000, 1'000, 100, 10, 1};
        if (count < 9) nanos *= kScale[count];
    }
    return i == last;
}

// The writer's own form, YYYY-MM-DDTHH:MM:SS[.digits]Z, read without the
// scanning the tolerant reader does. False for anything else and for any
// field out of range: the tolerant reader then reads it and words the fault.
bool parse_canonical(std::string_view s, Instant& out) {
    if (s.size() < 20 || s.back() != 'Z') return false;
    DateTime t;
    std::int64_t nanos = 0;
    return canonical_date_time(reinterpret_cast<const unsigned char*>(s.data()), t) &&
           canonical_fraction(s, nanos) &&
           resolve(t.year, t.month, t.day, t.hour, t.minute, t.second, nanos, 0, out) == InstantFault::none;
}

char* write_two(char* out, unsigned value) {
    out[0] = static_cast<char>('0' + value / 10);
    out[1] = static_cast<char>('0' + value % 10);
    return out + 2;
}

char* write_digits(char* out, std::uint64_t value, int width) {
    for (int i = width - 1; i >= 0; --i) {
        out[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    return out + width;
}

int digit_count(std::uint64_t value) {
    int count = 1;
    while (value >= 10) {
        value /= 10;
        ++count;
    }
    return count;
}

}  // namespace

std::string_view instant_fault_text(InstantFault fault) {
    switch (fault) {
        case InstantFault::none: return {};
        case InstantFault::invalid: return "input contains invalid characters";
        case InstantFault::too_short: return "premature end of input";
        case InstantFault::too_long: return "trailing input";
        case InstantFault::out_of_range: return "input is out of range";
        case InstantFault::impossible: return "no possible date and time matching input";
    }
    return {};
}

InstantFault parse_instant(std::string_view text, Instant& out) {
    if (parse_canonical(text, out)) return InstantFault::none;
    std::string_view s = text;
    std::int64_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, nanos = 0;

    ZUN_TRY(scan_year(s, year));
    ZUN_TRY(scan_separator(s, '-'));
    ZUN_TRY(scan_field(s, 2, 1, 12, month));
    ZUN_TRY(scan_separator(s, '-'));
    ZUN_TRY(scan_field(s, 2, 1, 31, day));

    if (s.empty()) return InstantFault::too_short;
    if (s[0] != 'T' && s[0] != 't' && s[0] != ' ') return InstantFault::invalid;
    s.remove_prefix(1);

    ZUN_TRY(scan_field(s, 2, 0, 23, hour));
    ZUN_TRY(scan_separator(s, ':'));
    ZUN_TRY(scan_field(s, 2, 0, 59, minute));
    ZUN_TRY(scan_separator(s, ':'));
    ZUN_TRY(scan_field(s, 2, 0, 60, second));
    if (!s.empty() && s[0] == '.') {
        s.remove_prefix(1);
        ZUN_TRY(scan_fraction(s, nanos));
    }

    skip_spaces(s);
    std::int64_t offset = 0;
    if (starts_with_utc(s)) {
        s.remove_prefix(3);
    } else {
        ZUN_TRY(scan_offset(s, offset));
    }
    skip_spaces(s);
    if (!s.empty()) return InstantFault::too_long;

    return resolve(year, month, day, hour, minute, second, nanos, offset, out);
}

#undef ZUN_TRY

CivilDateTime to_civil(const Instant& instant) noexcept {
    const std::int64_t day = floor_div(instant.unix_seconds, kSecondsPerDay);
    const std::int64_t second_of_day = instant.unix_seconds - day * kSecondsPerDay;
    const Date date = civil_from_days(day);
    CivilDateTime civil;
    civil.year = date.year;
    civil.month = date.month;
    civil.day = date.day;
    civil.hour = static_cast<unsigned>(second_of_day / 3600);
    civil.minute = static_cast<unsigned>(second_of_day / 60 % 60);
    civil.second = static_cast<unsigned>(second_of_day % 60);
    civil.leap = instant.nanos >= kNanosPerSecond;
    civil.nanos = civil.leap ? instant.nanos - kNanosPerSecond : instant.nanos;
    return civil;
}

std::size_t format_instant(const Instant& instant, char* out) noexcept {
    const CivilDateTime c = to_civil(instant);
    char* p = out;
    if (c.year >= 0 && c.year <= 9999) {
        p = write_two(p, static_cast<unsigned>(c.year / 100));
        p = write_two(p, static_cast<unsigned>(c.year % 100));
    } else {
        *p++ = c.year < 0 ? '-' : '+';
        const std::uint64_t magnitude =
            c.year < 0 ? 0 - static_cast<std::uint64_t>(c.year) : static_cast<std::uint64_t>(c.year);
        const int width = digit_count(magnitude);
        p = write_digits(p, magnitude, width < 4 ? 4 : width);
    }
    *p++ = '-';
    p = write_two(p, c.month);
    *p++ = '-';
    p = write_two(p, c.day);
    *p++ = 'T';
    p = write_two(p, c.hour);
    *p++ = ':';
    p = write_two(p, c.minute);
    *p++ = ':';
    p = write_two(p, c.leap ? 60 : c.second);
    if (c.nanos != 0) {
        *p++ = '.';
        if (c.nanos % 1'000'000 == 0) {
            const unsigned millis = c.nanos / 1'000'000;
            *p++ = static_cast<char>('0' + millis / 100);
            p = write_two(p, millis % 100);
        } else if (c.nanos % 1'000 == 0) {
            p = write_digits(p, c.nanos / 1'000, 6);
        } else {
            p = write_digits(p, c.nanos, 9);
        }
    }
    *p++ = 'Z';
    return static_cast<std::size_t>(p - out);
}

std::string format_instant(const Instant& instant) {
    char buffer[kMaxInstantText];
    return std::string(buffer, format_instant(instant, buffer));
}

}  // namespace zun
