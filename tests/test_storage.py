"""Row storage: staging and main inserts, deletion by rowid, and the temp-to-main merge."""

import sqlite3

import newest_model
import pytest
from conftest import Proxy, fetch, fresh_name, index_names, table_rows
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import norvane.norvane as nv
from norvane import _native

HOMES = ["name", "type", "address", "age"]


def make_table(conn, cols, rules=(), index=(), main=(), staged=()):
    """A committed managed table, rows written with plain SQL."""
    t = fresh_name("t")
    nv.create_table(conn, t, list(cols), [dict(i) for i in index], [{"name": n, "cols": list(p)} for n, p in rules])
    marks = ",".join("?" * len(cols))
    conn.executemany(f"INSERT INTO {t} VALUES ({marks})", main)
    conn.executemany(f"INSERT INTO temp_{t} VALUES ({marks})", staged)
    conn.commit()
    return t


def state(c, t):
    return table_rows(c, t), table_rows(c, f"temp_{t}")


INSERTERS = {"insert_temp": lambda t: f"temp_{t}", "_insert_main": lambda t: t}


# --- insert_temp / _insert_main ------------------------------------------------


@pytest.mark.parametrize("fn", INSERTERS)
@pytest.mark.parametrize("later, supplied", [((7, 8), 2), ((7, 8, 9, 10), 4)])
def test_placeholders_come_from_the_first_row(conn, fn, later, supplied):
    t = make_table(conn, ["a", "b", "c"])
    with pytest.raises(sqlite3.ProgrammingError, match=f"uses 3, and there are {supplied}"):
        getattr(nv, fn)(conn, t, [(1, 2, 3), later])
    # the call opened its own transaction and rolled all of it back
    assert table_rows(conn, INSERTERS[fn](t)) == []
    assert not conn.in_transaction


@pytest.mark.parametrize("fn", INSERTERS)
@pytest.mark.parametrize(
    "ncols, first, exc, match",
    [
        (1, (), sqlite3.ProgrammingError, "uses 1, and there are 0"),
        (1, [5], None, None),
        (3, (5,), sqlite3.OperationalError, "3 columns but 1 values"),
        (4, (1, 2, 3), sqlite3.OperationalError, "4 columns but 3 values"),
    ],
)
def test_first_row_of_one_or_no_value_gives_one_placeholder(conn, fn, ncols, first, exc, match):
    t = make_table(conn, [f"c{i}" for i in range(ncols)])
    if exc is None:
        getattr(nv, fn)(conn, t, [first])
        assert table_rows(conn, INSERTERS[fn](t)) == [tuple(first)]
    else:
        with pytest.raises(exc, match=match):
            getattr(nv, fn)(conn, t, [first])
        assert table_rows(conn, INSERTERS[fn](t)) == []


@pytest.mark.parametrize("rows", [[], ()])
def test_empty_rows_neither_write_nor_commit(conn, rows):
    t = make_table(conn, ["a"])
    staging = Proxy(conn)
    nv.insert_temp(staging, t, rows, comm=True)
    assert (staging.counts["cursor"], staging.counts["commit"]) == (0, 0)
    main = Proxy(conn)
    nv._insert_main(main, t, rows, comm=True)
    assert (main.counts["cursor"], main.counts["commit"]) == (1, 0)
    assert state(conn, t) == ([], [])


@pytest.mark.parametrize("fn", INSERTERS)
def test_short_row_mid_batch_keeps_earlier_rows_uncommitted(conn, other, fn):
    t = make_table(conn, ["a", "b", "c"])
    proxy = Proxy(conn)
    with pytest.raises(sqlite3.ProgrammingError):
        getattr(nv, fn)(proxy, t, [(1, 2, 3), (4, 5, 6), (7, 8), (9, 10, 11)])
    assert proxy.counts["commit"] == 0
    assert conn.in_transaction
    assert table_rows(conn, INSERTERS[fn](t)) == [(1, 2, 3), (4, 5, 6)]
    assert table_rows(other, INSERTERS[fn](t)) == []


