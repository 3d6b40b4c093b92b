"""The typical road of a Python back end, end to end.

1. receive an envelope's canonical JSON and parse it;
2. verify its signature against the signer's descriptor, over the canonical signing bytes;
3. classify the exchange;
4. spill it when it cannot be emitted;
5. walk the queue, re-emit and drop;
6. anchor the batch: the Merkle root of the spilled envelopes goes to an anchor, the receipt is
   persisted, read back and verified, and one envelope's inclusion proof is checked against the
   receipt's root.
"""
import base64
import hashlib
import json
import pathlib
import tempfile

import zun_protocol as zp

# The signing program's side, played here by a software identity: it mints a
# descriptor once, publishes it, and signs each envelope's canonical bytes.
signer = zp.SoftwareIdentity.from_seed(hashlib.sha256(b"quickstart signer").digest())
descriptor_json = signer.descriptor().to_json()
print("signer descriptor:", descriptor_json)
print("published at:     ", signer.descriptor().address())


def signed_envelope_json(exchange_id, request_hash, response_hash):
    """The JSON the signing program would emit for one exchange."""
    unsigned = {
        "exchange_id": exchange_id,
        "peer_self": {"class": "body", "type": "peer", "ref": signer.fingerprint},
        "peer_counterparty": {"class": "body", "type": "peer", "ref": "7f3a9c0e5b1d2a4f6e8c0b1a3d5f7e9c"},
        "direction": "outbound",
        "request_hash": request_hash,
        "response_hash": response_hash,
        "our_signature": "",
        "opened_at": "2026-04-15T09:00:00.250Z",
        "closed_at": "2026-04-15T09:00:01.125Z",
        "protocol_hint": "quic",
        "counterparty_identifier": "https://api.stripe.com/v1/charges",
    }
    signing_bytes = zp.SignedEnvelope.from_dict(unsigned).canonical_signing_bytes()
    unsigned["our_signature"] = base64.b64encode(signer.sign(signing_bytes)).decode()
    return json.dumps(unsigned)


# 1. Receive and parse.
wire = signed_envelope_json("0190f5a2-7b1c-7cc3-9e55-2b6f0a1d3c4e", "a1" * 32, "b2" * 32)
envelope = zp.SignedEnvelope.from_json(wire)
print("\nenvelope:", envelope)
for field in ("exchange_id", "peer_self", "peer_counterparty", "direction", "request_hash", "response_hash",
              "our_signature", "opened_at", "closed_at", "protocol_hint", "counterparty_identifier"):
    print(f"  {field:24} {getattr(envelope, field)!r}")
print("canonical JSON:", envelope.to_json())
print("signing bytes: ", envelope.canonical_signing_bytes())

# 2. Verify against the descriptor parsed back from its published JSON.
signer_descriptor = zp.PeerIdentityDescriptor.from_json(descriptor_json)
signer_descriptor.verify(envelope.canonical_signing_bytes(), base64.b64decode(envelope.our_signature))
print("signature verified with", signer_descriptor)
try:
    signer_descriptor.verify(b"something else", base64.b64decode(envelope.our_signature))
except ValueError as error:
    print("a forged payload is refused:", error)

# 3. Classify.
pair_class = zp.classify_exchange(envelope.protocol_hint, envelope.counterparty_identifier)
print("\npair class:", pair_class)

# 4. Spill what cannot be emitted; 5. list, re-emit, drop.
with tempfile.TemporaryDirectory() as home:
    queue = zp.EnvelopeQueue(str(pathlib.Path(home) / "envelope-queue"))
    queue.push(pair_class, envelope)
    queue.push("routing", zp.SignedEnvelope.from_json(signed_envelope_json("0190f5a2-7b1c-7cc3-9e55-2b6f0a1d3c4f",
                                                                            "c3" * 32, None)))
    items = queue.list()
    print("\nspilled:", items)
    for item in items:
        print("  re-emitting", item.envelope, "as", item.pair_class)
        queue.drop_item(item.queue_id)
    print("after dropping:", queue.list())

    # 6. Anchor the batch. Its leaves are the envelopes' canonical JSON, in order, so that anyone
    # holding the envelopes can rebuild the root.
    batch = [item.envelope for item in items]
    tree = zp.MerkleTree.of_envelopes(batch)
    print("\nbatch tree:", tree)
    anchor = zp.MockAnchor("quickstart")
    receipt_path = pathlib.Path(home) / "batch.receipt.json"
    receipt_path.write_text(anchor.submit(tree.root()).to_json())
    receipt = zp.AnchorReceipt.from_json(receipt_path.read_text())
    print("receipt:", receipt)
    proof = anchor.verify(receipt)
    print("proof:  ", proof, proof.to_dict())
    try:
        anchor.submit(tree.root())
    except ValueError as error:
        print("a second submission is refused:", error)

    # Each envelope keeps its inclusion proof; with the receipt it shows the envelope is in the batch.
    inclusion_json = tree.inclusion_proof(1).to_json()
    print("\ninclusion proof of", batch[1].exchange_id, inclusion_json)
    inclusion = zp.InclusionProof.from_json(inclusion_json)
    anchored_root = bytes.fromhex(receipt.merkle_root_hex)
    inclusion.verify(batch[1].to_json().encode(), anchored_root)
    print("verified against the receipt's root", receipt.merkle_root_hex)
    tampered = zp.SignedEnvelope.from_dict({**batch[1].to_dict(), "request_hash": "ff" * 32})
    try:
        inclusion.verify(tampered.to_json().encode(), anchored_root)
    except ValueError as error:
        print("an altered envelope is refused:", error)
