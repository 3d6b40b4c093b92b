"""Pickling and copying: objects travel through their own readers, within and across processes."""
import base64
import concurrent.futures
import copy
import io
import multiprocessing
import pathlib
import pickle
import shutil

import pytest

import zun_protocol as zp

PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)
TIMESTAMP_DATA = pathlib.Path(__file__).resolve().parent / "data" / "timestamp"
OTS_DATA = pathlib.Path(__file__).resolve().parent / "data" / "ots"

pytestmark = pytest.mark.portable

ENVELOPE = {
    "exchange_id": "0190a1b2-c3d4-7e5f-8a9b-0c1d2e3f4a5b",
    "peer_self": {"class": "body", "type": "peer", "ref": "ab12"},
    "peer_counterparty": {"class": "route", "type": "t", "ref": "r/s"},
    "direction": "inbound",
    "request_hash": "h1",
    "response_hash": "h2",
    "counterparty_signature": "c\"s\u0001",
    "our_signature": "s1",
    "opened_at": "9999-12-31T23:59:59.999999999Z",
    "closed_at": "2016-12-31T23:59:60.123456789Z",
    "protocol_hint": "noise",
    "counterparty_identifier": "é/\\x 中\U0001f600",
}
MINIMAL = {k: v for k, v in ENVELOPE.items()
           if k not in ("peer_counterparty", "response_hash", "counterparty_signature", "closed_at")}
IDENTITY = zp.SoftwareIdentity.from_seed(bytes(range(32)))
HARDWARE = ('{"fingerprint":"f","public_key_b64":"' + IDENTITY.descriptor().public_key_b64 + '",'
            '"surface":"secure_element","attestation":{"certs_b64":["MIIB","Mé"],"vendor":"acmé"},'
            '"created_at":"2026-04-15T09:00:00+02:00","superseded_by":{"class":"body","type":"peer","ref":"r"}}')


def _item(tmp_path):
    queue = zp.EnvelopeQueue(str(tmp_path / "q"))
    queue.push("tr\u00fcst", zp.SignedEnvelope.from_dict({**ENVELOPE, "exchange_id": "a/../b c"}))
    [item] = queue.list()
    shutil.rmtree(queue.dir)  # loading reads no file
    return item


def _receipt(_):
    return zp.MockAnchor("ånchor").submit(bytes(range(32)))


def _proof(_):
    anchor = zp.MockAnchor("ånchor")
    return anchor.verify(anchor.submit(bytes(range(32))))


SAMPLES = {
    "envelope": lambda _: zp.SignedEnvelope.from_dict(ENVELOPE),
    "envelope-minimal": lambda _: zp.SignedEnvelope.from_dict(MINIMAL),
    "address": lambda _: zp.ProtocolAddress("mediation", "a/b", "é/\x00"),
    "counterparty": lambda _: zp.CounterpartyInfo("id\x01", "quic", "peer-é", "sig"),
    "counterparty-minimal": lambda _: zp.CounterpartyInfo("", ""),
    "chain": lambda _: zp.AttestationChain(["MIIB", "é"], "acme"),
    "chain-empty": lambda _: zp.AttestationChain(),
    "descriptor-minted": lambda _: IDENTITY.descriptor(),
    "descriptor-hardware": lambda _: zp.PeerIdentityDescriptor.from_json(HARDWARE),
    "receipt": _receipt,
    "proof": _proof,
    "queue": lambda tmp_path: zp.EnvelopeQueue(str(tmp_path / "dïr/")),
    "item": _item,
    "inclusion-proof": lambda _: zp.MerkleTree([b"a", b"b", b"c"]).inclusion_proof(2),
    "consistency-proof": lambda _: zp.ConsistencyProof(2**64 - 1, 2**64 - 1, []),
    "timestamp-request": lambda _: zp.TimestampRequest(bytes(range(32)), policy="1.2.3"),
    "timestamp-request-bare": lambda _: zp.TimestampRequest(bytes(32), nonce=False, certificate=False),
    "timestamp-token": lambda _: zp.TimestampToken.from_der((TIMESTAMP_DATA / "response.tsr").read_bytes()),
    "tsa-anchor": lambda _: zp.TsaAnchor("tsä", (TIMESTAMP_DATA / "root.pem").read_bytes(),
                                         intermediates=(TIMESTAMP_DATA / "intermediate.pem").read_bytes(),
                                         policy="1.2.3", signer_common_name="é"),
    "ots-proof": lambda _: zp.OtsProof.from_bytes((OTS_DATA / "proof.ots").read_bytes()),
    "ots-request": lambda _: zp.OtsAnchor("a", []).request(bytes(range(32))),
    "ots-anchor": lambda _: zp.OtsAnchor("ånchor", ["https://a.example", "http://127.0.0.1:8080"], chain="regtest"),
}


