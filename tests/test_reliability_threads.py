"""Threads: several connections from one DB working on one file at once.

Each thread opens its own connection with DB.connection() (connections are
bound to the thread that opened them), creates its own table, and then stages,
merges and finds in rounds while the others do the same. SQLite's file lock
may answer "database is locked"; the test rolls back and retries the whole
call (the library itself never retries). Nothing may crash, no row may be
lost, and every table must end as its thread's rounds say.
"""

import os
import random
import sqlite3
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import pytest
from conftest import Proxy, fetch, fresh_name

import norvane.norvane as nv

FULL = os.environ.get("NORVANE_SCALE") == "full"
THREADS = 4
ROUNDS = 100 if FULL else 25
KEYS = 40


def retrying(conn, call, stats):
    """Runs `call`, rolling back and trying again while the file is locked."""
    for attempt in range(1000):
        try:
            return call()
        except sqlite3.OperationalError as exc:
            if "locked" not in str(exc):
                raise
            stats["retries"] += 1
            conn.rollback()
            time.sleep(random.uniform(0.001, 0.02) * (1 + attempt % 5))
    raise AssertionError("still locked after 1000 attempts")


def staged_rows(worker, rnd):
    """Every round rewrites the keys of its parity and adds one new key."""
    rows = [(k, f"{worker}:{rnd}:{k}") for k in range(rnd % 2, KEYS, 2)]
    rows.append((KEYS + rnd, f"{worker}:{rnd}:new"))
    # an older duplicate of the first key, staged after it would be newer: put it first
    return [(rows[0][0], "stale")] + rows


def expected_after(worker, rounds):
    table = {}
    for rnd in range(rounds):
        for k, v in staged_rows(worker, rnd):
            table[k] = v
    return table


def work(db, worker, start, stats):
    conn = db.connection()
    table = f"th{worker}"
    try:
        start.wait()
        retrying(
            conn,
            lambda: nv.create_table(
                conn, table, ["k", "v"], [{"name": "iv", "cols": "v"}], [{"name": "uk", "cols": [0]}]
            ),
            stats,
        )
        for rnd in range(ROUNDS):
            rows = staged_rows(worker, rnd)
            retrying(conn, lambda: nv.insert_temp(conn, table, rows), stats)
            # Before the merge the staged rows already hide what they supersede.
            found = retrying(conn, lambda: nv.find(conn, "k,v", table, ""), stats)
            assert sorted(map(tuple, found)) == sorted(expected_after(worker, rnd + 1).items())
            retrying(conn, lambda: nv.temp_to_main(conn, table), stats)
            found = retrying(conn, lambda: nv.find(conn, "k,v", table, "order by k"), stats)
            assert [tuple(r) for r in found] == sorted(expected_after(worker, rnd + 1).items())
    finally:
        conn.close()


def test_concurrent_stage_merge_find_on_one_file(tmp_path):
    db = nv.DB(fresh_name("threads"), str(tmp_path / "threads.db"))
    start = threading.Barrier(THREADS)
    stats = {"retries": 0}
    with ThreadPoolExecutor(THREADS) as pool:
        futures = [pool.submit(work, db, w, start, stats) for w in range(THREADS)]
        for f in futures:
            f.result()

    check = sqlite3.connect(str(tmp_path / "threads.db"), timeout=30)
    try:
        for w in range(THREADS):
            rows = check.execute(f"SELECT k, v FROM th{w} ORDER BY k").fetchall()
            assert rows == sorted(expected_after(w, ROUNDS).items())
            assert check.execute(f"SELECT count(*) FROM temp_th{w}").fetchall() == [(0,)]
            names = check.execute(
                "SELECT name FROM sqlite_master WHERE type = 'index' AND tbl_name = ? ORDER BY name", (f"th{w}",)
            ).fetchall()
            assert names == [(f"th{w}_iv",), (f"th{w}_uk",)]
        assert check.execute("SELECT count(*) FROM unique_table").fetchall() == [(THREADS,)]
        assert check.execute("SELECT count(*) FROM index_table").fetchall() == [(2 * THREADS,)]
    finally:
        check.close()


