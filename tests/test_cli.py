"""The zun-protocol command line: its conventions, the queue commands on a queue that list()
refuses, verify on a mixed archive, the Merkle tree of an archive, and anchoring a root with a
local TSA. Mostly main(argv) in this process; the console script where a real process matters."""
import base64
import binascii
import hashlib
import json
import os
import pathlib
import signal
import stat
import subprocess
import sys
import sysconfig
import tempfile
import textwrap
import time

import pytest

import zun_protocol as zp
from zun_protocol_cli import durable_move, main, output, queue_files
from zun_protocol_cli.commands import queue as queue_command

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "examples"))
from local_tsa import OTHER_POLICY, LocalTsa  # noqa: E402

SCRIPT = os.path.join(sysconfig.get_path("scripts"), "zun-protocol")
FIELDS = {
    "exchange_id": "x",
    "peer_self": {"class": "body", "type": "peer", "ref": "p1"},
    "direction": "outbound",
    "request_hash": "h1",
    "our_signature": "s1",
    "opened_at": "2026-04-15T09:00:00Z",
    "protocol_hint": "https",
    "counterparty_identifier": "api.example.com",
}


def envelope(exchange_id, **fields):
    return zp.SignedEnvelope.from_dict({**FIELDS, "exchange_id": exchange_id, **fields})


@pytest.fixture
def cli(capsys):
    """main(argv) -> (status, stdout, stderr)."""
    def run(*argv):
        status = main([str(a) for a in argv])
        out, err = capsys.readouterr()
        return status, out, err
    return run


def one_error_line(err):
    assert err.endswith("\n") and err[:-1].isprintable() and err.startswith("zun-protocol: error: "), err
    return err


# ---- conventions -------------------------------------------------------------------------------------


@pytest.mark.parametrize("argv", [
    [], ["queue"], ["frobnicate"], ["queue", "ls", "--nope"], ["queue", "show"],
    ["verify"], ["verify", "--descriptors", "d", "--threads", "0"], ["verify", "--descriptors", "-"],
    ["verify", "--descriptors", "d", "--signature-encoding", "base32"],
    ["merkle", "root"], ["merkle", "prove", "a.ndjson", "-1"],
    ["merkle", "verify", "p.json", "--leaf", "e.json", "--root", "ab" * 31],
    ["anchor", "request", "ab" * 32], ["anchor", "request", "xy" * 32, "-o", "r.tsq"], ["anchor", "verify", "r.json"],
    ["anchor", "verify", "no\nsuch\x1b[2J.json", "--roots", "r.pem"],
])
def test_usage_errors_exit_2_with_one_line(cli, argv):
    status, out, err = cli(*argv)
    assert (status, out) == (2, "")
    one_error_line(err)


def test_console_script_and_module_run_the_same_command(tmp_path):
    zp.EnvelopeQueue(str(tmp_path)).push("trust", envelope("0190-a"))
    (tmp_path / "0190-b.json").write_text("{")
    for command in ([SCRIPT], [sys.executable, "-m", "zun_protocol_cli"]):
        version = subprocess.run([*command, "--version"], capture_output=True, text=True, timeout=60)
        assert (version.returncode, version.stdout) == (0, f"zun-protocol {zp.__version__}\n")
        check = subprocess.run([*command, "queue", "check", "--dir", str(tmp_path)], capture_output=True,
                               text=True, timeout=60)
        assert check.returncode == 1 and check.stdout.startswith("0190-b.json: queue JSON error: ")
        usage = subprocess.run([*command, "queue", "drop"], capture_output=True, text=True, timeout=60)
        assert usage.returncode == 2 and usage.stdout == ""
        one_error_line(usage.stderr)


# ---- queue ------------------------------------------------------------------------------------------


BREAKING = ["0190-trunc.json", "a-dir.json", "dangling.json", "fifo.json", "zero.json"]


def broken_queue(directory):
    """Three good items, then one file of each kind that makes list() fail, a temporary file
    of a push and a file that is not an item."""
    queue = zp.EnvelopeQueue(str(directory))
    for n in range(3):
        queue.push("trust", envelope(f"0190-good-{n}"))
    queue.push("routing", envelope("0190-trunc"))
    truncated = directory / "0190-trunc.json"
    truncated.write_bytes(truncated.read_bytes()[:40])
    (directory / "a-dir.json").mkdir()
    (directory / "a-dir.json" / "inside").write_text("kept")
    (directory / "dangling.json").symlink_to(directory / "nowhere")
    os.mkfifo(directory / "fifo.json")
    (directory / "zero.json").symlink_to("/dev/zero")
    (directory / ".spill-4242-4243-0.tmp").write_text("half")
    (directory / "notes.txt").write_text("ops notes")
    return queue


def json_lines(out):
    return [json.loads(line) for line in out.splitlines()]


