// The one error type of the record JSON reader, below both the reader and
// the record layer that speaks for it.
#pragma once

#include <cstddef>
#include <string>

namespace zun {

// A reader failure: the message and the 1-based line and byte column where
// the fault was found. line == 0 means the failure has no position.
struct JsonError {
    std::string message;
    std::size_t line = 0;
    std::size_t column = 0;
    // "<message> at line <L> column <C>" (or the bare message without a position).
    std::string text() const;
};

}  // namespace zun
