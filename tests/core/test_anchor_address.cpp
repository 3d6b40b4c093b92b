// Hex coding, the mock anchor and protocol addresses.
//
// Without arguments: runs the checks and exits non-zero on any failure.
// With "probe": answers line commands on stdin, for oracles in the pytest
// suite. Inputs are given as hex ("-" for empty) decoded by a helper of this
// program, not by the code under test:
//   hex <input>                  -> "ok <decoded lowercase hex>" | "err <message>"
//   hash <class> <type> <ref>    -> content hash in decimal

#include <barrier>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/protocol/address.hpp"
#include "core/anchor/anchor.hpp"
#include "core/text/hex.hpp"
#include "core/protocol/names.hpp"
#include "core/crypto/siphash.hpp"
#include "check.hpp"

namespace {


using zun::AnchorError;
using zun::MerkleRoot;

std::string decode_result(std::string_view text) {
    auto result = zun::hex_decode(text);
    if (auto* error = std::get_if<zun::HexError>(&result)) return "err " + error->message();
    return "ok " + zun::hex_encode(std::get<std::vector<std::uint8_t>>(result));
}

// ---- hex ----
// Every single byte is compared with a Python oracle by the pytest suite;
// these are the cases that document the message format.

void test_hex_encode() {
    std::vector<std::uint8_t> all(256);
    for (int i = 0; i < 256; ++i) all[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
    const std::string text = zun::hex_encode(all);
    CHECK_EQ(text.size(), 512u);
    for (int i = 0; i < 256; ++i) {
        char expected[3];
        std::snprintf(expected, sizeof expected, "%02x", i);
        CHECK_EQ(text.substr(static_cast<std::size_t>(2 * i), 2), std::string(expected));
    }
    CHECK_EQ(zun::hex_encode({}), std::string());
    std::string appended = "x";
    const std::uint8_t two[] = {0xDE, 0xAD};
    zun::append_hex(appended, two);
    CHECK_EQ(appended, std::string("xdead"));
}

struct DecodeCase {
    std::string_view input;
    std::string_view expected;
};

void test_hex_decode() {
    using namespace std::string_view_literals;
    const DecodeCase cases[] = {
        {"", "ok "},
        {"00ff7F", "ok 00ff7f"},
        {"AbCdEf", "ok abcdef"},
        {"abc", "err Odd number of digits"},
        {"g", "err Odd number of digits"},            // length is checked first
        {"abcg", "err Invalid character 'g' at position 3"},
        {"zz", "err Invalid character 'z' at position 0"},
        {"0gx0", "err Invalid character 'g' at position 1"},  // first offender wins
        {"00é", "err Invalid character 'Ã' at position 2"},  // 0xC3 as U+00C3
        {"é0", "err Odd number of digits"},            // three bytes
        {"0'", "err Invalid character '\\'' at position 1"},
        {"0\"", "err Invalid character '\"' at position 1"},
        {"0\\", "err Invalid character '\\\\' at position 1"},
        {"\n0", "err Invalid character '\\n' at position 0"},
        {"0\r", "err Invalid character '\\r' at position 1"},
        {"\t0", "err Invalid character '\\t' at position 0"},
        {"0\0"sv, "err Invalid character '\\0' at position 1"},
        {"0\x1b", "err Invalid character '\\u{1b}' at position 1"},
        {"0\x80", "err Invalid character '\\u{80}' at position 1"},
        {"0\xa0", "err Invalid character '\\u{a0}' at position 1"},
        {"0\xad", "err Invalid character '\\u{ad}' at position 1"},
        {"0\xa1", "err Invalid character '¡' at position 1"},
        {"0000000000x0", "err Invalid character 'x' at position 10"},
    };
    for (const auto& c : cases) CHECK_EQ(decode_result(c.input), std::string(c.expected));
}

void test_hex_decode_to() {
    std::uint8_t out[3] = {};
    CHECK(!zun::hex_decode_to("0aFf10", out));
    CHECK(out[0] == 0x0A && out[1] == 0xFF && out[2] == 0x10);
    // A fault in the low digit of a pair is reported at its own index.
    const auto error = zun::hex_decode_to("0a0g10", out);
    CHECK(error && error->kind == zun::HexError::Kind::invalid_character && error->position == 3);
    CHECK(!zun::hex_check("0123456789abcdefABCDEF"));
    CHECK(zun::hex_check("0123456789abcdefABCDEFG0"));
}

// ---- anchor ----

MerkleRoot root_of(std::uint8_t fill, std::uint8_t first = 0) {
    MerkleRoot root;
    root.fill(fill);
    root[0] = first;
    return root;
}

template <class T>
const AnchorError* error_of(const zun::AnchorResult<T>& result) {
    return std::get_if<AnchorError>(&result);
}

void test_anchor_error_messages() {
    const std::pair<AnchorError::Kind, std::string_view> cases[] = {
        {AnchorError::Kind::network, "anchor network: d"},
        {AnchorError::Kind::bad_response, "anchor bad response: d"},
        {AnchorError::Kind::already_submitted, "anchor already submitted: d"},
        {AnchorError::Kind::not_found, "anchor not found: d"},
        {AnchorError::Kind::unsupported, "anchor unsupported: d"},
    };
    for (const auto& [kind, message] : cases) CHECK_EQ((AnchorError{kind, "d"}.message()), std::string(message));
}

void test_submit_and_verify() {
    zun::MockAnchor anchor("t");
    const auto result = anchor.submit(root_of(0));
    CHECK(std::holds_alternative<zun::AnchorReceipt>(result));
    const auto& receipt = std::get<zun::AnchorReceipt>(result);
    const std::string zeros(64, '0');
    CHECK_EQ(receipt.anchor_id, std::string("t"));
    CHECK(receipt.anchor_kind == zun::AnchorKind::local);
    CHECK_EQ(receipt.merkle_root_hex, zeros);
    CHECK_EQ(receipt.submission_ref, std::string("mock://00000000"));
    CHECK_EQ(receipt.submitted_at, std::string("2026-04-15T09:00:00Z"));
    CHECK_EQ(receipt.expected_finality_at, std::string("2026-04-15T09:00:00Z"));
    CHECK_EQ(receipt.proof_b64, std::string());
    CHECK(anchor.stored_receipt(root_of(0)) == receipt);

    const auto proof = anchor.verify(receipt);
    CHECK(std::holds_alternative<zun::AnchorProof>(proof));
    CHECK((std::get<zun::AnchorProof>(proof) ==
           zun::AnchorProof{"t", zun::AnchorKind::local, zeros, true, "2026-04-15T09:00:00Z", "mock"}));

    // The proof names the verifying anchor and the given receipt's time.
    zun::AnchorReceipt foreign = receipt;
    foreign.anchor_id = "elsewhere";
    foreign.submitted_at = "1999-01-01T00:00:00Z";
    foreign.submission_ref = "x";
    const auto foreign_proof = anchor.verify(foreign);
    CHECK(std::holds_alternative<zun::AnchorProof>(foreign_proof));
    if (const auto* p = std::get_if<zun::AnchorProof>(&foreign_proof)) {
        CHECK_EQ(p->anchor_id, std::string("t"));
        CHECK_EQ(p->authoritative_time, std::string("1999-01-01T00:00:00Z"));
    }

    // Roots sharing their first four bytes share the reference, not the entry.
    MerkleRoot dead = root_of(7);
    dead[0] = 0xDE; dead[1] = 0xAD; dead[2] = 0xBE; dead[3] = 0xEF;
    MerkleRoot dead2 = dead;
    dead2[31] = 8;
    const auto r1 = anchor.submit(dead);
    const auto r2 = anchor.submit(dead2);
    CHECK(std::holds_alternative<zun::AnchorReceipt>(r1) && std::holds_alternative<zun::AnchorReceipt>(r2));
    if (std::holds_alternative<zun::AnchorReceipt>(r1) && std::holds_alternative<zun::AnchorReceipt>(r2)) {
        CHECK_EQ(std::get<zun::AnchorReceipt>(r1).submission_ref, std::string("mock://deadbeef"));
        CHECK_EQ(std::get<zun::AnchorReceipt>(r2).submission_ref, std::string("mock://deadbeef"));
        CHECK_EQ(std::get<zun::AnchorReceipt>(r2).merkle_root_hex,
                 std::string("deadbeef07070707070707070707070707070707070707070707070707070708"));
    }
    CHECK_EQ(anchor.submission_count(), 3u);

    zun::MockAnchor unnamed("");
    const auto unnamed_receipt = unnamed.submit(root_of(1));
    CHECK(std::holds_alternative<zun::AnchorReceipt>(unnamed_receipt) &&
          std::get<zun::AnchorReceipt>(unnamed_receipt).anchor_id.empty());
}

void test_uppercase_root_verifies() {
    zun::MockAnchor anchor("up");
    MerkleRoot root = root_of(0xAB, 0xCD);
    CHECK(std::holds_alternative<zun::AnchorReceipt>(anchor.submit(root)));
    zun::AnchorReceipt receipt;
    receipt.merkle_root_hex = "CD" + std::string(31 * 2, 'x');
    for (std::size_t i = 2; i < 64; i += 2) receipt.merkle_root_hex.replace(i, 2, "aB");
    const auto proof = anchor.verify(receipt);
    CHECK(std::holds_alternative<zun::AnchorProof>(proof));
    if (const auto* p = std::get_if<zun::AnchorProof>(&proof)) CHECK_EQ(p->merkle_root_hex, receipt.merkle_root_hex);
}

struct FailureCase {
    std::string root_hex;
    AnchorError::Kind kind;
    std::string detail;
};

void test_failures_leave_memory_unchanged() {
    zun::MockAnchor anchor("f");
    const auto first = anchor.submit(root_of(0));
    CHECK(std::holds_alternative<zun::AnchorReceipt>(first));
    const auto snapshot = anchor.stored_receipt(root_of(0));

    const auto again = anchor.submit(root_of(0));
    const auto* dup = error_of(again);
    CHECK(dup && dup->kind == AnchorError::Kind::already_submitted);
    if (dup) CHECK_EQ(dup->message(), "anchor already submitted: " + std::string(64, '0'));

    const std::string unknown = std::string(62, '1') + "Ff";
    const FailureCase cases[] = {
        {"abc", AnchorError::Kind::bad_response, "Odd number of digits"},
        {std::string(62, '0'), AnchorError::Kind::bad_response, "root len"},
        {std::string(66, '0'), AnchorError::Kind::bad_response, "root len"},
        {"", AnchorError::Kind::bad_response, "root len"},
        {std::string(63, '0') + "g", AnchorError::Kind::bad_response, "Invalid character 'g' at position 63"},
        // A bad digit outranks the wrong length.
        {std::string(64, '0') + "0z", AnchorError::Kind::bad_response, "Invalid character 'z' at position 65"},
        {unknown, AnchorError::Kind::not_found, unknown},
    };
    for (const auto& c : cases) {
        zun::AnchorReceipt receipt;
        receipt.merkle_root_hex = c.root_hex;
        const auto result = anchor.verify(receipt);
        const auto* error = error_of(result);
        CHECK(error != nullptr);
        if (error) {
            CHECK(error->kind == c.kind);
            CHECK_EQ(error->detail, c.detail);
        }
    }
    CHECK_EQ(anchor.submission_count(), 1u);
    CHECK(anchor.stored_receipt(root_of(0)) == snapshot);

    // A second anchor shares nothing with the first.
    zun::MockAnchor other("f");
    const auto missing = other.verify(std::get<zun::AnchorReceipt>(first));
    const auto* not_found = error_of(missing);
    CHECK(not_found && not_found->message() == "anchor not found: " + std::string(64, '0'));
}

void test_concurrent_submission() {
    constexpr int kThreads = 8;
    for (int round = 0; round < 50; ++round) {
        zun::MockAnchor anchor("c");
        std::barrier start(kThreads);
        std::vector<int> succeeded(kThreads, 0);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                start.arrive_and_wait();
                const auto result = anchor.submit(root_of(5));
                succeeded[static_cast<std::size_t>(t)] = std::holds_alternative<zun::AnchorReceipt>(result) ? 1 : 0;
            });
        }
        for (auto& thread : threads) thread.join();
        int total = 0;
        for (const int s : succeeded) total += s;
        CHECK_EQ(total, 1);
        CHECK_EQ(anchor.submission_count(), 1u);
    }
}

