"""Merkle batches: known answers from published test data, a differential test against the RFC 9162
tree written out plainly below, the refusals, and the record forms of the proofs."""
import base64
import functools
import hashlib
import json
import pathlib
import random
import threading

import pytest

import zun_protocol as zp
from zun_protocol import ConsistencyProof, InclusionProof, MerkleTree

pytestmark = pytest.mark.portable

DATA = pathlib.Path(__file__).resolve().parent / "data" / "merkle"
PREFIX = "merkle proof does not verify: "


def load(name):
    return json.loads((DATA / name).read_text())


def sha256(data):
    return hashlib.sha256(data).digest()


# ---- the tree as RFC 9162 2.1 writes it, and its two verifiers ----------------------------------

def leaf_hash(data):
    return sha256(b"\0" + data)


def node_hash(left, right):
    return sha256(b"\1" + left + right)


def split(n):
    return 1 << ((n - 1).bit_length() - 1)


class Reference:
    def __init__(self, hashes):
        self.hashes = hashes

    @functools.lru_cache(maxsize=None)
    def mth(self, lo, hi):
        if hi == lo:
            return sha256(b"")
        if hi - lo == 1:
            return self.hashes[lo]
        k = split(hi - lo)
        return node_hash(self.mth(lo, lo + k), self.mth(lo + k, hi))

    def path(self, m, lo, hi):
        if hi - lo <= 1:
            return []
        k = split(hi - lo)
        if m < k:
            return self.path(m, lo, lo + k) + [self.mth(lo + k, hi)]
        return self.path(m - k, lo + k, hi) + [self.mth(lo, lo + k)]

    def subproof(self, m, lo, hi, whole):
        if m == hi - lo:
            return [] if whole else [self.mth(lo, hi)]
        k = split(hi - lo)
        if m <= k:
            return self.subproof(m, lo, lo + k, whole) + [self.mth(lo + k, hi)]
        return self.subproof(m - k, lo + k, hi, False) + [self.mth(lo, lo + k)]


def shift_until(fn, sn, stop):
    while not stop(fn) and fn:
        fn, sn = fn >> 1, sn >> 1
    return fn, sn


def reference_inclusion(index, size, leaf, path, root):
    if index >= size:
        return False
    fn, sn, r = index, size - 1, leaf
    for p in path:
        if sn == 0:
            return False
        if fn & 1 or fn == sn:
            r = node_hash(p, r)
            if not fn & 1:
                fn, sn = shift_until(fn, sn, lambda f: f & 1)
        else:
            r = node_hash(r, p)
        fn, sn = fn >> 1, sn >> 1
    return sn == 0 and r == root


def reference_consistency(first, second, path, first_hash, second_hash):
    if first == 0 or first > second:
        return False
    if first == second:
        return not path and first_hash == second_hash
    if not path:
        return False
    if first & (first - 1) == 0:
        path = [first_hash] + path
    fn, sn = first - 1, second - 1
    while fn & 1:
        fn, sn = fn >> 1, sn >> 1
    fr = sr = path[0]
    for c in path[1:]:
        if sn == 0:
            return False
        if fn & 1 or fn == sn:
            fr, sr = node_hash(c, fr), node_hash(c, sr)
            if not fn & 1:
                fn, sn = shift_until(fn, sn, lambda f: f & 1)
        else:
            sr = node_hash(sr, c)
        fn, sn = fn >> 1, sn >> 1
    return sn == 0 and fr == first_hash and sr == second_hash


def verifies(check):
    try:
        check()
        return True
    except ValueError as error:
        assert str(error).startswith(PREFIX)
        return False


# ---- known answers ------------------------------------------------------------------------------

def test_rfc6962_vectors():
    data = load("rfc6962_vectors.json")
    leaves = [bytes.fromhex(leaf) for leaf in data["leaves"]]
    tree = MerkleTree(leaves)
    assert MerkleTree().root() == tree.root(0) == sha256(b"")
    for size, root in enumerate(data["roots"], 1):
        assert tree.root(size).hex() == MerkleTree(leaves[:size]).root().hex() == root
    for case in data["inclusion_proofs"]:
        index, size = case["leaf"] - 1, case["size"]
        proof = tree.inclusion_proof(index, size)
        assert [h.hex() for h in proof.hashes] == case["proof"]
        proof.verify(leaves[index], bytes.fromhex(data["roots"][size - 1]))
    for case in data["consistency_proofs"]:
        old, new = case["size1"], case["size2"]
        proof = tree.consistency_proof(old, new)
        assert [h.hex() for h in proof.hashes] == case["proof"]
        proof.verify(tree.root(old), tree.root(new))