@pytest.mark.parametrize("route", ["renameat2", "link, or mkdir and rename"])
def test_check_quarantine_check(cli, tmp_path, monkeypatch, route):
    if route != "renameat2":
        monkeypatch.setattr(durable_move, "renameat2", None)
    directory = tmp_path / "q"
    directory.mkdir()
    queue = broken_queue(directory)
    truncated = (directory / "0190-trunc.json").read_bytes()

    status, out, _ = cli("queue", "check", "--dir", directory, "--json")
    found = json_lines(out)
    assert status == 1
    assert found[-1] == {"summary": {"items": 8, "breaking": 5, "leftovers": 1, "not_items": 1,
                                     "list_succeeds": False}}
    breaking = [f for f in found if f.get("finding") == "breaks_list"]
    assert [f["file"] for f in breaking] == BREAKING
    assert {(f["file"], f["finding"]) for f in found[:-1]} - {(f["file"], "breaks_list") for f in breaking} == {
        (".spill-4242-4243-0.tmp", "leftover"), ("notes.txt", "not_an_item")}
    # Each message is the one list() gives once the files before it are out of its way.
    aside = tmp_path / "aside"
    aside.mkdir()
    for f in breaking:
        with pytest.raises((ValueError, OSError)) as refused:
            queue.list()
        assert f["message"] == str(refused.value)
        os.rename(directory / f["file"], aside / f["file"])
    for f in breaking:
        os.rename(aside / f["file"], directory / f["file"])

    (directory / "quarantine").mkdir()
    (directory / "quarantine" / "fifo.json").write_text("moved aside earlier")
    status, out, _ = cli("queue", "quarantine", "--dir", directory)
    assert status == 0
    assert out.splitlines()[-1] == f"moved 5 files to {directory}/quarantine; list() succeeds: 3 items"
    assert [item.queue_id for item in queue.list()] == ["0190-good-0", "0190-good-1", "0190-good-2"]
    kept = directory / "quarantine"
    assert sorted(os.listdir(kept)) == sorted(BREAKING + ["fifo.json.1"])
    assert (kept / "0190-trunc.json").read_bytes() == truncated
    assert (kept / "a-dir.json" / "inside").read_text() == "kept"
    assert os.readlink(kept / "dangling.json") == str(directory / "nowhere")
    assert os.readlink(kept / "zero.json") == "/dev/zero"
    assert stat.S_ISFIFO(os.lstat(kept / "fifo.json.1").st_mode)
    assert (kept / "fifo.json").read_text() == "moved aside earlier"
    assert sorted(os.listdir(directory)) == [
        ".spill-4242-4243-0.tmp", "0190-good-0.json", "0190-good-1.json", "0190-good-2.json", "notes.txt",
        "quarantine"]

    status, out, _ = cli("queue", "check", "--dir", directory)
    assert status == 0 and out.splitlines()[-1] == "list() succeeds: 3 items"
    assert [line.split(":")[0] for line in out.splitlines()[:-1]] == [
        ".spill-4242-4243-0.tmp", "notes.txt", "quarantine"]


@pytest.mark.parametrize("to", ["{dir}", "{dir}/aside.json", "{dir}/aside.json/kept", "{link}/kept"])
def test_quarantine_refuses_a_target_that_list_would_still_read(cli, tmp_path, to):
    directory = tmp_path / "q"
    directory.mkdir()
    (directory / "broken.json").write_text("{")
    (tmp_path / "link").symlink_to(directory / "aside.json")
    target = to.format(dir=directory, link=tmp_path / "link")
    status, out, err = cli("queue", "quarantine", "--dir", directory, "--to", target)
    assert (status, out) == (2, "") and one_error_line(err).startswith(f"zun-protocol: error: --to {target}: ")
    assert os.listdir(directory) == ["broken.json"]


def test_killed_quarantine_leaves_every_file_in_one_place(cli, tmp_path):
    directory, kept = tmp_path / "q", tmp_path / "q" / "quarantine"
    directory.mkdir()
    names = {f"bad-{n:04d}.json" for n in range(200)}
    for name in names:
        (directory / name).write_text(name)
    interrupted = 0
    (tmp_path / "tmp").mkdir()  # where the killed commands leave their private directories
    for kill_after in (1, 80, 160):
        child = subprocess.Popen([SCRIPT, "queue", "quarantine", "--dir", str(directory)],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                 env={**os.environ, "TMPDIR": str(tmp_path / "tmp")})
        deadline = time.monotonic() + 120
        while child.poll() is None and time.monotonic() < deadline:
            if kept.is_dir() and len(os.listdir(kept)) >= kill_after:
                break
        child.send_signal(signal.SIGKILL)
        interrupted += child.wait() == -signal.SIGKILL
        left, moved = set(os.listdir(directory)) - {"quarantine"}, set(os.listdir(kept))
        assert left | moved == names and not left & moved
        for name in names:
            assert ((kept if name in moved else directory) / name).read_text() == name
    assert interrupted
    status, out, _ = cli("queue", "quarantine", "--dir", directory)
    assert status == 0 and out.endswith("list() succeeds: 0 items\n")
    assert set(os.listdir(kept)) == names


