"""The Ed25519 core through its probe program: every shared vector and the
RFC 8032 examples against the big-integer oracle in ed25519_oracle.py, the
split between libsodium and OpenSSL, the curve check, strict Base64, and
software identities."""

import base64
import hashlib
import json
import os
import pathlib
import random

import pytest

import ed25519_oracle as oracle

VECTORS = pathlib.Path(__file__).resolve().parent / "data" / "ed25519"

# RFC 8032 section 7.1: seed, public key, message, signature.
RFC8032 = {
    "TEST 1": (
        "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
        "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a",
        "",
        "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b",
    ),
    "TEST 2": (
        "4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
        "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c",
        "72",
        "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00",
    ),
    "TEST 3": (
        "c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
        "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025",
        "af82",
        "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984dc6594a7c15e9716ed28dc027beceea1ec40a",
    ),
    "SHA(abc)": (
        "833fe62409237b9d62ec77587520911e9a759cec1d19755b7da901b96dca3d42",
        "ec172b93ad5e563bf4932c70e1245034c35467ef2efd4d64ebf819683467e2bf",
        hashlib.sha512(b"abc").hexdigest(),
        "dc2a4459e7369633a52b1bf277839a00201009a3efbf3ecb69bea2186c26b58909351fc9ac90b3ecfdfbc7c66431e0303dca179c138ac17ad9bef1177331a704",
    ),
}


def arg(data: bytes) -> str:
    return data.hex() or "-"


def key_text(key: bytes) -> bytes:
    return base64.b64encode(key).rstrip(b"=")


@pytest.fixture(scope="module")
def probe(native):
    def run(commands):
        done = native("ed25519_probe", stdin="".join(c + "\n" for c in commands))
        assert done.returncode == 0, done.stderr[-4000:]
        answers = done.stdout.splitlines()
        assert len(answers) == len(commands)
        return answers
    return run


def load_vectors(source):
    """(name, key, signature, message) for one vector file."""
    if source == "wycheproof":
        data = json.loads((VECTORS / "wycheproof_ed25519_test.json").read_text())
        return [(f"tc{t['tcId']}", bytes.fromhex(g["publicKey"]["pk"]), bytes.fromhex(t["sig"]), bytes.fromhex(t["msg"]))
                for g in data["testGroups"] for t in g["tests"]]
    if source == "speccheck":
        data = json.loads((VECTORS / "speccheck_cases.json").read_text())
        return [(f"case{i}", bytes.fromhex(c["pub_key"]), bytes.fromhex(c["signature"]), bytes.fromhex(c["message"]))
                for i, c in enumerate(data)]
    data = json.loads((VECTORS / "cctv_ed25519vectors.json").read_text())
    return [(f"n{c['number']}", bytes.fromhex(c["key"]), bytes.fromhex(c["sig"]), c["msg"].encode("utf-8"))
            for c in data]


@pytest.mark.parametrize("source,count", [("wycheproof", 151), ("speccheck", 12), ("cctv", 914)])
def test_vectors_match_oracle_and_the_split_holds(probe, source, count):
    cases = load_vectors(source)
    assert len(cases) == count
    assert all(len(key) == 32 for _, key, _, _ in cases)
    answers = probe([f"split {arg(k)} {arg(s)} {arg(m)}" for _, k, s, m in cases]
                    + [f"verifykey {arg(key_text(k))} {arg(s)} {arg(m)}" for _, k, s, m in cases])
    wrong, rescued = [], 0
    for (name, key, sig, msg), split, keyed in zip(cases, answers, answers[len(cases):]):
        expected = oracle.verify(key, sig, msg)
        facts = dict(field.split("=") for field in split.split())
        if facts["combined"] != expected or keyed != expected:
            wrong.append((name, expected, split, keyed))
        assert facts["point"] == str(int(oracle.decompress(key) is not None)), name
        if len(sig) != 64:
            continue
        valid = expected == oracle.OK
        unusual = oracle.small_order_or_noncanonical(key) or oracle.small_order_or_noncanonical(sig[:32])
        assert facts["unusual"] == str(int(unusual)), name
        # libsodium never accepts what must be refused, and outside the
        # unusual encodings its refusal is final; OpenSSL is exact on points.
        assert not (facts["sodium"] == "1" and not valid), name
        if not unusual:
            assert facts["sodium"] == str(int(valid)), name
        assert facts["openssl"] == str(int(valid)), name
        rescued += valid and facts["sodium"] == "0"
    assert wrong == []
    if source != "wycheproof":
        assert rescued > 0  # these files must reach the OpenSSL path


