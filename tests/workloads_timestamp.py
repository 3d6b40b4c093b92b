"""Leak workloads of the time-stamp classes: every entry point, on success and failure paths.

A verification costs about half a millisecond, so the workloads that verify carry `rounds`, a
lower count that the leak test scales its limits to."""
import base64
import hashlib
import pathlib

import zun_protocol as zp
from workloads import travels

_DATA = pathlib.Path(__file__).resolve().parent / "data" / "timestamp"
_DIGEST = hashlib.sha256(b"batch").digest()
_ROOTS = (_DATA / "root.pem").read_bytes()
_RESPONSE = (_DATA / "response.tsr").read_bytes()
_REJECTION = (_DATA / "rejection.tsr").read_bytes()
_token = zp.TimestampToken.from_der(_RESPONSE)
_request = zp.TimestampRequest(_DIGEST, nonce=False)
_anchor = zp.TsaAnchor("tsa", _ROOTS, intermediates=(_DATA / "intermediate.pem").read_bytes(),
                       signer_common_name="Fixed TSA")
_receipt = _anchor.receipt(_request, _RESPONSE)
_receipt_dict = _receipt.to_dict()


def _receipt_with(**fields):
    return zp.AnchorReceipt.from_dict({**_receipt_dict, **fields})


_local, _bad_root = _receipt_with(anchor_kind="local"), _receipt_with(merkle_root_hex="0" * 63 + "g")
_bad_base64, _not_token = _receipt_with(proof_b64="A==="), _receipt_with(proof_b64=base64.b64encode(b"x").decode())


def _costly(work, rounds=1000):
    work.rounds = rounds
    return work


def _unsupported(work):
    """Runs `work`, whose NotImplementedError the leak test would not expect."""
    def run():
        try:
            work()
        except NotImplementedError:
            pass
    return run


WORKLOADS = [
    ("TimestampRequest:new", lambda: zp.TimestampRequest(_DIGEST)),
    ("TimestampRequest:new-options", lambda: zp.TimestampRequest(_DIGEST, nonce=False, policy="1.2.3", certificate=False)),
    ("TimestampRequest:new-length", lambda: zp.TimestampRequest(_DIGEST[1:])),
    ("TimestampRequest:new-policy", lambda: zp.TimestampRequest(_DIGEST, policy="1.02")),
    ("TimestampRequest:new-type", lambda: zp.TimestampRequest(_DIGEST, nonce=1)),
    ("TimestampRequest:new-positional", lambda: zp.TimestampRequest(_DIGEST, True)),
    ("TimestampRequest:members", lambda: (_request.to_der(), repr(_request), _request.digest, _request.nonce,
                                          _request.policy, _request.certificate, _request == _request, _request != 1)),
    ("TimestampRequest:hash", lambda: hash(_request)),
    ("TimestampToken:new", zp.TimestampToken),
    ("TimestampToken:from_der", lambda: zp.TimestampToken.from_der(_RESPONSE)),
    ("TimestampToken:from_der-token", lambda: zp.TimestampToken.from_der(_token.to_der())),
    ("TimestampToken:from_der-rejection", lambda: zp.TimestampToken.from_der(_REJECTION)),
    ("TimestampToken:from_der-truncated", lambda: zp.TimestampToken.from_der(_RESPONSE[:-9])),
    ("TimestampToken:from_der-type", lambda: zp.TimestampToken.from_der(bytearray(_RESPONSE))),
    ("TimestampToken:members", lambda: (_token.to_der(), repr(_token), _token.gen_time, _token.gen_time_text,
                                        _token.serial_number, _token.policy, _token.hash_algorithm, _token.digest,
                                        _token.nonce, _token.tsa_name, _token.certificates, _token == _token)),
    ("TimestampToken:hash", lambda: hash(_token)),
    ("TimestampToken:verify", _costly(lambda: _token.verify(_DIGEST, roots=_ROOTS, nonce=_token.nonce,
                                                            policy="1.2.3.4.1", signer_common_name="Fixed TSA"))),
    ("TimestampToken:verify-nonce", _costly(lambda: _token.verify(_DIGEST, roots=_ROOTS, nonce=-1))),
    ("TimestampToken:verify-root", _costly(lambda: _token.verify(_DIGEST, roots=_token.certificates[0]))),
    ("TimestampToken:verify-roots", lambda: _token.verify(_DIGEST, roots=b"-----BEGIN CERTIFICATE-----\n")),
    ("TimestampToken:verify-missing", lambda: _token.verify(_DIGEST)),
    ("TimestampToken:verify-type", lambda: _token.verify(_DIGEST, roots=_ROOTS, nonce="1")),
    ("TsaAnchor:new", lambda: zp.TsaAnchor("tsa", _ROOTS, tsa_certificate=_token.certificates[0], policy="1.2")),
    ("TsaAnchor:new-roots", lambda: zp.TsaAnchor("tsa", b"junk")),
    ("TsaAnchor:new-policy", lambda: zp.TsaAnchor("tsa", _ROOTS, policy="x")),
    ("TsaAnchor:request", lambda: _anchor.request(_DIGEST)),
    ("TsaAnchor:request-length", lambda: _anchor.request(b"")),
    ("TsaAnchor:receipt", _costly(lambda: _anchor.receipt(_request, _RESPONSE))),
    ("TsaAnchor:receipt-nonce", _costly(lambda: _anchor.receipt(zp.TimestampRequest(_DIGEST), _RESPONSE))),
    ("TsaAnchor:receipt-rejection", lambda: _anchor.receipt(_request, _REJECTION)),
    ("TsaAnchor:receipt-type", lambda: _anchor.receipt(_receipt, _RESPONSE)),
    ("TsaAnchor:verify", _costly(lambda: _anchor.verify(receipt=_receipt))),
    ("TsaAnchor:verify-kind", _unsupported(lambda: _anchor.verify(_local))),
    ("TsaAnchor:verify-root", lambda: _anchor.verify(_bad_root)),
    ("TsaAnchor:verify-base64", lambda: _anchor.verify(_bad_base64)),
    ("TsaAnchor:verify-token", lambda: _anchor.verify(_not_token)),
    ("TsaAnchor:members", lambda: (repr(_anchor), _anchor.id, _anchor.kind, hash(_anchor), _anchor == _anchor)),
]
WORKLOADS += [
    ("TimestampRequest:from_der", lambda: zp.TimestampRequest.from_der(_request.to_der())),
    ("TimestampRequest:from_der-junk", lambda: zp.TimestampRequest.from_der(b"\x30\x03\x02\x01\x02")),
    ("TimestampRequest:travels", travels(_request, (b"\x02\x01\x01", b"\x02\x01\x02"))),
    ("TimestampToken:travels", travels(_token)),
    ("TsaAnchor:travels", travels(_anchor)),
]
