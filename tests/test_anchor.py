"""AnchorReceipt, AnchorProof and MockAnchor as Python sees them."""
import datetime
import json
import pathlib
import threading

import pytest

from zun_protocol import AnchorProof, AnchorReceipt, MockAnchor

pytestmark = pytest.mark.portable

VECTORS = pathlib.Path(__file__).resolve().parent / "data" / "record-json.jsonl"
CLASSES = {"AnchorReceipt": AnchorReceipt, "AnchorProof": AnchorProof}
ZERO_HEX = "0" * 64
ZERO_RECEIPT = ('{"anchor_id":"t","anchor_kind":"local","merkle_root_hex":"' + ZERO_HEX + '",'
                '"submission_ref":"mock://00000000","submitted_at":"2026-04-15T09:00:00Z",'
                '"expected_finality_at":"2026-04-15T09:00:00Z","proof_b64":""}')
PROOF = {"anchor_id": "a", "anchor_kind": "local", "merkle_root_hex": "00", "confirmed": True,
         "authoritative_time": "t", "detail": "d"}
KINDS = ["open_timestamps", "ethereum", "solana", "nist_tsa", "handshake", "local"]


def receipt(**fields):
    return AnchorReceipt.from_dict({**json.loads(ZERO_RECEIPT), **fields})


def raises(exc, message, call):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc and info.value.args == (message,)
    return info.value


@pytest.mark.parametrize("record", CLASSES)
def test_reference_cases(record):
    cls, cases = CLASSES[record], []
    with open(VECTORS, encoding="utf-8") as f:
        cases = [c for c in map(json.loads, f) if c.get("record") == record]
    assert len(cases) > 300
    for case in cases:
        if not case["ok"]:
            raises(ValueError, f"invalid {record} JSON: " + case["error"], lambda: cls.from_json(case["text"]))
            continue
        r = cls.from_json(case["text"])
        assert r.to_json() == case["canonical"]
        d = r.to_dict()
        assert d == json.loads(case["canonical"]) and list(d) == list(json.loads(case["canonical"]))
        assert cls.from_dict(d) == r == cls.from_json(r.to_json())
        assert r != cls.from_dict({**d, "anchor_id": d["anchor_id"] + "x"})


@pytest.mark.parametrize("cls, text, message", [
    (AnchorReceipt, ZERO_RECEIPT.replace(',"proof_b64":""', ""), "missing field `proof_b64` at line 1 column 243"),
    (AnchorReceipt, ZERO_RECEIPT.replace('{', '{"anchor_id":"x",'), "duplicate field `anchor_id` at line 1 column 28"),
    (AnchorReceipt, ZERO_RECEIPT.replace('"local"', '"NIST_TSA"'),
     "unknown variant `NIST_TSA`, expected one of " + ", ".join(f"`{k}`" for k in KINDS) + " at line 1 column 41"),
    (AnchorProof, json.dumps({**PROOF, "confirmed": "true"}, separators=(",", ":")),
     'invalid type: string "true", expected a boolean at line 1 column 80'),
    (AnchorProof, '["a","local","00",true,"t"]', "invalid length 5, expected struct AnchorProof with 6 elements at line 1 column 27"),
    (AnchorReceipt, '["t","local"]', "invalid length 2, expected struct AnchorReceipt with 7 elements at line 1 column 13"),
])
def test_refused_json(cls, text, message):
    raises(ValueError, f"invalid {cls.__name__} JSON: {message}", lambda: cls.from_json(text))


@pytest.mark.parametrize("kind", KINDS)
def test_kinds_and_forms(kind):
    r = receipt(anchor_kind=kind, proof_b64="", extra=[1])
    assert r.anchor_kind == kind and r.proof_b64 == ""
    assert AnchorReceipt.from_json(json.dumps(list(r.to_dict().values()))) == r
    p = AnchorProof.from_json(json.dumps(["a", kind, "00", False, "t", "d"]))
    assert (p.anchor_id, p.anchor_kind, p.confirmed) == ("a", kind, False)
    assert repr(p) == f'AnchorProof(anchor_id="a", kind="{kind}", confirmed=false, root="00")'


def test_records_compare_by_value_only():
    r, p = receipt(), AnchorProof.from_dict(PROOF)
    assert (r == ZERO_RECEIPT, r != ZERO_RECEIPT, r == receipt(), r != receipt()) == (False, True, True, False)
    for value in (r, p):
        with pytest.raises(TypeError):
            hash(value)
        with pytest.raises(TypeError):
            value < value  # noqa: B015
        with pytest.raises(AttributeError):
            value.anchor_id = "x"
    assert repr(receipt(anchor_id='a"\\\n\u0301é')) == (
        'AnchorReceipt(anchor_id="a\\"\\\\\\n\\u{301}é", kind="local", root="' + ZERO_HEX + '")')


