"""Table.merge, Table.delete_keys and newest_by: the tables they leave,
against the rule written plainly (semantics_model.py), and the cases a
plausible shortcut gets wrong."""

import decimal
import sqlite3

import pytest
from conftest import FastPath
from hypothesis import given, settings
from hypothesis import strategies as st
from semantics_model import current, key_equal

import norvane.norvane as nv
from norvane import Index, MergeReport, Table, Unique
from norvane.catalog import prepare_catalog

VALUES = st.sampled_from([None, 1, 1.0, "1", "a", b"a", 2, 2.5])
RULE_SETS = [[(0,)], [(0,), (1,)], [(0, 1)], [(0, 1), (1,)], [(0,), (1,), (0, 2)]]
NEWEST = [(), (2,), (2, 1)]
COLUMNS = ["a", "b", "c"]


def fresh(rules, newest_by=(), name="t"):
    conn = sqlite3.connect(":memory:")
    prepare_catalog(conn)
    table = Table(conn, name).create(
        COLUMNS,
        unique=[Unique(f"r{i}", list(rule)) for i, rule in enumerate(rules)],
        indexes=[Index("by_c", "c")],
        newest_by=[COLUMNS[p] for p in newest_by],
    )
    return conn, table


def physical(conn, prefix=""):
    return [tuple(row) for row in conn.execute(f"SELECT rowid, * FROM {prefix}t ORDER BY rowid")]


def modelled(conn, rules, newest_by):
    main = [(r[0], r[1:]) for r in physical(conn)]
    staged = [(r[0], r[1:]) for r in physical(conn, "temp_")]
    return current(main, staged, rules, newest_by)


OPS = st.lists(
    st.one_of(
        st.tuples(st.just("stage"), st.lists(st.tuples(VALUES, VALUES, VALUES), max_size=5)),
        st.tuples(st.just("behind"), st.lists(st.tuples(VALUES, VALUES, VALUES), max_size=3)),
        st.tuples(st.just("merge")),
        st.tuples(st.just("delete"), st.integers(0, 2), st.lists(st.tuples(VALUES, VALUES, VALUES), max_size=3)),
    ),
    max_size=8,
)


@settings(max_examples=250, deadline=None)
@given(rules=st.sampled_from(RULE_SETS), newest_by=st.sampled_from(NEWEST), ops=OPS)
def test_merge_and_delete_keys_leave_what_the_sequence_leaves(rules, newest_by, ops):
    conn, table = fresh(rules, newest_by)
    for op in ops:
        rows, stale, superseded = modelled(conn, rules, newest_by)
        if op[0] == "stage" and op[1]:
            table.stage(op[1])
        elif op[0] == "behind" and op[1]:  # main rows written behind the rules' back
            conn.executemany("INSERT INTO t VALUES (?, ?, ?)", op[1])
            conn.commit()
        elif op[0] == "merge":
            main_before = physical(conn)
            report = table.merge()
            kept = [values for origin, _, values in rows]
            assert [r[1:] for r in physical(conn)] == kept
            assert physical(conn, "temp_") == []
            kept_main = [r for r in main_before if ("main", r[0], r[1:]) in rows]
            assert physical(conn)[: len(kept_main)] == kept_main  # current main rows keep their rowids
            inserted = sum(origin == "staged" for origin, _, _ in rows)
            assert report == MergeReport(
                inserted + stale + superseded, inserted, len(main_before) - len(kept_main), superseded, stale
            )
        elif op[0] == "delete":
            rule = rules[op[1] % len(rules)]
            keys = [tuple(k[p] for p in rule) for k in op[2]]
            gone = [r for r in rows if any(all(key_equal(r[2][p], k[i]) for i, p in enumerate(rule)) for k in keys)]
            removed = table.delete_keys(f"r{op[1] % len(rules)}", keys)
            assert removed == len(gone)
            left = [r for r in rows if r not in gone]
            assert physical(conn) == sorted((rowid, *v) for o, rowid, v in left if o == "main")
            assert physical(conn, "temp_") == sorted((rowid, *v) for o, rowid, v in left if o == "staged")


