"""SignedEnvelope and CounterpartyInfo: wire JSON, signing bytes, datetimes, dictionaries, repr,
equality; and the pair-class classifier over envelope fields."""
import datetime
import json
import re
import subprocess
import sys
import warnings

import pytest

import zun_protocol as zp
from zun_protocol import CounterpartyInfo, SignedEnvelope

pytestmark = pytest.mark.portable

# datetime's own refusal of a year it cannot hold, in the words of CPython up to 3.13 and from 3.14 on.
YEAR_OUT_OF_RANGE = r"is out of range|must be in 1\.\.9999"

MINIMAL = ('{"exchange_id":"ex-1","peer_self":{"class":"body","type":"peer","ref":"p1"},"direction":"outbound",'
           '"request_hash":"h1","our_signature":"s1","opened_at":"2026-04-15T09:00:00Z","protocol_hint":"quic",'
           '"counterparty_identifier":"peer-7"}')
FULL = ('{"exchange_id":"3f2b8c1e-9a4d-4e6f-8b7a-1c2d3e4f5a6b",'
        '"peer_self":{"class":"body","type":"peer","ref":"ab12"},'
        '"peer_counterparty":{"class":"route","type":"t","ref":"r/s"},"direction":"inbound",'
        '"request_hash":"h1","response_hash":"h2","counterparty_signature":"c\\"s\\u0001",'
        '"our_signature":"s1","opened_at":"2026-04-15T09:00:00.500Z","closed_at":"2026-04-15T09:00:01.000001Z",'
        '"protocol_hint":"noise","counterparty_identifier":"é/\\\\x"}')


def envelope(**changes):
    """MINIMAL with some fields replaced (None drops the key)."""
    fields = json.loads(MINIMAL)
    for key, value in changes.items():
        if value is None:
            fields.pop(key, None)
        else:
            fields[key] = value
    return SignedEnvelope.from_json(json.dumps(fields))


def read_error(text):
    with pytest.raises(ValueError) as info:
        SignedEnvelope.from_json(text)
    assert type(info.value) is ValueError
    assert len(info.value.args) == 1
    return str(info.value)


def assert_read_error(text, message):
    """The message, then a position suffix."""
    got = read_error(text)
    prefix = "invalid SignedEnvelope JSON: " + message
    assert re.fullmatch(re.escape(prefix) + r" at line \d+ column \d+", got), got


# ---- reading and writing ----------------------------------------------------------------------------

@pytest.mark.parametrize("text", [
    MINIMAL,
    FULL,
    MINIMAL.replace('"ex-1"', '"\\u001b[0m\\t\\r\\n\\b\\f\x7f"').replace('"h1"', '"\\"é€😀\\\\"'),
])
def test_canonical_text_round_trips_byte_for_byte(text):
    e = SignedEnvelope.from_json(text)
    assert e.to_json() == text
    assert SignedEnvelope.from_json(e.to_json()) == e


@pytest.mark.parametrize("text", [
    # keys in reverse order, with whitespace everywhere and keys that name no field
    "\n { " + ", ".join(f'{json.dumps(k)} :\t{json.dumps(v)}'
                        for k, v in reversed(list(json.loads(MINIMAL).items()))) + ' ,"extra": [1, {"a": null}]}\r\n',
    MINIMAL.replace('"request_hash":"h1"', '"request_hash":"h1","response_hash":null,"closed_at":null,'
                                           '"peer_counterparty":null,"counterparty_signature":null'),
    MINIMAL.replace('"direction":"outbound"', '"direction":{"outbound":null}'),
    MINIMAL.replace('{"class":"body","type":"peer","ref":"p1"}', '{"ref":"p1","class":"body","type":"peer","x":1}'),
    MINIMAL.replace('{"class":"body","type":"peer","ref":"p1"}', '["body","peer","p1"]'),
    MINIMAL.replace('"class":"body"', '"class":{"body":null}'),
    MINIMAL.replace('"ex-1"', '"\\u0065x\\u002d1"'),
])
def test_tolerant_input_is_written_canonically(text):
    assert SignedEnvelope.from_json(text).to_json() == MINIMAL