def state(value):
    """What an object holds, as its public reads show it."""
    if hasattr(value, "to_json"):
        return value.to_json()
    reads = {name: getattr(value, name) for name in dir(value) if not name.startswith("_")}
    return {name: state(read) if isinstance(read, zp.SignedEnvelope) else read
            for name, read in reads.items() if not callable(read)}


@pytest.mark.parametrize("name", SAMPLES)
def test_round_trip_with_every_protocol_and_copies_are_the_object(name, tmp_path):
    value = SAMPLES[name](tmp_path)
    for protocol in PROTOCOLS:
        back = pickle.loads(pickle.dumps(value, protocol))
        assert type(back) is type(value)
        assert state(back) == state(value)
        if type(value).__eq__ is not object.__eq__:
            assert back == value
    copied = copy.deepcopy([value, {"k": value}])
    assert copy.copy(value) is value and copied[0] is value and copied[1]["k"] is value


class NamesRecorded(pickle.Unpickler):
    """An unpickler that notes every global a pickle names."""

    def __init__(self, data):
        super().__init__(io.BytesIO(data))
        self.names = set()

    def find_class(self, module, name):
        # Protocols 0 to 2 write builtins under its Python 2 name, which loading maps back, and
        # bytes as calls of these two, whatever holds them.
        found = f"{'builtins' if module == '__builtin__' else module}.{name}"
        if found not in ("_codecs.encode", "builtins.bytes"):
            self.names.add(found)
        return super().find_class(module, name)


@pytest.mark.parametrize("name", SAMPLES)
def test_a_pickle_names_the_same_few_globals_with_every_protocol(name, tmp_path):
    value = SAMPLES[name](tmp_path)
    named = set()
    for protocol in PROTOCOLS:
        loader = NamesRecorded(pickle.dumps(value, protocol))
        loader.load()
        named.add(frozenset(loader.names))
    # getattr finds a reader on its class, as docs/howto/pickling.md promises; nothing else is named.
    [names] = named
    assert names <= {"builtins.getattr"} | {f"zun_protocol.{cls}" for cls in zp.__all__}


@pytest.mark.parametrize("make, old, new", [
    pytest.param(SAMPLES["envelope"], b'"opened_at":"9999', b'"opened_at":"99x9', id="envelope-instant"),
    pytest.param(SAMPLES["descriptor-minted"], b'"surface":"software"', b'"surface":"softwarX"', id="descriptor"),
    pytest.param(_item, b'"request_hash":"h1"', b'"request_hash":+h1"', id="item-envelope"),
    pytest.param(SAMPLES["address"], b"mediation", b"mediatioN", id="address-class"),
])
@pytest.mark.parametrize("protocol", [0, pickle.HIGHEST_PROTOCOL])
def test_a_tampered_pickle_fails_with_the_readers_error(make, old, new, protocol, tmp_path):
    value = make(tmp_path)
    data = pickle.dumps(value, protocol)
    assert data.count(old) == 1
    tampered = data.replace(old, new)
    # What the reader says of the same change made to the text it reads.
    if isinstance(value, zp.ProtocolAddress):
        def read():
            return zp.ProtocolAddress(new.decode(), value.type, value.ref)
    else:
        record = value.envelope if isinstance(value, zp.QueuedItem) else value
        text = record.to_json().replace(old.decode(), new.decode())
        def read():
            return type(record).from_json(text)
    with pytest.raises(ValueError) as expected:
        read()
    with pytest.raises(ValueError) as got:
        pickle.loads(tampered)
    assert got.value.args == expected.value.args


def test_a_tampered_request_pickle_fails_with_the_der_readers_error():
    request = SAMPLES["timestamp-request"](None)
    data, der = pickle.dumps(request), request.to_der()
    # The version, the request's first field, right after the SEQUENCE header (the random nonce
    # may hold the same three bytes further on).
    version = data.index(der) + 2
    assert data[version:version + 3] == b"\x02\x01\x01"
    with pytest.raises(ValueError, match="^data: version 2, expected 1$"):
        pickle.loads(data[:version + 2] + b"\x02" + data[version + 3:])