def test_quarantine_deletes_nothing_not_even_what_list_would(cli, tmp_path):
    queue = zp.EnvelopeQueue(str(tmp_path))
    queue.push("trust", envelope("0190-a"))
    (tmp_path / "0190-b.json").write_text("{")
    ended = subprocess.Popen(["true"])
    ended.wait()
    leftover = tmp_path / f".spill-{ended.pid}-1-0.tmp"
    leftover.write_text("half")
    os.utime(leftover, (time.time() - 3600,) * 2)

    status, out, _ = cli("queue", "quarantine", "--dir", tmp_path)
    assert status == 0 and out.endswith("list() succeeds: 1 items\n") and leftover.exists()
    status, out, _ = cli("queue", "check", "--dir", tmp_path)
    assert out.splitlines()[0] == (f"{leftover.name}: temporary file of a push of process {ended.pid}, 1 h old, "
                                   "4 bytes (regular file); list() removes it once it is over ten minutes old "
                                   "and its process is gone")
    queue.list()
    assert not leftover.exists()


@pytest.mark.parametrize("link, to", [("q/quarantine", None), ("elsewhere", "{tmp}/elsewhere"),
                                      ("q/aside", "{tmp}/q/aside/kept")])
def test_quarantine_follows_no_symbolic_link_out_of_the_queue(cli, tmp_path, link, to):
    directory, outside = tmp_path / "q", tmp_path / "outside"
    directory.mkdir()
    outside.mkdir()
    (directory / "broken.json").write_text("{")
    (tmp_path / link).symlink_to(outside)
    status, out, err = cli("queue", "quarantine", "--dir", directory, *(["--to", to.format(tmp=tmp_path)] if to else []))
    assert status in (1, 2) and out == ""
    assert one_error_line(err).startswith(f"zun-protocol: error: {tmp_path / link}: a symbolic link")
    assert os.listdir(outside) == [] and (directory / "broken.json").read_text() == "{"


@pytest.mark.parametrize("link", ["dangling", "looping"])
def test_drop_removes_a_link_that_leads_nowhere(cli, tmp_path, link):
    queue = zp.EnvelopeQueue(str(tmp_path))
    queue.push("trust", envelope("0190-a"))
    (tmp_path / "bad.json").symlink_to(tmp_path / ("nowhere" if link == "dangling" else "bad.json"))
    status, out, _ = cli("queue", "drop", "--dir", tmp_path, "bad")
    assert (status, out) == (0, f"dropped bad ({tmp_path}/bad.json)\n")
    assert not os.path.lexists(tmp_path / "bad.json") and [i.queue_id for i in queue.list()] == ["0190-a"]


def test_quarantine_leaves_an_item_pushed_between_its_check_and_its_move(cli, tmp_path, monkeypatch):
    queue = zp.EnvelopeQueue(str(tmp_path))
    (tmp_path / "0190-a.json").write_text("{")
    (tmp_path / "0190-b.json").write_text("{")
    pushed = []

    def push_meanwhile(name):
        if name == "0190-a.json":
            queue.push("trust", envelope("0190-a"))
            pushed.append(name)

    monkeypatch.setattr(queue_command, "moving", push_meanwhile)
    status, out, _ = cli("queue", "quarantine", "--dir", tmp_path)
    assert pushed == ["0190-a.json"] and status == 0
    assert out == (f"0190-b.json -> {tmp_path}/quarantine/0190-b.json\n"
                   f"moved 1 files to {tmp_path}/quarantine; list() succeeds: 1 items\n")
    assert [item.envelope for item in queue.list()] == [envelope("0190-a")]
    assert os.listdir(tmp_path / "quarantine") == ["0190-b.json"]


@pytest.mark.parametrize("size, through", [(16 << 20, "file"), ((16 << 20) + 1, "file"), (2 << 30, "link")])
def test_an_item_file_over_16_mib_is_named_and_moved_aside_never_read_whole(cli, tmp_path, size, through):
    queue = zp.EnvelopeQueue(str(tmp_path / "q"))
    queue.push("trust", envelope("0190-a"))
    item = (tmp_path / "q" / "0190-a.json").read_bytes()
    big = tmp_path / ("big.json" if through == "link" else "q/big.json")
    with open(big, "wb") as file:  # the item, then spaces; or sparse: a hole of NUL bytes
        file.write(item.replace(b'"0190-a"', b'"0190-big"') + (b" " * (size - len(item)) if size < 1 << 30 else b""))
        file.truncate(size)
    if through == "link":
        (tmp_path / "q" / "big.json").symlink_to(big)
    if size == 16 << 20:  # the largest item file read: read whole, not cut short
        assert [i.queue_id for i in queue.list()] == ["0190-a", "0190-big"]
        with pytest.raises(ValueError, match="^queue JSON error: the item file would be larger than 16 MiB"):
            queue.push("trust", envelope("0190-c", counterparty_identifier="x" * size))
        assert sorted(os.listdir(tmp_path / "q")) == ["0190-a.json", "big.json"]
        return
    message = f"queue I/O error at {tmp_path}/q/big.json: item file is larger than 16 MiB, which no item is"
    with pytest.raises(OSError) as refused:
        queue.list()
    assert str(refused.value) == message
    status, out, _ = cli("queue", "check", "--dir", tmp_path / "q")
    assert status == 1 and out.startswith(f"big.json: {message}\n")
    status, out, _ = cli("queue", "quarantine", "--dir", tmp_path / "q")
    assert status == 0 and out.endswith("list() succeeds: 1 items\n")
    assert os.path.getsize(tmp_path / "q" / "quarantine" / "big.json") == size


