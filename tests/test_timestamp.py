"""RFC 3161 time-stamping against a real local TSA: `openssl ts -reply` answers our requests,
and tokens are bent with `openssl cms` and by hand to fail each check."""
import base64
import datetime
import hashlib
import pathlib
import pickle
import re
import subprocess
import sys
import threading
import time

import pytest

import zun_protocol as zp

EXAMPLES = pathlib.Path(__file__).resolve().parents[1] / "examples"
sys.path.insert(0, str(EXAMPLES))
from local_tsa import OTHER_POLICY, POLICY, LocalTsa, openssl  # noqa: E402

DIGEST = hashlib.sha256(b"batch").digest()
BAD = "anchor bad response: "
TIMESTAMP_DATA = pathlib.Path(__file__).resolve().parent / "data" / "timestamp"


def refused(message, call, exc=ValueError):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc and str(info.value) == message
    return info.value


def serial_of(certificate):
    return int(openssl("x509", "-in", certificate, "-noout", "-serial").decode().split("=")[1], 16)


def extension_file(directory, name, usage):
    path = directory / f"{name}.ext"
    path.write_text("[ tsa_ext ]\nbasicConstraints = critical, CA:false\n"
                    + (f"extendedKeyUsage = {usage}\n" if usage else ""))
    return path


@pytest.fixture(scope="session")
def pki(tmp_path_factory):
    tsa = LocalTsa(tmp_path_factory.mktemp("tsa"), name="Test TSA")
    now = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
    # Made first: its certificate lapses a few seconds into the run.
    tsa.expiry = now + datetime.timedelta(seconds=3)
    tsa.issue("expiring", "Expiring TSA", not_before=now - datetime.timedelta(days=2), not_after=tsa.expiry)
    tsa.expiring_token = tsa.reply(zp.TimestampRequest(DIGEST).to_der(), signer=tsa.dir / "expiring.pem")
    tsa.issue("future", "Future TSA", not_before=now + datetime.timedelta(days=1))
    for name, usage in [("noncritical", "timeStamping"), ("no-usage", None),
                        ("two-usages", "critical, timeStamping, codeSigning")]:
        tsa.issue(name, name, extensions=extension_file(tsa.dir, name, usage))
    tsa.issue("other-root", "Other Root", extensions="ca_ext", ca="root_ca")
    openssl("req", "-x509", "-new", "-key", tsa.dir / "other-root.key", "-subj", "/CN=Local Root CA",
            "-days", 1, "-out", tsa.dir / "other-root.pem")
    return tsa


def stamp(pki, digest=DIGEST, **request):
    req = zp.TimestampRequest(digest, **request)
    return req, zp.TimestampToken.from_der(pki.reply(req.to_der()))


def verify(pki, token, digest=DIGEST, **kw):
    kw.setdefault("roots", pki.root_pem)
    return token.verify(digest, **kw)


def tst_info(pki, token):
    (pki.dir / "in.der").write_bytes(token.to_der())
    openssl("cms", "-verify", "-noverify", "-inform", "DER", "-in", pki.dir / "in.der", "-out", pki.dir / "tst.der")
    return (pki.dir / "tst.der").read_bytes()


def resign(pki, token, signer, *options, tst=None, content_type="id-smime-ct-TSTInfo"):
    """The token's TSTInfo (or `tst`) signed with `openssl cms` by `signer` (a stem from `issue`)."""
    (pki.dir / "tst.der").write_bytes(tst or tst_info(pki, token))
    openssl("cms", "-sign", "-binary", "-nodetach", "-in", pki.dir / "tst.der", "-econtent_type",
            content_type, "-signer", pki.dir / f"{signer}.pem", "-inkey", pki.dir / f"{signer}.key",
            "-md", "sha256", "-nosmimecap", "-certfile", pki.intermediate, "-outform", "DER",
            "-out", pki.dir / "out.der", *options)
    return zp.TimestampToken.from_der((pki.dir / "out.der").read_bytes())


