"""Every class used the way a typed caller would, checked twice.

`mypy --strict` reads it against the shipped stub: `assert_type` pins the static types the stub
promises, and each `# type: ignore[...]` marks a misuse the stub must refuse (strict mode reports
an ignore that is no longer needed, so a stub grown too loose fails the check). Run as a script,
the same lines check that the values the module returns have the promised runtime types.
"""
import base64
import datetime
import hashlib
import pathlib
import sys
import tempfile
from collections.abc import Callable
from typing import TYPE_CHECKING, Any, Literal

from typing_extensions import assert_type

import zun_protocol as zp

if TYPE_CHECKING:
    from zun_protocol import _AddressClass, _AnchorKind, _Direction, _IdentitySurface, _PairClass

ENVELOPE = (
    '{"exchange_id":"0190f5a2-7b1c-7cc3-9e55-2b6f0a1d3c4e",'
    '"peer_self":{"class":"body","type":"peer","ref":"p1"},'
    '"peer_counterparty":{"class":"route","type":"dns","ref":"api.example.com"},'
    '"direction":"outbound","request_hash":"h1","response_hash":"h2","our_signature":"s1",'
    '"opened_at":"2026-04-15T09:00:00.250Z","closed_at":"2026-04-15T09:00:01Z",'
    '"protocol_hint":"quic","counterparty_identifier":"https://api.stripe.com/v1/charges"}'
)


def refused(call: Callable[[], object], error: type[BaseException]) -> None:
    try:
        call()
    except error:
        return
    raise AssertionError(f"expected {error.__name__}")


def addresses() -> zp.ProtocolAddress:
    address = zp.ProtocolAddress("body", "peer", "abc")
    parsed = zp.ProtocolAddress.parse("kiv://body/peer/abc")
    assert_type(parsed, zp.ProtocolAddress)
    klass: _AddressClass = parsed.address_class
    assert klass == "body" and parsed.type == "peer" and parsed.ref == "abc"
    assert address == parsed and len({address, parsed}) == 1
    uri: str = address.to_uri()
    as_dict: dict[str, str] = address.to_dict()
    assert str(address) == uri and list(as_dict) == ["class", "type", "ref"]
    assert hash(address) == -2273912411627669310
    refused(lambda: zp.ProtocolAddress.parse(b"kiv://body/peer/abc"), TypeError)  # type: ignore[arg-type]
    refused(lambda: zp.ProtocolAddress(address_class="body", type_="peer"), TypeError)  # type: ignore[call-arg]
    return address


def envelopes() -> zp.SignedEnvelope:
    envelope = zp.SignedEnvelope.from_json(ENVELOPE)
    assert envelope.to_json() == ENVELOPE
    assert zp.SignedEnvelope.from_dict(envelope.to_dict()) == envelope

    exchange_id: str = envelope.exchange_id
    direction: _Direction = envelope.direction
    peer_self: zp.ProtocolAddress = envelope.peer_self
    counterparty = envelope.peer_counterparty
    assert_type(counterparty, zp.ProtocolAddress | None)
    assert counterparty is not None and counterparty.address_class == "route"
    assert_type(envelope.opened_at, datetime.datetime)
    closed = envelope.closed_at
    assert_type(closed, datetime.datetime | None)
    assert closed is not None and closed.tzinfo is datetime.timezone.utc
    assert isinstance(envelope.opened_at, datetime.datetime)
    assert (exchange_id, direction, peer_self.ref) == ("0190f5a2-7b1c-7cc3-9e55-2b6f0a1d3c4e", "outbound", "p1")
    response_hash: str | None = envelope.response_hash
    signature: str | None = envelope.counterparty_signature
    assert (response_hash, signature) == ("h2", None)
    assert (envelope.request_hash, envelope.our_signature) == ("h1", "s1")
    signing: bytes = envelope.canonical_signing_bytes()
    assert signing == b'["0190f5a2-7b1c-7cc3-9e55-2b6f0a1d3c4e","h1","h2"]'

    pair_class: _PairClass = zp.classify_exchange(envelope.protocol_hint, envelope.counterparty_identifier)
    assert pair_class == "marketplace"
    assert zp.classify_exchange(protocol_hint="dns", counterparty="") == "discovery"

    info = zp.CounterpartyInfo("peer-7", "quic", peer_address=None, counterparty_signature="sig")
    assert_type(info.peer_address, str | None)
    assert info.to_dict() == {"identifier": "peer-7", "protocol_hint": "quic",
                              "peer_address": None, "counterparty_signature": "sig"}
    assert info == zp.CounterpartyInfo(identifier="peer-7", protocol_hint="quic", counterparty_signature="sig")
    assert (info.identifier, info.protocol_hint, info.counterparty_signature) == ("peer-7", "quic", "sig")

    refused(lambda: hash(envelope), TypeError)
    refused(lambda: zp.SignedEnvelope.from_json(ENVELOPE.encode()), TypeError)  # type: ignore[arg-type]
    return envelope


