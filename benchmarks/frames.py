"""Frames in and out: a price-feed DataFrame staged, and the current rows read
back as a DataFrame, against what a user would otherwise do.

- stage(df) against stage() of the same rows as ready tuples (building the
  tuples is not timed): what taking a frame costs on top of staging;
- stage(df) against pandas' own df.to_sql(..., if_exists="append",
  index=False) into a plain table of the same columns on the same kind of
  connection;
- to_pandas() of the current rows against pandas.read_sql of the main table.

Every timed call starts from a fresh copy of a template database.
"""

import itertools
import sqlite3
import statistics
import time
from pathlib import Path

from benchmarks.harness import Workspace, flush
from benchmarks.scenarios import (
    PRICE_FEED_COLUMNS,
    PRICE_FEED_INDEXES,
    PRICE_FEED_RULES,
    PRICE_FEED_TABLE,
    price_feed_main,
)

FULL_ROWS = 1_000_000
QUICK_ROWS = 20_000
PLAIN_TABLE = "plain_feed"
SEED = 20240613

_names = itertools.count()


def _table(conn, norvane):
    from norvane import Index, Table, Unique

    return Table(conn, PRICE_FEED_TABLE).create(
        list(PRICE_FEED_COLUMNS),
        indexes=[Index(name, list(cols)) for name, cols in PRICE_FEED_INDEXES.items()],
        unique=[Unique(name, list(cols)) for name, cols in PRICE_FEED_RULES.items()],
        replace=True,
    )


def _template(path, norvane, rows=None):
    """A database with the feed table (and a plain table of its columns); with
    rows, those merged into the main table."""
    norvane.DB(f"frames_bench_{next(_names)}", str(path))
    conn = sqlite3.connect(path)
    try:
        table = _table(conn, norvane)
        conn.execute(f"CREATE TABLE {PLAIN_TABLE} ({', '.join(PRICE_FEED_COLUMNS)})")
        conn.commit()
        if rows is not None:
            table.stage(rows)
            table.merge()
    finally:
        conn.close()
    flush(path)
    return path


def _medians(workspace, contenders, runs):
    """Median seconds of each (template, call), in rotating order within every
    run, so that a slow spell of the machine falls on all of them alike."""
    import gc

    times = {label: [] for label in contenders}
    labels = list(contenders)
    for run in range(runs):
        shift = run % len(labels)
        for label in labels[shift:] + labels[:shift]:
            template, call = contenders[label]
            with workspace.connection(template) as conn:
                gc.collect()
                started = time.perf_counter()
                call(conn)
                times[label].append(time.perf_counter() - started)
    return {label: statistics.median(seconds) for label, seconds in times.items()}


def _line(label, seconds, contender, other, target):
    ratio = seconds / other
    verdict = "met" if ratio <= target else "MISSED"
    return f"  {label}: {seconds:.3f} s vs {contender} {other:.3f} s = {ratio:.2f}x (target <= {target}x: {verdict})"


def run(norvane, quick, runs, workdir, progress):
    try:
        import pandas as pd
    except ImportError:
        return ["frames: pandas is not installed (pip install norvane[pandas]); skipped"]
    from norvane import Table

    count = QUICK_ROWS if quick else FULL_ROWS
    workdir = Path(workdir)
    workspace = Workspace(workdir)
    progress(f"frames: building a {count:,}-row price feed")
    rows = list(price_feed_main(count, seed=SEED))
    frame = pd.DataFrame(rows, columns=list(PRICE_FEED_COLUMNS))
    empty = _template(workdir / "frames-empty.db", norvane)
    progress(f"frames: merging {count:,} rows into a template")
    full = _template(workdir / "frames-full.db", norvane, rows)

    progress(f"frames: timing {runs} runs")
    columns = ", ".join(PRICE_FEED_COLUMNS)
    took = _medians(
        workspace,
        {
            "stage(df)": (empty, lambda c: Table(c, PRICE_FEED_TABLE).stage(frame)),
            "stage(tuples)": (empty, lambda c: Table(c, PRICE_FEED_TABLE).stage(rows)),
            "to_sql": (empty, lambda c: frame.to_sql(PLAIN_TABLE, c, if_exists="append", index=False)),
            "to_pandas": (full, lambda c: Table(c, PRICE_FEED_TABLE).to_pandas()),
            "read_sql": (full, lambda c: pd.read_sql(f"SELECT {columns} FROM {PRICE_FEED_TABLE}", c)),
        },
        runs,
    )
    for leftover in (empty, full):
        leftover.unlink()
    return [
        f"frames: a {count:,}-row price feed (int, int, str, float), median of {runs} runs",
        _line("stage(df)", took["stage(df)"], "stage(tuples)", took["stage(tuples)"], 1.3),
        _line("stage(df)", took["stage(df)"], "df.to_sql", took["to_sql"], 1.0),
        _line("to_pandas()", took["to_pandas"], "pandas.read_sql", took["read_sql"], 1.5),
    ]
