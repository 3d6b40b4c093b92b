"""Leak workloads of the Merkle classes: every entry point, on success and failure paths."""
import json

import zun_protocol as zp
from workloads import travels

_LEAVES = [b"leaf %d" % i for i in range(40)]
_tree = zp.MerkleTree(_LEAVES)
_root = _tree.root()
_inclusion = _tree.inclusion_proof(5)
_consistency = _tree.consistency_proof(7)
_envelope = zp.SignedEnvelope.from_json(
    '{"exchange_id":"e","peer_self":["body","peer","p"],"direction":"inbound","request_hash":"h",'
    '"our_signature":"s","opened_at":"2026-04-15T09:00:00Z","protocol_hint":"quic","counterparty_identifier":"c"}')
_big = bytes(20_000)  # hashed without the interpreter lock


def _failing_leaves():
    yield b"a"
    raise ValueError("stops")


WORKLOADS = [
    ("merkle_leaf_hash:call", lambda: zp.merkle_leaf_hash(b"x")),
    ("merkle_leaf_hash:large", lambda: zp.merkle_leaf_hash(_big)),
    ("merkle_leaf_hash:type", lambda: zp.merkle_leaf_hash(bytearray(1))),
    ("MerkleTree:new", lambda: zp.MerkleTree(_LEAVES)),
    ("MerkleTree:new-generator", lambda: zp.MerkleTree(x for x in _LEAVES * 10)),
    ("MerkleTree:new-bad-item", lambda: zp.MerkleTree([b"a", "b"])),
    ("MerkleTree:new-raising", lambda: zp.MerkleTree(_failing_leaves())),
    ("MerkleTree:new-bytes", lambda: zp.MerkleTree(b"ab")),
    ("MerkleTree:from_leaf_hashes", lambda: zp.MerkleTree.from_leaf_hashes([_root] * 30)),
    ("MerkleTree:from_leaf_hashes-length", lambda: zp.MerkleTree.from_leaf_hashes([_root, b"x"])),
    ("MerkleTree:of_envelopes", lambda: zp.MerkleTree.of_envelopes([_envelope] * 20)),
    ("MerkleTree:of_envelopes-type", lambda: zp.MerkleTree.of_envelopes([_root])),
    ("MerkleTree:grow", lambda: (zp.MerkleTree().append(_big), zp.MerkleTree().extend(_LEAVES))),
    ("MerkleTree:members", lambda: (_tree.leaf_hash(3), _tree.root(), _tree.root(size=17), len(_tree), _tree.size,
                                    repr(_tree), _tree.inclusion_proof(3, 20), _tree.consistency_proof(1, 39),
                                    hash(_tree), _tree == _tree)),
    ("MerkleTree:out-of-range", lambda: _tree.inclusion_proof(40)),
    ("MerkleTree:old-size", lambda: _tree.consistency_proof(0)),
    ("MerkleTree:index-type", lambda: _tree.leaf_hash("1")),
    ("MerkleTree:keyword", lambda: _tree.root(count=1)),
]

for _proof, _args in ((_inclusion, (5, 40)), (_consistency, (7, 40))):
    _cls = type(_proof)
    _name = _cls.__name__
    _json = _proof.to_json()
    WORKLOADS += [
        (f"{_name}:new", lambda c=_cls, a=_args, p=_proof: c(*a, p.hashes)),
        (f"{_name}:new-length", lambda c=_cls, a=_args: c(*a, [b"short"])),
        (f"{_name}:new-negative", lambda c=_cls: c(-1, 1, [])),
        (f"{_name}:new-set", lambda c=_cls, a=_args: c(*a, {_root})),
        (f"{_name}:from_json", lambda c=_cls, j=_json: c.from_json(j)),
        (f"{_name}:from_json-hash", lambda c=_cls, j=_json: c.from_json(j.replace('"', '"g', 6))),
        (f"{_name}:from_json-number", lambda c=_cls, j=_json: c.from_json(j.replace(":", ":-", 1))),
        (f"{_name}:from_dict", lambda c=_cls, p=_proof: c.from_dict(p.to_dict())),
        (f"{_name}:from_dict-array", lambda c=_cls, p=_proof: c.from_json(json.dumps(list(p.to_dict().values())))),
        (f"{_name}:members", lambda p=_proof: (p.to_json(), p.to_dict(), repr(p), p == p, p != 1, p.hashes,
                                               [getattr(p, n) for n in dir(p) if n.endswith(("_size", "_index"))])),
        (f"{_name}:hash", lambda p=_proof: hash(p)),
    ]

WORKLOADS += [
    ("InclusionProof:verify", lambda: _inclusion.verify(_LEAVES[5], _root)),
    ("InclusionProof:verify-wrong", lambda: _inclusion.verify(_LEAVES[4], _root)),
    ("InclusionProof:verify-large", lambda: _inclusion.verify(_big, _root)),
    ("InclusionProof:verify_leaf_hash", lambda: _inclusion.verify_leaf_hash(_tree.leaf_hash(5), root=_root)),
    ("InclusionProof:root_from-length", lambda: _inclusion.root_from(b"short")),
    ("InclusionProof:too-many", lambda: zp.InclusionProof(0, 1, [_root] * 100).root_from(_root)),
    ("ConsistencyProof:verify", lambda: _consistency.verify(_tree.root(7), _root)),
    ("ConsistencyProof:verify-wrong", lambda: _consistency.verify(_root, _root)),
    ("ConsistencyProof:verify-type", lambda: _consistency.verify(_root, _root.hex())),
]
WORKLOADS += [
    ("MerkleTree:travels", travels(_tree)),
    ("InclusionProof:travels", travels(_inclusion, (b'"tree_size":40', b'"tree_size":4x'))),
    ("ConsistencyProof:travels", travels(_consistency, (b'"new_size":40', b'"new_size":4x'))),
]
