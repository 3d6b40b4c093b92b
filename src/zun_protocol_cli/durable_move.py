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


class Mover:
    """Moves entries of the directory `source` into the directory `target`. The renames are
    flushed together when the mover is closed (two directory flushes in all, instead of two per
    entry): a rename is atomic on its own, so until then each entry is in one place or the
    other, and once close() has returned every move survives a power cut. Raises OSError."""

    def __init__(self, source: str, target: str) -> None:
        self._source_fd = open_directory(source)
        try:
            self._target_fd = open_directory(target)
        except OSError:
            os.close(self._source_fd)
            raise

    def move(self, name: str) -> str:
        """Moves the entry `name` under its own name or, when that is taken, the first free one
        of "name.1", "name.2", ...; returns the name it got."""
        mode = os.lstat(name, dir_fd=self._source_fd).st_mode
        _flush_contents(self._source_fd, name, mode)
        for attempt in range(_NAME_ATTEMPTS):
            new_name = f"{name}.{attempt}" if attempt else name
            try:
                _rename_noreplace(self._source_fd, name, self._target_fd, new_name, stat.S_ISDIR(mode))
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
