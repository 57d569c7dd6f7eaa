"""Table reads at scale, on the price feed: what a read costs against the
staging scan and against the same question asked in plain SQL.

Contenders, in the same run:

- new: ``Table.rows`` / ``count`` / ``iter`` as they are now;
- before: what ``rows`` did before, kept here as the reference: the private
  find with the newest test of the module, then a Python sort and slice
  (timed once per case at full size: it takes seconds);
- staging scan: ``SELECT rowid, * FROM temp_feed`` with ``fetchall``;
- plain: the same question asked in plain SQL of the main table, or of both.

Nothing here asserts anything; each target is printed with its figures.
"""

import gc
import shutil
import signal
import sqlite3
import statistics
import time
import tracemalloc
from dataclasses import dataclass
from pathlib import Path

from benchmarks import plain
from benchmarks.interrupts import _latency
from benchmarks.scenarios import (
    PRICE_FEED_COLUMNS,
    PRICE_FEED_INDEXES,
    PRICE_FEED_RULES,
    PRICE_FEED_TABLE,
    price_feed_main,
    price_feed_staged,
)

T = PRICE_FEED_TABLE
COLUMNS = list(PRICE_FEED_COLUMNS)
MARKS = ",".join("?" * len(COLUMNS))


@dataclass(frozen=True)
class Sizes:
    main: int
    staged: int
    large_main: int  # (k)
    many_staged: int  # (m)


FULL = Sizes(1_000_000, 10_000, 2_000_000, 20_000)
QUICK = Sizes(20_000, 200, 40_000, 400)


def build(path, main, staged):
    plain.prepare(str(path))
    conn = sqlite3.connect(path)
    plain.create_table(
        conn,
        T,
        COLUMNS,
        [{"name": name, "cols": ",".join(cols)} for name, cols in PRICE_FEED_INDEXES.items()],
        [{"name": name, "cols": [COLUMNS.index(c) for c in cols]} for name, cols in PRICE_FEED_RULES.items()],
    )
    indexes = conn.execute("SELECT name, sql FROM sqlite_master WHERE type = 'index' AND tbl_name = ?", (T,)).fetchall()
    for name, _ in indexes:
        conn.execute(f"DROP INDEX {name}")
    conn.executemany(f"INSERT INTO {T} VALUES ({MARKS})", price_feed_main(main))
    for _, sql in indexes:
        conn.execute(sql)
    conn.executemany(f"INSERT INTO temp_{T} VALUES ({MARKS})", price_feed_staged(main, staged))
    conn.commit()
    conn.close()


def restage(path, main, staged):
    conn = sqlite3.connect(path)
    conn.execute(f"DELETE FROM temp_{T}")
    conn.executemany(f"INSERT INTO temp_{T} VALUES ({MARKS})", price_feed_staged(main, staged))
    conn.commit()
    conn.close()


def seconds(call, runs):
    times = []
    for _ in range(runs):
        gc.collect()
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def paired(first, second, runs):
    """Medians of two calls timed in alternation, so that the machine's load
    weighs on both alike; quick calls get more runs."""
    times = ([], [])
    total = 0.0
    count = 0
    while count < runs or (count < 4 * runs and total < 2.0):
        for call, out in ((first, times[0]), (second, times[1])):
            gc.collect()
            start = time.perf_counter()
            call()
            out.append(time.perf_counter() - start)
            total += out[-1]
        count += 1
    return statistics.median(times[0]), statistics.median(times[1])


def before_rows(conn, where=None, params=(), order=(), limit=None, offset=0):
    """What rows() did before: find, then sort and slice the current rows."""
    from norvane import _native

    conditions = "" if not where else f"WHERE (\n{where}\n)"
    rows, staged = _native.find(conn, None, T, conditions, params or None)
    for row in rows[:staged]:
        row[0] = None
    for index, descending in reversed(order):
        rows.sort(key=lambda row: _sqlite_order(row[index]), reverse=descending)
    end = None if limit is None else offset + limit
    return [tuple(row[1:]) for row in rows[offset:end]]


def _sqlite_order(value):
    if value is None:
        return (0, 0)
    if isinstance(value, (int, float)):
        return (1, value)
    return (2, value) if isinstance(value, str) else (3, bytes(value))


def staging_scan(conn):
    conn.execute(f"SELECT rowid, * FROM temp_{T}").fetchall()


