"""Audit an archive of signed envelopes on a Dask cluster: every envelope is parsed, classified
and verified against the descriptor of its signer, in worker processes on one machine or many.

    pip install "zun_protocol[dask]"
    python examples/audit_archive.py                        # a generated demo archive, 2 local workers
    python examples/audit_archive.py ARCHIVE DESCRIPTORS --workers 4
    python examples/audit_archive.py ARCHIVE DESCRIPTORS --scheduler tcp://10.0.0.5:8786
    python examples/audit_archive.py ARCHIVE DESCRIPTORS --single-process   # the same, without Dask

ARCHIVE holds one envelope's JSON per line (NDJSON) and DESCRIPTORS one peer identity
descriptor's JSON per line. An envelope's signer is the descriptor published at its `peer_self`
address (`kiv://body/peer/<fingerprint>`); its `our_signature` is read as standard Base64 of the
64 signature bytes, as the quickstart's signer writes it.

The archive is read in partitions of whole lines, each by the worker that audits it, so on a
cluster of several machines ARCHIVE must be a path that every worker can read (a shared file
system) and every worker needs zun_protocol installed; this file's functions travel to the
workers with the tasks, and the descriptors are sent to each worker once, pickled.

Prints the number of verified envelopes per pair class and every envelope that failed, with the
byte offset of its line and the reason; --json prints the same as one JSON object.
"""
import argparse
import base64
import collections
import contextlib
import json
import os
import pathlib
import random
import sys
import tempfile
import time

import zun_protocol as zp

# Partitions of equal size, a few per worker: the workers finish together, and the last one
# to start is short. Capped in size, so that a worker that is lost loses little work.
PARTITIONS_PER_WORKER = 4
MAX_PARTITION_BYTES = 64 << 20
SHOWN_FAILURES = 10


