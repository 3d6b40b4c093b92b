"""Moving a directory entry into another directory so that the move survives a crash or a power
cut, never replaces anything at the destination, and never leaves the entry in neither place.

The move is one rename that refuses an existing destination (renameat2 with RENAME_NOREPLACE),
flushed in both directories. Where the C library or the file system lacks that flag, the safe
routes are a hard link and then an unlink (a kill between them leaves the file in both places,
never in neither) and, for a directory, which cannot be linked, a new empty directory as the
claim on the name and a rename onto it."""
from __future__ import annotations

import contextlib
import ctypes
import errno
import os
import stat
from collections.abc import Callable
from types import TracebackType
from typing import Any

_RENAME_NOREPLACE = 1
# Attempts at a free name in the destination: "name", "name.1", "name.2", ...
_NAME_ATTEMPTS = 1000


def _find_renameat2() -> Callable[..., Any] | None:
    try:
        function = ctypes.CDLL(None, use_errno=True).renameat2
    except (AttributeError, OSError):
        return None
    function.argtypes = (ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_uint)
    function.restype = ctypes.c_int
    return function


renameat2 = _find_renameat2()


def _rename_noreplace(source_fd: int, name: str, target_fd: int, new_name: str, is_dir: bool) -> None:
    """Raises FileExistsError when `new_name` is taken."""
    if renameat2 is not None:
        if renameat2(source_fd, os.fsencode(name), target_fd, os.fsencode(new_name), _RENAME_NOREPLACE) == 0:
            return
        code = ctypes.get_errno()
        # EINVAL: the file system does not take the flag; ENOSYS: the kernel lacks the call.
        if code not in (errno.EINVAL, errno.ENOSYS):
            raise OSError(code, os.strerror(code), name)
    if is_dir:
        os.mkdir(new_name, dir_fd=target_fd)
        try:
            os.rename(name, new_name, src_dir_fd=source_fd, dst_dir_fd=target_fd)
        except OSError as failure:
            with contextlib.suppress(OSError):  # unless someone filled it meanwhile
                os.rmdir(new_name, dir_fd=target_fd)
            if failure.errno == errno.ENOTEMPTY:
                raise FileExistsError(errno.EEXIST, "taken meanwhile", new_name) from failure
            raise
    else:
        os.link(name, new_name, src_dir_fd=source_fd, dst_dir_fd=target_fd, follow_symlinks=False)
        os.fsync(target_fd)
        os.unlink(name, dir_fd=source_fd)


def _flush_contents(directory_fd: int, name: str, mode: int) -> None:
    """Flushes a regular file or a directory before it moves, so that what is kept aside is what
    was there. Other entries are not opened: opening a FIFO or a device could block or act."""
    if not (stat.S_ISREG(mode) or stat.S_ISDIR(mode)):
        return
    try:
        fd = os.open(name, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC, dir_fd=directory_fd)
    except OSError:  # unreadable, or swapped for a link meanwhile: its move still counts
        return
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def open_directory(path: str) -> int:
    return os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)


class SymbolicLinkRefused(OSError):
    """A directory on the way to a destination is a symbolic link, which is never followed."""


def open_beneath(base_fd: int, names: list[str]) -> int:
    """The directory base/names[0]/names[1]/..., each made when missing (and flushed into its
    parent) and none followed when it is a symbolic link: whoever can write to the base directory
    cannot send what moves there elsewhere. Raises SymbolicLinkRefused, naming the link's path
    below the base, or OSError."""
    fd = os.dup(base_fd)
    try:
        for depth, name in enumerate(names):
            try:
                os.mkdir(name, dir_fd=fd)
                os.fsync(fd)
            except FileExistsError:
                pass
            try:
                inner = os.open(name, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC, dir_fd=fd)
            except OSError as failure:
                if failure.errno in (errno.ELOOP, errno.ENOTDIR) and stat.S_ISLNK(
                        os.lstat(name, dir_fd=fd).st_mode):
                    where = "/".join(names[:depth + 1])
                    raise SymbolicLinkRefused(errno.ELOOP, "a symbolic link, which is not followed", where) from None
                raise
            os.close(fd)
            fd = inner
    except BaseException:
        os.close(fd)
        raise
    return fd


