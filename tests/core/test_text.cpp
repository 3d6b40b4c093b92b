// Debug quoting, its code point classes, and the exchange classifier.
//
// Without arguments: runs the checks and exits non-zero on any failure.
// "ranges": scans every code point through the predicates and prints the
//   Unicode version, then "not_printable <first> <last>" and
//   "grapheme_extend <first> <last>" lines (hex) for the runs of each class.
// "probe": answers line commands on stdin, inputs in hex ("-" for empty),
//   decoded by this program rather than by the code under test:
//     quote <text>             -> the debug-quoted text
//     quote_bytes <bytes>      -> the same with invalid UTF-8 as \xNN
//     classify <hint> <party>  -> the pair class

#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>

#include "core/protocol/classify.hpp"
#include "core/text/debug_quote.hpp"
#include "core/text/unicode_tables.hpp"
#include "check.hpp"

namespace {


std::string quoted(std::string_view text) {
    std::string out = "prefix:";
    zun::append_debug_quoted(out, text);
    return out.substr(7);
}

std::string quoted_bytes(std::string_view bytes) {
    std::string out;
    zun::append_debug_quoted_bytes(out, bytes);
    return out;
}

struct QuoteCase {
    const char* label;
    std::string_view text;
    std::string_view expected;  // without the enclosing quotes
};

using namespace std::string_view_literals;

constexpr QuoteCase kQuoteCases[] = {
    {"empty", "", ""},
    {"quote", "say \"hi\"", "say \\\"hi\\\""},
    {"backslash", "C:\\dir", "C:\\\\dir"},
    {"named controls", "a\nb\rc\td", "a\\nb\\rc\\td"},
    {"NUL", "a\0b"sv, "a\\0b"},
    {"other C0 and DEL", "\x01\x1b\x1f\x7f", "\\u{1}\\u{1b}\\u{1f}\\u{7f}"},
    {"C1 control U+0085", "\u0085", "\\u{85}"},
    {"apostrophe", "it's", "it's"},
    {"space", " a b ", " a b "},
    {"no-break space U+00A0", "\u00a0", "\\u{a0}"},
    {"ideographic space U+3000", "\u3000", "\\u{3000}"},
    {"combining acute U+0301", "e\u0301", "e\\u{301}"},
    {"combining after quote", "\"\u0301", "\\\"\\u{301}"},
    {"enclosing mark U+20DD", "\u20dd", "\\u{20dd}"},
    {"variation selector U+FE0F", "\u2764\ufe0f", "\u2764\\u{fe0f}"},
    {"spacing mark in Grapheme_Extend U+0BBE", "\u0bbe", "\\u{bbe}"},
    {"spacing mark outside it U+0903", "\u0903", "\u0903"},
    {"zero width space U+200B", "\u200b", "\\u{200b}"},
    {"soft hyphen U+00AD", "\u00ad", "\\u{ad}"},
    {"zero width joiner U+200D", "\u200d", "\\u{200d}"},
    {"byte order mark U+FEFF", "\ufeff", "\\u{feff}"},
    {"tag U+E0041", "\U000E0041", "\\u{e0041}"},
    {"line separator U+2028", "\u2028", "\\u{2028}"},
    {"paragraph separator U+2029", "\u2029", "\\u{2029}"},
    {"private use U+E000", "\ue000", "\\u{e000}"},
    {"plane 15 private use", "\U000F0000", "\\u{f0000}"},
    {"last code point", "\U0010FFFF", "\\u{10ffff}"},
    {"unassigned U+0378", "\xcd\xb8", "\\u{378}"},
    {"noncharacter U+FFFF", "\xef\xbf\xbf", "\\u{ffff}"},
    {"unassigned U+E0080", "\xf3\xa0\x82\x80", "\\u{e0080}"},
    {"emoji", "\U0001F600\U0001F44D", "\U0001F600\U0001F44D"},
    {"CJK", "\u4e2d\u6587", "\u4e2d\u6587"},
    {"CJK extension B", "\U00020000", "\U00020000"},
    {"Hangul", "\ud55c\uae00", "\ud55c\uae00"},
    {"kana", "\u3072\u3089\u304c\u306a", "\u3072\u3089\u304c\u306a"},
    {"Latin, Greek, Cyrillic", "\u00e9\u00df\u03b1\u0436", "\u00e9\u00df\u03b1\u0436"},
    {"replacement character", "\ufffd", "\ufffd"},
    {"escapes between long ASCII runs", "0123456789\"0123456789\t0123456789",
     "0123456789\\\"0123456789\\t0123456789"},
    {"non-ASCII inside a word", "abcdefg\u00e9hijklmno\u0301pqrstuvw", "abcdefg\u00e9hijklmno\\u{301}pqrstuvw"},
};

constexpr QuoteCase kByteCases[] = {
    {"lone high byte", "\xff", "\\xFF"},
    {"continuation byte", "a\x80z", "a\\x80z"},
    {"truncated at end", "ab\xe2\x82", "ab\\xE2\\x82"},
    {"truncated before ASCII", "\xf0\x9f\x98" "A", "\\xF0\\x9F\\x98A"},
    {"overlong slash", "\xc0\xaf", "\\xC0\\xAF"},
    {"overlong three-byte", "\xe0\x80\xaf", "\\xE0\\x80\\xAF"},
    {"surrogate", "\xed\xa0\x80", "\\xED\\xA0\\x80"},
    {"above U+10FFFF", "\xf4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},
    {"invalid lead F5", "\xf5", "\\xF5"},
    {"valid text around", "\u00e9\xff\"\u0301", "\u00e9\\xFF\\\"\\u{301}"},
    {"inside a long ASCII run", "abcdefghij\xfeklmnopqrs", "abcdefghij\\xFEklmnopqrs"},
};

struct LossyCase {
    const char* label;
    std::string_view text;
    std::string_view expected;
};

// One replacement character per maximal invalid subsequence.
constexpr LossyCase kLossyCases[] = {
    {"truncated sequence", "\xe2\x82" "A", "\ufffd" "A"},
    {"two invalid bytes", "\xf0\x80", "\ufffd\ufffd"},
    {"surrogate", "\xed\xa0\x80", "\ufffd\ufffd\ufffd"},
    {"lone continuation", "x\x80y", "x\ufffdy"},
};

// Appending, not `"\"" + text`: GCC 12 warns falsely (-Wrestrict) on that form.
std::string in_quotes(std::string_view text) {
    std::string out = "\"";
    out += text;
    out += '"';
    return out;
}

void check_quoting() {
    for (const QuoteCase& c : kQuoteCases) {
        const std::string expected = in_quotes(c.expected);
        CHECK_EQ_LABEL(quoted(c.text), expected, c.label);
        CHECK_EQ_LABEL(quoted_bytes(c.text), expected, c.label);  // valid UTF-8: both agree
    }
    for (const QuoteCase& c : kByteCases) {
        CHECK_EQ_LABEL(quoted_bytes(c.text), in_quotes(c.expected), c.label);
    }
    for (const LossyCase& c : kLossyCases) {
        CHECK_EQ_LABEL(quoted(c.text), in_quotes(c.expected), c.label);
    }
    // A character at every offset of a text longer than two words, so that
    // the word-at-a-time scan hands over to the byte loop at each position.
    constexpr std::string_view kInserted[][2] = {
        {"\"", "\\\""},       {"\\", "\\\\"},         {"\n", "\\n"},
        {"\x7f", "\\u{7f}"},   {"\u00e9", "\u00e9"},     {"\u0301", "\\u{301}"},
        {"\xff", "\\xFF"},     {"\U0001F600", "\U0001F600"},
    };
    for (const auto& [inserted, written] : kInserted) {
        for (std::size_t at = 0; at <= 20; ++at) {
            const std::string text = std::string(at, 'a') + std::string(inserted) + std::string(20 - at, 'b');
            const std::string expected = in_quotes(std::string(at, 'a') + std::string(written) + std::string(20 - at, 'b'));
            CHECK_EQ_LABEL(quoted_bytes(text), expected, "offset " + std::to_string(at));
        }
    }
    std::string appended = "x=";
    zun::append_debug_quoted(appended, "a");
    zun::append_debug_quoted(appended, "b\n");
    CHECK_EQ_LABEL(appended, std::string("x=\"a\"\"b\\n\""), "appends without clearing");
}

struct CodePointCase {
    char32_t cp;
    bool printable;
    bool grapheme_extend;
};

constexpr CodePointCase kCodePointCases[] = {
    {0x00, false, false},    {0x1F, false, false},     {0x20, true, false},       {0x7E, true, false},
    {0x7F, false, false},    {0x9F, false, false},     {0xA0, false, false},      {0xA1, true, false},
    {0xAD, false, false},    {0x2FF, true, false},     {0x300, true, true},       {0x36F, true, true},
    {0x370, true, false},    {0x378, false, false},    {0x200B, false, false},    {0x200C, false, true},
    {0x2028, false, false},  {0x3000, false, false},   {0x4E00, true, false},     {0xD7A3, true, false},
    {0xD800, false, false},  {0xDFFF, false, false},   {0xE000, false, false},    {0xFE0F, true, true},
    {0xFF9E, true, true},    {0xFFFD, true, false},    {0x1F600, true, false},    {0xE0020, false, true},
    {0xE0100, true, true},   {0xE01EF, true, true},    {0xE01F0, false, false},   {0x10FFFF, false, false},
    {0x110000, false, false}, {0xFFFFFFFF, false, false},
};

void check_code_point_classes() {
    for (const CodePointCase& c : kCodePointCases) {
        std::ostringstream label;
        label << "U+" << std::hex << static_cast<unsigned long>(c.cp);
        CHECK_EQ_LABEL(zun::is_printable(c.cp), c.printable, label.str() + " printable");
        CHECK_EQ_LABEL(zun::is_grapheme_extend(c.cp), c.grapheme_extend, label.str() + " grapheme extend");
    }
}

struct ClassifyCase {
    std::string_view hint;
    std::string_view counterparty;
    std::string_view expected;
};

const std::string kLongPadding(600, 'q');

constexpr ClassifyCase kClassifyCases[] = {
    // Hint table, exact after ASCII lowercasing, nothing trimmed.
    {"dns", "", "discovery"},
    {"DNS", "", "discovery"},
    {"mdns", "", "discovery"},
    {"DnsSd", "", "discovery"},
    {" dns", "", "routing"},
    {"dns ", "", "routing"},
    {"dns\0"sv, "", "routing"},
    {"dn", "", "routing"},
    {"noise", "", "trust"},
    {"X3DH", "", "trust"},
    {"TLS-Handshake", "", "trust"},
    {"tls-handshake!", "", "routing"},
    {"tls", "", "routing"},
    {"quic", "", "routing"},
    {"WebRTC", "", "routing"},
    {"", "", "routing"},
    {"\uff24\uff2e\uff33", "", "routing"},  // fullwidth capitals are not folded
    {"NO\u0130SE", "", "routing"},
    {"a-very-long-protocol-hint", "", "routing"},
    // Host rows decide before the hint, by plain containment.
    {"dns", "stripe.com", "marketplace"},
    {"noise", "https://api.stripe.com/v1/charges", "marketplace"},
    {"dns", "nango.dev then stripe.com", "marketplace"},
    {"dns", "stripe.com then hunter.io", "marketplace"},
    {"dns", "apollo.io.resolver.zunproto.net", "causal"},
    {"", "https://RESOLVER.ZunProto.NET:443/x", "causal"},
    {"", "governance.zunproto.net", "compliance"},
    {"", "user@compliance.zunproto.net", "compliance"},
    {"", "Paddle.com", "marketplace"},
    {"", "lemonsqueezy.com", "marketplace"},
    {"", "nango.dev", "enrichment"},
    {"", "clearbit.COM", "enrichment"},
    {"", "apollo.io", "enrichment"},
    {"", "hunter.io/x", "enrichment"},
    {"", "notstripe.community", "marketplace"},
    {"", ".stripe.com.", "marketplace"},
    {"x3dh", "stripe .com", "trust"},
    {"x3dh", "stripe.co", "trust"},
    {"x3dh", "hunter.i", "trust"},
    {"x3dh", "...", "trust"},
    {"mdns", "str\u0130pe.com", "discovery"},  // a non-ASCII capital stays as it is
    {"mdns", "s\0tripe.com"sv, "discovery"},
};

void check_classifier() {
    for (const ClassifyCase& c : kClassifyCases) {
        const std::string label = std::string(c.hint) + " | " + std::string(c.counterparty);
        const std::string_view got = zun::classify_exchange(c.hint, c.counterparty);
        CHECK_EQ_LABEL(got, c.expected, label);
        bool one_of_the_names = false;
        for (const std::string_view name : zun::kPairClassNames) one_of_the_names |= got.data() == name.data();
        CHECK(one_of_the_names);
    }
    // Texts beyond the stack buffer take the heap path.
    CHECK_EQ_LABEL(zun::classify_exchange("dns", kLongPadding + "Stripe.Com" + kLongPadding), "marketplace"sv, "long");
    CHECK_EQ_LABEL(zun::classify_exchange("dns", kLongPadding + "." + kLongPadding), "discovery"sv, "long, no host");
    CHECK_EQ_LABEL(zun::classify_exchange("dns", kLongPadding + "hunter.io"), "enrichment"sv, "long, host at the end");
}

// ---- modes for the pytest suite ----

std::string from_hex(std::string_view hex) {
    if (hex == "-") return {};
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    }
    return out;
}

template <class Predicate>
void print_runs(const char* name, Predicate in_class) {
    constexpr char32_t kEnd = 0x110000;
    char32_t cp = 0;
    while (cp < kEnd) {
        if (!in_class(cp)) {
            ++cp;
            continue;
        }
        const char32_t first = cp;
        while (cp < kEnd && in_class(cp)) ++cp;
        std::printf("%s %lx %lx\n", name, static_cast<unsigned long>(first), static_cast<unsigned long>(cp - 1));
    }
}

int print_ranges() {
    std::printf("version %s\n", zun::unicode::kUnicodeVersion);
    print_runs("not_printable", [](char32_t cp) { return !zun::is_printable(cp); });
    print_runs("grapheme_extend", [](char32_t cp) { return zun::is_grapheme_extend(cp); });
    return 0;
}

int probe() {
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream words(line);
        std::string command, first, second;
        words >> command >> first >> second;
        if (command == "quote") {
            std::cout << quoted(from_hex(first)) << "\n";
        } else if (command == "quote_bytes") {
            std::cout << quoted_bytes(from_hex(first)) << "\n";
        } else if (command == "classify") {
            std::cout << zun::classify_exchange(from_hex(first), from_hex(second)) << "\n";
        } else {
            std::cerr << "unknown command: " << line << "\n";
            return 2;
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string_view mode = argc > 1 ? argv[1] : "";
    if (mode == "ranges") return print_ranges();
    if (mode == "probe") return probe();
    check_quoting();
    check_code_point_classes();
    check_classifier();
    if (::zun_test::failures != 0) {
        std::fprintf(stderr, "%d check(s) failed\n", ::zun_test::failures);
        return 1;
    }
    std::printf("all text checks passed\n");
    return 0;
}
