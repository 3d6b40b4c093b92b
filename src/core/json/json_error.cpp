#include "core/json/json_error.hpp"

namespace zun {

std::string JsonError::text() const {
    if (line == 0) return message;
    return message + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

}  // namespace zun