def test_array_form_reads_the_fields_in_order():
    values = list(json.loads(FULL).values())
    e = SignedEnvelope.from_json(json.dumps(values))
    assert e.to_json() == FULL
    short = values[:8] + [values[8]] + [None, values[10], values[11]]
    assert SignedEnvelope.from_json(json.dumps(short)).closed_at is None


@pytest.mark.parametrize("direction", ["outbound", "inbound"])
def test_direction_values(direction):
    e = envelope(direction=direction)
    assert e.direction == direction
    assert e.to_json() == MINIMAL.replace('"outbound"', json.dumps(direction))
    assert envelope(direction={direction: None}) == e


@pytest.mark.parametrize("value, message", [
    ('"Inbound"', "unknown variant `Inbound`, expected `outbound` or `inbound`"),
    ('"sideways"', "unknown variant `sideways`, expected `outbound` or `inbound`"),
    ("1", "expected value"),
    ("true", "expected value"),
    ("null", "expected value"),
    ('["inbound"]', "expected value"),
])
def test_direction_refused(value, message):
    assert_read_error(MINIMAL.replace('"outbound"', value), message)


@pytest.mark.parametrize("text, message", [
    ("{}", "missing field `exchange_id` at line 1 column 2"),
    ('{"exchange_id":"ex-1"}', "missing field `peer_self` at line 1 column 22"),
])
def test_missing_field_position_is_the_closing_brace(text, message):
    assert read_error(text) == "invalid SignedEnvelope JSON: " + message


@pytest.mark.parametrize("text, message", [
    (MINIMAL.replace('{"exchange_id":"ex-1",', '{"exchange_id":"ex-1","exchange_id":"ex-1",'),
     "duplicate field `exchange_id`"),
    (MINIMAL.replace('"request_hash":"h1"', '"response_hash":null,"request_hash":"h1","response_hash":"h2"'),
     "duplicate field `response_hash`"),
    (MINIMAL.replace('"class":"body",', '"class":"body","class":"body",'), "duplicate field `class`"),
    # the first missing required key in field order, not in text order
    (MINIMAL.replace('"peer_self":{"class":"body","type":"peer","ref":"p1"},', "")
     .replace('"our_signature":"s1",', ""), "missing field `peer_self`"),
    (MINIMAL.replace('"counterparty_identifier":"peer-7"', '"x":1'), "missing field `counterparty_identifier`"),
    (MINIMAL.replace(',"ref":"p1"', ""), "missing field `ref`"),
    (MINIMAL.replace('"ex-1"', "null"), "invalid type: null, expected a string"),
    (MINIMAL.replace('"h1"', "5"), "invalid type: integer `5`, expected a string"),
    (MINIMAL.replace('"quic"', "1.5"), "invalid type: floating point `1.5`, expected a string"),
    (MINIMAL.replace('"type":"peer"', '"type":7'), "invalid type: integer `7`, expected a string"),
    (MINIMAL.replace('"class":"body"', '"class":"ROUTE"'),
     "unknown variant `ROUTE`, expected one of `body`, `act`, `datum`, `prop`, `discard`, `pair`, `doc`, "
     "`evidence`, `route`, `mediation`"),
    (MINIMAL.replace('"class":"body"', '"class":3'), "expected value"),
    (MINIMAL.replace('{"class":"body","type":"peer","ref":"p1"}', '["body","peer"]'),
     "invalid length 2, expected struct ProtocolAddress with 3 elements"),
    (MINIMAL.replace('{"class":"body","type":"peer","ref":"p1"}', '"kiv://body/peer/p1"'),
     'invalid type: string "kiv://body/peer/p1", expected struct ProtocolAddress'),
    ('["ex-1",["body","t","r"],null]', "invalid length 3, expected struct SignedEnvelope with 12 elements"),
    (json.dumps(list(json.loads(MINIMAL).values())[:2] + [None] + list(json.loads(MINIMAL).values())[2:4]
                + [None, None]), "invalid length 7, expected struct SignedEnvelope with 12 elements"),
    (json.dumps(list(json.loads(FULL).values()) + [1]), "trailing characters"),
    (MINIMAL + "x", "trailing characters"),
    ("5", "invalid type: integer `5`, expected struct SignedEnvelope"),
    ('"ex"', 'invalid type: string "ex", expected struct SignedEnvelope'),
    (MINIMAL[:-1], "EOF while parsing an object"),
    (MINIMAL[:-1] + ",}", "trailing comma"),
    (MINIMAL.replace('"quic"', "quic"), "expected value"),
    (MINIMAL.replace('"quic"', "nul"), "expected ident"),
])
def test_reading_refused(text, message):
    assert_read_error(text, message)


