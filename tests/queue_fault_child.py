"""Runs the queue's operations under tests/fault_shim.c (LD_PRELOAD), failing
each file-system call in turn, and prints what happened as JSON for
tests/test_queue_durability.py to judge. Usage: queue_fault_child.py <root> <envelope JSON>"""
import ctypes
import errno
import json
import os
import shutil
import sys

import zun_protocol as zp

shim = ctypes.CDLL(None)
root, ENVELOPE = sys.argv[1], json.loads(sys.argv[2])


def envelope(exchange_id):
    return zp.SignedEnvelope.from_dict({**ENVELOPE, "exchange_id": exchange_id})


def setup_items(q, ids):
    for i in ids:
        q.push("old", envelope(i))


def pushed(q, ids, mode=None):
    setup_items(q, ids)
    if mode is not None:
        os.chmod(os.path.join(q.dir, "c.json"), mode)


# name -> (queue dir below root, set-up, operation); names ending in "_named" run
# on a file system that refuses O_TMPFILE.
SCENARIOS = {
    "push_new": ("q", lambda q: pushed(q, "ab"), lambda q: q.push("new", envelope("c"))),
    "push_again": ("q", lambda q: pushed(q, "abc", 0o600), lambda q: q.push("new", envelope("c"))),
    "push_new_dir": ("x/q", lambda q: None, lambda q: q.push("new", envelope("c"))),
    "push_new_named": ("q", lambda q: pushed(q, "ab"), lambda q: q.push("new", envelope("c"))),
    "push_again_named": ("q", lambda q: pushed(q, "abc", 0o600), lambda q: q.push("new", envelope("c"))),
    "list": ("q", lambda q: pushed(q, "abc"), lambda q: [(i.queue_id, i.pair_class) for i in q.list()]),
    "drop": ("q", lambda q: pushed(q, "abc"), lambda q: q.drop_item("b")),
}


def snapshot(directory):
    if not os.path.isdir(directory):
        return None
    state = {}
    for name in sorted(os.listdir(directory)):
        path = os.path.join(directory, name)
        with open(path, "rb") as f:
            state[name] = [f.read().decode(), os.stat(path).st_mode & 0o777]
    return state


def run(name, fault=None, log=None):
    subdir, setup, operation = SCENARIOS[name]
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(root)
    q = zp.EnvelopeQueue(os.path.join(root, subdir))
    setup(q)
    before = snapshot(q.dir)
    shim.zun_fault_refuse_tmpfile(name.endswith("_named"))
    shim.zun_fault_watch(root.encode(), log.encode() if log else None)
    if fault:
        shim.zun_fault_arm(fault["call"].encode(), fault.get("nth", 0), fault.get("errno", 0), fault.get("short", 0))
    try:
        outcome = {"result": operation(q)}
    except (OSError, ValueError) as e:
        outcome = {"error": f"{type(e).__name__}: {e}"}
    fired = bool(shim.zun_fault_fired())
    shim.zun_fault_arm(b"", 0, 0, 0)
    shim.zun_fault_watch(b"", None)
    shim.zun_fault_refuse_tmpfile(0)
    return {**outcome, "before": before, "after": snapshot(q.dir), "dir": q.dir, "fired": fired}


report = []
log_path = os.path.join(os.path.dirname(root), "calls.log")
for name in SCENARIOS:
    open(log_path, "w").close()
    clean = run(name, log=log_path)
    with open(log_path) as f:
        calls = [line.rstrip("\n").split(" ", 2) + [""] for line in f]
    calls = [(call, path, note) for call, path, note, *_ in calls]
    report.append({"scenario": name, "clean": clean, "calls": calls, "faults": []})
    counts = {}
    for index, (call, path, note) in enumerate(calls):
        counts[call] = counts.get(call, 0) + 1
        errors = [errno.ENOSPC, errno.EIO, errno.EINTR]
        if (name, call) in (("list", "open"), ("drop", "unlink")):
            errors.append(-1)  # the item vanishes just before the call
        for err in errors:
            fault = {"call": call, "nth": counts[call], "errno": err}
            report[-1]["faults"].append({**fault, "index": index, "path": path, "outcome": run(name, fault)})
    for call in ("read", "write"):
        fault = {"call": call, "short": 3}
        report[-1]["faults"].append({**fault, "index": -1, "path": "", "outcome": run(name, fault)})
print(json.dumps(report))
