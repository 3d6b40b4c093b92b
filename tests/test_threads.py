"""Other Python threads run while the module signs, verifies, hashes a Merkle batch or waits on
the disk, and sharing one identity, descriptor, queue and anchor between threads changes no result."""
import gc
import os
import pathlib
import signal
import statistics
import subprocess
import sys
import textwrap
import threading
import time
import traceback

import pytest

import zun_protocol as zp

SEED = bytes(range(32))
BIG = 16 * 2**20
ENVELOPE = {
    "exchange_id": "0190a1b2-c3d4-7e5f-8a9b-0c1d2e3f4a5b",
    "peer_self": {"class": "body", "type": "peer", "ref": "ab12"},
    "direction": "outbound",
    "request_hash": "h1",
    "our_signature": "s1",
    "opened_at": "2026-04-15T09:00:00.500Z",
    "protocol_hint": "https",
    "counterparty_identifier": "api.example.com",
}


def envelope(exchange_id, counterparty="api.example.com"):
    return zp.SignedEnvelope.from_dict({**ENVELOPE, "exchange_id": exchange_id,
                                        "counterparty_identifier": counterparty})


def median_lateness(work, period=0.002, least=0.4):
    """Median lateness of the wake-ups of a thread that sleeps `period` in a loop, counted only
    while this thread repeats `work` (for at least `least` seconds and three wake-ups)."""
    late, working, stop = [], threading.Event(), threading.Event()

    def sleeper():
        while not stop.is_set():
            began = time.perf_counter()
            time.sleep(period)
            if working.is_set():
                late.append(time.perf_counter() - began - period)

    thread = threading.Thread(target=sleeper)
    thread.start()
    try:
        working.set()
        time.sleep(period)
        began = time.perf_counter()
        while time.perf_counter() - began < least or len(late) < 3:
            work()
    finally:
        stop.set()
        thread.join()
    return statistics.median(late)


@pytest.fixture(scope="module")
def big_calls(tmp_path_factory):
    identity = zp.SoftwareIdentity.from_seed(SEED)
    descriptor = zp.PeerIdentityDescriptor.from_json(identity.descriptor().to_json())
    payload = os.urandom(BIG)
    signature = identity.sign(payload)
    queue = zp.EnvelopeQueue(str(tmp_path_factory.mktemp("big-queue")))
    item = envelope(ENVELOPE["exchange_id"], "x" * (BIG - 4096))  # an item file just under the queue's 16 MiB

    def listed():
        [got] = queue.list()
        assert got.queue_id == ENVELOPE["exchange_id"]

    queue.push("trust", item)
    leaves = [payload[i:i + 100] for i in range(0, 100 * 200_000, 100)]
    return {
        "merkle": lambda: zp.MerkleTree(leaves),
        "verify": lambda: descriptor.verify(payload, signature),
        "sign": lambda: identity.sign(payload),
        "push": lambda: queue.push("trust", item),
        "list": listed,
    }


@pytest.mark.parametrize("call", ["merkle", "verify", "sign", "push", "list"])
def test_a_sleeping_thread_wakes_on_time_during_large_calls(big_calls, call):
    assert median_lateness(big_calls[call]) < 0.005


