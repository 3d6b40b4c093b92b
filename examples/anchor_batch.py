"""A batch of spilled envelopes anchored with a time-stamping authority, and checked later offline.

1. envelopes that could not be emitted are spilled to the queue;
2. the batch is written out, and its Merkle tree built over the envelopes' canonical JSON;
3. the root goes to the TSA in a time-stamp request, and its answer, verified in full, becomes
   the receipt persisted beside the batch;
4. later, from the files alone: the receipt gives a proof (the TSA's time for the root), and one
   envelope's inclusion proof is checked against the root the TSA signed.

The TSA is a local one made with the `openssl` command (examples/local_tsa.py). A real one is
reached by POSTing `request.to_der()` with `Content-Type: application/timestamp-query` instead
(docs/howto/anchoring.md).
"""
import base64
import pathlib
import tempfile

import zun_protocol as zp
from local_tsa import LocalTsa


def envelope(n):
    return zp.SignedEnvelope.from_dict({
        "exchange_id": f"0190f5a2-7b1c-7cc3-9e55-2b6f0a1d3c{n:02x}",
        "peer_self": {"class": "body", "type": "peer", "ref": "21fe31dfa154a261626bf854046fd227"},
        "direction": "outbound",
        "request_hash": f"{n:02x}" * 32,
        "our_signature": "",
        "opened_at": f"2026-04-15T09:00:{n:02d}Z",
        "protocol_hint": "https",
        "counterparty_identifier": "https://api.stripe.com/v1/charges",
    })


with tempfile.TemporaryDirectory() as home:
    home = pathlib.Path(home)
    tsa = LocalTsa(home / "tsa")
    anchor = zp.TsaAnchor("local-tsa", tsa.root_pem, intermediates=tsa.intermediate_pem,
                          signer_common_name="Local TSA")
    print("anchor:", anchor)

    # 1. Spill.
    queue = zp.EnvelopeQueue(str(home / "envelope-queue"))
    for n in range(5):
        queue.push(zp.classify_exchange("https", "https://api.stripe.com/v1/charges"), envelope(n))

    # 2. The batch, written out in queue order, and its tree.
    batch_dir = home / "batch-0001"
    batch_dir.mkdir()
    batch = [item.envelope for item in queue.list()]
    (batch_dir / "envelopes.jsonl").write_text("".join(e.to_json() + "\n" for e in batch))
    tree = zp.MerkleTree.of_envelopes(batch)
    print("batch tree:", tree)

    # 3. Time-stamp the root: the request's bytes go to the TSA, its answer comes back.
    request = anchor.request(tree.root())
    print("request:", request, f"({len(request.to_der())} bytes of DER)")
    response = tsa.reply(request.to_der())  # a real TSA: an HTTP POST of request.to_der()
    receipt = anchor.receipt(request, response)
    (batch_dir / "anchor.json").write_text(receipt.to_json())
    print("receipt:", receipt, receipt.submission_ref, "at", receipt.submitted_at)
    for item in queue.list():
        queue.drop_item(item.queue_id)

    # 4. Later, offline, from the files alone.
    stored = zp.AnchorReceipt.from_json((batch_dir / "anchor.json").read_text())
    proof = anchor.verify(stored)
    print("\nproof:", proof, proof.detail)
    envelopes = [zp.SignedEnvelope.from_json(line) for line in (batch_dir / "envelopes.jsonl").read_text().splitlines()]
    third = envelopes[2]
    inclusion = zp.MerkleTree.of_envelopes(envelopes).inclusion_proof(2)
    inclusion.verify(third.to_json().encode(), bytes.fromhex(stored.merkle_root_hex))
    print(f"{third.exchange_id} is in the batch the TSA saw at {proof.authoritative_time}")
    token = zp.TimestampToken.from_der(base64.b64decode(stored.proof_b64))
    print("token:", token, "signed by", token.tsa_name)
