#include "core/queue/queue_store.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdint>
#include <ctime>
#include <memory>
#include <utility>

#include "core/queue/dir_tree.hpp"
#include "core/json/record_json.hpp"
#include "core/queue/os_error.hpp"
#include "core/queue/queue_paths.hpp"
#include "core/queue/replace_file.hpp"
#include "core/queue/unique_fd.hpp"

namespace zun {

namespace {

// What the path APIs report for a byte path that no C string can carry.
constexpr std::string_view kNulInPath = "file name contained an unexpected NUL byte";

bool holds_nul(std::string_view path) { return path.find('\0') != std::string_view::npos; }

bool exists(const std::string& path) {
    struct stat status;
    return ::stat(path.c_str(), &status) == 0;
}

std::optional<QueueError> ensure_directory(const std::string& dir) {
    if (holds_nul(dir)) return QueueError::io(dir, std::string(kNulInPath));
    if (exists(dir)) return std::nullopt;
    if (const int error = create_dir_all(dir); error != 0) return QueueError::io_errno(dir, error);
    return std::nullopt;
}

// The name's extension is exactly "json" and something precedes its dot, so
// ".json", "x.JSON", "x.json.tmp" and the temporary files of spill are out.
bool is_item_name(std::string_view name) {
    return name.size() > kItemExtension.size() && name.ends_with(kItemExtension);
}

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

// All item names of a directory in one buffer, NUL-terminated for openat,
// each with whether the directory entry says it is a regular file.
class ItemNames {
public:
    void add(std::string_view name, bool regular) {
        entries_.push_back({bytes_.size(), name.size(), regular});
        bytes_.append(name);
        bytes_ += '\0';
    }
    void sort() {
        std::sort(entries_.begin(), entries_.end(),
                  [this](const Entry& a, const Entry& b) { return view(a) < view(b); });
    }
    std::size_t size() const { return entries_.size(); }
    std::string_view operator[](std::size_t i) const { return view(entries_[i]); }
    const char* c_str(std::size_t i) const { return bytes_.data() + entries_[i].offset; }
    bool regular(std::size_t i) const { return entries_[i].regular; }

private:
    struct Entry {
        std::size_t offset;
        std::size_t length;
        bool regular;
    };
    std::string_view view(const Entry& entry) const { return {bytes_.data() + entry.offset, entry.length}; }

    std::string bytes_;
    std::vector<Entry> entries_;
};

// Reads every entry; 0 or the errno of the failure. The named temporary
// files of pushes go to `temps`.
int collect_item_names(DIR* dir, ItemNames& names, std::vector<std::string>& temps) {
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir);
        if (entry == nullptr) return errno;
        const std::string_view name = entry->d_name;
        if (is_item_name(name)) {
            names.add(name, entry->d_type == DT_REG);
        } else if (name.front() == '.' && temp_file_owner(name)) {
            temps.emplace_back(name);
        }
    }
}

// A push flushes and renames its file within moments; a temporary file this
// old whose process is gone was left by a push that was killed.
constexpr time_t kAbandonedAfterSeconds = 10 * 60;

