"""The performance charts and table, drawn at build time from the results that
`python bench/run.py --json bench/results.json` wrote: one horizontal bar per row, the ratio of our
time to the peer's on a logarithmic axis (below 1 we are faster), the row's target as a tick.

    ```{zun-bench-chart} MerkleTree
    ```
    ```{zun-bench-chart} headline
    ```
    ```{zun-bench-charts}
    ```
    ```{zun-bench-table}
    ```
    ```{zun-bench-about}
    ```
"""
from __future__ import annotations

import importlib.util
import json
import pathlib
import textwrap

from docutils import nodes
from sphinx.util import logging
from sphinx.util.docutils import SphinxDirective

logger = logging.getLogger(__name__)
RESULTS = pathlib.Path(__file__).resolve().parents[2] / "bench" / "results.json"
CHART_DIR = "_generated"  # under the source directory, left out of the pages (conf.py)

# The table's cells are bench/run.py's own, so that the page shows what the command prints.
_spec = importlib.util.spec_from_file_location("zun_bench_run", RESULTS.parent / "run.py")
bench_run = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(bench_run)

COLOURS = {"met": "#2e7d32", "missed": "#c62828", "none": "#78909c"}


def load(env) -> dict:
    env.note_dependency(str(RESULTS))
    return json.loads(RESULTS.read_text(encoding="utf-8"))


def measured(results: dict) -> list[dict]:
    return [row for row in results["results"] if "note" not in row]


def headline(rows: list[dict]) -> list[dict]:
    """Each benchmark's first row that has a target: the case the benchmark was written for."""
    chosen, seen = [], set()
    for row in rows:
        if row["target"] is not None and row["benchmark"] not in seen:
            seen.add(row["benchmark"])
            chosen.append(row)
    return chosen


def benchmarks(rows: list[dict]) -> list[str]:
    """The benchmarks that have measured rows, in bench/run.py's order (any it no longer runs last),
    so that a results file with a benchmark more gets its chart without a change to the page."""
    order = [title for _, title, _ in bench_run.BENCHMARKS]
    present = list(dict.fromkeys(row["benchmark"] for row in rows))
    return [t for t in order if t in present] + [t for t in present if t not in order]


def absent(rows: list[dict]) -> list[str]:
    """The benchmarks of bench/run.py that the results file has no measured row of."""
    present = {row["benchmark"] for row in rows}
    return [f"{title} ({module})" for module, title, _ in bench_run.BENCHMARKS if title not in present]


def state(row: dict) -> str:
    if row["target"] is None:
        return "none"
    return "met" if row["ratio"] <= row["target"] else "missed"


def draw(rows: list[dict], title: str, path: pathlib.Path, label) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import matplotlib.ticker

    matplotlib.rcParams["svg.hashsalt"] = "zun_protocol"  # the same chart gives the same file
    labels = ["\n".join(textwrap.wrap(label(row), 38)) for row in rows]
    lines = sum(text.count("\n") + 1 for text in labels)
    height = 1.1 + 0.2 * lines + 0.16 * len(rows)
    figure, axes = plt.subplots(figsize=(8.0, height), layout="constrained")
    positions = range(len(rows))[::-1]
    ratios = [row["ratio"] for row in rows]
    axes.barh(list(positions), ratios, color=[COLOURS[state(row)] for row in rows], height=0.62)
    for y, row in zip(positions, rows):
        if row["target"] is not None:
            axes.plot([row["target"]] * 2, [y - 0.4, y + 0.4], color="black", linewidth=1.6)
        axes.annotate(f"{row['ratio']:.2f}", (row["ratio"], y), xytext=(4, 0), textcoords="offset points",
                      va="center", fontsize=9)
    axes.set_yticks(list(positions), labels, fontsize=9)
    axes.set_xscale("log")
    low = min(min(ratios), *(r["target"] for r in rows if r["target"]), 1.0)
    high = max(max(ratios), *(r["target"] for r in rows if r["target"]), 1.0)
    axes.set_xlim(low / 1.6, high * 2.2)
    ticks = [t for t in (0.01, 0.02, 0.05, 0.1, 0.25, 0.5, 1, 2, 4, 8, 16) if low / 1.6 <= t <= high * 2.2]
    axes.set_xticks(ticks, [f"{t:g}" for t in ticks])
    axes.xaxis.set_minor_locator(matplotlib.ticker.NullLocator())
    axes.axvline(1.0, color="#37474f", linestyle="--", linewidth=0.9)
    axes.set_xlabel("our time / the peer's (log scale): below 1, faster than the peer; black tick: the target",
                    fontsize=8.5)
    axes.set_title(title, fontsize=11, loc="left")
    axes.tick_params(axis="x", labelsize=9)
    axes.grid(axis="x", color="#eceff1", linewidth=0.6)
    axes.set_axisbelow(True)
    figure.savefig(path, format="svg", metadata={"Date": None})
    plt.close(figure)