def test_whitespace_after_the_value_is_accepted():
    assert SignedEnvelope.from_json(MINIMAL + " \n\r\t ").to_json() == MINIMAL


def test_error_position_counts_lines_and_bytes():
    text = '{\n  "exchange_id": "é",\n  "peer_self": 5\n}'
    assert read_error(text).endswith("at line 3 column 16")


def test_nesting_limit_counts_the_envelope_as_first_level():
    deep = MINIMAL[:-1] + ',"x":' + "[" * 126 + "]" * 126 + "}"
    assert SignedEnvelope.from_json(deep) == SignedEnvelope.from_json(MINIMAL)
    assert_read_error(MINIMAL[:-1] + ',"x":' + "[" * 127 + "]" * 127 + "}", "recursion limit exceeded")


@pytest.mark.parametrize("given, written", [
    ("2026-04-15T11:00:00+02:00", "2026-04-15T09:00:00Z"),
    ("2026-04-15T11:00:00.123456789+02:00", "2026-04-15T09:00:00.123456789Z"),
    ("2026-04-15 09:00:00.1234567891z", "2026-04-15T09:00:00.123456789Z"),
    ("2026-04-15t09:00:00.5UTC", "2026-04-15T09:00:00.500Z"),
    ("2026-04-15T08:30:00\u221201:30", "2026-04-15T10:00:00Z"),
    ("2026-4-5T9:0:0.000001Z", "2026-04-05T09:00:00.000001Z"),
    ("2026-01-01T00:30:00+01:00", "2025-12-31T23:30:00Z"),
    ("2026-04-15T09:00:00-23:59", "2026-04-16T08:59:00Z"),
])
def test_instants_are_normalised_to_utc(given, written):
    e = envelope(opened_at=given, closed_at=given)
    assert json.loads(e.to_json())["opened_at"] == written
    assert json.loads(e.to_json())["closed_at"] == written


@pytest.mark.parametrize("value, message", [
    ('"2026-04-15T09:00:00"', "premature end of input"),
    ("1", "invalid type: integer `1`, expected an RFC 3339 formatted date and time string"),
    ("null", "invalid type: null, expected an RFC 3339 formatted date and time string"),
    ('"2026-02-30T00:00:00Z"', "input is out of range"),
    ('"2026-04-15T09:00:00Zx"', "trailing input"),
    ('"2026-04-15X09:00:00Z"', "input contains invalid characters"),
    ('"2026-04-15T09:00:00+24:00"', "input is out of range"),
    ('"2026-04-15T09:00:00-24:00"', "input is out of range"),
])
def test_instants_refused(value, message):
    assert_read_error(MINIMAL.replace('"2026-04-15T09:00:00Z"', value), message)


# ---- Python arguments and dictionaries ---------------------------------------------------------------

def test_dict_forms():
    minimal, full = SignedEnvelope.from_json(MINIMAL), SignedEnvelope.from_json(FULL)
    assert minimal.to_dict() == json.loads(MINIMAL)
    assert list(minimal.to_dict()) == list(json.loads(MINIMAL))
    assert len(minimal.to_dict()) == 8
    assert list(full.to_dict()) == list(json.loads(FULL))
    assert full.to_dict()["peer_self"] == {"class": "body", "type": "peer", "ref": "ab12"}
    assert full.to_dict()["closed_at"] == "2026-04-15T09:00:01.000001Z"
    for e in (minimal, full):
        assert SignedEnvelope.from_dict(e.to_dict()) == e
        assert e.to_dict() is not e.to_dict()


