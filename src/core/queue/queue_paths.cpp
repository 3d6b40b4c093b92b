#include "core/queue/queue_paths.hpp"

#include <cstdlib>

#include "core/text/ascii.hpp"

namespace zun {

namespace {

constexpr bool is_kept(char c) {
    return is_digit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' || c == '_';
}

}  // namespace

void append_path_component(std::string& path, std::string_view component) {
    if (!path.empty() && path.back() != '/') path += '/';
    path.append(component);
}

std::string_view last_component(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string join_path(std::string_view left, std::string_view right) {
    std::string path;
    path.reserve(left.size() + 1 + right.size());
    path.append(left);
    append_path_component(path, right);
    return path;
}

std::string default_queue_dir() {
    const char* home = std::getenv("HOME");
    if (home == nullptr) return ".envelope-queue";
    return join_path(join_path(home, ".tamsel"), "envelope-queue");
}

std::string item_path(std::string_view dir, std::string_view queue_id) {
    std::string path;
    path.reserve(dir.size() + 1 + queue_id.size() + kItemExtension.size());
    path.append(dir);
    append_path_component(path, {});
    for (const char c : queue_id) {
        if (is_kept(c)) path += c;
    }
    path.append(kItemExtension);
    return path;
}

bool queue_id_is_usable(std::string_view queue_id) {
    for (const char c : queue_id) {
        if (is_kept(c)) return true;
    }
    return false;
}

}  // namespace zun