def test_cctv_vectors():
    entries = load("cctv_merkle_tree.json")
    tree = MerkleTree(e["leaf_data"].encode() for e in entries)
    for size, entry in enumerate(entries, 1):
        assert base64.b64encode(tree.leaf_hash(size - 1)).decode() == entry["leaf_hash"]
        assert base64.b64encode(tree.root(size)).decode() == entry["root_hash"]

    def decoded(case, *keys):
        return [base64.b64decode(case[k]) if isinstance(case[k], str) else [base64.b64decode(h) for h in case[k]]
                for k in keys]

    for case in load("cctv_inclusion_valid.json"):
        leaf, root, path = decoded(case, "leaf_hash", "root_hash", "inclusion_path")
        assert tree.inclusion_proof(case["leaf_index"], case["tree_size"]).hashes == path
        InclusionProof(case["leaf_index"], case["tree_size"], path).verify_leaf_hash(leaf, root)
    for case in load("cctv_inclusion_invalid.json"):
        leaf, root, path = decoded(case, "leaf_hash", "root_hash", "inclusion_path")
        assert not verifies(lambda: InclusionProof(case["leaf_index"], case["tree_size"], path).verify_leaf_hash(leaf, root))
    for case in load("cctv_consistency_valid.json") + load("cctv_consistency_invalid.json"):
        old_root, new_root, path = decoded(case, "old_root", "new_root", "consistency_path")
        ok = verifies(lambda: ConsistencyProof(case["old_size"], case["new_size"], path).verify(old_root, new_root))
        # An old tree of no leaves has no proof here, where the data accepts any.
        assert ok == ("comment" not in case and case["old_size"] > 0)
        if ok and case["old_size"] < case["new_size"]:
            assert tree.consistency_proof(case["old_size"], case["new_size"]).hashes == path


# ---- against the reference ----------------------------------------------------------------------

def mutations(hashes):
    """The proof with one bit flipped in each hash, each hash removed, and a hash added."""
    for i, h in enumerate(hashes):
        yield hashes[:i] + [bytes([h[0] ^ 8]) + h[1:]] + hashes[i + 1:]
        yield hashes[:i] + hashes[i + 1:]
    yield hashes + [sha256(b"extra")]
    yield [sha256(b"extra")] + hashes


