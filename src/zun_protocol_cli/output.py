"""What every command prints with: JSON lines, names made safe for a terminal, times, and the
optional progress display."""
from __future__ import annotations

import datetime
import importlib
import json
import os
import sys
from types import TracebackType
from typing import Any

# A display appears only for work that is still running after this many seconds.
PROGRESS_DELAY = 1.5


def json_line(value: dict[str, Any]) -> None:
    """One JSON object on one line of stdout, ASCII only, so that any reader takes it."""
    sys.stdout.write(json.dumps(value, separators=(",", ":")) + "\n")


def file_name(name: str) -> str:
    """A file name as the module shows paths: its bytes as UTF-8, each invalid sequence
    replaced by U+FFFD."""
    return os.fsencode(name).decode("utf-8", "replace")


def shown(text: str) -> str:
    """Text for a terminal line: control and other unprintable characters escaped, so that a
    name or an id cannot break the line or move the cursor."""
    if text.isprintable():
        return text
    return "".join(c if c.isprintable() else c.encode("unicode_escape").decode("ascii") for c in text)


def utc_time(seconds: float) -> str:
    return datetime.datetime.fromtimestamp(int(seconds), datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


class Progress:
    """A progress display on stderr, shown only when stderr is a terminal, the optional
    `tqdm` (the `cli` extra) is installed and the work lasts longer than PROGRESS_DELAY.
    Otherwise every method does nothing."""

    def __init__(self, total: int | None, unit: str, description: str, scale: bool = False) -> None:
        self._bar: Any = None
        if not sys.stderr.isatty():
            return
        try:
            tqdm = importlib.import_module("tqdm").tqdm
        except ImportError:
            return
        self._bar = tqdm(total=total, unit=unit, unit_scale=scale, desc=description, file=sys.stderr,
                         delay=PROGRESS_DELAY, leave=False, dynamic_ncols=True)

    def update(self, done: int) -> None:
        if self._bar is not None:
            self._bar.update(done)

    def __enter__(self) -> Progress:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 trace: TracebackType | None) -> None:
        if self._bar is not None:
            self._bar.close()
