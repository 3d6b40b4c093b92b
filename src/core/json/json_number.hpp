// Numbers in the reader's input: the unsigned integers that proofs hold,
// the values of unknown keys, checked for syntax only, and values of the
// wrong type, read as far as the message naming it needs.
#pragma once

#include <cstdint>
#include <string>

#include "core/json/json_cursor.hpp"

namespace zun::json {

// Reads the number at the cursor (past its minus sign, if any) and appends
// how messages name it: "integer `5`", "integer `-5`" or "floating point
// `1.5`". Integers beyond 64 bits, fractions and exponents are doubles;
// a magnitude too large for one fails with "number out of range".
void append_number_description(Cursor& c, bool positive, std::string& out);

// Reads the number at the cursor (past its minus sign, if any). A
// non-negative integer of at most 64 bits is stored in `out`; any other
// number is described in `description` as above and false returned.
bool read_unsigned(Cursor& c, bool positive, std::uint64_t& out, std::string& description);

// Moves past the number at the cursor (past its minus sign, if any),
// checking its syntax but not its range, so 1e400 passes.
void skip_number(Cursor& c);

}  // namespace zun::json
