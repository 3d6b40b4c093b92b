"""The dictionary forms against what defines them, over the reference corpus and seeded mutations
of its dictionaries: to_dict() is json.loads(to_json()), key order and value types included, and
from_dict(d) reads the record from_json(json.dumps(d)) reads, or fails with its exception and text."""
import datetime
import json
import pathlib
import random

import pytest

import zun_protocol as zp

pytestmark = pytest.mark.portable

VECTORS = pathlib.Path(__file__).resolve().parent / "data" / "record-json.jsonl"
CLASSES = ("SignedEnvelope", "PeerIdentityDescriptor", "AnchorReceipt", "AnchorProof",
           "InclusionProof", "ConsistencyProof")
MUTATIONS = 1200  # per class, from a generator seeded by the class name


def _corpus(name):
    """The dictionaries of the corpus's inputs for `name`; the proofs, which it lacks, from trees."""
    if name in ("InclusionProof", "ConsistencyProof"):
        trees = [zp.MerkleTree([bytes([i]) * i for i in range(size)]) for size in (1, 2, 3, 7, 8, 20)]
        if name == "InclusionProof":
            return [p.to_dict() for t in trees for p in (t.inclusion_proof(0), t.inclusion_proof(len(t) - 1))]
        return [t.consistency_proof(k).to_dict() for t in trees for k in (1, len(t) // 2 or 1, len(t))]
    found = []
    with open(VECTORS, encoding="utf-8") as f:
        for case in map(json.loads, f):
            if case["op"] == "read" and case["record"] == name and "text" in case:
                try:
                    value = json.loads(case["text"])
                except (ValueError, RecursionError):  # deeper than the json module reads
                    continue
                if isinstance(value, dict):
                    found.append(value)
    return found


class Text(str):
    pass


class Number(int):
    pass


def _nested(levels, inner=None):
    for _ in range(levels):
        inner = [inner]
    return inner


# Values a mutation puts in place of another or under a new key: each kind the fast path takes or
# leaves to the JSON path, and those at its edges (64-bit ints, surrogates, the 127-level limit).
VALUES = [
    None, True, False, 0, 1, -1, 2**63, 2**64 - 1, 2**64, -(2**63) - 1, 10**40, 1.5, float("nan"),
    "", "x", "\ud800", "\udc00", "\ud83d\ude00", "é\x00\u2028", "2026-04-15T09:00:00Z", "2016-12-31T23:59:60Z",
    "2026-02-30T00:00:00Z", "ab" * 32, "AB" * 32, "ab" * 31, "outbound", "inbound", "body", "software", "local",
    [], ["x"], [1], ["ab" * 32], [None], {}, {"a": 1}, {"outbound": None}, {"class": "body", "type": "t", "ref": "r"},
    (), ("x",), Text("x"), Number(1), datetime.date(2026, 1, 1), {1: "x"}, {Text("a"): 1}, {"a": {"b": [1.5]}},
    _nested(124), _nested(125), _nested(126), _nested(127), 10**4300,
]


def _mutate(value, rng, depth=0):
    """A changed copy of a dictionary (or of a list inside one); the input is left as it is."""
    if isinstance(value, list):
        copy = list(value)
        if copy and rng.random() < 0.7:
            i = rng.randrange(len(copy))
            copy[i] = _mutate(copy[i], rng, depth + 1) if isinstance(copy[i], (dict, list)) else rng.choice(VALUES)
        else:
            copy.append(rng.choice(VALUES))
        return copy
    copy = dict(value)
    keys = list(copy)
    nested = [k for k in keys if isinstance(copy[k], (dict, list))]
    action = rng.randrange(6)
    if action == 0 and keys:
        del copy[rng.choice(keys)]
    elif action == 1 and keys:
        copy[rng.choice(keys)] = rng.choice(VALUES)
    elif action == 2 and nested and depth < 3:
        key = rng.choice(nested)
        copy[key] = _mutate(copy[key], rng, depth + 1)
    elif action == 3 and keys:
        # The same member under a key json.dumps writes the same way, or under one it changes.
        key = rng.choice(keys)
        copy[rng.choice([Text(key), 1, None, True, key + "\ud800"])] = copy.pop(key)
    elif action == 4 and nested:
        key = rng.choice(nested)
        copy[key] = list(copy[key].values()) if isinstance(copy[key], dict) else tuple(copy[key])
    else:
        copy[rng.choice(["x", "é", "exchange_id\x00", ""])] = rng.choice(VALUES)
    return copy


def _outcome(call):
    try:
        return "read", call().to_json()
    except Exception as error:  # the exception's type and text are what is compared
        return type(error).__name__, str(error)


def _same_tree(a, b):
    """Equal, and of the same types, with dict keys in the same order, all the way down."""
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return list(a) == list(b) and all(_same_tree(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return len(a) == len(b) and all(map(_same_tree, a, b))
    return a == b


@pytest.mark.parametrize("name", CLASSES)
def test_dict_forms_agree_with_the_json_path(name, monkeypatch):
    cls = getattr(zp, name)
    dumps = json.dumps
    dumped = []
    monkeypatch.setattr(json, "dumps", lambda d: dumped.append(d) or dumps(d))

    corpus = _corpus(name)
    rng = random.Random(name)
    inputs = corpus + [_mutate(rng.choice(corpus), rng) for _ in range(MUTATIONS)]
    assert len(corpus) >= 10

    read, differ = 0, []
    for d in inputs:
        expected = _outcome(lambda: cls.from_json(dumps(d)))
        del dumped[:]
        got = _outcome(lambda: cls.from_dict(d))
        if got != expected:
            differ.append((d, got, expected))
        if expected[0] != "read":
            continue
        read += 1
        record = cls.from_json(expected[1])
        if not _same_tree(record.to_dict(), json.loads(record.to_json())):
            differ.append((record, record.to_dict(), json.loads(record.to_json())))
        # The record's own dictionary is the common case: read without a JSON text.
        del dumped[:]
        assert cls.from_dict(record.to_dict()) == record and not dumped, record
    assert not differ, differ[:3]
    assert read >= 10
