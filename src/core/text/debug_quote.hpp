// Debug quoting: how a text value appears inside every repr.
#pragma once

#include <string>
#include <string_view>

namespace zun {

// False for general categories Cc, Cf, Cs, Co, Cn (unassigned), Zl, Zp, for
// Zs other than U+0020 SPACE, and for values above U+10FFFF.
bool is_printable(char32_t cp) noexcept;

// The Grapheme_Extend property (combining marks and the few other characters
// that attach to the one before them).
bool is_grapheme_extend(char32_t cp) noexcept;

// Appends the text between double quotes. `"` and `\` get a backslash; line
// feed, carriage return, tab and NUL are written \n \r \t \0; every other
// character that is not printable or that extends a grapheme is written
// \u{hex}, in lowercase hex without leading zeros; everything else, the
// apostrophe and printable non-ASCII included, is copied as it is.
// The text is expected to be valid UTF-8 (Python strings always are); should
// it not be, each maximal invalid subsequence comes out as U+FFFD, as Python's
// "replace" decoding would show it.
void append_debug_quoted(std::string& out, std::string_view utf8);

// The same for bytes that may not be UTF-8, such as file system paths: valid
// sequences are quoted as above and every byte that is not part of one is
// written \x with two uppercase hex digits.
void append_debug_quoted_bytes(std::string& out, std::string_view bytes);

// Appends one character below U+0100 the way a single character is shown in
// debug output: between apostrophes and escaped as in text, except that the
// apostrophe is the delimiter and so is escaped while the quotation mark is
// not.
void append_debug_quoted_latin1_char(std::string& out, unsigned char cp);

}  // namespace zun
