"""OpenTimestamps proofs: the .ots format read within its limits, the canonical form, merges and
upgrades, Bitcoin headers checked, and the `open_timestamps` anchor driven through local
calendars. Every proof, block and header is built here (examples/local_calendar.py), save two
real mainnet headers."""
import base64
import datetime
import hashlib
import json
import pathlib
import pickle
import re
import subprocess
import sys
import urllib.error
import urllib.request

import pytest

import zun_protocol as zp

EXAMPLES = pathlib.Path(__file__).resolve().parents[1] / "examples"
sys.path.insert(0, str(EXAMPLES))
from local_calendar import (  # noqa: E402
    ACCEPT, APPEND, ETHEREUM, HEXLIFY, KECCAK256, LITECOIN, PREPEND, REVERSE, RIPEMD160, SHA1, SHA256, LocalCalendar,
    attestation, bitcoin, block_hash, meets_target, merkle_path, mine, node, op, ots_file, pending, sha256,
    varint)

DIGEST = sha256(b"batch")
BAD = "anchor bad response: "
INVALID = BAD + "invalid .ots proof: "
OTHER_TAG = bytes.fromhex("a0a1a2a3a4a5a6a7")  # an attestation kind this module does not know
TIME = 1_780_000_000
UTC = datetime.timezone.utc
MAINNET = {int(height): bytes.fromhex(raw) for height, raw in
           json.loads((pathlib.Path(__file__).parent / "data" / "ots" / "mainnet-headers.json").read_text()).items()}


def refused(message, call, exc=ValueError):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc and str(info.value) == message, str(info.value)


def proof(tree, digest=DIGEST, hash_op=SHA256):
    return zp.OtsProof.from_bytes(ots_file(digest, tree, hash_op))


def test_every_operation_and_attestation_kind():
    tree = node(bitcoin(7), attestation(LITECOIN, varint(300)), attestation(ETHEREUM, varint(2**64 - 1)),
                pending("https://a.example/x_y-z:1"), attestation(OTHER_TAG, b"carried"),
                op(SHA1) + bitcoin(1), op(RIPEMD160) + bitcoin(2), op(SHA256) + bitcoin(3),
                op(APPEND, b"a") + bitcoin(4), op(PREPEND, b"p") + bitcoin(5), op(REVERSE) + bitcoin(6),
                op(HEXLIFY) + bitcoin(8))
    data = ots_file(DIGEST, tree)
    read = zp.OtsProof.from_bytes(data)
    assert (read.to_bytes(), read.digest, read.hash_algorithm) == (data, DIGEST, "sha256")
    assert read.attestations == [
        ("bitcoin", 7, DIGEST), ("litecoin", 300, DIGEST), ("ethereum", 2**64 - 1, DIGEST),
        ("pending", "https://a.example/x_y-z:1", DIGEST), ("unknown", OTHER_TAG, DIGEST),
        ("bitcoin", 1, hashlib.sha1(DIGEST).digest()), ("bitcoin", 2, hashlib.new("ripemd160", DIGEST).digest()),
        ("bitcoin", 3, sha256(DIGEST)), ("bitcoin", 4, DIGEST + b"a"), ("bitcoin", 5, b"p" + DIGEST),
        ("bitcoin", 6, DIGEST[::-1]), ("bitcoin", 8, DIGEST.hex().encode())]
    assert repr(read) == f'OtsProof(hash_algorithm="sha256", digest="{DIGEST.hex()}", attestations=12)'
    assert pickle.loads(pickle.dumps(read)) == read != proof(bitcoin(7))
    with pytest.raises(TypeError):
        hash(read)


@pytest.mark.parametrize("hash_op, name, size", [(SHA1, "sha1", 20), (RIPEMD160, "ripemd160", 20),
                                                 (KECCAK256, "keccak256", 32)])
def test_file_hash_ops(hash_op, name, size):
    read = proof(bitcoin(1), bytes(range(size)), hash_op)
    assert (read.hash_algorithm, read.digest) == (name, bytes(range(size)))
    refused(f"{INVALID}truncated: the digest needs {size} bytes, {size - 1} remain (at byte 33)",
            lambda: zp.OtsProof.from_bytes(ots_file(bytes(size - 1), b"", hash_op)))


