"""The record JSON reader and writer, the instants and the signing bytes of
the native core: every reference case, the nesting limit and raw bytes that
are not UTF-8, through the record_probe program."""

import base64
import json
import pathlib
import random
import re
import struct

import pytest

VECTORS = pathlib.Path(__file__).resolve().parent / "data" / "record-json.jsonl"
MAX_NESTING = 127

ENVELOPE_FIELDS = (
    '"exchange_id":"ex-1","peer_self":{"class":"body","type":"peer","ref":"p1"},'
    '"direction":"outbound","request_hash":"h1","our_signature":"s1",'
    '"opened_at":"2026-04-15T09:00:00Z","protocol_hint":"quic","counterparty_identifier":"peer-7"'
)
ENVELOPE = "{" + ENVELOPE_FIELDS + "}"


def b64(data: bytes) -> str:
    return base64.b64encode(data).decode() or "-"


def unb64(text: str) -> bytes:
    return b"" if text == "-" else base64.b64decode(text)


def probe(native, requests):
    """Runs (op, record, input bytes) requests through one probe process and
    returns its answers, split at tabs."""
    stdin = "".join(f"{op}\t{record}\t{b64(data)}\n" for op, record, data in requests)
    done = native("record_probe", stdin=stdin)
    assert done.returncode == 0, done.stderr[-4000:]
    answers = done.stdout.splitlines()
    assert len(answers) == len(requests)
    return [a.split("\t") for a in answers]


def read_error(native, record, data):
    answer = probe(native, [("read", record, data if isinstance(data, bytes) else data.encode())])[0]
    assert answer[0] == "err", answer
    return unb64(answer[1]).decode()


def civil_fields(text):
    """The probe's civil breakdown as the datetime fields the cases give."""
    year, month, day, hour, minute, second, nanos, leap = (int(x) for x in text.split(","))
    return {
        "year": year, "month": month, "day": day, "hour": hour, "minute": minute,
        "second": second, "microsecond": nanos // 1000, "leap": bool(leap),
    }


def too_deep_bracket(data: bytes):
    """(line, column) of the first opening bracket past the nesting limit,
    or None. Strings are skipped; the scan stops at the end of the text."""
    depth, in_string, escaped, line, line_start = 0, False, False, 1, 0
    for i, byte in enumerate(data):
        ch = chr(byte)
        if ch == "\n":
            line, line_start = line + 1, i + 1
        if in_string:
            if escaped:
                escaped = False
            elif ch == "\\":
                escaped = True
            elif ch == '"':
                in_string = False
        elif ch == '"':
            in_string = True
        elif ch in "[{":
            depth += 1
            if depth > MAX_NESTING:
                return line, i - line_start + 1
        elif ch in "]}":
            depth -= 1
    return None


def position(message):
    found = re.search(r" at line (\d+) column (\d+)$", message)
    return (int(found[1]), int(found[2])) if found else None


def expected_of(case, data):
    """The case as this system must answer it: the reference's answer, except
    that nesting past the limit fails at its bracket when the reference went
    on past that bracket (it skips unknown values without a limit)."""
    if case["op"] != "read":
        return case
    bracket = too_deep_bracket(data)
    if bracket is None:
        return case
    if not case["ok"] and position(case["error"]) < bracket:
        return case
    return {"op": "read", "ok": False,
            "error": f"recursion limit exceeded at line {bracket[0]} column {bracket[1]}"}


def load_cases():
    assert VECTORS.is_file(), f"reference cases missing: {VECTORS}"
    lines = [line for line in VECTORS.read_text(encoding="utf-8").split("\n") if line.strip()]
    cases = [json.loads(line) for line in lines]
    assert len(cases) == 4213
    requests = []
    for case in cases:
        data = base64.b64decode(case["bytes_b64"]) if "bytes_b64" in case else case["text"].encode()
        requests.append(("instant", "-", data) if case["op"] == "instant" else ("read", case["record"], data))
    return [expected_of(c, r[2]) for c, r in zip(cases, requests)], requests


