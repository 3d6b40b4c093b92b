"""`zun-protocol verify`: does an archive of envelopes verify against its signers' descriptors.

The archive is read as a stream, a batch of lines at a time; worker threads parse and verify the
batches (the module lets go of the interpreter lock while it checks a signature, so the threads
use the cores), and the results are taken in archive order, so the output does not depend on
the number of threads."""
from __future__ import annotations

import argparse
import base64
import binascii
import collections
import os
from collections.abc import Callable, Iterator
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass, field
from typing import IO, Any

from zun_protocol import PeerIdentityDescriptor

from zun_protocol_cli.errors import EXIT_FAULT, EXIT_OK, CommandError, UsageError
from zun_protocol_cli.inputs import STDIN, batches, envelope_of, open_archive, read_small_text, standard_input_once
from zun_protocol_cli.output import Progress, file_name, json_line, shown

VERIFIED, BAD_SIGNATURE = "verified", "bad_signature"
UNKNOWN_SIGNER, UNREADABLE_LINE = "unknown_signer", "unreadable_line"
OUTCOMES = (VERIFIED, BAD_SIGNATURE, UNKNOWN_SIGNER, UNREADABLE_LINE)
_TO_STANDARD = str.maketrans("-_", "+/")


def _base64(text: str) -> bytes:
    data = text.encode("ascii")
    # Padding is optional: what is missing is restored, and the strict decoder judges the rest.
    return base64.b64decode(data + b"=" * (-len(data) % 4), validate=True)


def _base64url(text: str) -> bytes:
    if "+" in text or "/" in text:
        raise ValueError("a character of the standard alphabet")
    return _base64(text.translate(_TO_STANDARD))


DECODERS: dict[str, Callable[[str], bytes]] = {
    "base64": _base64,
    "base64url": _base64url,
    "hex": lambda text: binascii.a2b_hex(text.encode("ascii")),
}


def register(subcommands: Any) -> None:
    verify = subcommands.add_parser(
        "verify", help="verify an archive of envelopes",
        description="Verifies each envelope of an NDJSON archive (one envelope JSON per line; blank "
                    "lines are skipped) against the descriptor whose fingerprint is the ref of its "
                    "peer_self address, over its canonical signing bytes, with its our_signature "
                    "decoded by --signature-encoding. Prints each failure with its line number, then "
                    "the counts; exit status 1 when any line fails.",
        epilog="The archive may follow the descriptors: in `--descriptors me.json archive.ndjson` the "
               "last path of the last --descriptors is the archive, unless an archive is named "
               "elsewhere (first, or after --), or that path is a directory or holds a descriptor.")
    verify.add_argument("--descriptors", metavar="PATH", nargs="+", action="append", required=True,
                        help="descriptor JSON files, or directories of them (their *.json files); - for "
                             "standard input; may be given more than once")
    verify.add_argument("--threads", metavar="N", type=positive, default=usable_cores(),
                        help="threads that verify (default: the usable cores, %(default)s here)")
    verify.add_argument("--signature-encoding", choices=tuple(DECODERS), default="base64",
                        help="how our_signature encodes the 64 signature bytes (default: base64, the "
                             "standard alphabet, padding optional)")
    verify.add_argument("--json", action="store_true",
                        help="one JSON object per failure, then one with the counts")
    verify.add_argument("archive", metavar="ARCHIVE", nargs="?",
                        help="the NDJSON archive; - or nothing for standard input")
    verify.set_defaults(run=run_verify)


def usable_cores() -> int:
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1


def positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"not a positive whole number: {text!r}")
    return value


# ---- descriptors ------------------------------------------------------------------------------------


def descriptor_files(path: str) -> list[str]:
    if not os.path.isdir(path):
        return [path]
    try:
        names = os.listdir(path)
    except OSError as failure:
        raise UsageError(f"{file_name(path)}: {failure.strerror}") from None
    return [os.path.join(path, name) for name in sorted(names, key=os.fsencode) if name.endswith(".json")]


def holds_a_descriptor(path: str) -> bool:
    """Whether the file `path` is one descriptor, which no archive line is (an archive is
    envelopes). Reads no more than the small-file limit."""
    try:
        PeerIdentityDescriptor.from_json(read_small_text(path))
    except (UsageError, ValueError):
        return False
    return True


def split_archive(groups: list[list[str]], archive: str | None) -> tuple[list[str], str | None]:
    """The descriptor paths and the archive. Without an archive named elsewhere, the last path
    of the last --descriptors that takes several is the archive, as in `--descriptors me.json
    archive.ndjson`, unless it is a directory or a descriptor, as in the older `--descriptors
    a.json b.json` with the archive on standard input."""
    paths = [path for group in groups for path in group]
    last = groups[-1]
    if archive is None and len(last) > 1 and not os.path.isdir(last[-1]) and (
            last[-1] == STDIN or not holds_a_descriptor(last[-1])):
        return paths[:-1], last[-1]
    return paths, archive


