// The one error of the spill queue's storage procedures.
#pragma once

#include <cstdint>
#include <string>

namespace zun {

struct QueueError {
    enum class Kind : std::uint8_t {
        io,    // a file-system step failed at `path`
        json,  // an item could not be encoded or decoded
    };

    Kind kind = Kind::io;
    std::string path;   // raw path bytes of the failing step; empty for json
    std::string cause;  // e.g. "No such file or directory (os error 2)"

    static QueueError io(std::string path, std::string cause);
    static QueueError io_errno(std::string path, int errnum);
    static QueueError json(std::string cause);

    // "queue I/O error at <path>: <cause>" (the path with invalid UTF-8
    // replaced by U+FFFD) or "queue JSON error: <cause>".
    std::string display() const;
};

}  // namespace zun
