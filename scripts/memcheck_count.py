#!/usr/bin/env python3
"""Counts valgrind memcheck error records (XML logs) that have a frame in our code.

A record is ours when one of its stack frames, or of the frames where the bad
value or block came from, lies in the extension module's shared object, in one
of the native test programs, or in a source file of this repository. Everything else is the interpreter's or a system library's own
business and is only tallied. Exits 1 when any record is ours.

Usage: scripts/memcheck_count.py REPO_DIR LOG.xml...
"""

from __future__ import annotations

import sys
import xml.etree.ElementTree as ET
from pathlib import Path


def frames(error: ET.Element) -> list[dict[str, str]]:
    """The frames of the error's stack, then those of the stack that created
    the bad value (--track-origins) or block, if any."""
    return [{child.tag: child.text or "" for child in frame}
            for stack in error.findall("stack") for frame in stack.findall("frame")]


def is_ours(frame: dict[str, str], repo: str, programs: set[str]) -> bool:
    obj = frame.get("obj", "")
    if Path(obj).name.startswith("zun_protocol") or obj in programs:
        return True
    return frame.get("dir", "").startswith(repo)


def describe(error: ET.Element) -> str:
    what = error.findtext("what") or error.findtext("xwhat/text") or ""
    lines = [f"{error.findtext('kind')}: {what}"]
    for frame in frames(error)[:12]:
        where = frame.get("file") and f"{frame.get('file')}:{frame.get('line')}" or frame.get("obj", "?")
        lines.append(f"    {frame.get('fn', '???')} ({where})")
    return "\n".join(lines)


def main() -> int:
    repo = str(Path(sys.argv[1]).resolve())
    ours_total, others_total = 0, 0
    for log in sys.argv[2:]:
        try:
            root = ET.parse(log).getroot()
        except ET.ParseError as error:
            # valgrind closes its log when the program ends; an unfinished one
            # means the program it watched was replaced (exec) or killed.
            print(f"{Path(log).name}: unfinished valgrind log ({error})")
            return 1
        programs = {root.findtext("args/argv/exe") or ""}
        ours = [e for e in root.iter("error") if any(is_ours(f, repo, programs) for f in frames(e))]
        others = sum(1 for _ in root.iter("error")) - len(ours)
        ours_total += len(ours)
        others_total += others
        print(f"{Path(log).name}: {len(ours)} error record(s) in our code, {others} elsewhere")
        for error in ours[:10]:
            print(describe(error))
    print(f"memcheck: {ours_total} error record(s) in our code, {others_total} elsewhere (not counted)")
    return 1 if ours_total else 0


if __name__ == "__main__":
    sys.exit(main())
