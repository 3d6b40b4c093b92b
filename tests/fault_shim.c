/* LD_PRELOAD shim for the queue's fault-injection tests. It sits between the
 * extension and the C library for the file-system calls of push, list and
 * drop_item, and, for calls on paths below a watched directory only, logs
 * them and fails one of them or shortens reads and writes on request.
 * Controlled from Python through ctypes (see tests/queue_fault_child.py). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

static char watched[4096];
static int log_fd = -1;
static char armed_call[32];
static int armed_nth, armed_errno, seen, fired, refuse_tmpfile;
static size_t short_len;

int unlink(const char* path);
static ssize_t (*real_write_fn)(int, const void*, size_t);

#define REAL(name) \
    static __typeof__(&name) real_##name; \
    if (!real_##name) real_##name = (__typeof__(&name))dlsym(RTLD_NEXT, #name)

void zun_fault_watch(const char* prefix, const char* log_path) {
    snprintf(watched, sizeof watched, "%s", prefix);
    if (!real_write_fn) real_write_fn = (ssize_t (*)(int, const void*, size_t))dlsym(RTLD_NEXT, "write");
    if (log_fd >= 0) close(log_fd);
    int (*real_open_fn)(const char*, int, ...) = (int (*)(const char*, int, ...))dlsym(RTLD_NEXT, "open");
    log_fd = log_path ? real_open_fn(log_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644) : -1;
}

/* Fail the nth watched call named `call` with `err`, or with err == -1 remove
 * its path just before it runs; with err == 0, make every watched read and
 * write move at most `shorten` bytes. */
void zun_fault_arm(const char* call, int nth, int err, int shorten) {
    snprintf(armed_call, sizeof armed_call, "%s", call);
    armed_nth = nth;
    armed_errno = err;
    short_len = (size_t)shorten;
    seen = fired = 0;
}

int zun_fault_fired(void) { return fired; }

/* Makes O_TMPFILE fail as on a file system without it. */
void zun_fault_refuse_tmpfile(int refuse) { refuse_tmpfile = refuse; }

static void resolve(int dirfd, const char* path, char* out, size_t size) {
    if (path[0] == '/') {
        snprintf(out, size, "%s", path);
        return;
    }
    char base[4096] = "";
    if (dirfd == AT_FDCWD) {
        if (!getcwd(base, sizeof base)) base[0] = 0;
    } else {
        char link[64];
        snprintf(link, sizeof link, "/proc/self/fd/%d", dirfd);
        ssize_t n = readlink(link, base, sizeof base - 1);
        base[n > 0 ? n : 0] = 0;
    }
    snprintf(out, size, "%s/%s", base, path);
}

static void fd_path(int fd, char* out, size_t size) {
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, out, size - 1);
    out[n > 0 ? n : 0] = 0;
}

/* Logs a watched call; returns -1 with errno set when it is to fail. */
static int visit(const char* call, const char* path, const char* note) {
    if (!watched[0] || strncmp(path, watched, strlen(watched)) != 0) return 0;
    if (log_fd >= 0 && real_write_fn) {
        char line[8300];
        int n = snprintf(line, sizeof line, "%s %s%s\n", call, path, note);
        real_write_fn(log_fd, line, (size_t)n);
    }
    if (armed_errno && strcmp(call, armed_call) == 0 && ++seen == armed_nth) {
        fired = 1;
        if (armed_errno == -1) {
            /* Another process wins a race: the entry goes just before the call. */
            REAL(unlink);
            real_unlink(path);
            return 0;
        }
        errno = armed_errno;
        return -1;
    }
    return 0;
}

static int visit_path(const char* call, int dirfd, const char* path, const char* note) {
    char full[8200];
    resolve(dirfd, path, full, sizeof full);
    return visit(call, full, note);
}

static int visit_fd(const char* call, int fd) {
    char full[4096];
    fd_path(fd, full, sizeof full);
    return visit(call, full, "");
}