def identity(directory_fd: int, name: str) -> tuple[int, int, int]:
    """What tells the entry `name` from any entry that takes its place: its device, inode and
    modification time (an inode number alone may come back once its file is gone). Raises
    OSError, FileNotFoundError when there is no such entry."""
    status = os.lstat(name, dir_fd=directory_fd)
    return status.st_dev, status.st_ino, status.st_mtime_ns


class Replaced(Exception):
    """The entry that moved was not the one expected: something took its place meanwhile.
    `kept` is None when it went back under its name, else the name it keeps in the destination,
    as another entry had taken its name in the source by then."""

    def __init__(self, kept: str | None) -> None:
        super().__init__(kept)
        self.kept = kept


class Mover:
    """Moves entries of the directory `source_fd` into the directory `target_fd`, both
    descriptors the mover's own from then on. The renames are flushed together when the mover
    is closed (two directory flushes in all, instead of two per entry): a rename is atomic on
    its own, so until then each entry is in one place or the other, and once close() has
    returned every move survives a power cut. Raises OSError."""

    def __init__(self, source_fd: int, target_fd: int) -> None:
        self._source_fd = source_fd
        self._target_fd = target_fd

    @property
    def source_fd(self) -> int:
        return self._source_fd

    def move(self, name: str, expected: tuple[int, int, int] | None = None) -> str:
        """Moves the entry `name` under its own name or, when that is taken, the first free one
        of "name.1", "name.2", ...; returns the name it got. With `expected` (its identity()),
        only that entry moves: whatever took its place meanwhile is put back, without replacing
        anything, and Replaced is raised."""
        mode = os.lstat(name, dir_fd=self._source_fd).st_mode
        _flush_contents(self._source_fd, name, mode)
        new_name = self._rename(self._source_fd, name, self._target_fd, name, mode)
        if expected is not None and identity(self._target_fd, new_name) != expected:
            try:
                _rename_noreplace(self._target_fd, new_name, self._source_fd, name, stat.S_ISDIR(mode))
            except FileExistsError:
                raise Replaced(new_name) from None
            raise Replaced(None)
        return new_name

    @staticmethod
    def _rename(source_fd: int, name: str, target_fd: int, wanted: str, mode: int) -> str:
        for attempt in range(_NAME_ATTEMPTS):
            new_name = f"{wanted}.{attempt}" if attempt else wanted
            try:
                _rename_noreplace(source_fd, name, target_fd, new_name, stat.S_ISDIR(mode))
            except FileExistsError:
                continue
            return new_name
        raise FileExistsError(errno.EEXIST, f"{_NAME_ATTEMPTS} names taken in the destination", name)

    def close(self) -> None:
        """Flushes both directories, target first: where a file system flushes them apart, a
        crash between the two can leave a moved entry in both places, never in neither."""
        try:
            os.fsync(self._target_fd)
            os.fsync(self._source_fd)
        finally:
            os.close(self._target_fd)
            os.close(self._source_fd)

    def __enter__(self) -> Mover:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 trace: TracebackType | None) -> None:
        self.close()


def make_directories(path: str) -> None:
    """Creates `path` and its missing parents, each flushed into its parent."""
    missing = []
    current = path.rstrip("/") or "/"
    while not os.path.isdir(current):
        missing.append(current)
        parent = os.path.dirname(current) or "."
        if parent == current:
            break
        current = parent
    for directory in reversed(missing):
        try:
            os.mkdir(directory)
        except FileExistsError:
            if not os.path.isdir(directory):
                raise
        parent_fd = open_directory(os.path.dirname(directory) or ".")
        try:
            os.fsync(parent_fd)
        finally:
            os.close(parent_fd)
