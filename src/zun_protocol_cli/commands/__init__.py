"""The commands, one module each. A module named here defines `register(subcommands)`, which adds
its parser to the `argparse` sub-parsers it is given and sets `run` on it with
`set_defaults(run=...)`: a function of the parsed arguments that returns the exit status or
raises `CommandError`. Adding a command is adding its module and its name below."""
from __future__ import annotations

import importlib
from collections.abc import Callable, Iterator
from typing import Any

# In the order `--help` lists them.
COMMANDS = ("queue", "verify", "merkle", "anchor")


def registered() -> Iterator[Callable[[Any], None]]:
    for name in COMMANDS:
        yield importlib.import_module(f"{__name__}.{name}").register
