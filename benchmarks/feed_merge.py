"""Table merges and deletes by key on the price feed, against SQLite alone.

- norvane's side of a merge is ``stage(rows, commit=False)`` + ``merge()``;
  the native side is ``executemany(...)`` + ``commit()`` into a table whose
  rules are UNIQUE indexes, with the same price index;
- every timed call starts from a fresh, flushed copy of its template, in the
  default journal mode; the contenders alternate within each run, the ratio
  is of the medians, and CPU time (of this process) is printed beside wall
  time;
- ``newest_by`` runs on the feed with a timestamp column ``ts``: 30 % of the
  staged rows are older than the row they meet, so they are dropped;
- memory is the peak that tracemalloc sees during ``merge()`` or
  ``delete_keys()`` alone, and the growth of the resident set of a fresh
  process making the same call (its high-water mark, reset just before the
  call where Linux allows it).

Nothing here asserts anything; each target is printed with its verdict.
"""

import gc
import json
import random
import shutil
import sqlite3
import statistics
import subprocess
import sys
import time
import tracemalloc
from dataclasses import dataclass
from pathlib import Path

from benchmarks.harness import Workspace, flush
from benchmarks.reads import cases as read_cases
from benchmarks.reads import paired
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
TS_COLUMNS = [*COLUMNS, "ts"]
MAIN_TS = 1_000_000  # every main row's timestamp; fresh staged rows come after it
STALE_SHARE = 0.3
MiB = 2**20


@dataclass(frozen=True)
class Sizes:
    main: int
    bursts: tuple
    bulk: int
    newest: int
    keys: int
    staged: int  # staged rows waiting while delete_keys runs


FULL = Sizes(1_000_000, (1_000, 10_000), 1_000_000, 10_000, 10_000, 10_000)
QUICK = Sizes(20_000, (20, 200), 20_000, 200, 200, 200)


# ------------------------------------------------------------------ data --


def newest_rows(main, count, seed=3):
    """The feed's staged rows with a timestamp: ``STALE_SHARE`` of them,
    picked among updates of main products, are older than the main row (so
    older than anything they meet); the others are newer than all before."""
    rows = list(price_feed_staged(main, count, seed))
    rng = random.Random(seed)
    updates = [j for j, row in enumerate(rows) if row[1] < main]
    stale = set(rng.sample(updates, min(len(updates), round(STALE_SHARE * count))))
    return [(*row, MAIN_TS - 1 - j if j in stale else MAIN_TS + 1 + j) for j, row in enumerate(rows)], len(stale)


def with_ts(rows):
    return ((*row, MAIN_TS) for row in rows)


# ------------------------------------------------------------- templates --


def _marks(columns):
    return ",".join("?" * len(columns))


def managed(path, main, staged=(), *, columns=COLUMNS, newest_by=()):
    """A Table with the feed's rules and price index, ``main`` loaded straight
    into its main table (indexes built after) and ``staged`` into staging."""
    from norvane import Index, Table, Unique, _native

    conn = sqlite3.connect(path)
    try:
        _native.prepare_catalog(conn)
        Table(conn, T).create(
            columns,
            indexes=[Index(name, list(cols)) for name, cols in PRICE_FEED_INDEXES.items()],
            unique=[Unique(name, list(cols)) for name, cols in PRICE_FEED_RULES.items()],
            **({"newest_by": list(newest_by)} if newest_by else {}),
        )
        indexes = conn.execute(
            "SELECT name, sql FROM sqlite_master WHERE type = 'index' AND tbl_name = ? AND sql IS NOT NULL "
            "ORDER BY rowid",
            (T,),
        ).fetchall()
        for name, _ in indexes:
            conn.execute(f"DROP INDEX {name}")
        conn.executemany(f"INSERT INTO {T} VALUES ({_marks(columns)})", main)
        for _, sql in indexes:
            conn.execute(sql)
        conn.executemany(f"INSERT INTO temp_{T} VALUES ({_marks(columns)})", staged)
        conn.commit()
    finally:
        conn.close()
    flush(path)
    return path


