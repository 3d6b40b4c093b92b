"""`zun-protocol queue`: what is in a spill queue, which files make list() fail, moving those
aside, and one item at a time."""
from __future__ import annotations

import argparse
import errno
import json
import os
import shlex
import time
from typing import Any

from zun_protocol import EnvelopeQueue, QueuedItem

from zun_protocol_cli import durable_move
from zun_protocol_cli.errors import EXIT_FAULT, EXIT_OK, CommandError, UsageError
from zun_protocol_cli.output import Progress, file_name, json_line, shown, utc_time
from zun_protocol_cli.queue_files import (
    ITEM, LEFTOVER, DirectoryFailure, Entry, ItemFailure, ItemProbe, bind, is_item_name, item_file_name, join,
    scan,
)

QUARANTINE = "quarantine"


def register(subcommands: Any) -> None:
    queue = subcommands.add_parser(
        "queue", help="inspect and repair a spill queue",
        description="Inspect and repair a spill queue directory. Without --dir, the default queue "
                    "(EnvelopeQueue.default(): $HOME/.tamsel/envelope-queue).")
    actions = queue.add_subparsers(title="actions", dest="action", metavar="ACTION", required=True)
    where = argparse.ArgumentParser(add_help=False)
    where.add_argument("--dir", metavar="DIR", help="the queue directory (default: the default queue's)")
    listing = argparse.ArgumentParser(add_help=False)
    listing.add_argument("--json", action="store_true", help="one JSON object per line")

    ls = actions.add_parser("ls", parents=[where, listing], help="the items, in list() order",
                            description="Id, pair class, size and modification time of each item, "
                                        "in list() order.")
    ls.set_defaults(run=run_ls)

    check = actions.add_parser(
        "check", parents=[where, listing], help="every file that makes list() fail",
        description="Every file that makes list() fail, with the message list() gives, then the "
                    "temporary files left by pushes and the entries that are not items. Reads only; "
                    "changes nothing. Exit status 1 when list() would fail.")
    check.set_defaults(run=run_check)

    quarantine = actions.add_parser(
        "quarantine", parents=[where, listing], help="move the files that make list() fail aside",
        description=f"Moves each file that makes list() fail into DIR/{QUARANTINE}/ (or --to), by a "
                    "rename flushed to disk in both directories. Nothing is deleted or overwritten: a "
                    "name already taken gets a suffix .1, .2, ... A file that a push replaces meanwhile "
                    "stays. No symbolic link is followed on the way from DIR to the quarantine, and a "
                    "quarantine that is one is refused. Then checks, as check does, that list() would "
                    "succeed.")
    quarantine.add_argument("--to", metavar="DIR2", help=f"where to move them (default: DIR/{QUARANTINE})")
    quarantine.set_defaults(run=run_quarantine)

    show = actions.add_parser("show", parents=[where], help="one item, as JSON",
                              description="The item ID (its pair class and envelope) as JSON. Reads only "
                                          "that item's file, so it works while other files break list().")
    show.add_argument("id", metavar="ID", help="the item's queue id")
    show.set_defaults(run=run_show)

    drop = actions.add_parser("drop", parents=[where], help="delete one item",
                              description="Deletes the item ID, as drop_item() does after a re-emission, "
                                          "whether or not its file can be read, but not when the file holds "
                                          "the item of another id that maps to the same file name.")
    drop.add_argument("id", metavar="ID", help="the item's queue id")
    drop.set_defaults(run=run_drop)


def queue_directory(args: argparse.Namespace) -> str:
    return args.dir if args.dir is not None else EnvelopeQueue.default().dir


def list_items(queue: EnvelopeQueue, directory: str) -> list[Any]:
    try:
        return queue.list()
    except (ValueError, OSError) as failure:
        raise CommandError(f"{failure} (`zun-protocol queue check{dir_option(directory)}` names the files)") from None


def dir_option(directory: str) -> str:
    return f" --dir {shlex.quote(directory)}"


# ---- ls ------------------------------------------------------------------------------------------


