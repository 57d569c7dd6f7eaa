"""Memory stays flat: every operation, run many times in a loop.

tracemalloc measures what Python's allocators hold (a leaked row tuple, list
or result per call shows up there); the resident set size from
/proc/self/statm covers the rest (SQLite statements, C++ buffers). Reference
counts of the objects handed in must come back to where they were.

CI runs 2,000 iterations per operation after a warm-up; NORVANE_SCALE=full
runs 20,000.
"""

import ctypes
import gc
import os
import sqlite3
import sys
import tracemalloc

import pytest
from conftest import Proxy, fresh_name

import norvane.norvane as nv

FULL = os.environ.get("NORVANE_SCALE") == "full"
ITERATIONS = 20_000 if FULL else 2_000
WARMUP = 300
# A merge in a few set-based statements fills the host module's bounded
# per-connection bookkeeping (weak references to the cursors it made) more
# slowly than one statement per row does: its growth levels off after a few
# thousand merges and stays flat from there on.
WARMUP_OF = {"merge": 6_000}
# Growth allowed after the warm-up. A leak of one small object per call
# (an int or a 1-tuple, 28 to 56 bytes) costs at least 56 KB over 2,000 calls.
TRACED_SLACK = 24 * 1024
RSS_SLACK = 3 * 1024 * 1024
# AddressSanitizer keeps freed memory in quarantine, so resident size grows
# there by design; the traced Python size still counts.
SANITIZED = os.environ.get("NORVANE_SANITIZED") == "1"
PAGE = os.sysconf("SC_PAGE_SIZE")
LIBC = ctypes.CDLL(None)
LIBC.malloc.restype = ctypes.c_void_p


def text(s):
    """A str object of our own (literals and one-letter strs are shared or immortal)."""
    assert len(s) >= 2
    return s[:1] + s[1:]


def rss():
    """Resident bytes, after free heap pages went back to the system: memory
    freed by earlier tests must not hide growth that comes now."""
    gc.collect()
    LIBC.malloc_trim(0)
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def measure(op, iterations=ITERATIONS, warmup=WARMUP):
    """Growth of traced memory and of RSS over `iterations` calls, after a warm-up."""
    gc.collect()
    tracemalloc.start()
    try:
        for _ in range(warmup):
            op()
        rss0 = rss()
        traced0 = tracemalloc.get_traced_memory()[0]
        for _ in range(iterations):
            op()
        rss1 = rss()
        return tracemalloc.get_traced_memory()[0] - traced0, rss1 - rss0
    finally:
        tracemalloc.stop()


# ----------------------------------------------------------- the database --
# Names have two letters or more: one-letter strs are shared, immortal objects,
# whose reference counts say nothing.

RULED = ["kk", "vv", "ww"]


