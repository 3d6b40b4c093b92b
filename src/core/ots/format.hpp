// The .ots serialisation of OpenTimestamps proofs: the file header, the tags
// of operations and attestations, the limits every reader holds a proof to,
// and the unsigned LEB128 varints that carry lengths and block heights.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zun::ots {

using Bytes = std::vector<std::uint8_t>;

// "\0OpenTimestamps\0\0Proof\0" and eight bytes that make the header unlikely
// to be met by chance.
inline constexpr std::array<std::uint8_t, 31> kMagic = {
    0x00, 0x4f, 0x70, 0x65, 0x6e, 0x54, 0x69, 0x6d, 0x65, 0x73, 0x74, 0x61, 0x6d, 0x70, 0x73, 0x00,
    0x00, 0x50, 0x72, 0x6f, 0x6f, 0x66, 0x00, 0xbf, 0x89, 0xe2, 0xe8, 0x84, 0xe8, 0x92, 0x94,
};
inline constexpr std::uint64_t kMajorVersion = 1;

inline constexpr std::size_t kMaxMessage = 4096;
inline constexpr std::size_t kMaxHexlifyInput = 2048;
inline constexpr std::size_t kMaxArgument = 4096;
// Operations on any path from the file's digest to an attestation.
inline constexpr std::size_t kMaxDepth = 256;
inline constexpr std::size_t kMaxPayload = 8192;
inline constexpr std::size_t kMaxUrl = 1000;

// Tree bytes: a branch marker before every item of a node but its last, and
// the byte that starts an attestation; any other byte is an operation's tag.
inline constexpr std::uint8_t kBranch = 0xff;
inline constexpr std::uint8_t kAttestationTag = 0x00;

namespace op {
inline constexpr std::uint8_t sha1 = 0x02;
inline constexpr std::uint8_t ripemd160 = 0x03;
inline constexpr std::uint8_t sha256 = 0x08;
inline constexpr std::uint8_t keccak256 = 0x67;
inline constexpr std::uint8_t append = 0xf0;
inline constexpr std::uint8_t prepend = 0xf1;
inline constexpr std::uint8_t reverse = 0xf2;
inline constexpr std::uint8_t hexlify = 0xf3;
}  // namespace op

constexpr bool is_hash_op(std::uint8_t tag) {
    return tag == op::sha1 || tag == op::ripemd160 || tag == op::sha256 || tag == op::keccak256;
}
constexpr bool is_binary_op(std::uint8_t tag) { return tag == op::append || tag == op::prepend; }
constexpr bool is_known_op(std::uint8_t tag) {
    return is_hash_op(tag) || is_binary_op(tag) || tag == op::reverse || tag == op::hexlify;
}
// The digest size of a hash op.
constexpr std::size_t digest_size(std::uint8_t tag) { return tag == op::sha1 || tag == op::ripemd160 ? 20 : 32; }
// "sha256", "append", ...; empty for a tag that is no operation.
std::string_view op_name(std::uint8_t tag);
// The hash op of a name hash_algorithm gives back.
std::optional<std::uint8_t> hash_op_named(std::string_view name);

using AttestationTag = std::array<std::uint8_t, 8>;
inline constexpr AttestationTag kBitcoinTag = {0x05, 0x88, 0x96, 0x0d, 0x73, 0xd7, 0x19, 0x01};
inline constexpr AttestationTag kLitecoinTag = {0x06, 0x86, 0x9a, 0x0d, 0x73, 0xd7, 0x1b, 0x45};
inline constexpr AttestationTag kEthereumTag = {0x30, 0xfe, 0x80, 0x87, 0xb5, 0xc7, 0xea, 0xd7};
inline constexpr AttestationTag kPendingTag = {0x83, 0xdf, 0xe3, 0x0d, 0x2e, 0xf9, 0x0c, 0x8e};

// The index is the order of the kinds' tags.
enum class AttestationKind : std::uint8_t { bitcoin, litecoin, ethereum, pending, unknown };
AttestationKind kind_of(std::span<const std::uint8_t, 8> tag);
std::string_view kind_name(AttestationKind kind);
constexpr bool is_chain(AttestationKind kind) { return kind <= AttestationKind::ethereum; }

// Letters, digits and "._/:-": what a pending attestation's URL (and an
// anchor's calendar) may hold. Nullopt when `url` holds only these, else the
// reason, naming the first other byte.
std::optional<std::string> check_url_alphabet(std::string_view url);

void append_varint(Bytes& out, std::uint64_t value);
std::size_t varint_size(std::uint64_t value);
// Reads at `pos` a varint that a Cursor has already accepted, and moves past it.
inline std::uint64_t trusted_varint(std::span<const std::uint8_t> data, std::size_t& pos) {
    std::uint64_t value = 0;
    for (unsigned shift = 0;; shift += 7) {
        const std::uint8_t b = data[pos++];
        value |= static_cast<std::uint64_t>(b & 0x7f) << shift;
        if ((b & 0x80) == 0) return value;
    }
}

// Reads the .ots encoding from a byte string; a failure is kept as the
// reason, with the offset in the outer data where it was found.
class Cursor {
public:
    // `base` is the offset of data[0] in whatever the reasons count from.
    explicit Cursor(std::span<const std::uint8_t> data, std::size_t base = 0) : data_(data), base_(base) {}

    bool at_end() const noexcept { return pos_ == data_.size(); }
    std::size_t remaining() const noexcept { return data_.size() - pos_; }
    std::size_t position() const noexcept { return pos_; }
    std::size_t offset() const noexcept { return base_ + pos_; }
    const std::uint8_t* here() const noexcept { return data_.data() + pos_; }

    // Each returns false after recording the reason; `what` names the field
    // in the reason for a truncation.
    bool byte(std::uint8_t& out, std::string_view what);
    bool bytes(std::size_t count, const std::uint8_t*& out, std::string_view what);
    // Shortest-form unsigned LEB128 that fits 64 bits; `suffix` follows
    // `what` in a reason.
    bool varint(std::uint64_t& out, std::string_view what, std::string_view suffix = {});
    // A varint length of at most `limit`, then that many bytes. `below` is the
    // smallest length accepted.
    bool varbytes(std::span<const std::uint8_t>& out, std::size_t below, std::size_t limit, std::string_view what);

    // Records `reason` as the failure, with the current offset, and returns false.
    bool fail(std::string reason);
    bool fail_at(std::size_t offset, std::string reason);
    // Takes the failure of a cursor over part of these bytes.
    bool adopt(const Cursor& inner) {
        reason_ = inner.reason_;
        return false;
    }
    const std::string& reason() const noexcept { return reason_; }

private:
    std::span<const std::uint8_t> data_;
    std::size_t base_;
    std::size_t pos_ = 0;
    std::string reason_;
};

}  // namespace zun::ots