// ---- addresses ----

struct ParseCase {
    std::string_view uri;
    bool ok;
    zun::AddressClass address_class;
    std::string_view type;
    std::string_view ref;
};

void test_parse_uri() {
    using zun::AddressClass;
    const ParseCase cases[] = {
        {"kiv://body/peer/ab12", true, AddressClass::body, "peer", "ab12"},
        {"kiv://doc/a/b/c", true, AddressClass::doc, "a", "b/c"},
        {"kiv://body//x", true, AddressClass::body, "", "x"},
        {"kiv://body/peer/", true, AddressClass::body, "peer", ""},
        {"kiv://act//", true, AddressClass::act, "", ""},
        {"kiv://mediation/%20/ x ", true, AddressClass::mediation, "%20", " x "},
        {"kiv://pair/\xff\xfe/\xc3\xa9", true, AddressClass::pair, "\xff\xfe", "\xc3\xa9"},
        {"kiv://body/peer", false, {}, {}, {}},
        {"kiv://", false, {}, {}, {}},
        {"kiv:///peer/x", false, {}, {}, {}},
        {"kiv://Body/peer/x", false, {}, {}, {}},
        {"kiv://body /peer/x", false, {}, {}, {}},
        {"KIV://body/peer/x", false, {}, {}, {}},
        {" kiv://body/peer/x", false, {}, {}, {}},
        {"kiv:/body/peer/x", false, {}, {}, {}},
        {"kiv:/", false, {}, {}, {}},
        {"", false, {}, {}, {}},
        {"kiv://bodies/peer/x", false, {}, {}, {}},
    };
    for (const auto& c : cases) {
        const auto parsed = zun::parse_uri(c.uri);
        if (parsed.has_value() != c.ok) {
            ::zun_test::failures++;
            std::cerr << "parse_uri(\"" << c.uri << "\") gave the wrong verdict\n";
            continue;
        }
        if (!parsed) continue;
        CHECK((*parsed == zun::ProtocolAddress{c.address_class, std::string(c.type), std::string(c.ref)}));
        CHECK_EQ(zun::to_uri(*parsed), std::string(c.uri));
    }
    for (const auto name : zun::kAddressClassNames) {
        const auto parsed = zun::parse_uri("kiv://" + std::string(name) + "/t/r");
        CHECK(parsed && zun::name_of(parsed->address_class) == name);
    }
}

