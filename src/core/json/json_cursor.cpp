#include "core/json/json_cursor.hpp"

namespace zun::json {

std::string_view code_text(Code code) {
    switch (code) {
        case Code::eof_list: return "EOF while parsing a list";
        case Code::eof_object: return "EOF while parsing an object";
        case Code::eof_string: return "EOF while parsing a string";
        case Code::eof_value: return "EOF while parsing a value";
        case Code::expected_colon: return "expected `:`";
        case Code::expected_list_comma_or_end: return "expected `,` or `]`";
        case Code::expected_object_comma_or_end: return "expected `,` or `}`";
        case Code::expected_ident: return "expected ident";
        case Code::expected_value: return "expected value";
        case Code::invalid_escape: return "invalid escape";
        case Code::invalid_number: return "invalid number";
        case Code::number_out_of_range: return "number out of range";
        case Code::invalid_unicode_code_point: return "invalid unicode code point";
        case Code::control_character: return "control character (\\u0000-\\u001F) found while parsing a string";
        case Code::key_must_be_string: return "key must be a string";
        case Code::lone_leading_surrogate: return "lone leading surrogate in hex escape";
        case Code::trailing_comma: return "trailing comma";
        case Code::trailing_characters: return "trailing characters";
        case Code::unexpected_end_of_hex_escape: return "unexpected end of hex escape";
        case Code::recursion_limit: return "recursion limit exceeded";
    }
    return {};
}

}  // namespace zun::json