@pytest.mark.parametrize("fn", INSERTERS)
def test_each_row_may_be_any_finite_iterable(conn, other, fn):
    t = make_table(conn, ["a", "b", "c"])
    rows = [
        (1, 2, 3),
        [4, 5, 6],
        (v for v in (7, 8, 9)),
        range(10, 13),
        "abc",
        {"x": 0, "y": 0, "z": 0},
        iter([None, 1.5, b"\x00"]),
    ]
    getattr(nv, fn)(conn, t, tuple(rows))
    expected = [(1, 2, 3), (4, 5, 6), (7, 8, 9), (10, 11, 12), ("a", "b", "c"), ("x", "y", "z"), (None, 1.5, b"\x00")]
    assert table_rows(other, INSERTERS[fn](t)) == expected


@pytest.mark.parametrize("fn", INSERTERS)
@pytest.mark.parametrize(
    "rows",
    [
        lambda: [(v for v in (1, 2, 3))],  # first row without a length
        lambda: ((1, 2, 3) for _ in range(2)),  # rows without a length
    ],
    ids=["first-row-generator", "rows-generator"],
)
def test_rows_and_first_row_need_a_length(conn, fn, rows):
    t = make_table(conn, ["a", "b", "c"])
    with pytest.raises(TypeError):
        getattr(nv, fn)(conn, t, rows())
    assert state(conn, t) == ([], [])


class Name:
    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


def test_insert_temp_takes_the_text_form_of_the_table(conn):
    t = make_table(conn, ["a"])
    nv.insert_temp(conn, Name(t), [(1,)])
    assert state(conn, t) == ([], [(1,)])


@pytest.mark.parametrize("table", [lambda t: 5, lambda t: None, Name], ids=["int", "none", "str-able"])
def test_insert_main_needs_a_str_table(conn, table):
    t = make_table(conn, ["a"])
    with pytest.raises(TypeError):
        nv._insert_main(conn, table(t), [(1,)])
    assert state(conn, t) == ([], [])


# --- delete_row_main -----------------------------------------------------------


@pytest.mark.parametrize(
    "ids, left",
    [
        ([2], [1, 3]),
        ((1, 3), [2]),
        ({1, 3}, [2]),
        (iter([3, 1]), [2]),
        ([2, 2], [1, 3]),
        ([99], [1, 2, 3]),
        ([], [1, 2, 3]),
        (["2"], [1, 3]),
    ],
)
def test_delete_by_rowid(conn, other, ids, left):
    t = make_table(conn, ["a", "b"], main=[(1, "x"), (2, "y"), (3, "z")])
    nv.delete_row_main(conn, t, ids)
    assert [r[0] for r in fetch(other, f"SELECT rowid FROM {t} ORDER BY rowid")] == left


@pytest.mark.parametrize("bad", ["1) OR (1=1", "0 OR 1=1", "1; DELETE FROM x", "a", "rowid", "nosuch"])
def test_an_id_is_only_ever_a_value(conn, bad):
    # column a repeats the rowid, so an id read as an expression would match every row
    t = make_table(conn, ["a", "b"], main=[(1, "x"), (2, "y"), (3, "z")])
    try:
        nv.delete_row_main(conn, t, [bad], comm=False)
    except (sqlite3.Error, ValueError, TypeError):
        pass
    assert table_rows(conn, t) == [(1, "x"), (2, "y"), (3, "z")]


def test_delete_failures(conn):
    t = make_table(conn, ["a"], main=[(1,)])
    with pytest.raises(sqlite3.OperationalError):
        nv.delete_row_main(conn, fresh_name("missing"), [1])
    with pytest.raises(TypeError):
        nv.delete_row_main(conn, t, 1)
    assert table_rows(conn, t) == [(1,)]


def test_delete_with_no_ids_still_commits(conn):
    t = make_table(conn, ["a"], main=[(1,)])
    proxy = Proxy(conn)
    nv.delete_row_main(proxy, t, [])
    assert proxy.counts["commit"] == 1


# --- temp_to_main --------------------------------------------------------------


def test_second_merge_changes_nothing(conn):
    t = make_table(
        conn,
        HOMES,
        rules=[("u0", [0, 2])],
        index=[{"name": "i", "cols": "age"}],
        main=[("a", "flat", "x", 3)],
        staged=[("a", "villa", "x", 4)],
    )
    nv.temp_to_main(conn, t)
    done = state(conn, t), index_names(conn, t)
    proxy = Proxy(conn)
    nv.temp_to_main(proxy, t)
    assert (state(conn, t), index_names(conn, t)) == done
    assert proxy.counts["commit"] == 1


