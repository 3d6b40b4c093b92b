"""The spill queue under failing file systems, killed and concurrent processes
and power cuts: nothing pushed is lost, nothing dropped comes back, no
temporary file is left behind."""

import errno
import fcntl
import json
import os
import pathlib
import random
import shutil
import signal
import struct
import subprocess
import sys
import time

import pytest

import zun_protocol as zp

HERE = pathlib.Path(__file__).resolve().parent
ITEMS = {"a.json", "b.json", "c.json"}
CHILD_ENV = {**os.environ, "PYTHONPATH": str(pathlib.Path(zp.__file__).parent)}
ENVELOPE = {
    "exchange_id": "x", "peer_self": {"class": "body", "type": "peer", "ref": "r"},
    "peer_counterparty": {"class": "route", "type": "https", "ref": "api.example.com"},
    "direction": "outbound", "request_hash": "0" * 64, "response_hash": "1" * 64, "our_signature": "c2ln",
    "opened_at": "2026-04-15T09:00:00Z", "closed_at": "2026-04-15T09:00:01Z", "protocol_hint": "https",
    "counterparty_identifier": "api.example.com",
}


def envelope(exchange_id):
    return zp.SignedEnvelope.from_dict({**ENVELOPE, "exchange_id": exchange_id})


def leftovers(directory):
    return sorted(n for n in os.listdir(directory) if not n.endswith(".json"))


# ---- every file-system call failing in turn --------------------------------------------------


