"""The benchmark results travel from `make bench` to the performance page.

benchmarks/results_json.py writes what a run measured; the documentation's
extension (docs/_ext/benchmark_tables.py) renders it. Both sides are checked
here on a small made-up run, so that a change to one that the other does not
follow fails the tests, not only the next `make bench` and `make docs`.
"""

import json
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
sys.path[:0] = [str(ROOT), str(ROOT / "docs" / "_ext")]

benchmark_tables = pytest.importorskip("benchmark_tables", reason="the docs extra is not installed")
from benchmarks import results_json  # noqa: E402
from benchmarks.harness import NATIVE, NORVANE, REPLAY, Measurement  # noqa: E402
from benchmarks.run import Report  # noqa: E402
from benchmarks.scenarios import QUICK  # noqa: E402


def made_up_run():
    merge = Measurement("ingest", "temp_to_main", statements=7013)
    for seconds in (0.096, 0.068, 0.125):
        merge.add(NORVANE, seconds)
        merge.add(REPLAY, seconds * 2)
    merge.add(NATIVE, 0.085)
    report = Report(
        measurements=[merge],
        descriptions=["ingest: stage, then merge"],
        notes=["a note"],
        own={"reads": ["reads: a line", "  another"]},
    )
    return results_json.document(report, 3, QUICK, True, None)


def cell_texts(node):
    return [entry.astext() for entry in node.findall(lambda n: n.tagname == "entry")]


def test_a_run_survives_json_and_renders(tmp_path):
    path = tmp_path / "benchmarks.json"
    results_json.write(str(path), made_up_run())
    results = json.loads(path.read_text(encoding="utf-8"))

    assert results["quick"] is True and results["runs"] == 3
    (measurement,) = results["measurements"]
    assert measurement["seconds"][NORVANE] == {"median": 0.096, "min": 0.068, "max": 0.125}
    assert measurement["ratios"]["norvane/replay"] == pytest.approx(0.5)
    assert measurement["ratios"]["plain/norvane"] is None

    caption, table = benchmark_tables.main_table(results)
    cells = cell_texts(table)
    width = len(results["contenders"]) + len(results["ratios"]) + 3
    header, row = cells[:width], cells[width:]
    assert header[:4] == ["scenario", "phase", "statements", "norvane ms"]
    assert row[:4] == ["ingest", "temp_to_main", "7,013", "96.0 [68.0-125.0]"]
    assert row[header.index("norvane/replay")] == "0.50"
    assert row[header.index("plain ms")] == "-"
    assert "3 runs" in caption.astext()

    (notes,) = benchmark_tables.notes(results)
    assert [item.astext() for item in notes.children] == ["ingest: stage, then merge", "a note"]
    title, block = benchmark_tables.sections(results)
    assert title.astext() == "Table reads" and block.astext() == "reads: a line\n  another"
    assert "--quick" in benchmark_tables.run_facts(results)[0].astext()


def test_the_committed_results_render():
    """docs/benchmarks.json, as committed, is in the format the page reads."""
    results = json.loads((ROOT / "docs" / "benchmarks.json").read_text(encoding="utf-8"))
    assert results["format"] == results_json.FORMAT
    assert results["measurements"], "a run that measured nothing"
    caption, table = benchmark_tables.main_table(results)
    assert len(cell_texts(table)) == (len(results["measurements"]) + 1) * (
        3 + len(results["contenders"]) + len(results["ratios"])
    )