class Workload:
    """Tables in one database, and operations that leave them as they found them."""

    def __init__(self, tmp_path, kind):
        self.db = nv.DB(fresh_name("mem"), str(tmp_path / "mem.db"))
        self.real = self.db.connection()
        # speed only: no fsync and no journal file per transaction
        self.real.execute("PRAGMA synchronous=OFF")
        self.real.execute("PRAGMA journal_mode=MEMORY")
        self.conn = self.real if kind == "native" else Proxy(self.real)
        c = self.real
        # mm: merged into over and over; each round supersedes the same keys.
        nv.create_table(c, "mm", list(RULED), [{"name": "ix", "cols": "vv"}], [{"name": "uk", "cols": [0]}])
        nv._insert_main(c, "mm", [(k, f"v{k}", k * 1.5) for k in range(20)])
        # qq: rows staged and in main, linked through two rules, never merged.
        nv.create_table(c, "qq", list(RULED), [], [{"name": "uk", "cols": [0]}, {"name": "sv", "cols": [1, 2]}])
        nv._insert_main(c, "qq", [(k % 5, f"v{k % 3}", k % 2) for k in range(12)])
        nv.insert_temp(c, "qq", [(k, f"v{k % 3}", None) for k in range(0, 12, 3)])
        # xx: filled and emptied by rowid.
        nv.create_table(c, "xx", list(RULED), [], [])
        # bad: a rule whose positions are not numbers.
        nv.create_table(c, "bad", list(RULED), [], [])
        c.execute("INSERT INTO unique_table VALUES ('bad', 'uk', 'kk', 'kk')")
        nv.insert_temp(c, "bad", [(1, 2, 3)])
        c.commit()
        self.staged = [(k, f"n{k}", k) for k in range(10)]
        self.linked_row = tuple(c.execute("SELECT rowid, * FROM qq WHERE rowid = 1").fetchone())

    def close(self):
        self.real.close()

    # each operation: one round, state restored
    def merge(self):
        nv.insert_temp(self.conn, "mm", self.staged)
        nv.temp_to_main(self.conn, "mm")

    def find(self):
        nv.find(self.conn, "kk,vv,ww", "qq", "where kk >= 0 order by rowid")

    def find_all(self):
        nv.find(self.conn, "*", "mm", "")

    def check(self):
        nv._check_newest_unique(
            self.conn, "qq", (0, 1), self.linked_row, {"uk": [0], "sv": [1, 2]}, list(RULED), "rowid,kk,vv,ww", {(0, 1)}
        )

    def insert_and_delete(self):
        nv._insert_main(self.conn, "xx", self.staged)
        nv.delete_row_main(self.conn, "xx", set(range(1, 11)))

    def index_cycle(self):
        nv.insert_index(self.conn, {"table": "mm", "name": "iw", "cols": "ww"})
        nv.drop_index(self.conn, "mm", "iw")

    def unique_cycle(self):
        nv.insert_unique(self.conn, "mm", "uw", "vv,ww", "1,2")
        nv.drop_unique(self.conn, "mm", "uw")

    def table_cycle(self):
        nv.create_table(self.conn, "cc", ["aa", "bb"], [{"name": "ia", "cols": "aa"}], [{"name": "uk", "cols": [0, 1]}])
        nv.drop_table(self.conn, "cc")

    def drop_and_activate(self):
        nv.drop_table_index(self.conn, "mm")
        nv.active_table_index(self.conn, "mm")

    def connection(self):
        self.db.connection().close()

    # failures: the exception is raised and let go
    def _failing(self, call, exc_type):
        try:
            call()
        except exc_type:
            pass
        else:
            raise AssertionError("expected a failure")
        self.real.rollback()

    def fail_missing_table(self):
        self._failing(lambda: nv.find(self.conn, "*", "nosuch", ""), sqlite3.OperationalError)

    def fail_short_row(self):
        self._failing(lambda: nv.insert_temp(self.conn, "mm", [(1, 2, 3), (1, 2)]), sqlite3.ProgrammingError)

    def fail_rule_without_columns(self):
        self._failing(lambda: nv.create_table(self.conn, "cc", ["aa"], [], [{"name": "uk"}]), KeyError)

    def fail_bad_catalog(self):
        self._failing(lambda: nv.temp_to_main(self.conn, "bad"), ValueError)

    def fail_unknown_column(self):
        self._failing(lambda: nv.find(self.conn, "kk,zz", "qq", ""), ValueError)

    def fail_visited_not_a_set(self):
        self._failing(
            lambda: nv._check_newest_unique(
                self.conn, "qq", (0, 1), self.linked_row, {"uk": [0]}, list(RULED), "rowid,kk,vv,ww", []
            ),
            AttributeError,
        )


OPERATIONS = [name for name in vars(Workload) if not name.startswith("_") and name != "close"]
KINDS = ["native", "proxy"]


@pytest.fixture(params=KINDS)
def workload(request, tmp_path):
    w = Workload(tmp_path, request.param)
    yield w
    w.close()


@pytest.mark.parametrize("operation", OPERATIONS)
def test_memory_stays_flat(workload, operation):
    traced, resident = measure(getattr(workload, operation), warmup=WARMUP_OF.get(operation, WARMUP))
    assert traced < TRACED_SLACK, f"{traced} bytes more held by Python after {ITERATIONS} calls"
    if not SANITIZED:
        assert resident < RSS_SLACK, f"{resident} bytes more resident after {ITERATIONS} calls"


# ------------------------------------------------ references of arguments --


