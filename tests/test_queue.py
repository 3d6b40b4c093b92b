"""EnvelopeQueue and QueuedItem as Python sees them, on a real file system."""
import base64
import json
import os
import pathlib
import stat
import subprocess
import sys
import textwrap

import pytest

import zun_protocol as zp
from zun_protocol import EnvelopeQueue, QueuedItem, SignedEnvelope

pytestmark = pytest.mark.portable

VECTORS = pathlib.Path(__file__).resolve().parent / "data" / "record-json.jsonl"
UNUSABLE_ID = ("queue_id has no character usable in a file name "
               "(it needs at least one ASCII letter, digit, '-' or '_')")
ID = "0190a1b2-c3d4-7e5f-8a9b-0c1d2e3f4a5b"
FULL = {
    "exchange_id": ID,
    "peer_self": {"class": "body", "type": "peer", "ref": "ab12"},
    "peer_counterparty": {"class": "route", "type": "t", "ref": "r/s"},
    "direction": "outbound",
    "request_hash": "h1",
    "response_hash": "h2",
    "counterparty_signature": "cs",
    "our_signature": "s1",
    "opened_at": "2026-04-15T09:00:00.500Z",
    "closed_at": "2026-04-15T09:00:01Z",
    "protocol_hint": "https",
    "counterparty_identifier": "api.example.com",
}
MINIMAL = {k: v for k, v in FULL.items()
           if k not in ("peer_counterparty", "response_hash", "counterparty_signature", "closed_at")}


def envelope(exchange_id=ID, base=FULL):
    return SignedEnvelope.from_dict({**base, "exchange_id": exchange_id})


def raises(exc, message, call):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc and info.value.args == (message,)
    return info.value


def files(path):
    return sorted(os.listdir(path))


# ---- construction and the default directory -----------------------------------------------------


def test_missing_directory_lists_empty_and_push_creates_it_with_parents(tmp_path):
    target = tmp_path / "a" / "b" / "queue"
    q = EnvelopeQueue(str(target))
    assert q.list() == [] and not (tmp_path / "a").exists()
    assert q.drop_item(ID) is None and not (tmp_path / "a").exists()
    assert q.push("trust", envelope()) is None
    assert files(target) == [f"{ID}.json"]


@pytest.mark.parametrize("home, expected", [
    ("/home/u", "/home/u/.tamsel/envelope-queue"),
    ("/h", "/h/.tamsel/envelope-queue"),
    ("/h/", "/h/.tamsel/envelope-queue"),
    ("", ".tamsel/envelope-queue"),
    (None, ".envelope-queue"),
])
def test_default_directory(monkeypatch, home, expected):
    if home is None:
        monkeypatch.delenv("HOME", raising=False)
    else:
        monkeypatch.setenv("HOME", home)
    q = EnvelopeQueue.default()
    assert type(q) is EnvelopeQueue and q.dir == expected
    assert repr(q) == f'EnvelopeQueue(dir="{expected}")'


def test_default_reads_home_at_each_call_and_touches_nothing(monkeypatch, tmp_path):
    monkeypatch.setenv("HOME", str(tmp_path / "one"))
    first = EnvelopeQueue.default()
    monkeypatch.setenv("HOME", str(tmp_path / "two"))
    second = first.default()  # static: callable on an instance too
    assert first.dir == f"{tmp_path}/one/.tamsel/envelope-queue"
    assert second.dir == f"{tmp_path}/two/.tamsel/envelope-queue"
    assert files(tmp_path) == []
    second.push("trust", envelope())
    assert files(tmp_path / "two" / ".tamsel" / "envelope-queue") == [f"{ID}.json"]


def test_home_that_is_not_utf8(monkeypatch):
    monkeypatch.setenv("HOME", "/h\udcff\udcc3")  # the raw bytes b"/h\xff\xc3"
    q = EnvelopeQueue.default()
    assert q.dir == "/h\ufffd\ufffd/.tamsel/envelope-queue"
    assert repr(q) == 'EnvelopeQueue(dir="/h\\xFF\\xC3/.tamsel/envelope-queue")'