def run_ls(args: argparse.Namespace) -> int:
    directory = queue_directory(args)
    rows = []
    for item in list_items(bind(directory), directory):
        try:
            status = os.stat(join(directory, item_file_name(item.queue_id)))
            size, modified = status.st_size, utc_time(status.st_mtime)
        except OSError:  # its file name does not follow from its id, or it went meanwhile
            size, modified = None, None
        rows.append({"queue_id": item.queue_id, "pair_class": item.pair_class, "size": size, "modified": modified})
    if args.json:
        for row in rows:
            json_line(row)
        return EXIT_OK
    if not rows:
        print(f"no items in {shown(directory)}")
        return EXIT_OK
    table = [("QUEUE ID", "PAIR CLASS", "SIZE", "MODIFIED")] + [
        (shown(r["queue_id"]), shown(r["pair_class"]), "-" if r["size"] is None else str(r["size"]),
         r["modified"] or "-") for r in rows]
    widths = [max(len(row[i]) for row in table) for i in range(3)]
    for row in table:
        print(f"{row[0]:{widths[0]}}  {row[1]:{widths[1]}}  {row[2]:>{widths[2]}}  {row[3]}")
    return EXIT_OK


# ---- check and quarantine -------------------------------------------------------------------------


def probe_items(directory: str) -> ItemProbe:
    try:
        return ItemProbe(directory)
    except OSError as failure:
        raise CommandError(f"no private directory to list item files in: {failure}") from None


class Inspection:
    """The entries of a queue directory, and the message of each item file that breaks list()."""

    def __init__(self, directory: str) -> None:
        self.directory = directory
        self.failure: str | None = None  # list() fails at the directory itself
        self.entries: list[Entry] | None = None  # None: no directory, so list() returns nothing
        self.breaking: dict[str, str] = {}
        try:
            self.entries = scan(directory)
        except DirectoryFailure as failure:
            self.failure = str(failure)
            return
        items = [entry for entry in self.entries or () if entry.kind == ITEM]
        if not items:
            return
        with probe_items(directory) as probe, Progress(len(items), "file", "checking") as progress:
            for entry in items:
                message = probe.failure(entry.name)
                if message is not None:
                    self.breaking[entry.name] = message
                progress.update(1)

    @property
    def item_count(self) -> int:
        return sum(entry.kind == ITEM for entry in self.entries or ())

    @property
    def list_fails(self) -> bool:
        return self.failure is not None or bool(self.breaking)


def age(seconds: float) -> str:
    for unit, length in (("d", 86400), ("h", 3600), ("min", 60)):
        if seconds >= length:
            return f"{int(seconds // length)} {unit}"
    return f"{max(int(seconds), 0)} s"


def finding(inspection: Inspection, entry: Entry) -> dict[str, Any] | None:
    path = join(inspection.directory, entry.name)
    common = {"file": file_name(entry.name), "path": file_name(path), "type": entry.file_type}
    if entry.name in inspection.breaking:
        return {**common, "finding": "breaks_list", "message": inspection.breaking[entry.name]}
    if entry.kind == LEFTOVER:
        return {**common, "finding": "leftover", "pid": entry.push_pid, "size": entry.size,
                "modified": utc_time(entry.mtime)}
    if entry.kind != ITEM:
        return {**common, "finding": "not_an_item"}
    return None


def finding_text(found: dict[str, Any], now: float, entry: Entry) -> str:
    name = shown(found["file"])
    if found["finding"] == "breaks_list":
        return f"{name}: {shown(found['message'])}"
    if found["finding"] == "leftover":
        process = f" of process {found['pid']}" if found["pid"] is not None else ""
        fate = ("list() removes it once it is over ten minutes old and its process is gone"
                if found["pid"] is not None and found["type"] == "regular file" else "list() does not read it")
        return (f"{name}: temporary file of a push{process}, {age(now - entry.mtime)} old, "
                f"{entry.size} byte{'' if entry.size == 1 else 's'} ({found['type']}); {fate}")
    return f"{name}: not an item ({found['type']}); list() does not read it"


def run_check(args: argparse.Namespace) -> int:
    directory = queue_directory(args)
    inspection = Inspection(directory)
    if inspection.failure is not None:
        if args.json:
            json_line({"file": None, "path": file_name(directory), "finding": "breaks_list",
                       "message": inspection.failure})
            # How many items the directory holds is unknown when it cannot be read.
            json_line({"summary": {"items": None, "breaking": 1, "leftovers": 0, "not_items": 0,
                                   "list_succeeds": False}})
        else:
            print(f"{shown(directory)}: {shown(inspection.failure)}")
        return EXIT_FAULT
    now = time.time()
    counts = {"breaks_list": 0, "leftover": 0, "not_an_item": 0}  # also the order in which they are shown
    findings = [(found, entry) for entry in inspection.entries or () if (found := finding(inspection, entry))]
    findings.sort(key=lambda pair: list(counts).index(pair[0]["finding"]))
    for found, entry in findings:
        counts[found["finding"]] += 1
        if args.json:
            json_line(found)
        else:
            print(finding_text(found, now, entry))
    if args.json:
        json_line({"summary": {"items": inspection.item_count, "breaking": counts["breaks_list"],
                               "leftovers": counts["leftover"], "not_items": counts["not_an_item"],
                               "list_succeeds": not inspection.list_fails}})
    elif inspection.entries is None:
        print(f"{shown(directory)}: no such directory; list() returns no items")
    elif inspection.list_fails:
        print(f"list() fails: {counts['breaks_list']} of {inspection.item_count} item files break it; "
              f"`zun-protocol queue quarantine{shown(dir_option(directory))}` moves them aside")
    else:
        print(f"list() succeeds: {inspection.item_count} items")
    return EXIT_FAULT if inspection.list_fails else EXIT_OK


