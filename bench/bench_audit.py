"""Throughput of examples/audit_archive.py: one process against Dask worker processes.

    python bench/bench_audit.py                  200,000 envelopes (about a minute)
    python bench/bench_audit.py --envelopes N

Not part of bench/run.py: it needs dask[distributed] and writes a 110 MB archive. Each run
audits the same archive; a cluster is started before its timing begins, and the time counts
sending the descriptors, the tasks and the results. Prints envelopes per second and the ratio
of two worker processes to one process without Dask (target: at least 1.7)."""
import argparse
import importlib.util
import pathlib
import tempfile
import time

EXAMPLE = pathlib.Path(__file__).resolve().parents[1] / "examples" / "audit_archive.py"
TARGET = 1.7


def load_example():
    spec = importlib.util.spec_from_file_location("audit_archive", EXAMPLE)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def timed(example, archive, descriptors, workers):
    """(seconds, result) of one audit: in this process when `workers` is 0, else on a new
    local cluster of that many worker processes, timed once every worker is up."""
    if workers == 0:
        started = time.perf_counter()
        result = example.audit(archive, descriptors)
        return time.perf_counter() - started, result
    from dask.distributed import Client
    with example.local_cluster(workers) as cluster, Client(cluster) as client:
        client.upload_file(str(EXAMPLE))  # the workers import the example by its name
        client.run(lambda: None)  # every worker is up
        started = time.perf_counter()
        result = example.audit(archive, descriptors, client)
        return time.perf_counter() - started, result


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--envelopes", type=int, default=200_000)
    parser.add_argument("--rounds", type=int, default=2, help="best of this many runs of each")
    args = parser.parse_args()
    example = load_example()
    with tempfile.TemporaryDirectory() as scratch:
        started = time.perf_counter()
        archive, descriptors_path = example.write_demo_archive(scratch, args.envelopes)
        print(f"wrote {args.envelopes:,} envelopes ({archive.stat().st_size / 2**20:.0f} MiB) "
              f"in {time.perf_counter() - started:.0f} s")
        descriptors = example.read_descriptors(descriptors_path)
        best, results = {}, {}
        for _ in range(args.rounds):
            for workers in (0, 1, 2):
                seconds, result = timed(example, archive, descriptors, workers)
                best[workers] = min(best.get(workers, seconds), seconds)
                results.setdefault(workers, result)
                assert result == results[0], f"{workers} workers found something else"
    names = {0: "one process, no Dask", 1: "Dask, 1 worker process", 2: "Dask, 2 worker processes"}
    for workers, seconds in best.items():
        print(f"{names[workers]:26} {seconds:6.2f} s  {args.envelopes / seconds:9,.0f} envelopes/s")
    ratio = best[0] / best[2]
    print(f"2 worker processes / one process: {ratio:.2f}x throughput (target >= {TARGET}: "
          f"{'met' if ratio >= TARGET else 'MISSED'}); / 1 worker process: {best[1] / best[2]:.2f}x")


if __name__ == "__main__":
    main()