def test_dir_is_kept_as_given_and_items_get_one_separator(tmp_path):
    q = EnvelopeQueue(f"{tmp_path}/")
    assert q.dir == f"{tmp_path}/" and repr(q) == f'EnvelopeQueue(dir="{tmp_path}/")'
    (tmp_path / f"{ID}.json").mkdir()  # the item's name is taken by a directory
    raises(OSError, f"queue I/O error at {tmp_path}/{ID}.json: Is a directory (os error 21)",
           lambda: q.push("trust", envelope()))
    assert files(tmp_path) == [f"{ID}.json"]


def test_regular_file_with_a_trailing_slash_cannot_become_the_directory(tmp_path):
    # The status query of "f/" fails, so creating it is tried and finds "f" in the way.
    (tmp_path / "f").write_text("")
    raises(OSError, f"queue I/O error at {tmp_path}/f/: File exists (os error 17)",
           lambda: EnvelopeQueue(f"{tmp_path}/f/").push("trust", envelope()))


@pytest.mark.parametrize("path, shown", [
    ("/srv/q", '"/srv/q"'),
    ('q"\\\n\r\t\0', '"q\\"\\\\\\n\\r\\t\\0"'),
    ("it's\x01\x7f\u00ad\u2028", "\"it's\\u{1}\\u{7f}\\u{ad}\\u{2028}\""),
    ("é\u0301 中文 \U0001f600", '"é\\u{301} 中文 \U0001f600"'),
])
def test_queue_repr_quotes_the_path(path, shown):
    q = EnvelopeQueue(path)
    assert repr(q) == str(q) == f"EnvelopeQueue(dir={shown})"
    assert q.dir == path


# ---- push ---------------------------------------------------------------------------------------


def test_push_twice_keeps_one_item_with_the_last_pair_class(tmp_path):
    q = EnvelopeQueue(str(tmp_path))
    assert q.push("trust", envelope()) is None
    assert q.push(pair_class="commerce", envelope=envelope()) is None
    [item] = q.list()
    assert type(item) is QueuedItem
    assert (item.queue_id, item.pair_class) == (ID, "commerce")
    assert item.envelope == envelope()
    assert files(tmp_path) == [f"{ID}.json"]  # and no temporary file left behind


def test_item_file_layout_exactly(tmp_path):
    EnvelopeQueue(str(tmp_path)).push("trust", envelope("e-1", MINIMAL))
    assert (tmp_path / "e-1.json").read_bytes() == (
        b'{\n'
        b'  "queue_id": "e-1",\n'
        b'  "pair_class": "trust",\n'
        b'  "envelope": {\n'
        b'    "exchange_id": "e-1",\n'
        b'    "peer_self": {\n'
        b'      "class": "body",\n'
        b'      "type": "peer",\n'
        b'      "ref": "ab12"\n'
        b'    },\n'
        b'    "direction": "outbound",\n'
        b'    "request_hash": "h1",\n'
        b'    "our_signature": "s1",\n'
        b'    "opened_at": "2026-04-15T09:00:00.500Z",\n'
        b'    "protocol_hint": "https",\n'
        b'    "counterparty_identifier": "api.example.com"\n'
        b'  }\n'
        b'}')


def test_item_file_matches_an_indented_json_dump(tmp_path):
    EnvelopeQueue(str(tmp_path)).push("any text, not checked", envelope())
    expected = {"queue_id": ID, "pair_class": "any text, not checked", "envelope": FULL}
    assert (tmp_path / f"{ID}.json").read_text() == json.dumps(expected, indent=2)