def run_threads(work, threads, on_failure=None):
    """Runs work(index) on `threads` threads at once and fails with every thread's traceback;
    on_failure(index) lets the others know that thread `index` has stopped."""
    errors = []

    def guarded(index):
        try:
            work(index)
        except BaseException:  # reported below, with the thread that raised it
            errors.append((index, traceback.format_exc()))
            if on_failure is not None:
                on_failure(index)

    workers = [threading.Thread(target=guarded, args=(i,)) for i in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    assert not errors, "\n".join(f"thread {index}: {trace}" for index, trace in errors)


def test_threads_sharing_every_object_get_every_result_right(tmp_path):
    identity = zp.SoftwareIdentity.from_seed(SEED)
    # Parsed, so that its key text is first decoded by racing verifications.
    descriptor = zp.PeerIdentityDescriptor.from_json(identity.descriptor().to_json())
    payloads = [os.urandom(n) for n in (0, 1, 64, 100, 1000, 4096, 70000)]
    signatures = [identity.sign(p) for p in payloads]
    queue, anchor = zp.EnvelopeQueue(str(tmp_path / "q")), zp.MockAnchor("stress")
    shared_root, threads, seconds = bytes(32), 8, 1.5
    start, rounds, shared_receipts = threading.Barrier(threads), [0] * threads, []

    def work(index):
        start.wait()
        try:
            shared_receipts.append(anchor.submit(shared_root))
        except ValueError as error:
            assert str(error) == "anchor already submitted: " + "00" * 32
        n, deadline = 0, time.monotonic() + seconds
        while time.monotonic() < deadline:
            k = (index + n) % len(payloads)
            payload, signature = payloads[k], signatures[k]
            assert identity.sign(payload) == signature
            assert descriptor.verify(payload, signature) is None
            with pytest.raises(ValueError, match="^signature verification failed: BadSignature$"):
                descriptor.verify(payload + b"!", signature)
            exchange_id = f"0190a1b2-c3d4-7e5f-8a9b-{index:04d}{n:08d}"
            queue.push(f"class-{index}", envelope(exchange_id))
            mine = [item for item in queue.list() if item.queue_id == exchange_id]
            assert [(item.pair_class, item.envelope.exchange_id) for item in mine] == [(f"class-{index}", exchange_id)]
            queue.drop_item(exchange_id)
            root = (index + 1).to_bytes(2, "big") + n.to_bytes(30, "big")
            proof = anchor.verify(anchor.submit(root))
            assert proof.confirmed and proof.merkle_root_hex == root.hex()
            n += 1
        rounds[index] = n

    switch = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        run_threads(work, threads)
    finally:
        sys.setswitchinterval(switch)
    assert min(rounds) > 0 and len(shared_receipts) == 1
    assert queue.list() == []


def run_script(script, timeout=60):
    return subprocess.run([sys.executable, "-X", "dev", "-c", textwrap.dedent(script)],
                          capture_output=True, text=True, timeout=timeout)


def test_exit_with_daemon_threads_out_signing_ends_cleanly():
    # The object's finaliser sleeps while the interpreter finalises, which is when a daemon thread
    # coming back from released work would be ended in the middle of the module's frames.
    done = run_script("""
        import os, sys, threading, time, types, zun_protocol as zp
        identity, payload = zp.SoftwareIdentity.from_seed(bytes(32)), bytes(2**24)

        class SlowExit:
            def __del__(self, sleep=time.sleep, write=os.write):
                sleep(0.5)
                write(1, b"finalised")

        holder = types.ModuleType("holder")
        holder.slow = SlowExit()
        sys.modules["holder"] = holder
        del holder

        def spin(identity=identity, payload=payload):
            while True:
                identity.sign(payload)

        for _ in range(2):
            threading.Thread(target=spin, daemon=True).start()
        time.sleep(0.1)
    """)
    assert (done.returncode, done.stdout) == (0, "finalised"), done.stderr


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_child_forked_during_a_push_can_use_the_queue(tmp_path):
    done = run_script(f"""
        import os, signal, threading, zun_protocol as zp
        queue = zp.EnvelopeQueue({str(tmp_path / "q")!r})
        item = zp.SignedEnvelope.from_dict({{**{ENVELOPE!r}, "counterparty_identifier": "x" * 2**23}})
        stop = threading.Event()

        def spill():
            while not stop.is_set():
                queue.push("trust", item)

        threading.Thread(target=spill).start()
        try:
            for _ in range(5):
                pid = os.fork()
                if pid == 0:
                    signal.alarm(5)  # a child stuck on the queue ends itself
                    os._exit(len(zp.EnvelopeQueue({str(tmp_path / "other")!r}).list()))
                assert os.waitpid(pid, 0)[1] == 0
        finally:
            stop.set()
        print("forked")
    """)
    assert (done.returncode, done.stdout.strip()) == (0, "forked"), done.stderr


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
# GCC 12's AddressSanitizer does not hold its allocator's locks across fork: a child forked while
# another thread allocates can hang in malloc, and the fork lands just as the verifying thread
# leaves the lock and goes on allocating.
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="the preloaded ASan runtime is not fork-safe")
def test_a_child_forked_during_a_verification_can_verify():
    data = pathlib.Path(__file__).parent / "data" / "timestamp"
    done = run_script(f"""
        import hashlib, os, signal, threading, zun_protocol as zp
        with open({str(data / "response.tsr")!r}, "rb") as f:
            token = zp.TimestampToken.from_der(f.read())
        with open({str(data / "root.pem")!r}, "rb") as f:
            root = f.read()
        digest = hashlib.sha256(b"batch").digest()
        # Every verification with these roots compares their 32 MiB with the certificate inputs
        # read last, under the lock that guards those: the thread holds it most of the time.
        roots = b"#" * 2**25 + b"\\n" + root
        stop = threading.Event()

        def spin():
            while not stop.is_set():
                token.verify(digest, roots=roots)

        token.verify(digest, roots=roots)
        threading.Thread(target=spin).start()
        try:
            for _ in range(5):
                pid = os.fork()
                if pid == 0:
                    signal.alarm(5)  # a child stuck on the lock ends itself
                    token.verify(digest, roots=root)
                    os._exit(0)
                assert os.waitpid(pid, 0)[1] == 0
        finally:
            stop.set()
        print("forked")
    """)
    assert (done.returncode, done.stdout.strip()) == (0, "forked"), done.stderr


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="the preloaded ASan runtime is not fork-safe")
def test_a_thread_forks_while_the_main_thread_lists_a_long_queue(tmp_path):
    # The fork waits for the queue's lock, holding the interpreter; list() in the main thread
    # takes the interpreter back every 40 ms to run the signal handlers, and must not hold the
    # queue's lock meanwhile.
    done = run_script(f"""
        import os, threading, zun_protocol as zp
        queue = zp.EnvelopeQueue({str(tmp_path)!r})
        queue.push("trust", zp.SignedEnvelope.from_dict({ENVELOPE!r}))
        name = os.path.join({str(tmp_path)!r}, {ENVELOPE["exchange_id"] + ".json"!r})
        with open(name, "ab") as f:
            f.write(b" " * (1 << 20))  # blanks after the JSON: each item takes a while to read
        for n in range(255):
            os.link(name, name + f"-{{n:03d}}.json")

        def fork():
            pid = os.fork()
            if pid == 0:
                os._exit(0)
            assert os.waitpid(pid, 0)[1] == 0

        forker = threading.Timer(0.05, fork)
        forker.start()
        print(len(queue.list()))
        forker.join()
    """)
    assert (done.returncode, done.stdout.strip()) == (0, "256"), done.stderr


