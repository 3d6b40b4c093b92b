#include "core/ots/format.hpp"

#include <algorithm>
#include <cstdio>

namespace zun::ots {

std::string_view op_name(std::uint8_t tag) {
    switch (tag) {
        case op::sha1: return "sha1";
        case op::ripemd160: return "ripemd160";
        case op::sha256: return "sha256";
        case op::keccak256: return "keccak256";
        case op::append: return "append";
        case op::prepend: return "prepend";
        case op::reverse: return "reverse";
        case op::hexlify: return "hexlify";
        default: return {};
    }
}

std::optional<std::uint8_t> hash_op_named(std::string_view name) {
    for (const std::uint8_t tag : {op::sha1, op::ripemd160, op::sha256, op::keccak256}) {
        if (op_name(tag) == name) return tag;
    }
    return std::nullopt;
}

AttestationKind kind_of(std::span<const std::uint8_t, 8> tag) {
    const auto is = [&](const AttestationTag& known) { return std::equal(known.begin(), known.end(), tag.begin()); };
    if (is(kBitcoinTag)) return AttestationKind::bitcoin;
    if (is(kLitecoinTag)) return AttestationKind::litecoin;
    if (is(kEthereumTag)) return AttestationKind::ethereum;
    if (is(kPendingTag)) return AttestationKind::pending;
    return AttestationKind::unknown;
}

std::string_view kind_name(AttestationKind kind) {
    switch (kind) {
        case AttestationKind::bitcoin: return "bitcoin";
        case AttestationKind::litecoin: return "litecoin";
        case AttestationKind::ethereum: return "ethereum";
        case AttestationKind::pending: return "pending";
        case AttestationKind::unknown: return "unknown";
    }
    return "unknown";
}

std::optional<std::string> check_url_alphabet(std::string_view url) {
    for (std::size_t i = 0; i < url.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(url[i]);
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                             c == '_' || c == '/' || c == ':' || c == '-';
        if (!allowed) {
            char text[96];
            std::snprintf(text, sizeof text, "byte %zu is 0x%02x, outside [A-Za-z0-9._/:-]", i, c);
            return std::string(text);
        }
    }
    return std::nullopt;
}

void append_varint(Bytes& out, std::uint64_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<std::uint8_t>(value | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<std::uint8_t>(value));
}

std::size_t varint_size(std::uint64_t value) {
    std::size_t size = 1;
    while (value >= 0x80) {
        value >>= 7;
        ++size;
    }
    return size;
}

bool Cursor::fail_at(std::size_t offset, std::string reason) {
    reason_ = std::move(reason) + " (at byte " + std::to_string(offset) + ")";
    return false;
}

bool Cursor::fail(std::string reason) { return fail_at(offset(), std::move(reason)); }

bool Cursor::byte(std::uint8_t& out, std::string_view what) {
    if (at_end()) return fail("truncated: the data ends before " + std::string(what));
    out = data_[pos_++];
    return true;
}

bool Cursor::bytes(std::size_t count, const std::uint8_t*& out, std::string_view what) {
    if (remaining() < count) {
        return fail("truncated: " + std::string(what) + " needs " + std::to_string(count) + " bytes, " +
                    (remaining() == 1 ? std::string("1 remains") : std::to_string(remaining()) + " remain"));
    }
    out = data_.data() + pos_;
    pos_ += count;
    return true;
}

bool Cursor::varint(std::uint64_t& out, std::string_view what, std::string_view suffix) {
    const std::size_t start = offset();
    const auto refuse = [&](std::string_view fault) {
        return fail_at(start, std::string(what).append(suffix).append(fault));
    };
    std::uint64_t value = 0;
    for (unsigned shift = 0;; shift += 7) {
        if (at_end()) return fail("truncated: the data ends in " + std::string(what).append(suffix));
        const std::uint8_t b = data_[pos_++];
        const std::uint64_t bits = b & 0x7f;
        // The tenth byte holds the 64th bit alone.
        if (shift == 63 && (bits > 1 || (b & 0x80) != 0)) return refuse(" is a varint above 64 bits");
        value |= bits << shift;
        if ((b & 0x80) == 0) {
            // A last byte of zero after others adds nothing: the same number has a shorter form.
            if (b == 0 && shift != 0) return refuse(" is a varint not in its shortest form");
            out = value;
            return true;
        }
    }
}

bool Cursor::varbytes(std::span<const std::uint8_t>& out, std::size_t below, std::size_t limit, std::string_view what) {
    const std::size_t start = offset();
    std::uint64_t size;
    if (!varint(size, what, "'s length")) return false;
    if (size < below || size > limit) {
        return fail_at(start, std::string(what) + " of " + std::to_string(size) + " bytes, outside " +
                                  std::to_string(below) + " to " + std::to_string(limit));
    }
    const std::uint8_t* data;
    if (!bytes(static_cast<std::size_t>(size), data, what)) return false;
    out = {data, static_cast<std::size_t>(size)};
    return true;
}

}  // namespace zun::ots