def test_keccak256_where_libcrypto_has_it():
    # keccak256 of 32 zero bytes: Ethereum's storage slot of a mapping at slot 0.
    read = proof(op(KECCAK256) + attestation(ETHEREUM, varint(1)), bytes(32))
    assert read.to_bytes().endswith(op(KECCAK256) + attestation(ETHEREUM, varint(1)))  # read without hashing
    try:
        found = read.attestations
    except NotImplementedError as error:
        assert str(error) == "anchor unsupported: keccak256 needs OpenSSL 3.2 or later"
    else:
        assert found == [("ethereum", 1, bytes.fromhex(
            "290decd9548b62a8d60345a988386fc84ba6bc95484008f6362f93160ef3e563"))]
    # Bitcoin attestations elsewhere in the proof verify either way.
    raw = mine(DIGEST, time=TIME)
    both = proof(node(bitcoin(9), op(KECCAK256) + attestation(ETHEREUM, varint(1))))
    assert both.verify({9: raw}, chain="regtest") == (9, datetime.datetime.fromtimestamp(TIME, UTC))


def test_canonical_form_sorts_and_unites():
    # Heights, URLs and arguments that sort otherwise by their encoded bytes; an attestation
    # given twice; an operation given twice, whose nodes unite.
    shuffled = node(op(APPEND, b"\x01") + bitcoin(2), pending("https://b"), bitcoin(256),
                    op(APPEND, b"a") + pending("https://b"), op(APPEND, b"\x00\x01") + bitcoin(1),
                    pending("https://aa"), bitcoin(255), op(APPEND, b"a") + node(bitcoin(9), pending("https://b")),
                    bitcoin(256))
    canonical = node(bitcoin(255), bitcoin(256), pending("https://aa"), pending("https://b"),
                     op(APPEND, b"\x00\x01") + bitcoin(1), op(APPEND, b"\x01") + bitcoin(2),
                     op(APPEND, b"a") + node(bitcoin(9), pending("https://b")))
    read = proof(shuffled)
    assert read.to_bytes() == ots_file(DIGEST, canonical)
    assert read == proof(canonical) and zp.OtsProof.from_bytes(read.to_bytes()).to_bytes() == read.to_bytes()


@pytest.mark.parametrize("accepted, refused_tree, reason", [
    (op(APPEND, bytes(4064)) + bitcoin(1), op(APPEND, bytes(4065)) + bitcoin(1),
     "append makes a message of 4097 bytes, above the limit of 4096"),
    (op(APPEND, b"x") + bitcoin(1), op(APPEND, b"") + bitcoin(1), "append's argument of 0 bytes, outside 1 to 4096"),
    (None, op(PREPEND, bytes(4097)) + bitcoin(1), "prepend's argument of 4097 bytes, outside 1 to 4096"),
    (op(APPEND, bytes(2016)) + op(HEXLIFY) + bitcoin(1), op(APPEND, bytes(2017)) + op(HEXLIFY) + bitcoin(1),
     "hexlify of a 2049-byte message, above the limit of 2048"),
    (op(REVERSE) * 256 + bitcoin(1), op(REVERSE) * 257 + bitcoin(1), "operations nested deeper than 256"),
    (node(bitcoin(1), op(SHA256) * 255 + node(bitcoin(2), op(SHA256) + bitcoin(3))),
     node(bitcoin(1), op(SHA256) * 256 + node(bitcoin(2), op(SHA256) + bitcoin(3))),
     "operations nested deeper than 256"),
    (pending("https://" + "a" * 992), pending("https://" + "a" * 993),
     "the pending attestation's URL of 1001 bytes, outside 1 to 1000"),
    (attestation(OTHER_TAG, bytes(8192)), attestation(OTHER_TAG, bytes(8193)),
     "an attestation's payload of 8193 bytes, outside 0 to 8192"),
], ids=["message", "argument-empty", "argument-long", "hexlify", "nesting", "nesting-in-branches", "url", "payload"])
def test_limits_on_both_sides(accepted, refused_tree, reason):
    if accepted is not None:
        assert proof(accepted).to_bytes() == ots_file(DIGEST, accepted)
    with pytest.raises(ValueError, match="^" + re.escape(INVALID + reason) + r" \(at byte \d+\)$"):
        proof(refused_tree)