def both(sql, params=()):
    def read(conn):
        conn.execute(sql.format(table=f"temp_{T}"), params).fetchall()
        conn.execute(sql.format(table=T), params).fetchall()

    return read


@dataclass
class Case:
    key: str
    label: str
    new: object  # callable(table)
    before: object  # callable(conn) or None
    baseline: object  # callable(conn)
    limit: float
    baseline_label: str


def cases(barcode):
    price = COLUMNS.index("price") + 1
    return [
        Case(
            "e",
            "rows(limit=10)",
            lambda t: t.rows(limit=10),
            lambda c: before_rows(c, limit=10),
            staging_scan,
            2,
            "staging scan",
        ),
        Case(
            "f",
            "rows(order_by=price, limit=10)",
            lambda t: t.rows(order_by=["price"], limit=10),
            lambda c: before_rows(c, order=[(price, False)], limit=10),
            staging_scan,
            2,
            "staging scan",
        ),
        Case(
            "g",
            "rows(order_by=price DESC, offset=10000, limit=10)",
            lambda t: t.rows(order_by=["price DESC"], offset=10000, limit=10),
            lambda c: before_rows(c, order=[(price, True)], offset=10000, limit=10),
            lambda c: (
                staging_scan(c),
                c.execute(f"SELECT rowid, * FROM {T} ORDER BY price DESC LIMIT 10 OFFSET 10000").fetchall(),
            ),
            3,
            "scan + plain ORDER BY price DESC LIMIT 10 OFFSET 10000",
        ),
        Case(
            "h",
            "count()",
            lambda t: t.count(),
            lambda c: len(before_rows(c)),
            lambda c: (staging_scan(c), c.execute(f"SELECT count(*) FROM {T}").fetchall()),
            3,
            "scan + SELECT count(*)",
        ),
        Case(
            "i",
            "rows()",
            lambda t: t.rows(),
            lambda c: before_rows(c),
            both("SELECT * FROM {table}"),
            1.5,
            "two plain SELECTs",
        ),
        Case(
            "j",
            "rows('price < ?', [100])",
            lambda t: t.rows("price < ?", [100]),
            lambda c: before_rows(c, "price < ?", [100]),
            both("SELECT * FROM {table} WHERE price < ?", [100]),
            1.5,
            "two plain SELECTs",
        ),
        Case(
            "m",
            "rows('barcode = ?', [b]), 2x staged",
            lambda t: t.rows("barcode = ?", [barcode]),
            lambda c: before_rows(c, "barcode = ?", [barcode]),
            both("SELECT * FROM {table} WHERE barcode = ?", [barcode]),
            3,
            "two plain SELECTs",
        ),
    ]


def time_case(case, path, runs, before_runs):
    from norvane import Table

    conn = sqlite3.connect(path)
    try:
        table = Table(conn, T)
        new, base = paired(lambda: case.new(table), lambda: case.baseline(conn), runs)
        before = seconds(lambda: case.before(conn), before_runs) if before_runs else None
        same = None
        if before_runs and case.key in ("e", "i", "j", "m"):
            same = sorted(map(repr, case.new(table))) == sorted(map(repr, case.before(conn)))
    finally:
        conn.close()
    return new, base, before, same


def newest_by_lines(base, workdir, runs, progress):
    """Reads (e), (f) and (h) on the same table with newest_by (on price),
    each timed in alternation with the same read without it."""
    from norvane.table_settings import Settings, write_settings

    newest = Path(workdir) / "feed-newest.db"
    shutil.copyfile(base, newest)
    conn = sqlite3.connect(newest)
    write_settings(conn, T, Settings(newest_by=("price",)))
    conn.commit()
    conn.close()
    lines = []
    for case in [c for c in cases(None) if c.key in ("e", "f", "h")]:
        progress(f"reads: (n) {case.label} with newest_by")
        with_conn, plain_conn = sqlite3.connect(newest), sqlite3.connect(base)
        try:
            from norvane import Table

            with_table, plain_table = Table(with_conn, T), Table(plain_conn, T)
            same = sorted(map(repr, _answer(case, with_table))) == sorted(map(repr, _answer(case, plain_table)))
            took, plain_took = paired(lambda: case.new(with_table), lambda: case.new(plain_table), runs)
        finally:
            with_conn.close()
            plain_conn.close()
        ratio = took / plain_took
        verdict = "met" if ratio <= 1.5 else "MISSED"
        lines.append(
            f"(n) {case.label} with newest_by=price: {fmt(took)} vs {fmt(plain_took)} without, "
            f"ratio {ratio:.2f}x (limit 1.5)  {verdict}"
            + ("" if same else "  (answers differ: staged prices that newest_by drops)")
        )
    newest.unlink()
    return lines


