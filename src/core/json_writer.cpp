#include "core/json_writer.hpp"

#include <array>
#include <cstdint>
#include <cstring>

namespace zun {

namespace {

// For each byte: 0 when it is copied as it is, 'u' for a \u00xx escape,
// otherwise the letter of its two-character escape.
constexpr std::array<char, 256> make_escape_table() {
    std::array<char, 256> table{};
    for (int c = 0; c < 0x20; ++c) table[static_cast<std::size_t>(c)] = 'u';
    table['"'] = '"';
    table['\\'] = '\\';
    table['\b'] = 'b';
    table['\t'] = 't';
    table['\n'] = 'n';
    table['\f'] = 'f';
    table['\r'] = 'r';
    return table;
}
constexpr std::array<char, 256> kEscape = make_escape_table();

constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHighs = 0x8080808080808080ULL;

// Non-zero when one of the eight bytes is below 0x20, a quotation mark or
// a reverse solidus. Bytes of 0x80 and above never count.
inline std::uint64_t needs_escape(std::uint64_t v) {
    const std::uint64_t ascii = ~v & kHighs;
    const std::uint64_t below_space = (v - kOnes * 0x20) & ascii;
    const std::uint64_t q = v ^ (kOnes * '"');
    const std::uint64_t quote = (q - kOnes) & ~q & kHighs;
    const std::uint64_t b = v ^ (kOnes * '\\');
    const std::uint64_t backslash = (b - kOnes) & ~b & kHighs;
    return below_space | quote | backslash;
}

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    out.reserve(out.size() + text.size() + 2);
    out.push_back('"');
    const char* p = text.data();
    const char* const end = p + text.size();
    const char* run = p;
    while (p < end) {
        if (end - p >= 8) {
            std::uint64_t word;
            std::memcpy(&word, p, 8);
            if (needs_escape(word) == 0) {
                p += 8;
                continue;
            }
        }
        const auto byte = static_cast<unsigned char>(*p);
        const char escape = kEscape[byte];
        if (escape == 0) {
            ++p;
            continue;
        }
        out.append(run, static_cast<std::size_t>(p - run));
        if (escape == 'u') {
            const char seq[6] = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 15]};
            out.append(seq, 6);
        } else {
            const char seq[2] = {'\\', escape};
            out.append(seq, 2);
        }
        run = ++p;
    }
    out.append(run, static_cast<std::size_t>(end - run));
    out.push_back('"');
}

JsonWriter::JsonWriter(Layout layout) : layout_(layout) { out_.reserve(128); }

void JsonWriter::new_line() {
    out_.push_back('\n');
    out_.append(2 * depth_, ' ');
}

void JsonWriter::open(char bracket) {
    out_.push_back(bracket);
    ++depth_;
    empty_ = true;
}

void JsonWriter::close(char bracket) {
    --depth_;
    if (layout_ == Layout::indented && !empty_) new_line();
    out_.push_back(bracket);
    // The container just closed is a value of the one around it.
    empty_ = false;
}

void JsonWriter::begin_object() { open('{'); }
void JsonWriter::end_object() { close('}'); }
void JsonWriter::begin_array() { open('['); }
void JsonWriter::end_array() { close(']'); }

void JsonWriter::element() {
    if (!empty_) out_.push_back(',');
    empty_ = false;
    if (layout_ == Layout::indented) new_line();
}

void JsonWriter::key(std::string_view name) {
    element();
    out_.push_back('"');
    out_ += name;
    if (layout_ == Layout::indented) {
        out_ += "\": ";
    } else {
        out_ += "\":";
    }
}

void JsonWriter::plain_string(std::string_view text) {
    out_.push_back('"');
    out_ += text;
    out_.push_back('"');
}

}  // namespace zun
