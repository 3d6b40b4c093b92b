"""Leak workloads of the identity classes: every entry point, on success and failure paths."""
import datetime
import json

import copy
import pickle

import zun_protocol as zp

from workloads import travels

_identity = zp.SoftwareIdentity.from_seed(bytes(range(32)))
_signature = _identity.sign(b"payload")
_minted = _identity.descriptor()
_json = ('{"fingerprint":"f","public_key_b64":"' + _minted.public_key_b64 + '","surface":"secure_element",'
         '"attestation":{"certs_b64":["MIIB","MIIC"],"vendor":"acme"},"created_at":"t",'
         '"superseded_by":{"class":"body","type":"peer","ref":"r"}}')
_dict = json.loads(_json)
_parsed = zp.PeerIdentityDescriptor.from_json(_json)
_padded = zp.PeerIdentityDescriptor.from_dict({**_dict, "public_key_b64": _minted.public_key_b64 + "="})
_not_a_point = b"\x02" + bytes(31)
_chain = zp.AttestationChain(["a", "b"], "v")
_P = zp.PeerIdentityDescriptor


def _fresh_verify():
    # A descriptor's first verification decodes and checks its key.
    _P.from_json(_json).verify(b"payload", _signature)


WORKLOADS = [
    ("SoftwareIdentity:new", zp.SoftwareIdentity),
    ("SoftwareIdentity:generate", zp.SoftwareIdentity.generate),
    ("SoftwareIdentity:generate-args", lambda: zp.SoftwareIdentity.generate(1)),
    ("SoftwareIdentity:from_seed", lambda: zp.SoftwareIdentity.from_seed(seed=bytes(32))),
    ("SoftwareIdentity:from_seed-length", lambda: zp.SoftwareIdentity.from_seed(bytes(31))),
    ("SoftwareIdentity:from_seed-type", lambda: zp.SoftwareIdentity.from_seed(bytearray(32))),
    ("SoftwareIdentity:from_seed-missing", lambda: zp.SoftwareIdentity.from_seed()),
    ("SoftwareIdentity:sign", lambda: _identity.sign(b"payload")),
    ("SoftwareIdentity:sign-type", lambda: _identity.sign("payload")),
    ("SoftwareIdentity:sign-keyword", lambda: _identity.sign(data=b"")),
    ("SoftwareIdentity:descriptor", lambda: _identity.descriptor().verify(b"payload", _signature)),
    ("SoftwareIdentity:members", lambda: (_identity.secret_bytes(), repr(_identity), _identity.fingerprint,
                                          _identity.surface, _identity.hardware_attested, hash(_identity),
                                          _identity == _identity)),

    ("PeerIdentityDescriptor:new", _P),
    ("PeerIdentityDescriptor:from_json", lambda: _P.from_json(_json)),
    ("PeerIdentityDescriptor:from_json-array", lambda: _P.from_json(json.dumps(list(_dict.values())))),
    ("PeerIdentityDescriptor:from_json-short-array", lambda: _P.from_json('["f","k","software",[[],""],"t"]')),
    ("PeerIdentityDescriptor:from_json-missing", lambda: _P.from_json(_json.replace('"created_at"', '"x"'))),
    ("PeerIdentityDescriptor:from_json-surface", lambda: _P.from_json(_json.replace('"secure_element"', '"hsm"'))),
    ("PeerIdentityDescriptor:from_json-type", lambda: _P.from_json(1)),
    ("PeerIdentityDescriptor:from_json-surrogate", lambda: _P.from_json('"\ud800"')),
    ("PeerIdentityDescriptor:from_dict", lambda: _P.from_dict(_dict)),
    ("PeerIdentityDescriptor:from_dict-datetime", lambda: _P.from_dict({**_dict, "x": datetime.date.min})),
    ("PeerIdentityDescriptor:from_dict-list", lambda: _P.from_dict([])),
    ("PeerIdentityDescriptor:fingerprint_of", lambda: _P.fingerprint_of(public_key_bytes=bytes(32))),
    ("PeerIdentityDescriptor:fingerprint_of-length", lambda: _P.fingerprint_of(bytes(31))),
    ("PeerIdentityDescriptor:fingerprint_of-point", lambda: _P.fingerprint_of(_not_a_point)),
    ("PeerIdentityDescriptor:fingerprint_of-type", lambda: _P.fingerprint_of("k")),
    ("PeerIdentityDescriptor:verify", lambda: _parsed.verify(b"payload", signature_bytes=_signature)),
    ("PeerIdentityDescriptor:verify-first", _fresh_verify),
    ("PeerIdentityDescriptor:verify-bad-signature", lambda: _parsed.verify(b"other", _signature)),
    ("PeerIdentityDescriptor:verify-short", lambda: _minted.verify(b"payload", _signature[:63])),
    ("PeerIdentityDescriptor:verify-bad-key", lambda: _padded.verify(b"payload", _signature)),
    ("PeerIdentityDescriptor:verify-type", lambda: _parsed.verify(b"payload", bytearray(64))),
    ("PeerIdentityDescriptor:verify-missing", lambda: _parsed.verify(b"payload")),
    ("PeerIdentityDescriptor:members", lambda: (_parsed.to_json(), _parsed.to_dict(), _parsed.address(), repr(_parsed),
                                                _parsed == _parsed, _parsed != _minted, _parsed == 1,
                                                [getattr(_parsed, p) for p in dir(_parsed) if not p.startswith("_")
                                                 and not callable(getattr(_parsed, p))])),
    ("SoftwareIdentity:pickle", lambda: pickle.dumps([_identity])),
    ("SoftwareIdentity:copy", lambda: (copy.copy(_identity), copy.deepcopy([_identity]))),
    ("PeerIdentityDescriptor:pickle", travels(_parsed, (b'"secure_element"', b'"secure_elemenT"'))),
    ("PeerIdentityDescriptor:pickle-minted", travels(_minted)),
    ("PeerIdentityDescriptor:hash", lambda: hash(_parsed)),
    ("PeerIdentityDescriptor:order", lambda: _parsed < _parsed),

    ("AttestationChain:new", lambda: zp.AttestationChain(("a", "b"), vendor="v")),
    ("AttestationChain:new-default", zp.AttestationChain),
    ("AttestationChain:new-str", lambda: zp.AttestationChain("abc")),
    ("AttestationChain:new-int", lambda: zp.AttestationChain(1)),
    ("AttestationChain:new-item", lambda: zp.AttestationChain(["a", 1])),
    ("AttestationChain:new-generator", lambda: zp.AttestationChain(c for c in "ab")),
    ("AttestationChain:new-vendor", lambda: zp.AttestationChain([], b"v")),
    ("AttestationChain:new-keyword", lambda: zp.AttestationChain(certs=[])),
    ("AttestationChain:members", lambda: (_chain.certs_b64, _chain.vendor, _chain.is_empty(), repr(_chain),
                                          _chain == _chain, _chain != 1, _parsed.attestation)),
    ("AttestationChain:hash", lambda: hash(_chain)),
    ("AttestationChain:pickle", travels(_chain)),
]
