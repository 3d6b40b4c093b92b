"""What the commands read: an archive of envelopes as a stream of lines, and small files (a
proof, a receipt, certificates, a TSA's answer) whole. `-` names standard input."""
from __future__ import annotations

import os
import stat
import sys
from collections.abc import Iterator
from typing import IO

from zun_protocol import SignedEnvelope

from zun_protocol_cli.errors import UsageError
from zun_protocol_cli.output import file_name

STDIN = "-"
# Lines per batch: enough to make handing a batch to a thread or to the tree cost little beside
# it, few enough that little waits in memory.
BATCH_LINES = 256
READ_BUFFER = 1 << 20
# Far above any proof, receipt, certificate bundle or envelope, so that naming a device or an
# archive by mistake ends with a message instead of filling the memory.
SMALL_FILE_LIMIT = 16 << 20
# The same for one line of an archive: a file without line breaks (/dev/zero) is refused
# before it fills the memory.
LINE_LIMIT = SMALL_FILE_LIMIT


def open_archive(name: str) -> tuple[IO[bytes], int | None]:
    """The archive as a binary stream, and its size when it is a regular file."""
    if name == STDIN:
        return open(sys.stdin.fileno(), "rb", buffering=READ_BUFFER, closefd=False), None
    try:
        stream = open(name, "rb", buffering=READ_BUFFER)
    except OSError as failure:
        raise UsageError(f"{file_name(name)}: {failure.strerror}") from None
    status = os.fstat(stream.fileno())
    return stream, status.st_size if stat.S_ISREG(status.st_mode) else None


def batches(stream: IO[bytes], name: str) -> Iterator[tuple[int, list[bytes], int]]:
    """(number of the first line, the lines, their bytes), BATCH_LINES lines at a time. A line
    longer than LINE_LIMIT is a usage error."""
    first = 1
    while True:
        lines: list[bytes] = []
        for _ in range(BATCH_LINES):
            line = stream.readline(LINE_LIMIT + 1)
            if not line:
                break
            if len(line) > LINE_LIMIT:
                raise UsageError(f"{file_name(name)}: line {first + len(lines)}: longer than "
                                 f"{LINE_LIMIT >> 20} MiB, which is not what is asked for here")
            lines.append(line)
        if not lines:
            return
        yield first, lines, sum(map(len, lines))
        first += len(lines)


def envelope_of(line: bytes) -> SignedEnvelope:
    """The envelope of an archive line, or ValueError with the reason it holds none."""
    try:
        # Without its line break, so that positions in messages are within the line.
        text = line.rstrip(b"\r\n").decode()
    except UnicodeDecodeError as failure:
        raise ValueError(f"not UTF-8: byte {failure.start + 1} of the line") from None
    return SignedEnvelope.from_json(text)


def without_line_break(line: bytes) -> bytes:
    """A line's bytes without the one line break that ends it, "\\n" or "\\r\\n", so that an
    archive copied through a tool that writes CRLF keeps its leaves. Any other byte, a lone
    "\\r" or trailing blanks included, stays."""
    if line.endswith(b"\n"):
        return line[:-2] if line.endswith(b"\r\n") else line[:-1]
    return line


def read_small_file(name: str) -> bytes:
    """The whole of a small input file; one that cannot be read is a usage error."""
    try:
        if name == STDIN:
            data = sys.stdin.buffer.read(SMALL_FILE_LIMIT + 1)
        else:
            with open(name, "rb") as file:
                data = file.read(SMALL_FILE_LIMIT + 1)
    except OSError as failure:
        raise UsageError(f"{file_name(name)}: {failure.strerror or failure}") from None
    if len(data) > SMALL_FILE_LIMIT:
        raise UsageError(f"{file_name(name)}: larger than {SMALL_FILE_LIMIT >> 20} MiB, which is not what is asked for here")
    return data


def read_small_text(name: str) -> str:
    data = read_small_file(name)
    try:
        return data.decode()
    except UnicodeDecodeError as failure:
        raise UsageError(f"{file_name(name)}: not UTF-8: byte {failure.start + 1}") from None


def standard_input_once(*names: str | None) -> None:
    if sum(name == STDIN for name in names) > 1:
        raise UsageError("standard input (-) can be given for one file only")