// Removes the temporary files of killed pushes, which nothing else ever
// would. Both tests must pass: the process id alone could be a live
// process's in another pid namespace or on another host sharing the
// directory, and age alone could be a stopped process's. Best effort: a
// failure here changes nothing about the listing.
void remove_abandoned(int dir_fd, const std::vector<std::string>& temps) {
    if (temps.empty()) return;
    const time_t now = ::time(nullptr);
    for (const std::string& name : temps) {
        struct stat status;
        if (::fstatat(dir_fd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(status.st_mode) ||
            now - status.st_mtime < kAbandonedAfterSeconds) {
            continue;
        }
        const auto pid = temp_file_owner(name);
        if (::kill(static_cast<pid_t>(*pid), 0) == 0 || errno != ESRCH) continue;
        ::unlinkat(dir_fd, name.c_str(), 0);
    }
}

// One growing buffer for the contents of every item file of a call.
class ReadBuffer {
public:
    // Never more than an item file may hold, and one byte to see that a file
    // holds more.
    static constexpr std::size_t kLimit = kMaxItemFileSize + 1;

    char* data() { return data_.get(); }
    std::size_t capacity() const { return capacity_; }
    // `wanted` <= kLimit.
    void reserve(std::size_t wanted, std::size_t keep) {
        if (wanted <= capacity_) return;
        const std::size_t grown = std::min(std::max(wanted, capacity_ * 2), kLimit);
        auto bigger = std::make_unique_for_overwrite<char[]>(grown);
        if (keep > 0) std::memcpy(bigger.get(), data_.get(), keep);
        data_ = std::move(bigger);
        capacity_ = grown;
    }

private:
    std::unique_ptr<char[]> data_;
    std::size_t capacity_ = 0;
};

// Larger than nearly every item, so that one read takes a whole file.
constexpr std::size_t kFirstReadSize = 64 * 1024;

// What read_item reports besides an errno.
constexpr int kVanished = -1;    // the entry is gone: someone else dropped the item
constexpr int kNotRegular = -2;  // a device or socket, which is never read
constexpr int kOversized = -3;   // larger than kMaxItemFileSize

// Types that are read: regular files, and directories and FIFOs, which fail
// or read as empty with the errors they have always had.
bool readable_type(mode_t mode) { return S_ISREG(mode) || S_ISDIR(mode) || S_ISFIFO(mode); }

// After ENOENT at `name`: kVanished when the entry itself is gone, ENOENT
// when it is still there (a dangling link).
int vanished_or_dangling(int dir_fd, const char* name) {
    struct stat status;
    if (::fstatat(dir_fd, name, &status, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT) return kVanished;
    return ENOENT;
}

bool oversized(const struct stat& status) {
    return S_ISREG(status.st_mode) && static_cast<std::uint64_t>(status.st_size) > kMaxItemFileSize;
}

// The whole file `name` of the directory `dir_fd`, read until read()
// reports its end, so that a file system that returns short reads is read
// right. An entry that readdir did not call a regular file is looked at
// first and a device is never opened; an entry whose file grows past the
// first buffer is looked at once more, so that nothing swapped in meanwhile
// is read without end. Whatever the file claims or holds, no more than
// kMaxItemFileSize + 1 bytes are read or allocated. 0, kVanished,
// kNotRegular, kOversized or the errno of the failing step.
int read_item(int dir_fd, const char* name, bool known_regular, ReadBuffer& buffer,
              std::string_view& contents) {
    std::size_t wanted = kFirstReadSize;
    if (!known_regular) {
        struct stat status;
        if (::fstatat(dir_fd, name, &status, 0) != 0) {
            return errno == ENOENT ? vanished_or_dangling(dir_fd, name) : errno;
        }
        if (!readable_type(status.st_mode)) return kNotRegular;
        if (oversized(status)) return kOversized;
        if (S_ISREG(status.st_mode)) wanted = std::max(wanted, static_cast<std::size_t>(status.st_size) + 1);
    }
    // O_NONBLOCK changes nothing for regular files and directories, but keeps
    // a FIFO that someone named "x.json" from blocking the open and every
    // read: it reads as empty or fails instead of hanging.
    const int fd = retry_eintr([&] { return ::openat(dir_fd, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK); });
    if (fd < 0) return errno == ENOENT ? vanished_or_dangling(dir_fd, name) : errno;
    const UniqueFd file(fd);
    buffer.reserve(wanted, 0);

    bool looked_again = false;
    std::size_t length = 0;
    for (;;) {
        if (length == buffer.capacity()) {
            if (length > kMaxItemFileSize) return kOversized;
            if (!looked_again) {
                struct stat status;
                if (::fstat(fd, &status) != 0) return errno;
                if (!readable_type(status.st_mode)) return kNotRegular;
                if (oversized(status)) return kOversized;
                looked_again = true;
            }
            buffer.reserve(length + 1, length);
        }
        const ssize_t got = retry_eintr([&] { return ::read(fd, buffer.data() + length, buffer.capacity() - length); });
        if (got < 0) return errno;
        if (got == 0) break;
        length += static_cast<std::size_t>(got);
    }
    contents = std::string_view(buffer.data(), length);
    return 0;
}

}  // namespace

std::optional<QueueError> spill(const std::string& dir, std::string_view pair_class,
                                const SignedEnvelope& envelope) {
    if (!queue_id_is_usable(envelope.exchange_id)) {
        return QueueError::json(std::string(kUnusableQueueIdMessage));
    }
    const QueuedItem item{envelope.exchange_id, std::string(pair_class), envelope};
    const std::string bytes = to_item_file(item);
    // An item that no listing would read is refused before anything is touched.
    if (bytes.size() > kMaxItemFileSize) return QueueError::json(std::string(kOversizedPushMessage));
    if (auto error = ensure_directory(dir)) return error;

    std::string path = item_path(dir, item.queue_id);
    if (auto cause = replace_file(dir, path, bytes)) return QueueError::io(std::move(path), std::move(*cause));
    return std::nullopt;
}

std::optional<QueueError> enumerate(const std::string& dir, std::vector<QueuedItem>& out,
                                    const StopRequest& stop) {
    if (holds_nul(dir) || !exists(dir)) {
        out.clear();
        return std::nullopt;
    }
    const DirHandle handle(::opendir(dir.c_str()));
    if (!handle) return QueueError::io_errno(dir, errno);

    ItemNames names;
    std::vector<std::string> temps;
    if (const int error = collect_item_names(handle.get(), names, temps); error != 0) {
        return QueueError::io_errno(dir, error);
    }
    names.sort();

    std::vector<QueuedItem> items;
    items.reserve(names.size());
    ReadBuffer buffer;
    const int dir_fd = ::dirfd(handle.get());
    remove_abandoned(dir_fd, temps);
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (stop && stop()) return std::nullopt;
        std::string_view contents;
        const int error = read_item(dir_fd, names.c_str(i), names.regular(i), buffer, contents);
        if (error == kVanished) continue;
        if (error == kNotRegular) return QueueError::json(std::string(kNotRegularItemMessage));
        if (error == kOversized) return QueueError::io(join_path(dir, names[i]), std::string(kOversizedItemMessage));
        if (error != 0) return QueueError::io_errno(join_path(dir, names[i]), error);
        if (auto fault = from_json(contents, items.emplace_back())) return QueueError::json(fault->text());
    }
    out = std::move(items);
    return std::nullopt;
}

