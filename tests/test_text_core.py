"""Native checks of debug quoting and the exchange classifier; the code point
tables compared with the pinned Unicode data they were generated from;
quoting and classifying compared with small Python models through the
program's probe mode."""

import pytest
import regex
import unicodedata2
from hypothesis import given, settings
from hypothesis import strategies as st

PROGRAM = "test_text"
END = 0x110000

HOST_ROWS = [
    ("resolver.zunproto.net", "causal"),
    ("governance.zunproto.net", "compliance"),
    ("compliance.zunproto.net", "compliance"),
    ("stripe.com", "marketplace"),
    ("paddle.com", "marketplace"),
    ("lemonsqueezy.com", "marketplace"),
    ("nango.dev", "enrichment"),
    ("clearbit.com", "enrichment"),
    ("apollo.io", "enrichment"),
    ("hunter.io", "enrichment"),
]
HINTS = {
    "dns": "discovery", "mdns": "discovery", "dnssd": "discovery",
    "x3dh": "trust", "noise": "trust", "tls-handshake": "trust",
    "tcp": "routing", "quic": "routing", "libp2p": "routing", "webrtc": "routing",
}
NAMED_ESCAPES = {'"': '\\"', "\\": "\\\\", "\n": "\\n", "\r": "\\r", "\t": "\\t", "\0": "\\0"}


def run_program(native, *args, stdin=None):
    return native(PROGRAM, *args, stdin=stdin)


def probe(native, commands):
    result = run_program(native, "probe", stdin="".join(c + "\n" for c in commands))
    assert result.returncode == 0, result.stderr
    answers = result.stdout.split("\n")[:-1]
    assert len(answers) == len(commands)
    return answers


def as_arg(data: bytes) -> str:
    return data.hex() or "-"


def test_native_checks(native):
    result = run_program(native)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.fixture(scope="module")
def tables(native):
    """The classes as the predicates answer them, scanned over every code point."""
    result = run_program(native, "ranges")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    name, version = lines[0].split()
    assert name == "version"
    classes = {"not_printable": bytearray(END), "grapheme_extend": bytearray(END)}
    for line in lines[1:]:
        cls, first, last = line.split()
        first, last = int(first, 16), int(last, 16)
        classes[cls][first:last + 1] = b"\1" * (last - first + 1)
    return version, classes["not_printable"], classes["grapheme_extend"]


@pytest.fixture(scope="module")
def pinned():
    """The classes from the Unicode data pinned in requirements-dev.txt, from
    which the tables were generated: (version, not printable, grapheme extend)."""
    everything = "".join(map(chr, range(END)))
    not_printable = bytearray(
        cp != 0x20 and unicodedata2.category(char) in ("Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp", "Zs")
        for cp, char in enumerate(everything))
    grapheme_extend = bytearray(END)
    for match in regex.finditer(r"\p{Grapheme_Extend}+", everything):
        grapheme_extend[match.start():match.end()] = b"\1" * (match.end() - match.start())
    return unicodedata2.unidata_version, not_printable, grapheme_extend


def differing(table, data):
    return [f"U+{cp:04X}" for cp in range(END) if table[cp] != data[cp]]


def test_tables_are_the_pinned_unicode_data(tables, pinned):
    assert tables[0] == pinned[0] == "17.0.0"
    for table, data in zip(tables[1:], pinned[1:]):
        mismatches = differing(table, data)
        assert not mismatches, f"{len(mismatches)} differ: {mismatches[:20]}"


def model_quote(data: bytes, tables, *, lossy: bool) -> str:
    _, not_printable, grapheme_extend = tables
    out = ['"']
    for char in data.decode("utf-8", "replace" if lossy else "surrogateescape"):
        cp = ord(char)
        if 0xDC80 <= cp <= 0xDCFF:  # a byte that is not part of valid UTF-8
            out.append(f"\\x{cp - 0xDC00:02X}")
        elif char in NAMED_ESCAPES:
            out.append(NAMED_ESCAPES[char])
        elif not_printable[cp] or grapheme_extend[cp]:
            out.append(f"\\u{{{cp:x}}}")
        else:
            out.append(char)
    out.append('"')
    return "".join(out)


FRAGMENTS = st.one_of(
    st.binary(max_size=6),
    st.text(max_size=6).map(lambda text: text.encode("utf-8")),
    st.sampled_from([b"plain ascii run", b'"', b"\\", b"'", b"\n", b"\x00", b"\xc3\xa9", b"e\xcc\x81",
                     b"\xe2\x80\x8b", b"\xe4\xb8\xad", b"\xf0\x9f\x98\x80", b"\xed\xa0\x80", b"\xf4\x90\x80\x80"]),
)
BYTE_TEXTS = st.lists(FRAGMENTS, max_size=8).map(b"".join)


@settings(max_examples=40, deadline=None)
@given(st.lists(BYTE_TEXTS, min_size=1, max_size=40))
def test_quoting_matches_python_decoding(native, tables, texts):
    commands = [f"quote_bytes {as_arg(t)}" for t in texts] + [f"quote {as_arg(t)}" for t in texts]
    answers = probe(native, commands)
    expected = [model_quote(t, tables, lossy=False) for t in texts]
    expected += [model_quote(t, tables, lossy=True) for t in texts]
    assert answers == expected


def model_classify(hint: bytes, counterparty: bytes) -> str:
    party = counterparty.lower()  # bytes.lower folds ASCII only
    for host, pair_class in HOST_ROWS:
        if host.encode() in party:
            return pair_class
    return HINTS.get(hint.lower().decode("utf-8", "surrogateescape"), "routing")


def any_case(texts):
    return st.sampled_from(texts).flatmap(
        lambda text: st.lists(st.booleans(), min_size=len(text), max_size=len(text)).map(
            lambda upper: "".join(c.upper() if u else c for c, u in zip(text, upper)).encode()))


HOST_PIECES = [host for host, _ in HOST_ROWS] + ["stripe", ".com", ".", "zunproto.net", "io", "hunter"]
PARTY_TEXTS = st.lists(
    st.one_of(any_case(HOST_PIECES), st.binary(max_size=4), st.sampled_from([b" ", b"https://", b":443", "\u0130".encode()])),
    max_size=8,
).map(b"".join)
HINT_TEXTS = st.one_of(any_case(list(HINTS) + ["tls", "dn"]), st.binary(max_size=14))


@settings(max_examples=40, deadline=None)
@given(st.lists(st.tuples(HINT_TEXTS, PARTY_TEXTS), min_size=1, max_size=40))
def test_classifier_matches_substring_model(native, pairs):
    answers = probe(native, [f"classify {as_arg(hint)} {as_arg(party)}" for hint, party in pairs])
    assert answers == [model_classify(hint, party) for hint, party in pairs]
