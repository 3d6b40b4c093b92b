"""EnvelopeQueue against the same queue written in plain Python, and both against the bare
system calls they make (bench/syscall_floor.c, compiled here with cc -O2).

Runs on a tmpfs (/dev/shm when there is one) so that the numbers are the code's, not a disk's,
then push and drop_item once more on an ext4 disk against a durable plain-Python queue, where
the flushes to stable storage cost what they cost."""
import json
import os
import pathlib
import shutil
import subprocess
import tempfile
import time

from _timing import per_call, report

import zun_protocol as zp

HERE = pathlib.Path(__file__).resolve().parent
LIST_ITEMS = 10_000
DROP_ITEMS = 2_000
KEPT = frozenset("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz-_")

ENVELOPE = {
    "exchange_id": "0190a1b2-c3d4-7e5f-8a9b-0c1d2e3f4a5b",
    "peer_self": {"class": "body", "type": "peer", "ref": "21fe31dfa154a261626bf854046fd227"},
    "peer_counterparty": {"class": "route", "type": "https", "ref": "api.example.com"},
    "direction": "outbound",
    "request_hash": "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08",
    "response_hash": "60303ae22b998861bce3b28f33eec1be758a213c86c93c076dbe9f558c11c752",
    "our_signature": "MEUCIQDx3c1y2Xq0l8i2b5pY0Jm2s9mQ1S6f2rV3k0W7b8tE2AIgJ4n5a6Q7r8s9t0u1v2w3x4y5z6A7B8C9D0E1F2G3H4I",
    "opened_at": "2026-04-15T09:00:00.123456Z",
    "closed_at": "2026-04-15T09:00:00.987654Z",
    "protocol_hint": "https",
    "counterparty_identifier": "api.example.com",
}


class PyQueue:
    """The queue in plain Python: one indented JSON file per item, replaced by rename."""

    def __init__(self, directory):
        self.dir = directory

    def _path(self, queue_id):
        return os.path.join(self.dir, "".join(c for c in queue_id if c in KEPT) + ".json")

    def push(self, pair_class, envelope):
        try:
            os.stat(self.dir)
        except OSError:
            os.makedirs(self.dir, exist_ok=True)
        queue_id = envelope["exchange_id"]
        path = self._path(queue_id)
        text = json.dumps({"queue_id": queue_id, "pair_class": pair_class, "envelope": envelope},
                          indent=2, ensure_ascii=False)
        temp = os.path.join(self.dir, f".spill-{os.getpid()}.tmp")
        with open(temp, "w", encoding="utf-8") as f:
            f.write(text)
            self._flush_file(f)
        os.replace(temp, path)
        self._flush_dir()

    def _flush_file(self, f):
        pass

    def _flush_dir(self):
        pass

    def list(self):
        try:
            os.stat(self.dir)
        except OSError:
            return []
        names = sorted(n for n in os.listdir(self.dir) if n.endswith(".json") and len(n) > 5)
        items = []
        for name in names:
            with open(os.path.join(self.dir, name), encoding="utf-8") as f:
                items.append(json.load(f))
        return items

    def drop_item(self, queue_id):
        path = self._path(queue_id)
        try:
            os.stat(path)
        except OSError:
            return
        os.unlink(path)
        self._flush_dir()


class DurablePyQueue(PyQueue):
    """The plain-Python queue made durable: the file flushed before the rename, the directory after
    it and after each unlink."""

    def _flush_file(self, f):
        f.flush()
        os.fsync(f.fileno())

    def _flush_dir(self):
        fd = os.open(self.dir, os.O_RDONLY | os.O_DIRECTORY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)


def disk_root():
    """A scratch directory on an ext4 disk (the system's temporary directory, else the working
    directory), or None when neither is on ext4."""
    for base in (tempfile.gettempdir(), "/var/tmp", os.getcwd()):
        done = subprocess.run(["findmnt", "-no", "FSTYPE", "-T", base], capture_output=True, text=True)
        if done.returncode == 0 and done.stdout.strip() == "ext4":
            return tempfile.mkdtemp(prefix="zun-bench-queue-", dir=base)
    return None