@pytest.mark.parametrize("size", [1, 2, 3, 5, 8, 13, 64, 255, 1000, 2049, random.Random(17).randrange(2050, 4000)])
def test_against_reference(size):
    rng = random.Random(size)
    leaves = [rng.randbytes(rng.randrange(0, 80)) for _ in range(size)]
    hashes = [leaf_hash(x) for x in leaves]
    ref, tree = Reference(tuple(hashes)), MerkleTree(leaves[: size // 2])
    tree.extend(iter(leaves[size // 2:]))
    assert [tree.leaf_hash(i) for i in range(size)] == hashes
    assert MerkleTree.from_leaf_hashes(hashes).root() == tree.root() == ref.mth(0, size)
    assert all(tree.root(k) == ref.mth(0, k) for k in range(size + 1))
    root = tree.root()
    # Every index and old size; the full set of mutations on a sample of them.
    for i in range(size):
        proof = tree.inclusion_proof(i, size)
        assert proof.hashes == ref.path(i, 0, size)
        assert proof.root_from(hashes[i]) == root
        proof.verify(leaves[i], root)
        if rng.random() < 40 / size:
            variants = [(i, size, h) for h in mutations(proof.hashes)]
            variants += [(i + d, size + e, proof.hashes) for d in (-1, 0, 1) for e in (-1, 0, 1) if (d, e) != (0, 0)]
            for index, n, path in variants:
                if index >= 0 and n >= 0:
                    ours = verifies(lambda: InclusionProof(index, n, path).verify_leaf_hash(hashes[i], root))
                    assert ours == reference_inclusion(index, n, hashes[i], path, root), (index, n, len(path))
    for old in range(1, size + 1):
        proof = tree.consistency_proof(old, size)
        assert proof.hashes == ref.subproof(old, 0, size, True)
        old_root = tree.root(old)
        proof.verify(old_root, root)
        if rng.random() < 40 / size:
            variants = [(old, size, h) for h in mutations(proof.hashes)]
            variants += [(old + d, size + e, proof.hashes) for d in (-1, 0, 1) for e in (-1, 0, 1) if (d, e) != (0, 0)]
            for m, n, path in variants:
                if m >= 0 and n >= 0:
                    ours = verifies(lambda: ConsistencyProof(m, n, path).verify(old_root, root))
                    assert ours == reference_consistency(m, n, path, old_root, root), (m, n, len(path))


# ---- refusals -----------------------------------------------------------------------------------

TREE = MerkleTree([b"a", b"b", b"c", b"d", b"e"])
ROOT = TREE.root()
H = [leaf_hash(x) for x in (b"a", b"b", b"c", b"d", b"e")]


@pytest.mark.parametrize("call, reason", [
    (lambda: InclusionProof(5, 5, []).verify(b"a", ROOT), "leaf index 5 is not below the tree size 5"),
    (lambda: InclusionProof(0, 5, [bytes(32), bytes(31)]), "hashes[1] is 31 bytes, not 32"),
    (lambda: TREE.inclusion_proof(0).verify(b"a", ROOT[:31]), "root is 31 bytes, not 32"),
    (lambda: TREE.inclusion_proof(0).verify_leaf_hash(b"a", ROOT), "leaf_hash is 1 bytes, not 32"),
    (lambda: InclusionProof(0, 5, TREE.inclusion_proof(0).hashes + [ROOT]).verify(b"a", ROOT),
     "too many hashes: the leaf at index 0 of a tree of 5 leaves has a proof of 3 hashes, not 4"),
    (lambda: InclusionProof(4, 5, []).verify(b"e", ROOT),
     "too few hashes: the leaf at index 4 of a tree of 5 leaves has a proof of 1 hash, not 0"),
    (lambda: TREE.inclusion_proof(1).verify(b"a", ROOT), "the root computed from the proof is not the given root"),
    (lambda: InclusionProof(2**64, 5, []), "leaf_index 18446744073709551616 is not between 0 and 2**64 - 1"),
    (lambda: ConsistencyProof(0, 5, []).verify(ROOT, ROOT), "old size 0 has no consistency proof"),
    (lambda: ConsistencyProof(6, 5, []).verify(ROOT, ROOT), "old size 6 is greater than new size 5"),
    (lambda: ConsistencyProof(5, 5, [ROOT]).verify(ROOT, ROOT),
     "too many hashes: a tree of 5 leaves grown to 5 has a proof of 0 hashes, not 1"),
    (lambda: ConsistencyProof(5, 5, []).verify(TREE.root(4), ROOT), "equal sizes with different roots"),
    (lambda: ConsistencyProof(3, 5, []).verify(TREE.root(3), ROOT),
     "too few hashes: a tree of 3 leaves grown to 5 has a proof of 4 hashes, not 0"),
    (lambda: TREE.consistency_proof(3).verify(TREE.root(2), ROOT),
     "the old root computed from the proof is not the given old root"),
    (lambda: TREE.consistency_proof(3).verify(TREE.root(3), TREE.root(4)),
     "the new root computed from the proof is not the given new root"),
    (lambda: TREE.consistency_proof(4).verify(bytes(33), ROOT), "old_root is 33 bytes, not 32"),
])
def test_proof_refusals(call, reason):
    with pytest.raises(ValueError) as info:
        call()
    assert type(info.value) is ValueError and info.value.args == (PREFIX + reason,)


class Unprintable(int):
    def __str__(self):
        raise RuntimeError("not for messages")


@pytest.mark.parametrize("call, message", [
    (lambda: TREE.leaf_hash(5), "leaf index 5 is out of range for a tree of 5 leaves"),
    (lambda: TREE.leaf_hash(-1), "leaf index -1 is out of range for a tree of 5 leaves"),
    (lambda: TREE.root(6), "size 6 is out of range for a tree of 5 leaves"),
    (lambda: TREE.inclusion_proof(3, 3), "leaf index 3 is out of range for a tree of 3 leaves"),
    (lambda: TREE.inclusion_proof(0, 2**64), "size 18446744073709551616 is out of range for a tree of 5 leaves"),
    (lambda: TREE.consistency_proof(0), "old size 0 is out of range 1 to 5"),
    (lambda: TREE.consistency_proof(4, 3), "old size 4 is out of range 1 to 3"),
    (lambda: MerkleTree().consistency_proof(0), "a tree of 0 leaves has no consistency proof"),
    # The int's own value, whatever its class prints, in hex past the interpreter's decimal limit.
    (lambda: TREE.leaf_hash(Unprintable(7)), "leaf index 7 is out of range for a tree of 5 leaves"),
    (lambda: TREE.root(10**5000), f"size {hex(10**5000)} is out of range for a tree of 5 leaves"),
])
def test_tree_refuses_what_it_does_not_have(call, message):
    with pytest.raises(IndexError) as info:
        call()
    assert info.value.args == (message,)


@pytest.mark.parametrize("call, message", [
    (lambda: MerkleTree(b"ab"), "argument 'leaves': 'bytes' object cannot be cast as 'Iterable'"),
    (lambda: MerkleTree.from_leaf_hashes(H[0]), "argument 'hashes': 'bytes' object cannot be cast as 'Iterable'"),
    (lambda: InclusionProof(0, 2, H[0]), "argument 'hashes': 'bytes' object cannot be cast as 'Sequence'"),
    (lambda: MerkleTree(5), "argument 'leaves': 'int' object cannot be cast as 'Iterable'"),
    (lambda: MerkleTree([b"a", bytearray(b"b")]), "argument 'leaves': 'bytearray' object cannot be cast as 'bytes'"),
    (lambda: TREE.leaf_hash("0"), "argument 'index': 'str' object cannot be cast as 'int'"),
    (lambda: MerkleTree.of_envelopes([TREE]), "argument 'envelopes': 'MerkleTree' object cannot be cast as 'SignedEnvelope'"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("size", [4096, 4097, 16384, 70000])
def test_large_leaves(size):
    # Leaves past 4 KiB are hashed from their objects rather than copied, and from 16 KiB without
    # the interpreter lock: every way in must hash the same bytes.
    leaves = [bytes([i]) * (size + i) for i in range(3)]
    expected = Reference([leaf_hash(x) for x in leaves])
    appended = MerkleTree()
    for leaf in leaves:
        appended.append(leaf)
    for tree in (MerkleTree(leaves), MerkleTree(iter(leaves)), appended):
        assert [tree.leaf_hash(i) for i in range(3)] == [zp.merkle_leaf_hash(x) for x in leaves] == expected.hashes
        assert tree.root() == expected.mth(0, 3)
    tree.inclusion_proof(2).verify(leaves[2], expected.mth(0, 3))


def test_roots_past_the_first_block_of_leaf_hashes():
    hashes = [sha256(i.to_bytes(4, "big")) for i in range(33_000)]
    tree, expected = MerkleTree.from_leaf_hashes(hashes), Reference(hashes)
    for size in (16_383, 16_384, 16_385, 32_768, 32_769, 33_000):
        assert tree.root(size) == expected.mth(0, size)


def test_leaf_hashes_must_be_32_bytes():
    with pytest.raises(ValueError, match=r"^hashes\[1\] must be exactly 32 bytes$"):
        MerkleTree.from_leaf_hashes([H[0], H[1][:31]])


# ---- the tree as an object ----------------------------------------------------------------------

def test_tree_surface():
    tree = MerkleTree(None)
    assert (tree.append(b"a"), tree.append(leaf=b"b"), len(tree), tree.size) == (0, 1, 2, 2)
    tree.extend([b"c"])
    assert repr(tree) == f'MerkleTree(size=3, root="{tree.root().hex()}")'
    assert zp.merkle_leaf_hash(b"c") == tree.leaf_hash(2) == leaf_hash(b"c")
    other = MerkleTree([b"a", b"b", b"c"])
    assert tree != other and tree.root() == other.root() and len({tree, other}) == 2
    with pytest.raises(AttributeError):
        tree.size = 1


def test_extend_keeps_the_leaves_read_before_a_failure():
    def leaves(n):
        for i in range(n):
            yield i.to_bytes(4, "big")
        yield "not bytes"

    tree = MerkleTree()
    for n in (3, 20_000):  # within one chunk, and across several
        with pytest.raises(TypeError):
            tree.extend(leaves(n))
    assert tree.root() == MerkleTree([i.to_bytes(4, "big") for n in (3, 20_000) for i in range(n)]).root()


def test_threads_extend_one_tree():
    tree, start = MerkleTree(), threading.Barrier(4)
    chunks = [[bytes([k]) * 40 + i.to_bytes(4, "big") for i in range(30_000)] for k in range(4)]

    def work(chunk):
        start.wait()
        tree.extend(chunk)
        tree.root(1000)

    threads = [threading.Thread(target=work, args=(c,)) for c in chunks]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    hashes = [tree.leaf_hash(i) for i in range(len(tree))]
    assert sorted(hashes) == sorted(leaf_hash(x) for c in chunks for x in c)
    assert tree.root() == MerkleTree.from_leaf_hashes(hashes).root()


def test_envelope_batch_is_anchored_and_proven():
    base = {"peer_self": {"class": "body", "type": "peer", "ref": "p"}, "direction": "inbound",
            "request_hash": "h", "our_signature": "s", "opened_at": "2026-04-15T09:00:00+02:00",
            "protocol_hint": "quic", "counterparty_identifier": "c"}
    envelopes = [zp.SignedEnvelope.from_dict({**base, "exchange_id": f"ex-{i}"}) for i in range(40)]
    tree = MerkleTree.of_envelopes(iter(envelopes))
    assert tree.root() == MerkleTree(e.to_json().encode() for e in envelopes).root()
    receipt = zp.MockAnchor("batch").submit(tree.root())
    proof = InclusionProof.from_json(tree.inclusion_proof(7).to_json())
    proof.verify(envelopes[7].to_json().encode(), bytes.fromhex(receipt.merkle_root_hex))


# ---- the proofs as records ----------------------------------------------------------------------

def test_proof_records():
    inclusion, consistency = TREE.inclusion_proof(2, 3), TREE.consistency_proof(2)
    assert inclusion.to_json() == '{"leaf_index":2,"tree_size":3,"hashes":["%s"]}' % TREE.root(2).hex()
    assert consistency.to_dict() == {"old_size": 2, "new_size": 5, "hashes": [h.hex() for h in consistency.hashes]}
    for proof in (inclusion, consistency):
        cls = type(proof)
        assert cls.from_json(proof.to_json()) == cls.from_dict(proof.to_dict()) == proof
        assert cls.from_json(json.dumps(list(proof.to_dict().values()))) == proof
        assert proof != cls.from_dict({**proof.to_dict(), "hashes": []}) and proof != proof.to_json()
        with pytest.raises(TypeError):
            hash(proof)
    upper = inclusion.to_json().upper().replace("LEAF_INDEX", "leaf_index").replace("TREE_SIZE", "tree_size")
    assert InclusionProof.from_json(upper.replace("HASHES", "hashes")) == inclusion
    assert (inclusion.leaf_index, inclusion.tree_size, inclusion.hashes) == (2, 3, [TREE.root(2)])
    assert repr(consistency) == "ConsistencyProof(old_size=2, new_size=5, hashes=2)"
    assert repr(inclusion) == "InclusionProof(leaf_index=2, tree_size=3, hashes=1)"


@pytest.mark.parametrize("text, message", [
    ('{"leaf_index":-1,"tree_size":1,"hashes":[]}', "invalid value: integer `-1`, expected u64 at line 1 column 16"),
    ('{"leaf_index":1e2,"tree_size":1,"hashes":[]}', "invalid type: floating point `100.0`, expected u64 at line 1 column 17"),
    ('{"leaf_index":18446744073709551616}', "invalid type: floating point `1.8446744073709552e+19`, expected u64 at line 1 column 34"),
    ('{"leaf_index":"1"}', 'invalid type: string "1", expected u64 at line 1 column 17'),
    ('{"leaf_index":0,"tree_size":1,"hashes":["%s"]}' % ("0" * 65),
     'invalid value: string "%s", expected 64 hexadecimal digits at line 1 column 107' % ("0" * 65)),
    ('{"leaf_index":0,"tree_size":1,"hashes":[1]}', "invalid type: integer `1`, expected a string at line 1 column 41"),
    ('{"leaf_index":0,"tree_size":1,"hashes":"00"}', 'invalid type: string "00", expected a sequence at line 1 column 43'),
    ('{"leaf_index":0,"tree_size":1}', "missing field `hashes` at line 1 column 30"),
])
def test_proof_json_refusals(text, message):
    with pytest.raises(ValueError) as info:
        InclusionProof.from_json(text)
    assert str(info.value) == "invalid InclusionProof JSON: " + message