void test_uri_writer() {
    const zun::ProtocolAddress slashed{zun::AddressClass::body, "a/b", "c"};
    CHECK_EQ(zun::to_uri(slashed), std::string("kiv://body/a/b/c"));
    const auto reparsed = zun::parse_uri(zun::to_uri(slashed));
    CHECK((reparsed && reparsed->type == "a" && reparsed->ref == "b/c" && !(*reparsed == slashed)));
    CHECK_EQ(zun::to_uri({zun::AddressClass::act, "", ""}), std::string("kiv://act//"));
}

void test_content_hash() {
    const zun::ProtocolAddress built{zun::AddressClass::body, "peer", "abc"};
    CHECK_EQ(zun::content_hash(built), INT64_C(-2273912411627669310));
    const auto parsed = zun::parse_uri("kiv://body/peer/abc");
    CHECK(parsed && zun::content_hash(*parsed) == zun::content_hash(built));
    // The separator byte keeps the boundary between type and ref.
    CHECK(zun::content_hash({zun::AddressClass::body, "a", "bc"}) !=
          zun::content_hash({zun::AddressClass::body, "ab", "c"}));
    CHECK(zun::content_hash({zun::AddressClass::act, "peer", "abc"}) != zun::content_hash(built));
}

std::uint64_t hash_whole(std::string_view bytes) {
    zun::SipHasher13 hasher(0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL);
    hasher.write(bytes);
    return hasher.finish();
}