def test_a_killed_commands_private_directory_goes_with_the_next_probe(tmp_path, monkeypatch):
    (tmp_path / "q").mkdir()
    (tmp_path / "q" / "a.json").write_text("{")
    (tmp_path / "tmp").mkdir()
    # Killed while it lists one file: its private directory holds the link.
    killed = subprocess.run([sys.executable, "-c", textwrap.dedent("""
        import os, signal, sys
        from zun_protocol_cli.queue_files import ItemProbe
        probe = ItemProbe(sys.argv[1])
        os.symlink(os.path.join(sys.argv[1], "a.json"), os.path.join(probe._sandbox, "a.json"))
        os.kill(os.getpid(), signal.SIGKILL)
    """), str(tmp_path / "q")], env={**os.environ, "TMPDIR": str(tmp_path / "tmp")}, timeout=60)
    assert killed.returncode == -signal.SIGKILL
    [left] = os.listdir(tmp_path / "tmp")
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path / "tmp"))
    with queue_files.ItemProbe(str(tmp_path / "q")) as probe:
        assert probe.failure("a.json").startswith("queue JSON error: ")
        assert os.listdir(tmp_path / "tmp") != [left]  # its own, alive and kept
    assert os.listdir(tmp_path / "tmp") == []


def test_ls_show_and_drop_while_another_file_breaks_list(cli, tmp_path):
    queue = zp.EnvelopeQueue(str(tmp_path))
    queue.push("trust", envelope("0190-b"))
    queue.push("routing", envelope("0190-a/x", request_hash="h2"))  # stored as 0190-ax.json
    (tmp_path / "zz.json").write_text("{")

    status, out, err = cli("queue", "ls", "--dir", tmp_path)
    assert status == 1 and out == ""
    assert one_error_line(err).startswith("zun-protocol: error: queue JSON error: EOF while parsing")
    status, out, _ = cli("queue", "show", "--dir", tmp_path, "0190-a/x")
    assert status == 0 and json.loads(out) == {
        "queue_id": "0190-a/x", "pair_class": "routing",
        "envelope": envelope("0190-a/x", request_hash="h2").to_dict()}
    for action in ("show", "drop"):
        status, _, err = cli("queue", action, "--dir", tmp_path, "0190-ax")  # another id, the same file
        assert status == 1 and 'holds the item "0190-a/x"' in one_error_line(err)

    assert cli("queue", "drop", "--dir", tmp_path, "zz")[0] == 0
    status, out, _ = cli("queue", "ls", "--dir", tmp_path, "--json")
    rows = json_lines(out)
    assert status == 0 and [(r["queue_id"], r["pair_class"]) for r in rows] == [
        ("0190-a/x", "routing"), ("0190-b", "trust")]
    for row, name in zip(rows, ("0190-ax.json", "0190-b.json")):
        assert row["size"] == os.stat(tmp_path / name).st_size
        assert row["modified"] == output.utc_time(os.stat(tmp_path / name).st_mtime)
    status, _, err = cli("queue", "drop", "--dir", tmp_path, "0190-c")
    assert status == 1 and one_error_line(err) == f'zun-protocol: error: no item "0190-c" in {tmp_path}\n'


@pytest.mark.parametrize("fault", ["no temporary directory", "link target too long"])
def test_show_ends_with_one_line_when_it_cannot_link_the_item_file(cli, tmp_path, monkeypatch, fault):
    exchange_id, directory = "0190-a", tmp_path / "q"
    if fault == "no temporary directory":
        monkeypatch.setattr(tempfile, "tempdir", str(tmp_path / "gone"))
    else:  # the item file's absolute path is longer than the target of a symbolic link may be
        deep = tmp_path
        while len(str(deep)) < 3900:
            deep /= "d" * min(250, 3900 - len(str(deep)))
        deep.mkdir(parents=True)
        monkeypatch.chdir(deep)
        exchange_id, directory = "0190-" + "a" * 240, "q"
    zp.EnvelopeQueue(str(directory)).push("trust", envelope(exchange_id))
    status, out, err = cli("queue", "show", "--dir", directory, exchange_id)
    assert (status, out) == (1, "")
    one_error_line(err)


def test_directory_that_list_refuses(cli, tmp_path):
    not_a_dir = tmp_path / "file"
    not_a_dir.write_text("")
    with pytest.raises(OSError) as refused:
        zp.EnvelopeQueue(str(not_a_dir)).list()
    status, out, _ = cli("queue", "check", "--dir", not_a_dir)
    assert status == 1 and out == f"{not_a_dir}: {refused.value}\n"
    status, out, _ = cli("queue", "check", "--dir", not_a_dir, "--json")
    assert status == 1 and json_lines(out) == [
        {"file": None, "path": str(not_a_dir), "finding": "breaks_list", "message": str(refused.value)},
        {"summary": {"items": None, "breaking": 1, "leftovers": 0, "not_items": 0, "list_succeeds": False}}]
    status, out, err = cli("queue", "quarantine", "--dir", not_a_dir)
    assert status == 1 and out == "" and str(refused.value) in one_error_line(err)