GOOD = ots_file(DIGEST, node(bitcoin(1), op(APPEND, b"ab") + pending("https://a")))


@pytest.mark.parametrize("data, reason", [
    (GOOD + b"\x00", f"1 byte after the proof (at byte {len(GOOD)})"),
    (b"\x00OpenTimestamps\x00\x00Proof\x00" + bytes(8) + GOOD[31:], "not an .ots file: the magic bytes differ"),
    (GOOD[:31] + b"\x02" + GOOD[32:], "major version 2, expected 1"),
    (GOOD[:32] + bytes([APPEND]) + GOOD[33:], "the file's hash op is append, not a hash (at byte 32)"),
    (ots_file(DIGEST, op(0x42) + bitcoin(1)), "unknown operation 0x42 (at byte 65)"),
    (ots_file(DIGEST, b"\xff\xff" + bitcoin(1)), "unknown operation 0xff (at byte 66)"),
    (ots_file(DIGEST, b"\x00" + OTHER_TAG + b"\x80\x00"), "an attestation's payload's length is a varint not in its "
                                                          "shortest form (at byte 74)"),
    (ots_file(DIGEST, attestation(LITECOIN, b"\xff" * 9 + b"\x02")), "a chain attestation's block height is a "
                                                                     "varint above 64 bits (at byte 75)"),
    (ots_file(DIGEST, attestation(LITECOIN, varint(5) + b"\x00")), "the litecoin attestation's payload has 1 bytes "
                                                                   "after its block height (at byte 75)"),
    (ots_file(DIGEST, pending("https://a b")), "the pending attestation's URL: byte 9 is 0x20, outside "
                                               "[A-Za-z0-9._/:-] (at byte 75)"),
    (ots_file(DIGEST, pending("")), "the pending attestation's URL of 0 bytes, outside 1 to 1000 (at byte 75)"),
], ids=["trailing", "magic", "version", "file-op", "unknown-op", "two-branch-markers", "long-varint",
        "varint-above-64-bits", "payload-left-over", "url-alphabet", "url-empty"])
def test_malformed_files(data, reason):
    refused(INVALID + reason, lambda: zp.OtsProof.from_bytes(data))


def test_every_truncation_is_refused():
    assert zp.OtsProof.from_bytes(GOOD).to_bytes() == GOOD
    for end in range(len(GOOD)):
        with pytest.raises(ValueError, match="^" + re.escape(INVALID) + "(truncated: |not an .ots file)"):
            zp.OtsProof.from_bytes(GOOD[:end])


def test_merge_is_the_union():
    first = proof(node(bitcoin(3), op(SHA256) + pending("https://a")))
    second = proof(node(pending("https://b"), op(SHA256) + node(bitcoin(5), pending("https://a"))))
    union = proof(node(bitcoin(3), pending("https://b"), op(SHA256) + node(bitcoin(5), pending("https://a"))))
    assert first.merge(second) == second.merge(first) == union and union.merge(first) == union
    other = proof(bitcoin(3), sha256(b"other"))
    refused(f"other: a proof of another digest (sha256 {sha256(b'other').hex()}, not sha256 {DIGEST.hex()})",
            lambda: first.merge(other))


def test_upgrade_grafts_at_every_node_of_the_message():
    # Two reversals lead back to the digest: the root and that node both have its message.
    waiting = proof(node(pending("https://a"), op(REVERSE) + op(REVERSE) + pending("https://a")))
    answer = op(SHA256) + bitcoin(5)
    # What the answer completes is no longer pending.
    assert waiting.upgrade(DIGEST, answer) == proof(node(answer, op(REVERSE) + op(REVERSE) + answer))
    relayed = waiting.upgrade(DIGEST, pending("https://b"))
    assert relayed == proof(node(pending("https://a"), pending("https://b"),
                                 op(REVERSE) + op(REVERSE) + node(pending("https://a"), pending("https://b"))))
    refused(f"commitment: no message of the proof is {sha256(b'x').hex()}", lambda: waiting.upgrade(sha256(b"x"), answer))
    refused(f"{BAD}invalid .ots tree: 1 byte after the tree (at byte {len(answer)})",
            lambda: waiting.upgrade(DIGEST, answer + b"\0"))
    deep = proof(op(SHA256) * 250 + pending("https://a"))
    message = DIGEST
    for _ in range(250):
        message = sha256(message)
    assert deep.upgrade(message, op(SHA256) * 6 + bitcoin(1)).attestations == [("bitcoin", 1, sha256(sha256(
        sha256(sha256(sha256(sha256(message)))))))]
    refused(f"{BAD}invalid .ots tree: grafted where the proof has that message, operations nested deeper than 256",
            lambda: deep.upgrade(message, op(SHA256) * 7 + bitcoin(1)))


