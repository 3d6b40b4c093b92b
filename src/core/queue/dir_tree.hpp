// Directory creation with every missing ancestor, and opening and flushing a
// directory.
#pragma once

#include <string>

namespace zun {

// Creates `path` and its missing ancestors, each with mode 0777 as modified
// by the umask, and flushes the parent of every directory it creates, so
// that the new entries survive a power cut. A directory that already
// exists, or appears meanwhile because someone else made it, is fine; an
// empty path is fine too. Returns 0 or the errno of the step that failed.
// `path` holds no NUL.
int create_dir_all(const std::string& path);

// Flushes the entries of directory `dir` ("" is the working directory) to
// stable storage: 0 or the errno of the open, fsync or close that failed.
int sync_directory(const std::string& dir);

// A read-only descriptor of directory `dir` ("" is the working directory),
// for lookups relative to it and for the fsync that makes its entries
// durable; -1 with errno set when the open fails.
int open_directory(const std::string& dir);

}  // namespace zun