@pytest.mark.parametrize("umask", [0o022, 0o077, 0o002, 0o027])
def test_permission_bits_follow_the_umask(tmp_path, umask):
    old = os.umask(umask)
    try:
        EnvelopeQueue(str(tmp_path / "new" / "q")).push("trust", envelope())
    finally:
        os.umask(old)
    for directory in (tmp_path / "new", tmp_path / "new" / "q"):
        assert stat.S_IMODE(directory.stat().st_mode) == 0o777 & ~umask
    assert stat.S_IMODE((tmp_path / "new" / "q" / f"{ID}.json").stat().st_mode) == 0o666 & ~umask


def test_push_replaces_the_file_instead_of_rewriting_it(tmp_path):
    # A reader that opened the old item keeps reading the old content whole.
    q = EnvelopeQueue(str(tmp_path))
    q.push("trust", envelope())
    with open(tmp_path / f"{ID}.json", "rb") as old:
        q.push("a-much-longer-pair-class-than-before", envelope())
        assert b'"trust"' in old.read()
    assert q.list()[0].pair_class == "a-much-longer-pair-class-than-before"


def test_push_neither_follows_nor_truncates_what_holds_a_temporary_name(tmp_path):
    # Push writes ".spill-<pid>-<thread id>-<n>.tmp" (n counting from 0 in each
    # process) and renames it. A fresh process plants a symlink to an outside
    # file at the first name and a file at the second: both must stay as they
    # are, and the item must land as a file of its own.
    code = textwrap.dedent("""\
        import os, pathlib, sys, threading, zun_protocol as zp
        queue, outside = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
        def temp(n):
            return queue / f".spill-{os.getpid()}-{threading.get_native_id()}-{n}.tmp"
        queue.mkdir()
        temp(0).symlink_to(outside)
        temp(1).write_text("planted")
        envelope = zp.SignedEnvelope.from_json(sys.argv[3])
        zp.EnvelopeQueue(str(queue)).push("trust", envelope)
        print(temp(0).is_symlink(), temp(1).read_text())
    """)
    outside = tmp_path / "outside"
    outside.write_text("keep")
    env = {**os.environ, "PYTHONPATH": str(pathlib.Path(zp.__file__).parent)}
    done = subprocess.run([sys.executable, "-c", code, str(tmp_path / "q"), str(outside), envelope().to_json()],
                          capture_output=True, text=True, timeout=60, env=env)
    assert done.stdout == "True planted\n", done.stderr
    assert outside.read_text() == "keep"
    item = tmp_path / "q" / f"{ID}.json"
    assert not item.is_symlink() and EnvelopeQueue(str(tmp_path / "q")).list()[0].envelope == envelope()


def test_identifier_is_filtered_into_the_file_name(tmp_path):
    q = EnvelopeQueue(str(tmp_path))
    q.push("trust", envelope("a/../b c"))
    assert files(tmp_path) == ["abc.json"]
    assert json.loads((tmp_path / "abc.json").read_text())["queue_id"] == "a/../b c"
    [item] = q.list()
    assert item.queue_id == "a/../b c" and item.envelope.exchange_id == "a/../b c"
    assert q.drop_item("a/../b c") is None
    assert files(tmp_path) == []


@pytest.mark.parametrize("exchange_id", ["", "..", "/", " \t", "é", "\u2028中", "../../"])
def test_identifier_without_a_usable_character_is_refused(tmp_path, exchange_id):
    q = EnvelopeQueue(str(tmp_path / "q"))
    raises(ValueError, UNUSABLE_ID, lambda: q.push("trust", envelope(exchange_id)))
    assert not (tmp_path / "q").exists()
    assert q.drop_item(exchange_id) is None


def test_drop_item_with_an_unusable_identifier_removes_a_leftover_dot_json(tmp_path):
    (tmp_path / ".json").write_text("{}")
    q = EnvelopeQueue(str(tmp_path))
    assert q.list() == []
    assert q.drop_item("..") is None
    assert files(tmp_path) == []


def test_pushed_strings_round_trip(tmp_path):
    q = EnvelopeQueue(str(tmp_path))
    odd = '"\\\n\x00\x1f\u2028é中\U0001f600'
    e = envelope("id-" + odd, {**FULL, "counterparty_identifier": odd, "request_hash": odd})
    q.push(odd, e)
    [item] = q.list()
    assert (item.queue_id, item.pair_class, item.envelope) == (e.exchange_id, odd, e)
    assert files(tmp_path) == ["id-.json"]