@pytest.mark.parametrize("count, index", [(1, 0), (2, 0), (2, 1), (3, 0), (3, 1), (3, 2)])
def test_commitment_as_a_transaction_of_a_block(count, index):
    txids = [sha256(bytes([n])) for n in range(count)]
    txids[index] = DIGEST
    root, path = merkle_path(txids, index)
    raw = mine(root, time=TIME)
    read = proof(path + bitcoin(100))
    assert read.verify({100: raw}, chain="regtest") == (100, datetime.datetime.fromtimestamp(TIME, UTC))
    assert read.verify({99: raw}, chain="regtest") is None


def other_nonce(raw):
    """The header with the first nonce after its own whose hash misses its target."""
    nonce = int.from_bytes(raw[76:], "little")
    while meets_target(raw[:76] + nonce.to_bytes(4, "little")):
        nonce += 1
    return raw[:76] + nonce.to_bytes(4, "little")


def with_bits(raw, bits):
    return raw[:72] + bits.to_bytes(4, "little") + raw[76:]


@pytest.mark.parametrize("make, chain, reason", [
    (lambda raw: mine(DIGEST[::-1], time=TIME), "regtest",
     f"the header's merkle root is {DIGEST[::-1].hex()}, not the attested {DIGEST.hex()} (the same bytes reversed: "
     "the header holds the root in the order explorers display)"),
    (other_nonce, "regtest", "the header's hash {hash} is above the target of its nBits 0x207fffff"),
    (lambda raw: raw[:79], "regtest", "the header is 79 bytes, not 80"),
    (lambda raw: raw, "mainnet", "nBits 0x207fffff is easier than the mainnet limit 0x1d00ffff"),
    (lambda raw: with_bits(raw, 0x04923456), "regtest", "nBits 0x04923456 encodes a negative target"),
    (lambda raw: with_bits(raw, 0xFF123456), "regtest", "nBits 0xff123456 encodes a target above 256 bits"),
    (lambda raw: with_bits(raw, 0x1D000000), "regtest", "nBits 0x1d000000 encodes a zero target"),
], ids=["display-order-root", "changed-nonce", "79-bytes", "easier-than-mainnet", "negative", "overflow", "zero"])
def test_header_faults(make, chain, reason):
    raw = make(mine(DIGEST, time=TIME))
    found = hashlib.sha256(hashlib.sha256(raw).digest()).digest()[::-1].hex()
    refused(f"{BAD}block 7: " + reason.format(hash=found), lambda: proof(bitcoin(7)).verify({7: raw}, chain=chain))


def test_one_confirmed_attestation_is_enough_and_the_earliest_wins():
    good, wrong, later = mine(DIGEST, time=TIME), mine(sha256(b"x"), time=TIME), mine(DIGEST, time=TIME - 600)
    two = proof(node(bitcoin(7), bitcoin(8), bitcoin(9)))
    assert two.verify({7: wrong, 8: good}, chain="regtest") == (8, datetime.datetime.fromtimestamp(TIME, UTC))
    # The lower block wins, though its time is the later one.
    assert two.verify({9: later, 8: good}, chain="regtest")[0] == 8
    with pytest.raises(ValueError, match=f"^{BAD}block 7: the header's merkle root is "):
        two.verify({7: wrong}, chain="regtest")
    refused("argument 'headers': 'str' object cannot be cast as 'bytes'", lambda: two.verify({7: "x"}), TypeError)
    refused("argument 'headers': 'list' object cannot be cast as 'Mapping'", lambda: two.verify([good]), TypeError)
    refused('chain: "testnet" is neither "mainnet" nor "regtest"', lambda: two.verify({}, chain="testnet"))