def interrupted(call, after=0.3):
    """How late the KeyboardInterrupt of a timer signal due `after` seconds into `call` comes out
    of it; None when the call returned first."""
    previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
    try:
        began = time.monotonic()
        signal.setitimer(signal.ITIMER_REAL, after)
        try:
            call()
        except KeyboardInterrupt:
            return time.monotonic() - began - after
        return None
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


@pytest.mark.parametrize("work", ["list", "extend", "of_envelopes"])
def test_ctrl_c_stops_long_native_work_at_once_and_changes_nothing(tmp_path, work):
    # Each call would take a second or more; the signal comes after 0.3 s.
    queue, tree = zp.EnvelopeQueue(str(tmp_path)), zp.MerkleTree([b"a", b"b", b"c"])
    root = tree.root()
    if work == "list":  # 512 items of 1 MiB, blanks after the JSON: one file, linked under 512 names
        queue.push("trust", envelope("0190-a"))
        item = (tmp_path / "0190-a.json").read_bytes()
        (tmp_path / "0190-a.json").write_bytes(item + b" " * ((1 << 20) - len(item)))
        for n in range(511):
            os.link(tmp_path / "0190-a.json", tmp_path / f"0190-b{n:03d}.json")
        call = queue.list
    elif work == "extend":
        leaves = [b"x" * 100] * 4_000_000
        call = lambda: tree.extend(leaves)  # noqa: E731
    else:
        envelopes = [envelope("0190-a")] * 1_000_000
        call = lambda: zp.MerkleTree.of_envelopes(envelopes)  # noqa: E731
    lateness = interrupted(call)
    assert lateness is not None and lateness < 0.1
    assert (tree.size, tree.root()) == (3, root) and len(os.listdir(tmp_path)) == (512 if work == "list" else 0)


