"""SoftwareIdentity, PeerIdentityDescriptor and AttestationChain as Python sees them."""
import base64
import collections.abc
import hashlib
import json
import os
import pathlib
import re
import subprocess
import sys
import textwrap

import pytest

import zun_protocol as zp
from zun_protocol import AttestationChain, PeerIdentityDescriptor, SoftwareIdentity

pytestmark = pytest.mark.portable

REPO = pathlib.Path(__file__).resolve().parents[1]
VECTORS = REPO / "tests" / "data" / "record-json.jsonl"
CREATED_AT = "2026-04-15T00:00:00Z"
SURFACES = ["software", "os_keychain", "secure_element", "external_hardware", "threshold"]
UNKNOWN_SURFACE = "unknown variant `{}`, expected one of " + ", ".join(f"`{s}`" for s in SURFACES)

# RFC 8032 section 7.1: seed, public key, message, signature.
RFC8032 = {
    "TEST 1": ("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
               "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", b"",
               "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46b"
               "d25bf5f0595bbe24655141438e7a100b"),
    "TEST 2": ("4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
               "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", b"\x72",
               "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11d8c"
               "387b2eaeb4302aeeb00d291612bb0c00"),
    "TEST 3": ("c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
               "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", b"\xaf\x82",
               "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984dc659"
               "4a7c15e9716ed28dc027beceea1ec40a"),
    "SHA(abc)": ("833fe62409237b9d62ec77587520911e9a759cec1d19755b7da901b96dca3d42",
                 "ec172b93ad5e563bf4932c70e1245034c35467ef2efd4d64ebf819683467e2bf", hashlib.sha512(b"abc").digest(),
                 "dc2a4459e7369633a52b1bf277839a00201009a3efbf3ecb69bea2186c26b58909351fc9ac90b3ecfdfbc7c66431e030"
                 "3dca179c138ac17ad9bef1177331a704"),
}
TEST1_SEED = bytes.fromhex(RFC8032["TEST 1"][0])
TEST1_KEY = "11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo"
TEST1_FINGERPRINT = "21fe31dfa154a261626bf854046fd227"
# y = 2 has no x on the curve.
NOT_A_POINT = b"\x02" + bytes(31)


def raises(exc, message, call):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc and info.value.args == (message,)
    return info.value


def descriptor(**fields):
    """A descriptor read from JSON: the TEST 1 key, with some fields replaced (None drops the key)."""
    d = {"fingerprint": TEST1_FINGERPRINT, "public_key_b64": TEST1_KEY, "surface": "software",
         "created_at": CREATED_AT}
    for key, value in fields.items():
        if value is None:
            d.pop(key, None)
        else:
            d[key] = value
    return PeerIdentityDescriptor.from_json(json.dumps(d))


def key_text(key):
    return base64.b64encode(key).decode().rstrip("=")


# ---- SoftwareIdentity ----------------------------------------------------------------------------------

@pytest.mark.parametrize("name", RFC8032)
def test_rfc8032_keys_fingerprints_and_signatures(name):
    seed, public, message, signature = (bytes.fromhex(RFC8032[name][0]), bytes.fromhex(RFC8032[name][1]),
                                        RFC8032[name][2], bytes.fromhex(RFC8032[name][3]))
    identity = SoftwareIdentity.from_seed(seed)
    d = identity.descriptor()
    fingerprint = hashlib.sha256(public).hexdigest()[:32]
    assert d.public_key_b64 == key_text(public) and len(d.public_key_b64) == 43
    assert identity.fingerprint == d.fingerprint == PeerIdentityDescriptor.fingerprint_of(public) == fingerprint
    assert identity.sign(message) == signature
    assert d.verify(message, signature) is None
    # The same key read back from JSON verifies without the key the identity minted it with.
    assert PeerIdentityDescriptor.from_json(d.to_json()).verify(message, signature) is None
    assert identity.secret_bytes() == seed