def identities(envelope: zp.SignedEnvelope) -> None:
    identity = zp.SoftwareIdentity.from_seed(hashlib.sha256(b"typed usage").digest())
    assert zp.SoftwareIdentity.generate().fingerprint != identity.fingerprint
    seed: bytes = identity.secret_bytes()
    assert len(seed) == 32 and identity.surface == "software" and identity.hardware_attested is False

    descriptor = identity.descriptor()
    signature = identity.sign(envelope.canonical_signing_bytes())
    assert_type(signature, bytes)
    descriptor.verify(envelope.canonical_signing_bytes(), signature_bytes=signature)
    refused(lambda: descriptor.verify(b"other payload", signature), ValueError)

    parsed = zp.PeerIdentityDescriptor.from_json(descriptor.to_json())
    assert parsed == zp.PeerIdentityDescriptor.from_dict(descriptor.to_dict()) == descriptor
    surface: _IdentitySurface = parsed.surface
    tier: int = parsed.tier
    assert (surface, tier, parsed.hardware_attested) == ("software", 0, False)
    assert parsed.fingerprint == identity.fingerprint
    public_key = base64.b64decode(parsed.public_key_b64 + "=")
    assert zp.PeerIdentityDescriptor.fingerprint_of(public_key) == parsed.fingerprint
    assert parsed.address() == zp.ProtocolAddress("body", "peer", parsed.fingerprint)
    assert parsed.superseded_by is None and parsed.created_at.endswith("Z")

    chain = parsed.attestation
    assert chain.is_empty() and chain == zp.AttestationChain()
    hardware = zp.AttestationChain(certs_b64=("MIIB", "MIIC"), vendor="apple")
    certs: list[str] = hardware.certs_b64
    assert certs == ["MIIB", "MIIC"] and hardware.vendor == "apple" and not hardware.is_empty()
    refused(lambda: zp.AttestationChain(certs_b64=[b"MIIB"]), TypeError)  # type: ignore[list-item]


def anchors() -> None:
    anchor = zp.MockAnchor(id="local-1")
    kind: Literal["local"] = anchor.kind
    assert (anchor.id, kind, anchor.finality_seconds, anchor.cost_usd_per_submission) == ("local-1", "local", 0, 0.0)
    receipt = anchor.submit(hashlib.sha256(b"batch").digest())
    assert_type(receipt, zp.AnchorReceipt)
    stored: dict[str, str] = receipt.to_dict()
    persisted = zp.AnchorReceipt.from_json(receipt.to_json())
    assert persisted == receipt == zp.AnchorReceipt.from_dict(stored)
    anchor_kind: _AnchorKind = persisted.anchor_kind
    assert anchor_kind == "local" and persisted.anchor_id == "local-1"
    assert persisted.merkle_root_hex == hashlib.sha256(b"batch").hexdigest()
    assert persisted.submission_ref == "mock://" + persisted.merkle_root_hex[:8]
    assert persisted.submitted_at == persisted.expected_finality_at and persisted.proof_b64 == ""

    proof = anchor.verify(receipt=persisted)
    confirmed: bool = proof.confirmed
    assert confirmed and proof.detail == "mock" and proof.anchor_kind == "local"
    assert (proof.anchor_id, proof.merkle_root_hex) == ("local-1", persisted.merkle_root_hex)
    assert proof.authoritative_time == persisted.submitted_at
    as_dict: dict[str, str | bool] = proof.to_dict()
    assert zp.AnchorProof.from_dict(as_dict) == zp.AnchorProof.from_json(proof.to_json()) == proof
    refused(lambda: anchor.submit(hashlib.sha256(b"batch").digest()), ValueError)
    refused(lambda: anchor.verify(persisted.to_json()), TypeError)  # type: ignore[arg-type]


def batches(envelope: zp.SignedEnvelope) -> None:
    tree = zp.MerkleTree.of_envelopes([envelope])
    index: int = tree.append(b"second leaf")
    tree.extend(leaf for leaf in (b"third", b"fourth"))
    root = tree.root()
    assert_type(root, bytes)
    assert (index, tree.size, len(tree)) == (1, 4, 4)
    assert tree.leaf_hash(0) == zp.merkle_leaf_hash(envelope.to_json().encode())
    proof = tree.inclusion_proof(0, size=3)
    assert_type(proof, zp.InclusionProof)
    hashes: list[bytes] = proof.hashes
    proof.verify(envelope.to_json().encode(), tree.root(3))
    assert zp.InclusionProof.from_json(proof.to_json()) == zp.InclusionProof(0, 3, hashes)
    assert proof.root_from(tree.leaf_hash(0)) == tree.root(3) and (proof.leaf_index, proof.tree_size) == (0, 3)
    grown = tree.consistency_proof(old_size=3)
    grown.verify(tree.root(3), root)
    assert zp.ConsistencyProof.from_dict(grown.to_dict()) == grown and (grown.old_size, grown.new_size) == (3, 4)
    assert zp.MerkleTree.from_leaf_hashes([tree.leaf_hash(i) for i in range(4)]).root() == root
    refused(lambda: proof.verify_leaf_hash(b"short", root), ValueError)
    refused(lambda: tree.root("3"), TypeError)  # type: ignore[arg-type]


