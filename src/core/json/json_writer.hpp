// The one JSON writer of the wire records: compact (no whitespace outside
// strings) or the two-space indented layout of queue item files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace zun {

class JsonWriter {
public:
    enum class Layout : unsigned char { compact, indented };

    // The buffer starts with room for 128 bytes and grows as it fills.
    explicit JsonWriter(Layout layout = Layout::compact);

    void begin_object() { open('{'); }
    void end_object() { close('}'); }
    void begin_array() { open('['); }
    void end_array() { close(']'); }

    // Starts a member; `name` is written as it is and must need no escaping.
    void key(std::string_view name) {
        element();
        reserve(name.size() + 4);
        *cursor_++ = '"';
        std::memcpy(cursor_, name.data(), name.size());
        cursor_ += name.size();
        *cursor_++ = '"';
        *cursor_++ = ':';
        if (layout_ == Layout::indented) *cursor_++ = ' ';
    }
    // Starts an array element.
    void element() {
        if (!empty_) {
            reserve(1);
            *cursor_++ = ',';
        }
        empty_ = false;
        if (layout_ == Layout::indented) new_line();
    }

    // A JSON string: `"` and `\` get a backslash, U+0008, U+0009, U+000A,
    // U+000C and U+000D their short escapes, every other byte below 0x20
    // \u00xx in lowercase hex; every other byte (the solidus, U+007F and
    // all of UTF-8 above ASCII) is copied unchanged.
    void string(std::string_view text);
    // A string whose bytes are known to need no escaping.
    void plain_string(std::string_view text);
    void boolean(bool value) { raw(value ? std::string_view("true") : std::string_view("false")); }
    void null() { raw("null"); }
    void unsigned_integer(std::uint64_t value);

    // Makes room for `more` bytes in one step, for callers that can tell
    // roughly how long the text they are about to write will be.
    void expect(std::size_t more) { reserve(more); }

    std::string take();

private:
    void open(char bracket);
    void close(char bracket);
    void new_line();
    void raw(std::string_view bytes) {
        reserve(bytes.size());
        std::memcpy(cursor_, bytes.data(), bytes.size());
        cursor_ += bytes.size();
    }
    // Makes room for `n` more bytes after the cursor.
    void reserve(std::size_t n) {
        if (static_cast<std::size_t>(limit_ - cursor_) < n) grow(n);
    }
    void grow(std::size_t n);

    // The text is built in the string's own storage, kept at full size;
    // the cursor marks where the written part ends.
    std::string out_;
    char* cursor_ = nullptr;
    char* limit_ = nullptr;
    std::size_t depth_ = 0;
    bool empty_ = true;  // no member or element yet in the innermost container
    Layout layout_;
};

}  // namespace zun
