"""ProtocolAddress: URIs, the constructor, equality, hashing, dictionaries, repr."""

import pytest

from zun_protocol import ProtocolAddress

pytestmark = pytest.mark.portable

CLASSES = ["body", "act", "datum", "prop", "discard", "pair", "doc", "evidence", "route", "mediation"]


@pytest.mark.parametrize("uri, parts", [
    ("kiv://body/peer/ab12", ("body", "peer", "ab12")),
    ("kiv://doc/a/b/c", ("doc", "a", "b/c")),
    ("kiv://body//x", ("body", "", "x")),
    ("kiv://body/peer/", ("body", "peer", "")),
    ("kiv://act//", ("act", "", "")),
    ("kiv://route/é/%20x", ("route", "é", "%20x")),
] + [(f"kiv://{c}/t/r", (c, "t", "r")) for c in CLASSES])
def test_parse(uri, parts):
    a = ProtocolAddress.parse(uri)
    assert (a.address_class, a.type, a.ref) == parts
    assert a.to_uri() == uri
    assert str(a) == uri


@pytest.mark.parametrize("uri", [
    "kiv://body/peer", "kiv://", "kiv:///peer/x", "kiv://Body/peer/x", "KIV://body/peer/x",
    " kiv://body/peer/x", "kiv:/body/peer/x", "", "kiv:/", "kiv://nope/a/b", "kiv://body",
])
def test_parse_refuses(uri):
    with pytest.raises(ValueError) as info:
        ProtocolAddress.parse(uri)
    assert str(info.value) == "invalid kiv:// URI: " + uri
    assert info.value.args == ("invalid kiv:// URI: " + uri,)


def test_unknown_class():
    with pytest.raises(ValueError) as info:
        ProtocolAddress("Body", "t", "r")
    assert str(info.value) == ("unknown address class: Body (expected one of: body, act, datum, prop, "
                               "discard, pair, doc, evidence, route, mediation)")


def test_type_with_separator_does_not_round_trip():
    a = ProtocolAddress("body", "a/b", "c")
    assert a.to_uri() == "kiv://body/a/b/c"
    b = ProtocolAddress.parse(a.to_uri())
    assert (b.type, b.ref) == ("a", "b/c")
    assert a != b


def test_keywords():
    a = ProtocolAddress(ref_="r", type_="t", address_class="pair")
    assert a == ProtocolAddress.parse("kiv://pair/t/r")


def test_hash_is_fixed_and_by_value():
    a = ProtocolAddress("body", "peer", "abc")
    b = ProtocolAddress.parse("kiv://body/peer/abc")
    assert hash(a) == hash(b) == -2273912411627669310
    assert len({a, b, ProtocolAddress("act", "peer", "abc")}) == 2
    # The 0xFF separators keep moved boundaries apart.
    assert hash(ProtocolAddress("body", "ab", "c")) != hash(ProtocolAddress("body", "a", "bc"))


def test_equality_rules():
    a = ProtocolAddress("body", "peer", "abc")
    assert a == ProtocolAddress("body", "peer", "abc")
    assert a != ProtocolAddress("body", "peer", "abd")
    assert a != ProtocolAddress("act", "peer", "abc")
    assert (a == "kiv://body/peer/abc") is False
    assert (a != "kiv://body/peer/abc") is True
    assert a.__eq__("x") is NotImplemented
    for op in ("__lt__", "__le__", "__gt__", "__ge__"):
        assert getattr(a, op)(a) is NotImplemented
    with pytest.raises(TypeError):
        a < a  # noqa: B015


def test_to_dict():
    d = ProtocolAddress("body", "peer", "abc").to_dict()
    assert list(d.items()) == [("class", "body"), ("type", "peer"), ("ref", "abc")]


@pytest.mark.parametrize("type_, expected", [
    ('a"b', r'ProtocolAddress("kiv://body/a\"b/r")'),
    ("a\\b", r'ProtocolAddress("kiv://body/a\\b/r")'),
    ("a'b", """ProtocolAddress("kiv://body/a'b/r")"""),
    ("\n\t\r\0", r'ProtocolAddress("kiv://body/\n\t\r\0/r")'),
    ("\x01\u0301é中", 'ProtocolAddress("kiv://body/\\u{1}\\u{301}é中/r")'),
])
def test_repr(type_, expected):
    assert repr(ProtocolAddress("body", type_, "r")) == expected


def test_frozen():
    a = ProtocolAddress("body", "peer", "abc")
    with pytest.raises(AttributeError):
        a.ref = "x"
    with pytest.raises(AttributeError):
        a.extra = 1


def test_docs():
    assert ProtocolAddress.parse.__text_signature__ == "(uri)"
    assert ProtocolAddress.parse.__doc__ == "Parse a canonical `kiv://<class>/<type>/<ref>` URI."
    assert ProtocolAddress.to_uri.__text_signature__ == "($self)"
    assert ProtocolAddress.__doc__ == ("Wraps the kernel's `ProtocolAddress`. Frozen on the Python side —\n"
                                       "addresses are content-identity, not mutable state.")