def chart(directive: SphinxDirective, which: str, chosen: list[dict], title: str, label) -> nodes.image:
    slug = "".join(c if c.isalnum() else "-" for c in which.lower()).strip("-")
    directory = pathlib.Path(directive.env.srcdir) / CHART_DIR
    directory.mkdir(exist_ok=True)
    draw(chosen, title, directory / f"bench-{slug}.svg", label)
    return nodes.image(uri=f"/{CHART_DIR}/bench-{slug}.svg",
                       alt=f"bar chart of the ratios of {which} against its peers", classes=["zun-chart"])


def case_label(row):
    return f"{row['case']} vs {row['peer_is']}"


class ChartDirective(SphinxDirective):
    """An image of one benchmark's rows, or with `headline`, of each benchmark's first targeted row."""
    required_arguments = 1
    final_argument_whitespace = True

    def run(self):
        which = self.arguments[0]
        rows = measured(load(self.env))
        if which == "headline":
            chosen = headline(rows)
            def label(row):
                return f"{row['benchmark']}: {row['case']}"
            title = "Each benchmark's main case"
        else:
            chosen = [row for row in rows if row["benchmark"] == which]
            label, title = case_label, which
        if not chosen:
            logger.warning("zun-bench-chart: no measured rows for %r in %s", which, RESULTS,
                           location=self.get_location())
            return []
        return [chart(self, which, chosen, title, label)]


class ChartsDirective(SphinxDirective):
    """One chart per benchmark that the results file measured, in bench/run.py's order."""

    def run(self):
        rows = measured(load(self.env))
        return [chart(self, which, [row for row in rows if row["benchmark"] == which], which, case_label)
                for which in benchmarks(rows)]


class TableDirective(SphinxDirective):
    """Every row of the results, with the absolute times, as bench/run.py prints them."""

    def run(self):
        results = load(self.env)
        columns = bench_run.COLUMNS
        table = nodes.table(classes=["zun-bench-table"])
        group = nodes.tgroup(cols=len(columns))
        table += group
        for _ in columns:
            group += nodes.colspec(colwidth=1)
        head = nodes.thead()
        group += head
        head += self.row(columns)
        body = nodes.tbody()
        group += body
        for row in results["results"]:
            body += self.row(bench_run.result_row(row))
        return [table]

    @staticmethod
    def row(cells) -> nodes.row:
        row = nodes.row()
        for cell in cells:
            entry = nodes.entry()
            entry += nodes.paragraph(text=str(cell))
            row += entry
        return row


class AboutDirective(SphinxDirective):
    """Where and when the results were measured."""

    def run(self):
        results = load(self.env)
        machine = results["machine"]
        peers = ", ".join(f"{name} {version}" if version else f"{name} (not installed)"
                          for name, version in results["peers"].items())
        items = [
            f"measured {results['date']}",
            f"machine: {machine['cores']} cores ({machine['usable_cores']} usable), "
            f"{machine['memory_gib']} GiB memory, {machine['cpu']}" + bench_run.load_text(machine.get("load_average")),
            f"Python {results['python']['version']} ({results['python']['implementation']}), {results['platform']}",
            f"zun_protocol {results['zun_protocol']['version']}",
            f"peers: {peers}",
        ]
        missing = absent(measured(results))
        if missing:
            items.append("not in this file, as it was written before they were added or without their "
                         f"peers: {', '.join(missing)}; regenerate it to chart them")
        listing = nodes.bullet_list()
        for item in items:
            listing += nodes.list_item("", nodes.paragraph(text=item))
        return [listing]


def setup(app):
    app.add_directive("zun-bench-chart", ChartDirective)
    app.add_directive("zun-bench-charts", ChartsDirective)
    app.add_directive("zun-bench-table", TableDirective)
    app.add_directive("zun-bench-about", AboutDirective)
    return {"version": "1", "parallel_read_safe": True, "parallel_write_safe": True}
