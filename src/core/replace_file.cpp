#include "core/replace_file.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdint>

#include "core/os_error.hpp"
#include "core/queue_paths.hpp"
#include "core/unique_fd.hpp"

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
    if (tag.generation != generation) tag = ThreadTag{::getpid(), ::gettid(), generation};
    return tag;
}

std::atomic<std::uint64_t> temp_counter{0};

template <class Int>
void append_decimal(std::string& out, Int value) {
    char digits[24];
    out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

// ".spill-<pid>-<tid>-<n>.tmp": unique per process, thread and attempt, and
// short, so that it fits wherever the item's own name fits.
std::string temp_path(std::string_view dir) {
    const ThreadTag& tag = thread_tag();
    std::string path;
    path.reserve(dir.size() + 72);
    path.append(dir);
    append_path_component(path, ".spill-");
    append_decimal(path, tag.pid);
    path += '-';
    append_decimal(path, tag.tid);
    path += '-';
    append_decimal(path, temp_counter.fetch_add(1, std::memory_order_relaxed));
    path += ".tmp";
    return path;
}

// A stale file of a dead process with a recycled pid may hold a name; a few
// fresh counter values get past it.
constexpr int kCreateAttempts = 16;

// Removes the temporary file unless the rename has consumed it.
class TempFileGuard {
public:
    explicit TempFileGuard(const std::string& path) : path_(path) {}
    TempFileGuard(const TempFileGuard&) = delete;
    TempFileGuard& operator=(const TempFileGuard&) = delete;
    ~TempFileGuard() {
        if (armed_) ::unlink(path_.c_str());
    }
    void release() { armed_ = false; }

private:
    const std::string& path_;
    bool armed_ = true;
};

std::optional<std::string> write_all(int fd, std::string_view bytes) {
    const char* next = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, next, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            return os_error_text(errno);
        }
        if (written == 0) return std::string("failed to write whole buffer");
        next += written;
        left -= static_cast<std::size_t>(written);
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> replace_file(std::string_view dir, const std::string& target,
                                        std::string_view bytes) {
    std::string temp;
    UniqueFd file;
    for (int attempt = 0; !file.valid(); ++attempt) {
        temp = temp_path(dir);
        const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            file = UniqueFd(fd);
        } else if (errno != EINTR && (errno != EEXIST || attempt + 1 >= kCreateAttempts)) {
            return os_error_text(errno);
        }
    }

    TempFileGuard guard(temp);
    if (auto cause = write_all(file.get(), bytes)) return cause;
    if (const int error = file.close(); error != 0) return os_error_text(error);
    if (::rename(temp.c_str(), target.c_str()) != 0) return os_error_text(errno);
    guard.release();
    return std::nullopt;
}

}  // namespace zun