void test_siphash_streaming() {
    std::string data;
    for (int i = 0; i < 40; ++i) data.push_back(static_cast<char>(i * 37 + 1));
    for (std::size_t len = 0; len <= data.size(); ++len) {
        const std::string_view whole(data.data(), len);
        const std::uint64_t expected = hash_whole(whole);
        for (std::size_t cut = 0; cut <= len; ++cut) {
            zun::SipHasher13 split(0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL);
            split.write(whole.substr(0, cut));
            split.write(whole.substr(cut));
            CHECK_EQ(split.finish(), expected);
        }
        if (len >= 8) {
            // write_u64 and write_u8 at every alignment equal plain byte writes.
            for (std::size_t at = 0; at + 8 <= len; ++at) {
                std::uint64_t word = 0;
                for (int b = 7; b >= 0; --b) word = (word << 8) | static_cast<std::uint8_t>(whole[at + static_cast<std::size_t>(b)]);
                zun::SipHasher13 typed(0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL);
                for (std::size_t i = 0; i < at; ++i) typed.write_u8(static_cast<std::uint8_t>(whole[i]));
                typed.write_u64(word);
                typed.write(whole.substr(at + 8));
                CHECK_EQ(typed.finish(), expected);
            }
        }
    }
}

// ---- probe ----

std::string from_test_hex(const std::string& text) {
    if (text == "-") return {};
    std::string out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        out.push_back(static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16)));
    }
    return out;
}

int run_probe() {
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string command;
        in >> command;
        if (command == "hex") {
            std::string input;
            in >> input;
            std::cout << decode_result(from_test_hex(input)) << '\n';
        } else if (command == "hash") {
            std::string name, type, ref;
            in >> name >> type >> ref;
            const auto address_class = zun::enum_from_name<zun::AddressClass>(name);
            if (!address_class) {
                std::cout << "bad class\n";
                continue;
            }
            std::cout << zun::content_hash({*address_class, from_test_hex(type), from_test_hex(ref)}) << '\n';
        } else {
            std::cout << "unknown command\n";
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "probe") == 0) return run_probe();
    test_hex_encode();
    test_hex_decode();
    test_hex_decode_to();
    test_anchor_error_messages();
    test_submit_and_verify();
    test_uppercase_root_verifies();
    test_failures_leave_memory_unchanged();
    test_concurrent_submission();
    test_parse_uri();
    test_uri_writer();
    test_content_hash();
    test_siphash_streaming();
    if (::zun_test::failures != 0) {
        std::fprintf(stderr, "%d check(s) failed\n", ::zun_test::failures);
        return 1;
    }
    std::puts("all checks passed");
    return 0;
}
