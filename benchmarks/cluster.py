"""The same work on a local 3-node dqlite cluster and on a local file.

10,000 staged rows with duplicate keys merged into 100,000 main rows (rules on
code and on (name, place), an index on score): stage, find 10% (staged and
main together), merge, find 10% again. Every statement on the cluster is a
round trip to the leader (and every commit a Raft round), so the table gives
the requests each phase sent as well as its time, for

- norvane on the cluster (staging as JSON, the merge in sets);
- the contender: the same work written by hand as few statements (one
  json_each INSERT; BEGIN, one DELETE over the rule columns, one INSERT ...
  SELECT of the newest staged rows, DELETE of the staging rows, COMMIT; find
  as one UNION ALL SELECT of both tables' candidates and the newest test in
  Python over one UNION ALL scan of both tables' rule columns);
- norvane on the cluster one statement per row, as before staging as JSON and
  merging in sets (`_native.merge_path` / `staging_path`, "statements");
- norvane on a local file.

Requests are counted on the driver's own classes: a wrapper connection would
send norvane down its statement-by-statement paths.
"""

import json
import random
import sqlite3
import statistics
import tempfile
import time
from contextlib import contextmanager
from pathlib import Path

from benchmarks.scenarios import COLUMNS, MERGE_SCHEMA, SCORE_RANGE, SELECTIVE, TABLE

SIZE = 10_000
MAIN = 100_000
QUICK_LINE = "cluster: skipped (--quick); `make bench` runs it on a local 3-node dqlite cluster"
PHASES = ("insert_temp", "find 10% (staged)", "temp_to_main", "find 10% (main)")
NORVANE, CONTENDER, BEFORE, LOCAL = "norvane", "contender", "one per row", "file"


def main_rows(count, rng):
    return [(i, f"name{i}", i % 4, rng.randrange(SCORE_RANGE)) for i in range(count)]


def staged_rows(count, rng):
    """Half of them supersede a main row by code; duplicates among themselves by code and (name, place)."""
    return [
        (rng.randrange(2 * MAIN), f"name{rng.randrange(MAIN + count)}", rng.randrange(4), rng.randrange(SCORE_RANGE))
        for _ in range(count)
    ]


class Requests:
    """Statements and commits sent through the dqlite driver while counting."""

    def __init__(self):
        self.count = 0

    @contextmanager
    def counting(self):
        import dqlitedbapi

        execute, commit = dqlitedbapi.Cursor.execute, dqlitedbapi.Connection.commit

        def counted_execute(cursor, *args):
            self.count += 1
            return execute(cursor, *args)

        def counted_commit(conn):
            self.count += bool(conn.in_transaction)
            return commit(conn)

        dqlitedbapi.Cursor.execute, dqlitedbapi.Connection.commit = counted_execute, counted_commit
        try:
            yield self
        finally:
            dqlitedbapi.Cursor.execute, dqlitedbapi.Connection.commit = execute, commit


def create(nv, conn, main):
    from norvane.catalog import prepare_catalog

    prepare_catalog(conn)
    nv.create_table(
        conn,
        TABLE,
        COLUMNS,
        [{"name": name, "cols": cols} for name, cols in MERGE_SCHEMA.indexes.items()],
        [{"name": name, "cols": positions} for name, positions in MERGE_SCHEMA.rules.items()],
    )
    nv.insert_temp(conn, TABLE, main)
    nv.temp_to_main(conn, TABLE)


def norvane_phases(nv, rows):
    return [
        lambda conn: nv.insert_temp(conn, TABLE, rows),
        lambda conn: nv.find(conn, "*", TABLE, SELECTIVE),
        lambda conn: nv.temp_to_main(conn, TABLE),
        lambda conn: nv.find(conn, "*", TABLE, SELECTIVE),
    ]


