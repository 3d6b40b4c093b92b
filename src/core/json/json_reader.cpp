#include "core/json/json_reader.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "core/text/debug_quote.hpp"
#include "core/text/hex.hpp"
#include "core/text/utf8.hpp"
#include "core/time/instant.hpp"
#include "core/json/json_cursor.hpp"
#include "core/json/json_number.hpp"
#include "core/json/json_scan.hpp"

namespace zun::json {

namespace {

std::string struct_expected(const RecordDesc& desc) { return "struct " + std::string(desc.name); }

std::string enum_expected(std::span<const std::string_view> names) {
    std::string out;
    if (names.size() > 2) out += "one of ";
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i != 0) out += names.size() == 2 ? " or " : ", ";
        out += '`';
        out += names[i];
        out += '`';
    }
    return out;
}

class Reader : private Cursor {
public:
    explicit Reader(std::string_view text)
        : Cursor(reinterpret_cast<const unsigned char*>(text.data()), text.size()) {}

    void read_document(const RecordDesc& desc, void* out) {
        read_struct(desc, out);
        if (skip_ws() >= 0) fail_peek(Code::trailing_characters);
    }

private:
    // ---- cursor ----

    // Skips whitespace and returns the byte after it (-1 at the end).
    int skip_ws() {
        // Compact text has none: the common answer comes first.
        if (i_ < n_ && s_[i_] > ' ') return s_[i_];
        while (i_ < n_) {
            const unsigned char c = s_[i_];
            if (c != ' ' && c != '\n' && c != '\r' && c != '\t') return c;
            ++i_;
        }
        return -1;
    }

    [[noreturn]] static void fail_unplaced(std::string message) { throw Fault{std::move(message), 0, false}; }

    void enter() {
        if (--depth_left_ == 0) fail_peek(Code::recursion_limit);
        ++i_;
    }
    void leave() { ++depth_left_; }

    void parse_colon() {
        const int c = skip_ws();
        if (c == ':') {
            ++i_;
            return;
        }
        fail_peek(c < 0 ? Code::eof_object : Code::expected_colon);
    }

    // ---- strings ----

    // Moves past plain text: printable ASCII other than `"` and `\`; with
    // `ascii_only` false also every byte of 0x80 and above.
    template <bool ascii_only>
    void skip_plain() {
        i_ = static_cast<std::size_t>(json_scan::find_stop<ascii_only>(s_ + i_, s_ + n_) - s_);
    }

    std::uint32_t decode_hex_escape() {
        if (n_ - i_ < 4) {
            i_ = n_;
            fail(Code::eof_string);
        }
        std::uint32_t value = 0;
        bool valid = true;
        for (int k = 0; k < 4; ++k) {
            const int digit = hex_value(s_[i_ + static_cast<std::size_t>(k)]);
            valid = valid && digit >= 0;
            value = (value << 4) | static_cast<std::uint32_t>(digit & 0xF);
        }
        i_ += 4;
        if (!valid) fail(Code::invalid_escape);
        return value;
    }

    // After a backslash inside a string that is being decoded.
    void parse_escape(std::string& out) {
        if (i_ == n_) fail(Code::eof_string);
        const unsigned char c = s_[i_++];
        switch (c) {
            case '"': out.push_back('"'); return;
            case '\\': out.push_back('\\'); return;
            case '/': out.push_back('/'); return;
            case 'b': out.push_back('\b'); return;
            case 'f': out.push_back('\f'); return;
            case 'n': out.push_back('\n'); return;
            case 'r': out.push_back('\r'); return;
            case 't': out.push_back('\t'); return;
            case 'u': break;
            default: fail(Code::invalid_escape);
        }
        const std::uint32_t first = decode_hex_escape();
        if (first >= 0xDC00 && first <= 0xDFFF) fail(Code::lone_leading_surrogate);
        if (first < 0xD800 || first > 0xDBFF) {
            utf8::append(out, first);
            return;
        }
        // A leading surrogate must be followed by an escaped trailing one.
        for (const unsigned char expected : {static_cast<unsigned char>('\\'), static_cast<unsigned char>('u')}) {
            if (i_ == n_) fail(Code::eof_string);
            if (s_[i_++] != expected) fail(Code::unexpected_end_of_hex_escape);
        }
        const std::uint32_t second = decode_hex_escape();
        if (second < 0xDC00 || second > 0xDFFF) fail(Code::lone_leading_surrogate);
        utf8::append(out, (((first - 0xD800) << 10) | (second - 0xDC00)) + 0x10000);
    }

