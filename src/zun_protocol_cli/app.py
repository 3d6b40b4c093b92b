"""The parser, the dispatch to a command, and how every command ends: its exit status, and one
line on stderr for an expected failure."""
from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence
from typing import NoReturn

import zun_protocol

from zun_protocol_cli import commands
from zun_protocol_cli.errors import EXIT_FAULT, EXIT_OK, CommandError, UsageError
from zun_protocol_cli.output import shown

PROG = "zun-protocol"

DESCRIPTION = """\
What an operator of a back end asks from a shell: what is stuck in the spill queue and which
file breaks it, whether an archive of envelopes verifies, the Merkle root of a batch and the
proof that an envelope is in it, and whether the time-stamp receipt of a root is real.

exit status: 0 success, 1 a check found a fault (or the work could not be finished),
2 an unusable command line or input file."""


class Parser(argparse.ArgumentParser):
    """Usage errors end the run through main() as one line, with the status of a usage error,
    instead of argparse's usage text and its own exit."""

    def error(self, message: str) -> NoReturn:
        command = self.prog[len(PROG):].strip()
        where = f"{command}: " if command else ""
        raise UsageError(f"{where}{message} (see '{self.prog} --help')")


def build_parser() -> Parser:
    parser = Parser(prog=PROG, description=DESCRIPTION, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"{PROG} {zun_protocol.__version__}")
    subcommands = parser.add_subparsers(title="commands", dest="command", metavar="COMMAND", required=True)
    for register in commands.registered():
        register(subcommands)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line `argv` (sys.argv[1:] when None) and returns its exit status."""
    try:
        try:
            args = build_parser().parse_args(argv)
        except SystemExit as done:  # --help and --version end here
            return done.code if isinstance(done.code, int) else EXIT_OK
        status: int = args.run(args)
        sys.stdout.flush()
        return status
    except CommandError as failure:
        sys.stdout.flush()
        # Messages carry file names and ids, which may hold line breaks or terminal escapes.
        print(f"{PROG}: error: {shown(str(failure))}", file=sys.stderr)
        return failure.status
    except BrokenPipeError:
        # The reader went away (`| head`): no traceback, and nothing more to flush into it.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
        return EXIT_FAULT
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
