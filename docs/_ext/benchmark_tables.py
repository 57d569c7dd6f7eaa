"""Sphinx extension: the benchmark tables, rendered from the JSON of `make bench`.

``benchmark-results`` reads the file named by the ``benchmark_results``
setting (docs/benchmarks.json, written by ``benchmarks/run.py --json``) when the
documentation is built and turns it into the performance page's tables, so
no figure on that page is ever typed by hand.

Options: ``:part: run`` (when and where it ran), ``:part: main`` (the table
of scenarios against their contenders), ``:part: notes`` (the scenario
descriptions and the lines below the table), ``:part: sections`` (the
scenarios with reports of their own, as printed).
"""

import json
from pathlib import Path

from docutils import nodes
from docutils.parsers.rst import directives
from sphinx.errors import ExtensionError
from sphinx.util.docutils import SphinxDirective

MISSING = "-"
PARTS = ("run", "main", "notes", "sections")
SECTION_TITLES = {
    "newest": "find's newest test",
    "reads": "Table reads",
    "frames": "DataFrames in and out",
    "command_line": "The command line",
}


def _milliseconds(seconds):
    if seconds is None:
        return MISSING
    return f"{seconds['median'] * 1e3:.1f} [{seconds['min'] * 1e3:.1f}-{seconds['max'] * 1e3:.1f}]"


def _ratio(value):
    return MISSING if value is None else f"{value:.2f}"


def _statements(value):
    return MISSING if value is None else f"{value:,}"


def table(header, rows):
    """A docutils table with a header row; every cell is text."""
    group = nodes.tgroup(cols=len(header))
    group += [nodes.colspec(colwidth=1) for _ in header]
    group += nodes.thead("", _row(header))
    group += nodes.tbody("", *(_row(row) for row in rows))
    return nodes.table("", group, classes=["benchmark-table"])


def _row(cells):
    return nodes.row("", *(nodes.entry("", nodes.paragraph(text=cell)) for cell in cells))


def main_table(results):
    contenders, ratios = results["contenders"], results["ratios"]
    header = ["scenario", "phase", "statements", *(f"{c} ms" for c in contenders), *ratios]
    rows = [
        [
            m["scenario"],
            m["phase"],
            _statements(m["statements"]),
            *(_milliseconds(m["seconds"].get(c)) for c in contenders),
            *(_ratio(m["ratios"].get(r)) for r in ratios),
        ]
        for m in results["measurements"]
    ]
    caption = f"median of {results['runs']} runs [min-max] in milliseconds; ratios of medians from the same run"
    return [nodes.paragraph(text=caption), table(header, rows)]


def run_facts(results):
    machine = results["machine"]
    size = "small sizes (--quick)" if results["quick"] else "full sizes"
    chosen = results["scenarios"]
    which = "every scenario" if chosen is None else "the scenarios " + ", ".join(chosen)
    text = (
        f"Measured {results['written']} at {size}, {which}, {results['runs']} runs each; "
        f"Python {machine['python']}, SQLite {machine['sqlite']}, {machine['system']}, "
        f"{machine['cpus']} CPUs."
    )
    return [nodes.paragraph(text=text)]


def notes(results):
    lines = results["descriptions"] + results["notes"]
    return [nodes.bullet_list("", *(nodes.list_item("", nodes.paragraph(text=line)) for line in lines))]


def sections(results):
    made = []
    for section in results["sections"]:
        title = SECTION_TITLES.get(section["key"], section["key"])
        made.append(nodes.rubric(text=title))
        text = "\n".join(section["lines"])
        made.append(nodes.literal_block(text, text, classes=["benchmark-report"]))
    return made


class BenchmarkResults(SphinxDirective):
    option_spec = {"part": lambda value: directives.choice(value, PARTS)}

    def run(self):
        path = Path(self.env.srcdir) / self.config.benchmark_results
        self.env.note_dependency(str(path))
        try:
            results = json.loads(path.read_text(encoding="utf-8"))
        except (OSError, ValueError) as exc:
            raise ExtensionError(f"cannot read the benchmark results {path}: {exc}") from exc
        part = self.options.get("part", "main")
        if part == "run":
            return run_facts(results)
        if part == "notes":
            return notes(results)
        if part == "sections":
            return sections(results)
        return main_table(results)


def setup(app):
    app.add_config_value("benchmark_results", "benchmarks.json", "env")
    app.add_directive("benchmark-results", BenchmarkResults)
    return {"parallel_read_safe": True, "version": "1"}