def mismatches(case, answer):
    """Every field of the case that the answer disagrees with."""
    if not case["ok"]:
        got = unb64(answer[1]).decode() if answer[0] == "err" else answer
        return [] if got == case["error"] else [("error", case["error"], got)]
    if answer[0] != "ok":
        return [("ok", case, answer)]
    wrong = []
    if unb64(answer[1]).decode() != case["canonical"]:
        wrong.append(("canonical", case["canonical"], unb64(answer[1])))
    if case["op"] == "instant":
        if civil_fields(answer[2]) != case["py"]:
            wrong.append(("py", case["py"], answer[2]))
        return wrong
    if "signing_bytes_b64" in case and answer[2] != case["signing_bytes_b64"]:
        wrong.append(("signing_bytes", case["signing_bytes_b64"], answer[2]))
    if "pretty" in case and unb64(answer[3]).decode() != case["pretty"]:
        wrong.append(("pretty", case["pretty"], unb64(answer[3])))
    for key, index in (("opened_at_py", 4), ("closed_at_py", 5)):
        if key in case and civil_fields(answer[index]) != case[key]:
            wrong.append((key, case[key], answer[index]))
    if "opened_at_py" in case and "closed_at_py" not in case and answer[5] != "-":
        wrong.append(("closed_at_py", None, answer[5]))
    return wrong


def test_every_reference_case(native):
    cases, requests = load_cases()
    answers = probe(native, requests)
    failed = [(n, w) for n, (c, a) in enumerate(zip(cases, answers)) for w in mismatches(c, a)]
    assert not failed, f"{len(failed)} mismatches, first: {failed[:5]}"


# ---- nesting ----

def nested(depth):
    return "[" * depth + "1" + "]" * depth


# Each shape puts `depth` brackets inside an unknown key's value, at the
# given number of levels the record itself takes.
SHAPES = {
    "address": ("ProtocolAddress", lambda v: '{"x":' + v + ',"class":"body","type":"t","ref":"r"}', 1),
    "envelope": ("SignedEnvelope", lambda v: '{"junk":' + v + "," + ENVELOPE_FIELDS + "}", 1),
    "address in envelope": (
        "SignedEnvelope", lambda v: ENVELOPE.replace('"ref":"p1"', '"ref":"p1","x":' + v), 2),
    "address in queue item": (
        "QueuedItem",
        lambda v: '{"queue_id":"q","pair_class":"p","envelope":'
        + ENVELOPE.replace('"ref":"p1"', '"ref":"p1","x":' + v) + "}", 3),
    "envelope array form": (
        "SignedEnvelope",
        lambda v: '["ex-1",{"class":"body","type":"t","ref":"r","x":' + v
        + '},null,"outbound","h1",null,null,"s1","2026-04-15T09:00:00Z",null,"quic","peer-7"]', 2),
}


@pytest.mark.parametrize("shape", SHAPES)
def test_nesting_at_the_limit_reads(native, shape):
    record, make, taken = SHAPES[shape]
    text = make(nested(MAX_NESTING - taken))
    answer = probe(native, [("read", record, text.encode())])[0]
    assert answer[0] == "ok", unb64(answer[1])


@pytest.mark.parametrize("shape", SHAPES)
def test_nesting_past_the_limit_fails_at_its_bracket(native, shape):
    record, make, taken = SHAPES[shape]
    text = make(nested(MAX_NESTING - taken + 1))
    line, column = too_deep_bracket(text.encode())
    assert read_error(native, record, text) == f"recursion limit exceeded at line {line} column {column}"


@pytest.mark.parametrize("opening", ["[", '{"a":', "[{\"a\":"])
def test_deep_input_does_not_exhaust_the_stack(native, opening):
    text = '{"junk":' + opening * 100_000
    line, column = too_deep_bracket(text.encode())
    assert read_error(native, "SignedEnvelope", text) == (
        f"recursion limit exceeded at line {line} column {column}")


# ---- raw bytes ----

@pytest.mark.parametrize("raw, column", [
    (b"\xff", 18),              # never a lead byte
    (b"\xc3", 18),              # truncated two-byte sequence
    (b"\xe2\x82", 19),          # truncated three-byte sequence
    (b"\xed\xa0\x80", 20),      # an encoded surrogate
    (b"\xc0\xaf", 19),          # overlong slash
    (b"\xf4\x90\x80\x80", 21),  # beyond U+10FFFF
    (b"a\\n\xff", 21),          # after an escape
])
def test_invalid_utf8_in_a_value_fails_at_the_closing_quote(native, raw, column):
    data = b'{"exchange_id":"' + raw + b'"}'
    assert read_error(native, "SignedEnvelope", data) == (
        f"invalid unicode code point at line 1 column {column}")


def test_invalid_utf8_in_a_key_fails(native):
    assert read_error(native, "ProtocolAddress", b'{"cl\xffass":1}') == (
        "invalid unicode code point at line 1 column 9")


def test_invalid_utf8_in_an_unknown_value_passes(native):
    data = b'{"junk":"\xff\xfe\xc3",' + ENVELOPE_FIELDS.encode() + b"}"
    answer = probe(native, [("read", "SignedEnvelope", data)])[0]
    assert answer[0] == "ok" and unb64(answer[1]).decode() == ENVELOPE


