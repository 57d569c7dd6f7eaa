"""The benchmark results as JSON: what `make bench` leaves beside the documentation.

The documentation's performance page renders this file into tables when it is
built (docs/_ext/benchmark_tables.py), so its figures are always those of a
real run. The file holds the main table as numbers (seconds per contender,
ratios of medians) and the other scenarios' reports as the lines they print.
"""

import datetime as dt
import json
import os
import platform
import sqlite3

from benchmarks.report import CONTENDERS, RATIOS, burst_lines, memory_lines

FORMAT = 1


def _seconds(measurement, contender):
    median = measurement.median(contender)
    if median is None:
        return None
    low, high = measurement.span(contender)
    return {"median": median, "min": low, "max": high}


def _measurement(measurement):
    return {
        "scenario": measurement.scenario,
        "phase": measurement.phase,
        "statements": measurement.statements,
        "seconds": {c: s for c in CONTENDERS if (s := _seconds(measurement, c)) is not None},
        "ratios": {name: measurement.ratio(top, bottom) for name, top, bottom in RATIOS},
    }


def _machine():
    return {
        "python": platform.python_version(),
        "sqlite": sqlite3.sqlite_version,
        "system": platform.platform(terse=True),
        "cpus": os.cpu_count(),
    }


def document(report, runs, sizes, quick, scenarios):
    """The results of one run of benchmarks/run.py as a JSON-ready dict."""
    smallest = f"{min(sizes.burst_main):,}"
    return {
        "format": FORMAT,
        "written": dt.datetime.now(dt.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "quick": quick,
        "scenarios": scenarios,  # None: all of them
        "runs": runs,
        "machine": _machine(),
        "contenders": list(CONTENDERS),
        "ratios": [name for name, _, _ in RATIOS],
        "measurements": [_measurement(m) for m in report.measurements],
        "descriptions": list(report.descriptions),
        "notes": burst_lines(report.measurements, smallest) + memory_lines(report.memory) + report.notes,
        "sections": [{"key": key, "lines": list(lines)} for key, lines in report.own.items()],
    }


def write(path, results):
    """Write ``results`` to ``path`` through a temporary file, so a failed run leaves the old one."""
    temporary = f"{path}.tmp"
    with open(temporary, "w", encoding="utf-8") as out:
        json.dump(results, out, indent=1, ensure_ascii=False)
        out.write("\n")
    os.replace(temporary, path)
