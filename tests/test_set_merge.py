"""Merge in sets: the few-statement merge ends exactly where one statement per row ends."""

import signal
import sqlite3

import pytest
from conftest import FastPath
from hypothesis import given, settings
from hypothesis import strategies as st

import norvane.norvane as nv
from norvane import _native

TABLE = "t"
ODD = [None, "typed", "collate", "staging_differs", "trigger", "bad_position", "lowercase", "adapter", "replaced"]

values = st.one_of(
    st.none(), st.integers(0, 3), st.sampled_from([3.0, "3", b"3", "x", "X", 2**53 + 1, float(2**53), -0.0, 1.5])
)


@st.composite
def scenarios(draw):
    width = draw(st.integers(2, 4))
    cols = [f"c{i}" for i in range(width)]
    column = st.sampled_from(cols)
    rules = draw(st.lists(st.lists(st.integers(0, width - 1), min_size=1, max_size=2), max_size=3))
    row = st.tuples(*[values] * width)
    return {
        "cols": cols,
        "rules": rules,
        "indexes": draw(
            st.dictionaries(
                st.sampled_from(["i0", "i1"]),
                st.lists(column, min_size=1, max_size=2, unique=True).map(",".join),
                max_size=2,
            )
        ),
        "main": draw(st.lists(row, max_size=20)),
        "staged": draw(st.lists(row, max_size=20)),
        "behind": draw(st.lists(row, max_size=5)),  # through _insert_main, past the rules
        "odd": draw(st.sampled_from(ODD)),
        "analyze": draw(st.booleans()),
        "plain_index": draw(st.none() | column),
        "caller_transaction": draw(st.booleans()),
    }


def build(s):
    conn = sqlite3.connect(":memory:")
    _native.prepare_catalog(conn)
    cols, odd = s["cols"], s["odd"]
    rules = [{"name": f"r{n}", "cols": p} for n, p in enumerate(s["rules"])]
    nv.create_table(conn, TABLE, cols, [{"name": n, "cols": c} for n, c in s["indexes"].items()], rules)
    if odd in ("typed", "collate"):
        decl = "INTEGER" if odd == "typed" else "COLLATE NOCASE"
        for name in (TABLE, f"temp_{TABLE}"):
            conn.execute(f"DROP TABLE {name}")
            conn.execute(f"CREATE TABLE {name} ({cols[0]} {decl}, {','.join(cols[1:])})")
    if odd == "staging_differs":
        conn.execute(f"DROP TABLE temp_{TABLE}")
        conn.execute(f"CREATE TABLE temp_{TABLE} ({','.join(reversed(cols))})")
    if odd == "trigger":
        conn.execute("CREATE TABLE log (x)")
        conn.execute(
            f"CREATE TRIGGER tr AFTER INSERT ON {TABLE} BEGIN INSERT INTO log SELECT count(*) FROM {TABLE}; END"
        )
    if odd == "bad_position":
        conn.execute("INSERT INTO unique_table VALUES (?,?,?,?)", (TABLE, "bad", "x", str(len(cols))))
    marks = ",".join("?" * len(cols))
    conn.executemany(f"INSERT INTO {TABLE} VALUES ({marks})", s["main"])
    nv._insert_main(conn, TABLE, s["behind"])
    conn.executemany(f"INSERT INTO temp_{TABLE} VALUES ({marks})", s["staged"])
    if s["plain_index"]:
        conn.execute(f"CREATE INDEX by_hand ON {TABLE} ({s['plain_index']})")
    if s["analyze"]:
        conn.execute("ANALYZE")
    conn.commit()
    return conn


def copy(conn, s):
    twin = sqlite3.connect(":memory:")
    conn.backup(twin)
    if s["odd"] == "lowercase":
        twin.text_factory = lambda b: b.decode().lower()
    if s["caller_transaction"]:
        twin.execute("BEGIN")
    return twin


def end_state(conn):
    tables = [r[0] for r in conn.execute("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name")]
    return {
        "schema": conn.execute("SELECT type, name, tbl_name, sql FROM sqlite_master ORDER BY rowid").fetchall(),
        "rows": {t: conn.execute(f"SELECT rowid, * FROM {t} ORDER BY rowid").fetchall() for t in tables},
        "in_transaction": conn.in_transaction,
    }


def merged(conn, path, s, taken=None):
    """The merge's outcome, end state and calls of a replaced _insert_main;
    `taken` (a list) gets the path the merge took."""
    calls = []
    original = nv._insert_main
    if s["odd"] == "replaced":

        def recording(conn, table, rows, comm=True):
            calls.append(list(rows))
            return original(conn, table, rows, comm)

        nv._insert_main = recording
    if s["odd"] == "adapter":
        sqlite3.register_adapter(int, lambda v: v + 1)
    try:
        taken_path, *counts = _native.traced_merge(
            conn, TABLE, True, None, 0, path, "auto"
        )  # temp_to_main, telling its counts
        if taken is not None:
            taken.append(taken_path)
    except Exception as exc:  # noqa: BLE001 - the type is what gets compared
        return type(exc), end_state(conn), calls
    finally:
        sqlite3.adapters.pop((int, sqlite3.PrepareProtocol), None)
        nv._insert_main = original
    return tuple(counts), end_state(conn), calls


# The merge runs in sets wherever no odd case forbids it: one of ODD's nine.
SETS = FastPath()


