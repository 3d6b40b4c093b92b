"""MerkleTree against the bare hashing it is made of (bench/sha256_floor.c, compiled here with
cc -O2 -lcrypto), a plain-Python hashlib tree, pymerkle, and a plain-Python proof verifier; and the
memory a tree holds per leaf, from the resident size of a fresh process.

Times are the CPU time of the calling thread, on both sides (the C floor reads its own thread's
clock): all of this work runs on that thread, and on a shared machine the wall clock also counts
the time other processes had the core.

    python bench/bench_merkle.py            the rows
    python bench/bench_merkle.py --memory   only the memory of trees of 1 and 10 million leaves"""
import hashlib
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

from _timing import per_call, report

import zun_protocol as zp

HERE = pathlib.Path(__file__).resolve().parent
N = 1_000_000
LEAF_SIZE = 100
PYMERKLE_N = 100_000


def cpu_per_call(stmt, **timing):
    return per_call(stmt, clock=time.thread_time, **timing)
MEMORY_BUDGET = 80  # bytes per leaf


def make_leaves(n):
    """n leaves of 100 bytes: leaf i holds (i + k) & 0xff, as the C floor makes them."""
    pattern = bytes(range(256)) * 2
    return [pattern[i % 256:i % 256 + LEAF_SIZE] for i in range(n)]


def py_root(leaves):
    """The tree as users write it in plain Python: hash the leaves, then pair each level."""
    sha256 = hashlib.sha256
    level = [sha256(b"\0" + leaf).digest() for leaf in leaves]
    if not level:
        return sha256(b"").digest()
    while len(level) > 1:
        paired = [sha256(b"\1" + level[i] + level[i + 1]).digest() for i in range(0, len(level) - 1, 2)]
        if len(level) % 2:
            paired.append(level[-1])
        level = paired
    return level[0]


def py_verify_inclusion(index, size, leaf, path, root):
    """RFC 9162 2.1.3.2 in plain Python, as inclusion-only verifiers are written."""
    sha256 = hashlib.sha256
    if index >= size:
        raise ValueError("index")
    fn, sn, r = index, size - 1, sha256(b"\0" + leaf).digest()
    for p in path:
        if sn == 0:
            raise ValueError("too long")
        if fn & 1 or fn == sn:
            r = sha256(b"\1" + p + r).digest()
            while not fn & 1 and fn:
                fn, sn = fn >> 1, sn >> 1
        else:
            r = sha256(b"\1" + r + p).digest()
        fn, sn = fn >> 1, sn >> 1
    if sn != 0 or r != root:
        raise ValueError("mismatch")


def in_turns(ours, peer, rounds=3, **timing):
    """Best seconds per call of each, timed in turns so that drift on a shared machine hits both."""
    best_ours = best_peer = float("inf")
    for _ in range(rounds):
        best_ours = min(best_ours, cpu_per_call(ours, **timing))
        best_peer = min(best_peer, cpu_per_call(peer, **timing))
    return best_ours, best_peer


class HashFloor:
    """bench/sha256_floor.c, built once; keeps the best time seen per interface."""

    def __init__(self):
        self.build = tempfile.mkdtemp(prefix="zun-floor-")
        self.program = os.path.join(self.build, "sha256_floor")
        subprocess.run(["cc", "-O2", "-o", self.program, str(HERE / "sha256_floor.c"), "-lcrypto"], check=True)
        self.best, self.root = {}, None

    def measure(self, interface):
        done = subprocess.run([self.program, interface, str(N), str(LEAF_SIZE), "3"], check=True,
                              capture_output=True, text=True)
        root, nanoseconds = done.stdout.split()
        self.root = bytes.fromhex(root)
        self.best[interface] = min(self.best.get(interface, float("inf")), float(nanoseconds) * 1e-9)

    def close(self):
        shutil.rmtree(self.build, ignore_errors=True)


MEMORY_CHILD = """
import sys, zun_protocol as zp
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096
n = int(sys.argv[1])
leaves = (i.to_bytes(8, "little") * 4 for i in range(n))
before = rss()
tree = zp.MerkleTree(leaves)
print((rss() - before) / n, tree.size)
"""


def memory_per_leaf(n):
    """Resident bytes per leaf that a tree of n leaves adds to a fresh process (the leaves come
    from a generator, so that only the tree stays)."""
    done = subprocess.run([sys.executable, "-c", MEMORY_CHILD, str(n)], check=True, capture_output=True, text=True)
    per_leaf, size = done.stdout.split()
    assert int(size) == n
    return float(per_leaf)


def memory_rows():
    return [(f"memory per leaf, {n:,} leaves", memory_per_leaf(n), MEMORY_BUDGET, "80-byte budget", 1.0, "bytes")
            for n in (N, 10 * N)]


def run():
    leaves = make_leaves(N)
    floor = HashFloor()
    try:
        ours = plain = float("inf")
        for _ in range(4):  # in turns, so that drift on a shared machine hits all alike
            floor.measure("lowlevel")
            ours = min(ours, cpu_per_call(lambda: zp.MerkleTree(leaves).root(), number=1, repeat=2))
            plain = min(plain, cpu_per_call(lambda: py_root(leaves), number=1, repeat=1))
        floor.measure("evp")
        assert zp.MerkleTree(leaves).root() == floor.root == py_root(leaves)

        import pymerkle

        few = leaves[:PYMERKLE_N]

        def with_pymerkle():
            tree = pymerkle.InmemoryTree(algorithm="sha256")
            tree.append_entries(few)
            return tree.get_root()

        assert with_pymerkle() == zp.MerkleTree(few).root()
        ours_few, pymerkle_few = in_turns(lambda: zp.MerkleTree(few).root(), with_pymerkle, rounds=2,
                                          number=1, repeat=2)

        tree, index = zp.MerkleTree(leaves), 123_456
        root, proof = tree.root(), tree.inclusion_proof(index)
        path = proof.hashes

        def py_verify():
            py_verify_inclusion(index, N, leaves[index], path, root)

        make, py_verify_1 = in_turns(lambda: tree.inclusion_proof(index), py_verify)
        verify, py_verify_2 = in_turns(lambda: proof.verify(leaves[index], root), py_verify)
        rows = [
            ("root of 1,000,000 leaves of 100 B", ours, floor.best["lowlevel"],
             "C: SHA256_Init/Update/Final, 2n - 1 hashes", 1.25),
            ("root of 1,000,000 leaves of 100 B", ours, floor.best["evp"], "C: the same through EVP", None),
            ("root of 1,000,000 leaves of 100 B", ours, plain, "plain Python hashlib tree", 0.35),
            ("root of 100,000 leaves of 100 B", ours_few, pymerkle_few, "pymerkle 7.0.0 InmemoryTree", None),
            ("inclusion proof, 1,000,000 leaves: make", make, py_verify_1, "plain Python verifier", 0.25),
            ("inclusion proof, 1,000,000 leaves: verify", verify, py_verify_2, "plain Python verifier", 0.25),
        ]
    finally:
        floor.close()
    report([row[:5] for row in rows], "MerkleTree (ours / peer, lower is better)")
    memory = memory_rows()
    for case, per_leaf, budget, _, _, _ in memory:
        print(f"{case}: {per_leaf:.1f} bytes (budget {budget})")
    return rows + memory


if __name__ == "__main__":
    if "--memory" in sys.argv:
        for case, per_leaf, *_ in memory_rows():
            print(f"{case}: {per_leaf:.1f} bytes")
    else:
        run()