# ---- list ---------------------------------------------------------------------------------------


def test_items_come_in_byte_order_of_their_file_names(tmp_path):
    q = EnvelopeQueue(str(tmp_path))
    for exchange_id in ["a", "b", "a-1", "B", "0190a1b2-0000", "018fffff-ffff", "a_", "_"]:
        q.push("trust", envelope(exchange_id))
    listed = [item.queue_id for item in q.list()]
    assert listed == ["018fffff-ffff", "0190a1b2-0000", "B", "_", "a-1", "a", "a_", "b"]


def test_names_that_are_not_items_are_ignored(tmp_path):
    q = EnvelopeQueue(str(tmp_path))
    q.push("trust", envelope())
    for name in ["x.txt", ".json", "x.JSON", "notes", "x.json.tmp", "a.jsonx", "json", ".spill-1-2-3.tmp"]:
        (tmp_path / name).write_text("not json")
    (tmp_path / "sub").mkdir()
    (tmp_path / "a.b.json").write_text(json.dumps({"queue_id": "x", "pair_class": "p", "envelope": FULL}))
    assert [item.queue_id for item in q.list()] == [ID, "x"]


@pytest.mark.parametrize("content, message", [
    ("{}", "missing field `queue_id` at line 1 column 2"),
    ('{"queue_id":"q"}', "missing field `pair_class` at line 1 column 16"),
    ('{"queue_id":"q","pair_class":"p"}', "missing field `envelope` at line 1 column 33"),
    ('{"queue_id":"q","queue_id":"q"}', "duplicate field `queue_id` at line 1 column 26"),
    ('["q","p"]', "invalid length 2, expected struct QueuedItem with 3 elements at line 1 column 9"),
    ("not json", "expected ident at line 1 column 2"),
    ("", "EOF while parsing a value at line 1 column 0"),
    ("[]", "invalid length 0, expected struct QueuedItem with 3 elements at line 1 column 2"),
    (json.dumps(["q", "p", MINIMAL]) + "\n\t\r x", "trailing characters at line 2 column 4"),
])
def test_one_bad_file_fails_the_whole_listing(tmp_path, content, message):
    q = EnvelopeQueue(str(tmp_path))
    q.push("trust", envelope("a"))
    q.push("trust", envelope("z"))
    (tmp_path / "x.json").write_text(content)
    raises(ValueError, "queue JSON error: " + message, q.list)
    assert files(tmp_path) == ["a.json", "x.json", "z.json"]  # nothing repaired or removed


def test_truncated_items_fail_with_a_json_error(tmp_path):
    q = EnvelopeQueue(str(tmp_path))
    q.push("trust", envelope())
    path = tmp_path / f"{ID}.json"
    whole = path.read_bytes()
    for cut in range(0, len(whole), 7):
        path.write_bytes(whole[:cut])
        with pytest.raises(ValueError) as info:
            q.list()
        assert str(info.value).startswith("queue JSON error: EOF while parsing ")


def test_bytes_that_are_not_utf8(tmp_path):
    q = EnvelopeQueue(str(tmp_path))
    good = json.dumps({"queue_id": "q", "pair_class": "p", "envelope": MINIMAL}).encode()
    (tmp_path / "a.json").write_bytes(good[:-1] + b', "ignored": "\xff\xfe\xc3"}')
    assert [i.queue_id for i in q.list()] == ["q"]
    (tmp_path / "a.json").write_bytes(good.replace(b'"p"', b'"p\xff"'))
    raises(ValueError, "queue JSON error: invalid unicode code point at line 1 column 36", q.list)


def test_directory_named_like_an_item_fails_at_its_path(tmp_path):
    q = EnvelopeQueue(str(tmp_path))
    q.push("trust", envelope("a"))
    (tmp_path / "d.json").mkdir()
    raises(OSError, f"queue I/O error at {tmp_path}/d.json: Is a directory (os error 21)", q.list)


