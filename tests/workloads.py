"""Calls of every entry point, each a zero-argument callable, for the leak and stress tests.

Names are "<published name>:<what>"; failure paths are included on purpose. Each class
family keeps its own list in a `workloads_<family>.py` beside this file.
"""
import copy
import importlib
import pathlib
import pickle

import zun_protocol as zp

_address = zp.ProtocolAddress("body", "peer", "abc")



def travels(value, tampered=None):
    """Pickles `value` with the first and the last protocol, copies it, and reads back a pickle of
    it with `tampered` (old, new) applied, which fails."""
    def work():
        for protocol in (0, pickle.HIGHEST_PROTOCOL):
            pickle.loads(pickle.dumps(value, protocol))
        copy.copy(value), copy.deepcopy([value])
        if tampered:
            pickle.loads(pickle.dumps(value).replace(*tampered))
    return work


WORKLOADS = [
    ("ProtocolAddress:new", lambda: zp.ProtocolAddress("body", "peer", "abc")),
    ("ProtocolAddress:new-bad-class", lambda: zp.ProtocolAddress("Body", "peer", "abc")),
    ("ProtocolAddress:new-bad-type", lambda: zp.ProtocolAddress("body", 1, "abc")),
    ("ProtocolAddress:new-missing", lambda: zp.ProtocolAddress("body")),
    ("ProtocolAddress:new-keyword", lambda: zp.ProtocolAddress("body", "t", "r", extra=1)),
    ("ProtocolAddress:pickle", travels(_address, (b"body", b"bodY"))),
    ("ProtocolAddress:parse", lambda: zp.ProtocolAddress.parse("kiv://doc/a/b/c")),
    ("ProtocolAddress:parse-bad", lambda: zp.ProtocolAddress.parse("kiv://nope/a/b")),
    ("ProtocolAddress:parse-surrogate", lambda: zp.ProtocolAddress.parse("kiv://body/\ud800/b")),
    ("ProtocolAddress:members", lambda: (_address.to_uri(), _address.to_dict(), str(_address), repr(_address),
                                         hash(_address), _address == _address, _address != 1,
                                         _address.address_class, _address.type, _address.ref)),
    ("classify_exchange:call", lambda: zp.classify_exchange("DNS", "api.Stripe.com")),
    ("classify_exchange:bad", lambda: zp.classify_exchange("dns", None)),
]

for _path in sorted(pathlib.Path(__file__).parent.glob("workloads_*.py")):
    WORKLOADS += importlib.import_module(_path.stem).WORKLOADS
