// Answers record JSON requests on stdin, one line each, so that the pytest
// suite can run every reference case through one process.
//
// Request:  <op> TAB <record> TAB <base64 of the input bytes>
//   op "read":    read the record; record is one of the wire record names
//   op "instant": read a bare time string (record is "-")
// Answer, every text in base64 ("-" for none):
//   ok TAB <compact> TAB <signing bytes> TAB <item file> TAB <opened> TAB <closed>
//   err TAB <message with position>
// where <opened>/<closed> are the civil fields of the envelope's times as
// year,month,day,hour,minute,second,nanos,leap. For "instant" the answer is
// ok TAB <text written back> TAB <civil fields>, or err TAB <message>.
// After a successful read the compact text is read again and must write
// back identically; otherwise the answer is "unstable".
// Writer-only requests (record "-"), answered ok TAB <base64 of the text>:
//   op "sign":         signing bytes of an envelope whose exchange_id and
//                      response_hash are the input, request_hash "h1"
//   op "counterparty": CounterpartyInfo from four fields, each a presence
//                      byte ('1' or '0'), a 4-byte big-endian length, bytes

#include <cstdio>
#include <iostream>
#include <optional>
#include <string>

#include "core/time/instant.hpp"
#include "core/json/record_json.hpp"

namespace {

std::string base64_encode(std::string_view in) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t i = 0;
    for (; i + 3 <= in.size(); i += 3) {
        const unsigned v = static_cast<unsigned char>(in[i]) << 16 | static_cast<unsigned char>(in[i + 1]) << 8 |
                           static_cast<unsigned char>(in[i + 2]);
        for (int shift = 18; shift >= 0; shift -= 6) out.push_back(kAlphabet[(v >> shift) & 63]);
    }
    if (i < in.size()) {
        unsigned v = static_cast<unsigned char>(in[i]) << 16;
        if (i + 1 < in.size()) v |= static_cast<unsigned char>(in[i + 1]) << 8;
        out.push_back(kAlphabet[(v >> 18) & 63]);
        out.push_back(kAlphabet[(v >> 12) & 63]);
        out.push_back(i + 1 < in.size() ? kAlphabet[(v >> 6) & 63] : '=');
        out.push_back('=');
    }
    return out.empty() ? "-" : out;
}

std::string base64_decode(std::string_view in) {
    std::string out;
    unsigned buffer = 0;
    int bits = 0;
    for (const char c : in) {
        int v;
        if (c >= 'A' && c <= 'Z') {
            v = c - 'A';
        } else if (c >= 'a' && c <= 'z') {
            v = c - 'a' + 26;
        } else if (c >= '0' && c <= '9') {
            v = c - '0' + 52;
        } else if (c == '+') {
            v = 62;
        } else if (c == '/') {
            v = 63;
        } else {
            continue;
        }
        buffer = (buffer << 6) | static_cast<unsigned>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<char>((buffer >> bits) & 0xFF));
        }
    }
    return out;
}

std::string civil(const std::optional<zun::Instant>& instant) {
    if (!instant) return "-";
    const zun::CivilDateTime c = zun::to_civil(*instant);
    return std::to_string(c.year) + "," + std::to_string(c.month) + "," + std::to_string(c.day) + "," +
           std::to_string(c.hour) + "," + std::to_string(c.minute) + "," + std::to_string(c.second) + "," +
           std::to_string(c.nanos) + "," + (c.leap ? "1" : "0");
}

struct Extras {
    std::string signing = "-";
    std::string pretty = "-";
    std::string opened = "-";
    std::string closed = "-";
};

void describe_envelope(const zun::SignedEnvelope& e, Extras& extras) {
    extras.signing = base64_encode(zun::canonical_signing_bytes(e));
    extras.opened = civil(e.opened_at);
    extras.closed = civil(e.closed_at);
}