def test_from_dict_passes_json_errors_through():
    raises(TypeError, "Object of type datetime is not JSON serializable",
           lambda: AnchorProof.from_dict({**PROOF, "detail": datetime.datetime(2026, 1, 1)}))


def test_submit_and_verify():
    anchor = MockAnchor("t")
    r = anchor.submit(bytes(32))
    assert r.to_json() == ZERO_RECEIPT
    assert repr(r) == f'AnchorReceipt(anchor_id="t", kind="local", root="{ZERO_HEX}")'
    dead = anchor.submit(bytes.fromhex("deadbeef") + b"\1" * 28)
    assert dead.submission_ref == anchor.submit(bytes.fromhex("deadbeef") + b"\2" * 28).submission_ref == "mock://deadbeef"
    raises(ValueError, "anchor already submitted: " + ZERO_HEX, lambda: anchor.submit(bytes(32)))
    upper = "DEADBEEF" + "01" * 28
    proof = anchor.verify(receipt(anchor_id="elsewhere", merkle_root_hex=upper, submitted_at="then"))
    assert proof.to_dict() == {"anchor_id": "t", "anchor_kind": "local", "merkle_root_hex": upper,
                               "confirmed": True, "authoritative_time": "then", "detail": "mock"}
    assert anchor.verify(r).authoritative_time == "2026-04-15T09:00:00Z"
    error = raises(KeyError, "anchor not found: " + ZERO_HEX, lambda: MockAnchor("t").verify(r))
    assert str(error) == repr("anchor not found: " + ZERO_HEX)


@pytest.mark.parametrize("root, message", [
    ("abc", "Odd number of digits"),
    ("0" * 62, "root len"),
    ("000g" + "0" * 60, "Invalid character 'g' at position 3"),
    ("é" + "0" * 62, "Invalid character 'Ã' at position 0"),
])
def test_verify_refuses_bad_roots(root, message):
    raises(ValueError, "anchor bad response: " + message, lambda: MockAnchor("t").verify(receipt(merkle_root_hex=root)))


@pytest.mark.parametrize("call, message", [
    (lambda a: a.submit(bytearray(32)), "argument 'merkle_root': 'bytearray' object cannot be cast as 'bytes'"),
    (lambda a: a.submit(ZERO_HEX), "argument 'merkle_root': 'str' object cannot be cast as 'bytes'"),
    (lambda a: a.verify(json.loads(ZERO_RECEIPT)), "argument 'receipt': 'dict' object cannot be cast as 'AnchorReceipt'"),
    (lambda a: a.verify(AnchorProof.from_dict(PROOF)), "argument 'receipt': 'AnchorProof' object cannot be cast as 'AnchorReceipt'"),
    (lambda a: a.submit(root=bytes(32)), "MockAnchor.submit() got an unexpected keyword argument 'root'"),
    (lambda a: MockAnchor(id=b"t"), "argument 'id': 'bytes' object cannot be cast as 'str'"),
    (lambda a: AnchorReceipt.from_json(ZERO_RECEIPT.encode()), "argument 's': 'bytes' object cannot be cast as 'str'"),
    (lambda a: AnchorProof.from_dict([]), "argument 'd': 'list' object cannot be cast as 'dict'"),
])
def test_wrong_argument_types(call, message):
    raises(TypeError, message, lambda: call(MockAnchor("t")))


@pytest.mark.parametrize("size", [0, 31, 33])
def test_wrong_root_length_stores_nothing(size):
    anchor = MockAnchor("t")
    raises(ValueError, "merkle_root must be exactly 32 bytes", lambda: anchor.submit(bytes(size)))
    assert anchor.submit(merkle_root=bytes(32)).merkle_root_hex == ZERO_HEX


def test_anchor_properties_and_identity():
    a, b = MockAnchor(""), MockAnchor("")
    assert (a.id, a.kind, a.finality_seconds, a.cost_usd_per_submission) == ("", "local", 0, 0.0)
    assert type(a.finality_seconds) is int and type(a.cost_usd_per_submission) is float
    assert a != b and len({a, b}) == 2
    assert repr(MockAnchor('x"\t')) == 'MockAnchor(id="x\\"\\t", kind="local")'


def test_concurrent_submissions_of_one_root():
    anchor, start, outcomes = MockAnchor("t"), threading.Barrier(8), []

    def submit():
        start.wait()
        try:
            outcomes.append(anchor.submit(b"\7" * 32).merkle_root_hex)
        except ValueError as e:
            outcomes.append(str(e))

    threads = [threading.Thread(target=submit) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert sorted(outcomes) == ["07" * 32] + ["anchor already submitted: " + "07" * 32] * 7
