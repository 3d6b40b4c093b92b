// Numbers in the reader's input. No record holds one: a number is either
// the value of an unknown key, checked for syntax only, or a value of the
// wrong type, read as far as the message naming it needs.
#pragma once

#include <string>

#include "core/json/json_cursor.hpp"

namespace zun::json {

// Reads the number at the cursor (past its minus sign, if any) and appends
// how messages name it: "integer `5`", "integer `-5`" or "floating point
// `1.5`". Integers beyond 64 bits, fractions and exponents are doubles;
// a magnitude too large for one fails with "number out of range".
void append_number_description(Cursor& c, bool positive, std::string& out);

// Moves past the number at the cursor (past its minus sign, if any),
// checking its syntax but not its range, so 1e400 passes.
void skip_number(Cursor& c);

}  // namespace zun::json
