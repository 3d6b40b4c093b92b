/* The bare system calls behind the queue's push and list, for comparison:
 *
 *   syscall_floor push <dir> <item-file> <rounds>
 *       stat(dir), then open a temporary file, write the item's bytes, close
 *       it and rename it over <dir>/floor.json; seven batches of <rounds>;
 *   syscall_floor list <dir> <rounds>
 *       stat(dir), opendir/readdir over every entry, then open/read/close
 *       each "*.json" entry, <rounds> times.
 *
 * Prints the nanoseconds of one round: for push the mean of the best batch,
 * for list the best round. No parsing, no sorting, no
 * allocation per file: what remains is the kernel's share of the work. */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static double now_ns(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec * 1e9 + (double)t.tv_nsec;
}

static void die(const char* what) {
    perror(what);
    exit(1);
}

static void push_round(const char* dir, const char* temp, const char* target, const char* bytes, size_t size) {
    struct stat status;
    if (stat(dir, &status) != 0) die("stat");
    int fd = open(temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) die("open");
    if (write(fd, bytes, size) != (ssize_t)size) die("write");
    if (close(fd) != 0) die("close");
    if (rename(temp, target) != 0) die("rename");
}

static size_t list_round(const char* dir, char* buffer, size_t capacity) {
    struct stat status;
    if (stat(dir, &status) != 0) die("stat");
    DIR* handle = opendir(dir);
    if (handle == NULL) die("opendir");
    size_t total = 0;
    const struct dirent* entry;
    while ((entry = readdir(handle)) != NULL) {
        size_t length = strlen(entry->d_name);
        if (length <= 5 || strcmp(entry->d_name + length - 5, ".json") != 0) continue;
        int fd = openat(dirfd(handle), entry->d_name, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) die("openat");
        ssize_t got = read(fd, buffer, capacity);
        if (got < 0) die("read");
        total += (size_t)got;
        close(fd);
    }
    closedir(handle);
    return total;
}

int main(int argc, char** argv) {
    if (argc == 5 && strcmp(argv[1], "push") == 0) {
        const char* dir = argv[2];
        int rounds = atoi(argv[4]);
        FILE* item = fopen(argv[3], "rb");
        if (item == NULL) die("fopen");
        static char bytes[1 << 20];
        size_t size = fread(bytes, 1, sizeof bytes, item);
        fclose(item);
        char temp[4096], target[4096];
        snprintf(temp, sizeof temp, "%s/.floor.tmp", dir);
        snprintf(target, sizeof target, "%s/floor.json", dir);
        double best = 1e300;
        for (int batch = 0; batch < 7; ++batch) {
            double start = now_ns();
            for (int r = 0; r < rounds; ++r) push_round(dir, temp, target, bytes, size);
            double took = (now_ns() - start) / rounds;
            if (took < best) best = took;
        }
        unlink(target);
        printf("%.0f\n", best);
        return 0;
    }
    if (argc == 4 && strcmp(argv[1], "list") == 0) {
        int rounds = atoi(argv[3]);
        static char buffer[1 << 16];
        double best = 1e300;
        size_t sink = 0;
        for (int r = 0; r < rounds; ++r) {
            double start = now_ns();
            sink += list_round(argv[2], buffer, sizeof buffer);
            double took = now_ns() - start;
            if (took < best) best = took;
        }
        printf("%.0f\n", best);
        return sink == 0;
    }
    fprintf(stderr, "usage: %s push <dir> <item-file> <rounds> | list <dir> <rounds>\n", argv[0]);
    return 2;
}
