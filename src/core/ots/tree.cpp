#include "core/ots/tree.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace zun::ots {
namespace {

// Python's order of byte strings: the first differing byte, else the shorter first.
int compare_bytes(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
    const std::size_t common = std::min(a.size(), b.size());
    if (common != 0) {
        if (const int order = std::memcmp(a.data(), b.data(), common)) return order;
    }
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

std::string byte_text(std::uint8_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", value);
    return text;
}

// The payload of an attestation of a known kind must say what it says and nothing more.
bool check_payload(Cursor& outer, AttestationKind kind, std::span<const std::uint8_t> payload, std::size_t at) {
    if (kind == AttestationKind::unknown) return true;
    Cursor cursor(payload, at);
    if (kind == AttestationKind::pending) {
        std::span<const std::uint8_t> url;
        if (!cursor.varbytes(url, 1, kMaxUrl, "the pending attestation's URL")) return outer.adopt(cursor);
        const std::string_view text(reinterpret_cast<const char*>(url.data()), url.size());
        if (auto fault = check_url_alphabet(text)) {
            return outer.fail_at(at, "the pending attestation's URL: " + *fault);
        }
    } else {
        std::uint64_t height;
        if (!cursor.varint(height, "a chain attestation's block height")) return outer.adopt(cursor);
    }
    if (!cursor.at_end()) {
        return outer.fail_at(at, "the " + std::string(kind_name(kind)) + " attestation's payload has " +
                                     std::to_string(cursor.remaining()) + " bytes after its " +
                                     (kind == AttestationKind::pending ? "URL" : "block height"));
    }
    return true;
}

}  // namespace

ItemView read_item(const std::uint8_t* at) {
    ItemView view;
    view.op = *at++;
    const auto varint = [&] {
        std::uint64_t value = 0;
        for (unsigned shift = 0;; shift += 7) {
            const std::uint8_t b = *at++;
            value |= static_cast<std::uint64_t>(b & 0x7f) << shift;
            if ((b & 0x80) == 0) return static_cast<std::size_t>(value);
        }
    };
    if (view.op == kAttestationTag) {
        view.data = {at, 8};
        at += 8;
        const std::size_t size = varint();
        view.payload = {at, size};
    } else if (is_binary_op(view.op)) {
        const std::size_t size = varint();
        view.data = {at, size};
    }
    return view;
}

std::uint64_t payload_height(std::span<const std::uint8_t> payload) {
    std::size_t pos = 0;
    return trusted_varint(payload, pos);
}

std::span<const std::uint8_t> payload_url(std::span<const std::uint8_t> payload) {
    std::size_t pos = 0;
    const std::uint64_t size = trusted_varint(payload, pos);
    return payload.subspan(pos, static_cast<std::size_t>(size));
}

int compare_items(const ItemView& a, const ItemView& b) {
    const bool a_attests = a.op == kAttestationTag, b_attests = b.op == kAttestationTag;
    if (a_attests != b_attests) return a_attests ? -1 : 1;
    if (!a_attests) {
        if (a.op != b.op) return a.op < b.op ? -1 : 1;
        return compare_bytes(a.data, b.data);
    }
    if (const int order = std::memcmp(a.data.data(), b.data.data(), 8)) return order;
    const AttestationKind kind = kind_of(a.data.first<8>());
    if (is_chain(kind)) {
        const std::uint64_t x = payload_height(a.payload), y = payload_height(b.payload);
        return x < y ? -1 : x > y ? 1 : 0;
    }
    if (kind == AttestationKind::pending) return compare_bytes(payload_url(a.payload), payload_url(b.payload));
    return compare_bytes(a.payload, b.payload);
}

std::optional<std::uint16_t> Arena::add_source(std::span<const std::uint8_t> bytes) {
    if (sources_.size() >= 0xffff || bytes.size() > 0xfffffffeU) return std::nullopt;
    sources_.push_back(bytes);
    return static_cast<std::uint16_t>(sources_.size() - 1);
}

std::uint32_t Arena::add_item(const Item& item, std::uint32_t last) {
    const auto index = static_cast<std::uint32_t>(items_.size());
    items_.push_back(item);
    if (last != kNoItem) items_[last].next = index;
    return index;
}

ItemView Arena::view(std::uint32_t index) const {
    const Item& item = items_[index];
    const std::span<const std::uint8_t> bytes = sources_[item.source];
    if (item.op != kAttestationTag) return {item.op, bytes.subspan(item.offset, item.size), {}};
    const std::size_t payload = item.offset + 8 + varint_size(item.size);
    return {item.op, bytes.subspan(item.offset, 8), bytes.subspan(payload, item.size)};
}

void Arena::graft(std::uint32_t owner, std::uint32_t head, bool drop_pending) {
    grafts_.push_back({owner, head, drop_pending});
}

std::optional<TreeRead> read_tree(Cursor& cursor, std::size_t length, std::size_t depth, Arena* arena,
                                  std::uint16_t source) {
    struct Frame {
        std::size_t length;
        std::size_t depth;
        std::uint32_t owner;  // the operation whose node this is (kNoItem: the root)
        std::uint32_t last;   // in the arena
        // The node's previous item, read again only to compare it with the
        // next: most nodes have one item, and frames stay small.
        const std::uint8_t* previous;
    };
    const auto refuse = [&](std::size_t at, std::string reason) -> std::optional<TreeRead> {
        cursor.fail_at(at, std::move(reason));
        return std::nullopt;
    };
    TreeRead read;
    // An item takes two bytes or more, the last of a node's one or more.
    if (arena != nullptr) arena->reserve(cursor.remaining() / 2 + 1);
    std::vector<Frame> stack;
    stack.push_back(Frame{length, depth, kNoItem, kNoItem, nullptr});
    while (!stack.empty()) {
        std::uint8_t tag;
        if (!cursor.byte(tag, "an item of the tree")) return std::nullopt;
        const bool more = tag == kBranch;
        if (more && !cursor.byte(tag, "the item after a branch marker")) return std::nullopt;
        const std::size_t item_at = cursor.offset() - 1;
        const std::uint8_t* at = cursor.here();

        ItemView view;
        view.op = tag;
        Frame& frame = stack.back();
        std::size_t child_length = 0;
        if (tag == kAttestationTag) {
            const std::uint8_t* tag_bytes;
            if (!cursor.bytes(8, tag_bytes, "an attestation's tag")) return std::nullopt;
            view.data = {tag_bytes, 8};
            const std::size_t payload_at = cursor.offset();
            if (!cursor.varbytes(view.payload, 0, kMaxPayload, "an attestation's payload")) return std::nullopt;
            const std::size_t inner = payload_at + varint_size(view.payload.size());
            if (!check_payload(cursor, kind_of(view.data.first<8>()), view.payload, inner)) return std::nullopt;
        } else if (!is_known_op(tag)) {
            return refuse(item_at, "unknown operation " + byte_text(tag));
        } else {
            if (frame.depth + 1 > kMaxDepth) {
                return refuse(item_at, "operations nested deeper than " + std::to_string(kMaxDepth));
            }
            const std::string_view name = op_name(tag);
            if (is_binary_op(tag)) {
                if (!cursor.varbytes(view.data, 1, kMaxArgument, tag == op::append ? "append's argument" : "prepend's argument")) {
                    return std::nullopt;
                }
                child_length = frame.length + view.data.size();
            } else if (is_hash_op(tag)) {
                child_length = digest_size(tag);
            } else if (tag == op::hexlify) {
                if (frame.length > kMaxHexlifyInput) {
                    return refuse(item_at, "hexlify of a " + std::to_string(frame.length) +
                                               "-byte message, above the limit of " + std::to_string(kMaxHexlifyInput));
                }
                child_length = 2 * frame.length;
            } else {
                child_length = frame.length;
            }
            if (child_length > kMaxMessage) {
                return refuse(item_at, std::string(name) + " makes a message of " + std::to_string(child_length) +
                                           " bytes, above the limit of " + std::to_string(kMaxMessage));
            }
        }

        if (frame.previous != nullptr && compare_items(read_item(frame.previous), view) >= 0) read.canonical = false;
        frame.previous = at - 1;

        std::uint32_t index = kNoItem;
        if (arena != nullptr) {
            Arena::Item item;
            item.source = source;
            item.op = tag;
            const std::uint8_t* base = arena->source(source).data();
            if (tag == kAttestationTag) {
                item.offset = static_cast<std::uint32_t>(view.data.data() - base);
                item.size = static_cast<std::uint32_t>(view.payload.size());
            } else if (is_binary_op(tag)) {
                item.offset = static_cast<std::uint32_t>(view.data.data() - base);
                item.size = static_cast<std::uint32_t>(view.data.size());
            } else {
                item.offset = static_cast<std::uint32_t>(at - base);
            }
            index = arena->add_item(item, frame.last);
            if (frame.last == kNoItem && frame.owner == kNoItem) {
                read.head = index;
            } else if (frame.last == kNoItem) {
                // The first item of an operation's node.
                arena->set_child(frame.owner, index);
            }
            frame.last = index;
        }

        if (tag == kAttestationTag) {
            if (!more) stack.pop_back();
        } else {
            if (more) {
                stack.push_back(Frame{child_length, frame.depth + 1, index, kNoItem, nullptr});
            } else {
                // The node is complete: its last item's node takes its place, written field by
                // field (a frame copied whole costs a stalled load per operation).
                frame.length = child_length;
                frame.depth += 1;
                frame.owner = index;
                frame.last = kNoItem;
                frame.previous = nullptr;
            }
        }
    }
    return read;
}

namespace {

class CanonicalWriter {
public:
    CanonicalWriter(const Arena& arena, Bytes& out) : arena_(arena), out_(out), grafts_(arena.grafts()) {
        std::sort(grafts_.begin(), grafts_.end(),
                  [](const Arena::Graft& a, const Arena::Graft& b) { return a.owner < b.owner; });
    }

