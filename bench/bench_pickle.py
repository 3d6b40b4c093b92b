"""Pickling SignedEnvelope against its own JSON round trip and against a msgspec Struct's pickle.

A pickle names the class of what it holds: `pickle` finds it by importing its module, once per
pickle, when it is written and when it is read. That costs about a microsecond either way,
whatever the object, so the rows time one envelope alone and envelopes shipped 1,000 to a pickle,
as a task queue or a pool ships a batch."""
import pickle

import msgspec

from _timing import report
from bench_envelope import TYPICAL, Envelope, paired

import zun_protocol as zp

BATCH = 1000


def run():
    envelope = zp.SignedEnvelope.from_json(TYPICAL)
    struct = msgspec.json.decode(TYPICAL, type=Envelope)
    assert pickle.loads(pickle.dumps(envelope)).to_json() == TYPICAL
    assert pickle.loads(pickle.dumps(struct)) == struct
    ns = dict(e=envelope, s=struct, es=[zp.SignedEnvelope.from_json(TYPICAL) for _ in range(BATCH)],
              ss=[msgspec.json.decode(TYPICAL, type=Envelope) for _ in range(BATCH)],
              loads=pickle.loads, dumps=pickle.dumps, from_json=zp.SignedEnvelope.from_json)
    one_pickle, one_json = paired("loads(dumps(e))", "from_json(e.to_json())", ns)
    one_pickle_again, one_struct = paired("loads(dumps(e))", "loads(dumps(s))", ns)
    batch_pickle, batch_json = paired("loads(dumps(es))", "[from_json(x.to_json()) for x in es]", ns)
    batch_pickle_again, batch_struct = paired("loads(dumps(es))", "loads(dumps(ss))", ns)
    return report([
        ("pickle round trip, one envelope", one_pickle, one_json, "from_json(to_json())", 1.5),
        (f"pickle round trip, {BATCH:,} per pickle (each)", batch_pickle / BATCH, batch_json / BATCH,
         "from_json(to_json()) each", 1.5),
        ("pickle round trip, one envelope", one_pickle_again, one_struct, "msgspec Struct pickle", None),
        (f"pickle round trip, {BATCH:,} per pickle (each)", batch_pickle_again / BATCH, batch_struct / BATCH,
         "msgspec Struct pickle", None),
    ], "SignedEnvelope pickling (ours / peer, lower is better)")


if __name__ == "__main__":
    run()