def contender_phases(rows):
    code, name, place = (COLUMNS[p] for p in (0, 1, 2))
    staging = f"temp_{TABLE}"
    columns = ",".join(COLUMNS)

    def stage(conn):
        picks = ", ".join(f"value->>{k}" for k in range(len(COLUMNS)))
        conn.cursor().execute(f"INSERT INTO {staging} SELECT {picks} FROM json_each(?) ORDER BY key",
                              [json.dumps(rows)])
        if conn.in_transaction:
            conn.commit()

    def merge(conn):
        cur = conn.cursor()
        cur.execute("BEGIN IMMEDIATE")
        cur.execute(f"DELETE FROM {TABLE} WHERE {code} IN (SELECT {code} FROM {staging}) "
                    f"OR ({name}, {place}) IN (SELECT {name}, {place} FROM {staging})")
        cur.execute(f"INSERT INTO {TABLE} SELECT {columns} FROM (SELECT *, rowid AS r, "
                    f"max(rowid) OVER (PARTITION BY {code}) AS m0, "
                    f"max(rowid) OVER (PARTITION BY {name}, {place}) AS m1 FROM {staging}) "
                    f"WHERE r = m0 AND r = m1 ORDER BY r DESC")
        cur.execute(f"DELETE FROM {staging}")
        cur.execute("COMMIT")

    def find(conn):
        # The candidates of both tables in one statement, then the newest test
        # over one scan of both tables' rule columns: rows sharing a key of a
        # rule without NULLs are linked, and a candidate is newest when no row
        # linked to it, directly or through others, is later (staged after
        # main, then by rowid); a row equal to one returned already is not
        # returned again.
        cur = conn.cursor()
        rules = [[COLUMNS[p] for p in positions] for positions in MERGE_SCHEMA.rules.values()]
        order = list(dict.fromkeys(c for rule in rules for c in rule))
        keys = ", ".join(order)
        candidates = cur.execute(f"SELECT 1, rowid, * FROM {staging} {SELECTIVE} "
                                 f"UNION ALL SELECT 0, rowid, * FROM {TABLE} {SELECTIVE}").fetchall()
        scanned = cur.execute(f"SELECT 1, rowid, {keys} FROM {staging} "
                              f"UNION ALL SELECT 0, rowid, {keys} FROM {TABLE}").fetchall()
        if conn.in_transaction:
            conn.commit()
        parent = {}

        def root(row):
            while parent[row] != row:
                parent[row] = parent[parent[row]]
                row = parent[row]
            return row

        holders = [{} for _ in rules]
        picks = [[order.index(c) + 2 for c in rule] for rule in rules]
        for row in scanned:
            mine = parent[(row[0], row[1])] = (row[0], row[1])
            for r, at in enumerate(picks):
                key = tuple(row[i] for i in at)
                if None in key:
                    continue
                holder = holders[r].setdefault(key, mine)
                a, b = root(holder), root(mine)
                parent[min(a, b)] = max(a, b)  # the root is the component's newest row
        width = len(COLUMNS)
        answer, seen = [], set()
        for row in candidates:
            values = tuple(row[2:2 + width])
            if root((row[0], row[1])) == (row[0], row[1]) and values not in seen:
                seen.add(values)
                answer.append(values)
        return answer

    return [stage, find, merge, find]


def run_once(nv, conn, main, phases, requests=None):
    """(seconds, requests) per phase (None for a phase not run), the merged main table, and what each find returned."""
    create(nv, conn, main)
    results, answers = [], []
    for call in phases:
        if call is None:
            results.append(None)
            continue
        before = requests.count if requests else 0
        start = time.perf_counter()
        answer = call(conn)
        results.append((time.perf_counter() - start, requests.count - before if requests else None))
        if isinstance(answer, list):
            answers.append(sorted(map(tuple, answer), key=repr))
    merged = [tuple(r) for r in conn.cursor().execute(f"SELECT rowid, * FROM {TABLE} ORDER BY rowid").fetchall()]
    return results, merged, answers


