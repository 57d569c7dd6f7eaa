"""find's newest test at scale: norvane's find against the plain candidate reads and the walk.

Table (code, grp, sub, score, payload): main rows have code 0..N-1, staged rows a
random code below 2N; grp is random below N/3, sub below 3, score below 1,000;
rules [0] and [1,2]; plain indexes on score and on code. Contenders, in the
same run:

- find: norvane's find on the host's own connection;
- plain: find's two candidate statements alone, with fetchall;
- walk: norvane's find through a thin wrapper connection, which gets the
  statement-by-statement newest walk (what find did before; too slow to time
  without a condition, so it is timed for the selective cases only).

Nothing here asserts anything; the targets are printed beside the figures.
"""

import gc
import random
import sqlite3
import statistics
import time
import tracemalloc
from dataclasses import dataclass
from pathlib import Path

from benchmarks import plain
from benchmarks.scenarios import CHAIN_SCHEMA, SCORE_RANGE, chain_rows

TABLE = "scored"
COLUMNS = ["code", "grp", "sub", "score", "payload"]
SELECT = "rowid," + ",".join(COLUMNS)
NO_CONDITION = ""
SELECTIVE = "WHERE score < 100"
NARROW = "WHERE code >= 5000 AND code < 5010"


@dataclass(frozen=True)
class Sizes:
    main: int
    staged: int
    chains: int
    chain_length: int


FULL = (Sizes(100_000, 10_000, 100, 40), Sizes(200_000, 20_000, 100, 40))
QUICK = (Sizes(4_000, 400, 20, 10), Sizes(8_000, 800, 20, 10))


class Wrapped:
    """A connection that is not the host's own type: find walks statement by statement."""

    def __init__(self, conn):
        self._conn = conn

    def cursor(self):
        return self._conn.cursor()

    def commit(self):
        self._conn.commit()


