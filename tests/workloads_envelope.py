"""Leak workloads of SignedEnvelope and CounterpartyInfo: every entry point, on success and failure paths."""
import datetime
import json
import warnings

import zun_protocol as zp

from workloads import travels

_FULL = ('{"exchange_id":"3f2b8c1e-9a4d-4e6f-8b7a-1c2d3e4f5a6b",'
         '"peer_self":{"class":"body","type":"peer","ref":"ab12"},'
         '"peer_counterparty":{"class":"route","type":"t","ref":"r/s"},"direction":"inbound",'
         '"request_hash":"h1","response_hash":"h2","counterparty_signature":"c\\"s\\u0001",'
         '"our_signature":"s1","opened_at":"2026-04-15T09:00:00.500Z","closed_at":"2016-12-31T23:59:60Z",'
         '"protocol_hint":"noise","counterparty_identifier":"é/\\\\x"}')
_full = zp.SignedEnvelope.from_json(_FULL)
_dict = _full.to_dict()
_minimal = zp.SignedEnvelope.from_dict({k: v for k, v in _dict.items() if k not in (
    "peer_counterparty", "response_hash", "counterparty_signature", "closed_at")})
_year_zero = zp.SignedEnvelope.from_json(_FULL.replace("2026-04-15T09:00:00.500Z", "0000-01-01T00:00:00Z"))
_info = zp.CounterpartyInfo("id\x01", "quic", "peer", "sig")


def _leap_second_as_error():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        try:
            _full.closed_at
        except UserWarning:
            pass


def _leap_second_ignored():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return _full.closed_at


def _envelope_members(e):
    return (e.to_json(), e.canonical_signing_bytes(), e.to_dict(), repr(e), e == e, e != _minimal, e == 1,
            e.exchange_id, e.peer_self, e.peer_counterparty, e.direction, e.request_hash, e.response_hash,
            e.counterparty_signature, e.our_signature, e.opened_at, e.protocol_hint, e.counterparty_identifier)


WORKLOADS = [
    ("SignedEnvelope:new", zp.SignedEnvelope),
    ("SignedEnvelope:from_json", lambda: zp.SignedEnvelope.from_json(_FULL)),
    ("SignedEnvelope:from_json-array", lambda: zp.SignedEnvelope.from_json(json.dumps(list(_dict.values())))),
    ("SignedEnvelope:from_json-missing", lambda: zp.SignedEnvelope.from_json(_FULL.replace('"our_signature"', '"x"'))),
    ("SignedEnvelope:from_json-duplicate", lambda: zp.SignedEnvelope.from_json(_FULL[:-1] + ',"direction":"inbound"}')),
    ("SignedEnvelope:from_json-direction", lambda: zp.SignedEnvelope.from_json(_FULL.replace('"inbound"', '"In"'))),
    ("SignedEnvelope:from_json-instant", lambda: zp.SignedEnvelope.from_json(_FULL.replace("00.500Z", "00.5"))),
    ("SignedEnvelope:from_json-deep", lambda: zp.SignedEnvelope.from_json(_FULL[:-1] + ',"x":' + "[" * 200)),
    ("SignedEnvelope:from_json-type", lambda: zp.SignedEnvelope.from_json(b"{}")),
    ("SignedEnvelope:from_json-surrogate", lambda: zp.SignedEnvelope.from_json('"\ud800"')),
    ("SignedEnvelope:from_json-arity", lambda: zp.SignedEnvelope.from_json(_FULL, s=_FULL)),
    ("SignedEnvelope:from_dict", lambda: zp.SignedEnvelope.from_dict(_dict)),
    ("SignedEnvelope:from_dict-invalid", lambda: zp.SignedEnvelope.from_dict({**_dict, "exchange_id": None})),
    # Refused by the direct read after every other member was read into the record it then drops.
    ("SignedEnvelope:from_dict-late", lambda: zp.SignedEnvelope.from_dict({**_dict, "counterparty_identifier": 1})),
    ("SignedEnvelope:from_dict-surrogate", lambda: zp.SignedEnvelope.from_dict({**_dict, "x": [{"y": 1.5}],
                                                                                "protocol_hint": "\ud800"})),
    ("SignedEnvelope:from_dict-datetime", lambda: zp.SignedEnvelope.from_dict({**_dict, "x": datetime.date.min})),
    ("SignedEnvelope:from_dict-list", lambda: zp.SignedEnvelope.from_dict([])),
    ("SignedEnvelope:from_dict-keyword", lambda: zp.SignedEnvelope.from_dict(dict=_dict)),
    ("SignedEnvelope:members", lambda: (_envelope_members(_full), _envelope_members(_minimal), _minimal.closed_at)),
    ("SignedEnvelope:leap-second", _leap_second_ignored),
    ("SignedEnvelope:leap-second-error", _leap_second_as_error),
    ("SignedEnvelope:year-zero", lambda: _year_zero.opened_at),
    ("SignedEnvelope:unhashable", lambda: hash(_full)),
    ("SignedEnvelope:pickle", travels(_full, (b'"inbound"', b'"inbounD"'))),
    ("SignedEnvelope:pickle-minimal", travels(_minimal)),
    ("CounterpartyInfo:new", lambda: zp.CounterpartyInfo("id", "quic", peer_address="p", counterparty_signature=None)),
    ("CounterpartyInfo:new-type", lambda: zp.CounterpartyInfo("id", "quic", None, 5)),
    ("CounterpartyInfo:new-missing", lambda: zp.CounterpartyInfo(protocol_hint="quic")),
    ("CounterpartyInfo:new-keyword", lambda: zp.CounterpartyInfo("id", "quic", hint="x")),
    ("CounterpartyInfo:new-surrogate", lambda: zp.CounterpartyInfo("id", "\udfff")),
    ("CounterpartyInfo:members", lambda: (_info.to_dict(), repr(_info), _info == _info, _info != 1, _info.identifier,
                                          _info.protocol_hint, _info.peer_address, _info.counterparty_signature)),
    ("CounterpartyInfo:unhashable", lambda: hash(_info)),
    ("CounterpartyInfo:pickle", travels(_info)),
    ("CounterpartyInfo:pickle-minimal", travels(zp.CounterpartyInfo("a", "b"))),
]
