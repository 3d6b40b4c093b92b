"""The whole per-envelope loop in Python (parse the JSON, look up the signer's descriptor, decode
the Base64 signature, verify, classify) over 100,000 signed envelopes, from 2 threads against 1,
under each interpreter given: a free-threaded CPython (3.13t) and the same version with the
interpreter lock. Each interpreter runs in a process of its own on the same archive, its rounds of
1 and 2 threads in turn, the two processes taking turns too (three rounds, best of each), so that
a busy spell of the machine falls on both alike. Also the single-thread time of the first interpreter
against the second's: what running without the lock costs a program that uses one thread.

    python bench/bench_free_threaded.py FREE_THREADED_PYTHON PYTHON_WITH_THE_LOCK [--envelopes N]

Both interpreters must import zun_protocol (scripts/free-threaded.sh leaves a 3.13t venv with the
free-threaded wheel in build/free-threaded-3.13t; scripts/free-threaded-python.sh --with-gil
builds the same CPython with the lock). Not part of bench/run.py, which runs in one interpreter."""
import argparse
import base64
import json
import os
import subprocess
import sys
import tempfile
import threading
import time

ENVELOPES = 100_000
ROUNDS = 3


def measured_in(interpreter, descriptors, archive):
    """Seconds per envelope from 1 and from 2 threads, measured in a process of `interpreter`."""
    done = subprocess.run([interpreter, __file__, "--measure", descriptors, archive],
                          capture_output=True, text=True, check=False)
    if done.returncode != 0:
        raise RuntimeError(f"{interpreter} exited {done.returncode}: {done.stderr[-600:]}")
    return json.loads(done.stdout.splitlines()[-1])


def measure(descriptors, archive):
    """In this interpreter: the wall and CPU time of the loop over every envelope, from 1 thread
    and from 2 threads that take every other line each."""
    import zun_protocol as zp

    signers = {}
    for name in os.listdir(descriptors):
        with open(os.path.join(descriptors, name), encoding="utf-8") as f:
            descriptor = zp.PeerIdentityDescriptor.from_json(f.read())
        signers[descriptor.fingerprint] = descriptor
    with open(archive, encoding="utf-8") as f:
        lines = f.read().splitlines()

    def loop(part, counts, cpu, index):
        began = time.thread_time()
        classes = {}
        for line in part:
            envelope = zp.SignedEnvelope.from_json(line)
            signers[envelope.peer_self.ref].verify(envelope.canonical_signing_bytes(),
                                                   base64.b64decode(envelope.our_signature))
            pair_class = zp.classify_exchange(envelope.protocol_hint, envelope.counterparty_identifier)
            classes[pair_class] = classes.get(pair_class, 0) + 1
        counts[index] = sum(classes.values())
        cpu[index] = time.thread_time() - began

    def run(threads):
        counts, cpu = [0] * threads, [0.0] * threads
        workers = [threading.Thread(target=loop, args=(lines[i::threads], counts, cpu, i)) for i in range(threads)]
        began = time.perf_counter()
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()
        elapsed = time.perf_counter() - began
        if sum(counts) != len(lines):
            raise RuntimeError(f"{sum(counts)} of {len(lines)} envelopes went through")
        return elapsed, sum(cpu)

    best = {threads: run(threads) for threads in (1, 2)}
    lock = getattr(sys, "_is_gil_enabled", lambda: True)()
    # CPU time is the threads' own: with the lock it includes no time spent waiting for it; growing
    # from 1 thread to 2, it shows what the threads cost each other, apart from cores the machine lacked.
    print(json.dumps({"version": sys.version.split()[0], "lock": lock,
                      "one": best[1][0] / len(lines), "two": best[2][0] / len(lines),
                      "one_cpu": best[1][1] / len(lines), "two_cpu": best[2][1] / len(lines)}))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("interpreters", nargs="*")
    parser.add_argument("--envelopes", type=int, default=ENVELOPES)
    parser.add_argument("--measure", nargs=2, metavar=("DESCRIPTORS", "ARCHIVE"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.measure:
        measure(*args.measure)
        return
    if len(args.interpreters) != 2:
        parser.error("give a free-threaded interpreter and one with the lock")
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    from bench_cli import write_archive  # the archive of the command line's benchmark

    with tempfile.TemporaryDirectory(prefix="zun-bench-ft-") as directory:
        print(f"writing {args.envelopes:,} signed envelopes ...", file=sys.stderr)
        descriptors, archive = write_archive(directory, args.envelopes)
        best = [None, None]
        for _ in range(ROUNDS):
            for i, python in enumerate(args.interpreters):
                got = measured_in(python, descriptors, archive)
                best[i] = got if best[i] is None else {
                    **got, **{key: min(got[key], best[i][key]) for key in ("one", "two", "one_cpu", "two_cpu")}}
        free, locked = best
    print(f"\nper-envelope loop over {args.envelopes:,} envelopes (parse, look up, decode, verify, classify)")
    print(f"{'case':52} {'ours':>9} {'peer':>9} {'ratio':>6}  target")
    rows = [
        (f"{free['version']} free-threaded, 2 threads vs 1", free["two"], free["one"], 1 / 1.9),
        (f"{locked['version']} with the lock, 2 threads vs 1", locked["two"], locked["one"], None),
        (f"1 thread, {free['version']} free-threaded vs with the lock", free["one"], locked["one"], None),
    ]
    for case, ours, peer, target in rows:
        ratio = ours / peer
        met = "" if target is None else f"<= {target:.3f} {'yes' if ratio <= target else 'NO'}"
        print(f"{case:52} {ours * 1e6:7.2f}us {peer * 1e6:7.2f}us {ratio:6.3f}  {met}")
    for name, row in (("free-threaded", free), ("with the lock", locked)):
        print(f"  {name}: {1 / row['one']:,.0f} envelopes/s from 1 thread, {1 / row['two']:,.0f} from 2 "
              f"({row['one'] / row['two']:.2f}x); CPU time per envelope {row['one_cpu'] * 1e6:.1f} us from 1 "
              f"thread, {row['two_cpu'] * 1e6:.1f} us from 2; the lock on: {row['lock']}")
    print(f"  load average {os.getloadavg()[0]:.2f} at the end (2 cores)")


if __name__ == "__main__":
    main()
