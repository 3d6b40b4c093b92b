"""examples/audit_archive.py: the same audit in one process and on Dask worker processes."""
import base64
import importlib.util
import json
import pathlib
import subprocess
import sys

import pytest

import zun_protocol as zp

EXAMPLE = pathlib.Path(__file__).resolve().parents[1] / "examples" / "audit_archive.py"
SIGNERS = [zp.SoftwareIdentity.from_seed(bytes([n]) * 32) for n in (1, 2)]
STRANGER = zp.SoftwareIdentity.from_seed(bytes([3]) * 32)


@pytest.fixture(scope="module")
def example():
    spec = importlib.util.spec_from_file_location("audit_archive", EXAMPLE)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def _line(n, signer, fault=None):
    envelope = {
        "exchange_id": f"ex-{n}",
        "peer_self": {"class": "body", "type": "peer", "ref": signer.fingerprint},
        "direction": "outbound",
        "request_hash": f"{n:064x}",
        "our_signature": "",
        "opened_at": "2026-04-15T09:00:00.250Z",
        "protocol_hint": ("quic", "dns", "noise")[n % 3],
        "counterparty_identifier": "https://api.stripe.com/v1" if n % 7 == 0 else f"peer-{n}",
    }
    signing_bytes = zp.SignedEnvelope.from_dict(envelope).canonical_signing_bytes()
    envelope["our_signature"] = base64.b64encode(signer.sign(signing_bytes)).decode()
    if fault == "forged":
        envelope["request_hash"] = "0" * 64
    if fault == "padding":
        envelope["our_signature"] = envelope["our_signature"].rstrip("=")
    if fault == "not-ascii":
        envelope["our_signature"] = "\u00e9" + envelope["our_signature"][1:]
    text = json.dumps(envelope, separators=(",", ":")).encode()
    return {"truncated": text[:100], "not-utf8": text.replace(b"quic", b"qu\xffc")}.get(fault, text) + b"\n"


# line number -> (fault, the failure the audit reports)
FAULTS = {
    4: ("forged", ("ex-4", "signature verification failed: BadSignature")),
    9: ("stranger", ("ex-9", f"unknown signer kiv://body/peer/{STRANGER.fingerprint}")),
    15: ("truncated", (None, "invalid SignedEnvelope JSON: EOF while parsing a string at line 1 column 100")),
    22: ("padding", ("ex-22", "our_signature is not Base64")),
    30: ("not-utf8", (None, "line is not UTF-8")),
    33: ("not-ascii", ("ex-33", "our_signature is not Base64")),
}
COUNT = 40


@pytest.fixture(scope="module")
def archive(tmp_path_factory):
    directory = tmp_path_factory.mktemp("archive")
    lines = [_line(n, STRANGER if FAULTS.get(n, ("",))[0] == "stranger" else SIGNERS[n % 2],
                   FAULTS.get(n, (None,))[0]) for n in range(COUNT)]
    lines.insert(20, b"\n")  # blank lines are skipped
    (directory / "archive.ndjson").write_bytes(b"".join(lines))
    (directory / "descriptors.ndjson").write_text("".join(s.descriptor().to_json() + "\n" for s in SIGNERS))
    offsets = {n: sum(map(len, lines[:n + (n >= 20)])) for n in FAULTS}
    expected = [{"offset": offsets[n], "exchange_id": exchange_id, "reason": reason}
                for n, (_, (exchange_id, reason)) in sorted(FAULTS.items())]
    return directory / "archive.ndjson", directory / "descriptors.ndjson", len(lines[0]), expected


def test_every_line_is_audited_once_whatever_the_partitions(example, archive):
    path, descriptors, first_line, expected_failures = archive
    descriptors = example.read_descriptors(descriptors)
    whole = example.audit(path, descriptors)  # several equal partitions
    assert whole["envelopes"] == COUNT
    assert sum(whole["verified"].values()) == COUNT - len(FAULTS)
    assert set(whole["verified"]) == {"discovery", "marketplace", "routing", "trust"}
    assert whole["failures"] == expected_failures
    # A range may start on a line's first byte (the first size) or inside a line.
    for size in (first_line, 997, 50):
        assert example.audit(path, descriptors, partition_bytes=size) == whole


def test_two_dask_worker_processes_find_what_one_process_finds(archive):
    pytest.importorskip("dask.distributed")
    path, descriptors, _, expected_failures = archive

    def run(*options):
        done = subprocess.run([sys.executable, str(EXAMPLE), str(path), str(descriptors), "--json",
                               "--partition-bytes", "2000", *options],
                              capture_output=True, text=True, timeout=300)
        assert done.returncode == 0, done.stderr
        return json.loads(done.stdout)

    alone, distributed = run("--single-process"), run("--workers", "2")
    assert distributed == alone
    assert alone["failures"] == expected_failures and alone["envelopes"] == COUNT