def test_four_rows_with_null_keys_all_stay(conn):
    devices = Table(conn, "devices").create(
        ["serial", "site", "slot"], unique=[Unique("serial", "serial"), Unique("place", ["site", "slot"])]
    )
    rows = [("A", None, None), ("B", None, None), ("C", "x", None), ("D", "x", None)]
    devices.stage(rows)
    assert devices.merge() == MergeReport(4, 4, 0, 0, 0)
    assert conn.execute("SELECT rowid, * FROM devices").fetchall() == [(n + 1, *row) for n, row in enumerate(rows)]
    # As SQLite's own INSERT OR REPLACE into UNIQUE indexes leaves them.
    conn.execute("CREATE TABLE peer (serial UNIQUE, site, slot, UNIQUE (site, slot))")
    conn.executemany("INSERT OR REPLACE INTO peer VALUES (?, ?, ?)", rows)
    assert (
        conn.execute("SELECT rowid, * FROM peer").fetchall() == conn.execute("SELECT rowid, * FROM devices").fetchall()
    )


def test_drops_follow_the_sequence(conn):
    t = Table(conn, "t").create(["a", "b", "ts"], unique=[Unique("a", "a"), Unique("b", "b")], newest_by="ts")
    conn.execute("INSERT INTO t VALUES (1, NULL, 10)")
    t.stage([(1, 1, 5), (None, 1, 1)])
    assert t.merge() == MergeReport(2, 1, 0, 0, 1)
    assert conn.execute("SELECT * FROM t").fetchall() == [(1, None, 10), (None, 1, 1)]
    # Without the main row, the first staged row stands and beats the second.
    t.stage([(7, 7, 5), (None, 7, 1)])
    assert t.merge() == MergeReport(2, 1, 0, 0, 1)
    assert conn.execute("SELECT * FROM t WHERE b = 7").fetchall() == [(7, 7, 5)]


def test_newest_by_ties_go_to_the_staged_row_and_null_is_lowest(conn):
    t = Table(conn, "t").create(["k", "ts", "v"], unique=[Unique("k", "k")], newest_by=["ts"])
    t.stage([("a", 5, "first"), ("b", None, "first"), ("c", 3, "first")])
    t.merge()
    t.stage([("a", 5, "tie"), ("b", None, "null tie"), ("c", None, "null is older")])
    assert t.merge() == MergeReport(3, 2, 2, 0, 1)
    assert conn.execute("SELECT * FROM t ORDER BY k").fetchall() == [
        ("a", 5, "tie"),
        ("b", None, "null tie"),
        ("c", 3, "first"),
    ]


def test_lowercasing_text_factory_changes_nothing_the_merge_decides(conn):
    t = Table(conn, "t").create(["k", "v"], unique=[Unique("by_k", "k")])
    t.stage([("A", 1), ("a", 2), ("A", 3)])
    conn.text_factory = lambda b: b.decode().lower()
    conn.row_factory = sqlite3.Row
    assert t.merge() == MergeReport(3, 2, 0, 1, 0)
    conn.text_factory = str
    assert [tuple(r) for r in conn.execute("SELECT * FROM t")] == [("a", 2), ("A", 3)]


# -------------------------------------------------------------- newest_by --


def test_newest_by_is_stored_with_the_table(conn):
    t = Table(conn, "t").create(["k", "ts"], unique=[Unique("k", "k")], newest_by=["TS"])
    assert t.newest_by() == ("ts",)
    t.create(["k", "ts"], unique=[Unique("k", "k")], replace=True)
    assert t.newest_by() == ()
    t.create(["k", "ts", "u"], newest_by=("u", "ts"), replace=True)
    assert t.newest_by() == ("u", "ts")
    t.drop()
    nv.create_table(conn, "t", ["k", "ts", "u"], [], [])  # made again by other means: inherits nothing
    assert Table(conn, "t").newest_by() == ()


@pytest.mark.parametrize(
    "newest_by, error", [(["nope"], ValueError), (["k", "K"], ValueError), ([1], TypeError), (b"k", TypeError)]
)
def test_bad_newest_by_creates_nothing(conn, newest_by, error):
    with pytest.raises(error):
        Table(conn, "t").create(["k", "ts"], newest_by=newest_by)
    assert not Table(conn, "t").exists()


def test_create_with_newest_by_is_one_transaction(conn):
    t = Table(conn, "t")
    t.create(["k", "ts"], newest_by="ts", commit=False)
    conn.rollback()
    assert not t.exists()


# ------------------------------------------------------------ delete_keys --