static int watched_fd(int fd) {
    char full[4096];
    fd_path(fd, full, sizeof full);
    return watched[0] && strncmp(full, watched, strlen(watched)) == 0;
}

static int do_openat(int dirfd, const char* path, int flags, mode_t mode) {
    REAL(openat);
    const int tmpfile = (flags & O_TMPFILE) == O_TMPFILE;
    if (visit_path("open", dirfd, path, tmpfile ? " tmpfile" : "") != 0) return -1;
    if (tmpfile && refuse_tmpfile) {
        errno = EOPNOTSUPP;
        return -1;
    }
    return real_openat(dirfd, path, flags, mode);
}

static mode_t mode_arg(int flags, va_list args) {
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(args, mode_t) : 0;
}

int open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_arg(flags, args);
    va_end(args);
    return do_openat(AT_FDCWD, path, flags, mode);
}

int open64(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_arg(flags, args);
    va_end(args);
    return do_openat(AT_FDCWD, path, flags, mode);
}

int openat(int dirfd, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_arg(flags, args);
    va_end(args);
    return do_openat(dirfd, path, flags, mode);
}

int openat64(int dirfd, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_arg(flags, args);
    va_end(args);
    return do_openat(dirfd, path, flags, mode);
}

ssize_t read(int fd, void* buf, size_t count) {
    REAL(read);
    if (!watched[0]) return real_read(fd, buf, count);
    if (visit_fd("read", fd) != 0) return -1;
    if (short_len && !strcmp(armed_call, "read") && count > short_len && watched_fd(fd)) count = short_len, fired = 1;
    return real_read(fd, buf, count);
}

ssize_t write(int fd, const void* buf, size_t count) {
    REAL(write);
    if (!watched[0]) return real_write(fd, buf, count);
    if (visit_fd("write", fd) != 0) return -1;
    if (short_len && !strcmp(armed_call, "write") && count > short_len && watched_fd(fd)) count = short_len, fired = 1;
    return real_write(fd, buf, count);
}

int fsync(int fd) {
    REAL(fsync);
    if (watched[0] && visit_fd("fsync", fd) != 0) return -1;
    return real_fsync(fd);
}

int fchmod(int fd, mode_t mode) {
    REAL(fchmod);
    if (watched[0] && visit_fd("fchmod", fd) != 0) return -1;
    return real_fchmod(fd, mode);
}

int close(int fd) {
    REAL(close);
    if (watched[0] && fd != log_fd && visit_fd("close", fd) != 0) {
        real_close(fd); /* a failing close still releases the descriptor */
        errno = armed_errno;
        return -1;
    }
    return real_close(fd);
}

int rename(const char* from, const char* to) {
    REAL(rename);
    if (watched[0] && visit_path("rename", AT_FDCWD, to, "") != 0) return -1;
    return real_rename(from, to);
}

int renameat(int olddirfd, const char* from, int newdirfd, const char* to) {
    REAL(renameat);
    if (watched[0] && visit_path("rename", newdirfd, to, "") != 0) return -1;
    return real_renameat(olddirfd, from, newdirfd, to);
}

int unlinkat(int dirfd, const char* path, int flags) {
    REAL(unlinkat);
    if (watched[0] && visit_path("unlink", dirfd, path, "") != 0) return -1;
    return real_unlinkat(dirfd, path, flags);
}

int linkat(int olddirfd, const char* from, int newdirfd, const char* to, int flags) {
    REAL(linkat);
    if (watched[0] && visit_path("link", newdirfd, to, "") != 0) return -1;
    return real_linkat(olddirfd, from, newdirfd, to, flags);
}

int unlink(const char* path) {
    REAL(unlink);
    if (watched[0] && visit_path("unlink", AT_FDCWD, path, "") != 0) return -1;
    return real_unlink(path);
}

int mkdir(const char* path, mode_t mode) {
    REAL(mkdir);
    if (watched[0] && visit_path("mkdir", AT_FDCWD, path, "") != 0) return -1;
    return real_mkdir(path, mode);
}