def native(path, main, *, columns=COLUMNS, rules=PRICE_FEED_RULES):
    """The same rows in a plain table: each rule a UNIQUE index, the price index."""
    conn = sqlite3.connect(path)
    try:
        conn.execute(f"CREATE TABLE {T} ({', '.join(columns)})")
        conn.executemany(f"INSERT INTO {T} VALUES ({_marks(columns)})", main)
        for name, cols in rules.items():
            conn.execute(f"CREATE UNIQUE INDEX {T}_{name} ON {T} ({', '.join(cols)})")
        for name, cols in PRICE_FEED_INDEXES.items():
            conn.execute(f"CREATE INDEX {T}_{name} ON {T} ({', '.join(cols)})")
        conn.commit()
    finally:
        conn.close()
    flush(path)
    return path


# ----------------------------------------------------------------- calls --


def stage_and_merge(rows):
    def call(conn):
        from norvane import Table

        table = Table(conn, T)
        table.stage(rows, commit=False)
        return table.merge()

    return call


def merge_only(conn):
    from norvane import Table

    return Table(conn, T).merge()


def native_many(sql, rows):
    def call(conn):
        conn.executemany(sql, rows)
        conn.commit()

    return call


def replace_sql(columns=COLUMNS):
    return f"INSERT OR REPLACE INTO {T} VALUES ({_marks(columns)})"


def upsert_sql():
    """SQLite's idiom for a late row: update in place unless older."""
    updates = ", ".join(f"{c} = excluded.{c}" for c in TS_COLUMNS if c != "barcode")
    return (
        f"INSERT INTO {T} VALUES ({_marks(TS_COLUMNS)}) ON CONFLICT(barcode) DO UPDATE SET {updates} "
        "WHERE excluded.ts >= ts"
    )


def delete_keys(keys):
    def call(conn):
        from norvane import Table

        return Table(conn, T).delete_keys("by_barcode", keys)

    return call


def native_delete(keys):
    import json

    text = json.dumps(keys)

    def call(conn):
        conn.execute(f"DELETE FROM {T} WHERE barcode IN (SELECT value FROM json_each(?))", (text,))
        conn.commit()

    return call


# ---------------------------------------------------------------- timing --


@dataclass
class Timing:
    wall: float
    cpu: float

    def __str__(self):
        return f"{self.wall * 1000:9.1f} ms (cpu {self.cpu * 1000:8.1f})"


def medians(workspace, contenders, runs):
    """Median wall and CPU seconds of each (template, call), alternating, each
    on a fresh copy; also the first result of each."""
    walls = {label: [] for label in contenders}
    cpus = {label: [] for label in contenders}
    first = {}
    labels = list(contenders)
    for run in range(runs):
        shift = run % len(labels)
        for label in labels[shift:] + labels[:shift]:
            template, call = contenders[label]
            with workspace.connection(template) as conn:
                gc.collect()
                wall, cpu = time.perf_counter(), time.process_time()
                result = call(conn)
                walls[label].append(time.perf_counter() - wall)
                cpus[label].append(time.process_time() - cpu)
                first.setdefault(label, (result, rows_left(conn)))
    return {label: Timing(statistics.median(walls[label]), statistics.median(cpus[label])) for label in labels}, first


def rows_left(conn):
    """Rows in the main table and, for norvane, those still staged: after a
    merge or a delete by key both hold only current rows."""
    names = [
        name
        for (name,) in conn.execute(
            "SELECT name FROM sqlite_master WHERE type = 'table' AND name IN (?, ?)", (T, f"temp_{T}")
        )
    ]
    return sum(conn.execute(f"SELECT count(*) FROM {name}").fetchone()[0] for name in names)


def verdict_line(label, mine, other, other_label, limit):
    ratio = mine.wall / other.wall
    verdict = "met" if ratio <= limit else "MISSED"
    return f"  {label:<52} norvane {mine}  {other_label} {other}  {ratio:5.2f}x  target <= {limit}x  {verdict}"


# ---------------------------------------------------------------- memory --


# A fresh process measures the resident set: in this one, memory freed by
# earlier cases stays resident and is reused, so it would show no growth.
RSS_CHILD = r"""
import json, sqlite3, sys
from norvane import Table

def kib(field):
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith(field + ":"))

path, table, keys = sys.argv[1], sys.argv[2], json.loads(sys.argv[3])
conn = sqlite3.connect(path)
try:
    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")  # the high-water mark starts again from here
except OSError:
    pass
before = kib("VmRSS")
if keys is None:
    Table(conn, table).merge()
else:
    Table(conn, table).delete_keys("by_barcode", keys)
print((kib("VmHWM") - before) * 1024)
"""