def test_queue_path_that_is_a_regular_file(tmp_path):
    path = tmp_path / "file"
    path.write_text("")
    q = EnvelopeQueue(str(path))
    error = raises(OSError, f"queue I/O error at {path}: Not a directory (os error 20)", q.list)
    assert (error.errno, error.strerror, error.filename, error.filename2) == (None, None, None, None)
    raises(OSError, f"queue I/O error at {path}/{ID}.json: Not a directory (os error 20)",
           lambda: q.push("trust", envelope()))
    assert q.drop_item(ID) is None
    assert path.read_text() == ""


def test_queue_path_with_nul_names_no_file(tmp_path):
    q = EnvelopeQueue(f"{tmp_path}/q\0x")
    assert q.list() == []
    assert q.drop_item(ID) is None
    raises(OSError, f"queue I/O error at {tmp_path}/q\0x: file name contained an unexpected NUL byte",
           lambda: q.push("trust", envelope()))
    assert files(tmp_path) == []
    assert repr(q) == f'EnvelopeQueue(dir="{tmp_path}/q\\0x")'


def test_listing_never_blocks_on_a_fifo(tmp_path):
    # Run apart, so that a regression hangs only the child, which the timeout ends.
    os.mkfifo(tmp_path / "x.json")
    code = ("import sys, zun_protocol as zp\n"
            "try:\n"
            "    zp.EnvelopeQueue(sys.argv[1]).list()\n"
            "except ValueError as e:\n"
            "    print(e)\n")
    env = {**os.environ, "PYTHONPATH": str(pathlib.Path(zp.__file__).parent)}
    done = subprocess.run([sys.executable, "-c", code, str(tmp_path)], capture_output=True, text=True,
                          timeout=60, env=env)
    assert done.stdout == "queue JSON error: EOF while parsing a value at line 1 column 0\n", done.stderr


def test_fifo_with_a_writer_but_no_data_fails_instead_of_waiting(tmp_path):
    fifo = tmp_path / "x.json"
    os.mkfifo(fifo)
    keeper = os.open(fifo, os.O_RDWR | os.O_NONBLOCK)  # a writer that never writes
    try:
        raises(OSError, f"queue I/O error at {fifo}: Resource temporarily unavailable (os error 11)",
               EnvelopeQueue(str(tmp_path)).list)
    finally:
        os.close(keeper)


def test_list_returns_a_fresh_list_of_fresh_items(tmp_path):
    q = EnvelopeQueue(str(tmp_path))
    q.push("trust", envelope())
    first, second = q.list(), q.list()
    assert type(first) is list and first is not second and first[0] is not second[0]
    item = first[0]
    a, b = item.envelope, item.envelope
    assert a is not b and a == b and a.to_json() == b.to_json() == envelope().to_json()


# ---- drop_item ----------------------------------------------------------------------------------


def test_drop_item(tmp_path):
    q = EnvelopeQueue(str(tmp_path))
    q.push("trust", envelope("a"))
    q.push("trust", envelope("b"))
    assert q.drop_item("unknown") is None
    assert q.drop_item(queue_id="a") is None
    assert [item.queue_id for item in q.list()] == ["b"]
    assert q.drop_item("a") is None
    assert files(tmp_path) == ["b.json"]


# ---- the classes --------------------------------------------------------------------------------


def test_queued_item_repr(tmp_path):
    q = EnvelopeQueue(str(tmp_path))
    q.push("trust", envelope("abc"))
    q.push('t"\n\u0301', envelope('x\\"\t'))
    plain, odd = q.list()
    assert repr(plain) == str(plain) == 'QueuedItem(queue_id="abc", pair_class="trust")'
    assert repr(odd) == 'QueuedItem(queue_id="x\\\\\\"\\t", pair_class="t\\"\\n\\u{301}")'