def test_real_mainnet_headers():
    # A proof whose digest is block 1's merkle root, attested in blocks 0 (wrongly) and 1.
    read = proof(node(bitcoin(0), bitcoin(1)), MAINNET[1][36:68])
    assert read.verify(MAINNET) == (1, datetime.datetime(2009, 1, 9, 2, 54, 25, tzinfo=UTC))
    assert proof(bitcoin(0), MAINNET[0][36:68]).verify(MAINNET) == (0, datetime.datetime(2009, 1, 3, 18, 15, 5,
                                                                                           tzinfo=UTC))


def answer_for(url):
    return op(APPEND, sha256(url.encode())[:16]) + op(SHA256) + pending(url)


def test_anchor_refusals():
    anchor = zp.OtsAnchor("ots", ["https://a.example", "https://b.example"])
    request = anchor.request(DIGEST, nonce=bytes(16))
    assert (request.merkle_root, request.nonce, request.commitment) == (DIGEST, bytes(16), sha256(DIGEST + bytes(16)))
    assert zp.OtsRequest.from_bytes(request.to_bytes()) == pickle.loads(pickle.dumps(request)) == request
    receipt = anchor.receipt(request, {"https://a.example": answer_for("https://a.example")})
    fields = receipt.to_dict()
    for call, message, exc in [
        (lambda: anchor.receipt(request, {}), "responses: no calendar's answer was given", ValueError),
        (lambda: anchor.receipt(request, {"https://c.example": b""}),
         'responses: "https://c.example" is not one of the anchor\'s calendars', ValueError),
        (lambda: anchor.receipt(request, {"https://a.example": answer_for("x")[:-2]}),
         f'{BAD}the answer of "https://a.example": invalid .ots tree: truncated: an attestation\'s payload needs 2 '
         "bytes, 0 remain (at byte 29)", ValueError),
        (lambda: anchor.upgrade(receipt, {"https://b.example": bitcoin(1)}),
         'responses: the receipt is not pending at "https://b.example"', ValueError),
        (lambda: anchor.verify(zp.AnchorReceipt.from_dict({**fields, "anchor_kind": "nist_tsa"})),
         "anchor unsupported: a receipt of kind `nist_tsa` cannot be used by an `open_timestamps` anchor",
         NotImplementedError),
        (lambda: anchor.verify(zp.AnchorReceipt.from_dict({**fields, "merkle_root_hex": "00" * 32})),
         f"{BAD}the proof is of sha256 {DIGEST.hex()}, not of the receipt's root", ValueError),
        (lambda: anchor.pending(zp.AnchorReceipt.from_dict({**fields, "proof_b64": "AAAA"})),
         f"{BAD}proof_b64: invalid .ots proof: not an .ots file: the magic bytes differ", ValueError),
        (lambda: anchor.request(DIGEST, nonce=bytes(15)), "nonce must be exactly 16 bytes", ValueError),
        (lambda: zp.OtsRequest.from_bytes(bytes(47)),
         "data: an OtsRequest is 48 bytes (the root, then the nonce), not 47", ValueError),
        (lambda: zp.OtsAnchor("a", ["https://a b"]), 'calendars: "https://a b": byte 9 is 0x20, outside '
                                                     "[A-Za-z0-9._/:-]", ValueError),
        (lambda: zp.OtsAnchor("a", ["a.example"]), 'calendars: "a.example": not an http:// or https:// URL', ValueError),
        (lambda: zp.OtsAnchor("a", ["https://a/"]), 'calendars: "https://a/": ends with /: give the calendar\'s URL '
                                                    "without it", ValueError),
        (lambda: zp.OtsAnchor("a", ["https://a", "https://a"]), 'calendars: "https://a" is given twice', ValueError),
        (lambda: zp.OtsAnchor("a", "https://a"), "argument 'calendars': Can't extract `str` to `Vec`", TypeError),
    ]:
        refused(message, call, exc)


