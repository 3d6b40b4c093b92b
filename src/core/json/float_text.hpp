// How the JSON reader's messages show a floating-point number: the shortest
// digits that read back as the same double, in fixed notation when the
// leading digit's power of ten lies in -5..15 ("100000.0", "0.0015"), in
// exponent notation otherwise ("1e+21", "1.5e-7").
#pragma once

#include <string>

namespace zun {

void append_float_text(std::string& out, double value);

}  // namespace zun