def two_rules(conn, newest_by=()):
    return Table(conn, "t").create(
        ["c0", "c1", "ts"], unique=[Unique("c0", "c0"), Unique("c1", "c1")], newest_by=newest_by
    )


def test_delete_keys_removes_what_the_superseding_row_replaced(conn):
    t = two_rules(conn)
    t.stage([(3, 3, 0), (3, 2, 0)])
    assert t.delete_keys("c1", [2]) == 1
    assert t.count_staged() == t.count_main() == 0
    assert t.merge() == MergeReport(0, 0, 0, 0, 0)
    assert conn.execute("SELECT count(*) FROM t").fetchone() == (0,)


def test_delete_keys_leaves_no_hidden_main_row_behind(conn):
    t = two_rules(conn)
    t.stage([(1, 1, 0)])
    t.merge()
    t.stage([(1, 2, 0)])  # hides the main row through c0
    assert t.delete_keys("c1", [(2,)]) == 1
    t.merge()
    assert conn.execute("SELECT * FROM t").fetchall() == []
    assert nv.find(conn, "*", "t", "") == []


def test_delete_keys_never_revives_a_stale_row(conn):
    t = Table(conn, "t").create(["a", "b", "ts"], unique=[Unique("a", "a"), Unique("b", "b")], newest_by="ts")
    conn.execute("INSERT INTO t VALUES (1, 2, 10)")
    t.stage([(1, 3, 5)])  # stale: the main row is newer
    assert t.delete_keys("b", [2]) == 1
    assert t.count_staged() == 0
    assert t.merge() == MergeReport(0, 0, 0, 0, 0)
    assert conn.execute("SELECT count(*) FROM t").fetchone() == (0,)
    t.stage([(1, 3, 5)])  # staged after the delete: a new row
    assert t.merge().inserted == 1


def test_delete_keys_matches_as_a_unique_index_compares(conn):
    t = Table(conn, "t").create(["k", "v"], unique=[Unique("k", "k")])
    t.stage(
        [
            (1, "int"),
            ("1", "text"),
            (None, "null"),
            (b"\x00\xff", "blob"),
            (float("inf"), "inf"),
            ("2020-01-02", "date"),
            (1, "again"),
        ]
    )
    assert t.delete_keys("k", [1.0, None, b"\x00\xff", float("inf")]) == 3
    assert sorted(r[1] for r in conn.execute("SELECT * FROM temp_t")) == ["date", "null", "text"]
    import datetime

    assert t.delete_keys("k", [(datetime.date(2020, 1, 2),), True]) == 1  # converted as parameters are
    assert t.delete_keys("k", [decimal.Decimal("1")]) == 1
    assert sorted(r[1] for r in conn.execute("SELECT * FROM temp_t")) == ["null"]


@pytest.mark.parametrize(
    "keys, error, message",
    [
        ("abc", TypeError, "keys must be"),
        (b"ab", TypeError, "keys must be"),
        ({"c0": 1}, TypeError, "keys must be"),
        (5, TypeError, "keys must be"),
        ([(1, 2)], ValueError, "has 2 values"),
        ([{1}], TypeError, "cannot store"),
        ([float("nan")], ValueError, "NaN"),
        ([2**64], ValueError, "64-bit"),
    ],
)
def test_bad_keys_delete_nothing(conn, keys, error, message):
    t = two_rules(conn)
    t.stage([(1, 1, 0), (1, 2, 0)])
    with pytest.raises(error, match=message):
        t.delete_keys("c0", keys)
    assert t.count_staged() == 2
    with pytest.raises(ValueError, match="no rule 'nope'"):
        t.delete_keys("nope", [1])
    with pytest.raises(TypeError, match="rule must be"):
        t.delete_keys(0, [1])  # type: ignore[arg-type]
    assert t.count_staged() == 2 and not conn.in_transaction


def test_delete_keys_takes_a_frame_as_an_error(conn):
    pandas = pytest.importorskip("pandas")
    t = two_rules(conn)
    with pytest.raises(TypeError, match="keys must be"):
        t.delete_keys("c0", pandas.DataFrame({"c0": [1]}))


def test_delete_keys_is_refused_while_an_iterator_is_open(conn):
    t = two_rules(conn)
    t.stage([(1, 1, 0)])
    rows = t.iter()
    next(rows)
    with pytest.raises(sqlite3.ProgrammingError):
        t.delete_keys("c0", [1])
    rows.close()
    assert t.delete_keys("c0", [1]) == 1


