// The spill queue's storage procedures. A queue is nothing but a directory
// holding one JSON file per item; nothing is cached between calls, so every
// queue object, thread or process naming the same directory sees the same
// items. Each procedure runs its file-system steps in order on the calling
// thread. Paths are raw bytes.
#pragma once

#include <cstddef>
#include <functional>
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

// The largest item file that is read: far above any envelope (the command
// line's cap on a line). A larger one fails the listing with an I/O error at
// its path and kOversizedItemMessage; it is never read whole, nor cut short.
inline constexpr std::size_t kMaxItemFileSize = std::size_t{16} << 20;
inline constexpr std::string_view kOversizedItemMessage = "item file is larger than 16 MiB, which no item is";
inline constexpr std::string_view kOversizedPushMessage =
    "the item file would be larger than 16 MiB, which the queue does not read";

// Asked between the items of a listing; true stops it.
using StopRequest = std::function<bool()>;

// Stores `envelope` under `pair_class` as the item file
// item_path(dir, envelope.exchange_id), creating `dir` and its missing
// ancestors first when `dir` does not exist. The file is replaced as a
// whole: a failure never leaves a partial item behind and never destroys an
// earlier copy. On success the item, and every directory made for it, is on
// stable storage; a re-spilled item keeps its file's permission bits. An
// exchange_id for which queue_id_is_usable is false is
// refused with a json error carrying kUnusableQueueIdMessage, before
// anything is touched; an item file larger than kMaxItemFileSize with one
// carrying kOversizedPushMessage, also before anything is touched.
std::optional<QueueError> spill(const std::string& dir, std::string_view pair_class,
                                const SignedEnvelope& envelope);

// The items of `dir` in ascending byte order of their file names (names
// ending in ".json" with something before it), each file read and decoded
// whole. A `dir` that cannot be queried yields no items; any failure fails
// the whole call, leaves `out` untouched and changes nothing on disk.
// `stop`, when given, is asked between items: once it says true, the call
// returns at once with no error and `out` untouched (its caller knows why).
std::optional<QueueError> enumerate(const std::string& dir, std::vector<QueuedItem>& out,
                                    const StopRequest& stop = {});

// Deletes the directory entry of `queue_id`'s item (filtered as item_path
// does), whatever it is or points to (a link is removed, not followed), and
// flushes `dir`, so that the item does not come back after a power cut. An
// entry that is not there, or that someone else deletes first, is no error;
// any other failure is.
std::optional<QueueError> remove(const std::string& dir, std::string_view queue_id);

}  // namespace zun
