// Proof trees: read with every limit checked, and written in canonical form.
//
// A tree is a node; a node is one or more items, each an attestation or an
// operation that leads to a node of its own. In canonical form a node's
// attestations come before its operations, each group sorted, and no item
// appears twice: two equal operations are one, whose node is the union of
// theirs. Reading says whether bytes are already canonical, so that the
// usual case (files written by any OpenTimestamps client, and every proof
// this module writes) is kept as it was read; only other bytes, unions and
// grafts go through the Arena, flat arrays that refer into the bytes read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/ots/format.hpp"

namespace zun::ots {

inline constexpr std::uint32_t kNoItem = 0xffffffff;

// One item of a node, as it stands in some bytes.
struct ItemView {
    std::uint8_t op = kAttestationTag;
    std::span<const std::uint8_t> data;     // an operation's argument; an attestation's 8-byte tag
    std::span<const std::uint8_t> payload;  // an attestation's payload
};

// The canonical order of the items of one node: attestations by tag, then
// by block height (chains), URL (pending) or payload (unknown); operations
// by tag, then argument. Negative, zero (the same item) or positive.
int compare_items(const ItemView& a, const ItemView& b);

// The item whose tag byte is at `at`, in bytes a reader has accepted.
ItemView read_item(const std::uint8_t* at);

// The block height of a chain attestation's payload, which has been read.
std::uint64_t payload_height(std::span<const std::uint8_t> payload);
// The URL of a pending attestation's payload, which has been read.
std::span<const std::uint8_t> payload_url(std::span<const std::uint8_t> payload);

// Trees read for rewriting. Items refer into the byte strings they were read
// from (the sources), which must outlive the arena.
class Arena {
public:
    struct Item {
        std::uint32_t offset = 0;  // an operation's argument; an attestation's tag
        std::uint32_t size = 0;    // argument or payload size
        std::uint32_t next = kNoItem;   // the next item of the same node
        std::uint32_t child = kNoItem;  // an operation: the first item of its node
        std::uint16_t source = 0;
        std::uint8_t op = kAttestationTag;
    };

    // The index of a new source; the arena holds at most 65535.
    std::optional<std::uint16_t> add_source(std::span<const std::uint8_t> bytes);
    std::span<const std::uint8_t> source(std::uint16_t index) const { return sources_[index]; }

    // Appends an item after `last` (kNoItem: as the first of a new node) and
    // returns its index.
    std::uint32_t add_item(const Item& item, std::uint32_t last);

    const Item& item(std::uint32_t index) const { return items_[index]; }
    // Room for `count` more items.
    void reserve(std::size_t count) { items_.reserve(items_.size() + count); }
    ItemView view(std::uint32_t index) const;
    std::size_t item_count() const { return items_.size(); }

    // Makes the node that operation `owner` leads to also hold the items of
    // the node whose first item is `head`; with `drop_pending`, the node's
    // own pending attestations are left out.
    void graft(std::uint32_t owner, std::uint32_t head, bool drop_pending);
    // Makes `head` the first item of the node that operation `owner` leads to.
    void set_child(std::uint32_t owner, std::uint32_t head) { items_[owner].child = head; }

    struct Graft {
        std::uint32_t owner;
        std::uint32_t head;
        bool drop_pending;
    };
    const std::vector<Graft>& grafts() const { return grafts_; }

private:
    std::vector<std::span<const std::uint8_t>> sources_;
    std::vector<Item> items_;
    std::vector<Graft> grafts_;
};

// Reads one tree from `cursor`, its first message `length` bytes long and
// `depth` operations below the digest. Checks every limit; on failure
// returns nullopt with the reason in `cursor`. With an arena, the items are
// added to it (the cursor's bytes being its source `source`) and the index
// of the root node's first item is returned; without one, kNoItem.
struct TreeRead {
    std::uint32_t head = kNoItem;
    bool canonical = true;
};
std::optional<TreeRead> read_tree(Cursor& cursor, std::size_t length, std::size_t depth, Arena* arena,
                                  std::uint16_t source);

// A node to write: the first item of a list in the arena, and whether its
// pending attestations are left out.
struct NodeSource {
    std::uint32_t head;
    bool drop_pending = false;
};

// Appends the canonical bytes of the union of `roots` to `out`, or returns
// the reason it cannot (a graft that nests operations beyond the limit).
std::optional<std::string> write_canonical(const Arena& arena, std::span<const NodeSource> roots, Bytes& out);

}  // namespace zun::ots