@pytest.mark.parametrize("call, message", [
    (lambda: EnvelopeQueue(b"/q"), "argument 'dir': 'bytes' object cannot be cast as 'str'"),
    (lambda: EnvelopeQueue(pathlib.Path("/q")), "argument 'dir': 'PosixPath' object cannot be cast as 'str'"),
    (lambda: EnvelopeQueue(None), "argument 'dir': 'NoneType' object cannot be cast as 'str'"),
    (lambda: EnvelopeQueue(), "EnvelopeQueue.__new__() missing 1 required positional argument: 'dir'"),
    (lambda: EnvelopeQueue("a", "b"), "EnvelopeQueue.__new__() takes 1 positional arguments but 2 were given"),
    (lambda: EnvelopeQueue(path="a"), "EnvelopeQueue.__new__() got an unexpected keyword argument 'path'"),
    (lambda: EnvelopeQueue("/q").push("trust", FULL),
     "argument 'envelope': 'dict' object cannot be cast as 'SignedEnvelope'"),
    (lambda: EnvelopeQueue("/q").push(b"trust", envelope()),
     "argument 'pair_class': 'bytes' object cannot be cast as 'str'"),
    (lambda: EnvelopeQueue("/q").push("trust"), "EnvelopeQueue.push() missing 1 required positional argument: 'envelope'"),
    (lambda: EnvelopeQueue("/q").push(),
     "EnvelopeQueue.push() missing 2 required positional arguments: 'pair_class' and 'envelope'"),
    (lambda: EnvelopeQueue("/q").push("t", envelope(), pair_class="t"),
     "EnvelopeQueue.push() got multiple values for argument 'pair_class'"),
    (lambda: EnvelopeQueue("/q").drop_item(1), "argument 'queue_id': 'int' object cannot be cast as 'str'"),
    (lambda: EnvelopeQueue("/q").drop_item(), "EnvelopeQueue.drop_item() missing 1 required positional argument: 'queue_id'"),
])
def test_argument_errors(call, message):
    raises(TypeError, message, call)


def test_arguments_are_checked_before_any_work(tmp_path):
    q = EnvelopeQueue(str(tmp_path / "q"))
    with pytest.raises(TypeError):
        q.push(1, None)
    with pytest.raises(UnicodeEncodeError):
        q.push("\ud800", envelope())
    assert not (tmp_path / "q").exists()
    for call in (lambda: q.list(1), lambda: EnvelopeQueue.default(None)):
        with pytest.raises(TypeError):
            call()


def test_documentation():
    assert EnvelopeQueue.__text_signature__ == "(dir)"
    assert EnvelopeQueue.__doc__ == (
        "File-backed envelope spill queue. Operations are blocking from\n"
        "Python; the kernel's async fs primitives run on the binding's\n"
        "internal tokio runtime. Default directory is\n"
        "`~/.tamsel/envelope-queue/` (falls back to `./.envelope-queue/` if\n"
        "`HOME` is unset).")
    members = {
        "default": ("()", "Bind to the kernel's default directory."),
        "push": ("($self, pair_class, envelope)",
                 "Spill an envelope into the queue. Raises `IOError` on filesystem\n"
                 "failure or `ValueError` on JSON serialisation failure."),
        "list": ("($self)", "Enumerate queued items in emission order (UUIDv7 prefix sort)."),
        "drop_item": ("($self, queue_id)", "Drop an item after successful re-emission."),
    }
    for name, (signature, doc) in members.items():
        member = getattr(EnvelopeQueue, name)
        assert (member.__text_signature__, member.__doc__) == (signature, doc)
    assert isinstance(EnvelopeQueue.__dict__["default"], staticmethod)
    assert QueuedItem.__doc__ == ("One spilled record: the envelope plus the pair class it was meant to\n"
                                  "be emitted as. Constructed by the queue, not by user code.")
    for cls, props in ((EnvelopeQueue, ["dir"]), (QueuedItem, ["queue_id", "pair_class", "envelope"])):
        assert sorted(k for k, v in vars(cls).items() if type(v).__name__ == "getset_descriptor") == sorted(props)
        assert all(getattr(cls, p).__doc__ is None for p in props)


