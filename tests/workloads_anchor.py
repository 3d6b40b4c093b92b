"""Leak workloads of the anchor classes: every entry point, on success and failure paths."""
import datetime
import json

import copy
import pickle

import zun_protocol as zp

from workloads import travels

_anchor = zp.MockAnchor("t")
_receipt = _anchor.submit(bytes(32))
_receipt_dict = _receipt.to_dict()
_receipt_json = _receipt.to_json()
_proof = _anchor.verify(_receipt)
_proof_dict = _proof.to_dict()
_proof_json = _proof.to_json()


def _receipt_with(root):
    return zp.AnchorReceipt.from_dict({**_receipt_dict, "merkle_root_hex": root})


_odd, _short, _bad = _receipt_with("abc"), _receipt_with("00" * 31), _receipt_with("é" + "0" * 62)
_unknown = _receipt_with("11" * 32)

WORKLOADS = []
for _cls, _json, _dict in ((zp.AnchorReceipt, _receipt_json, _receipt_dict), (zp.AnchorProof, _proof_json, _proof_dict)):
    _name = _cls.__name__
    _value = _cls.from_json(_json)
    WORKLOADS += [
        (f"{_name}:new", _cls),
        (f"{_name}:from_json", lambda c=_cls, j=_json: c.from_json(j)),
        (f"{_name}:from_json-array", lambda c=_cls, d=_dict: c.from_json(json.dumps(list(d.values())))),
        (f"{_name}:from_json-missing", lambda c=_cls, j=_json: c.from_json(j.replace('"anchor_id"', '"x"'))),
        (f"{_name}:from_json-kind", lambda c=_cls, j=_json: c.from_json(j.replace('"local"', '"LOCAL"'))),
        (f"{_name}:from_json-type", lambda c=_cls: c.from_json(1)),
        (f"{_name}:from_json-surrogate", lambda c=_cls: c.from_json('"\ud800"')),
        (f"{_name}:from_dict", lambda c=_cls, d=_dict: c.from_dict(d)),
        (f"{_name}:from_dict-datetime", lambda c=_cls, d=_dict: c.from_dict({**d, "x": datetime.date.min})),
        (f"{_name}:from_dict-list", lambda c=_cls: c.from_dict([])),
        (f"{_name}:from_dict-keyword", lambda c=_cls, d=_dict: c.from_dict(dict=d)),
        (f"{_name}:members", lambda v=_value: (v.to_json(), v.to_dict(), repr(v), v == v, v != v, v == 1,
                                               [getattr(v, p) for p in dir(v) if not p.startswith(("_", "from", "to"))])),
        (f"{_name}:hash", lambda v=_value: hash(v)),
        (f"{_name}:order", lambda v=_value: v < v),
        (f"{_name}:pickle", travels(_value, (b'"local"', b'"locaL"'))),
    ]

WORKLOADS += [
    ("MockAnchor:new", lambda: zp.MockAnchor("t")),
    ("MockAnchor:new-type", lambda: zp.MockAnchor(id=1)),
    ("MockAnchor:new-missing", lambda: zp.MockAnchor()),
    ("MockAnchor:submit", lambda: zp.MockAnchor("t").submit(bytes(32))),
    ("MockAnchor:submit-twice", lambda: _anchor.submit(bytes(32))),
    ("MockAnchor:submit-length", lambda: _anchor.submit(bytes(31))),
    ("MockAnchor:submit-type", lambda: _anchor.submit(bytearray(32))),
    ("MockAnchor:submit-keyword", lambda: _anchor.submit(root=bytes(32))),
    ("MockAnchor:verify", lambda: _anchor.verify(receipt=_receipt)),
    ("MockAnchor:verify-unknown", lambda: _anchor.verify(_unknown)),
    ("MockAnchor:verify-odd", lambda: _anchor.verify(_odd)),
    ("MockAnchor:verify-length", lambda: _anchor.verify(_short)),
    ("MockAnchor:verify-character", lambda: _anchor.verify(_bad)),
    ("MockAnchor:verify-type", lambda: _anchor.verify(_proof)),
    ("MockAnchor:pickle", lambda: pickle.dumps(_anchor)),
    ("MockAnchor:copy", lambda: copy.deepcopy([_anchor])),
    ("MockAnchor:members", lambda: (repr(_anchor), _anchor.id, _anchor.kind, _anchor.finality_seconds,
                                    _anchor.cost_usd_per_submission, hash(_anchor), _anchor == _anchor)),
]
