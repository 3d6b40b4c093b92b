// The spill queue's storage procedures against a real file system.
// Usage: test_queue_store <group> <empty scratch directory>
#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "core/queue/os_error.hpp"
#include "core/queue/queue_store.hpp"
#include "core/json/record_json.hpp"
#include "check.hpp"

namespace {


using namespace zun;

std::string scratch;

// A fresh, empty directory below the scratch directory.
std::string fresh_dir(const std::string& name) {
    const std::string path = scratch + "/" + name;
    if (::mkdir(path.c_str(), 0777) != 0) {
        std::perror(path.c_str());
        std::exit(2);
    }
    return path;
}

bool exists(const std::string& path) {
    struct stat status;
    return ::lstat(path.c_str(), &status) == 0;
}

std::set<std::string> entries(const std::string& dir) {
    std::set<std::string> names;
    if (DIR* handle = ::opendir(dir.c_str())) {
        while (const dirent* entry = ::readdir(handle)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") names.insert(name);
        }
        ::closedir(handle);
    }
    return names;
}

std::string read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_bytes(const std::string& path, std::string_view bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

SignedEnvelope envelope(std::string exchange_id) {
    SignedEnvelope e;
    e.exchange_id = std::move(exchange_id);
    e.peer_self = ProtocolAddress{AddressClass::body, "peer", "3f1c0b6a9d2e4f5081726354a0b1c2d3"};
    e.peer_counterparty = ProtocolAddress{AddressClass::pair, "peer", "x\"y\\z\u00e9"};
    e.direction = Direction::inbound;
    e.request_hash = std::string(64, 'a');
    e.response_hash = std::string(64, 'b');
    e.our_signature = "c2lnbmF0dXJl";
    e.opened_at = Instant{1776240000, 123000000};
    e.closed_at = Instant{1776240001, 0};
    e.protocol_hint = "mcp";
    e.counterparty_identifier = "https://api.stripe.com/v1";
    return e;
}

std::string describe(const std::optional<QueueError>& error) {
    return error ? error->display() : std::string("<success>");
}

std::vector<QueuedItem> enumerate_ok(const std::string& dir) {
    std::vector<QueuedItem> items;
    const auto error = enumerate(dir, items);
    CHECK_EQ(describe(error), "<success>");
    return items;
}

std::vector<std::string> queue_ids(const std::vector<QueuedItem>& items) {
    std::vector<std::string> ids;
    for (const auto& item : items) ids.push_back(item.queue_id);
    return ids;
}

std::string joined(const std::vector<std::string>& parts) {
    std::string text;
    for (const auto& part : parts) text += "[" + part + "]";
    return text;
}

void test_paths() {
    CHECK_EQ(item_path("/q", "a/../b c"), "/q/abc.json");
    CHECK_EQ(item_path("/q/", "0190b7c2-7e5f-7a3c-9d1e-2f3a4b5c6d7e"),
             "/q/0190b7c2-7e5f-7a3c-9d1e-2f3a4b5c6d7e.json");
    CHECK_EQ(item_path("", "x_Y-9"), "x_Y-9.json");
    CHECK_EQ(item_path("q", std::string_view("a\0b", 3)), "q/ab.json");
    CHECK_EQ(item_path("q", "../../etc/passwd"), "q/etcpasswd.json");
    CHECK_EQ(item_path("q", "caf\u00e9 \u65e5\u672c\t\n.x"), "q/cafx.json");
    CHECK_EQ(item_path("q", "\xff\xfe/\\"), "q/.json");

    for (const std::string_view id : {"", ".", "..", "/", " \t\r\n", "\u00e9\u00e8", "\xff", "a"}) {
        const bool expected = id == "a";
        if (queue_id_is_usable(id) != expected) ::zun_test::fail(__FILE__, __LINE__, "usable: " + std::string(id));
    }
    CHECK(!queue_id_is_usable(std::string_view("\0", 1)));

    CHECK_EQ(join_path("", "x"), "x");
    CHECK_EQ(join_path("/", "x"), "/x");
    CHECK_EQ(join_path("a//", "x"), "a//x");
}

void test_default_dir() {
    ::unsetenv("HOME");
    CHECK_EQ(default_queue_dir(), ".envelope-queue");
    ::setenv("HOME", "/h", 1);
    CHECK_EQ(default_queue_dir(), "/h/.tamsel/envelope-queue");
    ::setenv("HOME", "/h/", 1);
    CHECK_EQ(default_queue_dir(), "/h/.tamsel/envelope-queue");
    ::setenv("HOME", "", 1);
    CHECK_EQ(default_queue_dir(), ".tamsel/envelope-queue");
    ::setenv("HOME", "/home/\xff", 1);
    CHECK_EQ(default_queue_dir(), "/home/\xff/.tamsel/envelope-queue");
}

void test_spill() {
    // Missing parents are created; the item file holds exactly the item bytes.
    const std::string root = fresh_dir("spill");
    const std::string dir = root + "/a/b/c";
    const SignedEnvelope first = envelope("0190b7c2-7e5f-7a3c-9d1e-2f3a4b5c6d7e");
    CHECK_EQ(describe(spill(dir, "trust", first)), "<success>");
    const std::string path = item_path(dir, first.exchange_id);
    CHECK_EQ(read_bytes(path), to_item_file(QueuedItem{first.exchange_id, "trust", first}));
    CHECK_EQ(read_bytes(path).substr(0, 2), "{\n");
    CHECK_EQ(read_bytes(path).substr(read_bytes(path).size() - 3), "}\n}");

    // The same exchange again replaces the one file, and nothing else stays.
    CHECK_EQ(describe(spill(dir, "compliance", first)), "<success>");
    CHECK_EQ(read_bytes(path), to_item_file(QueuedItem{first.exchange_id, "compliance", first}));
    CHECK(entries(dir) == std::set<std::string>{first.exchange_id + ".json"});
    const auto items = enumerate_ok(dir);
    CHECK(items.size() == 1 && items[0].pair_class == "compliance" && items[0].envelope == first);

    // The identifier is stored unfiltered; only the file name is filtered.
    const SignedEnvelope odd = envelope("a/../b c");
    CHECK_EQ(describe(spill(dir, "trust", odd)), "<success>");
    CHECK(exists(dir + "/abc.json"));
    CHECK_EQ(joined(queue_ids(enumerate_ok(dir))), "[0190b7c2-7e5f-7a3c-9d1e-2f3a4b5c6d7e][a/../b c]");
    CHECK_EQ(describe(remove(dir, "a/../b c")), "<success>");
    CHECK(!exists(dir + "/abc.json"));

    // A new item's permission bits follow the umask; a replaced item keeps
    // the bits its file had, whatever the umask.
    const auto mode_after_spill = [&](mode_t mask) {
        const mode_t previous = ::umask(mask);
        const bool ok = !spill(dir, "trust", first).has_value();
        ::umask(previous);
        struct stat status {};
        CHECK(ok && ::stat(path.c_str(), &status) == 0);
        return status.st_mode & 07777;
    };
    for (const mode_t mask : {mode_t{022}, mode_t{077}, mode_t{0}, mode_t{027}}) {
        CHECK(::unlink(path.c_str()) == 0);
        CHECK_EQ(std::to_string(mode_after_spill(mask)), std::to_string(0666 & ~mask));
        CHECK(::chmod(path.c_str(), 0640) == 0);
        CHECK_EQ(std::to_string(mode_after_spill(mask)), std::to_string(0640));
    }

    // A relative queue path resolves against the working directory.
    const std::string relative_root = fresh_dir("relative");
    char previous_cwd[4096];
    CHECK(::getcwd(previous_cwd, sizeof previous_cwd) != nullptr);
    CHECK(::chdir(relative_root.c_str()) == 0);
    CHECK_EQ(describe(spill("", "trust", envelope("r1"))), "<success>");
    CHECK_EQ(describe(spill("q/", "trust", envelope("r2"))), "<success>");
    CHECK(::chdir(previous_cwd) == 0);
    CHECK(exists(relative_root + "/r1.json") && exists(relative_root + "/q/r2.json"));
}

void test_spill_refusals() {
    const std::string root = fresh_dir("refusals");

    // An identifier without a usable character would become ".json", which
    // enumeration never returns: refused, and nothing is created.
    const std::string unmade = root + "/never";
    for (const char* id : {"", "../..", "\u00e9", " "}) {
        const auto error = spill(unmade, "trust", envelope(id));
        CHECK(error && error->kind == QueueError::Kind::json && error->cause == kUnusableQueueIdMessage);
    }
    CHECK(!exists(unmade));

    // A queue path that is a regular file.
    const std::string file = root + "/plain";
    write_bytes(file, "x");
    CHECK_EQ(describe(spill(file, "trust", envelope("id1"))),
             "queue I/O error at " + file + "/id1.json: Not a directory (os error 20)");
    CHECK_EQ(describe(spill(file + "/sub", "trust", envelope("id1"))),
             "queue I/O error at " + file + "/sub: Not a directory (os error 20)");

    // A queue path holding NUL names no file.
    const std::string nul_dir = root + std::string("/q\0x", 4);
    const auto nul_error = spill(nul_dir, "trust", envelope("id1"));
    CHECK(nul_error && nul_error->kind == QueueError::Kind::io && nul_error->path == nul_dir);
    CHECK_EQ(describe(nul_error), "queue I/O error at " + nul_dir + ": file name contained an unexpected NUL byte");
    CHECK(!exists(root + "/q"));

    // Failures after the temporary file exists leave nothing behind and keep
    // what was there.
    const std::string dir = fresh_dir("refusals/q");
    ::mkdir((dir + "/busy.json").c_str(), 0777);
    write_bytes(dir + "/busy.json/keep", "k");
    CHECK_EQ(describe(spill(dir, "trust", envelope("busy"))),
             "queue I/O error at " + dir + "/busy.json: Is a directory (os error 21)");
    const std::string long_id(300, 'L');
    CHECK_EQ(describe(spill(dir, "trust", envelope(long_id))),
             "queue I/O error at " + dir + "/" + long_id + ".json: File name too long (os error 36)");
    CHECK(entries(dir) == std::set<std::string>{"busy.json"});
    CHECK_EQ(read_bytes(dir + "/busy.json/keep"), "k");

    // A write cut short (here by the file size limit, as a full disk would)
    // keeps the earlier copy of the item whole.
    const SignedEnvelope small = envelope("big");
    CHECK(!spill(dir, "trust", small));
    const std::string before = read_bytes(dir + "/big.json");
    SignedEnvelope big = small;
    big.counterparty_identifier = std::string(64 * 1024, 'w');
    rlimit previous{};
    ::getrlimit(RLIMIT_FSIZE, &previous);
    const rlimit capped{16 * 1024, previous.rlim_max};
    const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    ::setrlimit(RLIMIT_FSIZE, &capped);
    const auto error = spill(dir, "trust", big);
    ::setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, old_handler);
    CHECK_EQ(describe(error), "queue I/O error at " + dir + "/big.json: File too large (os error 27)");
    CHECK_EQ(read_bytes(dir + "/big.json"), before);
    CHECK(entries(dir) == (std::set<std::string>{"busy.json", "big.json"}));
}

void test_enumerate() {
    const std::string root = fresh_dir("enumerate");

    // A missing directory has no items and is not created.
    CHECK(enumerate_ok(root + "/missing").empty());
    CHECK(!exists(root + "/missing"));

    const std::string dir = fresh_dir("enumerate/q");
    for (const char* id : {"a", "a-1", "B", "a_b", "0"}) CHECK(!spill(dir, "trust", envelope(id)));
    const SignedEnvelope dotted = envelope("dotted");
    write_bytes(dir + "/a.b.json", to_item_file(QueuedItem{"dotted", "trust", dotted}));
    for (const char* ignored : {"x.txt", ".json", "x.JSON", "notes", "a.json.tmp", "a.jsonx", "json"}) {
        write_bytes(dir + "/" + ignored, "not json");
    }
    ::mkdir((dir + "/sub").c_str(), 0777);
    const auto items = enumerate_ok(dir);
    CHECK_EQ(joined(queue_ids(items)), "[0][B][a-1][dotted][a][a_b]");
    CHECK(items.size() == 6 && items[3].envelope == dotted && items[2].envelope == envelope("a-1"));

    // Compact layout and surrounding whitespace read as well.
    const std::string compact = fresh_dir("enumerate/compact");
    write_bytes(compact + "/c.json", "\n " + to_json(QueuedItem{"c", "p", envelope("c")}) + " \r\n\t");
    const auto compact_items = enumerate_ok(compact);
    CHECK(compact_items.size() == 1 && compact_items[0].pair_class == "p");

    // A queue path that is a file; a path holding NUL.
    const std::string file = root + "/plain";
    write_bytes(file, "x");
    std::vector<QueuedItem> out;
    CHECK_EQ(describe(enumerate(file, out)), "queue I/O error at " + file + ": Not a directory (os error 20)");
    CHECK_EQ(describe(enumerate(dir + std::string("\0", 1), out)), "<success>");
    CHECK(out.empty());
}

void test_enumerate_bad_items() {
    const std::string root = fresh_dir("bad");
    const std::string good = to_item_file(QueuedItem{"good", "trust", envelope("good")});

    struct BadItem {
        const char* name;
        std::string bytes;  // empty with is_dir: a directory of that name
        bool is_dir;
        std::string expected_prefix;
    };
    const std::vector<BadItem> cases = {
        {"x.json", "{}", false, "queue JSON error: missing field `queue_id`"},
        {"bad.json", "not json", false, "queue JSON error: "},
        {"trunc.json", good.substr(0, good.size() / 2), false, "queue JSON error: "},
        {"empty.json", "", false, "queue JSON error: "},
        {"latin.json", "{\"queue_id\": \"caf\xe9\", \"pair_class\": \"t\"}", false, "queue JSON error: "},
        {"trail.json", good + "x", false, "queue JSON error: "},
        {"d.json", "", true, "queue I/O error at "},
    };
    int index = 0;
    for (const auto& bad : cases) {
        const std::string dir = fresh_dir("bad/" + std::to_string(index++));
        write_bytes(dir + "/good.json", good);
        const std::string path = dir + "/" + bad.name;
        if (bad.is_dir) {
            ::mkdir(path.c_str(), 0777);
        } else {
            write_bytes(path, bad.bytes);
        }
        std::vector<QueuedItem> out{QueuedItem{"sentinel", "", {}}};
        const std::string text = describe(enumerate(dir, out));
        if (text.rfind(bad.expected_prefix, 0) != 0) ::zun_test::fail(__FILE__, __LINE__, std::string(bad.name) + ": " + text);
        if (bad.is_dir) CHECK_EQ(text, "queue I/O error at " + path + ": Is a directory (os error 21)");
        // Nothing is returned, deleted or repaired.
        CHECK(out.size() == 1 && out[0].queue_id == "sentinel");
        CHECK(entries(dir) == (std::set<std::string>{"good.json", bad.name}));
        CHECK_EQ(read_bytes(dir + "/good.json"), good);
        if (!bad.is_dir) CHECK_EQ(read_bytes(path), bad.bytes);
    }
}

void test_enumerate_large() {
    // Many items, some bigger than one first read, names sorting as bytes; a
    // link to an item is read through like a file.
    const std::string dir = fresh_dir("large");
    std::vector<std::string> expected;
    for (int i = 0; i < 300; ++i) {
        char id[32];
        std::snprintf(id, sizeof id, "%05d-%c", (i * 7919) % 1000, i % 2 ? 'z' : 'Z');
        SignedEnvelope e = envelope(id);
        if (i % 50 == 0) e.counterparty_identifier = std::string(9000 + i * 400, 'w');
        CHECK(!spill(dir, "trust", e));
        expected.push_back(id);
    }
    std::sort(expected.begin(), expected.end());
    const std::string big_id = "00750-Z";  // i == 250, the largest item
    CHECK(::symlink((big_id + ".json").c_str(), (dir + "/zz-link.json").c_str()) == 0);
    expected.push_back(big_id);

    const auto items = enumerate_ok(dir);
    CHECK_EQ(joined(queue_ids(items)), joined(expected));
    for (const auto& item : items) {
        if (item.envelope.exchange_id != item.queue_id) ::zun_test::fail(__FILE__, __LINE__, "envelope of " + item.queue_id);
    }
    CHECK(!items.empty() && items.back().envelope.counterparty_identifier.size() == 9000 + 250 * 400);
}

void test_remove() {
    const std::string dir = fresh_dir("remove");
    CHECK_EQ(describe(remove(dir, "missing")), "<success>");
    CHECK_EQ(describe(remove(dir + "/nowhere", "x")), "<success>");
    CHECK_EQ(describe(remove(dir + std::string("\0", 1), "x")), "<success>");

    CHECK(!spill(dir, "trust", envelope("gone")));
    CHECK(!spill(dir, "trust", envelope("kept")));
    CHECK_EQ(describe(remove(dir, "g/o.n e")), "<success>");
    CHECK(entries(dir) == std::set<std::string>{"kept.json"});

    // An identifier without a usable character still names ".json", left
    // over from writers that stored such items; removing it cleans that up.
    write_bytes(dir + "/.json", "{}");
    CHECK_EQ(describe(remove(dir, "../ ")), "<success>");
    CHECK(!exists(dir + "/.json"));

    // Only the link is removed, never its target.
    write_bytes(dir + "/target", "t");
    CHECK(::symlink("target", (dir + "/link.json").c_str()) == 0);
    CHECK_EQ(describe(remove(dir, "link")), "<success>");
    CHECK(!exists(dir + "/link.json") && exists(dir + "/target"));

    // A dangling link is an entry like any other, and goes.
    CHECK(::symlink("nothing", (dir + "/dangling.json").c_str()) == 0);
    CHECK_EQ(describe(remove(dir, "dangling")), "<success>");
    CHECK(entries(dir) == (std::set<std::string>{"kept.json", "target"}));

    // The entry is there but cannot be unlinked.
    ::mkdir((dir + "/d.json").c_str(), 0777);
    CHECK_EQ(describe(remove(dir, "d")), "queue I/O error at " + dir + "/d.json: Is a directory (os error 21)");
}

void test_error_texts() {
    CHECK_EQ(os_error_text(2), "No such file or directory (os error 2)");
    CHECK_EQ(os_error_text(28), "No space left on device (os error 28)");
    CHECK_EQ(os_error_text(4242), "Unknown error 4242 (os error 4242)");
    CHECK_EQ(QueueError::json("EOF while parsing a value at line 1 column 0").display(),
             "queue JSON error: EOF while parsing a value at line 1 column 0");
    const std::map<std::string, std::string> lossy = {
        {"/q/\xff", "/q/\uFFFD"},
        {"caf\xc3\xa9", "caf\u00e9"},
        {"\xe2\x82x", "\uFFFDx"},
        {"\xed\xa0\x80", "\uFFFD\uFFFD\uFFFD"},
        {"\xf0\x9f\x98", "\uFFFD"},
        {"\xf4\x90\x80\x80", "\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"\xc0\xaf", "\uFFFD\uFFFD"},
        {"\xf0\x9f\x98\x80", "\U0001F600"},
    };
    for (const auto& [path, shown] : lossy) {
        CHECK_EQ(QueueError::io(path, "c").display(), "queue I/O error at " + shown + ": c");
    }
}

// Only meaningful where permissions are enforced, i.e. not as root.
void test_permissions() {
    const std::string root = fresh_dir("perm");
    const std::string locked = fresh_dir("perm/locked");
    CHECK(!spill(locked, "trust", envelope("item")));
    const std::string item = locked + "/item.json";

    ::chmod(item.c_str(), 0);
    std::vector<QueuedItem> out;
    CHECK_EQ(describe(enumerate(locked, out)), "queue I/O error at " + item + ": Permission denied (os error 13)");
    ::chmod(item.c_str(), 0644);

    ::chmod(locked.c_str(), 0333);
    CHECK_EQ(describe(enumerate(locked, out)), "queue I/O error at " + locked + ": Permission denied (os error 13)");
    ::chmod(locked.c_str(), 0555);
    CHECK_EQ(describe(spill(locked, "trust", envelope("new"))),
             "queue I/O error at " + locked + "/new.json: Permission denied (os error 13)");
    CHECK_EQ(describe(remove(locked, "item")), "queue I/O error at " + item + ": Permission denied (os error 13)");
    CHECK_EQ(describe(spill(locked + "/sub", "trust", envelope("new"))),
             "queue I/O error at " + locked + "/sub: Permission denied (os error 13)");
    ::chmod(locked.c_str(), 0);
    CHECK(enumerate_ok(locked + "/inner").empty());
    CHECK_EQ(describe(remove(locked, "item")), "<success>");
    ::chmod(locked.c_str(), 0755);
    CHECK(exists(item));
}

std::string from_hex(std::string_view hex) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
    }
    return bytes;
}