def catalogued(conn, t):
    return sorted(
        f"{r[0]}_{r[1]}"
        for r in fetch(conn, "SELECT table_name, index_name FROM index_table WHERE table_name = ?", (t,))
    )


@pytest.mark.parametrize("policy", ["rebuild", "keep"])
@pytest.mark.parametrize("staged", [[], [("a", "villa", "x", 4)]], ids=["empty", "one"])
def test_indexes_dropped_for_the_writes_and_only_catalogued_ones_rebuilt(conn, monkeypatch, staged, policy):
    t = make_table(
        conn,
        HOMES,
        rules=[("u0", [0, 2])],
        index=[{"name": "i0", "cols": "type"}],
        main=[("a", "flat", "x", 3)],
        staged=staged,
    )
    conn.execute(f"CREATE INDEX {t}_by_hand ON {t} (age)")
    conn.execute(f"CREATE INDEX {t}_staged ON temp_{t} (age)")
    expected = catalogued(conn, t)
    assert len(expected) == 2 and set(expected) < set(index_names(conn, t))
    during, original = [], nv._insert_main

    def insert_main(**kwargs):
        during.append(index_names(conn, t))
        return original(**kwargs)

    monkeypatch.setattr(nv, "_insert_main", insert_main)
    _native.traced_merge(conn, t, True, None, 0, "auto", policy)
    assert during == [[] if policy == "rebuild" else expected]
    assert index_names(conn, t) == expected
    assert index_names(conn, f"temp_{t}") == [f"{t}_staged"]


def test_merge_calls_its_steps_in_order_by_keyword(conn, monkeypatch):
    t = make_table(
        conn,
        HOMES,
        rules=[("u0", [0, 2])],
        main=[("a", "flat", "x", 3), ("b", "flat", "y", 5)],
        staged=[("a", "villa", "x", 4), ("c", "flat", "z", 1), ("a", "shop", "x", 9)],
    )
    calls = []

    def spy(name):
        original = getattr(nv, name)

        def record(**kwargs):
            calls.append((name, kwargs, state(conn, t), index_names(conn, t)))
            return original(**kwargs)

        return record

    for name in ["drop_table_index", "delete_row_main", "_insert_main", "active_table_index"]:
        monkeypatch.setattr(nv, name, spy(name))
    before = state(conn, t)
    proxy = Proxy(conn)
    nv.temp_to_main(proxy, t)

    assert [c[0] for c in calls] == ["drop_table_index", "delete_row_main", "_insert_main", "active_table_index"]
    for _, kw, _, _ in calls:
        assert kw["conn"] is proxy and kw["table"] == t and kw["comm"] is False
    assert [sorted(kw) for _, kw, _, _ in calls] == [
        ["comm", "conn", "table"],
        ["comm", "conn", "ids", "table"],
        ["comm", "conn", "rows", "table"],
        ["comm", "conn", "table"],
    ]
    (_, _, s0, i0), (_, d, s1, i1), (_, ins, s2, _), (_, _, s3, i3) = calls
    assert s0 == before and i0 == [f"{t}_u0"]  # everything read before the first write
    assert isinstance(d["ids"], set) and d["ids"] == {1} and i1 == []
    assert [tuple(r) for r in ins["rows"]] == [("a", "shop", "x", 9), ("c", "flat", "z", 1)]
    assert s2 == ([("b", "flat", "y", 5)], before[1])
    assert s3 == ([("b", "flat", "y", 5), ("a", "shop", "x", 9), ("c", "flat", "z", 1)], []) and i3 == []
    assert proxy.counts["commit"] == 1


@pytest.mark.parametrize(
    "col_num, exc",
    [
        ("0,", ValueError),
        ("0,x", ValueError),
        (0, AttributeError),
        ("9", IndexError),
    ],
)
def test_bad_rule_fails_before_any_write(conn, col_num, exc):
    t = make_table(conn, ["a", "b"], rules=[("u", [0])], main=[(1, 1)], staged=[(1, 2)])
    nv.insert_unique(conn, t, "bad", "a", col_num)
    conn.execute(f"CREATE INDEX {t}_by_hand ON {t} (b)")
    before = state(conn, t), index_names(conn, t)
    with pytest.raises(exc):
        nv.temp_to_main(conn, t)
    assert (state(conn, t), index_names(conn, t)) == before
    assert not conn.in_transaction