def quarantine_target(args: argparse.Namespace, directory: str) -> str:
    """The quarantine, --to's or the default, checked alike."""
    target: str = join(directory, QUARANTINE) if args.to is None else args.to
    refuse = UsageError if args.to is not None else CommandError
    named = f"--to {file_name(target)}" if args.to is not None else file_name(target)
    path = os.path.realpath(target)
    if same_file(path, directory):
        raise refuse(f"{named}: moved there, the files would still be read by list()")
    # No ancestor may be an entry of the queue directory with an item's name: creating it would
    # give list() a directory to fail on, and moving into it would keep the files in its way.
    while (parent := os.path.dirname(path)) != path:
        if is_item_name(os.path.basename(path)) and same_file(parent, directory):
            raise refuse(f"{named}: inside {file_name(join(directory, os.path.basename(path)))}, "
                         "which list() would read as an item and fail on")
        path = parent
    return target


def beneath(directory: str, target: str) -> list[str] | None:
    """The names that lead from the queue directory to `target` when `target` lies inside it,
    by the queue directory's own path or the path it resolves to (the way to the queue is the
    operator's, what is inside it anyone's who can write there); None when it lies outside."""
    path = os.path.abspath(target)
    for base in {os.path.abspath(directory), os.path.realpath(directory)}:
        if path == base or os.path.commonpath([base, path]) == base:
            return [name for name in os.path.relpath(path, base).split(os.sep) if name != "."]
    return None


def open_mover(directory: str, target: str, refuse: type[CommandError]) -> durable_move.Mover:
    """A mover from the queue directory into `target`, made when missing. Inside the queue
    directory nothing is followed that is a symbolic link, the target itself included; outside
    it, the target's parent is reached as its path says, the target not."""
    queue_fd = durable_move.open_directory(directory)
    try:
        names = beneath(directory, target)
        if names is not None:
            target_fd = durable_move.open_beneath(queue_fd, names)
        else:
            parent, name = os.path.split(os.path.abspath(target))
            durable_move.make_directories(parent)
            parent_fd = durable_move.open_directory(parent)
            try:
                target_fd = durable_move.open_beneath(parent_fd, [name] if name else [])
            finally:
                os.close(parent_fd)
        if os.path.samestat(os.fstat(target_fd), os.fstat(queue_fd)):
            os.close(target_fd)
            raise refuse(f"{file_name(target)}: moved there, the files would still be read by list()")
    except durable_move.SymbolicLinkRefused as failure:
        os.close(queue_fd)
        link = join(directory, str(failure.filename)) if names is not None else target
        raise refuse(f"{file_name(link)}: {failure.strerror}; the quarantine must be a directory of its own") from None
    except BaseException:
        os.close(queue_fd)
        raise
    return durable_move.Mover(queue_fd, target_fd)


def same_file(path: str, other: str) -> bool:
    try:
        return os.path.samefile(path, other)
    except (OSError, ValueError):  # either is missing: no file is both
        return False


def run_quarantine(args: argparse.Namespace) -> int:
    directory = queue_directory(args)
    target = quarantine_target(args, directory)
    inspection = Inspection(directory)
    if inspection.failure is not None:
        raise CommandError(f"{inspection.failure} (the directory itself: nothing to move)")
    refuse = UsageError if args.to is not None else CommandError
    moved = move_all(inspection, target, refuse, args.json) if inspection.breaking else 0
    # Inspected afresh rather than listed: list() itself would remove the abandoned temporary
    # files of pushes, and this command deletes nothing.
    after = Inspection(directory)
    if after.list_fails:
        still = after.failure if after.failure is not None else next(iter(after.breaking.values()))
        raise CommandError(f"list() still fails: {still}")
    if args.json:
        json_line({"summary": {"moved": moved, "items": after.item_count, "list_succeeds": True}})
    else:
        done = f"moved {moved} files to {shown(target)}; " if moved else "nothing to move; "
        print(f"{done}list() succeeds: {after.item_count} items")
    return EXIT_OK