@pytest.mark.parametrize("name", RFC8032)
def test_rfc8032_keys_fingerprints_and_signatures(probe, name):
    seed, public, message, signature = (bytes.fromhex(h) for h in RFC8032[name])
    text = key_text(public)
    flipped = bytes([message[0] ^ 1]) + message[1:] if message else b"\x00"
    answers = probe([f"pubkey {arg(seed)}", f"sign {arg(seed)} {arg(message)}", f"fingerprint {arg(public)}",
                     f"verify {arg(text)} {arg(signature)} {arg(message)}",
                     f"verify {arg(text)} {arg(signature)} {arg(flipped)}"])
    fp = hashlib.sha256(public).hexdigest()[:32]
    assert answers == [f"{public.hex()} {text.decode()} {fp} {seed.hex()}", signature.hex(), fp, "ok", "BadSignature"]
    assert len(text) == 43


def test_minted_descriptor(probe):
    seed = bytes.fromhex(RFC8032["TEST 1"][0])
    assert probe([f"descriptor {arg(seed)}"]) == [
        "21fe31dfa154a261626bf854046fd227 11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo software 0[] "
        "2026-04-15T00:00:00Z none"]


def test_signing_matches_oracle(probe):
    rng = random.Random(8032)
    cases = [(rng.randbytes(32), rng.randbytes(rng.choice([0, 1, 63, 64, 100, 1000]))) for _ in range(24)]
    answers = probe([f"sign {arg(s)} {arg(m)}" for s, m in cases] + [f"pubkey {arg(s)}" for s, _ in cases])
    for (seed, msg), sig, keys in zip(cases, answers, answers[len(cases):]):
        assert sig == oracle.sign(seed, msg).hex()
        assert keys.split()[0] == oracle.public_key(seed).hex()


def edge_encodings():
    top = 1 << 255
    ys = list(range(0, 40)) + list(range(oracle.P - 40, top))
    ys += [int.from_bytes(bytes.fromhex(h), "little") for h in (
        "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05",
        "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a")]
    ys += [oracle.P - y for y in ys[-2:]]
    rng = random.Random(255)
    ys += [rng.getrandbits(255) for _ in range(1500)]
    return [(y | sign << 255).to_bytes(32, "little") for y in ys for sign in (0, 1)]


def test_curve_check_matches_oracle(probe):
    encodings = edge_encodings()
    answers = probe([f"point {arg(e)}" for e in encodings])
    expected = [f"{int(oracle.decompress(e) is not None)} {int(oracle.small_order_or_noncanonical(e))}"
                for e in encodings]
    assert [(e.hex(), a, x) for e, a, x in zip(encodings, answers, expected) if a != x] == []
    assert {a[0] for a in answers} == {"0", "1"}


def test_curve_check_matches_openssl_kronecker(probe):
    fields = dict(f.split("=") for f in probe(["crosscheck 200000 25519"])[0].split())
    assert fields["mismatches"] == "0"
    assert 90000 < int(fields["points"]) < 110000