def load_descriptors(paths: list[str]) -> dict[str, PeerIdentityDescriptor]:
    """The descriptors by fingerprint. Two different descriptors with one fingerprint, or a file
    that is not a descriptor, are usage errors: every envelope would be judged by a guess."""
    found: dict[str, tuple[PeerIdentityDescriptor, str]] = {}
    for path in paths:
        for file in descriptor_files(path):
            try:
                descriptor = PeerIdentityDescriptor.from_json(read_small_text(file))
            except ValueError as failure:
                raise UsageError(f"{file_name(file)}: {failure}") from None
            earlier = found.setdefault(descriptor.fingerprint, (descriptor, file))
            if earlier[0] != descriptor:
                raise UsageError(f"{file_name(file)} and {file_name(earlier[1])}: two different descriptors "
                                 f"with the fingerprint {descriptor.fingerprint}")
    if not found:
        raise UsageError(f"no descriptor in {' '.join(file_name(p) for p in paths)}")
    return {fingerprint: descriptor for fingerprint, (descriptor, _) in found.items()}


# ---- one batch of lines -------------------------------------------------------------------------------


@dataclass
class Tally:
    verified: int = 0
    failures: list[tuple[int, str, str]] = field(default_factory=list)  # (line number, outcome, reason)


def verify_lines(first: int, lines: list[bytes], descriptors: dict[str, PeerIdentityDescriptor],
                 decode: Callable[[str], bytes], encoding: str) -> Tally:
    """Runs in a worker thread: nothing here touches shared state but the read-only descriptors."""
    tally = Tally()
    failed = tally.failures.append
    for number, line in enumerate(lines, first):
        if line.isspace():
            continue
        try:
            envelope = envelope_of(line)
        except ValueError as failure:
            failed((number, UNREADABLE_LINE, str(failure)))
            continue
        signer = descriptors.get(envelope.peer_self.ref)
        if signer is None:
            failed((number, UNKNOWN_SIGNER, f"no descriptor with the fingerprint {envelope.peer_self.ref}"))
            continue
        try:
            signature = decode(envelope.our_signature)
        except (ValueError, UnicodeEncodeError):  # binascii.Error is a ValueError
            failed((number, BAD_SIGNATURE, f"our_signature is not {encoding}"))
            continue
        try:
            signer.verify(envelope.canonical_signing_bytes(), signature)
        except ValueError as failure:
            failed((number, BAD_SIGNATURE, str(failure)))
            continue
        tally.verified += 1
    return tally


# ---- the archive -----------------------------------------------------------------------------------


def tallies(stream: IO[bytes], name: str, threads: int, work: Callable[[int, list[bytes]], Tally],
            progress: Progress) -> Iterator[Tally]:
    """The tallies of the batches, in archive order: a task is a batch of lines, a few milliseconds
    of verification, and at most two batches per thread wait in memory."""
    if threads == 1:
        for first, lines, size in batches(stream, name):
            yield work(first, lines)
            progress.update(size)
        return
    with ThreadPoolExecutor(max_workers=threads, thread_name_prefix="verify") as pool:
        pending: collections.deque[tuple[Future[Tally], int]] = collections.deque()
        try:
            for first, lines, size in batches(stream, name):
                pending.append((pool.submit(work, first, lines), size))
                if len(pending) >= 2 * threads:
                    done, size = pending.popleft()
                    yield done.result()
                    progress.update(size)
            while pending:
                done, size = pending.popleft()
                yield done.result()
                progress.update(size)
        finally:
            for future, _ in pending:
                future.cancel()


def run_verify(args: argparse.Namespace) -> int:
    paths, archive = split_archive(args.descriptors, args.archive)
    standard_input_once(archive or STDIN, *paths)
    descriptors = load_descriptors(paths)
    decode, encoding = DECODERS[args.signature_encoding], args.signature_encoding

    def work(first: int, lines: list[bytes]) -> Tally:
        return verify_lines(first, lines, descriptors, decode, encoding)

    counts = dict.fromkeys(OUTCOMES, 0)
    name = archive or STDIN
    stream, size = open_archive(name)
    with stream, Progress(size, "B", "verifying", scale=True) as progress:
        try:
            for tally in tallies(stream, name, args.threads, work, progress):
                counts[VERIFIED] += tally.verified
                for number, outcome, reason in tally.failures:
                    counts[outcome] += 1
                    if args.json:
                        json_line({"line": number, "outcome": outcome, "reason": reason})
                    else:
                        print(f"line {number}: {outcome.replace('_', ' ')}: {shown(reason)}")
        except BrokenPipeError:
            raise  # stdout's reader went away: main() ends quietly
        except OSError as failure:  # reading the archive
            raise CommandError(f"{file_name(name)}: {failure.strerror}") from None
    if args.json:
        json_line({"summary": counts})
    else:
        print(", ".join(f"{outcome.replace('_', ' ')} {counts[outcome]}" for outcome in OUTCOMES))
    return EXIT_FAULT if any(counts[outcome] for outcome in OUTCOMES[1:]) else EXIT_OK