def rss_growth(path, keys):
    """Bytes by which a fresh process's resident set grows during the merge
    (``keys`` None) or delete_keys; None where /proc is not there."""
    if not Path("/proc/self/status").exists():
        return None
    done = subprocess.run(
        [sys.executable, "-c", RSS_CHILD, str(path), T, json.dumps(keys)], capture_output=True, text=True, check=True
    )
    return int(done.stdout.split()[-1])


def traced_peak(call):
    gc.collect()
    tracemalloc.start()
    try:
        call()
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


def memory_line(workspace, label, template, call, staged, keys=None):
    with workspace.connection(template) as conn:
        peak = traced_peak(lambda: call(conn))
    copy = workspace.root / "feed-merge-rss.db"
    shutil.copy(template, copy)
    flush(copy)
    try:
        grown = rss_growth(copy, keys)
    finally:
        copy.unlink()
    allowed = 32 * MiB + 64 * staged
    verdict = "met" if peak <= allowed else "MISSED"
    rss = "-" if grown is None else f"{grown / MiB:.2f} MiB"
    return (
        f"  {label:<52} peak traced {peak / MiB:7.2f} MiB, allowed {allowed / MiB:.1f} MiB  {verdict}; RSS growth {rss}"
    )


# ------------------------------------------------------------------ cases --


