// Durable whole-file replacement that never leaves a partly written target.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zun {

// Writes `bytes` to a new file in `dir`, flushes it, puts it in place as
// `target` (which must lie in `dir`) and flushes `dir`, so that on return
// the new content is on stable storage and survives a power cut. `dir` is
// opened first and every step works relative to it, so a `dir` that cannot
// be opened for reading (and so never flushed) fails before anything is
// written. Readers of
// `target` see the old content or the new one, never a mixture, whatever
// happens meanwhile.
//
// The new file is unnamed (O_TMPFILE) until it is complete; where the file
// system refuses that, it is a named temporary file whose name does not end
// in ".json". A new file gets mode 0666 as modified by the umask; one that
// replaces a regular file gets that file's permission bits. On failure no
// temporary file is left and the cause text is returned, e.g.
// "No space left on device (os error 28)".
std::optional<std::string> replace_file(const std::string& dir, const std::string& target,
                                        std::string_view bytes);

// Whether `name` is one of the named temporary files above, and if so the id
// of the process that made it.
std::optional<long> temp_file_owner(std::string_view name);

}  // namespace zun
