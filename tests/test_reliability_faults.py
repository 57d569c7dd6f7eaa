"""Faults from the connection: cursor(), execute, fetchall or commit failing.

A proxy forwards to a real sqlite3 connection and raises on the k-th call of
one kind. For every k that a merge or a find reaches, the injected exception
must come out unchanged (the same object), nothing may be committed, the
caller's rollback must bring the data back to what it was, and a later merge
on the same database must give the right result.
"""

import os
import subprocess
import sys
import tempfile
from collections import Counter
from pathlib import Path

import pytest
from conftest import Proxy, fetch, fresh_name, index_names, table_rows

import norvane.norvane as nv

KINDS = ("cursor", "execute", "fetchall", "commit")
COLS = ["name", "type", "address", "age"]
MAIN = [("a", "flat", "x", 3), ("b", "flat", "y", 5), ("d", "flat", "w", 1)]
STAGED = [("a", "villa", "x", 4), ("c", "flat", "z", 1), ("a", "shop", "x", 9)]
# After the merge: rule u0 (name, address) supersedes main rowid 1 and drops
# the older staged (a, x); rule u1 (age) supersedes main rowid 3. Survivors go
# in newest first.
MERGED = [(2, "b", "flat", "y", 5), (3, "a", "shop", "x", 9), (4, "c", "flat", "z", 1)]
# A later merge of one more staged row, superseding (b, y).
LATER = [("b", "house", "y", 7)]
MERGED_LATER = [(3, "a", "shop", "x", 9), (4, "c", "flat", "z", 1), (5, "b", "house", "y", 7)]
# find before any merge: staged rows first (newest of each key), then the main
# row nothing supersedes.
FOUND = [["c", "flat", "z", 1], ["a", "shop", "x", 9], ["b", "flat", "y", 5]]


class Fault(Exception):
    pass


class Plan:
    """Counts calls by kind and raises on call number `k` of kind `kind`."""

    def __init__(self, kind=None, k=None):
        self.kind, self.k = kind, k
        self.counts = Counter()
        self.raised = None

    def __call__(self, kind, sql):
        self.counts[kind] += 1
        if kind == self.kind and self.counts[kind] == self.k:
            self.raised = Fault(f"{kind} call {self.k}")
            raise self.raised


def prepare(conn):
    nv.create_table(
        conn,
        "homes",
        list(COLS),
        [{"name": "ix", "cols": "age"}],
        [{"name": "u0", "cols": [0, 2]}, {"name": "u1", "cols": [3]}],
    )
    nv._insert_main(conn, "homes", list(MAIN))
    nv.insert_temp(conn, "homes", list(STAGED))


def data(c):
    """Rows of both tables and of the catalog, with rowids."""
    return {
        t: fetch(c, f"SELECT rowid, * FROM {t} ORDER BY rowid")
        for t in ("homes", "temp_homes", "index_table", "unique_table")
    }


def catalogued(c):
    return sorted(
        f"homes_{name}" for (name,) in fetch(c, "SELECT index_name FROM index_table WHERE table_name = 'homes'")
    )


OPERATIONS = {
    "temp_to_main": lambda conn: nv.temp_to_main(conn, "homes"),
    "find": lambda conn: nv.find(conn, "*", "homes", "order by rowid"),
}


def open_db(directory):
    db = nv.DB(fresh_name("fault"), str(Path(directory) / "faults.db"))
    return db.connection(), db.connection()


def count_calls(operation):
    """How many calls of each kind the operation makes, with nothing failing."""
    with tempfile.TemporaryDirectory() as d:
        conn, other = open_db(d)
        try:
            prepare(conn)
            plan = Plan()
            OPERATIONS[operation](Proxy(conn, plan))
            return plan.counts
        finally:
            conn.close()
            other.close()


CASES = [
    pytest.param(op, kind, k, id=f"{op}-{kind}-{k}")
    for op in OPERATIONS
    for kind, n in sorted(count_calls(op).items())
    for k in range(1, n + 1)
]


@pytest.fixture
def prepared(tmp_path):
    conn, other = open_db(tmp_path)
    prepare(conn)
    yield conn, other
    conn.close()
    other.close()


@pytest.mark.parametrize("operation", OPERATIONS)
def test_every_kind_of_call_is_reached(operation):
    counts = count_calls(operation)
    expected = set(KINDS) if operation == "temp_to_main" else {"cursor", "execute", "fetchall"}
    assert set(counts) == expected


@pytest.mark.parametrize("operation, expected", [("temp_to_main", None), ("find", FOUND)])
def test_proxy_without_faults_behaves_like_the_connection(prepared, operation, expected):
    conn, other = prepared
    result = OPERATIONS[operation](Proxy(conn, Plan()))
    assert result == expected
    if operation == "temp_to_main":
        assert table_rows(other, "homes") == [r[1:] for r in MERGED]
        assert table_rows(other, "temp_homes") == []