class FeedMerge:
    def __init__(self, quick, runs, workdir, progress):
        self.sizes = QUICK if quick else FULL
        self.runs = max(runs, 5)
        self.workdir = Path(workdir)
        self.workspace = Workspace(self.workdir)
        self.progress = progress
        self.lines = []
        self.made = []

    def say(self, line):
        """A result line, also shown at once among the progress messages."""
        self.lines.append(line)
        self.progress(line)

    def path(self, name):
        path = self.workdir / f"feed-merge-{name}.db"
        self.made.append(path)
        return path

    def timed(self, label, contenders, limits):
        took, first = medians(self.workspace, contenders, self.runs)
        mine = took["norvane"]
        for other_label, limit in limits:
            self.say(verdict_line(label, mine, took[other_label], other_label, limit))
        counts = {name: left for name, (_, left) in first.items()}
        if len(set(counts.values())) > 1:
            self.say(f"    note: the current rows left differ: {counts}")
        return first

    def bursts(self):
        s = self.sizes
        self.progress(f"feed merge: building {s.main:,} main rows")
        main = managed(self.path("main"), price_feed_main(s.main))
        main_native = native(self.path("main-native"), price_feed_main(s.main))
        for count in s.bursts:
            rows = list(price_feed_staged(s.main, count))
            self.progress(f"feed merge: {count:,} into {s.main:,}")
            self.timed(
                f"(a) {count:,} rows into {s.main:,}",
                {
                    "norvane": (main, stage_and_merge(rows)),
                    "native": (main_native, native_many(replace_sql(), rows)),
                },
                [("native", 1.0)],
            )
        rows = list(price_feed_main(s.bulk, seed=5))
        empty = managed(self.path("empty"), [])
        empty_native = native(self.path("empty-native"), [])
        self.progress(f"feed merge: {s.bulk:,} into an empty table")
        self.timed(
            f"(b) {s.bulk:,} rows into an empty table",
            {
                "norvane": (empty, stage_and_merge(rows)),
                "native": (empty_native, native_many(replace_sql(), rows)),
            },
            [("native", 0.5)],
        )
        bulk_staged = managed(self.path("bulk-staged"), [], rows)
        del rows
        self.memory(f"merge() of {s.bulk:,} staged into an empty table", bulk_staged, merge_only, s.bulk)
        self.drop(main, main_native, empty, empty_native, bulk_staged)

    def newest(self):
        s = self.sizes
        self.progress(f"feed merge: newest_by, {s.newest:,} into {s.main:,}")
        rows, stale = newest_rows(s.main, s.newest)
        newest = managed(self.path("ts-newest"), with_ts(price_feed_main(s.main)), columns=TS_COLUMNS, newest_by=["ts"])
        plain = managed(self.path("ts-plain"), with_ts(price_feed_main(s.main)), columns=TS_COLUMNS)
        one_rule = native(
            self.path("ts-native"),
            with_ts(price_feed_main(s.main)),
            columns=TS_COLUMNS,
            rules={"by_barcode": ("barcode",)},
        )
        first = self.timed(
            f"(c) {s.newest:,} rows with newest_by, {stale:,} stale",
            {
                "norvane": (newest, stage_and_merge(rows)),
                "without": (plain, stage_and_merge(rows)),
                "upsert": (one_rule, native_many(upsert_sql(), rows)),
            },
            [("without", 1.15), ("upsert", 1.5)],
        )
        report = first["norvane"][0]
        self.say(
            f"    without = the same merge, no newest_by; upsert = native ON CONFLICT(barcode) "
            f"DO UPDATE ... WHERE excluded.ts >= ts, one rule; the merge reported "
            f"{getattr(report, 'stale', '?')} stale of {report.staged:,}"
        )
        self.drop(one_rule)
        self.reads(newest, plain, rows)
        self.drop(newest, plain)

    def reads(self, newest, plain, rows):
        """Reads (e), (f), (h) of the reads benchmark, on the same rows staged
        over tables with and without newest_by."""
        s = self.sizes
        staged = {}
        for name, template, newest_by in (("newest", newest, ["ts"]), ("plain", plain, [])):
            path = self.path(f"reads-{name}")
            managed(path, with_ts(price_feed_main(s.main)), rows, columns=TS_COLUMNS, newest_by=newest_by)
            staged[name] = path
        from norvane import Table

        for case in [c for c in read_cases("b0") if c.key in ("e", "f", "h")]:
            self.progress(f"feed merge: read ({case.key}) with and without newest_by")
            conns = {name: sqlite3.connect(path) for name, path in staged.items()}
            try:
                tables = {name: Table(conn, T) for name, conn in conns.items()}
                with_nb, without = paired(
                    lambda: case.new(tables["newest"]), lambda: case.new(tables["plain"]), self.runs
                )
            finally:
                for conn in conns.values():
                    conn.close()
            ratio = with_nb / without
            self.say(
                f"  (d) read ({case.key}) {case.label:<40} newest_by {with_nb * 1000:8.1f} ms  without "
                f"{without * 1000:8.1f} ms  {ratio:5.2f}x  target <= 1.5x  {'met' if ratio <= 1.5 else 'MISSED'}"
            )
        self.drop(*staged.values())

    def deletes(self):
        s = self.sizes
        self.progress(f"feed merge: delete_keys of {s.keys:,} keys")
        staged = list(price_feed_staged(s.main, s.staged))
        with_staged = managed(self.path("delete"), price_feed_main(s.main), staged)
        after = native(self.path("delete-native"), price_feed_main(s.main))
        conn = sqlite3.connect(after)
        conn.executemany(replace_sql(), staged)  # the native table holds the same current rows
        conn.commit()
        conn.close()
        flush(after)
        rng = random.Random(7)
        keys = ["b%d" % i for i in rng.sample(range(s.main), s.keys)]
        self.timed(
            f"(e) delete_keys of {s.keys:,} keys, {s.staged:,} staged",
            {
                "norvane": (with_staged, delete_keys(keys)),
                "native": (after, native_delete(keys)),
            },
            [("native", 2.0)],
        )
        self.memory(f"merge() of {s.staged:,} staged into {s.main:,}", with_staged, merge_only, s.staged)
        self.memory(
            f"delete_keys() of {s.keys:,} keys, {s.staged:,} staged", with_staged, delete_keys(keys), s.staged, keys
        )
        self.drop(with_staged, after)

    def memory(self, label, template, call, staged, keys=None):
        self.progress(f"feed merge: memory of {label}")
        self.say(memory_line(self.workspace, f"(f) {label}", template, call, staged, keys))

    def drop(self, *paths):
        for path in paths:
            if path.exists():
                path.unlink()

    def run(self):
        s = self.sizes
        self.say(
            f"feed merge (price feed, rules (sup, sku) and (barcode), index on price): median of {self.runs} "
            f"runs, wall time (cpu time); norvane = stage(rows, commit=False) + merge(), native = "
            f"executemany + commit on fresh copies" + ("; the targets are set for the full sizes" if s is QUICK else "")
        )
        self.bursts()
        try:
            self.newest()
        except TypeError as exc:  # a Table without newest_by
            self.say(f"  (c), (d) newest_by: not available ({exc})")
        try:
            self.deletes()
        except AttributeError as exc:  # a Table without delete_keys
            self.say(f"  (e) delete_keys: not available ({exc})")
        self.drop(*self.made)
        return self.lines


def run(quick, runs, workdir, progress):
    return FeedMerge(quick, runs, workdir, progress).run()
