#!/usr/bin/env python3
"""Write tests/data/number-texts.jsonl: JSON numbers and how the reader's
messages name them, derived here from rules, not from the module.

Naming rule. A number without fraction or exponent is an integer when it fits:
0 ..= 2**64 - 1, or -2**63 ..= -1; it reads "integer `<decimal>`". Every other
number (fractions, exponents, -0, integers beyond those ranges) is a double and
reads "floating point `<text>`", or "number out of range" when its magnitude
does not fit a finite double.

The double. The reader takes the leading decimal digits that fit in 64 bits as
an integer significand (later integer digits only raise the power of ten,
later fraction digits are dropped), converts it to the nearest double, and
scales it by 10**k in one correctly rounded multiplication or division by the
double nearest to 10**|k|, in steps of 1e308 while |k| exceeds 308. Every case
below is also checked to give the double nearest to its decimal value, so
both readings of "the value of the number" agree on it.

The text of a double. Take the shortest decimal digits d1 d2 ... dn that read
back as the same double (Python's repr finds them) and the power of ten p of
d1. When -5 <= p <= 15 the number is written in fixed notation, with ".0"
appended when it has no fraction digits ("1000000000000000.0", "0.00001");
otherwise as d1, "." and the other digits when there are any, "e", the sign
of p ("+" or "-") and |p| without leading zeros ("1e+16", "1.5e-7"). Zero is
"0.0"; a negative value is preceded by "-", negative zero included.

Usage: tools/gen_number_texts.py [--output FILE]
"""

from __future__ import annotations

import argparse
import json
import math
import re
from decimal import Decimal
from pathlib import Path

U64_MAX = 2**64 - 1
I64_MIN = -(2**63)

NUMBERS = [
    # integers at the 2**53, 2**63 and 2**64 edges and their negatives
    "0", "-0", "9007199254740991", "9007199254740992", "9007199254740993",
    "-9007199254740992", "-9007199254740993", "9223372036854775807", "9223372036854775808",
    "-9223372036854775807", "-9223372036854775808", "-9223372036854775809",
    "18446744073709551615", "18446744073709551616", "-18446744073709551615", "-18446744073709551616",
    "100000000000000000000", "-0.0", "0.0", "0e5", "-0E-5",
    # around the switch from fixed to exponent notation below 1
    "1e-7", "0.0000001", "1.5e-7", "1e-6", "0.000001", "9.99e-6", "1e-5", "0.00001", "1.25e-5",
    "0.00012", "1e-4", "0.0001", "-0.0015", "0.1", "0.30000000000000004",
    # ... and above 1
    "123.456e7", "999999999999999.8", "1e15", "1000000000000000", "1.5e15", "-1e15",
    "9999999999999998", "1e16", "10000000000000000.0", "12345678901234567", "1e17", "1.5e17",
    "-1e17", "1e21", "1E+22", "1e100",
    # subnormals, the largest finite double and overflow
    "5e-324", "4.9406564584124654e-324", "1e-310", "2.2250738585072009e-308",
    "2.2250738585072014e-308", "1e-400", "-1e-400",
    "1.7976931348623157e308", "-1.7976931348623157e308",
    "1.7976931348623159e308", "1e309", "-1e400",
]

NUMBER = re.compile(r"-?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?\Z")


def pow10(k: int) -> float:
    return float(f"1e{k}")


def stepwise_double(text: str) -> float:
    """The double by the reader's rule in the module docstring."""
    negative = text.startswith("-")
    mantissa, _, exponent_text = text.lstrip("-").lower().partition("e")
    whole, _, fraction = mantissa.partition(".")
    significand, k, full = 0, int(exponent_text or 0), False
    for position, digit in enumerate(whole + fraction):
        in_fraction = position >= len(whole)
        if not full and significand * 10 + int(digit) <= U64_MAX:
            significand = significand * 10 + int(digit)
            k -= in_fraction
        else:
            full = True
            k += not in_fraction
    value = float(significand)
    while abs(k) > 308 and value != 0:
        if k > 0:
            return -math.inf if negative else math.inf
        value /= 1e308
        k += 308
    value = value * pow10(k) if k >= 0 else value / pow10(-k)
    return -value if negative else value


def double_text(value: float) -> str:
    sign = "-" if math.copysign(1.0, value) < 0 else ""
    value = abs(value)
    if value == 0:
        return sign + "0.0"
    _, digit_tuple, exponent = Decimal(repr(value)).normalize().as_tuple()
    digits = "".join(map(str, digit_tuple))
    p = exponent + len(digits) - 1
    if -5 <= p <= 15:
        if p < 0:
            return f"{sign}0.{'0' * (-p - 1)}{digits}"
        whole, fraction = digits[:p + 1].ljust(p + 1, "0"), digits[p + 1:]
        return f"{sign}{whole}.{fraction or '0'}"
    rest = f".{digits[1:]}" if len(digits) > 1 else ""
    return f"{sign}{digits[0]}{rest}e{'+' if p > 0 else '-'}{abs(p)}"


def name_of(text: str) -> str:
    assert NUMBER.match(text), text
    if re.fullmatch(r"-?[0-9]+", text) and text != "-0":
        value = int(text)
        if (0 <= value <= U64_MAX) or (I64_MIN <= value < 0):
            return f"integer `{value}`"
    value = stepwise_double(text)
    nearest = float(text)
    assert value == nearest and math.copysign(1, value) == math.copysign(1, nearest), (text, value, nearest)
    if math.isinf(value):
        return "number out of range"
    return f"floating point `{double_text(value)}`"


def main() -> None:
    repo = Path(__file__).resolve().parents[1]
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", type=Path, default=repo / "tests" / "data" / "number-texts.jsonl")
    args = parser.parse_args()
    lines = [json.dumps({"number": text, "text": name_of(text)}) + "\n" for text in NUMBERS]
    args.output.write_text("".join(lines), encoding="utf-8")
    print(f"wrote {args.output} ({len(lines)} numbers)")


if __name__ == "__main__":
    main()