# Just enough DER to add a certificate to a token's bag, which no signature covers, and an
# extension to a TSTInfo.
def der(tag, content):
    size = len(content)
    head = bytes([size]) if size < 0x80 else bytes([0x80 | (size.bit_length() + 7) // 8]) + size.to_bytes(
        (size.bit_length() + 7) // 8, "big")
    return bytes([tag]) + head + content


def elements(data):
    while data:
        size, at = data[1], 2
        if size & 0x80:
            at = 2 + (size & 0x7F)
            size = int.from_bytes(data[2:at], "big")
        yield data[0], data[at:at + size]
        data = data[at + size:]


def with_first_certificate(token, certificate):
    (_, info), = elements(token)
    (_, oid), (_, wrapped) = elements(info)
    (_, signed), = elements(wrapped)
    fields = [der(tag, certificate + content if tag == 0xA0 else content) for tag, content in elements(signed)]
    return der(0x30, der(0x06, oid) + der(0xA0, der(0x30, b"".join(fields))))


def test_request_agrees_with_openssl(pki):
    request = zp.TimestampRequest(DIGEST, policy=OTHER_POLICY)
    assert (request.digest, request.policy, request.certificate) == (DIGEST, OTHER_POLICY, True)
    assert 0 <= request.nonce < 2**64 and request.nonce != zp.TimestampRequest(DIGEST).nonce
    (pki.dir / "ours.tsr").write_bytes(pki.reply(request.to_der()))
    # The digest goes out as the imprint itself: openssl finds it given as hex, unhashed.
    openssl("ts", "-verify", "-digest", DIGEST.hex(), "-in", pki.dir / "ours.tsr", "-CAfile", pki.dir / "root.pem",
            "-untrusted", pki.intermediate)
    bare = zp.TimestampRequest(DIGEST, nonce=False, certificate=False)
    assert bare.nonce is None and bare.policy is None and len(bare.to_der()) < len(request.to_der())
    assert repr(bare) == f'TimestampRequest(digest="{DIGEST.hex()}", nonce=None, policy=None, certificate=false)'
    assert repr(request) == (f'TimestampRequest(digest="{DIGEST.hex()}", nonce={request.nonce}, '
                             f'policy="{OTHER_POLICY}", certificate=true)')
    assert bare == zp.TimestampRequest(DIGEST, nonce=False, certificate=False) != request
    with pytest.raises(TypeError):
        hash(bare)


def test_requests_read_back_from_their_der(pki, tmp_path):
    ours = zp.TimestampRequest(DIGEST, policy=OTHER_POLICY)
    assert zp.TimestampRequest.from_der(ours.to_der()) == ours
    # One that openssl wrote reads with what it asked for, and its answer verifies against its nonce.
    openssl("ts", "-query", "-digest", DIGEST.hex(), "-sha256", "-no_nonce", "-out", tmp_path / "no-nonce.tsq")
    openssl("ts", "-query", "-digest", DIGEST.hex(), "-sha256", "-cert", "-out", tmp_path / "theirs.tsq")
    assert zp.TimestampRequest.from_der((tmp_path / "no-nonce.tsq").read_bytes()).nonce is None
    data = (tmp_path / "theirs.tsq").read_bytes()
    theirs = zp.TimestampRequest.from_der(data)
    assert (theirs.digest, theirs.policy, theirs.certificate, theirs.to_der()) == (DIGEST, None, True, data)
    zp.TimestampToken.from_der(pki.reply(data)).verify(DIGEST, roots=pki.root_pem, intermediates=pki.intermediate_pem,
                                                       nonce=theirs.nonce)
    openssl("ts", "-query", "-digest", hashlib.sha1(b"x").hexdigest(), "-sha1", "-out", tmp_path / "sha1.tsq")
    for bad, reason in [(data + b"\0", "bytes after the TimeStampReq"),
                        ((tmp_path / "sha1.tsq").read_bytes(), "imprint algorithm 1.3.14.3.2.26, expected SHA-256"),
                        (data[:2] + b"\x02\x01\x02" + data[5:], "version 2, expected 1"),
                        (b"\x30\x80" + data[2:] + b"\0\0", "the TimeStampReq is not in DER")]:
        refused("data: " + reason, lambda: zp.TimestampRequest.from_der(bad))


def test_token_properties(pki):
    request, token = stamp(pki, policy=OTHER_POLICY)
    utc = datetime.timezone.utc
    assert abs(token.gen_time - datetime.datetime.now(utc)) < datetime.timedelta(minutes=1)
    # The TSA writes microseconds, without trailing zeros.
    seconds, _, fraction = token.gen_time_text.removesuffix("Z").partition(".")
    assert token.gen_time == datetime.datetime.strptime(seconds, "%Y-%m-%dT%H:%M:%S").replace(
        microsecond=int(fraction.ljust(6, "0")), tzinfo=utc)
    assert token.gen_time.tzinfo is utc and 1 <= len(fraction) <= 6 and not fraction.endswith("0")
    assert (token.policy, token.hash_algorithm, token.digest, token.nonce) == (OTHER_POLICY, "sha256", DIGEST,
                                                                               request.nonce)
    assert token.tsa_name == "CN=Test TSA" and token.serial_number > 0
    assert token.certificates == [openssl("x509", "-in", p, "-outform", "DER") for p in (pki.signer, pki.intermediate)]
    again = zp.TimestampToken.from_der(token.to_der())
    assert again == token and again.to_der() == token.to_der() and token.to_der()[:2] == b"\x30\x82"
    assert repr(token) == (f'TimestampToken(serial_number={hex(token.serial_number)}, '
                           f'gen_time="{token.gen_time_text}", policy="{OTHER_POLICY}")')
    verify(pki, token, nonce=request.nonce, policy=OTHER_POLICY, signer_common_name="Test TSA")


@pytest.mark.parametrize("algorithm, size", [("sha256", 32), ("sha384", 48), ("sha512", 64)])
def test_tokens_for_each_imprint(pki, algorithm, size):
    digest = hashlib.new(algorithm, b"batch").digest()
    query = openssl("ts", "-query", "-digest", digest.hex(), f"-{algorithm}", "-cert")
    token = zp.TimestampToken.from_der(pki.reply(query))
    assert (token.hash_algorithm, token.digest) == (algorithm, digest)
    verify(pki, token, digest, intermediates=pki.intermediate_pem)
    refused(f"{BAD}the digest given is 31 bytes; {algorithm} takes {size}", lambda: verify(pki, token, digest[:31]))
    refused(f"{BAD}the imprint does not match the digest", lambda: verify(pki, token, digest[::-1]))


def test_sha1_imprints_are_too_weak(pki):
    query = openssl("ts", "-query", "-digest", "00" * 20, "-sha1", "-cert")
    token = zp.TimestampToken.from_der(pki.reply(query))
    refused(f"{BAD}the imprint is a SHA-1 hash, which is too weak", lambda: verify(pki, token, bytes(20)))


def test_token_without_certificates_needs_the_tsa_certificate(pki):
    _, token = stamp(pki, certificate=False)
    assert token.certificates == []
    refused(f'{BAD}signer certificate not found: none issued by "CN=Local Intermediate CA" with serial '
            f"{serial_of(pki.signer):#x} among the token's 0 certificates", lambda: verify(pki, token))
    for form in ("PEM", "DER"):
        verify(pki, token, roots=openssl("x509", "-in", pki.dir / "root.pem", "-outform", form),
               intermediates=pki.intermediate_pem, tsa_certificate=openssl("x509", "-in", pki.signer, "-outform", form))


def test_chain_is_checked_at_gen_time(pki):
    expiring = zp.TimestampToken.from_der(pki.expiring_token)
    time.sleep(max(0.0, pki.expiry.timestamp() + 1.5 - time.time()))
    (pki.dir / "expiring.tsr").write_bytes(pki.expiring_token)
    with pytest.raises(subprocess.CalledProcessError):  # checked today, the token fails
        openssl("ts", "-verify", "-digest", DIGEST.hex(), "-in", pki.dir / "expiring.tsr",
                "-CAfile", pki.dir / "root.pem", "-untrusted", pki.intermediate)
    verify(pki, expiring, signer_common_name="Expiring TSA")
    future = zp.TimestampToken.from_der(pki.reply(zp.TimestampRequest(DIGEST).to_der(), signer=pki.dir / "future.pem"))
    refused(f"{BAD}the certificate chain does not verify at genTime {future.gen_time_text}: certificate is not yet "
            'valid (depth 0, "CN=Future TSA")', lambda: verify(pki, future))


@pytest.mark.parametrize("roots, message", [
    ("other-root.pem", 'unable to get local issuer certificate (depth 1, "CN=Local Intermediate CA")'),
    ("intermediate.pem", 'unable to get issuer certificate (depth 1, "CN=Local Intermediate CA")'),
])
def test_wrong_root(pki, roots, message):
    _, token = stamp(pki)
    refused(f"{BAD}the certificate chain does not verify at genTime {token.gen_time_text}: {message}",
            lambda: verify(pki, token, roots=(pki.dir / roots).read_bytes()))


@pytest.mark.parametrize("signer, options, reason", [
    ("noncritical", ["-cades"], "the signer certificate's extended key usage is not marked critical"),
    ("no-usage", ["-cades"], "the signer certificate has no extended key usage"),
    ("two-usages", ["-cades"], "the signer certificate's extended key usage is not exactly id-kp-timeStamping"),
    ("tsa", [], "no ESS signing-certificate attribute (v1 or v2)"),
    ("tsa", ["-noattr"], "the SignerInfo has no signed attributes"),
    ("tsa", ["-cades", "-keyid"], None),  # signer named by its subject key identifier
])
def test_signer_checks(pki, signer, options, reason):
    _, token = stamp(pki)
    resigned = resign(pki, token, signer, *options)
    if reason is None:
        verify(pki, resigned, signer_common_name="Test TSA")
    else:
        refused(BAD + reason, lambda: verify(pki, resigned))


def twin_of_signer(pki):
    """The stem of a certificate for the TSA's own key with the TSA certificate's issuer and
    serial, under another name."""
    if not (pki.dir / "twin.pem").exists():
        (pki.dir / "twin.key").write_bytes((pki.dir / "tsa.key").read_bytes())
        openssl("req", "-new", "-key", pki.dir / "twin.key", "-subj", "/CN=Twin TSA", "-out", pki.dir / "twin.csr")
        openssl("x509", "-req", "-in", pki.dir / "twin.csr", "-CA", pki.intermediate, "-CAkey",
                pki.dir / "intermediate.key", "-set_serial", serial_of(pki.signer), "-days", 1,
                "-out", pki.dir / "twin.pem")
    return "twin"


def with_version(tst, version):
    (_, fields), = elements(tst)
    assert fields[:3] == b"\x02\x01\x01"
    return der(0x30, der(0x02, bytes([version])) + fields[3:])


# Tokens that pass every other check, each signed afresh.
@pytest.mark.parametrize("craft, reason", [
    # The twin signs and its ESS attribute names it, but the token leaves it out: the signer is
    # the TSA certificate, found by the same issuer and serial, whose key made the signature.
    (lambda pki, tst: resign(pki, None, twin_of_signer(pki), "-cades", "-nocerts", tst=tst),
     "the ESS signing-certificate attribute does not name the signer certificate"),
    (lambda pki, tst: resign(pki, None, "tsa", "-cades", tst=with_version(tst, 2)), "the TSTInfo version is 2, not 1"),
    (lambda pki, tst: resign(pki, None, "tsa", "-cades", "-signer", pki.dir / "noncritical.pem", "-inkey",
                             pki.dir / "noncritical.key", tst=tst), "2 SignerInfos; expected exactly one"),
    (lambda pki, tst: resign(pki, None, "tsa", "-cades", tst=tst, content_type="1.2.3.4"),
     "the content type is 1.2.3.4, not id-ct-TSTInfo"),
], ids=["ess-names-another", "version", "two-signers", "content-type"])
def test_crafted_tokens(pki, craft, reason):
    _, token = stamp(pki)
    crafted = craft(pki, tst_info(pki, token))
    # OpenSSL's reasons, in parentheses, vary between its versions.
    with pytest.raises(ValueError, match="^" + re.escape(BAD + reason) + r"( \(.*\))?$"):
        verify(pki, crafted, tsa_certificate=pki.signer.read_bytes())


def with_signed_attributes(pki, token, edit):
    """The token with the DER of its signed attributes changed by `edit`, which takes and returns
    a list of them, and signed again with the TSA's key (in DER order, as the signature covers it)."""
    (_, info), = elements(token.to_der())
    (_, oid), (_, wrapped) = elements(info)
    (_, signed), = elements(wrapped)
    fields = list(elements(signed))
    (_, signer_info), = elements(fields[-1][1])
    parts = list(elements(signer_info))
    at = [tag for tag, _ in parts].index(0xA0)
    attributes = b"".join(sorted(edit([der(tag, content) for tag, content in elements(parts[at][1])])))
    (pki.dir / "attributes.der").write_bytes(der(0x31, attributes))
    parts[at], parts[at + 2] = (0xA0, attributes), (0x04, openssl(
        "dgst", "-sha256", "-sign", pki.dir / "tsa.key", pki.dir / "attributes.der"))
    fields[-1] = (0x31, der(0x30, b"".join(der(tag, content) for tag, content in parts)))
    signed = der(0x30, b"".join(der(tag, content) for tag, content in fields))
    return zp.TimestampToken.from_der(der(0x30, der(0x06, oid) + der(0xA0, signed)))


def attribute_named(oid):
    return lambda attribute: next(elements(next(elements(attribute))[1]))[1] == oid


MESSAGE_DIGEST = bytes.fromhex("2a864886f70d010904")
SIGNING_CERTIFICATE_V2 = bytes.fromhex("2a864886f70d010910022f")


def twice_the_value(attribute):
    (_, oid), (_, values) = elements(next(elements(attribute))[1])
    return der(0x30, der(0x06, oid) + der(0x31, values + values))


@pytest.mark.parametrize("case, reason", [
    ("the message-digest attribute twice", "the message-digest attribute occurs more than once"),
    ("two ESS values", "the ESS signing-certificate-v2 attribute holds 2 values, not one"),
    ("the root in uppercase", None),
])
def test_each_fault_has_its_own_reason(pki, case, reason):
    request, token = stamp(pki)
    if case == "the root in uppercase":
        anchor = zp.TsaAnchor("tsa", pki.root_pem)
        receipt = anchor.receipt(request, token.to_der())
        shouted = zp.AnchorReceipt.from_dict({**receipt.to_dict(), "merkle_root_hex": DIGEST.hex().upper()})
        assert anchor.verify(shouted).merkle_root_hex == DIGEST.hex() == anchor.verify(receipt).merkle_root_hex
        return
    # Signed again as it stands, the token still verifies: only the change makes it fail.
    verify(pki, with_signed_attributes(pki, token, lambda attributes: attributes))
    if case == "the message-digest attribute twice":
        edited = with_signed_attributes(pki, token, lambda attributes: attributes + [
            a for a in attributes if attribute_named(MESSAGE_DIGEST)(a)])
    else:
        edited = with_signed_attributes(pki, token, lambda attributes: [
            twice_the_value(a) if attribute_named(SIGNING_CERTIFICATE_V2)(a) else a for a in attributes])
    refused(BAD + reason, lambda: verify(pki, edited))


def test_a_gen_time_in_year_0_is_refused_when_read():
    data = (TIMESTAMP_DATA / "response.tsr").read_bytes()
    found = re.search(rb"\x18.([0-9]{14})(\.[0-9]+)?Z", data, re.DOTALL)
    year_0 = data[:found.start(1)] + b"00000101000000" + data[found.end(1):]
    refused(f'{BAD}genTime "00000101000000{(found.group(2) or b"").decode()}Z" is outside the years 1 to 9999',
            lambda: zp.TimestampToken.from_der(year_0))


def test_an_encrypted_pem_block_is_refused_without_asking_for_a_passphrase(pki):
    # The root encrypted under the empty passphrase (its key: MD5 over the passphrase and the
    # IV's first 8 bytes), which an empty answer to the prompt would decrypt.
    iv = bytes(range(16))
    (pki.dir / "root.der").write_bytes(openssl("x509", "-in", pki.dir / "root.pem", "-outform", "DER"))
    body = base64.b64encode(openssl("enc", "-aes-128-cbc", "-K", hashlib.md5(iv[:8]).hexdigest(), "-iv", iv.hex(),
                                    "-in", pki.dir / "root.der")).decode()
    encrypted = ("-----BEGIN CERTIFICATE-----\nProc-Type: 4,ENCRYPTED\nDEK-Info: AES-128-CBC," + iv.hex().upper()
                 + "\n\n" + "".join(body[i:i + 64] + "\n" for i in range(0, len(body), 64))
                 + "-----END CERTIFICATE-----\n")
    # Without a terminal, a passphrase prompt goes to stderr and reads stdin.
    done = subprocess.run(
        [sys.executable, "-X", "dev", "-c", "import sys, zun_protocol as zp\n"
         "try:\n    zp.TsaAnchor('a', sys.argv[1].encode())\nexcept ValueError as e:\n    print(e)",
         pki.root_pem.decode() + encrypted],
        stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60, start_new_session=True)
    assert done.stdout.startswith("roots: PEM block 2 is not a certificate (") and done.stderr == "", done


def test_tampering_is_found(pki, capfd):
    _, token = stamp(pki)
    data = token.to_der()
    at = data.index(DIGEST)
    tampered_tst = data[:at] + bytes([data[at] ^ 1]) + data[at + 1:]
    tampered_signature = data[:-1] + bytes([data[-1] ^ 1])
    refused(f"{BAD}the message-digest attribute does not match the TSTInfo",
            lambda: verify(pki, zp.TimestampToken.from_der(tampered_tst)))
    with pytest.raises(ValueError, match=f"^{BAD}the signature over the signed attributes does not verify"):
        verify(pki, zp.TimestampToken.from_der(tampered_signature))
    assert capfd.readouterr().err == ""  # OpenSSL's queue went into the message, not stderr


@pytest.mark.parametrize("expected, message", [
    ({"nonce": -7}, "nonce {nonce:#x} is not the expected -0x7"),
    ({"policy": OTHER_POLICY}, f"policy {POLICY} is not the expected {OTHER_POLICY}"),
    ({"signer_common_name": "Other TSA"}, 'signer common name "Test TSA" is not the expected "Other TSA"'),
])
def test_expectations(pki, expected, message):
    request, token = stamp(pki)
    refused(BAD + message.format(nonce=request.nonce), lambda: verify(pki, token, **expected))
    if "nonce" in expected:
        _, unnonced = stamp(pki, nonce=False)
        refused(f"{BAD}the token has no nonce; expected -0x7", lambda: verify(pki, unnonced, **expected))


def test_rejection_response(pki):
    response = pki.reply(zp.TimestampRequest(DIGEST, policy="1.2.3.99").to_der())
    refused(f'{BAD}TimeStampResp refused: response status rejection (2); statusString "Requested policy is not '
            'supported."; failInfo unacceptedPolicy', lambda: zp.TimestampToken.from_der(response))


def test_injected_certificates_change_nothing(pki):
    request, token = stamp(pki)
    # Same issuer, serial and name as the signer, another key; and a certificate named as the
    # attacker would like the signer to be.
    spoof = pki.dir / "spoof.pem"
    openssl("req", "-new", "-key", pki.dir / "noncritical.key", "-subj", "/CN=Test TSA", "-out", pki.dir / "spoof.csr")
    openssl("x509", "-req", "-in", pki.dir / "spoof.csr", "-CA", pki.intermediate, "-CAkey",
            pki.dir / "intermediate.key", "-set_serial", serial_of(pki.signer), "-days", 1, "-out", spoof)
    for bait in (spoof, pki.dir / "noncritical.pem"):
        injected = zp.TimestampToken.from_der(with_first_certificate(token.to_der(), openssl(
            "x509", "-in", bait, "-outform", "DER")))
        assert len(injected.certificates) == 3
        verify(pki, injected, nonce=request.nonce, signer_common_name="Test TSA")
    refused(f'{BAD}signer common name "Test TSA" is not the expected "noncritical"',
            lambda: verify(pki, injected, signer_common_name="noncritical"))


def test_anchor_round_trip(pki):
    anchor = zp.TsaAnchor("local-tsa", pki.root_pem, intermediates=pki.intermediate_pem, policy=OTHER_POLICY,
                          signer_common_name="Test TSA")
    assert (anchor.id, anchor.kind, repr(anchor)) == ("local-tsa", "nist_tsa", 'TsaAnchor(id="local-tsa", kind="nist_tsa")')
    root = hashlib.sha256(b"merkle").digest()
    request = anchor.request(root)
    assert (request.digest, request.policy, request.certificate) == (root, OTHER_POLICY, True)
    assert request.nonce is not None
    response = pki.reply(request.to_der())
    receipt = anchor.receipt(request, response)
    token = zp.TimestampToken.from_der(response)
    assert receipt.to_dict() == {
        "anchor_id": "local-tsa", "anchor_kind": "nist_tsa", "merkle_root_hex": root.hex(),
        "submission_ref": f"tsa-serial:{token.serial_number:x}", "submitted_at": token.gen_time_text,
        "expected_finality_at": token.gen_time_text, "proof_b64": base64.b64encode(token.to_der()).decode()}
    stored = zp.AnchorReceipt.from_json(receipt.to_json())
    proof = zp.TsaAnchor("elsewhere", pki.root_pem, intermediates=pki.intermediate_pem).verify(stored)
    assert proof.to_dict() == {
        "anchor_id": "elsewhere", "anchor_kind": "nist_tsa", "merkle_root_hex": root.hex(), "confirmed": True,
        "authoritative_time": token.gen_time_text,
        "detail": f'serial {token.serial_number:#x}, policy {OTHER_POLICY}, signer "Test TSA"'}
    # A pickled anchor is made again from its arguments: the same checks, the same proof.
    travelled = pickle.loads(pickle.dumps(anchor))
    assert travelled.verify(stored) == anchor.verify(stored)
    assert pickle.loads(pickle.dumps(travelled)).receipt(request, response) == receipt
    stranger = pickle.loads(pickle.dumps(zp.TsaAnchor("s", pki.root_pem, intermediates=pki.intermediate_pem,
                                                      signer_common_name="Someone Else")))
    with pytest.raises(ValueError, match="is not the expected \"Someone Else\""):
        stranger.verify(stored)
    # The answer to another request carries another nonce.
    with pytest.raises(ValueError, match=f"^{BAD}nonce 0x{token.nonce:x} is not the expected 0x"):
        anchor.receipt(anchor.request(root), response)
    other = hashlib.sha256(b"other").digest().hex()
    for fields, message, exc in [
        ({"anchor_kind": "local"}, "anchor unsupported: a receipt of kind `local` cannot be verified by a `nist_tsa` "
                                   "anchor", NotImplementedError),
        ({"merkle_root_hex": other}, BAD + "the imprint does not match the digest", ValueError),
        ({"merkle_root_hex": root.hex()[2:]}, BAD + "root len", ValueError),
        ({"merkle_root_hex": "g" + root.hex()[1:]}, BAD + "Invalid character 'g' at position 0", ValueError),
        ({"proof_b64": receipt.proof_b64 + "="}, BAD + "proof_b64 is not padded standard Base64", ValueError),
        ({"proof_b64": "AAAA"}, BAD + "proof_b64: not a TimeStampResp or a time-stamp token: not one DER SEQUENCE",
         ValueError),
    ]:
        refused(message, lambda: anchor.verify(zp.AnchorReceipt.from_dict({**receipt.to_dict(), **fields})), exc)
    bare = zp.TimestampRequest(root, nonce=False)
    refused(f"{BAD}policy {POLICY} is not the expected {OTHER_POLICY}",
            lambda: anchor.receipt(bare, pki.reply(bare.to_der())))
    # An anchor that names no policy holds the answer to the one its request asked for.
    asked = zp.TimestampRequest(root, nonce=False, policy=OTHER_POLICY)
    refused(f"{BAD}policy {POLICY} is not the expected {OTHER_POLICY}",
            lambda: zp.TsaAnchor("any", pki.root_pem).receipt(asked, pki.reply(bare.to_der())))


def test_any_prefix_of_a_response_is_refused(pki):
    response = pki.reply(zp.TimestampRequest(DIGEST).to_der())
    for end in range(len(response)):
        with pytest.raises(ValueError, match=f"^{BAD}"):
            zp.TimestampToken.from_der(response[:end])


@pytest.mark.parametrize("call, exc, message", [
    (lambda: zp.TimestampRequest(DIGEST, True), TypeError,
     "TimestampRequest.__new__() takes 1 positional arguments but 2 were given"),
    (lambda: zp.TimestampRequest(DIGEST, nonce=1), TypeError, "argument 'nonce': 'int' object cannot be cast as 'bool'"),
    (lambda: zp.TimestampRequest(DIGEST[:31]), ValueError, "digest must be exactly 32 bytes"),
    (lambda: zp.TimestampRequest(DIGEST, policy="1.02.3"), ValueError, "policy: not a dotted OID in canonical form"),
    (lambda: zp.TimestampRequest(DIGEST, policy="tsa"), ValueError,
     "policy: not a dotted OID: characters other than digits and dots"),
    (lambda: zp.TsaAnchor("a", b"junk"), ValueError, "roots: neither PEM nor a DER certificate (..."),
    (lambda: zp.TsaAnchor("a", b""), ValueError, "roots: no certificate given"),
    (lambda: zp.TsaAnchor("a", b"-----BEGIN X-----\nAAAA\n-----END X-----\n"), ValueError,
     "roots: no certificate in the PEM text"),
    (lambda: zp.TsaAnchor("a", b"x", b""), TypeError, "TsaAnchor.__new__() takes 2 positional arguments but 3 were given"),
    (lambda: zp.TsaAnchor("a"), TypeError, "TsaAnchor.__new__() missing 1 required positional argument: 'roots'"),
    (lambda: zp.TimestampToken.from_der(b""), ValueError,
     BAD + "not a TimeStampResp or a time-stamp token: not one DER SEQUENCE"),
])
def test_argument_errors(call, exc, message):
    # OpenSSL's own reasons, after "(", vary between its versions.
    with pytest.raises(exc, match="^" + re.escape(message.removesuffix("...")) + ("" if message.endswith("...") else "$")):
        call()


def test_verify_binds_keyword_only_arguments(pki):
    _, token = stamp(pki)
    refused("TimestampToken.verify() missing 1 required keyword-only argument: 'roots'", lambda: token.verify(DIGEST), TypeError)
    refused("TimestampToken.verify() takes 1 positional arguments but 2 were given",
            lambda: token.verify(DIGEST, pki.root_pem), TypeError)
    refused("argument 'nonce': 'str' object cannot be cast as 'int'",
            lambda: token.verify(DIGEST, roots=pki.root_pem, nonce="7"), TypeError)
    with pytest.raises(ValueError, match=r"^intermediates: PEM block 1 is not a certificate \("):
        token.verify(DIGEST, roots=pki.root_pem, intermediates=b"-----BEGIN CERTIFICATE-----\n!\n-----END CERTIFICATE-----\n")


def test_threads_run_while_a_token_verifies(pki):
    from test_threads import median_lateness
    _, token = stamp(pki)
    (_, fields), = elements(tst_info(pki, token))
    extension = der(0x30, der(0x06, bytes.fromhex("2a0304817f")) + der(0x04, bytes(16 << 20)))
    big = resign(pki, token, "tsa", "-cades", tst=der(0x30, fields + der(0xA1, extension)))
    assert median_lateness(lambda: verify(pki, big)) < 0.005


def test_threads_sharing_a_token_and_an_anchor_agree(pki):
    request, token = stamp(pki)
    anchor = zp.TsaAnchor("one-for-all", pki.root_pem)
    receipt = anchor.receipt(request, pki.reply(request.to_der()))
    errors = []

    def work():
        try:
            for _ in range(20):
                verify(pki, token, nonce=request.nonce)
                with pytest.raises(ValueError, match="^anchor bad response: the imprint does not match"):
                    verify(pki, token, bytes(32))
                assert anchor.verify(receipt).confirmed
        except BaseException as error:  # reported below
            errors.append(repr(error))

    workers = [threading.Thread(target=work) for _ in range(4)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    assert errors == []


def test_anchor_batch_example_runs():
    done = subprocess.run([sys.executable, "-X", "dev", str(EXAMPLES / "anchor_batch.py")], capture_output=True,
                          text=True, timeout=300)
    assert done.returncode == 0 and done.stderr == "", done.stderr
    assert " is in the batch the TSA saw at " in done.stdout
