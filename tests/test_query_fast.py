"""find on the host's own connection answers from components of the rows; a
thin wrapper connection shows the statement-by-statement walk. Both must give
the same list, or the same exception, for every database and query."""
import sqlite3

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import norvane.norvane as nv
from norvane import _native
from conftest import fetch

COLS = ["c0", "c1", "c2", "tag"]


class Wrapped:
    """Forwards cursor() to a host connection: find then walks statement by statement."""

    def __init__(self, conn):
        self._conn = conn

    def cursor(self):
        return self._conn.cursor()


def outcome(call):
    try:
        rows = call()
    except Exception as exc:  # noqa: BLE001 - the exception itself is compared
        return ("raised", type(exc), str(exc))
    return [[(type(v), v) for v in row] for row in rows]  # 1 and 1.0 differ here


def both(conn, select, table, conditions):
    fast = outcome(lambda: nv.find(conn, select, table, conditions))
    walk = outcome(lambda: nv.find(Wrapped(conn), select, table, conditions))
    return fast, walk


def build(conn, decls, rules, main, staged, indexed, table="t"):
    """Tables declared by hand (types, collations), rules straight into the catalog."""
    conn.execute(f"DROP TABLE IF EXISTS {table}")
    conn.execute(f"DROP TABLE IF EXISTS temp_{table}")
    conn.execute("DELETE FROM unique_table WHERE table_name = ?", (table,))
    main_cols = ", ".join(f"{c} {d}" for c, d in zip(COLS, decls[0]))
    staged_cols = ", ".join(f"{c} {d}" for c, d in zip(COLS, decls[1]))
    conn.execute(f"CREATE TABLE {table} ({main_cols})")
    conn.execute(f"CREATE TABLE temp_{table} ({staged_cols})")
    for k, positions in enumerate(rules):
        conn.execute("INSERT INTO unique_table VALUES (?, ?, ?, ?)",
                     (table, f"u{k}", "", ",".join(map(str, positions))))
        if indexed and all(0 <= p < len(COLS) for p in positions):
            conn.execute(f"CREATE INDEX {table}_u{k} ON {table} ({','.join(COLS[p] for p in positions)})")
    conn.executemany(f"INSERT INTO {table} VALUES (?, ?, ?, ?)", main)
    conn.executemany(f"INSERT INTO temp_{table} VALUES (?, ?, ?, ?)", staged)
    conn.commit()


VALUES = [None, 0, 1, 2, 1.0, 2.0, 0.5, "1", "2", "a", "A", b"1", b"a",
          2**53 + 1, float(2**53), -(2**63), 2**63 - 1]
TYPES = ["", "", "", "INTEGER", "REAL", "TEXT", "NUMERIC", "BLOB", "TEXT COLLATE NOCASE"]
CONDITIONS = [
    "", "", "WHERE c0 IS NOT NULL", "WHERE c1 = 1 ORDER BY rowid DESC", "ORDER BY c2 DESC, rowid",
    "ORDER BY rowid DESC LIMIT 2", "WHERE rowid > 2", "WHERE rowid % 2 = 0 ORDER BY rowid DESC LIMIT 3",
    "LIMIT 3 OFFSET 1", "WHERE c0 = c1 OR c2 = '1'", "GROUP BY c0",
    "WHERE 1 UNION ALL SELECT rowid + 50, c0, c2, c1, tag FROM t", "WHERE nope = 1",
    "WHERE c0 IN (SELECT c1 FROM temp_t) ORDER BY tag DESC",
]


@st.composite
def databases(draw):
    value = st.sampled_from(VALUES)
    row = st.tuples(value, value, value)
    decl = st.sampled_from(TYPES) if draw(st.booleans()) else st.just("")
    main_decls = [draw(decl) for _ in range(3)] + [""]
    same = draw(st.integers(0, 4)) > 0
    staged_decls = main_decls if same else [draw(decl) for _ in range(3)] + [""]
    positions = st.lists(st.integers(0, 2), min_size=1, max_size=3, unique=True)
    rules = draw(st.lists(positions, min_size=1, max_size=3))
    if draw(st.integers(0, 19)) == 0:
        rules.append([draw(st.sampled_from([-1, -4, 3, 4]))])
    main = draw(st.lists(row, max_size=12))
    staged = draw(st.lists(row, max_size=8))
    main = [r + (f"m{i}",) for i, r in enumerate(main)]
    staged = [r + (f"s{i}",) for i, r in enumerate(staged)]
    return ((main_decls, staged_decls), rules, main, staged, draw(st.booleans()))


@pytest.fixture(scope="module")
def shared(tmp_path_factory):
    db = nv.DB("fast_find_shared", str(tmp_path_factory.mktemp("fast") / "f.db"))
    conn = db.connection()
    yield conn
    conn.close()


@pytest.fixture
def plan():
    yield _native.find_plan
    _native.find_plan("automatic")


@settings(max_examples=400, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
@given(databases(), st.sampled_from(CONDITIONS), st.sampled_from(["*", "tag,c0,c0", "c1,tag,c1"]),
       st.sampled_from(["automatic", "lookups", "grouped", "scan"]))
def test_fast_find_gives_what_the_walk_gives(shared, plan, database, conditions, select, how):
    decls, rules, main, staged, indexed = database
    build(shared, decls, rules, main, staged, indexed)
    plan(how)
    fast, walk = both(shared, select, "t", conditions)
    assert fast == walk