def test_test1_values_and_descriptor_json():
    identity = SoftwareIdentity.from_seed(TEST1_SEED)
    assert (identity.fingerprint, identity.descriptor().public_key_b64) == (TEST1_FINGERPRINT, TEST1_KEY)
    assert identity.descriptor().to_json() == (
        '{"fingerprint":"21fe31dfa154a261626bf854046fd227","public_key_b64":"11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo",'
        '"surface":"software","created_at":"2026-04-15T00:00:00Z"}')
    assert repr(identity) == 'SoftwareIdentity(fingerprint="21fe31dfa154a261626bf854046fd227", surface="software")'


@pytest.mark.parametrize("seed, exc, message", [
    (bytes(31), ValueError, "seed must be exactly 32 bytes"),
    (bytes(33), ValueError, "seed must be exactly 32 bytes"),
    (b"", ValueError, "seed must be exactly 32 bytes"),
    (bytearray(32), TypeError, "argument 'seed': 'bytearray' object cannot be cast as 'bytes'"),
    ("x" * 32, TypeError, "argument 'seed': 'str' object cannot be cast as 'bytes'"),
    (memoryview(bytes(32)), TypeError, "argument 'seed': 'memoryview' object cannot be cast as 'bytes'"),
])
def test_from_seed_refusals(seed, exc, message):
    raises(exc, message, lambda: SoftwareIdentity.from_seed(seed))


def test_seeded_identities_are_deterministic():
    class Seed(bytes):
        pass

    a, b = SoftwareIdentity.from_seed(bytes(32)), SoftwareIdentity.from_seed(seed=Seed(32))
    assert a.fingerprint == b.fingerprint and a.secret_bytes() == b.secret_bytes() == bytes(32)
    for payload in (b"", b"x", bytes(range(256)) * 40):
        assert a.sign(payload) == b.sign(payload) == a.sign(payload=payload)
        assert len(a.sign(payload)) == 64
        a.descriptor().verify(payload, b.sign(payload))
    copy = SoftwareIdentity.from_seed(a.secret_bytes())
    assert copy.fingerprint == a.fingerprint and copy.sign(b"m") == a.sign(b"m")
    # Identities compare and hash by identity only.
    assert a != b and a == a and hash(a) != hash(b)
    assert len({a, b}) == 2


def test_generated_identities_differ_and_sign():
    a, b = SoftwareIdentity.generate(), SoftwareIdentity.generate()
    assert a.fingerprint != b.fingerprint and a.secret_bytes() != b.secret_bytes()
    for identity in (a, b, a.generate()):
        assert (identity.surface, identity.hardware_attested) == ("software", False)
        assert len(identity.fingerprint) == 32 and set(identity.fingerprint) <= set("0123456789abcdef")
        assert identity.descriptor().fingerprint == identity.fingerprint
        identity.descriptor().verify(b"payload", identity.sign(b"payload"))
    raises(ValueError, "signature verification failed: BadSignature",
           lambda: b.descriptor().verify(b"payload", a.sign(b"payload")))


def test_identity_argument_binding():
    identity = SoftwareIdentity.from_seed(bytes(32))
    raises(TypeError, "argument 'payload': 'bytearray' object cannot be cast as 'bytes'",
           lambda: identity.sign(bytearray(b"x")))
    raises(TypeError, "SoftwareIdentity.sign() missing 1 required positional argument: 'payload'", identity.sign)
    raises(TypeError, "SoftwareIdentity.from_seed() got an unexpected keyword argument 'secret'",
           lambda: SoftwareIdentity.from_seed(secret=bytes(32)))
    with pytest.raises(TypeError):
        SoftwareIdentity.generate(1)
    with pytest.raises(TypeError, match="zun_protocol.SoftwareIdentity"):
        SoftwareIdentity()
    with pytest.raises(AttributeError):
        identity.surface = "os_keychain"