def moving(name: str) -> None:
    """Called between the last look at a broken file and its move, the window in which a push
    may replace it; the tests push there."""


def move_all(inspection: Inspection, target: str, refuse: type[CommandError], as_json: bool) -> int:
    """Moves the files that break list(), then says what moved, once the moves are flushed;
    returns how many moved. Each file is listed once more just before its move: one that a push
    has replaced meanwhile by a readable item stays. What moves is the very file found broken
    (the same device, inode and modification time): a file that a push put in its place after
    that last look is put back."""
    moved: list[tuple[str, str]] = []
    superseded: list[tuple[str, str]] = []  # pushed meanwhile, then pushed again: kept aside
    try:
        mover = open_mover(inspection.directory, target, refuse)
    except OSError as failure:
        raise CommandError(f"{file_name(target)}: {failure.strerror}") from None
    try:
        with mover, probe_items(inspection.directory) as probe:
            for name in inspection.breaking:
                try:
                    found = durable_move.identity(mover.source_fd, name)
                    if probe.failure(name) is None:
                        continue
                    moving(name)
                    moved.append((name, mover.move(name, found)))
                except FileNotFoundError:  # dropped meanwhile: nothing left to move
                    continue
                except durable_move.Replaced as replaced:
                    if replaced.kept is not None:
                        superseded.append((name, replaced.kept))
                    continue
                except OSError as failure:
                    raise CommandError(move_failure(inspection.directory, name, target, failure)) from None
    finally:
        for name, new_name in moved:
            moved_to = file_name(join(target, new_name))
            if as_json:
                json_line({"file": file_name(name), "from": file_name(join(inspection.directory, name)),
                           "to": moved_to, "message": inspection.breaking[name]})
            else:
                print(f"{shown(file_name(name))} -> {shown(moved_to)}")
        for name, new_name in superseded:
            kept = file_name(join(target, new_name))
            why = "pushed while it was moved, and pushed again since: the newer item is in the queue"
            if as_json:
                json_line({"file": file_name(name), "from": file_name(join(inspection.directory, name)),
                           "to": kept, "message": why})
            else:
                print(f"{shown(file_name(name))} -> {shown(kept)}: {why}")
    return len(moved)


def move_failure(directory: str, name: str, target: str, failure: OSError) -> str:
    where = f"cannot move {file_name(join(directory, name))} to {file_name(target)}: {failure.strerror}"
    if failure.errno == errno.EXDEV:
        where += " (choose a --to directory on the queue's file system)"
    return where + "; files moved so far stay moved, nothing was deleted"


# ---- show and drop --------------------------------------------------------------------------------


def item_path(args: argparse.Namespace) -> tuple[str, str]:
    directory = queue_directory(args)
    name = item_file_name(args.id)
    if not os.path.lexists(join(directory, name)):
        raise CommandError(f"no item {json.dumps(args.id)} in {file_name(directory)}")
    return directory, name


def item_in(directory: str, name: str, queue_id: str) -> QueuedItem:
    """The item `queue_id` from its file `name`. Raises ItemFailure with list()'s message when the
    file cannot be read, and CommandError when it is gone or holds another item, whose id maps
    to the same file name."""
    with probe_items(directory) as probe:
        item = probe.read(name)
    if item is None or item.queue_id != queue_id:
        held = "" if item is None else f": its file {file_name(name)} holds the item {json.dumps(item.queue_id)}"
        raise CommandError(f"no item {json.dumps(queue_id)} in {file_name(directory)}{held}")
    return item


def run_show(args: argparse.Namespace) -> int:
    directory, name = item_path(args)
    try:
        item = item_in(directory, name, args.id)
    except ItemFailure as failure:
        raise CommandError(str(failure)) from None
    shown_item = {"queue_id": item.queue_id, "pair_class": item.pair_class, "envelope": item.envelope.to_dict()}
    print(json.dumps(shown_item, indent=2))
    return EXIT_OK


def run_drop(args: argparse.Namespace) -> int:
    directory, name = item_path(args)
    try:
        item_in(directory, name, args.id)
    except ItemFailure:
        pass  # a file that list() cannot read is dropped all the same: that is what drop is for
    try:
        bind(directory).drop_item(args.id)
    except OSError as failure:
        raise CommandError(str(failure)) from None
    print(f"dropped {shown(args.id)} ({shown(file_name(join(directory, name)))})")
    return EXIT_OK