@pytest.mark.parametrize("value, reason", [
    (zp.MockAnchor("a"), "its memory of submitted roots belongs to this process"),
    (IDENTITY, "a secret key is not sent by accident; move it on purpose with secret_bytes() and "
               "SoftwareIdentity.from_seed()"),
], ids=["MockAnchor", "SoftwareIdentity"])
def test_objects_with_state_or_secrets_refuse_to_be_pickled(value, reason):
    message = f"cannot pickle 'zun_protocol.{type(value).__name__}' object: {reason}"
    for protocol in PROTOCOLS:
        with pytest.raises(TypeError) as info:
            pickle.dumps({"inside": [value]}, protocol)
        assert info.value.args == (message,)
    if isinstance(value, zp.MockAnchor):  # a copy would fork its memory
        for copier in (copy.copy, copy.deepcopy):
            with pytest.raises(TypeError, match="its memory of submitted roots"):
                copier(value)
    else:  # within the process a copy is harmless: the identity itself
        assert copy.copy(value) is value and copy.deepcopy(value) is value


@pytest.mark.parametrize("size", [0, 1, 1000])
def test_a_tree_travels_as_its_leaf_hashes_and_a_copy_grows_on_its_own(size):
    tree = zp.MerkleTree(b"%d" % i for i in range(size))
    for protocol in PROTOCOLS:
        back = pickle.loads(pickle.dumps(tree, protocol))
        assert back.size == size and back.root() == tree.root()
        assert [back.leaf_hash(i) for i in range(size)] == [tree.leaf_hash(i) for i in range(size)]
    for copier in (copy.copy, copy.deepcopy):
        twin = copier(tree)
        twin.append(b"more")
        assert twin is not tree and tree.size == size and twin.root(size) == tree.root()


def test_a_queue_whose_path_is_not_utf8_is_not_pickled_as_another_directory(monkeypatch):
    monkeypatch.setenv("HOME", "/h\udcff")
    with pytest.raises(TypeError, match="its directory path is not UTF-8"):
        pickle.dumps(zp.EnvelopeQueue.default())


def _signed(identity, exchange_id, request_hash="h1"):
    unsigned = {**MINIMAL, "exchange_id": exchange_id, "request_hash": request_hash,
                "peer_self": {"class": "body", "type": "peer", "ref": identity.fingerprint}}
    signing_bytes = zp.SignedEnvelope.from_dict(unsigned).canonical_signing_bytes()
    signature = base64.b64encode(identity.sign(signing_bytes)).decode()
    return zp.SignedEnvelope.from_dict({**unsigned, "our_signature": signature})


def _verify_and_spill(descriptors, envelopes, queue):
    """Runs in a worker process: everything here arrived by pickle, everything returned goes back so."""
    verified = []
    for envelope in envelopes:
        try:
            descriptors[envelope.peer_self.ref].verify(envelope.canonical_signing_bytes(),
                                                       base64.b64decode(envelope.our_signature))
        except ValueError:
            continue
        verified.append(envelope)
        queue.push(zp.classify_exchange(envelope.protocol_hint, envelope.counterparty_identifier), envelope)
    return verified, descriptors, queue.list()


def test_process_pool_sends_descriptors_envelopes_and_queues_both_ways(tmp_path):
    signers = [zp.SoftwareIdentity.from_seed(bytes([n]) * 32) for n in (1, 2)]
    descriptors = {s.fingerprint: s.descriptor() for s in signers}
    good = [_signed(signers[0], "e-1"), _signed(signers[1], "e-2")]
    forged = _signed(signers[0], "e-3").to_dict()
    forged["request_hash"] = "changed after signing"
    queue = zp.EnvelopeQueue(str(tmp_path / "queue"))
    # A fresh interpreter: it finds every class by name, and keeps no object of this one.
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(1, mp_context=context) as pool:
        verified, descriptors_back, items = pool.submit(
            _verify_and_spill, descriptors, good + [zp.SignedEnvelope.from_dict(forged)], queue).result()
    assert verified == good
    assert descriptors_back == descriptors
    assert [(i.queue_id, i.pair_class, i.envelope) for i in items] == [("e-1", "trust", good[0]),
                                                                        ("e-2", "trust", good[1])]
    assert [i.envelope for i in queue.list()] == good  # the worker's queue was this directory