std::optional<QueueError> remove(const std::string& dir, std::string_view queue_id) {
    std::string path = item_path(dir, queue_id);
    if (holds_nul(path)) return std::nullopt;
    // The directory is needed for the flush after the unlink; opened first,
    // it also serves every lookup below.
    const int dir_fd = open_directory(dir);
    if (dir_fd < 0) {
        const int error = errno;
        if (!exists(path)) return std::nullopt;
        return QueueError::io_errno(std::move(path), error);
    }
    UniqueFd directory(dir_fd);
    // The tail of `path`, so NUL-terminated.
    const char* name = last_component(path).data();

    // The entry itself, never what a link points to: a dangling or looping
    // link goes like any item. Only a missing entry is no error: never
    // queued, or another process dropped it first.
    if (retry_eintr([&] { return ::unlinkat(dir_fd, name, 0); }) != 0) {
        if (errno == ENOENT) return std::nullopt;
        return QueueError::io_errno(std::move(path), errno);
    }
    // Without this a power cut can bring the item back, to be emitted twice.
    if (retry_eintr([&] { return ::fsync(dir_fd); }) != 0) return QueueError::io_errno(std::move(path), errno);
    if (const int error = directory.close(); error != 0) return QueueError::io_errno(std::move(path), error);
    return std::nullopt;
}

}  // namespace zun