    // After the opening quote: the decoded text, a view of the input when
    // the string holds no escape, otherwise of `buf`. Text that is not
    // UTF-8 fails once the whole string has been read.
    std::string_view read_str(std::string& buf) {
        // Most strings are plain ASCII up to their closing quote.
        const unsigned char* const start = s_ + i_;
        const unsigned char* const stop = json_scan::find_stop<true>(start, s_ + n_);
        if (stop != s_ + n_ && *stop == '"') {
            i_ = static_cast<std::size_t>(stop - s_) + 1;
            return {reinterpret_cast<const char*>(start), static_cast<std::size_t>(stop - start)};
        }
        i_ = static_cast<std::size_t>(stop - s_);
        return read_str_rest(buf, static_cast<std::size_t>(start - s_));
    }

    // The rest of a string from i_, which is not at its closing quote.
    [[gnu::noinline]] std::string_view read_str_rest(std::string& buf, std::size_t start) {
        bool copied = false;
        bool valid_utf8 = true;
        for (;;) {
            skip_plain<true>();
            if (i_ == n_) fail(Code::eof_string);
            const unsigned char c = s_[i_];
            if (c == '"') return end_str(buf, start, copied, valid_utf8);
            if (c == '\\') {
                start = copy_escape(buf, start, copied);
            } else if (!skip_non_ascii()) {
                valid_utf8 = false;
            }
        }
    }

    // At the closing quote: the text from `start`, appended to `buf` when
    // an escape has been copied there. Text that is not UTF-8 fails only
    // now, once the whole string has been read.
    std::string_view end_str(std::string& buf, std::size_t start, bool copied, bool valid_utf8) {
        std::string_view text(reinterpret_cast<const char*>(s_ + start), i_ - start);
        if (copied) {
            buf.append(text);
            text = buf;
        }
        ++i_;
        if (!valid_utf8) fail(Code::invalid_unicode_code_point);
        return text;
    }

    // At a backslash: copies the run before it and the character it stands
    // for into `buf`; returns where the next run starts.
    std::size_t copy_escape(std::string& buf, std::size_t start, bool& copied) {
        if (!copied) {
            buf.clear();
            copied = true;
        }
        buf.append(reinterpret_cast<const char*>(s_ + start), i_ - start);
        ++i_;
        parse_escape(buf);
        return i_;
    }

    // At a byte that is neither plain ASCII nor a quote or backslash: fails
    // on a control character, moves past one UTF-8 character, or past one
    // byte and returns false when none starts there.
    bool skip_non_ascii() {
        if (s_[i_] < 0x20) {
            ++i_;
            fail(Code::control_character);
        }
        const utf8::Step step = utf8::decode(s_ + i_, n_ - i_);
        i_ += step.valid ? step.length : 1;
        return step.valid;
    }

    // After the opening quote of a string that is only checked: escapes
    // must be well-formed, but any bytes (and lone surrogates) pass.
    void ignore_str() {
        for (;;) {
            skip_plain<false>();
            if (i_ == n_) fail(Code::eof_string);
            const unsigned char c = s_[i_];
            if (c == '"') {
                ++i_;
                return;
            }
            if (c != '\\') fail(Code::control_character);
            ++i_;
            if (i_ == n_) fail(Code::eof_string);
            switch (s_[i_++]) {
                case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't': break;
                case 'u': decode_hex_escape(); break;
                default: fail(Code::invalid_escape);
            }
        }
    }

    // ---- values of unknown keys ----

