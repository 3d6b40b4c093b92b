// Feeds arbitrary bytes to every record reader and to the instant reader.
// Besides crashes, leaks and undefined behaviour it checks that whatever
// reads also writes back to text that reads to the same record.
//
// scripts/fuzz.sh builds it with clang (the core instrumented too) and runs it
// for a bounded time from the seeds in fuzz/seeds.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/time/instant.hpp"
#include "core/json/record_json.hpp"

namespace {

[[noreturn]] void fail() { std::abort(); }

template <class Record>
void check_stable(const std::string& written) {
    Record again;
    if (zun::from_json(written, again)) fail();
    if (zun::to_json(again) != written) fail();
}

template <class Record>
Record read_round_trip(std::string_view input, bool& ok) {
    Record record;
    auto error = zun::from_json(input, record);
    ok = !error;
    if (error) {
        // A failure has a message and a position inside the input.
        if (error->message.empty() || error->line == 0 || error->column > input.size()) fail();
        (void)error->text();
        return record;
    }
    check_stable<Record>(zun::to_json(record));
    return record;
}

void check_instant(std::string_view input) {
    zun::Instant instant;
    if (zun::parse_instant(input, instant) != zun::InstantFault::none) return;
    const std::string text = zun::format_instant(instant);
    zun::Instant again;
    if (zun::parse_instant(text, again) != zun::InstantFault::none || !(again == instant)) fail();
    const zun::CivilDateTime civil = zun::to_civil(instant);
    if (civil.month < 1 || civil.month > 12 || civil.day < 1 || civil.day > 31 || civil.second > 59) fail();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    bool ok = false;

    read_round_trip<zun::ProtocolAddress>(input, ok);
    read_round_trip<zun::AttestationChain>(input, ok);
    read_round_trip<zun::PeerIdentityDescriptor>(input, ok);
    read_round_trip<zun::AnchorReceipt>(input, ok);
    read_round_trip<zun::AnchorProof>(input, ok);
    read_round_trip<zun::InclusionProof>(input, ok);
    read_round_trip<zun::ConsistencyProof>(input, ok);

    const zun::SignedEnvelope envelope = read_round_trip<zun::SignedEnvelope>(input, ok);
    if (ok) (void)zun::canonical_signing_bytes(envelope);

    const zun::QueuedItem item = read_round_trip<zun::QueuedItem>(input, ok);
    if (ok) {
        zun::QueuedItem again;
        if (zun::from_json(zun::to_item_file(item), again) || zun::to_json(again) != zun::to_json(item)) fail();
    }

    check_instant(input);
    return 0;
}
