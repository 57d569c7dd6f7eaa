"""The same work on a local 3-node dqlite cluster and on a local file.

Stage 10,000 rows with duplicate keys, find 10% of them, merge, find 10% of
the main table. Every statement on the cluster is a round trip to the leader
(and every commit a Raft round), so the table gives the statements each phase
issued and what one costs on either side: the figures that tell what the
statement-by-statement newest test of `find` costs over a cluster.
"""

import random
import sqlite3
import statistics
import tempfile
import time
from pathlib import Path

from benchmarks.scenarios import COLUMNS, MERGE_SCHEMA, SCORE_RANGE, SELECTIVE, TABLE

SIZE = 10_000
QUICK_LINE = "cluster: skipped (--quick); `make bench` runs it on a local 3-node dqlite cluster"


def staged_rows(count, rng):
    """Rows with duplicate keys: about one in five shares its code, a few their (name, place)."""
    return [
        (rng.randrange(2 * count), f"name{rng.randrange(count)}", rng.randrange(4), rng.randrange(SCORE_RANGE))
        for _ in range(count)
    ]


class Counting:
    """A cluster connection that counts the statements sent through it, COMMIT included."""

    def __init__(self, conn):
        self._conn = conn
        self.statements = 0

    @property
    def conn(self):
        return self

    def __getattr__(self, name):
        return getattr(self._conn, name)

    def cursor(self):
        return _CountingCursor(self._conn.cursor(), self)

    def commit(self):
        self.statements += bool(self._conn.in_transaction)
        return self._conn.commit()


class Traced:
    """A local connection, counted by SQLite's trace callback: a wrapper would
    hide the host connection that find's one-pass newest test needs."""

    def __init__(self, conn):
        self.conn = conn
        self.statements = 0
        conn.set_trace_callback(self._count)

    def _count(self, _):
        self.statements += 1


class _CountingCursor:
    def __init__(self, cursor, owner):
        self._cursor, self._owner = cursor, owner

    def execute(self, *args):
        self._owner.statements += 1
        return self._cursor.execute(*args)

    def fetchall(self):
        return self._cursor.fetchall()


def phases(nv, rows):
    return [
        ("insert_temp", lambda conn: nv.insert_temp(conn, TABLE, rows)),
        ("find 10% (staged)", lambda conn: nv.find(conn, "*", TABLE, SELECTIVE)),
        ("temp_to_main", lambda conn: nv.temp_to_main(conn, TABLE)),
        ("find 10% (main)", lambda conn: nv.find(conn, "*", TABLE, SELECTIVE)),
    ]


def create(nv, conn):
    from norvane.catalog import prepare_catalog

    prepare_catalog(conn)
    nv.create_table(
        conn,
        TABLE,
        COLUMNS,
        [{"name": name, "cols": cols} for name, cols in MERGE_SCHEMA.indexes.items()],
        [{"name": name, "cols": positions} for name, positions in MERGE_SCHEMA.rules.items()],
    )


def run_once(nv, conn, rows, counter):
    """(phase, seconds, statements) per phase, and what came out.

    `counter(conn)` gives an object with `.conn` to call with and a count of
    `.statements`, or None to time `conn` itself (and count nothing).
    """
    create(nv, conn)
    results = []
    outcome = []
    for phase, call in phases(nv, rows):
        counted = counter(conn) if counter else None
        start = time.perf_counter()
        result = call(counted.conn if counted else conn)
        results.append((phase, time.perf_counter() - start, counted.statements if counted else None))
        outcome.append(result)
    outcome.append(conn.cursor().execute(f"SELECT rowid, * FROM {TABLE} ORDER BY rowid").fetchall())
    return results, [[list(r) for r in part] if part else part for part in outcome]


def table(cluster_runs, local_runs, local_counts, runs):
    header = ["phase", "statements", "cluster ms", "file ms", "cluster/file", "cluster ms/stmt", "file ms/stmt"]
    lines = [header]
    totals = [0.0, 0.0]
    for i, (phase, _, statements) in enumerate(cluster_runs[0]):
        remote = statistics.median(run[i][1] for run in cluster_runs)
        local = statistics.median(run[i][1] for run in local_runs)
        local_statements = local_counts[i][2]
        totals[0] += remote
        totals[1] += local
        lines.append([
            phase,
            f"{statements:,}" if statements == local_statements else f"{statements:,} / {local_statements:,}",
            f"{remote * 1e3:.0f}",
            f"{local * 1e3:.1f}",
            f"{remote / local:.0f}x",
            f"{remote * 1e3 / statements:.2f}",
            f"{local * 1e3 / local_statements:.3f}",
        ])
    lines.append(["total", "", f"{totals[0] * 1e3:.0f}", f"{totals[1] * 1e3:.1f}", f"{totals[0] / totals[1]:.0f}x", "", ""])
    widths = [max(len(row[c]) for row in lines) for c in range(len(header))]
    text = [
        "  ".join(cell.ljust(w) if c == 0 else cell.rjust(w) for c, (cell, w) in enumerate(zip(row, widths)))
        for row in lines
    ]
    rule = "-" * len(text[0])
    title = (
        f"cluster: 3 dqlite nodes on 127.0.0.1 against a local file, {SIZE:,} staged rows with "
        f"duplicate keys (rules on [0] and [1,2]), median of {runs} run(s), milliseconds"
    )
    return [title, rule, text[0], rule, *text[1:], rule]


def lines(nv, quick, runs=1):
    """The cluster section of the report: a table, or the line that says why there is none."""
    if quick:
        return [QUICK_LINE]
    from norvane.cluster import LocalCluster, missing_programs

    reason = missing_programs()
    if reason is not None:
        return [f"cluster: skipped: {reason}"]
    rows = staged_rows(SIZE, random.Random(SIZE))
    cluster_runs, local_runs, outcomes = [], [], set()
    with tempfile.TemporaryDirectory(prefix="norvane-cluster-") as root:
        with LocalCluster(Path(root) / "nodes") as cluster:
            for run in range(runs):
                remote = cluster.connect(f"bench{run}")
                try:
                    timings, outcome = run_once(nv, remote, rows, Counting)
                finally:
                    remote.close()
                cluster_runs.append(timings)
                outcomes.add(repr(outcome))
        for run in range(runs + 1):  # the last one counts statements, untimed
            local = sqlite3.connect(Path(root) / f"local{run}.db")
            try:
                timings, outcome = run_once(nv, local, rows, Traced if run == runs else None)
            finally:
                local.close()
            local_runs.append(timings)
            outcomes.add(repr(outcome))
    local_counts = local_runs.pop()
    report = table(cluster_runs, local_runs, local_counts, runs)
    if len(outcomes) != 1:
        report.append("cluster: the cluster's results differ from the local file's")
    return report
