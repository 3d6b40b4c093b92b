"""Signing, verification, descriptor parsing and fingerprints against PyNaCl and `cryptography`."""
import hashlib

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey, Ed25519PublicKey
from nacl.exceptions import BadSignatureError
from nacl.signing import SigningKey

from _timing import interleaved, report

import zun_protocol as zp

SEED = bytes(range(32))
PAYLOAD = bytes(range(100))
# A canonical envelope of typical size, for the per-byte comparison of the readers.
ENVELOPE = ('{"exchange_id":"3f2b8c1e-9a4d-4e6f-8b7a-1c2d3e4f5a6b",'
            '"peer_self":{"class":"body","type":"peer","ref":"21fe31dfa154a261626bf854046fd227"},'
            '"peer_counterparty":{"class":"route","type":"dns","ref":"api.example.com"},"direction":"outbound",'
            '"request_hash":"9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08",'
            '"response_hash":"60303ae22b998861bce3b28f33eec1be758a213c86c93c076dbe9f558c11c752",'
            '"our_signature":"5Vi2C2N/4yvpA6r2lA1YbKA8aV7GmVj0qU4p3FbIyp1x7bM0k0c3cQ9eXrZUu6pC",'
            '"opened_at":"2026-04-15T09:00:00.500Z","closed_at":"2026-04-15T09:00:01.000001Z",'
            '"protocol_hint":"https","counterparty_identifier":"api.example.com"}')


def _refusing(verify, *exceptions):
    """A call of `verify` that is expected to raise one of `exceptions`."""
    def call():
        try:
            verify()
        except exceptions:
            return
        raise AssertionError("the bad signature was accepted")
    return call


def run():
    ours = zp.SoftwareIdentity.from_seed(SEED)
    descriptor = ours.descriptor()
    parsed = zp.PeerIdentityDescriptor.from_json(descriptor.to_json())  # verifies without the minted key
    nacl_key = SigningKey(SEED)
    nacl_verify = nacl_key.verify_key
    ossl_key = Ed25519PrivateKey.from_private_bytes(SEED)
    ossl_public = ossl_key.public_key()

    signature = ours.sign(PAYLOAD)
    assert signature == nacl_key.sign(PAYLOAD).signature == ossl_key.sign(PAYLOAD)
    bad = signature[:-1] + bytes([signature[-1] ^ 1])
    public = nacl_verify.encode()

    fingerprint_of = zp.PeerIdentityDescriptor.fingerprint_of
    assert fingerprint_of(public) == hashlib.sha256(public).hexdigest()[:32]
    from_public_bytes = Ed25519PublicKey.from_public_bytes
    sha256 = hashlib.sha256

    def peer_fingerprint():
        from_public_bytes(public)
        return sha256(public).hexdigest()[:32]

    text = descriptor.to_json()
    # A hardware identity's descriptor, near the envelope in size, so that the
    # fixed cost of a call weighs alike on both sides of the per-byte ratio.
    hardware = zp.PeerIdentityDescriptor.from_dict({
        **descriptor.to_dict(), "surface": "secure_element",
        "attestation": {"certs_b64": ["MIIB" + "A" * 200, "MIIC" + "B" * 200], "vendor": "apple"},
        "superseded_by": {"class": "body", "type": "peer", "ref": "21fe31dfa154a261626bf854046fd227"},
    }).to_json()
    from_json = zp.PeerIdentityDescriptor.from_json
    envelope_from_json = zp.SignedEnvelope.from_json

    t = interleaved({
        "sign": lambda: ours.sign(PAYLOAD),
        "sign PyNaCl": lambda: nacl_key.sign(PAYLOAD),
        "sign cryptography": lambda: ossl_key.sign(PAYLOAD),
        "verify minted": lambda: descriptor.verify(PAYLOAD, signature),
        "verify parsed": lambda: parsed.verify(PAYLOAD, signature),
        "verify PyNaCl": lambda: nacl_verify.verify(PAYLOAD, signature),
        "verify cryptography": lambda: ossl_public.verify(signature, PAYLOAD),
        "refuse": _refusing(lambda: parsed.verify(PAYLOAD, bad), ValueError),
        "refuse PyNaCl": _refusing(lambda: nacl_verify.verify(PAYLOAD, bad), BadSignatureError),
        "refuse cryptography": _refusing(lambda: ossl_public.verify(bad, PAYLOAD), InvalidSignature),
        "from_json": lambda: from_json(text),
        "from_json hardware": lambda: from_json(hardware),
        "envelope from_json": lambda: envelope_from_json(ENVELOPE),
        "fingerprint_of": lambda: fingerprint_of(public),
        "fingerprint peer": peer_fingerprint,
    })

    def fastest(op):
        nacl_time, ossl_time = t[op + " PyNaCl"], t[op + " cryptography"]
        return (nacl_time, "PyNaCl") if nacl_time <= ossl_time else (ossl_time, "cryptography")

    rows = [
        ("SoftwareIdentity.sign (100 B)", t["sign"], *fastest("sign"), 1.0),
        ("verify, valid (minted descriptor)", t["verify minted"], *fastest("verify"), 1.0),
        ("verify, valid (parsed descriptor)", t["verify parsed"], *fastest("verify"), 1.0),
        ("verify, invalid signature", t["refuse"], *fastest("refuse"), 1.5),
        (f"from_json per 100 B, minted ({len(text)} B)", t["from_json"] * 100 / len(text),
         t["envelope from_json"] * 100 / len(ENVELOPE), f"SignedEnvelope.from_json ({len(ENVELOPE)} B)", 1.0),
        (f"from_json per 100 B, hardware ({len(hardware)} B)", t["from_json hardware"] * 100 / len(hardware),
         t["envelope from_json"] * 100 / len(ENVELOPE), f"SignedEnvelope.from_json ({len(ENVELOPE)} B)", 1.0),
        ("fingerprint_of", t["fingerprint_of"], t["fingerprint peer"], "sha256 hexdigest + from_public_bytes", 1.5),
    ]
    return report(rows, "Identity (ours / fastest peer, lower is better)")


if __name__ == "__main__":
    run()