    std::optional<std::string> write(std::span<const NodeSource> roots) {
        sources_.assign(roots.begin(), roots.end());
        out_.reserve(out_.size() + arena_.item_count() * 4);
        if (!write_node(0, sources_.size(), 0)) return reason_;
        return std::nullopt;
    }

private:
    bool is_pending(std::uint32_t index) const {
        const Arena::Item& item = arena_.item(index);
        return item.op == kAttestationTag &&
               kind_of(arena_.source(item.source).subspan(item.offset).first<8>()) == AttestationKind::pending;
    }

    // Writes the node made of the lists sources_[begin, end), `depth`
    // operations below the digest. Its items are gathered on top of
    // gathered_, and the sources of its operations' nodes on top of
    // sources_; both are stacks shared by every level, indexed rather than
    // iterated, as deeper levels grow them.
    bool write_node(std::size_t begin, std::size_t end, std::size_t depth) {
        const std::size_t first = gathered_.size();
        for (std::size_t s = begin; s < end; ++s) {
            for (std::uint32_t index = sources_[s].head; index != kNoItem; index = arena_.item(index).next) {
                if (sources_[s].drop_pending && is_pending(index)) continue;
                gathered_.push_back({arena_.view(index), index});
            }
        }
        const std::size_t last = gathered_.size();
        if (first == last) {
            reason_ = "a node without attestations or operations";
            return false;
        }
        const auto order = [](const Gathered& a, const Gathered& b) { return compare_items(a.view, b.view) < 0; };
        if (last - first > 1) {
            std::sort(gathered_.begin() + static_cast<std::ptrdiff_t>(first),
                      gathered_.begin() + static_cast<std::ptrdiff_t>(last), order);
        }

        for (std::size_t i = first; i < last;) {
            std::size_t j = i + 1;
            const ItemView view = gathered_[i].view;
            while (j < last && compare_items(view, gathered_[j].view) == 0) ++j;
            if (j < last) out_.push_back(kBranch);
            out_.push_back(view.op);
            if (view.op == kAttestationTag) {
                out_.insert(out_.end(), view.data.begin(), view.data.end());
                append_varint(out_, view.payload.size());
                out_.insert(out_.end(), view.payload.begin(), view.payload.end());
            } else {
                if (is_binary_op(view.op)) {
                    append_varint(out_, view.data.size());
                    out_.insert(out_.end(), view.data.begin(), view.data.end());
                }
                if (depth + 1 > kMaxDepth) {
                    reason_ = "operations nested deeper than " + std::to_string(kMaxDepth);
                    return false;
                }
                // Equal operations are one: its node is the union of theirs, with whatever is grafted on them.
                const std::size_t child_begin = sources_.size();
                for (std::size_t k = i; k < j; ++k) {
                    const std::uint32_t owner = gathered_[k].index;
                    bool drop = false;
                    if (!grafts_.empty()) {
                        auto [graft, graft_end] = std::equal_range(
                            grafts_.begin(), grafts_.end(), Arena::Graft{owner, 0, false},
                            [](const Arena::Graft& a, const Arena::Graft& b) { return a.owner < b.owner; });
                        for (; graft != graft_end; ++graft) {
                            sources_.push_back({graft->head, false});
                            drop = drop || graft->drop_pending;
                        }
                    }
                    sources_.push_back({arena_.item(owner).child, drop});
                }
                const std::size_t child_end = sources_.size();
                if (!write_node(child_begin, child_end, depth + 1)) return false;
                sources_.resize(child_begin);
            }
            i = j;
        }
        gathered_.resize(first);
        return true;
    }

    struct Gathered {
        ItemView view;
        std::uint32_t index;
    };

    const Arena& arena_;
    Bytes& out_;
    std::vector<Arena::Graft> grafts_;
    std::vector<Gathered> gathered_;
    std::vector<NodeSource> sources_;
    std::string reason_;
};

}  // namespace

std::optional<std::string> write_canonical(const Arena& arena, std::span<const NodeSource> roots, Bytes& out) {
    return CanonicalWriter(arena, out).write(roots);
}

}  // namespace zun::ots
