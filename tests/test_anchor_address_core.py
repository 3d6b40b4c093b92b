"""Native checks of hex coding, the mock anchor and protocol addresses, plus
the hex decoder's messages and the address hash compared with independent
Python oracles through the program's probe mode."""

import random
import string
import struct

import pytest

PROGRAM = "test_anchor_address"
CLASS_NAMES = ["body", "act", "datum", "prop", "discard", "pair", "doc", "evidence", "route", "mediation"]


def run_program(native, *args, stdin=None):
    return native(PROGRAM, *args, stdin=stdin)


def probe(native, commands):
    result = run_program(native, "probe", stdin="".join(c + "\n" for c in commands))
    assert result.returncode == 0, result.stderr
    answers = result.stdout.splitlines()
    assert len(answers) == len(commands)
    return answers


def as_arg(data: bytes) -> str:
    return data.hex() or "-"


# ---- oracles ----

def quoted_code_point(byte: int) -> str:
    """One byte shown as the code point of the same value, debug-quoted."""
    char = chr(byte)
    escapes = {"\0": "\\0", "\t": "\\t", "\n": "\\n", "\r": "\\r", "\\": "\\\\", "'": "\\'"}
    if char in escapes:
        return escapes[char]
    if not char.isprintable():
        return "\\u{%x}" % byte
    return char


def oracle_decode(data: bytes) -> str:
    if len(data) % 2:
        return "err Odd number of digits"
    for index, byte in enumerate(data):
        if chr(byte) not in string.hexdigits:
            return f"err Invalid character '{quoted_code_point(byte)}' at position {index}"
    return "ok " + data.decode("ascii").lower()


MASK = (1 << 64) - 1


def rotl(x: int, bits: int) -> int:
    return ((x << bits) | (x >> (64 - bits))) & MASK


def siphash13(data: bytes, k0: int = 0, k1: int = 0) -> int:
    v = [k0 ^ 0x736F6D6570736575, k1 ^ 0x646F72616E646F6D, k0 ^ 0x6C7967656E657261, k1 ^ 0x7465646279746573]

    def sip_round():
        v[0] = (v[0] + v[1]) & MASK; v[1] = rotl(v[1], 13) ^ v[0]; v[0] = rotl(v[0], 32)
        v[2] = (v[2] + v[3]) & MASK; v[3] = rotl(v[3], 16) ^ v[2]
        v[0] = (v[0] + v[3]) & MASK; v[3] = rotl(v[3], 21) ^ v[0]
        v[2] = (v[2] + v[1]) & MASK; v[1] = rotl(v[1], 17) ^ v[2]; v[2] = rotl(v[2], 32)

    full = len(data) - len(data) % 8
    blocks = [int.from_bytes(data[i:i + 8], "little") for i in range(0, full, 8)]
    blocks.append(((len(data) & 0xFF) << 56) | int.from_bytes(data[full:], "little"))
    for block in blocks:
        v[3] ^= block
        sip_round()
        v[0] ^= block
    v[2] ^= 0xFF
    for _ in range(3):
        sip_round()
    return v[0] ^ v[1] ^ v[2] ^ v[3]


def oracle_address_hash(class_name: str, type_: bytes, ref: bytes) -> int:
    data = struct.pack("<Q", CLASS_NAMES.index(class_name)) + type_ + b"\xff" + ref + b"\xff"
    value = siphash13(data)
    if value >= 1 << 63:
        value -= 1 << 64
    return -2 if value == -1 else value


# ---- tests ----

def test_native_checks_pass(native):
    result = run_program(native)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "all checks passed" in result.stdout


@pytest.fixture(scope="module")
def byte_answers(native):
    inputs = [b"00" + bytes([byte]) + b"a" for byte in range(256)]
    return dict(zip(range(256), probe(native, [f"hex {as_arg(data)}" for data in inputs])))


@pytest.mark.parametrize("byte", range(256))
def test_decoder_names_every_byte_as_a_quoted_code_point(byte_answers, byte):
    assert byte_answers[byte] == oracle_decode(b"00" + bytes([byte]) + b"a")


def test_decoder_agrees_with_oracle_on_random_text(native):
    rng = random.Random(20260415)
    alphabet = [ord(c) for c in "0123456789abcdefABCDEF"] * 3 + [0, 0x27, 0x22, 0x5C, 0x80, 0xC3, 0xFF, ord("g")]
    inputs = [bytes(rng.choice(alphabet) for _ in range(rng.randrange(0, 14))) for _ in range(3000)]
    answers = probe(native, [f"hex {as_arg(data)}" for data in inputs])
    mismatches = [(data, got) for data, got in zip(inputs, answers) if got != oracle_decode(data)]
    assert not mismatches, mismatches[:5]


def test_hash_oracle_matches_the_published_value():
    assert oracle_address_hash("body", b"peer", b"abc") == -2273912411627669310


@pytest.mark.parametrize("class_name", CLASS_NAMES)
def test_address_hash_agrees_with_oracle(native, class_name):
    # Lengths around the 8-byte block boundaries, and bytes that are not UTF-8.
    pieces = [bytes((i * 29 + 3) % 256 for i in range(n)) for n in range(0, 19)] + [b"\xff", "é".encode()]
    cases = [(t, r) for t in pieces for r in pieces[::3]]
    answers = probe(native, [f"hash {class_name} {as_arg(t)} {as_arg(r)}" for t, r in cases])
    expected = [str(oracle_address_hash(class_name, t, r)) for t, r in cases]
    mismatches = [(case, got, want) for case, got, want in zip(cases, answers, expected) if got != want]
    assert not mismatches, mismatches[:5]
