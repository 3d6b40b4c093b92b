"""Other Python threads while the module works: verify and sign throughput from 1 and 2 threads
against PyNaCl and `cryptography`, push to the disk from 1 and 2 threads, and how late a thread
that sleeps 2 ms in a loop wakes up while another thread makes 64 MiB calls.

    python bench/bench_threads.py             the tables (also part of bench/run.py)
    python bench/bench_threads.py --sizes     1- and 2-thread sign and verify across payload sizes
    python bench/bench_threads.py --handover  the cost of handing the lock over (bench/gil_handover.c)"""
import os
import pathlib
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import threading
import time

from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey
from nacl.signing import SigningKey

from _timing import report

import zun_protocol as zp

SEED = bytes(range(32))
PAYLOAD = bytes(range(100))  # the payload of bench_identity, so the 1-thread figures compare
BIG = 64 * 2**20
QUEUE_ITEM = 16 * 2**20
SECONDS = 0.6  # per throughput measurement
ENVELOPE = ('{"exchange_id":"%s","peer_self":{"class":"body","type":"peer","ref":"21fe31dfa154a261626bf854046fd227"},'
            '"peer_counterparty":{"class":"route","type":"dns","ref":"api.example.com"},"direction":"outbound",'
            '"request_hash":"9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08",'
            '"response_hash":"60303ae22b998861bce3b28f33eec1be758a213c86c93c076dbe9f558c11c752",'
            '"our_signature":"sig","opened_at":"2026-04-15T09:00:00.5Z","closed_at":"2026-04-15T09:00:01Z",'
            '"protocol_hint":"https","counterparty_identifier":"%s"}')


def envelope(exchange_id, counterparty="api.example.com"):
    return zp.SignedEnvelope.from_json(ENVELOPE % (exchange_id, counterparty))


def seconds_per_call(make_call, threads, seconds=SECONDS, rounds=3):
    """Wall time per call with `threads` threads each calling their own `make_call(index)()` in a
    loop for `seconds`: the inverse of the combined throughput. Best of `rounds`."""
    best = float("inf")
    for _ in range(rounds):
        counts = [0] * threads
        start = threading.Barrier(threads + 1)
        stop = threading.Event()

        def work(index):
            call = make_call(index)
            start.wait()
            n = 0
            while not stop.is_set():
                call()
                call()
                n += 2
            counts[index] = n

        workers = [threading.Thread(target=work, args=(i,)) for i in range(threads)]
        for worker in workers:
            worker.start()
        start.wait()
        began = time.perf_counter()
        time.sleep(seconds)
        stop.set()
        for worker in workers:
            worker.join()
        best = min(best, (time.perf_counter() - began) / sum(counts))
    return best


def lateness_ms(work, period=0.002, least=0.5):
    """Median lateness, in ms, of the wake-ups of a thread that sleeps `period` in a loop while
    this thread repeats `work` for at least `least` seconds."""
    late, working, stop = [], threading.Event(), threading.Event()

    def sleeper():
        while not stop.is_set():
            began = time.perf_counter()
            time.sleep(period)
            if working.is_set():  # only wake-ups that fell wholly inside the work count
                late.append(time.perf_counter() - began - period)

    thread = threading.Thread(target=sleeper)
    thread.start()
    working.set()
    time.sleep(period)  # the sleeper's first counted sleep starts before the work does
    began = time.perf_counter()
    while time.perf_counter() - began < least or len(late) < 3:
        work()
    stop.set()
    thread.join()
    return statistics.median(late) * 1e3


def throughput_rows():
    ours = zp.SoftwareIdentity.from_seed(SEED)
    descriptor = zp.PeerIdentityDescriptor.from_json(ours.descriptor().to_json())
    signature = ours.sign(PAYLOAD)
    nacl_key = SigningKey(SEED)
    ossl_key = Ed25519PrivateKey.from_private_bytes(SEED)
    nacl_verify, ossl_public = nacl_key.verify_key, ossl_key.public_key()
    calls = {
        "sign": lambda i: lambda: ours.sign(PAYLOAD),
        "sign PyNaCl": lambda i: lambda: nacl_key.sign(PAYLOAD),
        "sign cryptography": lambda i: lambda: ossl_key.sign(PAYLOAD),
        "verify": lambda i: lambda: descriptor.verify(PAYLOAD, signature),
        "verify PyNaCl": lambda i: lambda: nacl_verify.verify(PAYLOAD, signature),
        "verify cryptography": lambda i: lambda: ossl_public.verify(signature, PAYLOAD),
    }
    t = {(name, n): seconds_per_call(make, n) for n in (1, 2) for name, make in calls.items()}
    print("\nper call, wall time (1 thread / 2 threads; speed-up):")
    for name in calls:
        one, two = t[name, 1], t[name, 2]
        print(f"  {name:22} {one * 1e6:8.2f} µs {two * 1e6:8.2f} µs  x{one / two:.2f}")

    def best_peer(op, n):
        return min((t[f"{op} {peer}", n], peer) for peer in ("PyNaCl", "cryptography"))

    rows = []
    for op in ("verify", "sign"):
        rows += [
            # 0.588: at least 1.7 times the 1-thread throughput
            (f"{op} 100 B, 2 threads vs 1 thread", t[op, 2], t[op, 1], "ours, 1 thread", 0.588),
            (f"{op} 100 B, 2 threads", t[op, 2], *best_peer(op, 2), 1.0),
            (f"{op} 100 B, 1 thread", t[op, 1], *best_peer(op, 1), 1.0),
        ]
    return rows


