"""Every entry point, called many times, on success and failure paths, must not grow memory.

Python objects leaked by native code are still allocated through the interpreter's
allocator, so tracemalloc sees them exactly; native leaks show up in the resident size.
"""
import gc
import json
import subprocess
import sys
import tracemalloc

import pytest

import zun_protocol as zp

from workloads import WORKLOADS


def _rss_kib():
    with open("/proc/self/statm") as f:
        pages = int(f.read().split()[1])
    import os
    return pages * os.sysconf("SC_PAGE_SIZE") // 1024


def _run(work, rounds):
    for _ in range(rounds):
        try:
            work()
        except (ValueError, TypeError, LookupError, OSError, UnicodeError):
            pass


@pytest.mark.parametrize("name, work", WORKLOADS, ids=[w[0] for w in WORKLOADS])
def test_no_growth(name, work):
    # A costly workload says how many calls it can afford; the limits shrink with the count.
    rounds = getattr(work, "rounds", 5000)
    # Traced from before the warm-up: what was allocated untraced and is freed while we count
    # (a free-threaded interpreter frees some memory only once every thread has moved on) would
    # otherwise not be subtracted, while what replaces it is added.
    tracemalloc.start()
    try:
        _run(work, max(rounds // 10, 100))  # warm caches, interned strings, free lists
        gc.collect()
        traced, resident = [], []
        for _ in range(2):
            before, rss_before = tracemalloc.get_traced_memory()[0], _rss_kib()
            _run(work, rounds // 2)
            gc.collect()
            traced.append(tracemalloc.get_traced_memory()[0] - before)
            resident.append(_rss_kib() - rss_before)
    finally:
        tracemalloc.stop()
    # A leak grows both halves alike; memory the interpreter takes once (a free list, a block of
    # a pickler's memo) grows one of them. One small object kept per call, 16 bytes or more, is
    # more than twice the limit.
    grown, rss_grown = min(traced), min(resident)
    assert grown < 64 * 1024 * rounds // 20000, f"{name}: traced memory grew by {traced} bytes"
    assert rss_grown < 4 * 1024 * rounds // 20000, f"{name}: resident size grew by {resident} KiB"


# From 3.12 on these are immortal and their counts never move; the module built by
# newer headers must still count its references to them on 3.10 and 3.11.
@pytest.mark.skipif(sys.version_info >= (3, 12), reason="immortal singletons: counts cannot move")
@pytest.mark.parametrize("name, work", WORKLOADS, ids=[w[0] for w in WORKLOADS])
def test_singleton_references_balance(name, work):
    singletons = (None, NotImplemented, True, False)
    _run(work, 50)
    gc.collect()
    before = [sys.getrefcount(s) for s in singletons]
    _run(work, 200)
    gc.collect()
    after = [sys.getrefcount(s) for s in singletons]
    # One reference lost or kept per call moves a count by 200; caches move it by a few.
    moved = [b - a for a, b in zip(before, after)]
    assert all(abs(m) < 50 for m in moved), f"{name}: None, NotImplemented, True, False moved by {moved}"


def test_workloads_cover_every_published_callable():
    covered = {name.split(":")[0] for name, _ in WORKLOADS}
    for attr in zp.__all__[1:]:
        assert attr in covered, f"no leak workload for {attr}"


# The item's envelope is copied into the new object after the object is
# allocated; a copy that runs out of memory must free that object and its
# reference to the class. The child may map only a little more than it holds,
# so copying a 64 MiB field (always a fresh mapping) fails. (The item is made
# as its pickle makes it: the queue takes no item file over 16 MiB.)
_COPY_OUT_OF_MEMORY = """
import json, os, resource, sys
from zun_protocol import QueuedItem, SignedEnvelope

item = QueuedItem._rebuild("q", "p", SignedEnvelope.from_dict({**json.loads(sys.argv[2]), "our_signature": "s" * (64 << 20)}))
before = sys.getrefcount(SignedEnvelope)
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
with open("/proc/self/statm") as f:
    mapped = int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
resource.setrlimit(resource.RLIMIT_AS, (mapped + (16 << 20), hard))
try:
    item.envelope
    failed = "copied"
except MemoryError:
    failed = "MemoryError"
finally:
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
print(failed, sys.getrefcount(SignedEnvelope) - before)
"""


def test_copy_that_fails_frees_the_new_object(tmp_path):
    from test_queue import FULL
    done = subprocess.run([sys.executable, "-c", _COPY_OUT_OF_MEMORY, str(tmp_path), json.dumps(FULL)],
                          capture_output=True, text=True, check=True)
    assert done.stdout.split() == ["MemoryError", "0"]
