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

// mkdir, then the flush of the parent that makes the new entry durable. An
// existing directory (also one made meanwhile by someone else) counts as
// success. 0 or an errno.
int make_one(const std::string& path) {
    if (retry_eintr([&] { return ::mkdir(path.c_str(), 0777); }) == 0) return sync_directory(parent_of(path));
    const int error = errno;
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

    return make_one(path);
}

}  // namespace zun
