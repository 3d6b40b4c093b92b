#!/usr/bin/env python3
"""A short walk over every family of the module, for valgrind: each leak
workload a few times, then every number text of tests/data in the
wrong-type position that puts its text into the message."""

import json
import pathlib
import sys
import warnings

TESTS = pathlib.Path(__file__).resolve().parents[1] / "tests"
sys.path.insert(0, str(TESTS))

import zun_protocol as zp  # noqa: E402
from workloads import WORKLOADS  # noqa: E402

ROUNDS = 3

warnings.simplefilter("ignore")
for _ in range(ROUNDS):
    for _name, work in WORKLOADS:
        try:
            work()
        except (ValueError, TypeError, LookupError, OSError, UnicodeError):
            pass

cases = [json.loads(line) for line in (TESTS / "data" / "number-texts.jsonl").read_text().splitlines()]
assert cases, "no number texts"
for _ in range(ROUNDS):
    for case in cases:
        try:
            zp.SignedEnvelope.from_json('{"exchange_id":' + case["number"] + "}")
        except ValueError:
            pass
print(f"walked {len(WORKLOADS)} workloads and {len(cases)} number texts {ROUNDS} times")