@pytest.mark.needs_build_tools
def test_failing_random_source_raises_panic(tmp_path):
    """getrandom is interposed in a child process so that it always fails with EIO."""
    source = tmp_path / "failing_getrandom.c"
    source.write_text(textwrap.dedent("""\
        #include <errno.h>
        #include <sys/types.h>
        ssize_t getrandom(void *buf, size_t len, unsigned flags) {
            (void)buf; (void)len; (void)flags;
            errno = EIO;
            return -1;
        }
    """))
    shim = tmp_path / "failing_getrandom.so"
    subprocess.run(["cc", "-shared", "-fPIC", "-o", str(shim), str(source)], check=True)
    script = textwrap.dedent("""\
        import zun_protocol as zp
        try:
            zp.SoftwareIdentity.generate()
        except Exception:
            print("caught as Exception")
        except BaseException as e:
            print(type(e).__name__, type(e).__bases__[0].__name__, repr(e.args))
        print(zp.SoftwareIdentity.from_seed(bytes(32)).fingerprint)
    """)
    # A fixed hash seed spares the interpreter's own start-up a draw from the failing source.
    # After whatever is preloaded already (the sanitizer pass's runtimes must come first).
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(shim)]))
    env = {**os.environ, "LD_PRELOAD": preload, "PYTHONHASHSEED": "0", "PYTHONPATH": os.pathsep.join(sys.path)}
    done = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        "PanicException BaseException ('Error: Input/output error (os error 5)',)",
        SoftwareIdentity.from_seed(bytes(32)).fingerprint,
    ]


# ---- PeerIdentityDescriptor: JSON ----------------------------------------------------------------------

def too_deep_bracket(text):
    """(line, byte column) of the first opening bracket nested past 127 levels outside strings, or None."""
    depth, in_string, escaped, line, line_start = 0, False, False, 1, 0
    for i, ch in enumerate(text.encode().decode("latin-1")):
        if ch == "\n":
            line, line_start = line + 1, i + 1
        if in_string:
            escaped, in_string = (False, True) if escaped else (ch == "\\", ch != '"')
        elif ch == '"':
            in_string = True
        elif ch in "[{":
            depth += 1
            if depth > 127:
                return line, i - line_start + 1
        elif ch in "]}":
            depth -= 1
    return None


def expected_error(case):
    """The reference's error, unless it read on past a bracket nested too deep (it skips the values of
    unknown keys without a depth limit, where this reader stops at the 128th level)."""
    bracket = too_deep_bracket(case["text"])
    if bracket is not None:
        at = re.search(r" at line (\d+) column (\d+)$", case.get("error", ""))
        if case["ok"] or (int(at[1]), int(at[2])) >= bracket:
            return f"recursion limit exceeded at line {bracket[0]} column {bracket[1]}"
    return None if case["ok"] else case["error"]


def test_reference_cases():
    with open(VECTORS, encoding="utf-8") as f:
        cases = [c for c in map(json.loads, f) if c.get("record") == "PeerIdentityDescriptor"]
    assert len(cases) > 300
    for case in cases:
        error = expected_error(case)
        if error is not None:
            raises(ValueError, "invalid PeerIdentityDescriptor JSON: " + error,
                   lambda: PeerIdentityDescriptor.from_json(case["text"]))
            continue
        d = PeerIdentityDescriptor.from_json(case["text"])
        assert d.to_json() == case["canonical"], case["text"]
        assert d.to_dict() == json.loads(case["canonical"])
        # Reading the canonical text again may differ from `d` only by an empty chain's vendor.
        again = PeerIdentityDescriptor.from_json(case["canonical"])
        assert PeerIdentityDescriptor.from_dict(d.to_dict()) == again and again.to_json() == case["canonical"]


def test_minted_descriptor_omits_empty_members():
    identity = SoftwareIdentity.from_seed(TEST1_SEED)
    d = identity.descriptor()
    assert list(d.to_dict()) == ["fingerprint", "public_key_b64", "surface", "created_at"]
    assert (d.tier, d.hardware_attested, d.created_at, d.superseded_by) == (0, False, CREATED_AT, None)
    back = PeerIdentityDescriptor.from_json(d.to_json())
    assert back == d and back.attestation.is_empty() and back.superseded_by is None
    assert d.address().to_uri() == "kiv://body/peer/" + TEST1_FINGERPRINT
    assert d.address() == zp.ProtocolAddress("body", "peer", TEST1_FINGERPRINT)


