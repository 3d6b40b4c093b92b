"""What a queue directory holds, entry by entry: item files, leftovers of pushes, and entries
that are not items; and for each item file, whether it makes `list()` fail and with which
message.

The messages come from `EnvelopeQueue.list()` itself, never from a second reading of the item
format here: each item file is listed alone, through a private directory that holds one
symbolic link to it under its own name. `list()` follows the link as it follows any name in the
queue, so it reads the same bytes, or meets the same directory, FIFO, device or dangling link,
and fails with the same message; only the directory in an I/O error's path is put back."""
from __future__ import annotations

import contextlib
import fcntl
import os
import re
import stat
import string
import tempfile
from dataclasses import dataclass
from types import TracebackType

from zun_protocol import EnvelopeQueue, QueuedItem

from zun_protocol_cli.errors import CommandError, UsageError
from zun_protocol_cli.output import file_name

ITEM_SUFFIX = ".json"
# The characters of a queue id that its file name keeps, in the queue's naming rule.
_KEPT = frozenset(string.ascii_letters + string.digits + "-_")
# Temporary files of pushes, named ".spill-<pid>-<thread>-<n>.tmp".
_LEFTOVER = re.compile(r"\.spill-(?:([0-9]+)-)?.*\.tmp", re.DOTALL)
_PID_MAX = 2**31 - 1
# The private directories of ItemProbe, in the temporary directory.
PROBE_PREFIX = "zun-protocol-probe-"

ITEM, LEFTOVER, OTHER = "item", "leftover", "other"

_FILE_TYPES = (
    (stat.S_ISREG, "regular file"), (stat.S_ISDIR, "directory"), (stat.S_ISLNK, "symbolic link"),
    (stat.S_ISFIFO, "FIFO"), (stat.S_ISCHR, "character device"), (stat.S_ISBLK, "block device"),
    (stat.S_ISSOCK, "socket"),
)


def bind(directory: str) -> EnvelopeQueue:
    try:
        return EnvelopeQueue(directory)
    except UnicodeEncodeError:
        raise UsageError(f"{file_name(directory)}: the queue takes directory names in UTF-8 only") from None


def join(directory: str, name: str) -> str:
    """The queue's own join: a "/" only after a non-empty directory that does not end in one."""
    return directory + name if not directory or directory.endswith("/") else f"{directory}/{name}"


def is_item_name(name: str) -> bool:
    # The extension is exactly "json" and something precedes its dot (".json" is no item).
    return len(name) > len(ITEM_SUFFIX) and name.endswith(ITEM_SUFFIX)


def item_file_name(queue_id: str) -> str:
    """The name of the file that holds the item `queue_id`, and that drop_item() removes."""
    return "".join(c for c in queue_id if c in _KEPT) + ITEM_SUFFIX


def file_type(mode: int) -> str:
    return next((name for test, name in _FILE_TYPES if test(mode)), "unknown file type")


@dataclass(frozen=True)
class Entry:
    name: str
    kind: str  # ITEM, LEFTOVER or OTHER
    file_type: str  # of the entry itself: a link is a "symbolic link"
    size: int
    mtime: float

    @property
    def push_pid(self) -> int | None:
        """The process id in a leftover's name, when the queue takes it for one."""
        match = _LEFTOVER.fullmatch(self.name)
        pid = int(match.group(1)) if match and match.group(1) else 0
        return pid if 0 < pid <= _PID_MAX else None


def list_failure(queue: EnvelopeQueue) -> str | None:
    """The message with which `queue.list()` fails, or None when it succeeds."""
    try:
        queue.list()
    except (ValueError, OSError) as failure:
        return str(failure)
    return None


class DirectoryFailure(Exception):
    """list() fails at the directory itself, before it reads any item."""


class ItemFailure(Exception):
    """list() fails at one item file."""


def scan(directory: str) -> list[Entry] | None:
    """The entries of the queue directory in list() order (file names compared byte by byte),
    or None when there is no directory, in which case list() returns no items. Raises
    DirectoryFailure with list()'s message when the directory cannot be read."""
    try:
        os.stat(directory)
    except (OSError, ValueError):  # missing, out of reach, a dangling link, a NUL in the name
        return None
    try:
        names = os.listdir(directory)
    except OSError as failure:
        # list() is asked for its words; it fails before it reads or removes anything.
        message = list_failure(bind(directory)) or f"{file_name(directory)}: {failure.strerror}"
        raise DirectoryFailure(message) from failure
    entries = []
    for name in sorted(names, key=os.fsencode):
        try:
            status = os.lstat(join(directory, name))
        except FileNotFoundError:  # gone since the listing
            continue
        kind = ITEM if is_item_name(name) else LEFTOVER if _LEFTOVER.fullmatch(name) else OTHER
        entries.append(Entry(name, kind, file_type(status.st_mode), status.st_size, status.st_mtime))
    return entries