def test_delete_keys_inside_a_transaction_is_all_or_nothing(conn):
    t = two_rules(conn)
    t.stage([(1, 1, 0), (2, 2, 0)])
    conn.execute("BEGIN")
    assert t.delete_keys("c0", [1], commit=False) == 1
    conn.rollback()
    assert t.count_staged() == 2


# ------------------------------------------------------------- observers --


@pytest.mark.parametrize(
    "observer",
    [
        "CREATE TRIGGER seen AFTER DELETE ON t BEGIN SELECT 1; END",
        "CREATE TRIGGER seen AFTER INSERT ON temp_t BEGIN SELECT 1; END",
        "CREATE TABLE child (x REFERENCES t(c0))",
    ],
)
def test_triggers_and_foreign_keys_are_refused_before_any_write(conn, observer):
    t = two_rules(conn)
    t.stage([(1, 1, 0)])
    t.merge()
    t.stage([(1, 2, 0)])
    conn.execute(observer)
    conn.commit()
    before = (conn.execute("SELECT rowid, * FROM t").fetchall(), conn.execute("SELECT rowid, * FROM temp_t").fetchall())
    for call in (t.merge, lambda: t.delete_keys("c0", [1])):
        with pytest.raises(sqlite3.NotSupportedError, match="trigger|foreign key"):
            call()
        assert not conn.in_transaction
        assert (
            conn.execute("SELECT rowid, * FROM t").fetchall(),
            conn.execute("SELECT rowid, * FROM temp_t").fetchall(),
        ) == before


def test_a_failing_progress_changes_nothing(conn):
    t = Table(conn, "t").create(["k", "ts"], unique=[Unique("k", "k")], newest_by="ts")
    t.stage([(n % 1500, n) for n in range(3000)])
    t.merge()
    t.stage([(n % 2500, n) for n in range(3000)])
    before = (conn.execute("SELECT rowid, * FROM t").fetchall(), conn.execute("SELECT rowid, * FROM temp_t").fetchall())

    def stop(done, total):
        raise KeyboardInterrupt

    for in_transaction in (False, True):
        if in_transaction:
            conn.execute("BEGIN")
        with pytest.raises(KeyboardInterrupt):
            t.merge(progress=stop, commit=False)
        assert conn.in_transaction == in_transaction
        assert (
            conn.execute("SELECT rowid, * FROM t").fetchall(),
            conn.execute("SELECT rowid, * FROM temp_t").fetchall(),
        ) == before
    conn.rollback()
    assert t.merge().staged == 3000


# Every batch is large enough (the bound is lowered to one row), every rule
# set has a rule and the indexes are always rebuilt: the whole batch moves
# in every example.
WHOLE = FastPath()


@WHOLE.share(1.0)
@settings(max_examples=40, deadline=None)
@given(
    rules=st.sampled_from(RULE_SETS),
    main=st.lists(st.tuples(VALUES, VALUES, VALUES), max_size=10),
    staged=st.lists(st.tuples(VALUES, VALUES, VALUES), min_size=1, max_size=30),
)
def test_a_large_batch_moved_whole_leaves_what_the_sorted_path_leaves(rules, main, staged):
    """A large batch goes in whole and loses its superseded rows through the
    rebuilt indexes; rows and report are those of the path that moves only
    the current rows (rowids may skip where a superseded row was)."""
    from norvane import _traced
    from norvane.call_options import CallOptions

    outcomes = []
    for path in ("auto", "sorted"):
        conn, table = fresh(rules)
        conn.executemany("INSERT INTO t VALUES (?, ?, ?)", main)
        table.stage(staged)
        # kept indexes leave one way only
        report, moved = _traced.merge(table, CallOptions(bulk_path=path, bulk_rows=1, index_policy="rebuild"))
        if path == "auto":
            WHOLE.count(moved == "whole")
        else:
            assert moved == "current"
        outcomes.append((report, [r[1:] for r in physical(conn)], physical(conn, "temp_")))
        assert sorted(
            name for (name,) in conn.execute("SELECT name FROM sqlite_master WHERE type = 'index'")
        ) == sorted(["t_by_c", *(f"t_r{i}" for i in range(len(rules)))])
    assert outcomes[0] == outcomes[1]