@SETS.share(0.1)
@settings(max_examples=300, deadline=None)
@given(scenarios())
def test_sets_end_where_statements_end(s):
    original = build(s)
    by_statements = merged(copy(original, s), "statements", s)
    taken = []
    in_sets = merged(copy(original, s), "auto", s, taken)
    assert in_sets == by_statements
    # The plain cases really ran in sets; every odd one fell back.
    plain = s["odd"] is None
    failed = isinstance(in_sets[0], type)  # a merge that raised tells no path
    assert taken == ([] if failed else ["sets" if plain else "statements"])
    SETS.count(taken == ["sets"])


def homes(conn, staged=20):
    _native.prepare_catalog(conn)
    nv.create_table(
        conn,
        "homes",
        ["name", "kind", "place", "age"],
        [{"name": "age", "cols": "age"}],
        [{"name": "code", "cols": [0]}, {"name": "at", "cols": [1, 2]}],
    )
    conn.executemany("INSERT INTO homes VALUES (?,?,?,?)", [(f"n{i}", i % 7, i % 5, i) for i in range(50)])
    conn.executemany(
        "INSERT INTO temp_homes VALUES (?,?,?,?)", [(f"n{i * 3}", i % 11, i % 5, -i) for i in range(staged)]
    )
    conn.commit()


def snapshot(conn):
    return end_state(conn)


def test_a_few_statements_whatever_the_rows():
    counts = {}
    for staged in (10, 2000):
        conn = sqlite3.connect(":memory:")
        homes(conn, staged)
        statements = []
        conn.set_trace_callback(statements.append)
        taken = _native.traced_merge(conn, "homes", True, None, 0, "auto", "auto")[0]
        conn.set_trace_callback(None)
        assert taken == "sets"
        counts[staged] = len(statements)
    assert max(counts.values()) <= 30


@pytest.mark.parametrize("step", range(1, 7))
def test_a_failure_between_statements_leaves_nothing_half_done(step):
    conn = sqlite3.connect(":memory:")
    homes(conn)
    before = snapshot(conn)
    with pytest.raises(RuntimeError, match="injected"):
        _native.traced_merge(conn, "homes", True, None, step, "auto", "auto")
    assert snapshot(conn) == before
    conn.execute("BEGIN")  # inside the caller's transaction its rollback undoes it all
    with pytest.raises(RuntimeError, match="injected"):
        _native.traced_merge(conn, "homes", True, None, step, "auto", "auto")
    conn.rollback()
    assert snapshot(conn) == before
    twin = sqlite3.connect(":memory:")
    conn.backup(twin)
    nv.temp_to_main(conn, "homes")
    _native.traced_merge(twin, "homes", True, None, 0, "statements", "auto")
    assert snapshot(conn) == snapshot(twin)


@pytest.mark.serial  # a timer signal: kept off a busy parallel worker
def test_ctrl_c_during_a_long_statement_leaves_the_tables_as_they_were():
    conn = sqlite3.connect(":memory:")
    homes(conn, staged=0)
    conn.executemany("INSERT INTO temp_homes VALUES (?,?,?,?)", ((f"s{i}", i % 13, i % 17, i) for i in range(300_000)))
    conn.commit()
    before = conn.execute("SELECT count(*) FROM temp_homes").fetchone()

    def interrupt(signum, frame):
        signal.setitimer(signal.ITIMER_REAL, 0)
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05, 0.05)
        with pytest.raises(KeyboardInterrupt):
            nv.temp_to_main(conn, "homes")
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert not conn.in_transaction
    assert conn.execute("SELECT count(*) FROM temp_homes").fetchone() == before
    assert conn.execute("SELECT count(*) FROM homes").fetchone() == (50,)


def test_progress_is_told_per_statement_step():
    conn = sqlite3.connect(":memory:")
    homes(conn, staged=6000)
    heard = []
    taken, *counts = _native.traced_merge(
        conn, "homes", True, lambda done, total: heard.append((done, total)), 0, "auto", "auto"
    )
    assert taken == "sets"
    assert heard == [(1000 * step, 6000) for step in range(1, 7)]
    staged, inserted, replaced, superseded = counts
    assert (staged, inserted + superseded) == (6000, 6000)
    assert conn.execute("SELECT count(*) FROM homes").fetchone() == (50 - replaced + inserted,)


@pytest.mark.parametrize("path", ["sets", "statements"])
def test_a_rebuild_from_the_catalog_read_with_the_counts_fails_as_the_module_function_does(path):
    """The catalogued indexes come with the merge's counts; an entry the
    rebuild cannot create fails the merge as active_table_index would, with
    its traceback entry, and rolls everything back."""
    import traceback

    conn = sqlite3.connect(":memory:")
    _native.prepare_catalog(conn)
    nv.create_table(conn, TABLE, ["a", "b"], [{"name": "i", "cols": "b"}], [{"name": "r", "cols": [0]}])
    nv.insert_temp(conn, TABLE, [(1, 2), (1, 3), (2, 4)])
    conn.execute("INSERT INTO index_table VALUES (?, 'gone', 'no_such_column')", (TABLE,))
    conn.commit()
    before = conn.execute(f"SELECT * FROM temp_{TABLE}").fetchall()
    forced = "statements" if path == "statements" else "auto"
    with pytest.raises(sqlite3.OperationalError, match="no such column") as raised:
        _native.traced_merge(conn, TABLE, True, None, 0, forced, "auto")
    frames = [frame.name for frame in traceback.extract_tb(raised.value.__traceback__)]
    assert "norvane.norvane.active_table_index" in frames
    assert conn.execute(f"SELECT * FROM temp_{TABLE}").fetchall() == before
    assert conn.execute(f"SELECT count(*) FROM {TABLE}").fetchone() == (0,)
    conn.execute("DELETE FROM index_table WHERE index_name = 'gone'")
    assert _native.traced_merge(conn, TABLE, True, None, 0, forced, "auto")[0] == path
