"""How the reader's messages name JSON numbers: every case of
tests/data/number-texts.jsonl (texts derived by tools/gen_number_texts.py from
the rules stated there, not from this module) in a wrong-type position, each
many times and in shuffled order, so that a text built from stale memory
would show."""

import json
import pathlib
import random

from zun_protocol import SignedEnvelope

CASES = [json.loads(line) for line in
         (pathlib.Path(__file__).parent / "data" / "number-texts.jsonl").read_text(encoding="utf-8").splitlines()]
ROUNDS = 25
PREFIX = '{"exchange_id":'


def expected(case):
    # The position is that of the number's last character.
    where = f" at line 1 column {len(PREFIX) + len(case['number'])}"
    if case["text"] == "number out of range":
        return "invalid SignedEnvelope JSON: number out of range" + where
    return f"invalid SignedEnvelope JSON: invalid type: {case['text']}, expected a string" + where


def test_number_texts_in_messages():
    assert len(CASES) > 50
    order = CASES * ROUNDS
    random.Random(13).shuffle(order)
    wrong = {}
    for case in order:
        try:
            SignedEnvelope.from_json(PREFIX + case["number"] + "}")
        except ValueError as error:
            if str(error) != expected(case):
                wrong.setdefault(case["number"], set()).add(str(error))
        else:
            wrong[case["number"]] = {"no error"}
    assert not wrong