def partitions(path, workers=1, size=None):
    """(start, end) byte ranges that cover the file; a line belongs to the range it starts in.
    Ranges of `size` bytes, or by default of equal size and as many as several per worker."""
    length = os.path.getsize(path)
    if size is None:
        count = workers * max(PARTITIONS_PER_WORKER, -(-length // (workers * MAX_PARTITION_BYTES)))
        size = max(1, -(-length // count))
    return [(start, min(start + size, length)) for start in range(0, length, size)]


class Failed(Exception):
    def __init__(self, exchange_id, reason):
        super().__init__(exchange_id, reason)
        self.exchange_id, self.reason = exchange_id, reason


def audit_line(text, descriptors):
    """The pair class of an envelope that verifies, or raises Failed."""
    try:
        envelope = zp.SignedEnvelope.from_json(text)
    except ValueError as error:
        raise Failed(None, str(error)) from None
    signer = descriptors.get(envelope.peer_self.ref)
    if signer is None or signer.address() != envelope.peer_self:
        raise Failed(envelope.exchange_id, f"unknown signer {envelope.peer_self}")
    try:
        signature = base64.b64decode(envelope.our_signature, validate=True)
    except ValueError:  # binascii.Error, or a character outside ASCII
        raise Failed(envelope.exchange_id, "our_signature is not Base64") from None
    try:
        signer.verify(envelope.canonical_signing_bytes(), signature)
    except ValueError as error:
        raise Failed(envelope.exchange_id, str(error)) from None
    return zp.classify_exchange(envelope.protocol_hint, envelope.counterparty_identifier)


def audit_partition(path, start, end, descriptors):
    """Audits the lines that start in [start, end): counts per pair class, and the failures."""
    verified = collections.Counter()
    failures = []
    envelopes = 0
    with open(path, "rb") as archive:
        if start:
            archive.seek(start - 1)
            archive.readline()  # the rest of the line that the previous range holds
        offset = archive.tell()
        while offset < end:
            line = archive.readline()
            if not line:
                break
            if line.strip():
                envelopes += 1
                try:
                    verified[audit_line(line.decode().rstrip("\r\n"), descriptors)] += 1
                except Failed as failed:
                    failures.append({"offset": offset, "exchange_id": failed.exchange_id, "reason": failed.reason})
                except UnicodeDecodeError:
                    failures.append({"offset": offset, "exchange_id": None, "reason": "line is not UTF-8"})
            offset += len(line)
    return {"envelopes": envelopes, "verified": dict(verified), "failures": failures}


def merge(results):
    verified = collections.Counter()
    for result in results:
        verified.update(result["verified"])
    return {
        "envelopes": sum(result["envelopes"] for result in results),
        "verified": dict(sorted(verified.items())),
        "failures": sorted((f for result in results for f in result["failures"]), key=lambda f: f["offset"]),
    }


def audit(path, descriptors, client=None, partition_bytes=None):
    """Audits the archive at `path` against `descriptors` ({fingerprint: PeerIdentityDescriptor}),
    on the Dask cluster of `client`, or in this process when it is None. Run as a script, this
    file's functions travel to the workers by value; imported as a module, by name, so give the
    workers the file first: client.upload_file(audit_archive.__file__)."""
    path = os.path.abspath(path)
    workers = 1 if client is None else len(client.scheduler_info()["workers"])
    ranges = partitions(path, workers, partition_bytes)
    if client is None:
        return merge([audit_partition(path, start, end, descriptors) for start, end in ranges])
    [shared] = client.scatter([descriptors], broadcast=True, hash=False)
    futures = client.map(audit_partition, [path] * len(ranges), [s for s, _ in ranges], [e for _, e in ranges],
                         descriptors=shared, pure=False)
    return merge(client.gather(futures))


def local_cluster(workers):
    """A Dask cluster of `workers` worker processes on this machine, one task at a time each."""
    import dask
    from dask.distributed import LocalCluster
    # Dask's profiler samples each worker's task thread every 10 ms. Here, where the work is
    # native calls that release the interpreter lock, it costs about a twentieth of the
    # throughput and shows nothing of use.
    with dask.config.set({"distributed.worker.profile.enabled": False}):
        return LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None)


def read_descriptors(path):
    with open(path, encoding="utf-8") as lines:
        descriptors = [zp.PeerIdentityDescriptor.from_json(line) for line in lines if line.strip()]
    return {descriptor.fingerprint: descriptor for descriptor in descriptors}


# ---- a demo archive ----------------------------------------------------------------------------

EXCHANGES = [  # (protocol hint, counterparty): one of each of several pair classes
    ("quic", "peer-7.relay.example.net"), ("dns", ""), ("noise", "peer-3"),
    ("https", "https://api.stripe.com/v1/charges"), ("https", "https://api.clearbit.com/v2/people"),
    ("grpc", "resolver.zunproto.net"), ("tls-handshake", "governance.zunproto.net"),
]


def write_demo_archive(directory, count, signers=4, seed=0):
    """Writes `count` envelopes signed by `signers` software identities, and their descriptors;
    about one in a hundred is forged, signed by a stranger, unreadable or badly encoded."""
    rng = random.Random(seed)
    identities = [zp.SoftwareIdentity.from_seed(rng.randbytes(32)) for _ in range(signers)]
    stranger = zp.SoftwareIdentity.from_seed(rng.randbytes(32))
    directory = pathlib.Path(directory)
    with open(directory / "descriptors.ndjson", "w", encoding="utf-8") as out:
        out.writelines(identity.descriptor().to_json() + "\n" for identity in identities)
    with open(directory / "archive.ndjson", "w", encoding="utf-8") as out:
        for n in range(count):
            fault = rng.choice(("forged", "stranger", "unreadable", "encoding")) if rng.random() < 0.01 else None
            signer = stranger if fault == "stranger" else rng.choice(identities)
            hint, counterparty = rng.choice(EXCHANGES)
            envelope = {
                "exchange_id": f"0190a1b2-{n:04x}-7e5f-8a9b-{rng.getrandbits(48):012x}",
                "peer_self": {"class": "body", "type": "peer", "ref": signer.fingerprint},
                "direction": rng.choice(("outbound", "inbound")),
                "request_hash": rng.randbytes(32).hex(),
                "response_hash": rng.randbytes(32).hex(),
                "our_signature": "",
                "opened_at": f"2026-04-15T09:{n // 60 % 60:02d}:{n % 60:02d}.250Z",
                "protocol_hint": hint,
                "counterparty_identifier": counterparty,
            }
            signing_bytes = zp.SignedEnvelope.from_dict(envelope).canonical_signing_bytes()
            envelope["our_signature"] = base64.b64encode(signer.sign(signing_bytes)).decode()
            if fault == "forged":
                envelope["response_hash"] = rng.randbytes(32).hex()
            elif fault == "encoding":
                envelope["our_signature"] = envelope["our_signature"].replace("=", "")
            line = json.dumps(envelope, separators=(",", ":"))
            out.write((line[:len(line) // 2] if fault == "unreadable" else line) + "\n")
    return directory / "archive.ndjson", directory / "descriptors.ndjson"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("archive", nargs="?", help="NDJSON of envelopes (default: a generated demo archive)")
    parser.add_argument("descriptors", nargs="?", help="NDJSON of the signers' descriptors")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--workers", type=int, default=2, help="local worker processes (default 2)")
    where.add_argument("--scheduler", help="address of a running Dask scheduler, e.g. tcp://10.0.0.5:8786")
    where.add_argument("--single-process", action="store_true", help="audit in this process, without Dask")
    parser.add_argument("--partition-bytes", type=int,
                        help="size of the partitions (default: several of equal size per worker)")
    parser.add_argument("--demo-envelopes", type=int, default=20_000, help="size of the demo archive")
    parser.add_argument("--json", action="store_true", help="print the result as one JSON object")
    args = parser.parse_args(argv)
    if (args.archive is None) != (args.descriptors is None):
        parser.error("give both ARCHIVE and DESCRIPTORS, or neither")

    with tempfile.TemporaryDirectory() as scratch:
        archive, descriptors_path = args.archive, args.descriptors
        if archive is None:
            archive, descriptors_path = write_demo_archive(scratch, args.demo_envelopes)
        descriptors = read_descriptors(descriptors_path)
        if args.single_process:
            started = time.perf_counter()
            result = audit(archive, descriptors, partition_bytes=args.partition_bytes)
        else:
            from dask.distributed import Client
            cluster = args.scheduler or local_cluster(args.workers)
            with cluster if args.scheduler is None else contextlib.nullcontext(), Client(cluster) as client:
                started = time.perf_counter()  # the cluster is up: time the audit alone
                result = audit(archive, descriptors, client, args.partition_bytes)
        seconds = time.perf_counter() - started

    if args.json:
        print(json.dumps(result, ensure_ascii=False))
        return 0
    print(f"{result['envelopes']} envelopes in {seconds:.2f} s ({result['envelopes'] / seconds:,.0f} per second)")
    print("verified, per pair class:")
    for pair_class, count in result["verified"].items():
        print(f"  {pair_class:12} {count}")
    failures = result["failures"]
    print(f"failed: {len(failures)}")
    for failure in failures[:SHOWN_FAILURES]:
        print(f"  at byte {failure['offset']}: {failure['exchange_id'] or '(unreadable)'}: {failure['reason']}")
    if len(failures) > SHOWN_FAILURES:
        print(f"  and {len(failures) - SHOWN_FAILURES} more (--json lists them all)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
