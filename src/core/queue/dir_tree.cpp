#include "core/queue/dir_tree.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/queue/os_error.hpp"
#include "core/queue/unique_fd.hpp"

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

// mkdir, then the flush of the parent that makes the new entry durable.
// 0, or the errno of a failure; `made` says whether mkdir created `path`.
int make_and_sync(const std::string& path, bool& made) {
    const int result = retry_eintr([&] { return ::mkdir(path.c_str(), 0777); });
    made = result == 0;
    if (!made) return errno;
    return sync_directory(parent_of(path));
}

// mkdir, where an existing directory counts as success: 0 or errno.
int make_one(const std::string& path) {
    bool made = false;
    const int error = make_and_sync(path, made);
    if (error == 0 || made) return error;
    if (error != ENOENT && is_directory(path)) return 0;
    return error;
}

// Once the ancestors exist every failure is final, unless the directory
// is there after all.
int make_one_after_parents(const std::string& path) {
    bool made = false;
    const int error = make_and_sync(path, made);
    if (error == 0 || made) return error;
    return is_directory(path) ? 0 : error;
}

}  // namespace

int open_directory(const std::string& dir) {
    return retry_eintr([&] { return ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
}

int sync_directory(const std::string& dir) {
    const int fd = open_directory(dir);
    if (fd < 0) return errno;
    UniqueFd handle(fd);
    if (retry_eintr([&] { return ::fsync(fd); }) != 0) return errno;
    return handle.close();
}

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
