#!/usr/bin/env python3
"""Write src/core/unicode_tables.cpp from the Unicode Character Database.

Reads UnicodeData.txt and DerivedCoreProperties.txt (Debian installs them
with the `unicode-data` package under /usr/share/unicode) and emits sorted,
merged code point ranges for the character classes that debug quoting needs:

  not printable   general categories Cc, Cf, Cs, Co, Cn (unassigned), Zl, Zp,
                  and Zs except U+0020 SPACE
  grapheme extend the Grapheme_Extend property
  debug escape    the union of the two, which is what the quoting loop asks

plus two shortcuts in front of the binary search: a bitmap of the debug-escape
class below U+0800 (Latin, Greek, Cyrillic, Hebrew, Arabic...), and the widest
BMP intervals that hold no debug-escape code point (CJK ideographs, Hangul).

Usage: tools/gen_unicode_tables.py [--ucd DIR] [--output FILE]
"""

from __future__ import annotations

import argparse
import re
import sys
from pathlib import Path

MAX_CODE_POINT = 0x10FFFF
BITMAP_LIMIT = 0x800
BMP_LIMIT = 0x10000
CLEAR_INTERVALS = 2
NOT_PRINTABLE_CATEGORIES = {"Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp", "Zs"}
SPACE = 0x20


def ucd_version(ucd: Path) -> str:
    header = (ucd / "DerivedCoreProperties.txt").open(encoding="utf-8").readline()
    match = re.match(r"#\s*DerivedCoreProperties-(\d+\.\d+\.\d+)\.txt", header)
    if not match:
        sys.exit(f"cannot read the Unicode version from {ucd / 'DerivedCoreProperties.txt'}")
    return match.group(1)


def general_categories(ucd: Path) -> list[str]:
    """Category of every code point; 'Cn' where UnicodeData.txt lists none."""
    categories = ["Cn"] * (MAX_CODE_POINT + 1)
    range_start: int | None = None
    for line in (ucd / "UnicodeData.txt").open(encoding="utf-8"):
        fields = line.split(";")
        code, name, category = int(fields[0], 16), fields[1], fields[2]
        if name.endswith(", First>"):
            range_start = code
            continue
        if name.endswith(", Last>"):
            if range_start is None:
                sys.exit(f"UnicodeData.txt: {name} without its First line")
            for cp in range(range_start, code + 1):
                categories[cp] = category
            range_start = None
            continue
        categories[code] = category
    return categories


def derived_property(ucd: Path, prop: str) -> list[bool]:
    members = [False] * (MAX_CODE_POINT + 1)
    for line in (ucd / "DerivedCoreProperties.txt").open(encoding="utf-8"):
        data = line.split("#", 1)[0].strip()
        if not data:
            continue
        codes, name = (part.strip() for part in data.split(";"))
        if name != prop:
            continue
        first, _, last = codes.partition("..")
        for cp in range(int(first, 16), int(last or first, 16) + 1):
            members[cp] = True
    if not any(members):
        sys.exit(f"DerivedCoreProperties.txt lists no {prop} code point")
    return members


def ranges_of(members: list[bool]) -> list[tuple[int, int]]:
    ranges: list[tuple[int, int]] = []
    start = None
    for cp, inside in enumerate(members):
        if inside and start is None:
            start = cp
        elif not inside and start is not None:
            ranges.append((start, cp - 1))
            start = None
    if start is not None:
        ranges.append((start, len(members) - 1))
    return ranges


def widest_clear_bmp_intervals(escape_ranges: list[tuple[int, int]]) -> list[tuple[int, int]]:
    gaps = [(a_last + 1, b_first - 1)
            for (_, a_last), (b_first, _) in zip(escape_ranges, escape_ranges[1:])
            if b_first - 1 < BMP_LIMIT and a_last + 1 <= b_first - 1]
    widest = sorted(gaps, key=lambda gap: gap[1] - gap[0], reverse=True)[:CLEAR_INTERVALS]
    return sorted(widest)


def format_ranges(name: str, ranges: list[tuple[int, int]]) -> str:
    cells = [f"{{0x{first:04X}, 0x{last:04X}}}," for first, last in ranges]
    lines, line = [], "   "
    for cell in cells:
        if len(line) + 1 + len(cell) > 100:
            lines.append(line)
            line = "   "
        line += " " + cell
    lines.append(line)
    body = "\n".join(lines)
    return f"constexpr CodePointRange {name}[] = {{\n{body}\n}};\n"


def format_bitmap(name: str, members: list[bool]) -> str:
    words = []
    for base in range(0, BITMAP_LIMIT, 64):
        word = sum(1 << bit for bit in range(64) if members[base + bit])
        words.append(f"0x{word:016X}u,")
    lines = ["    " + " ".join(words[i:i + 4]) for i in range(0, len(words), 4)]
    body = "\n".join(lines)
    return f"constexpr std::uint64_t {name}[{len(words)}] = {{\n{body}\n}};\n"


def render(version: str, categories: list[str], grapheme_extend: list[bool]) -> str:
    not_printable = [
        category in NOT_PRINTABLE_CATEGORIES and cp != SPACE
        for cp, category in enumerate(categories)
    ]
    escape = [a or b for a, b in zip(not_printable, grapheme_extend)]
    escape_ranges = ranges_of(escape)
    return f"""\
// Generated by tools/gen_unicode_tables.py from the Unicode Character Database,
// version {version}. Do not edit: rerun the script to change it.

#include "core/unicode_tables.hpp"

namespace zun::unicode {{
namespace {{

{format_ranges("kNotPrintable", ranges_of(not_printable))}
{format_ranges("kGraphemeExtend", ranges_of(grapheme_extend))}
{format_ranges("kDebugEscape", escape_ranges)}
{format_ranges("kClearBmp", widest_clear_bmp_intervals(escape_ranges))}
{format_bitmap("kDebugEscapeBelow0x800", escape[:BITMAP_LIMIT])}
}}  // namespace

const char kUnicodeVersion[] = "{version}";
const std::span<const CodePointRange> kNotPrintableRanges{{kNotPrintable}};
const std::span<const CodePointRange> kGraphemeExtendRanges{{kGraphemeExtend}};
const std::span<const CodePointRange> kDebugEscapeRanges{{kDebugEscape}};
const std::span<const std::uint64_t, kDebugEscapeBitmapWords> kDebugEscapeBitmap{{kDebugEscapeBelow0x800}};
const std::span<const CodePointRange, kClearBmpIntervalCount> kClearBmpIntervals{{kClearBmp}};

}}  // namespace zun::unicode
"""


def main() -> None:
    repo = Path(__file__).resolve().parents[1]
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--ucd", type=Path, default=Path("/usr/share/unicode"),
                        help="directory holding UnicodeData.txt and DerivedCoreProperties.txt")
    parser.add_argument("--output", type=Path, default=repo / "src" / "core" / "unicode_tables.cpp")
    args = parser.parse_args()

    version = ucd_version(args.ucd)
    text = render(version, general_categories(args.ucd), derived_property(args.ucd, "Grapheme_Extend"))
    args.output.write_text(text, encoding="utf-8")
    print(f"wrote {args.output} (Unicode {version})")


if __name__ == "__main__":
    main()
