// Byte strings (file paths) shown as text.
#pragma once

#include <string>
#include <string_view>

namespace zun {

// Appends `bytes` to `out` as UTF-8, each maximal ill-formed subsequence
// replaced by one U+FFFD (the same substitution Python's "replace" error
// handler makes).
void append_utf8_lossy(std::string& out, std::string_view bytes);

}  // namespace zun