def scored_rows(count, code_range, rng, tag):
    return [
        (code, rng.randrange(max(1, count // 3)), rng.randrange(3), rng.randrange(SCORE_RANGE), f"{tag}{i}")
        for i, code in enumerate(
            range(count) if code_range is None else (rng.randrange(code_range) for _ in range(count))
        )
    ]


def build_scored(path, sizes, seed):
    rng = random.Random(seed)
    plain.prepare(str(path))
    conn = sqlite3.connect(path)
    plain.create_table(
        conn,
        TABLE,
        COLUMNS,
        [{"name": "score", "cols": "score"}, {"name": "code", "cols": "code"}],
        [{"name": "unique_0", "cols": [0]}, {"name": "unique_1", "cols": [1, 2]}],
    )
    marks = ",".join("?" * len(COLUMNS))
    conn.executemany(f"INSERT INTO {TABLE} VALUES ({marks})", scored_rows(sizes.main, None, rng, "m"))
    conn.executemany(f"INSERT INTO temp_{TABLE} VALUES ({marks})", scored_rows(sizes.staged, 2 * sizes.main, rng, "s"))
    conn.commit()
    conn.execute("VACUUM")
    conn.close()


def build_chains(path, sizes, seed):
    rng = random.Random(seed)
    plain.prepare(str(path))
    conn = sqlite3.connect(path)
    CHAIN_SCHEMA.create(conn)
    main, staged = chain_rows(sizes.chains, sizes.chain_length, rng)
    conn.executemany("INSERT INTO homes VALUES (?,?,?,?)", main)
    conn.executemany("INSERT INTO temp_homes VALUES (?,?,?,?)", staged)
    conn.commit()
    conn.close()


def candidates(table, conditions):
    def read(conn):
        return (
            conn.execute(f"SELECT {SELECT} FROM temp_{table} {conditions}").fetchall(),
            conn.execute(f"SELECT {SELECT} FROM {table} {conditions}").fetchall(),
        )

    return read


def seconds(call, runs):
    times = []
    result = None
    for _ in range(runs):
        gc.collect()
        start = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - start)
    return statistics.median(times), result


@dataclass
class Row:
    case: str
    rows: int
    find: float
    plain: float | None = None
    walk: float | None = None
    target: str = ""
    same: bool | None = None


def time_case(conn, lib, label, table, conditions, runs, walk_runs, sizes, target):
    rows = sizes.main + sizes.staged
    find_s, found = seconds(lambda: lib.find(conn, "*", table, conditions), runs)
    row = Row(label, rows, find_s, target=target)
    if table == TABLE:
        row.plain, _ = seconds(lambda: candidates(table, conditions)(conn), runs)
    if walk_runs:
        row.walk, walked = seconds(lambda: lib.find(Wrapped(conn), "*", table, conditions), walk_runs)
        row.same = walked == found
    return row


def traced_peak(call):
    gc.collect()
    tracemalloc.start()
    try:
        call()
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


def extra_memory(conn, lib, sizes):
    """Peak bytes per row of both tables that find holds beyond what the walk holds too.

    The walk's own share is measured with a stand-in for the newest test that
    gives find's answers from a table made beforehand: the same candidates,
    duplicate-test key sets and returned lists, nothing else.
    """
    found = lib.find(conn, "*", TABLE, NO_CONDITION)
    kept = {row[-1] for row in found}
    answers = {}
    for source, name in ((1, f"temp_{TABLE}"), (0, TABLE)):
        for rowid, payload in conn.execute(f"SELECT rowid, payload FROM {name}"):
            answers[(source, rowid)] = payload in kept
    del found, kept
    fast = traced_peak(lambda: lib.find(conn, "*", TABLE, NO_CONDITION))
    own = lib._check_newest_unique
    lib._check_newest_unique = lambda **kw: (answers[kw["rowid"]], None)
    try:
        walk_share = traced_peak(lambda: lib.find(conn, "*", TABLE, NO_CONDITION))
    finally:
        lib._check_newest_unique = own
    return (fast - walk_share) / (sizes.main + sizes.staged)


def run(lib, quick, runs, workdir, progress):
    small, large = QUICK if quick else FULL
    workdir = Path(workdir)
    lines = []
    results = []
    for sizes, label in ((small, "1x"), (large, "2x")):
        path = workdir / f"scored-{label}.db"
        progress(f"newest: building {sizes.main:,} + {sizes.staged:,} rows")
        build_scored(path, sizes, seed=20240613)
        conn = sqlite3.connect(path)
        try:
            results.append(
                time_case(conn, lib, f"(a) no condition {label}", TABLE, NO_CONDITION, runs, 0, sizes, "<= 3x plain")
            )
            results.append(
                time_case(
                    conn,
                    lib,
                    f"(b) {SELECTIVE} {label}",
                    TABLE,
                    SELECTIVE,
                    runs,
                    1 if label == "1x" else 0,
                    sizes,
                    "<= 15x plain",
                )
            )
            if label == "1x":
                results.append(
                    time_case(
                        conn,
                        lib,
                        f"(c) {NARROW}",
                        TABLE,
                        NARROW,
                        runs,
                        runs,
                        sizes,
                        "walk/find >= 0.83 (find <= 1.2x walk)",
                    )
                )
                progress("newest: memory")
                per_row = extra_memory(conn, lib, sizes)
        finally:
            conn.close()
    path = workdir / "chains.db"
    build_chains(path, small, seed=20240613)
    conn = sqlite3.connect(path)
    try:
        results.append(
            time_case(
                conn,
                lib,
                f"(d) {small.chains} chains of {small.chain_length}",
                "homes",
                "",
                runs,
                runs,
                Sizes(small.chains * small.chain_length // 2, small.chains * small.chain_length // 2, 0, 0),
                ">= 20x faster than walk",
            )
        )
    finally:
        conn.close()
    lines.append(report(results, runs))
    a1, b1, a2, b2 = (
        next(r for r in results if r.case.startswith(p))
        for p in ("(a) no condition 1x", f"(b) {SELECTIVE} 1x", "(a) no condition 2x", f"(b) {SELECTIVE} 2x")
    )
    lines.append(f"scaling 2x rows (target <= 2.3x): (a) {a2.find / a1.find:.2f}x, (b) {b2.find / b1.find:.2f}x")
    lines.append(
        f"find peak memory during (a) beyond what the walk holds too: {per_row:.1f} bytes per row "
        f"of both tables (target <= 64)"
    )
    return lines


def _ms(value):
    return "-" if value is None else f"{value * 1e3:.1f}"


def report(results, runs):
    header = ["case", "rows", "find ms", "plain ms", "walk ms", "find/plain", "walk/find", "target", "same"]
    table = [header]
    for r in results:
        table.append(
            [
                r.case,
                f"{r.rows:,}",
                _ms(r.find),
                _ms(r.plain),
                _ms(r.walk),
                "-" if r.plain is None else f"{r.find / r.plain:.2f}",
                "-" if r.walk is None else f"{r.walk / r.find:.2f}",
                r.target,
                "-" if r.same is None else ("yes" if r.same else "NO"),
            ]
        )
    widths = [max(len(row[i]) for row in table) for i in range(len(header))]
    text = ["find's newest test: median of %d runs (the walk for (b) once); ratios of medians" % runs]
    for row in table:
        text.append(
            "  ".join(
                cell.ljust(w) if i in (0, 7) else cell.rjust(w) for i, (cell, w) in enumerate(zip(row, widths))
            ).rstrip()
        )
    return "\n".join(text)
