"""Every benchmark of bench/ in one process, as one table of ratios (ours / peer, lower is better).

    python bench/run.py              plain-text table
    python bench/run.py --markdown   the same as Markdown
    python bench/run.py --only bench_merkle   one benchmark module (the option repeats)
    python bench/run.py --json results.json   also writes the rows and the machine as JSON,
                                              which the documentation's performance charts plot

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
import json
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


def measured(title, row):
    """A benchmark's row (case, ours, peer, peer name, target), with "bytes" after it when the two
    values are sizes in bytes instead of seconds, as the record the JSON results hold."""
    case, ours, peer, peer_name, target = row[:5]
    return {"benchmark": title, "case": case, "unit": "bytes" if row[5:] == ("bytes",) else "s",
            "ours": ours, "peer": peer, "ratio": ours / peer, "target": target, "peer_is": peer_name}


def result_row(result):
    """The table's cells of one result: a measurement, or a benchmark that was skipped or failed."""
    if "note" in result:
        return (result["benchmark"], result["note"], "", "", "", "", "", "")
    shown = size if result["unit"] == "bytes" else duration
    target = result["target"]
    met = "-" if target is None else ("yes" if result["ratio"] <= target else "NO")
    return (result["benchmark"], result["case"], shown(result["ours"]), shown(result["peer"]),
            f"{result['ratio']:.3f}", "-" if target is None else f"<= {target:g}", met, result["peer_is"])


def run_benchmarks(only=None):
    """The results, in table order, and whether every benchmark that could run did."""
    results, all_ran = [], True
    for module_name, title, peers in BENCHMARKS:
        if only and module_name not in only:
            continue
        missing = [peer for peer in peers if installed_version(peer) is None]
        if missing:
            results.append({"benchmark": title, "note": f"skipped: {', '.join(missing)} not installed"})
            continue
        print(f"running {module_name} ...", file=sys.stderr, flush=True)
        started = time.perf_counter()
        try:
            with contextlib.redirect_stdout(io.StringIO()):  # each benchmark prints its own table
                rows = importlib.import_module(module_name).run()
        except Exception as error:  # one broken benchmark must not hide the others' results
            traceback.print_exc()
            results.append({"benchmark": title, "note": f"FAILED: {type(error).__name__}: {error}"})
            all_ran = False
            continue
        print(f"  {time.perf_counter() - started:.0f} s", file=sys.stderr)
        results.extend(measured(title, row) for row in rows)
    return results, all_ran


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


def load_average():
    """The 1-minute load average: on a shared machine, how much other work ran beside the benchmarks."""
    try:
        return round(os.getloadavg()[0], 2)
    except (OSError, AttributeError):
        return None


def context(zp, load_before):
    """Where and when the results were measured."""
    memory = memory_bytes()
    usable = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    return {
        "date": f"{datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC",
        "zun_protocol": {"version": zp.__version__, "file": zp.__file__},
        "python": {"version": platform.python_version(), "implementation": platform.python_implementation()},
        "platform": platform.platform(),
        "machine": {"cores": os.cpu_count(), "usable_cores": usable,
                    "memory_gib": None if memory is None else round(memory / 2**30, 1), "cpu": cpu_model(),
                    "load_average": {"before": load_before, "after": load_average()}},
        "peers": {name: installed_version(name) for name in PEERS},
    }


def load_text(load):
    if not load or load["before"] is None:
        return ""
    return f"; load average {load['before']:g} before the run, {load['after']:g} after"


def context_lines(about):
    machine = about["machine"]
    memory = "unknown" if machine["memory_gib"] is None else f"{machine['memory_gib']:.1f} GiB"
    peers = ", ".join(f"{name} {version}" if version else f"{name} not installed (its benchmarks skipped)"
                      for name, version in about["peers"].items())
    return [
        f"date: {about['date']}",
        f"zun_protocol {about['zun_protocol']['version']} from {about['zun_protocol']['file']}",
        f"Python {about['python']['version']} ({about['python']['implementation']}), {about['platform']}",
        f"machine: {machine['cores']} cores ({machine['usable_cores']} usable), {memory} memory, {machine['cpu']}"
        + load_text(machine.get("load_average")),
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
    parser.add_argument("--json", metavar="FILE", type=pathlib.Path,
                        help="also write the results and where they were measured to FILE, as JSON")
    args = parser.parse_args(argv)

    import zun_protocol as zp

    load_before = load_average()
    results, all_ran = run_benchmarks(args.only)
    about = context(zp, load_before)
    if args.json is not None:
        args.json.write_text(json.dumps({**about, "results": results}, indent=1, ensure_ascii=False) + "\n",
                             encoding="utf-8")
    rows = [result_row(result) for result in results]
    lines = context_lines(about)
    if args.markdown:
        print("\n".join(["Ratios are ours / peer: lower is better.", ""] + [f"- {line}" for line in lines]
                        + [""] + markdown_table(rows)))
    else:
        print("\n".join(lines + ["", "ours / peer, lower is better", ""] + text_table(rows)))
    return 0 if all_ran else 1


if __name__ == "__main__":
    sys.exit(main())
