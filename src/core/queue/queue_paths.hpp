// Where the spill queue keeps its items: the default directory and the
// file of each item.
#pragma once

#include <string>
#include <string_view>

namespace zun {

// `right` appended to `left`, with a "/" between them only when `left` is
// non-empty and does not already end in one.
std::string join_path(std::string_view left, std::string_view right);
// The same join, in place.
void append_path_component(std::string& path, std::string_view component);
// The last component of `path`: what follows its last "/", or all of it.
std::string_view last_component(std::string_view path);

// $HOME/.tamsel/envelope-queue (HOME read now, as raw bytes; an empty HOME
// gives the relative ".tamsel/envelope-queue"), or the relative
// ".envelope-queue" when HOME is unset.
std::string default_queue_dir();

// The ending of every item file's name.
inline constexpr std::string_view kItemExtension = ".json";

// `dir` joined with the characters of `queue_id` among 0-9 A-Z a-z - _
// followed by ".json". Nothing else survives, so no identifier can name a
// file outside `dir`.
std::string item_path(std::string_view dir, std::string_view queue_id);

// False when the filter of item_path keeps no character of `queue_id`: such
// an item would be stored as ".json", a name enumeration never returns.
bool queue_id_is_usable(std::string_view queue_id);

// Why an envelope with an unusable exchange_id is refused.
inline constexpr std::string_view kUnusableQueueIdMessage =
    "queue_id has no character usable in a file name "
    "(it needs at least one ASCII letter, digit, '-' or '_')";

}  // namespace zun