# ---- verify -----------------------------------------------------------------------------------------


SIGNERS = [zp.SoftwareIdentity.from_seed(bytes([n]) * 32) for n in (1, 2)]
STRANGER = zp.SoftwareIdentity.from_seed(bytes([9]) * 32)
ENCODERS = {
    "base64": lambda raw: base64.b64encode(raw).decode(),
    "base64url": lambda raw: base64.urlsafe_b64encode(raw).decode().rstrip("="),
    "hex": lambda raw: binascii.hexlify(raw).decode(),
}
LINES = 700
# Line number -> what is wrong with it; batches of lines meet at 256/257 and 512/513.
FAULTS = {5: "forged", 256: "forged", 257: "stranger", 300: "garbage", 512: "not utf-8", 513: "blank",
          600: "undecodable", 700: "stranger"}


def signed_line(number, signer, encode, fault=None):
    fields = {**FIELDS, "exchange_id": f"ex-{number}", "request_hash": f"h{number}",
              "peer_self": {"class": "body", "type": "peer", "ref": signer.fingerprint}}
    payload = zp.SignedEnvelope.from_dict(fields).canonical_signing_bytes()
    fields["our_signature"] = "!!" if fault == "undecodable" else encode(
        signer.sign(payload + b"." if fault == "forged" else payload))
    return json.dumps(fields).encode()


def write_archive(path, encode, faults):
    with open(path, "wb") as archive:
        for number in range(1, LINES + 1):
            fault = faults.get(number)
            line = {"garbage": b'{"exchange_id": ', "not utf-8": b'{"exchange_id":"\xff"}', "blank": b"  "}.get(
                fault) or signed_line(number, STRANGER if fault == "stranger" else SIGNERS[number % 2], encode, fault)
            archive.write(line + b"\n")


def expected_failures(encoding):
    outcome = {"forged": "bad_signature", "undecodable": "bad_signature", "stranger": "unknown_signer",
               "garbage": "unreadable_line", "not utf-8": "unreadable_line"}
    reason = {"forged": "signature verification failed: BadSignature",
              "undecodable": f"our_signature is not {encoding}",
              "stranger": f"no descriptor with the fingerprint {STRANGER.fingerprint}",
              "garbage": "invalid SignedEnvelope JSON: EOF while parsing a value at line 1 column 16",
              "not utf-8": "not UTF-8: byte 17 of the line"}
    return [{"line": n, "outcome": outcome[f], "reason": reason[f]} for n, f in sorted(FAULTS.items()) if f != "blank"]


@pytest.fixture
def descriptors(tmp_path):
    """The first signer's descriptor as a file, the second's in a directory."""
    (tmp_path / "one.json").write_text(SIGNERS[0].descriptor().to_json())
    (tmp_path / "more").mkdir()
    (tmp_path / "more" / "two.json").write_text(SIGNERS[1].descriptor().to_json())
    (tmp_path / "more" / "README").write_text("not a descriptor, not read")
    return [tmp_path / "one.json", tmp_path / "more"]


@pytest.mark.parametrize("threads, encoding", [(1, "base64"), (3, "base64url"), (2, "hex")])
def test_verify_counts_every_outcome_by_line(cli, tmp_path, descriptors, threads, encoding):
    archive = tmp_path / "archive.ndjson"
    write_archive(archive, ENCODERS[encoding], FAULTS)
    common = ["--threads", threads, "--signature-encoding", encoding, "--descriptors", *descriptors, "--", archive]
    failures = expected_failures(encoding)
    counts = {"verified": LINES - 1 - len(failures), "bad_signature": 3, "unknown_signer": 2, "unreadable_line": 2}

    status, out, _ = cli("verify", "--json", *common)
    assert status == 1 and json_lines(out) == [*failures, {"summary": counts}]
    status, out, _ = cli("verify", *common)
    assert status == 1 and out.splitlines() == [
        *(f"line {f['line']}: {f['outcome'].replace('_', ' ')}: {f['reason']}" for f in failures),
        f"verified {counts['verified']}, bad signature 3, unknown signer 2, unreadable line 2"]

    write_archive(archive, ENCODERS[encoding], {})
    status, out, _ = cli("verify", *common)
    assert (status, out) == (0, f"verified {LINES}, bad signature 0, unknown signer 0, unreadable line 0\n")


def test_verify_reads_standard_input_through_the_console_script(tmp_path, descriptors):
    archive = tmp_path / "archive.ndjson"
    write_archive(archive, ENCODERS["base64"], FAULTS)
    with open(archive, "rb") as stdin:
        done = subprocess.run([SCRIPT, "verify", "--json", "--descriptors", *map(str, descriptors)], stdin=stdin,
                              capture_output=True, text=True, timeout=120)
    assert done.returncode == 1 and json_lines(done.stdout)[:-1] == expected_failures("base64")


