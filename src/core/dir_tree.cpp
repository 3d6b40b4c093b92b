#include "core/dir_tree.hpp"

#include <sys/stat.h>

#include <cerrno>

namespace zun {

namespace {

bool is_directory(const std::string& path) {
    struct stat status;
    return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// The path without its last component and the slashes around it; "/" for a
// top-level absolute path, "" for a single relative component.
std::string parent_of(const std::string& path) {
    std::size_t end = path.size();
    while (end > 0 && path[end - 1] == '/') --end;
    while (end > 0 && path[end - 1] != '/') --end;
    while (end > 1 && path[end - 1] == '/') --end;
    return path.substr(0, end);
}

// mkdir, where an existing directory counts as success: 0 or errno.
int make_one(const std::string& path) {
    if (::mkdir(path.c_str(), 0777) == 0) return 0;
    const int error = errno;
    if (error != ENOENT && is_directory(path)) return 0;
    return error;
}

// Once the ancestors exist every failure is final, unless the directory
// is there after all.
int make_one_after_parents(const std::string& path) {
    if (::mkdir(path.c_str(), 0777) == 0) return 0;
    const int error = errno;
    return is_directory(path) ? 0 : error;
}

}  // namespace

int create_dir_all(const std::string& path) {
    if (path.empty()) return 0;
    const int first = make_one(path);
    if (first != ENOENT) return first;

    const std::string parent = parent_of(path);
    if (parent == path) return first;
    if (const int error = create_dir_all(parent); error != 0) return error;

    return make_one_after_parents(path);
}

}  // namespace zun
