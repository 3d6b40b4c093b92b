#include "core/json/json_writer.hpp"

#include <algorithm>
#include <array>
#include <charconv>

#include "core/json/json_scan.hpp"
#include "core/text/digits.hpp"

namespace zun {

namespace {

// For each byte below 0x80: 0 when it is copied as it is, 'u' for a \u00xx
// escape, otherwise the letter of its two-character escape.
constexpr std::array<char, 128> make_escape_table() {
    std::array<char, 128> table{};
    for (int c = 0; c < 0x20; ++c) table[static_cast<std::size_t>(c)] = 'u';
    table['"'] = '"';
    table['\\'] = '\\';
    table['\b'] = 'b';
    table['\t'] = 't';
    table['\n'] = 'n';
    table['\f'] = 'f';
    table['\r'] = 'r';
    return table;
}
constexpr std::array<char, 128> kEscape = make_escape_table();

}  // namespace

JsonWriter::JsonWriter(Layout layout) : layout_(layout) {
    out_.resize(128);
    cursor_ = out_.data();
    limit_ = cursor_ + out_.size();
}

void JsonWriter::grow(std::size_t n) {
    const auto used = static_cast<std::size_t>(cursor_ - out_.data());
    // Records outgrow the first 128 bytes quickly: grow in large steps so
    // that a typical envelope is copied once.
    out_.resize(std::max(4 * out_.size(), used + n));
    cursor_ = out_.data() + used;
    limit_ = out_.data() + out_.size();
}

std::string JsonWriter::take() {
    out_.resize(static_cast<std::size_t>(cursor_ - out_.data()));
    cursor_ = limit_ = nullptr;
    return std::move(out_);
}

void JsonWriter::new_line() {
    reserve(1 + 2 * depth_);
    *cursor_++ = '\n';
    std::memset(cursor_, ' ', 2 * depth_);
    cursor_ += 2 * depth_;
}

void JsonWriter::open(char bracket) {
    reserve(1);
    *cursor_++ = bracket;
    ++depth_;
    empty_ = true;
}

void JsonWriter::close(char bracket) {
    --depth_;
    if (layout_ == Layout::indented && !empty_) new_line();
    reserve(1);
    *cursor_++ = bracket;
    // The container just closed is a value of the one around it.
    empty_ = false;
}

void JsonWriter::plain_string(std::string_view text) {
    reserve(text.size() + 2);
    *cursor_++ = '"';
    std::memcpy(cursor_, text.data(), text.size());
    cursor_ += text.size();
    *cursor_++ = '"';
}

void JsonWriter::string(std::string_view text) {
    auto p = reinterpret_cast<const unsigned char*>(text.data());
    const auto end = p + text.size();
    reserve(text.size() + 2);
    *cursor_++ = '"';
    for (;;) {
        p = json_scan::copy_until_stop<false>(p, end, cursor_);
        if (p == end) break;
        const unsigned char byte = *p++;
        // The escape, the rest of the text and the closing quote.
        reserve(6 + static_cast<std::size_t>(end - p) + 1);
        const char escape = kEscape[byte];
        *cursor_++ = '\\';
        if (escape == 'u') {
            const char tail[5] = {'u', '0', '0', hex_digit(byte >> 4), hex_digit(byte)};
            std::memcpy(cursor_, tail, 5);
            cursor_ += 5;
        } else {
            *cursor_++ = escape;
        }
    }
    *cursor_++ = '"';
}

void JsonWriter::unsigned_integer(std::uint64_t value) {
    char digits[20];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    raw(std::string_view(digits, static_cast<std::size_t>(end - digits)));
}

}  // namespace zun