def test_verify_into_a_reader_that_leaves_after_one_line_ends_quietly(tmp_path, descriptors):
    archive = tmp_path / "archive.ndjson"
    archive.write_bytes(b'{"exchange_id": \n' * 20000)  # failures that fill far more than a pipe holds
    with open(tmp_path / "stderr", "w+b") as stderr:
        child = subprocess.Popen([SCRIPT, "verify", "--descriptors", *map(str, descriptors), "--", str(archive)],
                                 stdout=subprocess.PIPE, stderr=stderr)
        first = child.stdout.readline()
        child.stdout.close()
        status = child.wait(timeout=120)
        stderr.seek(0)
        assert first.startswith(b"line 1: unreadable line: ") and (status, stderr.read()) == (1, b"")


def test_progress_display_changes_nothing_but_stderr(cli, tmp_path, descriptors, monkeypatch):
    pytest.importorskip("tqdm")
    archive = tmp_path / "archive.ndjson"
    write_archive(archive, ENCODERS["base64"], FAULTS)
    argv = ["verify", "--json", "--descriptors", *descriptors, "--", archive]
    monkeypatch.setattr(output, "PROGRESS_DELAY", 0)
    monkeypatch.setattr(sys.stderr, "isatty", lambda: True)
    shown = cli(*argv)
    monkeypatch.setitem(sys.modules, "tqdm", None)
    plain = cli(*argv)
    assert shown[:2] == plain[:2] and "verifying" in shown[2] and plain[2] == ""


@pytest.mark.parametrize("case, hint", [
    ("two descriptors, one fingerprint", "two different descriptors with the fingerprint"),
    ("a file that is not a descriptor", "archive.ndjson: invalid PeerIdentityDescriptor JSON: "),
    ("no archive file", "no-such.ndjson: No such file or directory"),
    ("no descriptor", "no descriptor in"),
])
def test_verify_refuses_unusable_inputs(cli, tmp_path, descriptors, case, hint):
    archive = tmp_path / "archive.ndjson"
    write_archive(archive, ENCODERS["base64"], {})
    twin = tmp_path / "twin.json"
    twin.write_text(SIGNERS[0].descriptor().to_json().replace("2026-04-15", "2027-01-01"))
    (tmp_path / "empty").mkdir()
    argv = {
        "two descriptors, one fingerprint": ["--descriptors", *descriptors, twin, "--", archive],
        "a file that is not a descriptor": ["--descriptors", *descriptors, archive, "--", archive],
        "no archive file": ["--descriptors", *descriptors, "--", tmp_path / "no-such.ndjson"],
        "no descriptor": ["--descriptors", tmp_path / "empty", "--", archive],
    }[case]
    status, out, err = cli("verify", *argv)
    assert (status, out) == (2, "") and hint in one_error_line(err)


@pytest.mark.parametrize("spelling", [
    "--descriptors {both} {archive}", "--descriptors {one} --descriptors {more} {archive}",
    "--descriptors {one} {more} {archive}", "{archive} --descriptors {one} {more}",
    "--descriptors {one} {more} -- {archive}", "--descriptors {more} {one} < {archive}",
])
def test_verify_takes_the_archive_after_the_descriptors(cli, tmp_path, descriptors, monkeypatch, spelling):
    archive, both = tmp_path / "archive.ndjson", tmp_path / "both"
    write_archive(archive, ENCODERS["base64"], {})
    both.mkdir()
    for n, signer in enumerate(SIGNERS):
        (both / f"{n}.json").write_text(signer.descriptor().to_json())
    argv, _, stdin = spelling.format(one=descriptors[0], more=descriptors[1], both=both, archive=archive).partition(" < ")
    with open(stdin or os.devnull, "rb") as given:
        monkeypatch.setattr(sys, "stdin", given)
        status, out, _ = cli("verify", *argv.split())
    assert (status, out) == (0, f"verified {LINES}, bad signature 0, unknown signer 0, unreadable line 0\n")


@pytest.mark.parametrize("command", ["verify", "verify a descriptor", "merkle root"])
def test_a_line_or_descriptor_past_16_mib_is_refused_before_it_is_read_whole(cli, tmp_path, descriptors, command):
    huge = tmp_path / "huge.ndjson"
    with open(huge, "wb") as file:
        file.write(signed_line(1, SIGNERS[1], ENCODERS["base64"]) + b"\n")
        file.truncate(file.tell() + (16 << 20) + 1)  # then one line of NUL bytes
    argv = {"verify": ["verify", "--descriptors", *descriptors, "--", huge],
            "verify a descriptor": ["verify", "--descriptors", huge, "--", huge],
            "merkle root": ["merkle", "root", huge]}[command]
    status, out, err = cli(*argv)
    message = "larger than 16 MiB" if command == "verify a descriptor" else "line 2: longer than 16 MiB"
    assert (status, out) == (2, "") and f"{huge}: {message}" in one_error_line(err)


# ---- merkle -----------------------------------------------------------------------------------------


BLANK_LINE = 4
ROOT = hashlib.sha256(b"batch").hexdigest()


def merkle_archive(path, count):
    """Envelope lines in another key order and spacing than their canonical JSON, line 2 ending
    in CRLF, line BLANK_LINE blank. Returns the lines as written, the envelopes, the raw leaves."""
    lines, envelopes = [], []
    for number in range(1, count + 1):
        fields = {**FIELDS, "exchange_id": f"ex-{number}"}
        if number != BLANK_LINE:
            envelopes.append(zp.SignedEnvelope.from_dict(fields))
        lines.append(b"  \n" if number == BLANK_LINE else
                     json.dumps(dict(reversed(fields.items()))).encode() + (b"\r\n" if number == 2 else b"\n"))
    path.write_bytes(b"".join(lines))
    return lines, envelopes, [line.rstrip(b"\r\n") for line in lines]


