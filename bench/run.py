"""Every benchmark of bench/ in one process, as one table of ratios (ours / peer, lower is better).

    python bench/run.py              plain-text table
    python bench/run.py --markdown   the same as Markdown, for README.md
    python bench/run.py --only bench_merkle   one benchmark module (the option repeats)

A benchmark whose peers are not installed is listed as skipped, with the missing names.
The throughput of examples/audit_archive.py on Dask worker processes is measured apart, by
hand: python bench/bench_audit.py (it needs dask[distributed] and about a minute).
The exit status is 1 when a benchmark fails to run, 0 otherwise (missed targets included:
they are results, not failures)."""
import argparse
import contextlib
import datetime
import importlib
import importlib.metadata
import io
import os
import pathlib
import platform
import sys
import time
import traceback

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))  # the benchmarks import their helpers as `_timing`

# (module, what it measures, the distributions it compares against besides plain Python)
BENCHMARKS = (
    ("bench_address", "ProtocolAddress", ()),
    ("bench_envelope", "SignedEnvelope, classify_exchange", ("msgspec", "orjson")),
    ("bench_pickle", "Pickling", ("msgspec", "orjson")),
    ("bench_identity", "Identity", ("PyNaCl", "cryptography")),
    ("bench_queue", "EnvelopeQueue", ()),
    ("bench_threads", "Threads", ("PyNaCl", "cryptography")),
    ("bench_merkle", "MerkleTree", ("pymerkle",)),
    ("bench_timestamp", "TimestampToken", ("rfc3161-client", "cryptography")),
    ("bench_ots", "OtsProof", ("opentimestamps",)),
    ("bench_cli", "Command line", ()),
)
PEERS = ("msgspec", "orjson", "PyNaCl", "cryptography", "pymerkle", "rfc3161-client", "opentimestamps")
COLUMNS = ("benchmark", "case", "ours", "peer", "ratio", "target", "met", "peer is")


def installed_version(distribution):
    try:
        return importlib.metadata.version(distribution)
    except importlib.metadata.PackageNotFoundError:
        return None


def duration(seconds):
    """Three significant digits in the largest unit that keeps the number below 1000."""
    for unit, scale in (("ns", 1e-9), ("µs", 1e-6), ("ms", 1e-3), ("s", 1.0)):
        value = seconds / scale
        if value < 999.5 or unit == "s":
            digits = 0 if value >= 99.95 else 1 if value >= 9.995 else 2
            return f"{value:.{digits}f} {unit}"


def size(count):
    return f"{count:.1f} B"


def result_row(title, row):
    """A row (case, ours, peer, peer name, target), with "bytes" after it when the two values are
    sizes in bytes instead of seconds."""
    case, ours, peer, peer_name, target = row[:5]
    shown = size if row[5:] == ("bytes",) else duration
    ratio = ours / peer
    met = "-" if target is None else ("yes" if ratio <= target else "NO")
    return (title, case, shown(ours), shown(peer), f"{ratio:.3f}",
            "-" if target is None else f"<= {target:g}", met, peer_name)


def note_row(title, note):
    return (title, note, "", "", "", "", "", "")


def run_benchmarks(only=None):
    """Rows for the table, and whether every benchmark that could run did."""
    rows, all_ran = [], True
    for module_name, title, peers in BENCHMARKS:
        if only and module_name not in only:
            continue
        missing = [peer for peer in peers if installed_version(peer) is None]
        if missing:
            rows.append(note_row(title, f"skipped: {', '.join(missing)} not installed"))
            continue
        print(f"running {module_name} ...", file=sys.stderr, flush=True)
        started = time.perf_counter()
        try:
            with contextlib.redirect_stdout(io.StringIO()):  # each benchmark prints its own table
                results = importlib.import_module(module_name).run()
        except Exception as error:  # one broken benchmark must not hide the others' results
            traceback.print_exc()
            rows.append(note_row(title, f"FAILED: {type(error).__name__}: {error}"))
            all_ran = False
            continue
        print(f"  {time.perf_counter() - started:.0f} s", file=sys.stderr)
        rows.extend(result_row(title, row) for row in results)
    return rows, all_ran


def memory_bytes():
    try:
        return os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    except (ValueError, OSError, AttributeError):
        return None


def cpu_model():
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as info:
            for line in info:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def context_lines(zp):
    memory = memory_bytes()
    usable = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    peers = ", ".join(f"{name} {installed_version(name)}" if installed_version(name)
                      else f"{name} not installed (its benchmarks skipped)" for name in PEERS)
    return [
        f"date: {datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC",
        f"zun_protocol {zp.__version__} from {zp.__file__}",
        f"Python {platform.python_version()} ({platform.python_implementation()}), {platform.platform()}",
        f"machine: {os.cpu_count()} cores ({usable} usable), "
        f"{'unknown' if memory is None else f'{memory / 2**30:.1f} GiB'} memory, {cpu_model()}",
        f"peers: {peers}",
    ]


def text_table(rows):
    widths = [max(len(str(cell)) for cell in column) for column in zip(COLUMNS, *rows)]
    right = {2, 3, 4}
    lines = []
    for cells in (COLUMNS, *rows):
        lines.append("  ".join(str(c).rjust(w) if i in right else str(c).ljust(w)
                               for i, (c, w) in enumerate(zip(cells, widths))).rstrip())
    lines.insert(1, "  ".join("-" * w for w in widths))
    return lines


def markdown_table(rows):
    def cell(text):
        return str(text).replace("|", "\\|")
    lines = ["| " + " | ".join(COLUMNS) + " |",
             "|" + "|".join("---:" if i in (2, 3, 4) else "---" for i in range(len(COLUMNS))) + "|"]
    lines += ["| " + " | ".join(cell(c) for c in row) + " |" for row in rows]
    return lines


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--markdown", action="store_true", help="print the table as Markdown")
    parser.add_argument("--only", action="append", choices=[b[0] for b in BENCHMARKS],
                        help="run only this benchmark module")
    args = parser.parse_args(argv)

    import zun_protocol as zp

    rows, all_ran = run_benchmarks(args.only)
    context = context_lines(zp)
    if args.markdown:
        print("\n".join(["Ratios are ours / peer: lower is better.", ""] + [f"- {line}" for line in context]
                        + [""] + markdown_table(rows)))
    else:
        print("\n".join(context + ["", "ours / peer, lower is better", ""] + text_table(rows)))
    return 0 if all_ran else 1


if __name__ == "__main__":
    sys.exit(main())