Extras extras_of(const zun::SignedEnvelope& e) {
    Extras extras;
    describe_envelope(e, extras);
    return extras;
}
Extras extras_of(const zun::QueuedItem& item) {
    Extras extras;
    describe_envelope(item.envelope, extras);
    extras.pretty = base64_encode(zun::to_item_file(item));
    return extras;
}
template <class Record>
Extras extras_of(const Record&) {
    return {};
}

template <class Record>
std::string read_answer(const std::string& input) {
    Record record;
    if (auto error = zun::from_json(input, record)) return "err\t" + base64_encode(error->text());
    const std::string compact = zun::to_json(record);
    Record again;
    if (zun::from_json(compact, again) || zun::to_json(again) != compact) return "unstable";
    const Extras extras = extras_of(record);
    return "ok\t" + base64_encode(compact) + "\t" + extras.signing + "\t" + extras.pretty + "\t" + extras.opened +
           "\t" + extras.closed;
}

std::string instant_answer(const std::string& input) {
    zun::Instant instant;
    const zun::InstantFault fault = zun::parse_instant(input, instant);
    if (fault != zun::InstantFault::none) return "err\t" + base64_encode(zun::instant_fault_text(fault));
    return "ok\t" + base64_encode(zun::format_instant(instant)) + "\t" + civil(instant);
}

std::string sign_answer(const std::string& input) {
    zun::SignedEnvelope envelope;
    envelope.exchange_id = input;
    envelope.request_hash = "h1";
    envelope.response_hash = input;
    return "ok\t" + base64_encode(zun::canonical_signing_bytes(envelope));
}

std::string counterparty_answer(const std::string& input) {
    std::optional<std::string> fields[4];
    std::size_t at = 0;
    for (auto& field : fields) {
        if (at + 5 > input.size()) return "bad-request";
        const bool present = input[at] == '1';
        std::size_t length = 0;
        for (int k = 1; k <= 4; ++k) length = length << 8 | static_cast<unsigned char>(input[at + k]);
        at += 5;
        if (at + length > input.size()) return "bad-request";
        if (present) field = input.substr(at, length);
        at += length;
    }
    if (!fields[0] || !fields[1]) return "bad-request";
    const zun::CounterpartyInfo info{*fields[0], *fields[1], fields[2], fields[3]};
    return "ok\t" + base64_encode(zun::to_json(info));
}

std::string answer(const std::string& op, const std::string& record, const std::string& input) {
    if (op == "instant") return instant_answer(input);
    if (op == "sign") return sign_answer(input);
    if (op == "counterparty") return counterparty_answer(input);
    if (op != "read") return "bad-request";
    if (record == "ProtocolAddress") return read_answer<zun::ProtocolAddress>(input);
    if (record == "SignedEnvelope") return read_answer<zun::SignedEnvelope>(input);
    if (record == "AttestationChain") return read_answer<zun::AttestationChain>(input);
    if (record == "PeerIdentityDescriptor") return read_answer<zun::PeerIdentityDescriptor>(input);
    if (record == "AnchorReceipt") return read_answer<zun::AnchorReceipt>(input);
    if (record == "AnchorProof") return read_answer<zun::AnchorProof>(input);
    if (record == "QueuedItem") return read_answer<zun::QueuedItem>(input);
    if (record == "InclusionProof") return read_answer<zun::InclusionProof>(input);
    if (record == "ConsistencyProof") return read_answer<zun::ConsistencyProof>(input);
    return "bad-request";
}

}  // namespace

int main() {
    std::ios::sync_with_stdio(false);
    std::string line;
    while (std::getline(std::cin, line)) {
        const std::size_t first = line.find('\t');
        const std::size_t second = first == std::string::npos ? first : line.find('\t', first + 1);
        if (second == std::string::npos) {
            std::cout << "bad-request\n";
            continue;
        }
        const std::string input = base64_decode(std::string_view(line).substr(second + 1));
        std::cout << answer(line.substr(0, first), line.substr(first + 1, second - first - 1), input) << '\n';
    }
    return 0;
}