def test_empty_chain_drops_its_vendor():
    d = descriptor(attestation={"certs_b64": [], "vendor": "acme"})
    assert '"attestation"' not in d.to_json() and "attestation" not in d.to_dict()
    assert d.attestation == AttestationChain(vendor="acme")
    assert PeerIdentityDescriptor.from_json(d.to_json()).attestation.vendor == ""


def test_full_descriptor_round_trip():
    d = descriptor(surface="secure_element", attestation={"certs_b64": ["MIIB", "MIIC"], "vendor": "apple"},
                   superseded_by={"class": "body", "type": "peer", "ref": "ab12"}, comment="dropped")
    assert d.to_json() == (
        '{"fingerprint":"21fe31dfa154a261626bf854046fd227","public_key_b64":"11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo",'
        '"surface":"secure_element","attestation":{"certs_b64":["MIIB","MIIC"],"vendor":"apple"},'
        '"created_at":"2026-04-15T00:00:00Z","superseded_by":{"class":"body","type":"peer","ref":"ab12"}}')
    assert d.attestation == AttestationChain(["MIIB", "MIIC"], "apple")
    assert d.superseded_by == zp.ProtocolAddress.parse("kiv://body/peer/ab12")
    # Every read is a fresh object.
    assert d.attestation is not d.attestation and d.superseded_by is not d.superseded_by
    assert PeerIdentityDescriptor.from_json(json.dumps(list(d.to_dict().values()))) == d
    assert descriptor(superseded_by=None).superseded_by is None


@pytest.mark.parametrize("tier, surface", list(enumerate(SURFACES)))
def test_surfaces(tier, surface):
    d = descriptor(surface=surface)
    assert (d.surface, d.tier, d.hardware_attested) == (surface, tier, tier >= 2)
    assert repr(d) == f'PeerIdentityDescriptor(fingerprint="{TEST1_FINGERPRINT}", surface="{surface}", tier={tier})'


@pytest.mark.parametrize("text, message", [
    ('{"fingerprint":"f","public_key_b64":"k","surface":"Software","created_at":"t"}',
     UNKNOWN_SURFACE.format("Software") + " at line 1 column 60"),
    ('{"fingerprint":"f","public_key_b64":"k","surface":"software"}', "missing field `created_at` at line 1 column 61"),
    ('{"fingerprint":"f","fingerprint":"g"}', "duplicate field `fingerprint` at line 1 column 32"),
    ('["f","k","software",{"certs_b64":[],"vendor":""},"t"]',
     "invalid length 5, expected struct PeerIdentityDescriptor with 6 elements at line 1 column 53"),
    ('["f","k","software",{"certs_b64":[],"vendor":""},"t",null,1]', "trailing characters at line 1 column 59"),
])
def test_refused_json(text, message):
    raises(ValueError, "invalid PeerIdentityDescriptor JSON: " + message, lambda: PeerIdentityDescriptor.from_json(text))


def test_array_form():
    d = PeerIdentityDescriptor.from_json('["f","k","software",{"certs_b64":[],"vendor":""},"t",null]')
    assert (d.fingerprint, d.public_key_b64, d.surface, d.created_at, d.superseded_by) == ("f", "k", "software", "t", None)
    assert d.attestation == AttestationChain() and d.to_json() == (
        '{"fingerprint":"f","public_key_b64":"k","surface":"software","created_at":"t"}')
    nested = PeerIdentityDescriptor.from_json('["f","k","threshold",[["c"],"v"],"t",null]')
    assert nested.attestation == AttestationChain(["c"], "v")


def test_dictionary_forms():
    raises(TypeError, "argument 'd': 'list' object cannot be cast as 'dict'", lambda: PeerIdentityDescriptor.from_dict([]))
    with pytest.raises(TypeError, match="not JSON serializable"):
        PeerIdentityDescriptor.from_dict({"fingerprint": b"f"})
    raises(ValueError, "invalid PeerIdentityDescriptor JSON: missing field `fingerprint` at line 1 column 2",
           lambda: PeerIdentityDescriptor.from_dict({}))
    raises(TypeError, "argument 's': 'bytes' object cannot be cast as 'str'", lambda: PeerIdentityDescriptor.from_json(b"{}"))