def exchange(url, body=None):
    request = urllib.request.Request(url, data=body, headers={"Accept": ACCEPT})
    with urllib.request.urlopen(request, timeout=30) as answer:
        return answer.read()


def test_the_whole_road_through_local_calendars():
    with LocalCalendar() as first, LocalCalendar() as second:
        anchor = zp.OtsAnchor("ots", [first.url, second.url], chain="regtest")
        assert (anchor.id, anchor.kind, anchor.chain, anchor.calendars) == ("ots", "open_timestamps", "regtest",
                                                                            [first.url, second.url])
        assert repr(anchor) == 'OtsAnchor(id="ots", kind="open_timestamps", chain="regtest")'
        request = anchor.request(DIGEST)
        assert request.commitment == sha256(DIGEST + request.nonce) != anchor.request(DIGEST).commitment
        answers = {url: exchange(url + "/digest", request.commitment) for url in anchor.calendars}
        before = datetime.datetime.now(UTC).replace(microsecond=0)
        receipt = anchor.receipt(request, answers)
        submitted = datetime.datetime.fromisoformat(receipt.submitted_at.replace("Z", "+00:00"))
        assert before <= submitted <= datetime.datetime.now(UTC)
        assert receipt.expected_finality_at == (submitted + datetime.timedelta(hours=6)).strftime("%Y-%m-%dT%H:%M:%SZ")
        assert (receipt.anchor_kind, receipt.merkle_root_hex, receipt.submission_ref) == (
            "open_timestamps", DIGEST.hex(), "ots:" + request.commitment.hex())
        tree = op(APPEND, request.nonce) + op(SHA256) + node(*answers.values())
        assert base64.b64decode(receipt.proof_b64) == proof(tree).to_bytes()

        waiting = anchor.pending(receipt)
        assert sorted(calendar for calendar, _ in waiting) == sorted(anchor.calendars)
        assert anchor.verify(receipt).detail == f"pending at 2 calendars: {waiting[0][0]}, {waiting[1][0]}"
        with pytest.raises(urllib.error.HTTPError, match="404") as not_yet:
            exchange(waiting[0][1])
        not_yet.value.close()
        height = first.confirm()
        upgrade = next(url for calendar, url in waiting if calendar == first.url)
        upgraded = anchor.upgrade(receipt, {first.url: exchange(upgrade)})
        assert {**upgraded.to_dict(), "proof_b64": ""} == {**receipt.to_dict(), "proof_b64": ""}
        assert anchor.pending(upgraded) == [entry for entry in waiting if entry[0] == second.url]
        unconfirmed = anchor.verify(upgraded)
        assert (unconfirmed.confirmed, unconfirmed.authoritative_time) == (False, "")
        assert unconfirmed.detail == f"needs the header of block {height}; pending at 1 calendar: {second.url}"

        confirmed = pickle.loads(pickle.dumps(anchor)).verify(upgraded, first.headers)
        assert confirmed.to_dict() == {
            "anchor_id": "ots", "anchor_kind": "open_timestamps", "merkle_root_hex": DIGEST.hex(), "confirmed": True,
            "authoritative_time": datetime.datetime.fromtimestamp(TIME + 600, UTC).strftime("%Y-%m-%dT%H:%M:%SZ"),
            "detail": f"bitcoin block {height}, hash {block_hash(first.headers[height])}"}
        refused(f"{BAD}block {height}: nBits 0x207fffff is easier than the mainnet limit 0x1d00ffff",
                lambda: zp.OtsAnchor("ots", []).verify(upgraded, first.headers))
        assert {accept for _, _, accept in first.requests + second.requests} == {ACCEPT}