    // The open arrays and objects of an ignored value, by their brackets.
    struct OpenBrackets {
        std::array<unsigned char, kMaxNesting + 1> bracket{};
        std::size_t depth = 0;
        unsigned char innermost() const { return bracket[depth - 1]; }
    };

    // Checks one value and moves past it, without recursion: the open
    // arrays and objects are kept in a bounded stack of their brackets.
    void ignore_value() {
        OpenBrackets open;
        for (;;) {
            const bool opened = ignore_value_start(open);
            if (open.depth == 0 || !ignore_value_end(open, !opened)) return;
            if (open.innermost() == '{') ignore_member_key();
        }
    }

    // A scalar whole, or the bracket that opens an array or object: true
    // for a bracket.
    bool ignore_value_start(OpenBrackets& open) {
        const int c = skip_ws();
        switch (c) {
            case -1: fail_peek(Code::eof_value);
            case 'n': ++i_; parse_ident("ull"); return false;
            case 't': ++i_; parse_ident("rue"); return false;
            case 'f': ++i_; parse_ident("alse"); return false;
            case '-': ++i_; skip_number(*this); return false;
            case '"': ++i_; ignore_str(); return false;
            case '[':
            case '{':
                enter();
                open.bracket[open.depth++] = static_cast<unsigned char>(c);
                return true;
            default:
                if (!is_digit(c)) fail_peek(Code::expected_value);
                skip_number(*this);
                return false;
        }
    }

    // After a value (or just after an opening bracket): closes every level
    // that ends here, then moves past the comma before the next member or
    // element. False once the outermost level has closed.
    bool ignore_value_end(OpenBrackets& open, bool after_value) {
        bool accept_comma = after_value;
        for (;;) {
            const int next = skip_ws();
            if (next == ',' && accept_comma) {
                ++i_;
                return true;
            }
            const unsigned char frame = open.innermost();
            const bool closes = (next == ']' && frame == '[') || (next == '}' && frame == '{');
            if (!closes) {
                if (next < 0) fail_peek(frame == '[' ? Code::eof_list : Code::eof_object);
                if (accept_comma) {
                    fail_peek(frame == '[' ? Code::expected_list_comma_or_end : Code::expected_object_comma_or_end);
                }
                return true;
            }
            ++i_;
            leave();
            if (--open.depth == 0) return false;
            accept_comma = true;
        }
    }

    // A member's key inside an ignored object, and its colon.
    void ignore_member_key() {
        const int quote = skip_ws();
        if (quote != '"') fail_peek(quote < 0 ? Code::eof_object : Code::key_must_be_string);
        ++i_;
        ignore_str();
        parse_colon();
    }

    // ---- describing an unexpected value ----

    // Reads the value at the cursor far enough to name it and fails with
    // "invalid type: <found>, expected <expected>" just after it.
    [[noreturn]] void fail_invalid_type(std::string_view expected) {
        std::string message = "invalid type: ";
        switch (peek_or_null()) {
            case 'n': ++i_; parse_ident("ull"); message += "null"; break;
            case 't': ++i_; parse_ident("rue"); message += "boolean `true`"; break;
            case 'f': ++i_; parse_ident("alse"); message += "boolean `false`"; break;
            case '-': ++i_; append_number_description(*this, false, message); break;
            case '"': {
                ++i_;
                const std::string_view text = read_str(scratch_);
                message += "string ";
                append_debug_quoted(message, text);
                break;
            }
            case '[': message += "sequence"; break;
            case '{': message += "map"; break;
            default:
                if (!is_digit(peek_or_null())) fail_peek(Code::expected_value);
                append_number_description(*this, true, message);
                break;
        }
        message += ", expected ";
        message += expected;
        fail_here(std::move(message));
    }

    // ---- values of known fields ----

    // A string value: a view of the input, or of `buffer` where it holds escapes.
    std::string_view read_text_view(std::string& buffer) {
        const int c = skip_ws();
        if (c == '"') {
            ++i_;
            return read_str(buffer);
        }
        if (c < 0) fail_peek(Code::eof_value);
        fail_invalid_type("a string");
    }