# ---- PeerIdentityDescriptor: verify and fingerprint_of -------------------------------------------------

def test_verify_outcomes():
    identity = SoftwareIdentity.from_seed(TEST1_SEED)
    signature = identity.sign(b"payload")
    bad_key, bad_signature = "signature verification failed: BadPublicKey", "signature verification failed: BadSignature"
    parsed = descriptor()
    for d in (identity.descriptor(), parsed):
        for payload, sig in [(b"payload", signature[:63]), (b"payload", signature + b"\0"), (b"other", signature),
                             (b"payload", signature[:-1] + bytes([signature[-1] ^ 1])), (b"payload", b"")]:
            raises(ValueError, bad_signature, lambda: d.verify(payload, sig))
        # A failed verification changes nothing about later ones.
        assert d.verify(b"payload", signature) is None and d.verify(signature_bytes=signature, payload=b"payload") is None
    # The fingerprint plays no part.
    assert descriptor(fingerprint="not mine").verify(b"payload", signature) is None
    for key in (TEST1_KEY + "=", TEST1_KEY[:-1], TEST1_KEY[:-1] + "p", key_text(NOT_A_POINT), key_text(bytes(31)), ""):
        d = descriptor(public_key_b64=key)
        for _ in range(2):
            raises(ValueError, bad_key, lambda: d.verify(b"payload", signature))
            raises(ValueError, bad_key, lambda: d.verify(b"payload", signature[:10]))  # the key is checked first
    raises(TypeError, "argument 'signature_bytes': 'bytearray' object cannot be cast as 'bytes'",
           lambda: parsed.verify(b"payload", bytearray(signature)))
    raises(TypeError, "argument 'payload': 'str' object cannot be cast as 'bytes'", lambda: parsed.verify("p", signature))
    raises(TypeError, "PeerIdentityDescriptor.verify() takes 2 positional arguments but 3 were given",
           lambda: parsed.verify(b"", b"", b""))


@pytest.mark.parametrize("key, exc, message", [
    (bytes(31), ValueError, "public_key must be exactly 32 bytes"),
    (bytes(33), ValueError, "public_key must be exactly 32 bytes"),
    (NOT_A_POINT, ValueError, "invalid Ed25519 public key bytes"),
    (bytearray(32), TypeError, "argument 'public_key_bytes': 'bytearray' object cannot be cast as 'bytes'"),
])
def test_fingerprint_of_refusals(key, exc, message):
    raises(exc, message, lambda: PeerIdentityDescriptor.fingerprint_of(key))


def test_fingerprint_of_small_order_and_noncanonical_keys():
    # Points of small order decompress, and so does y >= p; neither is refused here.
    for key in (bytes(32), b"\x01" + bytes(31), b"\xed" + b"\xff" * 30 + b"\x7f"):
        assert PeerIdentityDescriptor.fingerprint_of(public_key_bytes=key) == hashlib.sha256(key).hexdigest()[:32]


# ---- AttestationChain ----------------------------------------------------------------------------------

class Certs(collections.abc.Sequence):
    def __init__(self, *items):
        self.items = items

    def __getitem__(self, index):
        return self.items[index]

    def __len__(self):
        return len(self.items)


@pytest.mark.parametrize("certs", [["a", "b"], ("a", "b"), Certs("a", "b")], ids=["list", "tuple", "Sequence"])
def test_chain_accepts_sequences_of_text(certs):
    chain = AttestationChain(certs, vendor="yubico")
    assert chain.certs_b64 == ["a", "b"] and type(chain.certs_b64) is list
    assert chain.certs_b64 is not chain.certs_b64
    assert (chain.vendor, chain.is_empty()) == ("yubico", False)
    assert repr(chain) == 'AttestationChain(vendor="yubico", certs=2)'