def test_a_parsed_proof_takes_about_the_size_of_its_file():
    # Bytes the C library has handed out, not the resident size: pages freed by earlier tests
    # would be reused and hide the growth. Under -X dev the interpreter's objects come from
    # malloc as well.
    import ctypes

    class Mallinfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in
                    ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
                     "fordblks", "keepcost")]

    process = ctypes.CDLL(None)
    if hasattr(process, "__sanitizer_get_current_allocated_bytes"):
        # AddressSanitizer replaces malloc, and glibc's own count then stays at zero.
        counter = process.__sanitizer_get_current_allocated_bytes
        counter.restype = ctypes.c_size_t
        allocated = counter
    else:
        process.mallinfo2.restype = Mallinfo2

        def allocated():
            info = process.mallinfo2()
            return info.uordblks + info.hblkhd

    if allocated() == 0:
        pytest.skip("the allocator in use keeps no count of its bytes")

    # One-byte operations: the shape that a node per heap allocation would swell most.
    data = ots_file(DIGEST, node(*(op(APPEND, bytes([n])) + op(REVERSE) * 200 + bitcoin(1) for n in range(100))))
    before = allocated()
    copies = [zp.OtsProof.from_bytes(data) for _ in range(1000)]
    grown = allocated() - before
    assert len(copies) * len(data) / 2 < grown < 3 * len(copies) * len(data), grown


def test_threads_run_while_a_large_proof_is_read():
    from test_threads import median_lateness
    # Out of canonical order, so that reading rewrites it: a read and a merge take some 100 ms
    # each, which a thread waiting for the interpreter lock would wait out.
    data = ots_file(DIGEST, node(*(op(APPEND, n.to_bytes(4, "big")) + op(SHA256) * 20 + bitcoin(n)
                                   for n in reversed(range(20_000)))))
    first = proof(op(APPEND, bytes(4)) + op(SHA256) * 20 + bitcoin(0))
    assert median_lateness(lambda: zp.OtsProof.from_bytes(data).merge(first)) < 0.02


def cli(*args):
    return subprocess.run([sys.executable, "-X", "dev", "-m", "zun_protocol_cli", *map(str, args)],
                          capture_output=True, text=True, timeout=120)


def test_command_line(tmp_path):
    anchor = zp.OtsAnchor("ots", ["https://a.example"], chain="regtest")
    request = anchor.request(DIGEST)
    receipt = anchor.receipt(request, {"https://a.example": op(SHA256) + bitcoin(5)})
    (tmp_path / "receipt.json").write_text(receipt.to_json())
    raw = mine(sha256(request.commitment), time=TIME)
    (tmp_path / "headers.json").write_text(json.dumps({"5": raw.hex()}))
    (tmp_path / "other.json").write_text(json.dumps({"5": mine(DIGEST, time=TIME).hex()}))
    (tmp_path / "bad.json").write_text(json.dumps({"five": raw.hex()}))
    done = cli("anchor", "verify", tmp_path / "receipt.json", "--headers", tmp_path / "headers.json", "--chain", "regtest")
    assert done.returncode == 0 and json.loads(done.stdout)["confirmed"], done.stderr
    done = cli("anchor", "verify", tmp_path / "receipt.json")
    assert done.returncode == 1 and json.loads(done.stdout)["detail"] == "needs the header of block 5"
    done = cli("anchor", "verify", tmp_path / "receipt.json", "--headers", tmp_path / "other.json", "--chain", "regtest")
    assert done.returncode == 1 and done.stderr.startswith(f"zun-protocol: error: {BAD}block 5: the header's merkle")
    done = cli("anchor", "verify", tmp_path / "receipt.json", "--headers", tmp_path / "bad.json")
    assert done.returncode == 2 and "five" in done.stderr

    (tmp_path / "proof.ots").write_bytes(base64.b64decode(receipt.proof_b64))
    done = cli("anchor", "ots-info", tmp_path / "proof.ots")
    assert (done.returncode, done.stdout) == (0, f"sha256 {DIGEST.hex()}\nbitcoin block 5, commitment "
                                                 f"{sha256(request.commitment).hex()}\n")
    (tmp_path / "bad.ots").write_bytes(b"\0OpenTimestamps")
    done = cli("anchor", "ots-info", tmp_path / "bad.ots")
    assert done.returncode == 2 and "truncated: the magic needs 31 bytes" in done.stderr


def test_anchor_ots_example_runs():
    done = subprocess.run([sys.executable, "-X", "dev", str(EXAMPLES / "anchor_ots.py")], capture_output=True,
                          text=True, timeout=300)
    assert done.returncode == 0 and done.stderr == "", done.stderr
    assert " is in the batch that Bitcoin block " in done.stdout
