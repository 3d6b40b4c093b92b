"""Leak workloads of EnvelopeQueue and QueuedItem: every entry point, on success and failure paths.

All file-system work stays in one small temporary directory."""
import atexit
import os
import pathlib
import shutil
import tempfile

import pickle

import zun_protocol as zp

from workloads import travels

_ENVELOPE = ('{"exchange_id":"0190a1b2-c3d4-7e5f-8a9b-0c1d2e3f4a5b",'
             '"peer_self":{"class":"body","type":"peer","ref":"ab12"},'
             '"peer_counterparty":{"class":"route","type":"t","ref":"r"},"direction":"outbound",'
             '"request_hash":"h1","response_hash":"h2","our_signature":"s1",'
             '"opened_at":"2026-04-15T09:00:00.5Z","closed_at":"2026-04-15T09:00:01Z",'
             '"protocol_hint":"https","counterparty_identifier":"api.example.com"}')
_envelope = zp.SignedEnvelope.from_json(_ENVELOPE)
_unusable = zp.SignedEnvelope.from_json(_ENVELOPE.replace("0190a1b2-c3d4-7e5f-8a9b-0c1d2e3f4a5b", "../ ."))

# Kept for the life of the process; removed when the interpreter exits.
_root = pathlib.Path(tempfile.mkdtemp(prefix="zun-queue-workloads-"))
atexit.register(shutil.rmtree, _root, ignore_errors=True)


def _queue(name):
    return zp.EnvelopeQueue(str(_root / name))


_items = _queue("items")
_items.push("trust", _envelope)
_items.push("commerce", zp.SignedEnvelope.from_json(_ENVELOPE.replace("0190a1b2", "0190a1b3")))
_item = _items.list()[0]

_bad = _queue("bad")
_bad.push("trust", _envelope)
(_root / "bad" / "bad.json").write_text("not json")

_truncated = _queue("truncated")
_truncated.push("trust", _envelope)
_path = _root / "truncated" / os.listdir(_root / "truncated")[0]
_path.write_bytes(_path.read_bytes()[:100])

_dir_item = _queue("dir-item")
(_root / "dir-item" / "d.json").mkdir(parents=True)

(_root / "plain-file").write_text("")
_on_file = _queue("plain-file")

_spill = _queue("spill")
_missing = _queue("missing/deeper")
_nul = zp.EnvelopeQueue(str(_root / "n\0ul"))


def _push_and_drop():
    _spill.push("trust", _envelope)
    _spill.drop_item(_envelope.exchange_id)


def _queue_members(q):
    return repr(q), q.dir, q == q, q != _items, hash(q)


def _item_members(item):
    return repr(item), item.queue_id, item.pair_class, item.envelope


WORKLOADS = [
    ("EnvelopeQueue:new", lambda: zp.EnvelopeQueue("q/")),
    ("EnvelopeQueue:new-keyword", lambda: zp.EnvelopeQueue(dir="q")),
    ("EnvelopeQueue:new-bytes", lambda: zp.EnvelopeQueue(b"q")),
    ("EnvelopeQueue:new-path", lambda: zp.EnvelopeQueue(_root)),
    ("EnvelopeQueue:new-missing", lambda: zp.EnvelopeQueue()),
    ("EnvelopeQueue:new-unexpected", lambda: zp.EnvelopeQueue("q", path="q")),
    ("EnvelopeQueue:new-surrogate", lambda: zp.EnvelopeQueue("q\udcff")),
    ("EnvelopeQueue:default", zp.EnvelopeQueue.default),
    ("EnvelopeQueue:default-args", lambda: zp.EnvelopeQueue.default(1)),
    ("EnvelopeQueue:push-and-drop", _push_and_drop),
    ("EnvelopeQueue:push-keywords", lambda: _spill.push(envelope=_envelope, pair_class="x")),
    ("EnvelopeQueue:push-unusable-id", lambda: _spill.push("trust", _unusable)),
    ("EnvelopeQueue:push-bad-envelope", lambda: _spill.push("trust", _ENVELOPE)),
    ("EnvelopeQueue:push-bad-pair-class", lambda: _spill.push(None, _envelope)),
    ("EnvelopeQueue:push-missing", lambda: _spill.push("trust")),
    ("EnvelopeQueue:push-too-many", lambda: _spill.push("trust", _envelope, 1)),
    ("EnvelopeQueue:push-not-a-directory", lambda: _on_file.push("trust", _envelope)),
    ("EnvelopeQueue:push-nul", lambda: _nul.push("trust", _envelope)),
    ("EnvelopeQueue:list", _items.list),
    ("EnvelopeQueue:list-missing-dir", _missing.list),
    ("EnvelopeQueue:list-bad-json", _bad.list),
    ("EnvelopeQueue:list-truncated", _truncated.list),
    ("EnvelopeQueue:list-directory-item", _dir_item.list),
    ("EnvelopeQueue:list-not-a-directory", _on_file.list),
    ("EnvelopeQueue:list-nul", _nul.list),
    ("EnvelopeQueue:list-args", lambda: _items.list(1)),
    ("EnvelopeQueue:drop_item-missing", lambda: _items.drop_item("no-such-item")),
    ("EnvelopeQueue:drop_item-unusable", lambda: _items.drop_item("/..")),
    ("EnvelopeQueue:drop_item-nul", lambda: _nul.drop_item("x")),
    ("EnvelopeQueue:drop_item-bad-type", lambda: _items.drop_item(b"x")),
    ("EnvelopeQueue:drop_item-keyword", lambda: _items.drop_item(id="x")),
    ("EnvelopeQueue:pickle", travels(_items)),
    ("EnvelopeQueue:pickle-nul", travels(_nul)),
    ("EnvelopeQueue:members", lambda: (_queue_members(_items), _queue_members(_nul))),
    ("QueuedItem:new", zp.QueuedItem),
    ("QueuedItem:members", lambda: _item_members(_item)),
    ("QueuedItem:pickle", travels(_item, (b'"request_hash":"h1"', b'"request_hash":+h1"'))),
    ("QueuedItem:_rebuild-type", lambda: zp.QueuedItem._rebuild("id", "trust", _ENVELOPE)),
    ("QueuedItem:_rebuild-missing", lambda: zp.QueuedItem._rebuild("id", pair_class="trust")),
]
