#!/usr/bin/env python3
"""Write the .ots proofs that the fuzz target starts from, fuzz/seeds-ots/, and the sample proof
of tests/data/ots/ (proof.ots, every kind but keccak256, which the pickling checks read;
ripemd160.ots and the regtest header that confirms it, which the distributable wheels verify). Each is built from the
format's bytes by examples/local_calendar.py; nothing comes from elsewhere. The output is the
same at every run.

Seeds: every operation and attestation kind; a receipt's proof as calendars answer it (pending
at two of them); the same upgraded to a Bitcoin block of three transactions; a proof out of
canonical order, with an attestation twice and an operation twice; the limits reached (256
operations deep, a 4096-byte message, a hexlify of 2048 bytes, a 1000-byte URL, an 8192-byte
payload); and a calendar's bare answer, which the target also reads as a tree.

Usage: tools/gen_ots_seeds.py
"""
import pathlib
import sys

REPO = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "examples"))

from local_calendar import (  # noqa: E402
    APPEND, ETHEREUM, HEXLIFY, KECCAK256, LITECOIN, PREPEND, REVERSE, RIPEMD160, SHA1, SHA256, attestation,
    bitcoin, merkle_path, mine, node, op, ots_file, pending, sha256, varint)
import hashlib  # noqa: E402
import json  # noqa: E402

DIGEST = sha256(b"batch")
NONCE = bytes(range(16))
COMMITMENT = sha256(DIGEST + NONCE)
OTHER_TAG = bytes.fromhex("a0a1a2a3a4a5a6a7")


def calendar_answer(url, salt):
    return op(APPEND, salt) + op(SHA256) + pending(url)


def every_kind(keccak):
    return node(
        bitcoin(7), attestation(LITECOIN, varint(300)), attestation(ETHEREUM, varint(2**64 - 1)),
        pending("https://a.example/x_y-z:1"), attestation(OTHER_TAG, b"carried"),
        op(SHA1) + bitcoin(1), op(RIPEMD160) + bitcoin(2), op(SHA256) + bitcoin(3),
        *([op(KECCAK256) + attestation(ETHEREUM, varint(9))] if keccak else []),
        op(APPEND, b"a") + bitcoin(4), op(PREPEND, b"p") + bitcoin(5), op(REVERSE) + bitcoin(6),
        op(HEXLIFY) + bitcoin(8))


def main():
    alice = calendar_answer("https://alice.example", bytes(16))
    bob = calendar_answer("https://bob.example", bytes([1] * 16))
    message = sha256(COMMITMENT + bytes(16))
    txids = [sha256(b"coinbase"), message, sha256(b"other")]
    _, path = merkle_path(txids, 1)
    seeds = {
        "every-kind.ots": ots_file(DIGEST, every_kind(keccak=True)),
        "receipt.ots": ots_file(DIGEST, op(APPEND, NONCE) + op(SHA256) + node(alice, bob)),
        "upgraded.ots": ots_file(DIGEST, op(APPEND, NONCE) + op(SHA256) + node(
            op(APPEND, bytes(16)) + op(SHA256) + path + bitcoin(800_001), bob)),
        "non-canonical.ots": ots_file(DIGEST, node(op(SHA256) + bitcoin(2), pending("https://b"), bitcoin(256),
                                                   op(SHA256) + pending("https://a"), bitcoin(256), bitcoin(255))),
        "limits.ots": ots_file(DIGEST, node(
            pending("https://" + "a" * 992), attestation(OTHER_TAG, bytes(8192)),
            op(APPEND, bytes(2016)) + op(HEXLIFY) + op(SHA1) + op(APPEND, bytes(4076)) + bitcoin(1),
            op(REVERSE) * 256 + bitcoin(2))),
        "sha1-digest.ots": ots_file(bytes(20), op(RIPEMD160) + bitcoin(1), SHA1),
        "answer.tree": op(APPEND, bytes(16)) + op(SHA256) + path + bitcoin(800_001),
    }
    directory = REPO / "fuzz" / "seeds-ots"
    directory.mkdir(exist_ok=True)
    for name, data in seeds.items():
        (directory / name).write_bytes(data)
    (REPO / "tests" / "data" / "ots").mkdir(exist_ok=True)
    data = REPO / "tests" / "data" / "ots"
    # Without keccak256, which libcrypto before OpenSSL 3.2 lacks.
    (data / "proof.ots").write_bytes(ots_file(DIGEST, every_kind(keccak=False)))
    # A RIPEMD-160 step on the way to a Bitcoin attestation, and the regtest header that confirms
    # it: what the distributable wheels must verify with their own libcrypto.
    root = sha256(hashlib.new("ripemd160", DIGEST).digest())
    (data / "ripemd160.ots").write_bytes(ots_file(DIGEST, op(RIPEMD160) + op(SHA256) + bitcoin(100)))
    (data / "ripemd160-headers.json").write_text(json.dumps({"100": mine(root, time=1_780_000_000).hex()}) + "\n")
    print(f"wrote {len(seeds)} seeds to {directory.relative_to(REPO)} and tests/data/ots/proof.ots")


if __name__ == "__main__":
    main()
