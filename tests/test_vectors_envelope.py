"""Every SignedEnvelope reference case, read and written back through the Python class."""
import base64
import datetime
import json
import pathlib
import re
import warnings

import pytest

from zun_protocol import SignedEnvelope

pytestmark = pytest.mark.portable

# datetime's own refusal of a year it cannot hold, in the words of CPython up to 3.13 and from 3.14 on.
YEAR_OUT_OF_RANGE = r"is out of range|must be in 1\.\.9999"

VECTORS = pathlib.Path(__file__).resolve().parent / "data" / "record-json.jsonl"
LEAP_MESSAGE = "ignored leap-second, `datetime` does not support leap-seconds"


def _cases():
    if not VECTORS.is_file():
        return []
    with open(VECTORS, encoding="utf-8") as f:
        return [case for case in map(json.loads, f) if case.get("record") == "SignedEnvelope"]


CASES = _cases()


def test_vectors_present():
    assert VECTORS.is_file(), f"missing reference vectors at {VECTORS}"
    assert len(CASES) > 1000
    assert {case["ok"] for case in CASES} == {True, False}


def _too_deep_at(text):
    """(line, column) of the first bracket at nesting level 128, outside strings, or None.

    The reference skips the values of unknown keys without a depth limit; this module
    refuses the 128th level wherever it opens."""
    depth, line, column, in_string, escaped = 0, 1, 0, False, False
    for byte in text.encode("utf-8", "surrogatepass"):
        column += 1
        if in_string:
            if escaped:
                escaped = False
            elif byte == 0x5C:
                escaped = True
            elif byte == 0x22:
                in_string = False
        elif byte == 0x22:
            in_string = True
        elif byte in b"[{":
            depth += 1
            if depth == 128:
                return line, column
        elif byte in b"]}":
            depth -= 1
        if byte == 0x0A:
            line, column = line + 1, 0
    return None


def _expected_error(case):
    """The reference's error text, unless the nesting limit strikes first."""
    deep = _too_deep_at(case["text"])
    if deep is None:
        return case.get("error")
    if not case["ok"]:
        where = re.search(r" at line (\d+) column (\d+)$", case["error"])
        if where and (int(where[1]), int(where[2])) < deep:
            return case["error"]
    return "recursion limit exceeded at line %d column %d" % deep


def _check_instant(envelope, name, expected):
    if expected is None:
        assert getattr(envelope, name) is None
        return
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        if not 1 <= expected["year"] <= 9999:
            with pytest.raises(ValueError, match=YEAR_OUT_OF_RANGE):
                getattr(envelope, name)
            assert caught == []
            return
        value = getattr(envelope, name)
    assert value == datetime.datetime(expected["year"], expected["month"], expected["day"], expected["hour"],
                                      expected["minute"], expected["second"], expected["microsecond"],
                                      tzinfo=datetime.timezone.utc)
    assert value.tzinfo is datetime.timezone.utc
    assert [str(w.message) for w in caught if w.category is UserWarning] == \
        ([LEAP_MESSAGE] if expected["leap"] else [])


@pytest.mark.parametrize("index", range(len(CASES)))
def test_reference_case(index):
    case = CASES[index]
    assert case["op"] == "read"
    error = _expected_error(case)
    if error is not None:
        with pytest.raises(ValueError) as info:
            SignedEnvelope.from_json(case["text"])
        assert str(info.value) == "invalid SignedEnvelope JSON: " + error
        return
    envelope = SignedEnvelope.from_json(case["text"])
    assert envelope.to_json() == case["canonical"]
    assert envelope.canonical_signing_bytes() == base64.b64decode(case["signing_bytes_b64"])
    _check_instant(envelope, "opened_at", case["opened_at_py"])
    _check_instant(envelope, "closed_at", case.get("closed_at_py"))
