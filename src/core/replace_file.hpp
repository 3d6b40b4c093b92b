// Whole-file replacement that never leaves a partly written target.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zun {

// Writes `bytes` to a fresh temporary file in `dir` (mode 0666 as modified
// by the umask; its name does not end in ".json") and renames it over
// `target`, which must lie in `dir`. Readers of `target` see the old content
// or the new one, never a mixture, whatever happens meanwhile. On failure the
// temporary file is removed and the cause text is returned, e.g.
// "No space left on device (os error 28)".
std::optional<std::string> replace_file(std::string_view dir, const std::string& target,
                                        std::string_view bytes);

}  // namespace zun