@contextmanager
def forced_statements():
    from norvane import _native

    merge, staging = _native.merge_path("statements"), _native.staging_path("statements")
    try:
        yield
    finally:
        _native.merge_path(merge)
        _native.staging_path(staging)


def _median(runs, i):
    done = [run[i] for run in runs if run[i] is not None]
    if not done:
        return None, None
    return statistics.median(t for t, _ in done), done[0][1]


def table(results, runs):
    header = ["phase", "norvane ms", "requests", "contender ms", "requests", "norvane/contender",
              "one per row ms", "requests", "file ms"]
    lines = [header]
    for i, phase in enumerate(PHASES):
        ours, ours_req = _median(results[NORVANE], i)
        theirs, theirs_req = _median(results[CONTENDER], i)
        before, before_req = _median(results[BEFORE], i)
        local, _ = _median(results[LOCAL], i)
        lines.append([
            phase,
            f"{ours * 1e3:.0f}", f"{ours_req:,}",
            "-" if theirs is None else f"{theirs * 1e3:.0f}", "-" if theirs is None else f"{theirs_req:,}",
            "-" if theirs is None else f"{ours / theirs:.2f}",
            "-" if before is None else f"{before * 1e3:.0f}", "-" if before is None else f"{before_req:,}",
            f"{local * 1e3:.1f}",
        ])
    widths = [max(len(row[c]) for row in lines) for c in range(len(header))]
    text = [
        "  ".join(cell.ljust(w) if c == 0 else cell.rjust(w) for c, (cell, w) in enumerate(zip(row, widths)))
        for row in lines
    ]
    rule = "-" * len(text[0])
    title = (
        f"cluster: 3 dqlite nodes on 127.0.0.1, {SIZE:,} staged rows with duplicate keys into {MAIN:,} main "
        f"rows (rules on [0] and [1,2], an index on score), median of {runs} run(s), milliseconds; "
        f"'one per row' is norvane forced to stage and merge one statement per row"
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
    rng = random.Random(SIZE)
    main, rows = main_rows(MAIN, rng), staged_rows(SIZE, rng)
    results = {NORVANE: [], CONTENDER: [], BEFORE: [], LOCAL: []}
    merged, found = {}, {}
    requests = Requests()
    with tempfile.TemporaryDirectory(prefix="norvane-cluster-") as root:
        with LocalCluster(Path(root) / "nodes") as cluster:
            for run in range(runs):
                for name, phases in ((NORVANE, norvane_phases(nv, rows)), (CONTENDER, contender_phases(rows)),
                                     (BEFORE, norvane_phases(nv, rows)[:3:2])):
                    if name == BEFORE:
                        phases = [phases[0], None, phases[1], None]
                    remote = cluster.connect(f"bench{run}{name.replace(' ', '')}")
                    try:
                        with requests.counting(), (forced_statements() if name == BEFORE else _nothing()):
                            timings, merged[name], found[name] = run_once(nv, remote, main, phases, requests)
                    finally:
                        remote.close()
                    results[name].append(timings)
        for run in range(runs):
            local = sqlite3.connect(Path(root) / f"local{run}.db")
            try:
                timings, merged[LOCAL], found[LOCAL] = run_once(nv, local, main, norvane_phases(nv, rows))
            finally:
                local.close()
            results[LOCAL].append(timings)
    report = table(results, runs)
    if len({repr(m) for m in merged.values()}) != 1:
        differing = [name for name, m in merged.items() if m != merged[LOCAL]]
        report.append(f"cluster: the merged table of {', '.join(differing)} differs from the local file's")
    differing = [name for name in (NORVANE, CONTENDER) if found[name] != found[LOCAL]]
    if differing:
        report.append(f"cluster: what find returned with {', '.join(differing)} differs from the local file's")
    return report


@contextmanager
def _nothing():
    yield