def test_missing_staging_table_fails_before_any_write(conn):
    t = make_table(conn, ["a", "b"], rules=[("u", [0])], main=[(1, 1)])
    conn.execute(f"DROP TABLE temp_{t}")
    before = table_rows(conn, t), index_names(conn, t)
    with pytest.raises(sqlite3.OperationalError):
        nv.temp_to_main(conn, t)
    assert (table_rows(conn, t), index_names(conn, t)) == before
    assert not conn.in_transaction


# --- the merge against the model -------------------------------


@st.composite
def merge_cases(draw):
    ncols = draw(st.integers(2, 4))
    row = st.tuples(*[st.one_of(st.none(), st.integers(0, 2))] * ncols)
    rules = draw(
        st.lists(st.lists(st.integers(0, ncols - 1), min_size=1, max_size=ncols, unique=True), min_size=1, max_size=2)
    )
    return (
        ncols,
        rules,
        draw(st.lists(row, max_size=6)),
        draw(st.lists(row, max_size=6)),
        draw(st.booleans()),
        draw(st.booleans()),
    )


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(case=merge_cases())
# the documented example
@example(
    case=(
        4,
        [[0, 2]],
        [("a", "flat", "x", 3), ("b", "flat", "y", 5)],
        [("a", "villa", "x", 4), ("c", "flat", "z", 1), ("a", "shop", "x", 9)],
        True,
        True,
    )
)
# staged-duplicates-keep-newest
@example(case=(2, [[0]], [], [("k", 1), ("k", 2), ("j", 0), ("k", 3)], True, True))
# discarded-row-still-deletes-by-other-rule
@example(case=(3, [[0], [1]], [("m", "q", 0), ("z", "z", 0)], [("k", "q", 1), ("k", "r", 2)], True, True))
# null-equals-null-among-staged
@example(
    case=(3, [[0, 1]], [], [(None, 1, "old"), (None, 1, "new"), (None, None, "o2"), (None, None, "n2")], True, True)
)
# staged-null-finds-no-main-row
@example(case=(3, [[0, 1]], [(None, 1, "m")], [(None, 1, "s")], True, True))
# main-null-never-found
@example(case=(3, [[1, 0]], [(1, None, "m"), (2, None, "m")], [(1, None, "s")], True, True))
# equal-main-rows-all-deleted
@example(case=(2, [[0]], [("k", 1), ("j", 0), ("k", 2), ("k", 3)], [("k", 9)], True, True))
# reverse-staging-order
@example(case=(2, [[0]], [(0, "m")], [(1, "a"), (2, "b"), (3, "c")], True, True))
# no-rules-moves-everything
@example(case=(2, [], [("k", 1)], [("k", 1), ("k", 1), ("j", 2)], True, True))
# int-equals-real-not-text
@example(case=(2, [[0]], [(1, "m"), ("2", "m")], [("1", "t"), (1, "old"), (1.0, "new"), (2, "i")], True, True))
def test_merge_matches_the_model(conn, case):
    ncols, rules, main, staged, rules_at_creation, main_by_sql = case
    conn.execute("PRAGMA synchronous = OFF")
    cols = [f"c{i}" for i in range(ncols)]
    named = [(f"r{k}", pos) for k, pos in enumerate(rules)]
    nv.create_table(conn, "prop", cols, [], [{"name": n, "cols": p} for n, p in named] if rules_at_creation else [])
    if not rules_at_creation:
        for n, p in named:
            nv.insert_unique(conn, "prop", n, ",".join(cols[j] for j in p), ",".join(map(str, p)))
    if main_by_sql:
        conn.executemany(f"INSERT INTO prop VALUES ({','.join('?' * ncols)})", main)
        conn.commit()
    else:
        nv._insert_main(conn, "prop", main)
    nv.insert_temp(conn, "prop", staged)
    nv.temp_to_main(conn, "prop")
    expected = newest_model.merged(dict(enumerate(main, 1)), dict(enumerate(staged, 1)), rules)
    assert fetch(conn, "SELECT rowid, * FROM prop ORDER BY rowid") == [(r, *row) for r, row in expected.items()]
    assert table_rows(conn, "temp_prop") == []