    void read_text(std::string& out) {
        const std::string_view text = read_text_view(out);
        if (text.data() != out.data()) out.assign(text.data(), text.size());
    }

    bool read_bool() {
        const int c = skip_ws();
        if (c == 't') {
            ++i_;
            parse_ident("rue");
            return true;
        }
        if (c == 'f') {
            ++i_;
            parse_ident("alse");
            return false;
        }
        if (c < 0) fail_peek(Code::eof_value);
        fail_invalid_type("a boolean");
    }

    // An array, each of its values read by `read_one`.
    template <class ReadOne>
    void read_list(ReadOne read_one) {
        const int c = skip_ws();
        if (c != '[') {
            if (c < 0) fail_peek(Code::eof_value);
            fail_invalid_type("a sequence");
        }
        enter();
        bool first = true;
        while (next_element(first)) read_one();
        end_seq();
        leave();
    }

    void read_text_list(std::vector<std::string>& out) {
        read_list([&] { read_text(out.emplace_back()); });
    }

    void read_instant(Instant& out) {
        const int c = skip_ws();
        if (c == '"') {
            ++i_;
            const InstantFault fault = parse_instant(read_str(scratch_), out);
            if (fault != InstantFault::none) fail_here(std::string(instant_fault_text(fault)));
            return;
        }
        if (c < 0) fail_peek(Code::eof_value);
        fail_invalid_type("an RFC 3339 formatted date and time string");
    }

    std::uint64_t read_unsigned_value() {
        const int c = skip_ws();
        if (c == '-' || is_digit(c)) {
            const bool positive = c != '-';
            if (!positive) ++i_;
            std::string description;
            std::uint64_t value = 0;
            if (read_unsigned(*this, positive, value, description)) return value;
            // A negative integer has the right type and the wrong value.
            const bool integer = description.starts_with("integer");
            fail_here((integer ? "invalid value: " : "invalid type: ") + description + ", expected u64");
        }
        if (c < 0) fail_peek(Code::eof_value);
        fail_invalid_type("u64");
    }

    // A list of 32-byte hashes, each a string of 64 hexadecimal digits.
    void read_hash_list(std::vector<std::array<std::uint8_t, 32>>& out) {
        read_list([&] {
            const std::string_view text = read_text_view(scratch_);
            auto& hash = out.emplace_back();
            if (text.size() != 2 * hash.size() || hex_decode_to(text, hash)) {
                std::string message = "invalid value: string ";
                append_debug_quoted(message, text);
                message += ", expected 64 hexadecimal digits";
                fail_here(std::move(message));
            }
        });
    }

    // A variant name given as a string.
    std::size_t read_variant(std::span<const std::string_view> names) {
        const int c = skip_ws();
        if (c != '"') {
            if (c < 0) fail_peek(Code::eof_value);
            fail_invalid_type("variant identifier");
        }
        ++i_;
        const std::string_view text = read_str(scratch_);
        for (std::size_t k = 0; k < names.size(); ++k) {
            if (names[k] == text) return k;
        }
        fail_here("unknown variant `" + std::string(text) + "`, expected " + enum_expected(names));
    }

    // "name", or {"name": null}.
    std::size_t read_enum(std::span<const std::string_view> names) {
        const int c = skip_ws();
        if (c == '"') return read_variant(names);
        if (c != '{') fail_peek(c < 0 ? Code::eof_value : Code::expected_value);
        enter();
        const std::size_t index = read_variant(names);
        parse_colon();
        const int value = skip_ws();
        if (value == 'n') {
            ++i_;
            parse_ident("ull");
        } else {
            if (value < 0) fail_peek(Code::eof_value);
            fail_invalid_type("unit");
        }
        leave();
        const int close = skip_ws();
        if (close == '}') {
            ++i_;
            return index;
        }
        fail(close < 0 ? Code::eof_object : Code::expected_value);
    }