std::string to_hex(std::string_view bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string hex;
    for (const char c : bytes) {
        hex += digits[static_cast<unsigned char>(c) >> 4];
        hex += digits[static_cast<unsigned char>(c) & 15];
    }
    return hex;
}

// Answers "lossy <hex path>" with the displayed path and
// "item_path <hex dir> <hex id>" with the file path, both hex, one line each,
// so that the caller can compare them with its own oracles.
void probe() {
    std::string line;
    char buffer[1 << 16];
    while (std::fgets(buffer, sizeof buffer, stdin) != nullptr) {
        std::istringstream words(buffer);
        std::string op, first, second;
        words >> op >> first >> second;
        if (first == "-") first.clear();
        if (second == "-") second.clear();
        if (op == "lossy") {
            const std::string shown = QueueError::io(from_hex(first), "").display();
            line = to_hex(std::string_view(shown).substr(19, shown.size() - 21));
        } else if (op == "item_path") {
            line = to_hex(item_path(from_hex(first), from_hex(second)));
        } else {
            line = "unknown op";
        }
        std::printf("%s\n", line.c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string_view(argv[1]) == "probe") {
        probe();
        return 0;
    }
    const std::map<std::string, std::function<void()>> groups = {
        {"paths", test_paths},
        {"default_dir", test_default_dir},
        {"spill", test_spill},
        {"spill_refusals", test_spill_refusals},
        {"enumerate", test_enumerate},
        {"enumerate_bad_items", test_enumerate_bad_items},
        {"enumerate_large", test_enumerate_large},
        {"remove", test_remove},
        {"error_texts", test_error_texts},
        {"permissions", test_permissions},
    };
    if (argc != 3 || groups.count(argv[1]) == 0) {
        std::fprintf(stderr, "usage: %s <group> <scratch dir>; groups:", argv[0]);
        for (const auto& [name, run] : groups) std::fprintf(stderr, " %s", name.c_str());
        std::fprintf(stderr, "\n");
        return 2;
    }
    scratch = argv[2];
    groups.at(argv[1])();
    if (::zun_test::failures != 0) {
        std::fprintf(stderr, "%d check(s) failed\n", ::zun_test::failures);
        return 1;
    }
    std::printf("ok %s\n", argv[1]);
    return 0;
}
