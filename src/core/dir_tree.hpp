// Directory creation with every missing ancestor.
#pragma once

#include <string>

namespace zun {

// Creates `path` and its missing ancestors, each with mode 0777 as modified
// by the umask. A directory that already exists, or appears meanwhile
// because someone else made it, is fine; an empty path is fine too.
// Returns 0 or the errno of the step that failed. `path` holds no NUL.
int create_dir_all(const std::string& path);

}  // namespace zun