def queues(envelope: zp.SignedEnvelope) -> None:
    assert isinstance(zp.EnvelopeQueue.default().dir, str)
    with tempfile.TemporaryDirectory() as directory:
        queue = zp.EnvelopeQueue(dir=directory)
        assert queue.dir == directory and queue.list() == []
        queue.push(zp.classify_exchange("quic", ""), envelope=envelope)
        items = queue.list()
        assert_type(items, list[zp.QueuedItem])
        (item,) = items
        assert (item.queue_id, item.pair_class, item.envelope) == (envelope.exchange_id, "routing", envelope)
        queue.drop_item(queue_id=item.queue_id)
        assert queue.list() == []
        refused(lambda: zp.EnvelopeQueue(b"/tmp"), TypeError)  # type: ignore[arg-type]


def timestamps() -> None:
    data = pathlib.Path(__file__).resolve().parent / "data" / "timestamp"
    digest = hashlib.sha256(b"batch").digest()
    request = zp.TimestampRequest(digest, policy="1.2.3.4.1", certificate=False)
    nonce: int | None = request.nonce
    assert nonce is not None and request.policy == "1.2.3.4.1" and not request.certificate
    der: bytes = request.to_der()
    assert request.digest == digest and der[0] == 0x30
    refused(lambda: zp.TimestampRequest(digest, True), TypeError)  # type: ignore[call-arg]

    token = zp.TimestampToken.from_der((data / "response.tsr").read_bytes())
    assert_type(token.gen_time, datetime.datetime)
    assert_type(token.certificates, list[bytes])
    assert token.gen_time_text.endswith("Z") and token.hash_algorithm == "sha256" and token.digest == digest
    serial: int = token.serial_number
    found: int | None = token.nonce
    name: str | None = token.tsa_name
    assert serial > 0 and found is not None and name == "CN=Fixed TSA" and token.policy == "1.2.3.4.1"
    roots = (data / "root.pem").read_bytes()
    token.verify(digest, roots=roots, nonce=found, signer_common_name="Fixed TSA")
    refused(lambda: token.verify(digest, roots), TypeError)  # type: ignore[call-arg]

    anchor = zp.TsaAnchor("tsa", roots, policy="1.2.3.4.1", signer_common_name="Fixed TSA")
    kind: Literal["nist_tsa"] = anchor.kind
    assert kind == "nist_tsa" and anchor.id == "tsa"
    assert_type(anchor.request(digest), zp.TimestampRequest)
    receipt = zp.AnchorReceipt.from_dict({
        "anchor_id": "tsa", "anchor_kind": "nist_tsa", "merkle_root_hex": digest.hex(), "submission_ref": "",
        "submitted_at": "", "expected_finality_at": "", "proof_b64": base64.b64encode(token.to_der()).decode()})
    proof = anchor.verify(receipt)
    assert proof.confirmed and proof.authoritative_time == token.gen_time_text
    refused(lambda: anchor.receipt(anchor.request(digest), (data / "response.tsr").read_bytes()), ValueError)


def open_timestamps() -> None:
    data = (pathlib.Path(__file__).resolve().parent / "data" / "ots" / "proof.ots").read_bytes()
    proof = zp.OtsProof.from_bytes(data)
    assert proof.to_bytes() == data and proof.hash_algorithm == "sha256" and len(proof.digest) == 32
    kind, value, commitment = proof.attestations[0]
    assert (kind, value, len(commitment)) == ("bitcoin", 7, 32)
    found: tuple[int, datetime.datetime] | None = proof.verify({}, chain="regtest")
    assert found is None and proof.merge(proof) == proof
    refused(lambda: proof.verify([]), TypeError)  # type: ignore[arg-type]

    anchor = zp.OtsAnchor("ots", ["https://a.example"], chain="regtest")
    kind_name: Literal["open_timestamps"] = anchor.kind
    assert kind_name == "open_timestamps" and anchor.chain == "regtest" and anchor.calendars == ["https://a.example"]
    request = anchor.request(bytes(32), nonce=bytes(16))
    assert_type(request, zp.OtsRequest)
    assert zp.OtsRequest.from_bytes(request.to_bytes()) == request and len(request.commitment) == 32
    # sha256, then a pending attestation naming the calendar.
    answer = bytes.fromhex("080083dfe30d2ef90c8e1211") + b"https://a.example"
    receipt = anchor.receipt(request, {"https://a.example": answer})
    waiting: list[tuple[str, str]] = anchor.pending(receipt)
    assert waiting[0][0] == "https://a.example" and not anchor.verify(receipt, None).confirmed


def main() -> None:
    version: str = zp.__version__
    names: list[str] = zp.__all__
    assert version == "0.1.0" and names[12] == "classify_exchange"
    address = addresses()
    envelope = envelopes()
    assert envelope.peer_self != address
    identities(envelope)
    anchors()
    batches(envelope)
    queues(envelope)
    timestamps()
    open_timestamps()
    untyped: Any = envelope
    assert isinstance(untyped, zp.SignedEnvelope)
    print("typed usage ran", file=sys.stderr)


if __name__ == "__main__":
    main()
