#include "core/ots/proof.hpp"

#include <algorithm>
#include <cstdio>

#include "core/ots/digests.hpp"
#include "core/text/hex.hpp"

namespace zun::ots {
namespace {

constexpr std::size_t kHeaderSize = kMagic.size() + 1;  // the magic and the version's one byte

AnchorError bad(std::string detail) { return AnchorError{AnchorError::Kind::bad_response, std::move(detail)}; }
AnchorError unsupported(std::string_view detail) {
    return AnchorError{AnchorError::Kind::unsupported, std::string(detail)};
}

std::string byte_text(std::uint8_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", value);
    return text;
}

std::string trailing(const Cursor& cursor, std::string_view what) {
    const std::size_t count = cursor.remaining();
    return std::to_string(count) + (count == 1 ? " byte" : " bytes") + " after the " + std::string(what) + " (at byte " +
           std::to_string(cursor.offset()) + ")";
}

// The header of a canonical file: magic, version, the digest's op and the digest.
Bytes file_header(std::uint8_t hash_op, std::span<const std::uint8_t> digest) {
    Bytes file(kMagic.begin(), kMagic.end());
    append_varint(file, kMajorVersion);
    file.push_back(hash_op);
    file.insert(file.end(), digest.begin(), digest.end());
    return file;
}

}  // namespace

std::variant<Proof, std::string> Proof::read(std::span<const std::uint8_t> file) {
    const std::size_t compared = std::min(file.size(), kMagic.size());
    if (!std::equal(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(compared), kMagic.begin())) {
        return std::string("not an .ots file: the magic bytes differ");
    }
    // Items refer into the file by 32-bit offsets when it is rewritten.
    if (file.size() > 0xfffffffeU) return std::string("a file of 4 GiB or more");
    Cursor cursor(file);
    const std::uint8_t* skipped;
    if (!cursor.bytes(kMagic.size(), skipped, "the magic")) return cursor.reason();
    std::uint64_t version;
    if (!cursor.varint(version, "the major version")) return cursor.reason();
    if (version != kMajorVersion) return "major version " + std::to_string(version) + ", expected 1";
    std::uint8_t hash_op;
    if (!cursor.byte(hash_op, "the file's hash op")) return cursor.reason();
    if (!is_hash_op(hash_op)) {
        const std::string_view name = op_name(hash_op);
        return (name.empty() ? "unknown file hash op " + byte_text(hash_op)
                             : "the file's hash op is " + std::string(name) + ", not a hash") +
               " (at byte " + std::to_string(kHeaderSize) + ")";
    }
    const std::uint8_t* digest;
    if (!cursor.bytes(digest_size(hash_op), digest, "the digest")) return cursor.reason();
    const std::size_t tree_at = cursor.position();
    const auto read = read_tree(cursor, digest_size(hash_op), 0, nullptr, 0);
    if (!read) return cursor.reason();
    if (!cursor.at_end()) {
        return trailing(cursor, "proof");
    }
    if (read->canonical) return Proof(Bytes(file.begin(), file.end()));

    Arena arena;
    const std::uint16_t source = *arena.add_source(file);
    Cursor again(file.subspan(tree_at), tree_at);
    const auto rewritten = read_tree(again, digest_size(hash_op), 0, &arena, source);
    const NodeSource root{rewritten->head};
    return assemble(hash_op, {digest, digest_size(hash_op)}, arena, {&root, 1});
}

std::variant<Proof, std::string> Proof::assemble(std::uint8_t hash_op, std::span<const std::uint8_t> digest,
                                                 const Arena& arena, std::span<const NodeSource> roots) {
    Bytes file = file_header(hash_op, digest);
    if (auto reason = write_canonical(arena, roots, file)) return std::move(*reason);
    file.shrink_to_fit();
    return Proof(std::move(file));
}

void walk(const Proof& proof, TreeVisitor& visitor) {
    const std::span<const std::uint8_t> tree = proof.tree();
    const std::span<const std::uint8_t> digest = proof.digest();
    struct Frame {
        std::size_t offset;  // of its message in `messages`
        std::size_t length;
        std::string_view missing;
    };
    // The messages of the nodes on the current path, one after another.
    Bytes messages(digest.begin(), digest.end());
    Bytes scratch;
    Hasher hasher;
    std::vector<Frame> stack{{0, digest.size(), {}}};
    visitor.node(kNoItem, digest, {});
    std::size_t pos = 0;
    std::uint32_t index = 0;
    while (!stack.empty()) {
        std::uint8_t tag = tree[pos++];
        const bool more = tag == kBranch;
        if (more) tag = tree[pos++];
        const Frame frame = stack.back();
        const std::span<const std::uint8_t> message(messages.data() + frame.offset, frame.length);
        const std::uint32_t item = index++;
        if (tag == kAttestationTag) {
            ItemView view{tag, tree.subspan(pos, 8), {}};
            pos += 8;
            const auto size = static_cast<std::size_t>(trusted_varint(tree, pos));
            view.payload = tree.subspan(pos, size);
            pos += size;
            visitor.attestation(view, frame.missing.empty() ? message : std::span<const std::uint8_t>{}, frame.missing);
            if (!more) {
                stack.pop_back();
                messages.resize(stack.empty() ? 0 : stack.back().offset + stack.back().length);
            }
            continue;
        }
        std::span<const std::uint8_t> argument;
        if (is_binary_op(tag)) {
            const auto size = static_cast<std::size_t>(trusted_varint(tree, pos));
            argument = tree.subspan(pos, size);
            pos += size;
        }
        std::string_view missing = frame.missing;
        if (missing.empty()) missing = hasher.apply(tag, argument, message, scratch);
        if (!missing.empty()) scratch.clear();
        if (!more) {
            // The node's last item: the node it leads to takes its place.
            stack.pop_back();
            messages.resize(frame.offset);
        }
        const Frame child{messages.size(), scratch.size(), missing};
        messages.insert(messages.end(), scratch.begin(), scratch.end());
        stack.push_back(child);
        visitor.node(item, std::span(messages).subspan(child.offset, child.length), missing);
    }
}

AnchorResult<std::vector<Attestation>> attestations(const Proof& proof, unsigned kinds) {
    struct Collect final : TreeVisitor {
        unsigned kinds = kAllKinds;
        std::vector<Attestation> found;
        std::string_view missing;
        void node(std::uint32_t, std::span<const std::uint8_t>, std::string_view) override {}
        void attestation(const ItemView& item, std::span<const std::uint8_t> message,
                         std::string_view why) override {
            const AttestationKind kind = kind_of(item.data.first<8>());
            if ((kinds & kind_bit(kind)) == 0) return;
            if (!why.empty()) {
                if (missing.empty()) missing = why;
                return;
            }
            Attestation& attestation = found.emplace_back();
            attestation.kind = kind;
            std::copy(item.data.begin(), item.data.end(), attestation.tag.begin());
            if (is_chain(kind)) attestation.height = payload_height(item.payload);
            if (kind == AttestationKind::pending) {
                const auto url = payload_url(item.payload);
                attestation.url.assign(url.begin(), url.end());
            }
            attestation.commitment.assign(message.begin(), message.end());
        }
    } collect;
    collect.kinds = kinds;
    walk(proof, collect);
    if (!collect.missing.empty()) return unsupported(collect.missing);
    return std::move(collect.found);
}

std::size_t attestation_count(const Proof& proof) {
    // Items stand one after another in the bytes, whatever their nesting.
    const std::span<const std::uint8_t> tree = proof.tree();
    std::size_t count = 0;
    for (std::size_t pos = 0; pos < tree.size();) {
        std::uint8_t tag = tree[pos++];
        if (tag == kBranch) tag = tree[pos++];
        if (tag == kAttestationTag) {
            ++count;
            pos += 8;
            pos += static_cast<std::size_t>(trusted_varint(tree, pos));
        } else if (is_binary_op(tag)) {
            pos += static_cast<std::size_t>(trusted_varint(tree, pos));
        }
    }
    return count;
}

std::variant<Proof, std::string> merge(const Proof& a, const Proof& b) {
    if (a.hash_op() != b.hash_op() || !std::ranges::equal(a.digest(), b.digest())) {
        return "a proof of another digest (" + std::string(op_name(b.hash_op())) + " " + hex_encode(b.digest()) +
               ", not " + std::string(op_name(a.hash_op())) + " " + hex_encode(a.digest()) + ")";
    }
    if (a == b) return a;
    Arena arena;
    NodeSource roots[2];
    const Proof* proofs[2] = {&a, &b};
    for (std::size_t i = 0; i < 2; ++i) {
        const std::uint16_t source = *arena.add_source(proofs[i]->tree());
        Cursor cursor(proofs[i]->tree());
        roots[i].head = read_tree(cursor, proofs[i]->digest().size(), 0, &arena, source)->head;
    }
    return Proof::assemble(a.hash_op(), a.digest(), arena, roots);
}

std::variant<std::uint32_t, std::string> read_answer(Arena& arena, std::span<const std::uint8_t> answer,
                                                     std::size_t length) {
    const auto source = arena.add_source(answer);
    if (!source) return std::string("too many answers, or one of 4 GiB or more");
    Cursor cursor(answer);
    const auto read = read_tree(cursor, length, 0, &arena, *source);
    if (!read) return cursor.reason();
    if (!cursor.at_end()) {
        return trailing(cursor, "tree");
    }
    return read->head;
}

bool holds_final_attestation(const Arena& arena, std::uint16_t source) {
    for (std::uint32_t i = 0; i < arena.item_count(); ++i) {
        const Arena::Item& item = arena.item(i);
        if (item.source != source || item.op != kAttestationTag) continue;
        if (kind_of(arena.source(source).subspan(item.offset).first<8>()) != AttestationKind::pending) return true;
    }
    return false;
}

AnchorResult<std::optional<Proof>> upgrade(const Proof& proof, std::span<const std::uint8_t> commitment,
                                           std::span<const std::uint8_t> answer) {
    struct Find final : TreeVisitor {
        std::span<const std::uint8_t> commitment;
        std::vector<std::uint32_t> owners;  // kNoItem: the root
        std::string_view missing;
        void node(std::uint32_t owner, std::span<const std::uint8_t> message, std::string_view why) override {
            if (!why.empty()) {
                if (missing.empty()) missing = why;
            } else if (std::ranges::equal(message, commitment)) {
                owners.push_back(owner);
            }
        }
        void attestation(const ItemView&, std::span<const std::uint8_t>, std::string_view) override {}
    } find;
    find.commitment = commitment;
    walk(proof, find);
    // A message that could not be computed might have been the one.
    if (find.owners.empty() && !find.missing.empty()) return unsupported(find.missing);
    if (find.owners.empty()) return std::optional<Proof>();

    Arena arena;
    const std::uint16_t own = *arena.add_source(proof.tree());
    Cursor cursor(proof.tree());
    const std::uint32_t head = read_tree(cursor, proof.digest().size(), 0, &arena, own)->head;
    auto read = read_answer(arena, answer, commitment.size());
    if (const auto* reason = std::get_if<std::string>(&read)) return bad("invalid .ots tree: " + *reason);
    const std::uint32_t graft = std::get<std::uint32_t>(read);
    const bool final = holds_final_attestation(arena, static_cast<std::uint16_t>(own + 1));

    std::vector<NodeSource> roots{{head, false}};
    for (const std::uint32_t owner : find.owners) {
        if (owner == kNoItem) {
            roots[0].drop_pending = final;
            roots.push_back({graft, false});
        } else {
            arena.graft(owner, graft, final);
        }
    }
    auto upgraded = Proof::assemble(proof.hash_op(), proof.digest(), arena, roots);
    if (auto* reason = std::get_if<std::string>(&upgraded)) {
        return bad("invalid .ots tree: grafted where the proof has that message, " + *reason);
    }
    return std::optional<Proof>(std::get<Proof>(std::move(upgraded)));
}

}  // namespace zun::ots