def _open_directory(path: str, *, dir_fd: int | None = None) -> int:
    return os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC, dir_fd=dir_fd)


def _lock(fd: int, *, wait: bool) -> bool:
    """Whether this process now holds the lock of the directory `fd`. Where the file system
    has no such locks, nobody does: the probe goes without, and no sweep takes anything."""
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | (0 if wait else fcntl.LOCK_NB))
    except OSError:
        return False
    return True


def sweep_probes(temporary: str) -> None:
    """Removes the private directories that the probes of killed commands left in `temporary`.
    A probe holds a lock on its directory for as long as it lives, and the end of its process,
    however it ends, lets go of it: a directory of ours whose lock can be taken is abandoned.
    Only the links a probe makes are removed from it, and nothing that is not empty then."""
    try:
        temporary_fd = _open_directory(temporary)
    except OSError:
        return
    try:
        for name in os.listdir(temporary_fd):
            if not name.startswith(PROBE_PREFIX):
                continue
            try:
                fd = _open_directory(name, dir_fd=temporary_fd)
            except OSError:  # gone, not a directory, a link, out of reach
                continue
            try:
                if os.fstat(fd).st_uid != os.geteuid() or not _lock(fd, wait=False):
                    continue
                for entry in os.listdir(fd):
                    with contextlib.suppress(OSError):
                        if stat.S_ISLNK(os.lstat(entry, dir_fd=fd).st_mode):
                            os.unlink(entry, dir_fd=fd)
                with contextlib.suppress(OSError):
                    os.rmdir(name, dir_fd=temporary_fd)
            finally:
                os.close(fd)
    finally:
        os.close(temporary_fd)


def _make_sandbox() -> tuple[str, int]:
    """A new private directory, and a descriptor of it that holds its lock."""
    sweep_probes(tempfile.gettempdir())
    while True:
        sandbox = tempfile.mkdtemp(prefix=PROBE_PREFIX)
        try:
            fd = _open_directory(sandbox)
        except OSError:
            os.rmdir(sandbox)
            raise
        locked = _lock(fd, wait=True)
        try:
            # A sweep may have taken it between its making and the lock.
            status = os.stat(sandbox, follow_symlinks=False)
            if not locked or (status.st_dev, status.st_ino) == (os.fstat(fd).st_dev, os.fstat(fd).st_ino):
                return sandbox, fd
        except FileNotFoundError:
            pass
        os.close(fd)


class ItemProbe:
    """Lists one item file of `directory` at a time, as described at the top of this module.
    Its private directory goes when the probe is closed; one that a killed command left behind
    goes when the next probe is made."""

    def __init__(self, directory: str) -> None:
        self._directory = directory
        self._shown_directory = bind(directory).dir
        self._absolute = os.path.join(os.getcwd(), directory)
        self._sandbox, self._sandbox_fd = _make_sandbox()
        try:
            self._queue = EnvelopeQueue(self._sandbox)
        except BaseException:
            self.__exit__(None, None, None)
            raise

    def read(self, name: str) -> QueuedItem | None:
        """The item in the file `name`, or None when the file is gone (list() skips such a
        file). Raises ItemFailure with list()'s message."""
        link = os.path.join(self._sandbox, name)
        try:
            os.symlink(os.path.join(self._absolute, name), link)
        except OSError as failure:  # a path too long for a link's target, a full /tmp
            raise CommandError(f"cannot link {file_name(join(self._directory, name))} into the private "
                               f"directory {self._sandbox} to list it alone: {failure.strerror}") from None
        try:
            items = self._queue.list()
        except (ValueError, OSError) as failure:
            message = str(failure)
        else:
            return items[0] if items else None
        finally:
            os.unlink(link)
        try:
            os.lstat(join(self._directory, name))
        except FileNotFoundError:  # dropped meanwhile
            return None
        except OSError:  # there, but out of this process's reach: list()'s message says why
            pass
        private = f"queue I/O error at {self._sandbox}/{file_name(name)}: "
        if message.startswith(private):
            message = f"queue I/O error at {join(self._shown_directory, file_name(name))}: {message[len(private):]}"
        raise ItemFailure(message)

    def failure(self, name: str) -> str | None:
        """The message with which the file `name` makes list() fail, or None."""
        try:
            self.read(name)
        except ItemFailure as failure:
            return str(failure)
        return None

    def __enter__(self) -> ItemProbe:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 trace: TracebackType | None) -> None:
        try:
            os.rmdir(self._sandbox)
        finally:
            os.close(self._sandbox_fd)  # and with it the lock