def test_class_rules(tmp_path):
    with pytest.raises(TypeError, match="zun_protocol.QueuedItem"):
        QueuedItem()
    for cls in (EnvelopeQueue, QueuedItem):
        assert cls.__module__ == "zun_protocol"
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
    q = EnvelopeQueue(str(tmp_path))
    q.push("trust", envelope())
    item = q.list()[0]
    for obj, prop in ((q, "dir"), (item, "queue_id"), (item, "pair_class"), (item, "envelope")):
        with pytest.raises(AttributeError):
            setattr(obj, prop, "x")
    with pytest.raises(AttributeError):
        q.other = 1


def test_identity_equality_and_hash(tmp_path):
    a, b = EnvelopeQueue(str(tmp_path)), EnvelopeQueue(str(tmp_path))
    assert a == a and a != b and len({a, b, a}) == 2
    a.push("trust", envelope())
    x, y = a.list()[0], a.list()[0]
    assert x == x and x != y and len({x, y}) == 2
    with pytest.raises(TypeError):
        a < b


# ---- reference cases --------------------------------------------------------------------------


def _queue_cases():
    if not VECTORS.is_file():
        return []
    with open(VECTORS, encoding="utf-8") as f:
        return [case for case in map(json.loads, f) if case.get("record") == "QueuedItem"]


CASES = _queue_cases()


def test_vectors_present():
    assert VECTORS.is_file(), f"missing reference vectors at {VECTORS}"
    assert len(CASES) > 400
    assert {(case["ok"], "bytes_b64" in case) for case in CASES} == {(a, b) for a in (True, False) for b in (True, False)}


def _expected_push(pretty):
    """The item file of pushing the item's envelope: queue_id becomes the exchange_id,
    written exactly as the envelope's own member is."""
    lines = pretty.split("\n")
    exchange = next(line for line in lines if line.startswith('    "exchange_id": '))
    assert lines[1].startswith('  "queue_id": ')
    lines[1] = '  "queue_id": ' + exchange[len('    "exchange_id": '):]
    return "\n".join(lines).encode()


def _kept(queue_id):
    return "".join(c for c in queue_id if c.isascii() and (c.isalnum() or c in "-_"))


@pytest.mark.parametrize("index", range(len(CASES)))
def test_reference_case(tmp_path, index):
    case = CASES[index]
    data = base64.b64decode(case["bytes_b64"]) if "bytes_b64" in case else case["text"].encode()
    (tmp_path / "read").mkdir()
    (tmp_path / "read" / "item.json").write_bytes(data)
    q = EnvelopeQueue(str(tmp_path / "read"))
    if not case["ok"]:
        raises(ValueError, "queue JSON error: " + case["error"], q.list)
        return
    [item] = q.list()
    canonical = json.loads(case["canonical"])
    assert (item.queue_id, item.pair_class) == (canonical["queue_id"], canonical["pair_class"])
    assert case["canonical"].endswith(',"envelope":' + item.envelope.to_json() + "}")

    again = EnvelopeQueue(str(tmp_path / "again"))
    e = item.envelope
    name = _kept(e.exchange_id) + ".json"
    if name == ".json":
        raises(ValueError, UNUSABLE_ID, lambda: again.push(item.pair_class, e))
        assert not (tmp_path / "again").exists()
        return
    if len(name) > 255:
        raises(OSError, f"queue I/O error at {tmp_path}/again/{name}: File name too long (os error 36)",
               lambda: again.push(item.pair_class, e))
        assert files(tmp_path / "again") == []
        return
    again.push(item.pair_class, e)
    assert files(tmp_path / "again") == [name]
    written = (tmp_path / "again" / name).read_bytes()
    assert written == _expected_push(case["pretty"])
    if item.queue_id == e.exchange_id:
        assert written == case["pretty"].encode()
