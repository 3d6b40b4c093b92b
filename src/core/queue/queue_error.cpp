#include "core/queue/queue_error.hpp"

#include <utility>

#include "core/queue/os_error.hpp"
#include "core/text/utf8_lossy.hpp"

namespace zun {

QueueError QueueError::io(std::string path, std::string cause) {
    return QueueError{Kind::io, std::move(path), std::move(cause)};
}

QueueError QueueError::io_errno(std::string path, int errnum) {
    return io(std::move(path), os_error_text(errnum));
}

QueueError QueueError::json(std::string cause) {
    return QueueError{Kind::json, std::string(), std::move(cause)};
}

std::string QueueError::display() const {
    std::string text;
    if (kind == Kind::json) {
        text.reserve(18 + cause.size());
        text = "queue JSON error: ";
        text += cause;
        return text;
    }
    text.reserve(19 + path.size() + 2 + cause.size());
    text = "queue I/O error at ";
    append_utf8_lossy(text, path);
    text += ": ";
    text += cause;
    return text;
}

}  // namespace zun