@pytest.mark.parametrize("data, message", [
    (b'{"exchange_id":"\x01"}', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 17"),
    (b'{"exchange_id":"\xff', "EOF while parsing a string at line 1 column 17"),
    (b'{"exchange_id":"\xff\\x"}', "invalid escape at line 1 column 19"),
    # In a skipped value the control character is reported before it is read.
    (b'{"junk":"a\x01"}', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 10"),
])
def test_string_faults_and_their_positions(native, data, message):
    assert read_error(native, "SignedEnvelope", data) == message


# ---- writing ----

def oracle_string(text: bytes) -> bytes:
    """A JSON string as the writer must produce it, byte by byte."""
    short = {0x22: b'\\"', 0x5C: b"\\\\", 0x08: b"\\b", 0x09: b"\\t", 0x0A: b"\\n", 0x0C: b"\\f", 0x0D: b"\\r"}
    out = bytearray(b'"')
    for byte in text:
        if byte in short:
            out += short[byte]
        elif byte < 0x20:
            out += b"\\u%04x" % byte
        else:
            out.append(byte)
    return bytes(out + b'"')


def random_texts(count, seed):
    """Texts mixing plain ASCII runs with bytes that need escaping and
    multi-byte characters, at every offset around 16-byte blocks."""
    rng = random.Random(seed)
    pieces = [b"a", b"xyz", b'"', b"\\", b"\x00", b"\x1f", b"\n", b"\x7f", b"/", "é".encode(), "中".encode(),
              "😀".encode(), b"\t", b"0123456789abcdef"]
    texts = [b"x" * n + b'"' + b"y" * m for n in range(40) for m in (0, 1, 15, 16, 17)]
    texts += [b"".join(rng.choice(pieces) for _ in range(rng.randrange(0, 60))) for _ in range(count)]
    return texts


def test_every_byte_is_escaped_by_the_table(native):
    texts = [bytes([b]) for b in range(0x100)] + [bytes(range(0x100)) * 3]
    answers = probe(native, [("sign", "-", t) for t in texts])
    for text, answer in zip(texts, answers):
        assert answer[0] == "ok"
        assert unb64(answer[1]) == b"[" + oracle_string(text) + b',"h1",' + oracle_string(text) + b"]"


def test_escaping_at_every_block_offset(native):
    texts = random_texts(600, seed=7)
    answers = probe(native, [("sign", "-", t) for t in texts])
    for text, answer in zip(texts, answers):
        assert unb64(answer[1]) == b"[" + oracle_string(text) + b',"h1",' + oracle_string(text) + b"]", text


@pytest.mark.parametrize("ensure_ascii", [False, True])
def test_reading_decodes_what_python_encodes(native, ensure_ascii):
    texts = [t.decode() for t in random_texts(400, seed=11 + ensure_ascii)]
    documents = [json.dumps({**json.loads(ENVELOPE), "exchange_id": t}, ensure_ascii=ensure_ascii) for t in texts]
    answers = probe(native, [("read", "SignedEnvelope", d.encode()) for d in documents])
    for text, answer in zip(texts, answers):
        assert answer[0] == "ok", answer
        assert unb64(answer[1]) == ENVELOPE.replace('"ex-1"', oracle_string(text.encode()).decode()).encode()


def counterparty_request(*fields):
    data = b""
    for field in fields:
        value = b"" if field is None else field.encode()
        data += (b"0" if field is None else b"1") + struct.pack(">I", len(value)) + value
    return ("counterparty", "-", data)


@pytest.mark.parametrize("fields, expected", [
    (("a", "quic", None, None),
     '{"identifier":"a","protocol_hint":"quic","peer_address":null,"counterparty_signature":null}'),
    (("a", "quic", "kiv://body/peer/x", "sig"),
     '{"identifier":"a","protocol_hint":"quic","peer_address":"kiv://body/peer/x","counterparty_signature":"sig"}'),
    (("", "", "", None),
     '{"identifier":"","protocol_hint":"","peer_address":"","counterparty_signature":null}'),
    (('q"\\', "\x01", None, "é/"),
     '{"identifier":"q\\"\\\\","protocol_hint":"\\u0001","peer_address":null,"counterparty_signature":"é/"}'),
])
def test_counterparty_info_always_writes_four_keys(native, fields, expected):
    answer = probe(native, [counterparty_request(*fields)])[0]
    assert answer[0] == "ok" and unb64(answer[1]).decode() == expected