@pytest.mark.parametrize("args, kwargs, message", [
    (("abc",), {}, "argument 'certs_b64': Can't extract `str` to `Vec`"),
    ((1,), {}, "argument 'certs_b64': 'int' object cannot be cast as 'Sequence'"),
    (([1],), {}, "argument 'certs_b64': 'int' object cannot be cast as 'str'"),
    ((["a", b"b"],), {}, "argument 'certs_b64': 'bytes' object cannot be cast as 'str'"),
    (((c for c in "ab"),), {}, "argument 'certs_b64': 'generator' object cannot be cast as 'Sequence'"),
    (({"a": 1},), {}, "argument 'certs_b64': 'dict' object cannot be cast as 'Sequence'"),
    (([], 1), {}, "argument 'vendor': 'int' object cannot be cast as 'str'"),
    (([], "v", 3), {}, "AttestationChain.__new__() takes from 0 to 2 positional arguments but 3 were given"),
    ((), {"certs": []}, "AttestationChain.__new__() got an unexpected keyword argument 'certs'"),
    ((["a"],), {"certs_b64": []}, "AttestationChain.__new__() got multiple values for argument 'certs_b64'"),
])
def test_chain_refusals(args, kwargs, message):
    raises(TypeError, message, lambda: AttestationChain(*args, **kwargs))


def test_chain_defaults_repr_and_equality():
    empty = AttestationChain()
    assert (empty.certs_b64, empty.vendor, empty.is_empty()) == ([], "", True)
    assert repr(empty) == 'AttestationChain(vendor="", certs=0)'
    assert AttestationChain(vendor='a"\\\n\u0301').vendor == 'a"\\\n\u0301'
    assert repr(AttestationChain(vendor='a"\\\n\u0301')) == 'AttestationChain(vendor="a\\"\\\\\\n\\u{301}", certs=0)'
    assert AttestationChain(["a"], "v") == AttestationChain(certs_b64=("a",), vendor="v")
    assert AttestationChain(["a"], "v") != AttestationChain(["a"], "w")
    assert AttestationChain(["a", "b"]) != AttestationChain(["b", "a"])
    assert (empty == [], empty != []) == (False, True)
    for value in (empty, descriptor()):
        with pytest.raises(TypeError):
            hash(value)
        with pytest.raises(TypeError):
            value < value


def test_descriptor_equality_covers_every_field():
    base = descriptor()
    assert base == descriptor() and not base != descriptor() and base != base.to_json()
    for change in [{"fingerprint": "x"}, {"public_key_b64": "x"}, {"surface": "threshold"},
                   {"attestation": {"certs_b64": ["c"], "vendor": ""}}, {"created_at": "x"},
                   {"superseded_by": {"class": "body", "type": "peer", "ref": "r"}}]:
        assert descriptor(**change) != base and not descriptor(**change) == base, change
    chain = {"attestation": {"certs_b64": ["c"], "vendor": "v"}}
    assert descriptor(**chain) != descriptor(attestation={"certs_b64": ["c"], "vendor": "w"})
    assert repr(descriptor(fingerprint='q"\t')) == (
        'PeerIdentityDescriptor(fingerprint="q\\"\\t", surface="software", tier=0)')


def test_docstrings_carry_signatures():
    import inspect
    assert str(inspect.signature(AttestationChain)) == "(certs_b64=Ellipsis, vendor=Ellipsis)"
    assert str(inspect.signature(PeerIdentityDescriptor.verify)) == "(self, /, payload, signature_bytes)"
    assert str(inspect.signature(SoftwareIdentity.generate)) == "()"
    assert "\u2014 once this\nleaves the identity" in SoftwareIdentity.secret_bytes.__doc__
    assert "construction \u2014 substrate" in SoftwareIdentity.__doc__
    assert "`SoftwareIdentity::generate` \u2014 private-key" in PeerIdentityDescriptor.__doc__
    assert AttestationChain.__doc__.startswith("Hardware attestation chain.")
