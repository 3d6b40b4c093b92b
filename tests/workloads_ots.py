"""Leak workloads of the OpenTimestamps classes: every entry point, on success and failure paths."""
import base64
import pathlib
import sys

import zun_protocol as zp
from workloads import travels

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "examples"))
from local_calendar import (  # noqa: E402
    APPEND, KECCAK256, SHA256, bitcoin, mine, node, op, ots_file, pending, sha256)

_DIGEST = sha256(b"batch")
_DATA = (pathlib.Path(__file__).resolve().parent / "data" / "ots" / "proof.ots").read_bytes()
_proof = zp.OtsProof.from_bytes(_DATA)
_pending = zp.OtsProof.from_bytes(ots_file(_DIGEST, node(bitcoin(7), pending("https://a.example"))))
_other = zp.OtsProof.from_bytes(ots_file(sha256(b"other"), bitcoin(1)))
_keccak = zp.OtsProof.from_bytes(ots_file(_DIGEST, op(KECCAK256) + bitcoin(1)))
_header = mine(_DIGEST, time=1_780_000_000)
_anchor = zp.OtsAnchor("ots", ["https://a.example"], chain="regtest")
_request = _anchor.request(_DIGEST, nonce=bytes(16))
_answer = op(APPEND, bytes(16)) + op(SHA256) + pending("https://a.example")
_receipt = _anchor.receipt(_request, {"https://a.example": _answer})
_commitment = sha256(sha256(_request.commitment + bytes(16)))
_upgrade = {"https://a.example": op(SHA256) + bitcoin(7)}
_upgraded = _anchor.upgrade(_receipt, _upgrade)
_headers = {7: mine(_commitment, time=1_780_000_000)}
_fields = _receipt.to_dict()
_local = zp.AnchorReceipt.from_dict({**_fields, "anchor_kind": "local"})
_bad_proof = zp.AnchorReceipt.from_dict({**_fields, "proof_b64": base64.b64encode(b"\x00" * 31).decode()})


def _unsupported(work):
    """Runs `work`, whose NotImplementedError the leak test would not expect."""
    def run():
        try:
            work()
        except NotImplementedError:
            pass
    return run


WORKLOADS = [
    ("OtsProof:new", zp.OtsProof),
    ("OtsProof:from_bytes", lambda: zp.OtsProof.from_bytes(_DATA)),
    ("OtsProof:from_bytes-rewritten", lambda: zp.OtsProof.from_bytes(ots_file(_DIGEST, node(pending("https://b"),
                                                                                            bitcoin(2))))),
    ("OtsProof:from_bytes-truncated", lambda: zp.OtsProof.from_bytes(_DATA[:-3])),
    ("OtsProof:from_bytes-type", lambda: zp.OtsProof.from_bytes(bytearray(_DATA))),
    ("OtsProof:members", lambda: (_proof.to_bytes(), repr(_proof), _proof.digest, _proof.hash_algorithm,
                                  _proof.attestations, _proof == _proof, _proof != 1)),
    ("OtsProof:attestations-keccak", _unsupported(lambda: _keccak.attestations)),
    ("OtsProof:hash", lambda: hash(_proof)),
    ("OtsProof:merge", lambda: _proof.merge(_pending)),
    ("OtsProof:merge-digest", lambda: _proof.merge(_other)),
    ("OtsProof:merge-type", lambda: _proof.merge(_DATA)),
    ("OtsProof:upgrade", lambda: _pending.upgrade(_DIGEST, op(SHA256) + bitcoin(9))),
    ("OtsProof:upgrade-missing", lambda: _pending.upgrade(bytes(32), bitcoin(9))),
    ("OtsProof:upgrade-answer", lambda: _pending.upgrade(_DIGEST, b"\xff")),
    ("OtsProof:verify", lambda: _pending.verify({7: _header}, chain="regtest")),
    ("OtsProof:verify-none", lambda: _pending.verify({})),
    ("OtsProof:verify-limit", lambda: _pending.verify({7: _header})),
    ("OtsProof:verify-short", lambda: _pending.verify({7: _header[:79]}, chain="regtest")),
    ("OtsProof:verify-wrong", lambda: _pending.verify({7: mine(bytes(32), time=0)}, chain="regtest")),
    ("OtsProof:verify-type", lambda: _pending.verify({7: "header"})),
    ("OtsProof:verify-chain", lambda: _pending.verify({}, chain="testnet")),
    ("OtsProof:travels", travels(_proof)),
    ("OtsRequest:new", zp.OtsRequest),
    ("OtsRequest:from_bytes", lambda: zp.OtsRequest.from_bytes(_request.to_bytes())),
    ("OtsRequest:from_bytes-length", lambda: zp.OtsRequest.from_bytes(b"")),
    ("OtsRequest:members", lambda: (_request.to_bytes(), repr(_request), _request.merkle_root, _request.nonce,
                                    _request.commitment, _request == _request, _request != 1)),
    ("OtsRequest:hash", lambda: hash(_request)),
    ("OtsRequest:travels", travels(_request)),
    ("OtsAnchor:new", lambda: zp.OtsAnchor("ots", ["https://a.example", "http://b:80"], chain="regtest")),
    ("OtsAnchor:new-calendar", lambda: zp.OtsAnchor("ots", ["https://a b"])),
    ("OtsAnchor:new-type", lambda: zp.OtsAnchor("ots", "https://a")),
    ("OtsAnchor:new-chain", lambda: zp.OtsAnchor("ots", [], chain="x")),
    ("OtsAnchor:request", lambda: _anchor.request(_DIGEST)),
    ("OtsAnchor:request-nonce", lambda: _anchor.request(_DIGEST, nonce=b"x")),
    ("OtsAnchor:receipt", lambda: _anchor.receipt(_request, {"https://a.example": _answer})),
    ("OtsAnchor:receipt-empty", lambda: _anchor.receipt(_request, {})),
    ("OtsAnchor:receipt-calendar", lambda: _anchor.receipt(_request, {"https://b.example": _answer})),
    ("OtsAnchor:receipt-answer", lambda: _anchor.receipt(_request, {"https://a.example": _answer[:-1]})),
    ("OtsAnchor:receipt-type", lambda: _anchor.receipt(_request, [_answer])),
    ("OtsAnchor:pending", lambda: _anchor.pending(_receipt)),
    ("OtsAnchor:pending-proof", lambda: _anchor.pending(_bad_proof)),
    ("OtsAnchor:upgrade", lambda: _anchor.upgrade(_receipt, _upgrade)),
    ("OtsAnchor:upgrade-calendar", lambda: _anchor.upgrade(_receipt, {"https://b.example": b""})),
    ("OtsAnchor:verify", lambda: _anchor.verify(_upgraded, _headers)),
    ("OtsAnchor:verify-pending", lambda: _anchor.verify(_receipt)),
    ("OtsAnchor:verify-kind", _unsupported(lambda: _anchor.verify(_local))),
    ("OtsAnchor:verify-wrong", lambda: _anchor.verify(_upgraded, {7: _header})),
    ("OtsAnchor:members", lambda: (repr(_anchor), _anchor.id, _anchor.kind, _anchor.calendars, _anchor.chain,
                                   hash(_anchor), _anchor == _anchor)),
    ("OtsAnchor:travels", travels(_anchor)),
]
