// The spill queue's storage procedures. A queue is nothing but a directory
// holding one JSON file per item; nothing is cached between calls, so every
// queue object, thread or process naming the same directory sees the same
// items. Each procedure runs its file-system steps in order on the calling
// thread. Paths are raw bytes.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/queue/queue_error.hpp"
#include "core/queue/queue_paths.hpp"
#include "core/protocol/records.hpp"

namespace zun {

// Why an item file that is not a regular file (after following links) is
// not read.
inline constexpr std::string_view kNotRegularItemMessage = "item file is not a regular file";

// Stores `envelope` under `pair_class` as the item file
// item_path(dir, envelope.exchange_id), creating `dir` and its missing
// ancestors first when `dir` does not exist. The file is replaced as a
// whole: a failure never leaves a partial item behind and never destroys an
// earlier copy. On success the item, and every directory made for it, is on
// stable storage; a re-spilled item keeps its file's permission bits. An
// exchange_id for which queue_id_is_usable is false is
// refused with a json error carrying kUnusableQueueIdMessage, before
// anything is touched.
std::optional<QueueError> spill(const std::string& dir, std::string_view pair_class,
                                const SignedEnvelope& envelope);

// The items of `dir` in ascending byte order of their file names (names
// ending in ".json" with something before it), each file read and decoded
// whole. A `dir` that cannot be queried yields no items; any failure fails
// the whole call, leaves `out` untouched and changes nothing on disk.
std::optional<QueueError> enumerate(const std::string& dir, std::vector<QueuedItem>& out);

// Deletes the item file of `queue_id` (filtered as item_path does) and
// flushes `dir`, so that the item does not come back after a power cut. An
// item that is not there, or that someone else deletes first, is no error.
std::optional<QueueError> remove(const std::string& dir, std::string_view queue_id);

}  // namespace zun