    void read_field(const FieldDesc& field, void* record) {
        void* slot = field.member(record);
        if (field.nullable) {
            if (skip_ws() == 'n') {
                ++i_;
                parse_ident("ull");
                return;
            }
            slot = field.engage(slot);
        }
        switch (field.kind) {
            case FieldKind::text: read_text(*static_cast<std::string*>(slot)); return;
            case FieldKind::boolean: *static_cast<bool*>(slot) = read_bool(); return;
            case FieldKind::text_list: read_text_list(*static_cast<std::vector<std::string>*>(slot)); return;
            case FieldKind::enumeration: {
                const auto index = static_cast<std::uint8_t>(read_enum(field.names));
                std::memcpy(slot, &index, 1);
                return;
            }
            case FieldKind::record: read_struct(*field.nested, slot); return;
            case FieldKind::instant: read_instant(*static_cast<Instant*>(slot)); return;
            case FieldKind::unsigned_integer: *static_cast<std::uint64_t*>(slot) = read_unsigned_value(); return;
            case FieldKind::hash_list:
                read_hash_list(*static_cast<std::vector<std::array<std::uint8_t, 32>>*>(slot));
                return;
        }
    }

    // ---- records ----

    // Before each element of an array: false at its end.
    bool next_element(bool& first) {
        int c = skip_ws();
        if (c == ']') return false;
        if (c == ',' && !first) {
            ++i_;
            c = skip_ws();
            if (c == ']') fail_peek(Code::trailing_comma);
            if (c < 0) fail_peek(Code::eof_value);
            return true;
        }
        if (c < 0) fail_peek(Code::eof_list);
        if (!first) fail_peek(Code::expected_list_comma_or_end);
        first = false;
        return true;
    }

    void end_seq() {
        int c = skip_ws();
        if (c == ']') {
            ++i_;
            return;
        }
        if (c == ',') {
            ++i_;
            c = skip_ws();
            fail_peek(c == ']' ? Code::trailing_comma : Code::trailing_characters);
        }
        fail_peek(c < 0 ? Code::eof_list : Code::trailing_characters);
    }

    // Keys are short: compared inline, by length first, then in words that
    // may overlap.
    static bool same_key(std::string_view a, std::string_view b) {
        const std::size_t n = a.size();
        if (n != b.size()) return false;
        auto word = [](const char* p, auto zero) {
            decltype(zero) w;
            std::memcpy(&w, p, sizeof w);
            return w;
        };
        const char* x = a.data();
        const char* y = b.data();
        if (n >= 8) {
            for (std::size_t k = 0; k + 8 < n; k += 8) {
                if (word(x + k, std::uint64_t{}) != word(y + k, std::uint64_t{})) return false;
            }
            return word(x + n - 8, std::uint64_t{}) == word(y + n - 8, std::uint64_t{});
        }
        if (n >= 4) {
            return word(x, std::uint32_t{}) == word(y, std::uint32_t{}) &&
                   word(x + n - 4, std::uint32_t{}) == word(y + n - 4, std::uint32_t{});
        }
        for (std::size_t k = 0; k < n; ++k) {
            if (x[k] != y[k]) return false;
        }
        return true;
    }

    // The field a key names, trying first the one after the last key seen.
    static int find_field(const RecordDesc& desc, std::string_view key, std::size_t hint) {
        const auto fields = desc.fields;
        if (hint < fields.size() && same_key(fields[hint].key, key)) return static_cast<int>(hint);
        for (std::size_t k = 0; k < fields.size(); ++k) {
            if (same_key(fields[k].key, key)) return static_cast<int>(k);
        }
        return -1;
    }

    void visit_map(const RecordDesc& desc, void* out) {
        SeenFields seen = 0;
        bool first = true;
        std::size_t hint = 0;
        while (next_key(first)) {
            const std::string_view key = read_str(scratch_);
            const int index = find_field(desc, key, hint);
            if (index < 0) {
                parse_colon();
                ignore_value();
                continue;
            }
            // A repeated key fails before its colon is read: the failure is
            // placed where the object's reading stops.
            mark_seen(desc.fields[static_cast<std::size_t>(index)], static_cast<std::size_t>(index), seen);
            hint = static_cast<std::size_t>(index) + 1;
            parse_colon();
            read_field(desc.fields[static_cast<std::size_t>(index)], out);
        }
        check_required(desc, seen);
    }