@pytest.mark.parametrize("raw", [False, True])
def test_merkle_root_prove_and_verify_agree_with_the_module(cli, tmp_path, raw):
    archive = tmp_path / "archive.ndjson"
    lines, envelopes, raw_leaves = merkle_archive(archive, 600)
    tree = zp.MerkleTree(raw_leaves) if raw else zp.MerkleTree.of_envelopes(envelopes)
    root, flag = tree.root().hex(), ["--raw"] if raw else []
    assert cli("merkle", "root", *flag, archive) == (0, f"{root} {tree.size} leaves\n", "")
    assert cli("merkle", "root", "--json", *flag, archive) == (0, f'{{"root":"{root}","tree_size":{tree.size}}}\n', "")

    # The CRLF line, the line after the blank one, a leaf of the second batch of lines, the last.
    for index in (1, BLANK_LINE - 1, 299, tree.size - 1):
        line = index + 1 if raw or index + 1 < BLANK_LINE else index + 2
        status, out, _ = cli("merkle", "prove", *flag, archive, index)
        assert status == 0 and json.loads(out) == {**tree.inclusion_proof(index).to_dict(),
                                                   "leaf_hash": tree.leaf_hash(index).hex(), "root": root, "line": line}
        (tmp_path / "proof.json").write_text(out)
        (tmp_path / "leaf").write_bytes(lines[line - 1])
        status, out, _ = cli("merkle", "verify", *flag, tmp_path / "proof.json", "--leaf", tmp_path / "leaf",
                             "--root", root.upper(), "--size", tree.size)
        assert (status, out) == (0, f"leaf {index} of {tree.size} is in the tree of root {root}\n")


@pytest.mark.parametrize("fault", ["a hash changed", "another leaf", "the leaf taken raw", "another root"])
def test_merkle_verify_exits_1_when_the_proof_does_not_hold(cli, tmp_path, fault):
    archive = tmp_path / "archive.ndjson"
    lines, envelopes, _ = merkle_archive(archive, 7)
    proof = json.loads(cli("merkle", "prove", archive, 2)[1])
    if fault == "a hash changed":
        proof["hashes"][1] = hashlib.sha256(b"another node").hexdigest()
    (tmp_path / "proof.json").write_text(json.dumps(proof))
    (tmp_path / "leaf").write_bytes(lines[0 if fault == "another leaf" else 2])
    status, out, err = cli("merkle", "verify", *(["--raw"] if fault == "the leaf taken raw" else []),
                           tmp_path / "proof.json", "--leaf", tmp_path / "leaf",
                           "--root", ROOT if fault == "another root" else proof["root"])
    assert (status, out) == (1, "")
    assert one_error_line(err).startswith("zun-protocol: error: merkle proof does not verify: ")


def test_merkle_verify_tells_what_the_root_proves_from_what_the_proof_claims(cli, tmp_path):
    tree = zp.MerkleTree([b"a", b"b"])
    (tmp_path / "leaf").write_bytes(b"b")
    # The real proof of leaf 1 of 2 holds just as well as leaf 2 of 3, 4 of 5, ...
    for index, size in [(1, 2), (2, 3), (4, 5)]:
        (tmp_path / "proof.json").write_text(zp.InclusionProof(index, size, tree.inclusion_proof(1).hashes).to_json())
        argv = ["merkle", "verify", "--raw", tmp_path / "proof.json", "--leaf", tmp_path / "leaf",
                "--root", tree.root().hex()]
        status, out, _ = cli(*argv)
        assert status == 0 and out.startswith(f"the leaf is in the tree of root {tree.root().hex()}; the proof "
                                              f"says it is leaf {index} of {size}, which the root alone does not")
        status, out, err = cli(*argv, "--size", 2)
        if size == 2:
            assert (status, out) == (0, f"leaf 1 of 2 is in the tree of root {tree.root().hex()}\n")
        else:
            assert (status, out) == (1, "") and one_error_line(err) == (
                f"zun-protocol: error: merkle proof does not verify: it is for a tree of {size} leaves, "
                "not of the 2 given with --size\n")


# ---- anchor -----------------------------------------------------------------------------------------


@pytest.fixture(scope="module")
def tsa(tmp_path_factory):
    return LocalTsa(tmp_path_factory.mktemp("tsa"))


def anchored(cli, tsa, directory, *policy):
    """The request file of ROOT, the TSA's answer to it as a file, and what `request` printed."""
    path = directory / f"request-{len(os.listdir(directory))}.tsq"
    status, out, _ = cli("anchor", "request", ROOT, "-o", path, *policy)
    assert status == 0
    answer = path.with_suffix(".tsr")
    answer.write_bytes(tsa.reply(path.read_bytes()))
    return path, answer, out


