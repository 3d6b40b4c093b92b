"""A batch of spilled envelopes anchored in Bitcoin through OpenTimestamps calendars, and checked
later offline against a block header.

1. envelopes that could not be emitted are spilled to the queue;
2. the batch is written out, and its Merkle tree built over the envelopes' canonical JSON;
3. the root's commitment is POSTed to each calendar, and their answers become the receipt
   persisted beside the batch: pending, for now;
4. once a calendar's transaction is in a block, its upgrade is fetched with a GET and folded into
   the receipt;
5. later, from the files alone and the block's raw header: the receipt gives a confirmed proof
   (the block's time for the root), and one envelope's inclusion proof is checked against it.

The calendars are two local ones (examples/local_calendar.py) that mine their blocks at regtest
difficulty. Public calendars are reached the same way, at their https:// URLs, with
chain="mainnet" and headers from your own node (docs/howto/anchoring.md, "With OpenTimestamps").
"""
import json
import pathlib
import tempfile
import urllib.error
import urllib.request

import zun_protocol as zp
from local_calendar import LocalCalendar

ACCEPT = {"Accept": "application/vnd.opentimestamps.v1"}


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


def fetch(url, body=None):
    """The body of a 200 answer, or None for a 404 (an upgrade that is not there yet)."""
    try:
        with urllib.request.urlopen(urllib.request.Request(url, data=body, headers=ACCEPT), timeout=30) as answer:
            return answer.read()
    except urllib.error.HTTPError as failure:
        if failure.code == 404:
            failure.close()  # the answer's body, which the error holds open
            return None
        raise


with tempfile.TemporaryDirectory() as home, LocalCalendar() as alice, LocalCalendar() as bob:
    home = pathlib.Path(home)
    anchor = zp.OtsAnchor("ots", [alice.url, bob.url], chain="regtest")
    print("anchor:", anchor, anchor.calendars)

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

    # 3. Submit: the commitment (never the root itself) to every calendar.
    request = anchor.request(tree.root())
    print("request:", request)
    answers = {url: fetch(url + "/digest", request.commitment) for url in anchor.calendars}
    receipt = anchor.receipt(request, answers)
    (batch_dir / "anchor.json").write_text(receipt.to_json())
    print("receipt:", receipt, receipt.submission_ref, "at", receipt.submitted_at)
    print("now:", anchor.verify(receipt).detail)
    for item in queue.list():
        queue.drop_item(item.queue_id)

    # 4. Hours later, Alice's transaction is mined; Bob's is not yet.
    height = alice.confirm()
    stored = zp.AnchorReceipt.from_json((batch_dir / "anchor.json").read_text())
    upgrades = {}
    for calendar, url in anchor.pending(stored):
        answer = fetch(url)
        print(f"GET {url}:", "pending" if answer is None else f"{len(answer)} bytes")
        if answer is not None:
            upgrades[calendar] = answer
    stored = anchor.upgrade(stored, upgrades)
    (batch_dir / "anchor.json").write_text(stored.to_json())
    # The header of that block, as `bitcoin-cli getblockheader <hash> false` gives it.
    (batch_dir / "headers.json").write_text(json.dumps({height: alice.headers[height].hex()}))

    # 5. Later, offline, from the files alone.
    stored = zp.AnchorReceipt.from_json((batch_dir / "anchor.json").read_text())
    headers = {int(h): bytes.fromhex(raw) for h, raw in json.loads((batch_dir / "headers.json").read_text()).items()}
    proof = anchor.verify(stored, headers)
    print("\nproof:", proof, proof.detail)
    assert proof.confirmed
    envelopes = [zp.SignedEnvelope.from_json(line) for line in (batch_dir / "envelopes.jsonl").read_text().splitlines()]
    third = envelopes[2]
    inclusion = zp.MerkleTree.of_envelopes(envelopes).inclusion_proof(2)
    inclusion.verify(third.to_json().encode(), bytes.fromhex(stored.merkle_root_hex))
    print(f"{third.exchange_id} is in the batch that Bitcoin block {height} holds, mined at {proof.authoritative_time}")