def disk_rows():
    """push and drop_item where flushes cost what a disk makes them cost."""
    root = disk_root()
    if root is None:
        print("\n(no ext4 directory found: the durable rows are skipped)")
        return []
    try:
        envelope = zp.SignedEnvelope.from_dict(ENVELOPE)
        ours_q = zp.EnvelopeQueue(os.path.join(root, "ours"))
        durable_q, plain_q = DurablePyQueue(os.path.join(root, "durable")), PyQueue(os.path.join(root, "plain"))
        for q, e in ((ours_q, envelope), (durable_q, ENVELOPE), (plain_q, ENVELOPE)):
            q.push("commerce", e)
        # A disk's flush time swings with everything else on the machine: the three are timed in
        # turns, keeping each one's best.
        push_ours = push_durable = push_plain = float("inf")
        for _ in range(5):
            push_ours = min(push_ours, per_call(lambda: ours_q.push("commerce", envelope), number=20, repeat=3))
            push_durable = min(push_durable, per_call(lambda: durable_q.push("commerce", ENVELOPE), number=20, repeat=3))
            push_plain = min(push_plain, per_call(lambda: plain_q.push("commerce", ENVELOPE), number=20, repeat=3))

        directory = os.path.join(root, "drop")
        os.mkdir(directory)
        content = open(os.path.join(root, "ours", ENVELOPE["exchange_id"] + ".json"), "rb").read()
        names = ids(100, "0e")
        ours_drop, durable_drop = zp.EnvelopeQueue(directory), DurablePyQueue(directory)

        def prepare():
            for n in names:
                with open(PyQueue(directory)._path(n), "wb") as f:
                    f.write(content)
            os.sync()
            return names

        def dropping(queue):
            def run_all(items):
                for queue_id in items:
                    queue.drop_item(queue_id)
            return run_all

        drop_ours, drop_durable = float("inf"), float("inf")
        for _ in range(5):
            drop_ours = min(drop_ours, best_pass(prepare, dropping(ours_drop), passes=2))
            drop_durable = min(drop_durable, best_pass(prepare, dropping(durable_drop), passes=2))
        return report([
            ("push on ext4", push_ours, push_durable, "durable Python: + os.fsync file, dir", 1.0),
            ("drop_item on ext4", drop_ours, drop_durable, "durable Python: + os.fsync dir", 1.0),
            ("push on ext4, flushes included", push_ours, push_plain, "Python without any fsync", None),
        ], "EnvelopeQueue on an ext4 disk, flushes included (ours / durable plain Python)")
    finally:
        shutil.rmtree(root, ignore_errors=True)