# --------------------------------------- one table, two connections ------
#
# The same interleavings as above, made deterministic: a proxy runs the other
# connection's call at one chosen point of the library's call. The library's
# call holds its lock throughout, so the other call is refused ("database is
# locked") and succeeds when retried afterwards.


def interleaving(real, when, between):
    """Forwards to a real connection; runs `between` once, just before the
    first statement for which `when(sql)` holds."""
    pending = [between]

    def hook(kind, sql):
        if kind == "execute" and pending and when(sql):
            pending.pop()()

    return Proxy(real, hook, transactions=True)


def writes(sql):
    return not sql.lstrip().upper().startswith(("SELECT", "PRAGMA", "BEGIN"))


def main_query(sql):
    return sql.lstrip().upper().startswith("SELECT ROWID") and "temp_s" not in sql


@pytest.fixture
def two(db):
    a = db.connection()
    b = sqlite3.connect(db.address, timeout=0.05)
    nv.create_table(a, "s", ["w", "n"], [{"name": "iw", "cols": "w"}], [])
    yield a, b
    a.close()
    b.close()


def refused(call):
    def attempt():
        with pytest.raises(sqlite3.OperationalError, match="locked"):
            call()

    return attempt


def test_row_staged_during_a_merge_is_not_lost(two):
    merging, staging = two
    nv.insert_temp(merging, "s", [(0, 0)])
    stage = lambda: nv.insert_temp(staging, "s", [(1, 1)])  # noqa: E731
    nv.temp_to_main(interleaving(merging, writes, refused(stage)), "s")
    assert not staging.in_transaction
    stage()
    assert fetch(staging, "SELECT * FROM s") == [(0, 0)]
    assert fetch(staging, "SELECT * FROM temp_s") == [(1, 1)]


def test_find_during_a_merge_shows_each_row_once(two):
    finding, merging = two
    nv.insert_temp(finding, "s", [(0, 0)])
    merge = lambda: nv.temp_to_main(merging, "s")  # noqa: E731
    assert nv.find(interleaving(finding, main_query, refused(merge)), "*", "s", "") == [[0, 0]]
    merge()
    assert nv.find(finding, "*", "s", "") == [[0, 0]]
    assert fetch(finding, "SELECT * FROM s") == [(0, 0)]


def test_stager_and_merger_threads_lose_no_row(tmp_path):
    """One thread stages numbered rows while another merges, each retrying
    on "locked": at the end every row is merged, superseded by a newer row
    of its key, or still staged."""
    db = nv.DB(fresh_name("stage_merge"), str(tmp_path / "sm.db"))
    setup = db.connection()
    nv.create_table(setup, "q", ["k", "seq"], [], [{"name": "uk", "cols": [0]}])
    setup.close()
    batches, per_batch, keys = (60, 20, 700) if FULL else (25, 20, 350)
    done = threading.Event()
    stats = {"retries": 0}

    def stager():
        conn = sqlite3.connect(db.address, timeout=0.01)
        try:
            for b in range(batches):
                rows = [((b * 7 + i * 3) % keys, b * per_batch + i) for i in range(per_batch)]
                retrying(conn, lambda: nv.insert_temp(conn, "q", rows), stats)
        finally:
            done.set()
            conn.close()

    def merger():
        conn = sqlite3.connect(db.address, timeout=0.01)
        try:
            while not done.is_set():
                retrying(conn, lambda: nv.temp_to_main(conn, "q"), stats)
        finally:
            conn.close()

    with ThreadPoolExecutor(2) as pool:
        for f in [pool.submit(merger), pool.submit(stager)]:
            f.result()
    check = db.connection()
    try:
        nv.temp_to_main(check, "q")
        newest = {}
        for b in range(batches):
            for i in range(per_batch):
                newest[(b * 7 + i * 3) % keys] = b * per_batch + i
        assert fetch(check, "SELECT k, seq FROM q ORDER BY k") == sorted(newest.items())
    finally:
        check.close()
