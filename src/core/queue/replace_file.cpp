#include "core/queue/replace_file.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <limits>

#include "core/queue/dir_tree.hpp"
#include "core/queue/os_error.hpp"
#include "core/queue/queue_paths.hpp"
#include "core/queue/unique_fd.hpp"
#include "core/text/digits.hpp"

namespace zun {

namespace {

// Bumped in every child after fork, so that a thread's cached process and
// thread ids are refreshed instead of being shared with the parent.
std::atomic<unsigned> fork_generation{1};

void note_fork_in_child() { fork_generation.fetch_add(1, std::memory_order_relaxed); }

struct ThreadTag {
    pid_t pid = 0;
    pid_t tid = 0;
    unsigned generation = 0;
};

const ThreadTag& thread_tag() {
    static const bool fork_hook = (pthread_atfork(nullptr, nullptr, note_fork_in_child), true);
    (void)fork_hook;
    thread_local ThreadTag tag;
    const unsigned generation = fork_generation.load(std::memory_order_relaxed);
    if (tag.generation != generation) {
        // The system call, not gettid(): that wrapper came with glibc 2.30, above
        // the distributable wheels' floor.
        tag = ThreadTag{::getpid(), static_cast<pid_t>(::syscall(SYS_gettid)), generation};
    }
    return tag;
}

std::atomic<std::uint64_t> temp_counter{0};

constexpr std::string_view kTempPrefix = ".spill-";
constexpr std::string_view kTempSuffix = ".tmp";

// ".spill-<pid>-<tid>-<n>.tmp": unique per process, thread and attempt, and
// short, so that it fits wherever the item's own name fits.
std::string temp_name() {
    const ThreadTag& tag = thread_tag();
    std::string name(kTempPrefix);
    append_decimal(name, tag.pid);
    name += '-';
    append_decimal(name, tag.tid);
    name += '-';
    append_decimal(name, temp_counter.fetch_add(1, std::memory_order_relaxed));
    name.append(kTempSuffix);
    return name;
}

// A stale file of a dead process with a recycled pid may hold a name; a few
// fresh counter values get past it.
constexpr int kCreateAttempts = 16;

// The queue directory, held open for the whole replacement: every step
// names its file relative to it, and its flush comes last.
struct Place {
    int dir_fd;
    const char* name;  // the target's name in the directory
};

// Removes a named temporary file unless the rename has consumed it.
class TempFileGuard {
public:
    explicit TempFileGuard(int dir_fd) : dir_fd_(dir_fd) {}
    TempFileGuard(const TempFileGuard&) = delete;
    TempFileGuard& operator=(const TempFileGuard&) = delete;
    ~TempFileGuard() {
        if (!name_.empty()) ::unlinkat(dir_fd_, name_.c_str(), 0);
    }
    void arm(std::string name) { name_ = std::move(name); }
    const char* name() const { return name_.c_str(); }
    void release() { name_.clear(); }

private:
    int dir_fd_;
    std::string name_;
};

std::optional<std::string> write_all(int fd, std::string_view bytes) {
    const char* next = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t written = retry_eintr([&] { return ::write(fd, next, left); });
        if (written < 0) return os_error_text(errno);
        if (written == 0) return std::string("failed to write whole buffer");
        next += written;
        left -= static_cast<std::size_t>(written);
    }
    return std::nullopt;
}

// The permission bits of the target, when it is a regular file.
std::optional<mode_t> regular_file_mode(Place target) {
    struct stat status;
    if (retry_eintr([&] { return ::fstatat(target.dir_fd, target.name, &status, 0); }) != 0 ||
        !S_ISREG(status.st_mode)) {
        return std::nullopt;
    }
    return status.st_mode & 0777;
}

// Writes the content, gives it `mode` when set, and flushes it.
std::optional<std::string> write_flushed(int fd, std::string_view bytes, std::optional<mode_t> mode) {
    if (auto cause = write_all(fd, bytes)) return cause;
    if (mode && retry_eintr([&] { return ::fchmod(fd, *mode); }) != 0) return os_error_text(errno);
    if (retry_eintr([&] { return ::fsync(fd); }) != 0) return os_error_text(errno);
    return std::nullopt;
}

// Gives the unnamed file `fd` the name `name` in `dir_fd`.
int link_unnamed(int fd, int dir_fd, const char* name) {
    std::string proc = "/proc/self/fd/";
    append_decimal(proc, fd);
    if (retry_eintr([&] { return ::linkat(AT_FDCWD, proc.c_str(), dir_fd, name, AT_SYMLINK_FOLLOW); }) == 0) {
        return 0;
    }
    // Without /proc the descriptor itself can be linked, where the process
    // may (CAP_DAC_READ_SEARCH, or a kernel that allows it to everyone).
    if (errno != ENOENT) return errno;
    if (retry_eintr([&] { return ::linkat(fd, "", dir_fd, name, AT_EMPTY_PATH); }) == 0) return 0;
    return errno;
}

// File systems and kernels without O_TMPFILE say so with one of these.
bool tmpfile_refused(int error) { return error == EOPNOTSUPP || error == EISDIR || error == EINVAL; }

std::optional<std::string> rename_into_place(TempFileGuard& temp, Place target) {
    if (retry_eintr([&] { return ::renameat(target.dir_fd, temp.name(), target.dir_fd, target.name); }) != 0) {
        return os_error_text(errno);
    }
    temp.release();
    return std::nullopt;
}

// The unnamed file: it has no name while it is written, so a process killed
// meanwhile leaves nothing behind. A new item is linked straight to its
// name; an existing one is replaced by rename, through a name that lives
// only for the two calls between link and rename.
std::optional<std::string> place_unnamed(int fd, Place target, std::string_view bytes) {
    std::optional<mode_t> mode = regular_file_mode(target);
    if (auto cause = write_flushed(fd, bytes, mode)) return cause;
    if (!mode) {
        const int error = link_unnamed(fd, target.dir_fd, target.name);
        if (error == 0) return std::nullopt;
        if (error != EEXIST) return os_error_text(error);
        // Someone else created the item meanwhile: replace it like any other,
        // keeping its permission bits.
        if ((mode = regular_file_mode(target))) {
            if (auto cause = write_flushed(fd, {}, mode)) return cause;
        }
    }
    TempFileGuard temp(target.dir_fd);
    for (int attempt = 0;; ++attempt) {
        std::string name = temp_name();
        const int error = link_unnamed(fd, target.dir_fd, name.c_str());
        if (error == 0) {
            temp.arm(std::move(name));
            break;
        }
        if (error != EEXIST || attempt + 1 >= kCreateAttempts) return os_error_text(error);
    }
    return rename_into_place(temp, target);
}

// The named temporary file, for file systems without O_TMPFILE. O_EXCL keeps
// it from ever opening someone else's file.
std::optional<std::string> place_named(Place target, std::string_view bytes) {
    TempFileGuard temp(target.dir_fd);
    UniqueFd file;
    for (int attempt = 0; !file.valid(); ++attempt) {
        std::string name = temp_name();
        const int fd = ::openat(target.dir_fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            file = UniqueFd(fd);
            temp.arm(std::move(name));
        } else if (errno != EINTR && (errno != EEXIST || attempt + 1 >= kCreateAttempts)) {
            return os_error_text(errno);
        }
    }
    if (auto cause = write_flushed(file.get(), bytes, regular_file_mode(target))) return cause;
    if (const int error = file.close(); error != 0) return os_error_text(error);
    return rename_into_place(temp, target);
}

std::optional<std::string> place(Place target, std::string_view bytes) {
    const int fd =
        retry_eintr([&] { return ::openat(target.dir_fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666); });
    if (fd < 0) {
        if (tmpfile_refused(errno)) return place_named(target, bytes);
        return os_error_text(errno);
    }
    UniqueFd file(fd);
    auto cause = place_unnamed(fd, target, bytes);
    if (const int error = file.close(); !cause && error != 0) cause = os_error_text(error);
    return cause;
}

}  // namespace

std::optional<std::string> replace_file(const std::string& dir, const std::string& target,
                                        std::string_view bytes) {
    const int dir_fd = open_directory(dir);
    if (dir_fd < 0) return os_error_text(errno);
    UniqueFd directory(dir_fd);
    // The tail of `target`, so NUL-terminated.
    const char* name = last_component(target).data();

    if (auto cause = place(Place{dir_fd, name}, bytes)) return cause;
    if (retry_eintr([&] { return ::fsync(dir_fd); }) != 0) return os_error_text(errno);
    if (const int error = directory.close(); error != 0) return os_error_text(error);
    return std::nullopt;
}

std::optional<long> temp_file_owner(std::string_view name) {
    if (!name.starts_with(kTempPrefix) || !name.ends_with(kTempSuffix)) return std::nullopt;
    const char* first = name.data() + kTempPrefix.size();
    long pid = 0;
    const auto [end, error] = std::from_chars(first, name.data() + name.size(), pid);
    if (error != std::errc() || end == first || *end != '-' || pid <= 0 ||
        pid > std::numeric_limits<pid_t>::max()) {
        return std::nullopt;
    }
    return pid;
}

}  // namespace zun