def scratch_root():
    return tempfile.mkdtemp(prefix="zun-bench-queue-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)


def ids(n, prefix):
    return [f"{prefix}{i:08x}-c3d4-7e5f-8a9b-0c1d2e3f4a5b" for i in range(n)]


def fill(directory, exchange_ids):
    queue = zp.EnvelopeQueue(directory)
    for exchange_id in exchange_ids:
        queue.push("commerce", zp.SignedEnvelope.from_dict({**ENVELOPE, "exchange_id": exchange_id}))


def best_pass(prepare, run, passes=7):
    """Best time per item of `run(items)` over fresh `prepare()` results."""
    best = float("inf")
    for _ in range(passes):
        items = prepare()
        start = time.perf_counter()
        run(items)
        best = min(best, (time.perf_counter() - start) / len(items))
    return best


def drop_times(root):
    directory = os.path.join(root, "drop")
    queue = zp.EnvelopeQueue(directory)
    names = ids(DROP_ITEMS, "0d")
    paths = [PyQueue(directory)._path(n) for n in names]

    def prepare():
        fill(directory, names)
        return names

    def ours(items):
        drop = queue.drop_item
        for queue_id in items:
            drop(queue_id)

    def bare(_):
        stat, unlink = os.stat, os.unlink
        for path in paths:
            stat(path)
            unlink(path)

    ours_best, bare_best = float("inf"), float("inf")
    for _ in range(3):  # interleaved, so that drift hits both alike
        ours_best = min(ours_best, best_pass(prepare, ours, passes=3))
        bare_best = min(bare_best, best_pass(prepare, bare, passes=3))
    return ours_best, bare_best


class SyscallFloor:
    """bench/syscall_floor.c, built once; each measurement keeps the best seen, so that
    measuring before and after the Python timings evens out a busy machine."""

    def __init__(self, root, item_file, list_dir):
        self.build = tempfile.mkdtemp(prefix="zun-floor-")
        self.program = os.path.join(self.build, "syscall_floor")
        subprocess.run(["cc", "-O2", "-o", self.program, str(HERE / "syscall_floor.c")], check=True)
        self.push_dir = os.path.join(root, "floor")
        os.mkdir(self.push_dir)
        self.item_file, self.list_dir = item_file, list_dir
        self.push, self.list = float("inf"), float("inf")

    def _run(self, *args):
        done = subprocess.run([self.program, *args], check=True, capture_output=True, text=True)
        return float(done.stdout) * 1e-9

    def measure(self):
        self.push = min(self.push, self._run("push", self.push_dir, self.item_file, "2000"))
        self.list = min(self.list, self._run("list", self.list_dir, "10"))

    def close(self):
        shutil.rmtree(self.build, ignore_errors=True)


def run():
    root, floor = scratch_root(), None
    try:
        envelope = zp.SignedEnvelope.from_dict(ENVELOPE)
        ours_push_q = zp.EnvelopeQueue(os.path.join(root, "push-ours"))
        peer_push_q = PyQueue(os.path.join(root, "push-peer"))
        ours_push_q.push("commerce", envelope)
        peer_push_q.push("commerce", ENVELOPE)
        item_file = os.path.join(root, "push-ours", ENVELOPE["exchange_id"] + ".json")
        assert open(item_file, "rb").read() == \
            open(os.path.join(root, "push-peer", ENVELOPE["exchange_id"] + ".json"), "rb").read()

        list_dir = os.path.join(root, "list")
        fill(list_dir, ids(LIST_ITEMS, "01"))
        ours_list_q, peer_list_q = zp.EnvelopeQueue(list_dir), PyQueue(list_dir)
        assert len(ours_list_q.list()) == len(peer_list_q.list()) == LIST_ITEMS

        floor = SyscallFloor(root, item_file, list_dir)
        floor.measure()
        push_ours = per_call(lambda: ours_push_q.push("commerce", envelope))
        push_peer = per_call(lambda: peer_push_q.push("commerce", ENVELOPE))
        list_ours = per_call(ours_list_q.list, repeat=5)
        list_peer = per_call(peer_list_q.list, repeat=5)
        drop_ours, drop_bare = drop_times(root)
        floor.measure()
        push_floor, list_floor = floor.push, floor.list

        rows = report([
            ("push", push_ours, push_peer, "json.dumps + open/write + os.replace", 0.5),
            (f"list() of {LIST_ITEMS:,} items", list_ours, list_peer, "os.listdir + json.load each", 0.25),
            ("drop_item", drop_ours, drop_bare, "bare os.stat + os.unlink", 1.2),
        ], "EnvelopeQueue (ours / plain Python, lower is better)")
        return rows + report([
            ("push", push_ours, push_floor, "C: stat, open, write, close, rename", None),
            (f"list() of {LIST_ITEMS:,} items", list_ours, list_floor, "C: opendir/readdir, open/read/close", None),
            (f"list() per item", list_ours / LIST_ITEMS, list_floor / LIST_ITEMS, "the same, per item", None),
        ], "EnvelopeQueue against the bare system calls (ours / C floor)") + disk_rows()
    finally:
        if floor is not None:
            floor.close()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    run()