def reference_cases(w):
    """(call, objects handed in) per function; each call is repeated many times."""
    conn = w.conn
    rows = [tuple([k + 1000, text(f"r{k}"), k + 2000]) for k in range(5)]
    ids = {100_000 + k for k in range(5)}
    uniques = {text("uk"): [0], text("sv"): [1, 2]}
    visited = {(0, 1)}
    linked = tuple(w.linked_row)
    cols = [text(c) for c in RULED]
    total = text("rowid,kk,vv,ww")
    select, table_q, conditions = text("kk,vv"), text("qq"), text("where kk >= 0")
    table_m, table_x = text("mm"), text("xx")
    index = {"table": table_m, "name": text("iw"), "cols": text("ww")}
    created = text("cc")
    ind = [{"name": text("ia"), "cols": text("aa")}]
    uni = [{"name": text("uk"), "cols": [0, 1]}]
    ccols = [text("aa"), text("bb")]
    rule, rule_cols, rule_nums = text("uw"), text("vv,ww"), text("1,2")
    comm = 1.0 + 0.0 * len(rows)
    return {
        "insert_temp": (
            lambda: (nv.insert_temp(conn, table_x, rows, comm), w.real.execute("DELETE FROM temp_xx")),
            [conn, table_x, rows, *rows, *(v for r in rows for v in r), comm],
        ),
        "_insert_main": (
            lambda: (nv._insert_main(conn, table_x, rows, comm), w.real.execute("DELETE FROM xx")),
            [conn, table_x, rows, *rows, comm],
        ),
        "delete_row_main": (lambda: nv.delete_row_main(conn, table_x, ids, comm), [conn, table_x, ids, *ids]),
        "temp_to_main": (lambda: nv.temp_to_main(conn, table_m, comm), [conn, table_m, comm]),
        "find": (lambda: nv.find(conn, select, table_q, conditions), [conn, select, table_q, conditions]),
        "_check_newest_unique": (
            lambda: nv._check_newest_unique(conn, table_q, (0, 1), linked, uniques, cols, total, visited),
            [conn, table_q, linked, uniques, *uniques, *uniques.values(), cols, *cols, total, visited],
        ),
        "insert_index": (lambda: nv.insert_index(conn, index, comm), [conn, index, *index.values()]),
        "insert_unique": (
            lambda: nv.insert_unique(conn, table_m, rule, rule_cols, rule_nums, comm),
            [conn, table_m, rule, rule_cols, rule_nums],
        ),
        "create_table": (
            lambda: nv.create_table(conn, created, ccols, ind, uni, comm),
            [conn, created, ccols, *ccols, ind, *ind, uni, *uni, uni[0]["cols"]],
        ),
        "drop_table_index": (
            lambda: (nv.drop_table_index(conn, table_m, comm), nv.active_table_index(conn, table_m, comm)),
            [conn, table_m, comm],
        ),
        "failing find": (
            lambda: _swallow(lambda: nv.find(conn, select, text("nosuch"), conditions)),
            [conn, select, conditions],
        ),
        "failing insert": (
            lambda: _swallow(lambda: nv.insert_temp(conn, table_x, rows + [(1,)], comm)),
            [conn, table_x, *rows, comm],
        ),
    }


def _swallow(call):
    try:
        call()
    except (sqlite3.Error, LookupError, TypeError, ValueError):
        pass


REFERENCE_CASES = [
    "insert_temp",
    "_insert_main",
    "delete_row_main",
    "temp_to_main",
    "find",
    "_check_newest_unique",
    "insert_index",
    "insert_unique",
    "create_table",
    "drop_table_index",
    "failing find",
    "failing insert",
]


def changed_references(call, objects, rounds=200):
    """(type name, count before, count after) of each object whose reference
    count `rounds` more calls changed."""
    assert all(sys.getrefcount(o) < 1 << 20 for o in objects), "an immortal object says nothing"
    call()  # first call: whatever is stored for good (keys set by create_table, ...) is stored now
    gc.collect()
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(rounds):
        call()
    gc.collect()
    after = [sys.getrefcount(o) for o in objects]
    return [(type(o).__name__, b, a) for o, b, a in zip(objects, before, after) if a != b]


@pytest.mark.parametrize("case", REFERENCE_CASES)
def test_arguments_keep_their_reference_counts(workload, case):
    assert not changed_references(*reference_cases(workload)[case])


# ------------------------------------------------ the detectors themselves --


def test_detects_one_small_object_per_call():
    kept = []
    traced, _ = measure(lambda: kept.append((len(kept),)))
    assert traced > TRACED_SLACK


def test_detects_native_memory_per_call():
    # Heap memory freed but still resident would hide the growth below.
    blocks = [LIBC.malloc(4096) for _ in range(4 * ITERATIONS)]
    for p in blocks:
        ctypes.memset(p, 1, 4096)
    for p in blocks:
        LIBC.free(ctypes.c_void_p(p))

    def leak():
        ctypes.memset(LIBC.malloc(4096), 1, 4096)

    _, resident = measure(leak)
    assert resident > RSS_SLACK


class Kept:
    """A row value whose adapter keeps it: one more reference per call."""


def test_detects_a_reference_kept_per_call(workload):
    kept = []
    sqlite3.register_adapter(Kept, lambda v: kept.append(v) or 0)
    value, rows = Kept(), [(Kept(), 1, 2)]
    try:

        def call():
            nv.insert_temp(workload.conn, "xx", rows)
            workload.real.execute("DELETE FROM temp_xx")

        # the row value passes through the library to the adapter
        changed = changed_references(call, [workload.conn, rows, value, rows[0][0]])
        assert [(name, after - before) for name, before, after in changed] == [("Kept", 200)]
    finally:
        del sqlite3.adapters[(Kept, sqlite3.PrepareProtocol)]