def stress(tmp_path, seconds, threads=8):
    """`threads` threads on one descriptor, queue, MerkleTree and MockAnchor for `seconds`, each
    handing the envelopes it makes to the next through a queue.Queue, while one list of leaves
    changes under trees built from it and one dict under envelopes read from it. Checks
    everything it can see and returns how many envelopes went round."""
    import queue as queues

    identity = zp.SoftwareIdentity.from_seed(SEED)
    # Parsed, so that racing verifications settle its key's verdict.
    descriptor = zp.PeerIdentityDescriptor.from_json(identity.descriptor().to_json())
    spill, anchor, tree = zp.EnvelopeQueue(str(tmp_path / "q")), zp.MockAnchor("stress"), zp.MerkleTree()
    inboxes = [queues.Queue() for _ in range(threads)]
    pool = [b"pool-%d" % i for i in range(64)]
    pool_hashes = {zp.merkle_leaf_hash(leaf) for leaf in pool}
    shared, expected = dict(ENVELOPE), zp.SignedEnvelope.from_dict(ENVELOPE)
    made, received, appended, seen_roots, shared_receipts = [], [], [], [], []
    start, deadline = threading.Barrier(threads), time.monotonic() + seconds

    def take(item):
        got, signature = item
        descriptor.verify(got.canonical_signing_bytes(), signature)
        received.append(got.exchange_id)
        return got

    def work(index):
        start.wait()
        try:
            shared_receipts.append(anchor.submit(bytes(32)))
        except ValueError as error:
            assert str(error) == "anchor already submitted: " + "00" * 32
        n, inbox, outbox = 0, inboxes[index], inboxes[(index + 1) % threads]
        while time.monotonic() < deadline:
            exchange_id = f"0190a1b2-c3d4-7e5f-8a9b-{index:04d}{n:08d}"
            mine = envelope(exchange_id, f"peer-{index}")
            made.append(exchange_id)
            outbox.put((mine, identity.sign(mine.canonical_signing_bytes())))
            spill.push(f"class-{index}", mine)
            if (item := inbox.get()) is None:  # the sender has stopped
                spill.drop_item(exchange_id)
                break
            leaf = take(item).to_json().encode()
            appended.append((tree.append(leaf), leaf))
            size = len(tree)
            seen_roots.append((size, seen := tree.root(size)))
            assert tree.inclusion_proof(size - 1, size).root_from(tree.leaf_hash(size - 1)) == seen
            root = (index + 1).to_bytes(2, "big") + n.to_bytes(30, "big")
            assert anchor.verify(anchor.submit(root)).merkle_root_hex == root.hex()
            assert [i.queue_id for i in spill.list() if i.queue_id == exchange_id] == [exchange_id]
            spill.drop_item(exchange_id)
            # One list changing while trees are read from it: every leaf is one the list held.
            # And one dict growing and shrinking by keys the reader skips, under envelopes read from it.
            if index % 2:
                pool.append(pool.pop(n % len(pool)))
                shared[f"extra-{n % 16}"] = [n, [str(n)]]
                shared.pop(f"extra-{(n + 8) % 16}", None)
            else:
                built = zp.MerkleTree(pool)
                assert {built.leaf_hash(i) for i in range(len(built))} <= pool_hashes
                assert zp.SignedEnvelope.from_dict(shared) == expected
            n += 1
        else:
            outbox.put(None)  # this thread sends nothing more
            # What the sender sent after this thread stopped is taken here, once.
            while (item := inbox.get()) is not None:
                take(item)
            return
        outbox.put(None)

    run_threads(work, threads, on_failure=lambda index: inboxes[(index + 1) % threads].put(None))
    # Nothing lost, nothing twice: every envelope made was received once, and every append
    # got an index of its own.
    assert sorted(received) == sorted(made) and len(set(made)) == len(made)
    assert sorted(i for i, _ in appended) == list(range(len(tree)))
    assert len(shared_receipts) == 1 and spill.list() == []
    # The same roots as one thread appending the leaves in the order they were given indices.
    serial = zp.MerkleTree(leaf for _, leaf in sorted(appended))
    assert serial.root() == tree.root()
    assert all(serial.root(size) == root for size, root in seen_roots)
    return len(made)


def test_eight_threads_on_shared_objects_lose_nothing_and_leak_nothing(tmp_path):
    # Short in the main run; the free-threaded pass gives it longer.
    seconds = float(os.environ.get("ZUN_STRESS_SECONDS", "1"))
    stress(tmp_path / "warm", 0.2)
    gc.collect()
    before = sys.getallocatedblocks()
    rounds = stress(tmp_path / "run", seconds)
    gc.collect()
    # An object leaked per envelope would be thousands of blocks.
    assert rounds > 0 and sys.getallocatedblocks() - before < rounds // 4 + 100