def test_bad_public_keys_come_before_signature_faults(probe):
    rng = random.Random(19)
    keys = [k for k in (rng.randbytes(32) for _ in range(400)) if oracle.decompress(k) is None][:40]
    keys += [e for e in edge_encodings()[:160] if oracle.decompress(e) is None]
    assert len(keys) > 60
    good = bytes.fromhex(RFC8032["TEST 1"][1])
    sig64, sig63 = bytes.fromhex(RFC8032["TEST 1"][3]), bytes(63)
    commands, expected = [], []
    for key in keys + [good]:
        for sig in (sig64, sig63, sig64 + b"\x00"):
            commands.append(f"verify {arg(key_text(key))} {arg(sig)} -")
            expected.append(oracle.verify(key, sig, b""))
    answers = probe(commands + [f"fingerprint {arg(k)}" for k in keys])
    assert answers[:len(commands)] == expected
    assert expected[-3:] == ["ok", "BadSignature", "BadSignature"]
    assert set(expected[:-3]) == {"BadPublicKey"}
    assert answers[len(commands):] == ["not_a_point"] * len(keys)


GOOD_TEXT = "11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo"


@pytest.mark.parametrize("text", [
    GOOD_TEXT + "=", GOOD_TEXT[:-1], GOOD_TEXT + "A", GOOD_TEXT + "AA", " " + GOOD_TEXT, GOOD_TEXT + "\n",
    GOOD_TEXT[:20] + " " + GOOD_TEXT[20:], GOOD_TEXT[:-1] + "p",  # last character with a low bit set
    GOOD_TEXT.replace("/", "_"), GOOD_TEXT[:-2] + "é", "",
])
def test_key_text_must_be_strict(probe, text):
    sig = RFC8032["TEST 1"][3]
    assert probe([f"verify {arg(text.encode())} {sig} -", f"verifykey {arg(text.encode())} {sig} -",
                  f"verify {arg(text.encode())} 00 -"]) == ["BadPublicKey"] * 3


@pytest.mark.parametrize("length", [0, 31, 33, 64])
def test_fingerprint_of_wrong_length(probe, length):
    assert probe([f"fingerprint {arg(bytes(length))}"]) == ["wrong_length"]


@pytest.mark.parametrize("text,decoded", [
    ("", b""), ("AA", b"\x00"), ("AAA", b"\x00\x00"), ("AAAA", b"\x00\x00\x00"), ("/w", b"\xff"), ("//8", b"\xff\xff"),
    ("+/+/", b"\xfb\xff\xbf"),
    ("A", None), ("AAAAA", None), ("AB", None), ("AAB", None), ("/x", None), ("//9", None),  # trailing bits
    ("AA==", None), ("AAA=", None), ("AA=A", None), ("=AAA", None),  # padding
    (" AAA", None), ("AA A", None), ("AAA\n", None), ("AA\tA", None), ("AA\x00A", None),  # whitespace, NUL
    ("AA-_", None), ("AA.A", None), ("AA\xffA", None),  # other alphabets and bytes
])
def test_strict_base64_decoding(probe, text, decoded):
    raw = text.encode("latin-1")
    assert probe([f"b64decode {arg(raw)}"]) == [decoded.hex() or "-" if decoded is not None else "error"]


def test_base64_round_trip(probe):
    rng = random.Random(4648)
    blobs = [rng.randbytes(n) for n in range(0, 70)] + [bytes(range(256)) * 3]
    texts = [base64.b64encode(b).rstrip(b"=") for b in blobs]
    answers = probe([f"b64encode {arg(b)}" for b in blobs] + [f"b64decode {arg(t)}" for t in texts])
    assert answers[:len(blobs)] == [t.decode() or "-" for t in texts]
    assert answers[len(blobs):] == [arg(b) for b in blobs]


def test_generated_identities(probe):
    message = os.urandom(50)
    first, second, again, public, sig = probe([f"generate {arg(message)}"])[0].split()
    assert first == again != second
    assert first == hashlib.sha256(bytes.fromhex(public)).hexdigest()[:32]
    assert oracle.verify(bytes.fromhex(public), bytes.fromhex(sig), message) == oracle.OK


def test_moves_leave_no_secret_behind(probe):
    seed, _, _, signature = RFC8032["TEST 1"]
    moved_from, moved_from_again, assigned, sig = probe([f"moved {seed}"])[0].split()
    assert moved_from == moved_from_again == "00" * 32
    assert (assigned, sig) == (seed, signature)