    // Before each member of an object: false at its closing brace, else
    // true with the cursor past the key's opening quote.
    bool next_key(bool& first) {
        int c = skip_ws();
        if (c == '}') return false;
        if (c == ',' && !first) {
            ++i_;
            c = skip_ws();
        } else if (c < 0) {
            fail_peek(Code::eof_object);
        } else if (first) {
            first = false;
        } else {
            fail_peek(Code::expected_object_comma_or_end);
        }
        if (c != '"') {
            fail_peek(c == '}' ? Code::trailing_comma : c < 0 ? Code::eof_value : Code::key_must_be_string);
        }
        ++i_;
        return true;
    }

    static void mark_seen(const FieldDesc& field, std::size_t index, SeenFields& seen) {
        const SeenFields bit = SeenFields{1} << index;
        if ((seen & bit) != 0) fail_unplaced("duplicate field `" + std::string(field.key) + "`");
        seen |= bit;
    }

    // The first required field in declaration order that the object left out.
    static void check_required(const RecordDesc& desc, SeenFields seen) {
        for (std::size_t k = 0; k < desc.fields.size(); ++k) {
            const FieldDesc& field = desc.fields[k];
            if ((seen & (SeenFields{1} << k)) == 0 && field.presence == Presence::required) {
                fail_unplaced("missing field `" + std::string(field.key) + "`");
            }
        }
    }

    void visit_seq(const RecordDesc& desc, void* out) {
        bool first = true;
        for (std::size_t k = 0; k < desc.fields.size(); ++k) {
            const FieldDesc& field = desc.fields[k];
            if (next_element(first)) {
                read_field(field, out);
            } else if (field.presence != Presence::defaulted) {
                fail_unplaced("invalid length " + std::to_string(k) + ", expected " + struct_expected(desc) +
                              " with " + std::to_string(desc.fields.size()) + " elements");
            }
        }
    }

    void read_struct(const RecordDesc& desc, void* out) {
        const int c = skip_ws();
        if (c != '[' && c != '{') {
            if (c < 0) fail_peek(Code::eof_value);
            fail_invalid_type(struct_expected(desc));
        }
        enter();
        try {
            if (c == '[') {
                visit_seq(desc, out);
            } else {
                visit_map(desc, out);
            }
        } catch (Fault& fault) {
            if (!fault.positioned) {
                // Place the message where the closing bracket has been read.
                const int next = skip_ws();
                if (next == (c == '[' ? ']' : '}')) {
                    ++i_;
                } else if (c == '[' && next == ',') {
                    ++i_;
                    skip_ws();
                }
                fault.index = i_;
                fault.positioned = true;
            }
            throw;
        }
        if (c == '[') {
            end_seq();
        } else {
            // The object's visit only ends at its closing brace.
            ++i_;
        }
        leave();
    }

    int depth_left_ = kMaxNesting + 1;
    std::string scratch_;
};

// Line and column as the messages give them: the column counts the bytes
// of its line up to and including the one before `index`.
void locate(std::string_view text, std::size_t index, JsonError& error) {
    const std::string_view before = text.substr(0, index);
    const std::size_t last_newline = before.rfind('\n');
    const std::size_t line_start = last_newline == std::string_view::npos ? 0 : last_newline + 1;
    error.line = 1 + static_cast<std::size_t>(std::count(before.begin(), before.begin() + static_cast<std::ptrdiff_t>(line_start), '\n'));
    error.column = index - line_start;
}

}  // namespace

std::optional<JsonError> read_record(std::string_view text, const RecordDesc& desc, void* out) {
    Reader reader(text);
    try {
        reader.read_document(desc, out);
        return std::nullopt;
    } catch (Fault& fault) {
        JsonError error;
        error.message = std::move(fault.message);
        if (fault.positioned) locate(text, fault.index, error);
        return error;
    }
}

}  // namespace zun::json
