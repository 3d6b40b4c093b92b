// The reader's position in its input and the ways it fails there. Shared by
// the record reader and the number reader of its messages.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/text/digits.hpp"

namespace zun::json {

// The reader's own faults of JSON syntax.
enum class Code : std::uint8_t {
    eof_list,
    eof_object,
    eof_string,
    eof_value,
    expected_colon,
    expected_list_comma_or_end,
    expected_object_comma_or_end,
    expected_ident,
    expected_value,
    invalid_escape,
    invalid_number,
    number_out_of_range,
    invalid_unicode_code_point,
    control_character,
    key_must_be_string,
    lone_leading_surrogate,
    trailing_comma,
    trailing_characters,
    unexpected_end_of_hex_escape,
    recursion_limit,
};

std::string_view code_text(Code code);

// A failure on its way out. Messages of the record layer (missing,
// duplicate, invalid length) start without a position; the value around
// them places it once it has consumed what it would have consumed anyway.
struct Fault {
    std::string message;
    std::size_t index = 0;  // the position reported is that of the byte before index
    bool positioned = false;
};

// The reader scans its input through the members directly; the number
// reader has only the steps below.
class Cursor {
public:
    Cursor(const unsigned char* s, std::size_t n) : s_(s), n_(n) {}

    bool at_end() const { return i_ == n_; }
    int peek_or_null() const { return i_ < n_ ? s_[i_] : 0; }
    // The byte at the cursor, which must not be at the end, and past it.
    unsigned char take() { return s_[i_++]; }
    void advance() { ++i_; }

    // At the byte last read.
    [[noreturn]] void fail(Code code) const { throw Fault{std::string(code_text(code)), i_, true}; }
    // At the byte about to be read.
    [[noreturn]] void fail_peek(Code code) const {
        throw Fault{std::string(code_text(code)), std::min(n_, i_ + 1), true};
    }
    [[noreturn]] void fail_here(std::string message) const { throw Fault{std::move(message), i_, true}; }

    // The rest of a literal (null, true, false) whose first byte was read.
    void parse_ident(const char* rest) {
        for (; *rest != '\0'; ++rest) {
            if (i_ == n_) fail(Code::eof_value);
            if (s_[i_++] != static_cast<unsigned char>(*rest)) fail(Code::expected_ident);
        }
    }

protected:
    const unsigned char* s_;
    std::size_t n_;
    std::size_t i_ = 0;
};

}  // namespace zun::json
