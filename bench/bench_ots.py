"""OpenTimestamps proofs read and checked against Bitcoin headers, against the `opentimestamps`
package (pure Python; its headers read by python-bitcoinlib), on the same proof and headers.

The proof is shaped as the public calendars' are: the root, its nonce, then ten branches, each a
calendar's own Merkle path (ten levels), the calendar's transaction around its commitment and
the path through a block of 4096 transactions to a Bitcoin attestation. Each block's header is
mined at regtest difficulty, so both sides check it with regtest's proof-of-work limit."""
import gc
import os
import pathlib
import random
import sys
import tracemalloc

import bitcoin
from bitcoin.core import CBlockHeader, CheckProofOfWork
from opentimestamps.core.notary import BitcoinBlockHeaderAttestation
from opentimestamps.core.serialize import BytesDeserializationContext, BytesSerializationContext
from opentimestamps.core.timestamp import DetachedTimestampFile

from _timing import interleaved, report

import zun_protocol as zp

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "examples"))
from local_calendar import (  # noqa: E402
    APPEND, PREPEND, SHA256, bitcoin as bitcoin_attestation, double_sha256, merkle_path, mine, node, op, ots_file,
    sha256)

ATTESTATIONS = 10
BLOCK_TRANSACTIONS = 4096
# Parsed copies whose resident size is measured: enough for the size per proof to stand above
# the allocator's noise.
COPIES = 20_000


def branch(rng, message, height):
    """Operations from `message` to a Bitcoin attestation, and the header that confirms it."""
    ops = op(APPEND, rng.randbytes(16)) + op(SHA256)
    message = sha256(message + ops[2:18])
    for _ in range(10):
        sibling = rng.randbytes(32)
        if rng.random() < 0.5:
            ops += op(APPEND, sibling) + op(SHA256)
            message = sha256(message + sibling)
        else:
            ops += op(PREPEND, sibling) + op(SHA256)
            message = sha256(sibling + message)
    prefix, suffix = rng.randbytes(60), rng.randbytes(30)
    ops += op(PREPEND, prefix) + op(APPEND, suffix) + op(SHA256) + op(SHA256)
    txid = double_sha256(prefix + message + suffix)
    txids = [rng.randbytes(32) for _ in range(BLOCK_TRANSACTIONS)]
    index = rng.randrange(BLOCK_TRANSACTIONS)
    txids[index] = txid
    root, path = merkle_path(txids, index)
    return ops + path + bitcoin_attestation(height), mine(root, time=1_700_000_000 + 600 * height)


def ten_attestation_proof():
    rng = random.Random(25)
    root, nonce = rng.randbytes(32), rng.randbytes(16)
    commitment = sha256(root + nonce)
    branches, headers = [], {}
    for i in range(ATTESTATIONS):
        height = 800_000 + i
        ops, headers[height] = branch(rng, commitment, height)
        branches.append(ops)
    # In canonical order, as a client writes it (the peer's own writing is checked to agree).
    data = zp.OtsProof.from_bytes(ots_file(root, op(APPEND, nonce) + op(SHA256) + node(*branches))).to_bytes()
    return data, headers


def peer_check(data, headers):
    """Deserialize, then each Bitcoin attestation against its header: the merkle root and the
    header's own proof of work."""
    detached = DetachedTimestampFile.deserialize(BytesDeserializationContext(data))
    earliest = None
    for message, attestation in detached.timestamp.all_attestations():
        if isinstance(attestation, BitcoinBlockHeaderAttestation):
            header = CBlockHeader.deserialize(headers[attestation.height])
            CheckProofOfWork(header.GetHash(), header.nBits)
            time = attestation.verify_against_blockheader(message, header)
            earliest = min(earliest or (attestation.height, time), (attestation.height, time))
    return earliest


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory_per_proof(data):
    """The resident size that parsed copies of the proof add, per copy."""
    gc.collect()
    before = resident_bytes()
    copies = [zp.OtsProof.from_bytes(data) for _ in range(COPIES)]
    grown = resident_bytes() - before
    del copies
    return grown / COPIES


def peer_memory(data):
    """What the peer's parsed proof holds, its Python objects traced."""
    gc.collect()
    tracemalloc.start()
    try:
        detached = DetachedTimestampFile.deserialize(BytesDeserializationContext(data))
        size = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    del detached
    return size


def run():
    bitcoin.SelectParams("regtest")
    data, headers = ten_attestation_proof()
    ours = zp.OtsProof.from_bytes(data)
    assert ours.to_bytes() == data and len(ours.attestations) == ATTESTATIONS
    confirmed = ours.verify(headers, chain="regtest")
    assert confirmed is not None and (confirmed[0], int(confirmed[1].timestamp())) == peer_check(data, headers)
    serialized = BytesSerializationContext()
    DetachedTimestampFile.deserialize(BytesDeserializationContext(data)).serialize(serialized)
    assert serialized.getbytes() == data  # the same canonical form

    from_bytes = zp.OtsProof.from_bytes
    t = interleaved({
        "both": lambda: from_bytes(data).verify(headers, chain="regtest"),
        "both peer": lambda: peer_check(data, headers),
        "parse": lambda: from_bytes(data),
        "parse peer": lambda: DetachedTimestampFile.deserialize(BytesDeserializationContext(data)),
    })
    per_proof = memory_per_proof(data)
    rows = [
        (f"OtsProof.from_bytes + verify, {ATTESTATIONS} attestations ({len(data):,} B)", t["both"], t["both peer"],
         "opentimestamps deserialize + header checks", 0.2),
        ("OtsProof.from_bytes", t["parse"], t["parse peer"], "opentimestamps DetachedTimestampFile.deserialize", None),
        ("memory of a parsed proof", per_proof, 3 * len(data), "3 × its .ots size", 1.0, "bytes"),
        ("memory of a parsed proof", per_proof, peer_memory(data), "opentimestamps' parsed proof", None, "bytes"),
    ]
    return report([row[:5] for row in rows], "OtsProof (ours / opentimestamps, lower is better)") and rows


if __name__ == "__main__":
    run()