@pytest.mark.parametrize("operation, kind, k", CASES)
def test_fault_on_kth_call(prepared, operation, kind, k):
    conn, other = prepared
    before = data(other)
    indexes_before = index_names(other, "homes")
    assert indexes_before == catalogued(other)

    plan = Plan(kind, k)
    with pytest.raises(Fault) as caught:
        OPERATIONS[operation](Proxy(conn, plan))
    assert caught.value is plan.raised

    # Nothing committed: another connection still sees the old data.
    assert data(other) == before
    conn.rollback()
    assert data(conn) == before
    # Indexes dropped before the failure stay dropped (DDL outside a
    # transaction takes effect at once); the catalog still lists them all.
    assert set(index_names(conn, "homes")) <= set(indexes_before)
    assert catalogued(conn) == indexes_before

    # The same database merges correctly afterwards and has its indexes back.
    if operation == "find":
        assert nv.find(conn, "*", "homes", "order by rowid") == FOUND
    nv.temp_to_main(conn, "homes")
    assert table_rows(other, "homes") == [r[1:] for r in MERGED]
    assert fetch(other, "SELECT rowid, * FROM homes ORDER BY rowid") == MERGED
    nv.insert_temp(conn, "homes", list(LATER))
    nv.temp_to_main(conn, "homes")
    assert fetch(other, "SELECT rowid, * FROM homes ORDER BY rowid") == MERGED_LATER
    assert table_rows(other, "temp_homes") == []
    assert index_names(other, "homes") == indexes_before


# ------------------------------------------ a cursor that reuses its list ---
#
# Some connection wrappers hand out one list from fetchall and refill it on the
# next call. Whatever the library keeps from an earlier fetch must stay valid:
# the results must be those of a plain connection, and above all the process
# must not crash. These run in a child process under PYTHONMALLOC=debug, where
# freed memory is overwritten, so that a use after free shows.


def long_text(prefix, i):
    """Values that are objects of their own, freed when their row is."""
    return prefix * 30 + str(i)


DATASETS = {
    "one staged row": ([], [(long_text("k", 0), long_text("v", 0))]),
    "mixed": (
        [(long_text("m", i), long_text("n", i % 3)) for i in range(6)],
        [(long_text("m", i), long_text("q", i)) for i in range(0, 6, 2)],
    ),
}
REUSING_OPERATIONS = {
    "find": lambda c, row: nv.find(c, "*", "r", "order by rowid"),
    "temp_to_main": lambda c, row: nv.temp_to_main(c, "r"),
    "_check_newest_unique": lambda c, row: nv._check_newest_unique(
        c, "r", (0, row[0]), row, {"u": [0], "v": [1]}, ["a", "b"], "rowid,a,b", {(0, row[0])}
    ),
    "active_table_index": lambda c, row: nv.active_table_index(c, "r"),
}


def reusing_outcome(directory, operation, dataset, reusing):
    db = nv.DB(fresh_name("reuse"), str(Path(directory) / f"reuse-{reusing}.db"))
    real = db.connection()
    main, staged = DATASETS[dataset]
    nv.create_table(
        real, "r", ["a", "b"], [{"name": "ib", "cols": "b"}], [{"name": "u", "cols": [0]}, {"name": "v", "cols": [1]}]
    )
    nv._insert_main(real, "r", main)
    nv.insert_temp(real, "r", staged)
    nv.drop_table_index(real, "r")
    last = fetch(real, "SELECT rowid, * FROM r ORDER BY rowid DESC LIMIT 1")
    conn = Proxy(real, reuse=True) if reusing else real
    result = REUSING_OPERATIONS[operation](conn, last[0] if last else (1, None, None))
    return result, data_of(real)


def data_of(c):
    return {t: fetch(c, f"SELECT rowid, * FROM {t} ORDER BY rowid") for t in ("r", "temp_r")}, index_names(c, "r")


def reusing_scenario(operation, dataset, directory):
    """Run in the child: the reusing connection must do what the plain one does."""
    expected = reusing_outcome(directory, operation, dataset, False)
    got = reusing_outcome(directory, operation, dataset, True)
    assert got == expected, (got, expected)
    print("same as a plain connection")


@pytest.mark.parametrize("dataset", DATASETS)
@pytest.mark.parametrize("operation", REUSING_OPERATIONS)
def test_cursor_reusing_its_result_list(tmp_path, operation, dataset):
    code = (
        f"import sys; sys.path.insert(0, {str(Path(__file__).parent)!r}); "
        f"import test_reliability_faults as m; "
        f"m.reusing_scenario({operation!r}, {dataset!r}, {str(tmp_path)!r})"
    )
    env = dict(os.environ, PYTHONMALLOC="debug")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, timeout=120, env=env)
    assert done.returncode == 0, done.stderr.decode()[-3000:]
    assert b"same as a plain connection" in done.stdout