def _answer(case, table):
    answer = case.new(table)
    return [answer] if isinstance(answer, int) else answer


def iter_peak(path):
    from norvane import Table

    conn = sqlite3.connect(path)
    try:
        table = Table(conn, T)
        gc.collect()
        tracemalloc.start()
        for _ in table.iter():
            pass
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
        conn.close()


def interrupt_latency(path, delay):
    from norvane import Table

    conn = sqlite3.connect(path)
    try:
        took = _latency(lambda: Table(conn, T).rows(), delay)
        return None if took is None else took[1]  # until the call returned
    finally:
        conn.close()


def fmt(seconds_):
    return "-" if seconds_ is None else f"{seconds_ * 1000:.1f} ms"


def run(quick, runs, workdir, progress):
    sizes = QUICK if quick else FULL
    workdir = Path(workdir)
    before_runs = runs if quick else 1
    lines = [
        f"reads (price feed): {sizes.main:,} main + {sizes.staged:,} staged rows; "
        "ratios of medians; 'before' is the find-based rows() of the earlier version"
        + ("; the targets are set for the full sizes" if quick else "")
    ]
    base = workdir / "feed.db"
    progress(f"reads: building {sizes.main:,} + {sizes.staged:,} rows")
    build(base, sizes.main, sizes.staged)
    many = workdir / "feed-many.db"
    shutil.copyfile(base, many)
    restage(many, sizes.main, sizes.many_staged)
    staged_new = [row for row in price_feed_staged(sizes.main, sizes.many_staged) if row[1] >= sizes.main]
    barcode = staged_new[len(staged_new) // 2][2]
    header = f"{'target':<58} {'before':>11} {'new':>10} {'baseline':>10} {'ratio':>7} {'limit':>6}  verdict"
    lines.append(header)
    ratios = {}
    for case in cases(barcode):
        progress(f"reads: ({case.key}) {case.label}")
        path = many if case.key == "m" else base
        new, baseline, before, same = time_case(case, path, runs, before_runs)
        ratio = new / baseline
        ratios[case.key] = ratio
        verdict = "met" if ratio <= case.limit else "MISSED"
        if same is False:
            verdict += " (differs from before, as the semantics changed)"
        lines.append(
            f"({case.key}) {case.label:<54} {fmt(before):>11} {fmt(new):>10} {fmt(baseline):>10} "
            f"{ratio:>6.2f}x {case.limit:>5}x  {verdict}  [baseline: {case.baseline_label}]"
        )
    large = workdir / "feed-large.db"
    progress(f"reads: building {sizes.large_main:,} + {sizes.staged:,} rows")
    build(large, sizes.large_main, sizes.staged)
    for case in [c for c in cases(barcode) if c.key in ("e", "f", "h")]:
        progress(f"reads: (k) {case.label} at {sizes.large_main:,}")
        new, baseline, _, _ = time_case(case, large, runs, 0)
        ratio = new / baseline
        growth = ratio / ratios[case.key]
        verdict = "met" if growth <= 1.2 else "MISSED"
        lines.append(
            f"(k) {case.label} at {sizes.large_main:,} main: {fmt(new)} vs {fmt(baseline)}, "
            f"ratio {ratio:.2f}x = {growth:.2f} x its ratio at {sizes.main:,} (limit 1.2)  {verdict}"
        )
    large.unlink()
    lines += newest_by_lines(base, workdir, runs, progress)
    progress("reads: (l) memory of a full iter()")
    peak = iter_peak(base)
    allowed = 16 * 2**20 + 128 * sizes.staged
    lines.append(
        f"(l) full iter() peak traced memory: {peak / 2**20:.1f} MiB, allowed "
        f"{allowed / 2**20:.1f} MiB  {'met' if peak <= allowed else 'MISSED'}"
    )
    delay = 0.005 if quick else 0.3
    if hasattr(signal, "setitimer"):
        took = interrupt_latency(base, delay)
        lines.append(
            "Ctrl-C during rows() of the whole table: "
            + (
                "the read ended before the signal"
                if took is None
                else f"stopped {took * 1000:.1f} ms after the signal (target 100 ms)"
            )
        )
    return lines