def test_anchor_request_receipt_and_verify(cli, tmp_path, tsa):
    request_file, response_file, out = anchored(cli, tsa, tmp_path, "--policy", OTHER_POLICY)
    request = zp.TimestampRequest.from_der(request_file.read_bytes())
    assert (request.digest.hex(), request.policy, request.certificate) == (ROOT, OTHER_POLICY, True)
    assert out == f"{request_file}: time-stamp request of root {ROOT}, nonce {request.nonce:#x}, policy {OTHER_POLICY}\n"

    trust = ["--roots", tsa.dir / "root.pem", "--signer-common-name", "Local TSA"]
    status, out, _ = cli("anchor", "receipt", "--request", request_file, "--response", response_file,
                         "--anchor-id", "local", *trust)
    receipt = zp.AnchorReceipt.from_json(out)
    assert status == 0 and (receipt.anchor_id, receipt.merkle_root_hex) == ("local", ROOT)
    (tmp_path / "receipt.json").write_text(out)
    status, out, _ = cli("anchor", "verify", tmp_path / "receipt.json", *trust, "--policy", OTHER_POLICY)
    assert status == 0 and zp.AnchorProof.from_json(out) == zp.TsaAnchor("local", tsa.root_pem).verify(receipt)

    # Not real: another root certificate trusted, or the receipt claims another Merkle root.
    status, out, err = cli("anchor", "verify", tmp_path / "receipt.json", "--roots", tsa.intermediate)
    assert (status, out) == (1, "") and "the certificate chain does not verify" in one_error_line(err)
    (tmp_path / "receipt.json").write_text(receipt.to_json().replace(ROOT, hashlib.sha256(b"another").hexdigest()))
    status, out, err = cli("anchor", "verify", tmp_path / "receipt.json", *trust)
    assert (status, out) == (1, "") and "the imprint does not match the digest" in one_error_line(err)

    # The answer to another request for the same root: only its nonce tells them apart, so no
    # request is written over an earlier one.
    status, out, err = cli("anchor", "request", ROOT, "-o", request_file)
    assert (status, out) == (2, "") and "already exists" in one_error_line(err)
    assert zp.TimestampRequest.from_der(request_file.read_bytes()) == request
    _, other_response, _ = anchored(cli, tsa, tmp_path)
    status, out, err = cli("anchor", "receipt", "--request", request_file, "--response", other_response, *trust)
    assert (status, out) == (1, "") and "anchor bad response: nonce 0x" in one_error_line(err)


def test_anchor_receipt_holds_the_tsa_to_the_policy_the_request_asked_for(cli, tmp_path, tsa):
    # Without nonces the answer to a request for the TSA's own policy passes for an answer to this one.
    asked = zp.TimestampRequest(bytes.fromhex(ROOT), nonce=False, policy=OTHER_POLICY)
    (tmp_path / "asked.tsq").write_bytes(asked.to_der())
    (tmp_path / "answer.tsr").write_bytes(tsa.reply(zp.TimestampRequest(bytes.fromhex(ROOT), nonce=False).to_der()))
    status, out, err = cli("anchor", "receipt", "--request", tmp_path / "asked.tsq", "--response",
                           tmp_path / "answer.tsr", "--roots", tsa.dir / "root.pem")
    assert (status, out) == (1, "") and f"is not the expected {OTHER_POLICY}" in one_error_line(err)


@pytest.mark.parametrize("argv, message", [
    (["merkle", "root", "{garbage}"], "garbage.ndjson: line 2: invalid SignedEnvelope JSON: "),
    (["merkle", "prove", "{archive}", 7], "leaf index 7 is out of range for a tree of 7 leaves"),
    (["merkle", "verify", "--raw", "{proof}", "--leaf", "{archive}", "--root", ROOT], "more than one line"),
    (["merkle", "verify", "-", "--leaf", "-", "--root", ROOT], "standard input (-) can be given for one file only"),
    (["anchor", "receipt", "--request", "{leaf}", "--response", "{leaf}", "--roots", "{root_pem}"],
     "leaf: not a DER TimeStampReq"),
    (["anchor", "verify", "{proof}", "--roots", "{root_pem}"], "invalid AnchorReceipt JSON: "),
    (["anchor", "verify", "{receipt}", "--roots", "{leaf}"], "--roots {leaf}: neither PEM nor a DER certificate"),
])
def test_merkle_and_anchor_refuse_unusable_inputs(cli, tmp_path, tsa, argv, message):
    names = {"archive": tmp_path / "archive.ndjson", "garbage": tmp_path / "garbage.ndjson", "leaf": tmp_path / "leaf",
             "proof": tmp_path / "proof.json", "receipt": tmp_path / "receipt.json", "root_pem": tsa.dir / "root.pem"}
    lines, _, _ = merkle_archive(names["archive"], 8)
    names["garbage"].write_bytes(lines[0] + b'{"exchange_id": \n')
    names["leaf"].write_bytes(lines[0])
    names["proof"].write_text(cli("merkle", "prove", names["archive"], 0)[1])
    names["receipt"].write_text(zp.MockAnchor("mock").submit(bytes(32)).to_json())
    status, out, err = cli(*(str(a).format(**names) for a in argv))
    assert (status, out) == (2, "") and message.format(**names) in one_error_line(err)
