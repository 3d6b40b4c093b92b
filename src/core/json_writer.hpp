// The one JSON writer of the wire records: compact (no whitespace outside
// strings) or the two-space indented layout of queue item files.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zun {

// Appends `text` as a JSON string: `"` and `\` get a backslash, U+0008,
// U+0009, U+000A, U+000C and U+000D their short escapes, every other byte
// below 0x20 \u00xx in lowercase hex; every other byte (the solidus, U+007F
// and all of UTF-8 above ASCII) is copied unchanged.
void append_json_string(std::string& out, std::string_view text);

class JsonWriter {
public:
    enum class Layout : unsigned char { compact, indented };

    explicit JsonWriter(Layout layout = Layout::compact);

    void begin_object();
    void end_object();
    void begin_array();
    void end_array();

    // Starts a member; `name` is written as it is and must need no escaping.
    void key(std::string_view name);
    // Starts an array element.
    void element();

    void string(std::string_view text) { append_json_string(out_, text); }
    // A string whose bytes are known to need no escaping.
    void plain_string(std::string_view text);
    void boolean(bool value) { out_ += value ? std::string_view("true") : std::string_view("false"); }
    void null() { out_ += "null"; }

    std::string take() { return std::move(out_); }

private:
    void open(char bracket);
    void close(char bracket);
    void new_line();

    std::string out_;
    std::size_t depth_ = 0;
    bool empty_ = true;  // no member or element yet in the innermost container
    Layout layout_;
};

}  // namespace zun
