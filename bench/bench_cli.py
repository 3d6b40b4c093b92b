"""The command line's `verify` on an archive of 200,000 signed envelopes: with 2 threads against
1, and with 1 thread against the same work written as a plain loop over the module's API (the
command's own cost). Each is a fresh process, timed from start to exit; best of two. Beside
them, the CPU time of the command against the plain loop, which other work on the machine
disturbs less than wall time, and the module's own verify from 2 threads against 1: on a
machine whose cores are busy with other work, that is the most the command's threads can gain.

    python bench/bench_cli.py                  the table (also part of bench/run.py)
    python bench/bench_cli.py --envelopes N    another archive size"""
import argparse
import base64
import json
import os
import resource
import subprocess
import sys
import tempfile
import threading
import time

from _timing import report

import zun_protocol as zp

ENVELOPES = 200_000
SIGNERS = 8
ROUNDS = 2

# What an operator would write without the command: one thread, the module's calls, nothing else.
PLAIN_LOOP = """
import base64, os, sys
import zun_protocol as zp
directory, archive = sys.argv[1:]
signers = {}
for name in os.listdir(directory):
    with open(os.path.join(directory, name), encoding="utf-8") as f:
        d = zp.PeerIdentityDescriptor.from_json(f.read())
    signers[d.fingerprint] = d
verified = 0
with open(archive, encoding="utf-8") as lines:
    for line in lines:
        e = zp.SignedEnvelope.from_json(line)
        signers[e.peer_self.ref].verify(e.canonical_signing_bytes(), base64.b64decode(e.our_signature))
        verified += 1
print(verified)
"""


def write_archive(directory, count):
    """`count` envelopes signed by SIGNERS identities, one per line, and their descriptors."""
    signers = [zp.SoftwareIdentity.from_seed(bytes([n + 1]) * 32) for n in range(SIGNERS)]
    descriptors = os.path.join(directory, "descriptors")
    os.mkdir(descriptors)
    for signer in signers:
        with open(os.path.join(descriptors, f"{signer.fingerprint}.json"), "w", encoding="utf-8") as f:
            f.write(signer.descriptor().to_json())
    archive = os.path.join(directory, "archive.ndjson")
    with open(archive, "w", encoding="utf-8") as out:
        for n in range(count):
            signer = signers[n % SIGNERS]
            fields = {
                "exchange_id": f"0190a1b2-c3d4-7e5f-8a9b-{n:012d}",
                "peer_self": {"class": "body", "type": "peer", "ref": signer.fingerprint},
                "peer_counterparty": {"class": "route", "type": "dns", "ref": "api.example.com"},
                "direction": "outbound",
                "request_hash": f"{n:064x}",
                "response_hash": f"{n * 7919:064x}",
                "our_signature": "",
                "opened_at": "2026-04-15T09:00:00.5Z",
                "closed_at": "2026-04-15T09:00:01Z",
                "protocol_hint": "https",
                "counterparty_identifier": "api.example.com",
            }
            payload = zp.SignedEnvelope.from_dict(fields).canonical_signing_bytes()
            fields["our_signature"] = base64.b64encode(signer.sign(payload)).decode()
            out.write(json.dumps(fields, separators=(",", ":")) + "\n")
    return descriptors, archive


def seconds(args, count):
    """Wall time and CPU time (user and system, all threads) of the process `args`, which must
    verify all `count` envelopes."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    began = time.perf_counter()
    done = subprocess.run(args, capture_output=True, text=True, check=False)
    elapsed = time.perf_counter() - began
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if done.returncode != 0 or str(count) not in done.stdout:
        raise RuntimeError(f"{args[:4]} exited {done.returncode}: {done.stdout[-300:]}{done.stderr[-300:]}")
    return elapsed, after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime


def measure(count):
    """Per envelope: the best wall time and the best CPU time of each way."""
    with tempfile.TemporaryDirectory(prefix="zun-bench-cli-") as directory:
        print(f"writing {count:,} signed envelopes ...", file=sys.stderr)
        descriptors, archive = write_archive(directory, count)
        runs = {
            "threads 1": [sys.executable, "-m", "zun_protocol_cli", "verify", "--threads", "1",
                          "--descriptors", descriptors, "--", archive],
            "threads 2": [sys.executable, "-m", "zun_protocol_cli", "verify", "--threads", "2",
                          "--descriptors", descriptors, "--", archive],
            "plain loop": [sys.executable, "-c", PLAIN_LOOP, descriptors, archive],
        }
        wall = dict.fromkeys([*runs, "module, 1 thread", "module, 2 threads"], float("inf"))
        cpu = dict.fromkeys(runs, float("inf"))
        for _ in range(ROUNDS):  # interleaved, so that a busy spell of the machine hits all alike
            for name, args in runs.items():
                elapsed, used = seconds(args, count)
                wall[name], cpu[name] = min(wall[name], elapsed), min(cpu[name], used)
            for threads in (1, 2):
                name = f"module, {threads} thread{'s' if threads > 1 else ''}"
                wall[name] = min(wall[name], module_verify_seconds(threads) * count)
    print(f"\nverify of {count:,} envelopes, a fresh process each:")
    for name in runs:
        print(f"  {name:12} {wall[name]:7.2f} s  {count / wall[name]:9,.0f} envelopes/s  "
              f"(CPU {cpu[name]:.2f} s)")
    print(f"  the module's verify alone, in a loop: {count / wall['module, 1 thread']:,.0f}/s from 1 thread, "
          f"{count / wall['module, 2 threads']:,.0f}/s from 2")
    return ({name: value / count for name, value in wall.items()},
            {name: value / count for name, value in cpu.items()})


def module_verify_seconds(threads, seconds=1.0):
    """Seconds per verify of the module's own call from `threads` threads at once: how far the
    machine lets two threads go at this moment, the ceiling of the command's speed-up."""
    signer = zp.SoftwareIdentity.from_seed(bytes(32))
    descriptor, payload = signer.descriptor(), bytes(100)
    signature = signer.sign(payload)
    counts, stop = [0] * threads, threading.Event()

    def work(index):
        while not stop.is_set():
            descriptor.verify(payload, signature)
            counts[index] += 1

    workers = [threading.Thread(target=work, args=(i,)) for i in range(threads)]
    began = time.perf_counter()
    for worker in workers:
        worker.start()
    time.sleep(seconds)
    stop.set()
    for worker in workers:
        worker.join()
    return (time.perf_counter() - began) / sum(counts)


def run(count=ENVELOPES):
    per, cpu = measure(count)
    label = f"verify {count:,} envelopes"
    rows = [
        # 0.588: at least 1.7 times the 1-thread throughput
        (f"{label}, --threads 2 vs 1", per["threads 2"], per["threads 1"], "the command, --threads 1", 0.588),
        (f"{label}, --threads 1 vs a plain loop", per["threads 1"], per["plain loop"],
         "plain loop over the module's API", 1.3),
        (f"{label}, --threads 2 vs a plain loop", per["threads 2"], per["plain loop"],
         "plain loop over the module's API", None),
        (f"{label}, --threads 1 vs a plain loop, CPU time", cpu["threads 1"], cpu["plain loop"],
         "plain loop over the module's API", None),
        ("module's verify alone, 2 threads vs 1 (the ceiling)", per["module, 2 threads"], per["module, 1 thread"],
         "1 thread", None),
    ]
    return report(rows, "Command line, per envelope (ours / peer, lower is better)")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--envelopes", type=int, default=ENVELOPES)
    run(parser.parse_args().envelopes)