def test_from_dict_accepts_subclasses_and_reads_like_from_json():
    class D(dict):
        pass
    assert SignedEnvelope.from_dict(D(json.loads(FULL))).to_json() == FULL
    assert SignedEnvelope.from_dict(d=json.loads(MINIMAL)).to_json() == MINIMAL
    with pytest.raises(ValueError) as info:
        SignedEnvelope.from_dict({})
    assert str(info.value) == "invalid SignedEnvelope JSON: missing field `exchange_id` at line 1 column 2"


@pytest.mark.parametrize("call, message", [
    (lambda: SignedEnvelope.from_dict([]), "argument 'd': 'list' object cannot be cast as 'dict'"),
    (lambda: SignedEnvelope.from_dict(MINIMAL), "argument 'd': 'str' object cannot be cast as 'dict'"),
    (lambda: SignedEnvelope.from_json(1), "argument 's': 'int' object cannot be cast as 'str'"),
    (lambda: SignedEnvelope.from_json(MINIMAL.encode()), "argument 's': 'bytes' object cannot be cast as 'str'"),
    (lambda: SignedEnvelope.from_json(), "SignedEnvelope.from_json() missing 1 required positional argument: 's'"),
    (lambda: SignedEnvelope.from_json(MINIMAL, MINIMAL),
     "SignedEnvelope.from_json() takes 1 positional arguments but 2 were given"),
    (lambda: SignedEnvelope.from_dict(s={}), "SignedEnvelope.from_dict() got an unexpected keyword argument 's'"),
    (lambda: SignedEnvelope(), "cannot create 'zun_protocol.SignedEnvelope' instances"),
    (lambda: hash(SignedEnvelope.from_json(MINIMAL)), "unhashable type: 'zun_protocol.SignedEnvelope'"),
    (lambda: SignedEnvelope.from_json(MINIMAL).to_json(1), "SignedEnvelope.to_json() takes no arguments (1 given)"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_from_dict_lets_json_dumps_errors_through():
    fields = json.loads(MINIMAL)
    fields["opened_at"] = datetime.datetime(2026, 4, 15, tzinfo=datetime.timezone.utc)
    with pytest.raises(TypeError, match="Object of type datetime is not JSON serializable"):
        SignedEnvelope.from_dict(fields)


def test_lone_surrogate_is_the_interpreters_error():
    with pytest.raises(UnicodeEncodeError):
        SignedEnvelope.from_json(MINIMAL.replace("ex-1", "\ud800"))


def test_static_methods_work_on_instances():
    e = SignedEnvelope.from_json(MINIMAL)
    assert e.from_json(FULL) == SignedEnvelope.from_json(FULL)
    assert e.from_dict(e.to_dict()) == e


# ---- signing bytes -----------------------------------------------------------------------------------

@pytest.mark.parametrize("response_hash, expected", [
    (None, b'["ex-1","h1",null]'),
    ("h2", b'["ex-1","h1","h2"]'),
    ("", b'["ex-1","h1",""]'),
])
def test_signing_bytes_examples(response_hash, expected):
    assert envelope(response_hash=response_hash).canonical_signing_bytes() == expected


@pytest.mark.parametrize("exchange_id, expected", [
    ('a"b\\c\td\x01', b'["a\\"b\\\\c\\td\\u0001","h1",null]'),
    ("é", bytes.fromhex("5B 22 C3 A9 22 2C 22 68 31 22 2C 6E 75 6C 6C 5D")),
    ("\b\f\n\r\x1f\x7f/€", b'["\\b\\f\\n\\r\\u001f\x7f/\xe2\x82\xac","h1",null]'),
])
def test_signing_bytes_escaping(exchange_id, expected):
    got = envelope(exchange_id=exchange_id).canonical_signing_bytes()
    assert type(got) is bytes
    assert got == expected


def test_signing_bytes_example_lengths():
    assert len(envelope(exchange_id='a"b\\c\td\x01').canonical_signing_bytes()) == 30
    assert len(envelope(exchange_id="é").canonical_signing_bytes()) == 16


def test_signing_bytes_come_from_the_decoded_text():
    e = SignedEnvelope.from_json(MINIMAL.replace('"ex-1"', '"\\u00e9"'))
    assert e.canonical_signing_bytes() == bytes.fromhex("5B 22 C3 A9 22 2C 22 68 31 22 2C 6E 75 6C 6C 5D")


def test_signing_bytes_cover_only_three_fields():
    full = SignedEnvelope.from_json(FULL)
    other = SignedEnvelope.from_json(FULL.replace('"noise"', '"quic"').replace('"s1"', '"s9"')
                                     .replace('"inbound"', '"outbound"').replace('09:00:00.500Z', '09:00:00Z'))
    assert full != other
    assert full.canonical_signing_bytes() == other.canonical_signing_bytes()
    with_null = SignedEnvelope.from_json(MINIMAL.replace('"h1"', '"h1","response_hash":null'))
    assert with_null.canonical_signing_bytes() == SignedEnvelope.from_json(MINIMAL).canonical_signing_bytes()
    assert with_null.canonical_signing_bytes().endswith(b",null]")
    assert envelope(response_hash="").canonical_signing_bytes().endswith(b',""]')


# ---- properties and datetimes ------------------------------------------------------------------------

def test_properties():
    e = SignedEnvelope.from_json(FULL)
    assert e.exchange_id == "3f2b8c1e-9a4d-4e6f-8b7a-1c2d3e4f5a6b"
    assert e.peer_self == zp.ProtocolAddress("body", "peer", "ab12")
    assert e.peer_counterparty == zp.ProtocolAddress("route", "t", "r/s")
    assert e.direction == "inbound"
    assert (e.request_hash, e.response_hash) == ("h1", "h2")
    assert e.counterparty_signature == 'c"s\x01'
    assert e.our_signature == "s1"
    utc = datetime.timezone.utc
    assert e.opened_at == datetime.datetime(2026, 4, 15, 9, 0, 0, 500000, tzinfo=utc)
    assert e.closed_at == datetime.datetime(2026, 4, 15, 9, 0, 1, 1, tzinfo=utc)
    assert e.protocol_hint == "noise"
    assert e.counterparty_identifier == "é/\\x"
    m = SignedEnvelope.from_json(MINIMAL)
    assert (m.peer_counterparty, m.response_hash, m.counterparty_signature, m.closed_at) == (None,) * 4


@pytest.mark.parametrize("name", ["exchange_id", "peer_self", "peer_counterparty", "opened_at", "closed_at",
                                  "counterparty_identifier"])
def test_property_reads_are_fresh_objects(name):
    e = SignedEnvelope.from_json(FULL)
    first, second = getattr(e, name), getattr(e, name)
    assert first == second
    assert first is not second


def test_properties_are_read_only():
    e = SignedEnvelope.from_json(MINIMAL)
    with pytest.raises(AttributeError):
        e.exchange_id = "x"
    with pytest.raises(AttributeError):
        e.note = 1
    assert [name for name in vars(SignedEnvelope) if not name.startswith("__")] == [
        "from_json", "to_json", "canonical_signing_bytes", "to_dict", "from_dict",
        "exchange_id", "peer_self", "peer_counterparty", "direction", "request_hash", "response_hash",
        "counterparty_signature", "our_signature", "opened_at", "closed_at", "protocol_hint",
        "counterparty_identifier"]


def test_datetime_truncates_to_microseconds_in_utc():
    opened = envelope(opened_at="2026-04-15T09:00:00.123456789Z").opened_at
    assert type(opened) is datetime.datetime
    assert opened.tzinfo is datetime.timezone.utc
    assert (opened.year, opened.month, opened.day, opened.hour, opened.minute, opened.second,
            opened.microsecond) == (2026, 4, 15, 9, 0, 0, 123456)
    assert envelope(opened_at="2026-04-15T09:00:00.000000999Z").opened_at.microsecond == 0


@pytest.mark.parametrize("when, year", [("0001-01-01T00:00:00Z", 1), ("9999-12-31T23:59:59.999999999Z", 9999)])
def test_datetime_year_range_edges(when, year):
    assert envelope(opened_at=when).opened_at.year == year


@pytest.mark.parametrize("when", ["0000-12-31T23:59:59Z", "+10000-01-01T00:00:00Z", "-0001-01-01T00:00:00Z"])
def test_years_datetime_cannot_hold_raise_the_hosts_value_error(when):
    e = envelope(opened_at=when, closed_at=when)
    assert json.loads(e.to_json())["opened_at"] == when
    with pytest.raises(ValueError, match=YEAR_OUT_OF_RANGE):
        e.opened_at
    with pytest.raises(ValueError, match=YEAR_OUT_OF_RANGE):
        e.closed_at


def test_datetime_module_is_imported_when_nobody_has_yet():
    code = ("import sys, zun_protocol\n"
            "assert 'datetime' not in sys.modules\n"
            f"print(repr(zun_protocol.SignedEnvelope.from_json({MINIMAL!r}).opened_at))")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.stdout == "datetime.datetime(2026, 4, 15, 9, 0, tzinfo=datetime.timezone.utc)\n", done.stderr


LEAP_MESSAGE = "ignored leap-second, `datetime` does not support leap-seconds"


def test_leap_second_becomes_second_59_with_a_warning():
    e = envelope(opened_at="2016-12-31T23:59:60.5Z")
    assert json.loads(e.to_json())["opened_at"] == "2016-12-31T23:59:60.500Z"
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        opened = e.opened_at
    assert [(w.category, str(w.message)) for w in caught] == [(UserWarning, LEAP_MESSAGE)]
    assert caught[0].filename == __file__
    assert opened == datetime.datetime(2016, 12, 31, 23, 59, 59, 500000, tzinfo=datetime.timezone.utc)


def test_leap_second_warning_as_error_raises_from_the_property():
    e = envelope(closed_at="2016-12-31T23:59:60Z")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(UserWarning, match=re.escape(LEAP_MESSAGE)):
            e.closed_at
        e.opened_at  # an ordinary second issues nothing


# ---- equality and repr ---------------------------------------------------------------------------------

@pytest.mark.parametrize("old, new", [
    ('"3f2b8c1e-9a4d-4e6f-8b7a-1c2d3e4f5a6b"', '"3f2b8c1e-9a4d-4e6f-8b7a-1c2d3e4f5a6c"'),
    ('"ab12"', '"ab13"'),
    ('"class":"route"', '"class":"doc"'),
    ('"peer_counterparty":{"class":"route","type":"t","ref":"r/s"},', ""),
    ('"inbound"', '"outbound"'),
    ('"h1"', '"h0"'),
    ('"response_hash":"h2",', ""),
    ('"response_hash":"h2"', '"response_hash":""'),
    ('"counterparty_signature":"c\\"s\\u0001",', ""),
    ('"s1"', '"s2"'),
    ("09:00:00.500Z", "09:00:00.500000001Z"),
    ('"closed_at":"2026-04-15T09:00:01.000001Z",', ""),
    ('"noise"', '"Noise"'),
    ('"é/\\\\x"', '"e/\\\\x"'),
])
def test_equality_compares_every_field(old, new):
    assert old in FULL
    a, b = SignedEnvelope.from_json(FULL), SignedEnvelope.from_json(FULL.replace(old, new))
    assert a == SignedEnvelope.from_json(FULL)
    assert a != b
    assert not (a == b)


def test_comparison_with_other_types():
    e = SignedEnvelope.from_json(MINIMAL)
    assert e != MINIMAL
    assert not (e == e.to_dict())
    assert e.__eq__(MINIMAL) is NotImplemented
    with pytest.raises(TypeError):
        e < e
    with pytest.raises(TypeError):
        {e}


@pytest.mark.parametrize("exchange_id, shown", [
    ("ex-1", '"ex-1"'),
    ('q"b\\s', '"q\\"b\\\\s"'),
    ("l\nc\rt\tz\x00", '"l\\nc\\rt\\tz\\0"'),
    ("\x01\x7f\u200b", '"\\u{1}\\u{7f}\\u{200b}"'),
    ("e\u0301", '"e\\u{301}"'),
    ("it's é€", "\"it's é€\""),
    # two characters assigned after Unicode 15.0, and a spacing mark grapheme-extending since 16.0
    ("\U0001cc00\ufbca\u0cc0", '"\U0001cc00\ufbca\\u{cc0}"'),
])
def test_envelope_repr(exchange_id, shown):
    e = envelope(exchange_id=exchange_id, direction="inbound")
    assert repr(e) == f'SignedEnvelope(exchange_id={shown}, direction="inbound")'
    assert str(e) == repr(e)


# ---- CounterpartyInfo ----------------------------------------------------------------------------------

def test_counterparty_info_fields_and_dict():
    info = CounterpartyInfo("a", "quic")
    assert (info.identifier, info.protocol_hint, info.peer_address, info.counterparty_signature) == \
        ("a", "quic", None, None)
    assert info.to_dict() == {"identifier": "a", "protocol_hint": "quic", "peer_address": None,
                              "counterparty_signature": None}
    full = CounterpartyInfo("id\x01\"", "noise", "kiv://not parsed", "sig\\")
    assert list(full.to_dict().items()) == [("identifier", "id\x01\""), ("protocol_hint", "noise"),
                                            ("peer_address", "kiv://not parsed"), ("counterparty_signature", "sig\\")]


@pytest.mark.parametrize("args, kwargs", [
    (("a", "quic", "p", "s"), {}),
    ((), {"counterparty_signature": "s", "peer_address": "p", "protocol_hint": "quic", "identifier": "a"}),
    (("a",), {"protocol_hint": "quic", "peer_address": "p", "counterparty_signature": "s"}),
])
def test_counterparty_info_positional_or_keyword(args, kwargs):
    assert CounterpartyInfo(*args, **kwargs) == CounterpartyInfo("a", "quic", "p", "s")


def test_counterparty_info_none_means_absent():
    assert CounterpartyInfo("a", "b", None, None) == CounterpartyInfo("a", "b")
    assert CounterpartyInfo("a", "b", peer_address="") != CounterpartyInfo("a", "b")
    assert CounterpartyInfo("a", "b", "", None).peer_address == ""


@pytest.mark.parametrize("call, message", [
    (lambda: CounterpartyInfo(), "CounterpartyInfo.__new__() missing 2 required positional arguments: "
                                 "'identifier' and 'protocol_hint'"),
    (lambda: CounterpartyInfo("a", "b", "c", "d", "e"),
     "CounterpartyInfo.__new__() takes from 2 to 4 positional arguments but 5 were given"),
    (lambda: CounterpartyInfo("a", "b", peer="x"), "CounterpartyInfo.__new__() got an unexpected keyword argument 'peer'"),
    (lambda: CounterpartyInfo(1, None), "argument 'identifier': 'int' object cannot be cast as 'str'"),
    (lambda: CounterpartyInfo("a", None), "argument 'protocol_hint': 'NoneType' object cannot be cast as 'str'"),
    (lambda: CounterpartyInfo("a", "b", b"p"), "argument 'peer_address': 'bytes' object cannot be cast as 'str'"),
    (lambda: CounterpartyInfo("a", "b", None, 5), "argument 'counterparty_signature': 'int' object cannot be cast as 'str'"),
    (lambda: hash(CounterpartyInfo("a", "b")), "unhashable type: 'zun_protocol.CounterpartyInfo'"),
    (lambda: zp.classify_exchange("dns", CounterpartyInfo("a", "b")),
     "argument 'counterparty': 'CounterpartyInfo' object cannot be cast as 'str'"),
])
def test_counterparty_info_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_counterparty_info_equality_repr_and_immutability():
    info = CounterpartyInfo('i"d\n', "qu\\ic", "p")
    assert repr(info) == 'CounterpartyInfo(identifier="i\\"d\\n", protocol_hint="qu\\\\ic")'
    for other in (CounterpartyInfo('i"d\n', "qu\\ic"), CounterpartyInfo('i"d\n', "qu\\ic", "p", "s"),
                  CounterpartyInfo("x", "qu\\ic", "p"), CounterpartyInfo('i"d\n', "quic", "p")):
        assert info != other
    assert info == CounterpartyInfo('i"d\n', "qu\\ic", "p")
    assert info != info.to_dict()
    with pytest.raises(AttributeError):
        info.peer_address = "q"
    with pytest.raises(AttributeError):
        info.extra = 1
    assert info.identifier is not info.identifier


def test_docstrings():
    assert SignedEnvelope.__doc__ == (
        "Wire record of one completed exchange (faithfulness-v1 primitive #4).\n\n"
        "Constructed from canonical JSON (`from_json`) \u2014 direct field-by-field\n"
        "construction is intentionally absent because the envelope's\n"
        "`our_signature` must be produced by the kernel's signing path, not\n"
        "recomputed from Python. Backend Python is a verifier + emitter; the\n"
        "kernel's vorn binary is the signer.")
    assert SignedEnvelope.canonical_signing_bytes.__doc__ == (
        "The bytes Ed25519 signs over \u2014\n"
        "`[exchange_id, request_hash, response_hash_or_null]` as canonical\n"
        "JSON. Same as `crates/primitives` produces, byte-for-byte.")
    assert SignedEnvelope.from_json.__doc__ == (
        "Parse a canonical JSON wire envelope. Matches the form emitted\n"
        "by the kernel + the form `crates/signed_envelope` accepts on the\nwire.")
    assert SignedEnvelope.to_json.__doc__ == "Serialize to canonical JSON."
    assert SignedEnvelope.from_dict.__text_signature__ == "(d)"
    assert SignedEnvelope.to_dict.__text_signature__ == "($self)"
    assert CounterpartyInfo.__text_signature__ == \
        "(identifier, protocol_hint, peer_address=None, counterparty_signature=None)"
    assert CounterpartyInfo.__doc__ == ("Everything we know about the other end of an exchange. Free-form\n"
                                        "metadata that travels with a `SignedEnvelope`.")


# ---- pair classes of envelope fields ---------------------------------------------------------------------

@pytest.mark.parametrize("hint, counterparty, pair_class", [
    ("dns", "", "discovery"),
    ("DNS", "", "discovery"),
    ("MdNs", "", "discovery"),
    ("dnssd", "peer-7", "discovery"),
    (" dns", "", "routing"),
    ("dns ", "", "routing"),
    ("noise", "", "trust"),
    ("X3DH", "", "trust"),
    ("TLS-Handshake", "", "trust"),
    ("tls", "", "routing"),
    ("quic", "", "routing"),
    ("libp2p", "", "routing"),
    ("", "", "routing"),
    ("DNŞ", "", "routing"),
    ("ＤＮＳ", "", "routing"),
    ("dns", "api.stripe.com", "marketplace"),
    ("noise", "https://checkout.STRIPE.COM:443/v1", "marketplace"),
    ("dns", "nango.dev then stripe.com", "marketplace"),
    ("quic", "stripe.comx", "marketplace"),
    ("quic", "stripe.co", "routing"),
    ("quic", "STRIPE\u0130.com", "routing"),
])
def test_classify_exchange(hint, counterparty, pair_class):
    assert zp.classify_exchange(hint, counterparty) == pair_class
    assert zp.classify_exchange(counterparty=counterparty, protocol_hint=hint) == pair_class


def test_classify_envelope_fields():
    e = SignedEnvelope.from_json(FULL)
    assert zp.classify_exchange(e.protocol_hint, e.counterparty_identifier) == "trust"
