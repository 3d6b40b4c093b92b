"""ProtocolAddress against a plain-Python NamedTuple equivalent."""
from typing import NamedTuple

from _timing import per_call, report

import zun_protocol as zp

CLASSES = ("body", "act", "datum", "prop", "discard", "pair", "doc", "evidence", "route", "mediation")


class PyAddress(NamedTuple):
    address_class: str
    type: str
    ref: str

    def to_uri(self):
        return f"kiv://{self.address_class}/{self.type}/{self.ref}"


def py_parse(uri):
    if not uri.startswith("kiv://"):
        raise ValueError("invalid kiv:// URI: " + uri)
    pieces = uri[6:].split("/", 2)
    if len(pieces) < 3 or pieces[0] not in CLASSES:
        raise ValueError("invalid kiv:// URI: " + uri)
    return PyAddress(*pieces)


def run():
    uri = "kiv://body/peer/21fe31dfa154a261626bf854046fd227"
    ours, other = zp.ProtocolAddress.parse(uri), zp.ProtocolAddress.parse(uri)
    peer, peer_other = py_parse(uri), py_parse(uri)
    tup, tup_other = tuple(peer), tuple(peer_other)
    hash(tup)
    parse_fn = zp.ProtocolAddress.parse
    return report([
        ("ProtocolAddress.parse", per_call(lambda: parse_fn(uri)), per_call(lambda: py_parse(uri)),
         "NamedTuple parse", 0.25),
        ("to_uri", per_call(ours.to_uri), per_call(peer.to_uri), "NamedTuple f-string", None),
        ("hash()", per_call(lambda: hash(ours)), per_call(lambda: hash(tup)), "hash(tuple of 3 str)", 1.0),
        ("==", per_call(lambda: ours == other), per_call(lambda: tup == tup_other), "tuple ==", 1.0),
    ], "ProtocolAddress (ours / plain Python, lower is better)")


if __name__ == "__main__":
    run()