def push_rows():
    """Pushes to the disk under the system's temporary directory (not a tmpfs). Each thread
    replaces its own 64 items in turn, so that the directory does not grow during the run."""
    with tempfile.TemporaryDirectory(prefix="zun-bench-threads-") as directory:
        queue = zp.EnvelopeQueue(directory)

        def make(index):
            items = [envelope(f"0190a1b2-c3d4-7e5f-8a9b-{index:02d}{n:010d}") for n in range(64)]
            turn = iter(range(10**12))

            def push():
                queue.push("trust", items[next(turn) % 64])
            return push

        one, two = seconds_per_call(make, 1, rounds=2), seconds_per_call(make, 2, rounds=2)
    print(f"\npush to {tempfile.gettempdir()}: {one * 1e6:.1f} µs/call from 1 thread, {two * 1e6:.1f} µs/call "
          f"from 2 threads (x{one / two:.2f})")
    return [("push to disk, 2 threads vs 1 thread", two, one, "ours, 1 thread", None)]


def sleeper_rows():
    ours = zp.SoftwareIdentity.from_seed(SEED)
    descriptor = ours.descriptor()
    payload = os.urandom(BIG)
    signature = ours.sign(payload)
    ossl_key = Ed25519PrivateKey.from_private_bytes(SEED)
    # The queue takes item files of up to 16 MiB.
    big = envelope("0190a1b2-c3d4-7e5f-8a9b-0c1d2e3f4a5b", "x" * (QUEUE_ITEM - 4096))
    with tempfile.TemporaryDirectory(prefix="zun-bench-threads-") as directory:
        queue = zp.EnvelopeQueue(directory)
        queue.push("trust", big)
        path = os.path.join(directory, "plain.bin")

        def plain_write():
            with open(path, "wb") as f:
                f.write(payload)

        late = {
            "verify": lateness_ms(lambda: descriptor.verify(payload, signature)),
            "sign": lateness_ms(lambda: ours.sign(payload)),
            "push": lateness_ms(lambda: queue.push("trust", big)),
            "list": lateness_ms(queue.list),
            "cryptography sign": lateness_ms(lambda: ossl_key.sign(payload)),
            "plain Python write": lateness_ms(plain_write),
        }
    print("\nmedian lateness of a 2 ms sleeper while another thread makes 64 MiB calls (16 MiB queue items):")
    for name, ms in late.items():
        print(f"  {name:20} {ms:8.3f} ms")
    return [(f"sleeper lateness during {16 if name in ('push', 'list') else 64} MiB {name}", late[name] * 1e-3,
             5e-3, "5 ms", 1.0) for name in ("verify", "sign", "push", "list")]


def sizes():
    """1- and 2-thread wall time per call across payload sizes, for the break-even of releasing
    the interpreter lock."""
    ours = zp.SoftwareIdentity.from_seed(SEED)
    descriptor = zp.PeerIdentityDescriptor.from_json(ours.descriptor().to_json())
    print(f"{'bytes':>8} {'sign 1T':>10} {'sign 2T':>10} {'verify 1T':>10} {'verify 2T':>10}")
    for size in (0, 100, 1024, 16384, 65536):
        payload = bytes(size)
        signature = ours.sign(payload)
        cells = []
        for call in (lambda i: lambda: ours.sign(payload), lambda i: lambda: descriptor.verify(payload, signature)):
            cells += [seconds_per_call(call, n, seconds=0.3) * 1e6 for n in (1, 2)]
        print(f"{size:8} " + " ".join(f"{c:8.2f}µs" for c in cells))


def handover():
    """Builds bench/gil_handover.c against this interpreter's shared library and runs it."""
    libdir = sysconfig.get_config_var("LIBDIR")
    with tempfile.TemporaryDirectory(prefix="zun-handover-") as build:
        program = os.path.join(build, "gil_handover")
        subprocess.run(["cc", "-O2", "-o", program, str(pathlib.Path(__file__).resolve().parent / "gil_handover.c"),
                        "-I", sysconfig.get_paths()["include"], "-L", libdir, f"-Wl,-rpath,{libdir}",
                        f"-lpython{sysconfig.get_config_var('LDVERSION')}", "-lpthread"], check=True)
        subprocess.run([program], check=True)


def run():
    rows = throughput_rows() + push_rows() + sleeper_rows()
    return report(rows, "Threads (ours / peer, lower is better)")


if __name__ == "__main__":
    {"--sizes": sizes, "--handover": handover}.get(sys.argv[1] if sys.argv[1:] else "", run)()