@pytest.fixture(scope="module")
def fault_report(tmp_path_factory):
    if shutil.which("cc") is None:
        pytest.skip("no C compiler (cc) to build the fault-injection shim")
    build = tmp_path_factory.mktemp("shim")
    shim = build / "fault_shim.so"
    subprocess.run(["cc", "-O1", "-shared", "-fPIC", "-o", str(shim), str(HERE / "fault_shim.c"), "-ldl"],
                   check=True)
    done = subprocess.run([sys.executable, "-X", "dev", str(HERE / "queue_fault_child.py"), str(build / "root"),
                           json.dumps(ENVELOPE)],
                          capture_output=True, text=True, timeout=300,
                          # after what is preloaded already: the sanitizer pass's runtimes come first
                          env={**CHILD_ENV, "LD_PRELOAD": " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(shim)]))})
    assert done.returncode == 0, done.stderr
    return {scenario["scenario"]: scenario for scenario in json.loads(done.stdout)}


def expected_path(name, scenario, fault):
    directory = scenario["clean"]["dir"]
    if name == "list":
        return fault["path"]
    if name == "drop":
        return f"{directory}/b.json"
    # Making the directory (its mkdir, the flushes of its parents) fails at the directory;
    # everything after at the item.
    inside = fault["path"] == directory or fault["path"].startswith(directory + "/")
    return directory if fault["call"] == "mkdir" or not inside else f"{directory}/c.json"


@pytest.mark.parametrize("name", ["push_new", "push_again", "push_new_dir", "push_new_named", "push_again_named",
                                  "list", "drop"])
def test_each_call_failing_in_turn(fault_report, name):
    scenario = fault_report[name]
    clean = scenario["clean"]
    assert "error" not in clean and set(clean["after"]) <= ITEMS
    logged = {call for call, _, _ in scenario["calls"]}
    assert scenario["faults"]
    for fault in scenario["faults"]:
        outcome, err = fault["outcome"], fault.get("errno", 0)
        case = (name, fault["call"], fault.get("nth"), err, fault.get("short"))
        assert outcome["fired"] == (fault["call"] in logged), case
        before, after = outcome["before"] or {}, outcome["after"] or {}
        # No temporary file, and every file is whole: as before, or as pushed.
        assert set(after) <= ITEMS, case
        for item, content in after.items():
            assert content in (before.get(item), clean["after"].get(item)), case
        if err == -1:  # someone else removed the entry first: not an error
            assert "error" not in outcome, case
            if name == "list":
                gone = fault["path"].rsplit("/", 1)[1][0]
                assert outcome["result"] == [r for r in clean["result"] if r[0] != gone], case
        elif err in (0, errno.EINTR):  # short transfers and interrupted calls are carried on
            assert "error" not in outcome, (case, outcome.get("error"))
            assert outcome["result"] == clean["result"] and after == clean["after"], case
        elif "error" in outcome:
            text = f"{os.strerror(err)} (os error {err})"
            assert outcome["error"] == f"OSError: queue I/O error at {expected_path(name, scenario, fault)}: {text}", case
        else:  # only the close of a file that was only read may fail unnoticed
            assert (name, fault["call"]) == ("list", "close"), case
            assert outcome["result"] == clean["result"], case
    if name.startswith("push_again"):
        assert clean["after"]["c.json"][1] == 0o600  # the re-pushed item kept its mode


def test_flushes_come_in_order(fault_report):
    def order(name):
        calls = fault_report[name]["calls"]
        directory = fault_report[name]["clean"]["dir"]
        return [(call, "dir" if path == directory else "tmp" if "(deleted)" in note else path.rsplit("/", 1)[1])
                for call, path, note in calls if call in ("fsync", "link", "rename", "unlink", "mkdir")]

    assert order("push_new") == [("fsync", "tmp"), ("link", "c.json"), ("fsync", "dir")]
    assert order("push_again")[:2] == [("fsync", "tmp"), ("link", order("push_again")[1][1])]
    assert order("push_again")[2:] == [("rename", "c.json"), ("fsync", "dir")]
    assert order("drop") == [("unlink", "b.json"), ("fsync", "dir")]
    for name in ("push_new_named", "push_again_named"):  # without O_TMPFILE: a named file, renamed
        assert [step[0] for step in order(name)] == ["fsync", "rename", "fsync"]
        assert order(name)[1:] == [("rename", "c.json"), ("fsync", "dir")]
    # Each new directory is made, then its parent flushed, before the item is written.
    made = [(call, path) for call, path, _ in fault_report["push_new_dir"]["calls"] if call in ("mkdir", "fsync")]
    root = os.path.dirname(os.path.dirname(fault_report["push_new_dir"]["clean"]["dir"]))
    assert made[1:5] == [("mkdir", f"{root}/x"), ("fsync", root), ("mkdir", f"{root}/x/q"), ("fsync", f"{root}/x")]


# ---- items that are not regular files --------------------------------------------------------


@pytest.mark.parametrize("device", ["/dev/zero", "/dev/urandom"])
def test_a_device_is_refused_without_reading_it(tmp_path, device):
    q = zp.EnvelopeQueue(str(tmp_path))
    q.push("trust", envelope("a"))
    os.symlink(device, tmp_path / "b.json")
    with pytest.raises(ValueError) as error:
        q.list()
    assert str(error.value) == "queue JSON error: item file is not a regular file"


# ---- killed pushes ---------------------------------------------------------------------------

def tmpfile_works(directory):
    try:
        os.close(os.open(directory, os.O_TMPFILE | os.O_WRONLY))
        return True
    except OSError:
        return False


PUSHER = """
import sys, zun_protocol as zp
env = zp.SignedEnvelope.from_json(sys.argv[2])
q = zp.EnvelopeQueue(sys.argv[1])
for n in range(10**6):
    q.push("trust", env.__class__.from_dict({**env.to_dict(), "exchange_id": f"{sys.argv[3]}-{n:06d}"}))
    print(n, flush=True)
"""


def test_killed_pushes_lose_nothing_and_leave_nothing(tmp_path):
    rng = random.Random(11)
    q = zp.EnvelopeQueue(str(tmp_path))
    returned = set()
    for trial in range(12):
        child = subprocess.Popen([sys.executable, "-c", PUSHER, str(tmp_path), envelope("x").to_json(), f"k{trial:02d}"],
                                 stdout=subprocess.PIPE, text=True, env=CHILD_ENV)
        child.stdout.readline()  # started pushing
        time.sleep(rng.uniform(0, 0.05))
        child.send_signal(signal.SIGKILL)
        out, _ = child.communicate()
        returned |= {f"k{trial:02d}-{int(n):06d}" for n in out.split()}
    listed = {item.queue_id: item for item in q.list()}
    assert returned <= set(listed)
    assert all(item.envelope.exchange_id == queue_id for queue_id, item in listed.items())
    if tmpfile_works(tmp_path):
        assert leftovers(tmp_path) == []
    else:  # named temporary files, removed by a later list() once long abandoned
        assert all(name.startswith(".spill-") for name in leftovers(tmp_path))


def test_temporary_files_of_long_dead_pushes_are_removed(tmp_path):
    q = zp.EnvelopeQueue(str(tmp_path))
    q.push("trust", envelope("a"))
    dead = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"], capture_output=True, text=True)
    names = {"old-dead": f".spill-{dead.stdout.strip()}-1-0.tmp", "new-dead": f".spill-{dead.stdout.strip()}-1-1.tmp",
             "old-alive": f".spill-{os.getpid()}-1-2.tmp"}
    for key, name in names.items():
        (tmp_path / name).write_text("{")
        if key.startswith("old"):
            os.utime(tmp_path / name, (time.time() - 3600, time.time() - 3600))
    assert [item.queue_id for item in q.list()] == ["a"]
    assert leftovers(tmp_path) == sorted([names["new-dead"], names["old-alive"]])


# ---- several processes on one queue ----------------------------------------------------------

WORKER = """
import sys, time, zun_protocol as zp
role, directory, until, tag = sys.argv[1], sys.argv[2], float(sys.argv[3]), sys.argv[4]
q = zp.EnvelopeQueue(directory)
env = zp.SignedEnvelope.from_json(sys.argv[5])
fields = env.to_dict()
failures = n = 0
while time.time() < until:
    try:
        if role == "push":
            q.push("trust", zp.SignedEnvelope.from_dict({**fields, "exchange_id": f"{tag}-{n:07d}"}))
            print("pushed", f"{tag}-{n:07d}", flush=True)
        elif role == "list":
            q.list()
        else:
            for item in q.list()[:20]:
                q.drop_item(item.queue_id)
                print("dropped", item.queue_id, flush=True)
    except Exception as e:
        failures += 1
        print("failed", repr(e), flush=True)
    n += 1
print("calls", n, flush=True)
"""


def test_several_processes_share_one_queue(tmp_path):
    queue, logs = tmp_path / "queue", tmp_path / "logs"
    logs.mkdir()
    until = time.time() + 4
    roles = [("push", "p1"), ("push", "p2"), ("push", "p3"), ("list", "l"), ("drop", "d1"), ("drop", "d2")]
    children = []
    for role, tag in roles:  # each writes to a file of its own: a full pipe would stall it
        with open(logs / tag, "w") as out:
            children.append(subprocess.Popen([sys.executable, "-c", WORKER, role, str(queue), str(until), tag,
                                              envelope("x").to_json()], stdout=out, env=CHILD_ENV))
    for child in children:
        assert child.wait(timeout=120) == 0
    lines = [line.split(" ", 1) for _, tag in roles for line in (logs / tag).read_text().splitlines()]
    failures = [text for kind, text in lines if kind == "failed"]
    pushed = {text for kind, text in lines if kind == "pushed"}
    dropped = {text for kind, text in lines if kind == "dropped"}
    assert failures == []
    assert pushed and dropped and sum(int(text) for kind, text in lines if kind == "calls") > 0
    # Nothing lost, nothing back after its drop, nothing else left.
    assert {item.queue_id for item in zp.EnvelopeQueue(str(queue)).list()} == pushed - dropped
    assert leftovers(queue) == []


# ---- power cut -------------------------------------------------------------------------------

FS_IOC_SHUTDOWN = 0x8004587D
EXT4_GOING_FLAGS_NOLOGFLUSH = 0x2


def power_cut_unavailable():
    if os.geteuid() != 0:
        return "needs root to make and mount a file system"
    missing = [tool for tool in ("losetup", "mkfs.ext4", "mount", "umount") if shutil.which(tool) is None]
    return f"missing {', '.join(missing)}" if missing else None


class Ext4:
    """A small ext4 file system on a loop device of our own, mounted at `mount`."""

    def __init__(self, base):
        self.image, self.mount, self.device, self.mounted = base / "fs.img", base / "mnt", None, False

    def create(self):
        with open(self.image, "wb") as f:
            f.truncate(64 << 20)
        subprocess.run(["mkfs.ext4", "-q", "-F", str(self.image)], check=True, capture_output=True)
        done = subprocess.run(["losetup", "-f", "--show", str(self.image)], capture_output=True, text=True)
        if done.returncode != 0:
            pytest.skip(f"power-cut simulation skipped: no loop device: {done.stderr.strip()}")
        self.device = done.stdout.strip()
        self.mount.mkdir()
        done = subprocess.run(["mount", "-t", "ext4", self.device, str(self.mount)], capture_output=True, text=True)
        if done.returncode != 0:
            pytest.skip(f"power-cut simulation skipped: cannot mount: {done.stderr.strip()}")
        self.mounted = True

    def cut_power(self):
        """Stops the file system as a power cut would: nothing more reaches the
        device, not even the journal; then mounts what the device holds."""
        # Never anything but our own file system: the ioctl stops whatever holds the path.
        assert self.mounted and os.path.ismount(self.mount)
        fd = os.open(self.mount, os.O_RDONLY)
        try:
            fcntl.ioctl(fd, FS_IOC_SHUTDOWN, struct.pack("I", EXT4_GOING_FLAGS_NOLOGFLUSH))
        finally:
            os.close(fd)
        subprocess.run(["umount", str(self.mount)], check=True, capture_output=True)
        self.mounted = False
        subprocess.run(["mount", "-t", "ext4", self.device, str(self.mount)], check=True, capture_output=True)
        self.mounted = True

    def close(self):
        if self.mounted:
            subprocess.run(["umount", str(self.mount)], capture_output=True)
        if self.device:
            subprocess.run(["losetup", "-d", self.device], capture_output=True)


@pytest.fixture
def ext4(tmp_path):
    reason = power_cut_unavailable()
    if reason:
        pytest.skip(f"power-cut simulation skipped: {reason}")
    fs = Ext4(tmp_path)
    try:
        fs.create()
        yield fs
    finally:
        fs.close()


def test_power_cut_keeps_pushes_and_drops(ext4):
    q = zp.EnvelopeQueue(str(ext4.mount / "queue"))
    ids = [f"0190a1b2-{n:04d}" for n in range(200)]
    for exchange_id in ids:
        q.push("trust", envelope(exchange_id))
    ext4.cut_power()
    items = q.list()
    assert [item.queue_id for item in items] == ids
    assert all(item.envelope == envelope(item.queue_id) for item in items)

    os.sync()
    for exchange_id in ids[:150]:
        q.drop_item(exchange_id)
    ext4.cut_power()
    assert [item.queue_id for item in q.list()] == ids[150:]
    assert leftovers(ext4.mount / "queue") == []
