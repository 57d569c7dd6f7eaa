"""Table reads show exactly the current rows: checked against a model that
follows the rule word for word, against the merge itself, against SQLite's
INSERT OR REPLACE, and in the cases that matter to callers (iterators,
transactions, Ctrl-C)."""

import _thread
import signal
import sqlite3
import threading
import time

import pytest
from conftest import FastPath
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import norvane.norvane as nv
from norvane import Table, Unique, _native, _traced
from norvane.call_options import CallOptions

COLUMNS = ("a", "b", "c")


def fresh_conn(lowercase=False):
    conn = sqlite3.connect(":memory:")
    if lowercase:
        conn.text_factory = lambda raw: raw.decode().lower()
    _native.prepare_catalog(conn)
    return conn


def stored(value):
    """A value as (storage class, value): 1 and 1.0 stay apart."""
    return (type(value).__name__, value)


def sqlite_key(value):
    """SQLite's order of values: NULL, numbers by value, text, blobs."""
    if value is None:
        return (0, 0)
    if isinstance(value, (int, float)):
        return (1, value)
    return (2, value) if isinstance(value, str) else (3, value)


def stored_key(value):
    """A value as a UNIQUE index compares it (1 = 1.0, '1' <> 1, b'1' <>
    '1'), or None for NULL, which equals nothing."""
    if value is None:
        return None
    if isinstance(value, (int, float)):
        return ("number", value)
    return ("text", value) if isinstance(value, str) else ("blob", bytes(value))


def rule_tuple(values, rule):
    key = tuple(stored_key(values[p]) for p in rule)
    return None if None in key else key


def current_model(main, staged, rules, newest_by=()):
    """The current rows, following the rule word for word: the main rows,
    then each staged row in staging order, which removes every current row
    holding an equal tuple under some rule and joins the list, unless (with
    newest_by) one of those rows beats it, when it is dropped."""
    current = list(main)
    for row in staged:
        values = row[1]
        hit = [
            c
            for c in current
            if any(
                rule_tuple(values, rule) is not None and rule_tuple(values, rule) == rule_tuple(c[1], rule)
                for rule in rules
            )
        ]
        if newest_by:
            mine = tuple(sqlite_key(values[p]) for p in newest_by)
            if any(tuple(sqlite_key(c[1][p]) for p in newest_by) > mine for c in hit):
                continue
        current = [c for c in current if c not in hit] + [row]
    return current


def modelled_copy(conn, name, rules, newest_by=()):
    """The current rows of the model, each with its origin ("s<rowid>" or
    "m<rowid>"), in a table of a new database read with the same text
    factory; the model sees the values as stored."""
    factory = conn.text_factory
    conn.text_factory = str
    try:
        main = [(f"m{r[0]}", r[1:]) for r in conn.execute(f"SELECT rowid, * FROM {name} ORDER BY rowid")]
        staged = [(f"s{r[0]}", r[1:]) for r in conn.execute(f"SELECT rowid, * FROM temp_{name} ORDER BY rowid")]
    finally:
        conn.text_factory = factory
    copy = sqlite3.connect(":memory:")
    copy.text_factory = factory
    copy.execute(f"CREATE TABLE {name} (a, b, c, origin)")
    copy.executemany(
        f"INSERT INTO {name} VALUES (?, ?, ?, ?)",
        [(*values, origin) for origin, values in current_model(main, staged, rules, newest_by)],
    )
    return copy


def expected_rows(copy, name, where, params, order, limit, offset):
    found = copy.execute(
        f"SELECT a, b, c, origin FROM {name}" + ("" if where is None else f" WHERE {where}"), params
    ).fetchall()
    rows = []
    for a, b, c, origin in found:
        staged = origin[0] == "s"
        rows.append(
            {
                "a": a,
                "b": b,
                "c": c,
                "rowid": None if staged else int(origin[1:]),
                "position": (0 if staged else 1, int(origin[1:])),
            }
        )
    last_descending = bool(order) and order[-1][1]
    rows.sort(key=lambda row: row["position"], reverse=last_descending)
    for column, descending in reversed(order):
        rows.sort(key=lambda row: sqlite_key(row[column]), reverse=descending)
    end = None if limit is None else offset + limit
    return rows[offset:end]


values = st.sampled_from([None, 0, 1, 1.0, 2, "1", b"1"])
row_lists = st.lists(st.tuples(values, values, values), max_size=7)
rules = st.lists(st.lists(st.sampled_from(COLUMNS), min_size=1, max_size=3, unique=True), min_size=0, max_size=3)
wheres = st.sampled_from(
    [
        (None, ()),
        ("a = ?", (1,)),
        ("b IS NULL", ()),
        ("a >= ?", ("1",)),
        ("c <> ?", (1.0,)),
        ("typeof(b) = 'integer' OR c = ?", (b"1",)),
    ]
)
orders = st.lists(st.tuples(st.sampled_from([*COLUMNS, "rowid"]), st.booleans()), max_size=3)


# The reads compare fetched values themselves wherever the plan asks for it
# and no text factory changes them: about a third of the examples.
READS = FastPath()


@READS.share(0.25)
@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    rule_columns=rules,
    merged=row_lists,
    behind=row_lists,
    staged=row_lists,
    where=wheres,
    order=orders,
    limit=st.none() | st.integers(0, 6),
    offset=st.integers(0, 4),
    lowercase=st.booleans(),
    plan=st.sampled_from(["auto", "scan", "exact"]),
    batch=st.integers(1, 4),
    read_ahead=st.sampled_from([0, 16]),
    newest_by=st.lists(st.sampled_from(COLUMNS), max_size=2, unique=True),
    group_rows=st.sampled_from([2, 512]),
)
def test_reads_are_the_current_rows(
    rule_columns,
    merged,
    behind,
    staged,
    where,
    order,
    limit,
    offset,
    lowercase,
    plan,
    batch,
    read_ahead,
    newest_by,
    group_rows,
):
    conn = fresh_conn(lowercase)
    t = Table(conn, "t").create(
        list(COLUMNS), unique=[Unique(f"r{n}", cols) for n, cols in enumerate(rule_columns)], newest_by=newest_by
    )
    nv._insert_main(conn, "t", merged, True)
    if behind:
        nv._insert_main(conn, "t", behind, True)  # main rows the rules never saw
    t.stage(staged)
    positions = [tuple(COLUMNS.index(c) for c in cols) for cols in rule_columns]
    copy = modelled_copy(conn, "t", positions, tuple(COLUMNS.index(c) for c in newest_by))
    condition, params = where
    expected = expected_rows(copy, "t", condition, params, order, limit, offset)
    order_by = [f"{column} {'DESC' if descending else 'ASC'}" for column, descending in order]
    select = [*COLUMNS, "rowid"]
    kwargs = dict(select=select, order_by=order_by, limit=limit, offset=offset)
    # group_rows 2: most linked groups are too big to look up.
    options = CallOptions(reads_plan=plan, read_ahead=read_ahead, group_rows=group_rows)
    planned = _traced.using(t, options)
    want = [tuple(stored(row[k]) for k in select) for row in expected]
    got, taken = _traced.rows(t, options, condition, params, **kwargs)
    assert [tuple(map(stored, row)) for row in got] == want
    # Values compare as fetched unless a text factory changes them.
    assert taken == ("exact" if lowercase else plan)
    READS.count(taken != "exact")
    iterated = planned.iter(condition, params, batch_size=batch, **kwargs)
    assert [tuple(map(stored, row)) for row in iterated] == want
    as_dicts = planned.dicts(condition, params, **kwargs)
    assert [tuple(stored(row[k]) for k in select) for row in as_dicts] == want
    everything = expected_rows(copy, "t", condition, params, [], None, 0)
    assert _traced.count(t, options, condition, params) == (len(everything), taken)
    assert not conn.in_transaction
    # The merge leaves what the reads showed: main rows first, then the
    # staged rows in staging order.
    shown = [tuple(map(stored, row)) for row in copy.execute("SELECT a, b, c FROM t ORDER BY rowid")]
    t.merge()
    assert [tuple(map(stored, row)) for row in conn.execute("SELECT a, b, c FROM t ORDER BY rowid")] == shown
    assert [tuple(map(stored, row)) for row in t.rows()] == shown


keys = st.tuples(st.integers(0, 3), st.sampled_from([0, 1, 2.0, "1", b"1"]), st.integers(0, 2))


@settings(max_examples=60, deadline=None)
@given(
    main=st.lists(keys, max_size=8, unique_by=(lambda r: r[0], lambda r: (r[1], r[2]))),
    staged=st.lists(keys, max_size=8),
)
def test_reads_equal_insert_or_replace_into_unique_indexes(main, staged):
    conn = fresh_conn()
    t = Table(conn, "t").create(list(COLUMNS), unique=[Unique("x", ["a"]), Unique("yz", ["b", "c"])])
    nv._insert_main(conn, "t", main, True)
    t.stage(staged)
    peer = sqlite3.connect(":memory:")
    peer.execute("CREATE TABLE p (a, b, c)")
    peer.execute("CREATE UNIQUE INDEX p_x ON p (a)")
    peer.execute("CREATE UNIQUE INDEX p_yz ON p (b, c)")
    peer.executemany("INSERT INTO p VALUES (?, ?, ?)", main)
    peer.executemany("INSERT OR REPLACE INTO p VALUES (?, ?, ?)", staged)
    ours = sorted(tuple(map(stored, row)) for row in t.rows())
    assert ours == sorted(tuple(map(stored, row)) for row in peer.execute("SELECT * FROM p"))


# ----------------------------------------------------------- the cases ----


@pytest.fixture
def feed():
    conn = fresh_conn()
    yield Table(conn, "feed").create(
        ["sup", "sku", "barcode"], unique=[Unique("product", ["sup", "sku"]), Unique("code", "barcode")]
    )
    conn.close()


@pytest.mark.parametrize("merge_first", [False, True])
def test_a_moved_barcode_hides_no_live_product(feed, merge_first):
    feed.stage([(1, "P", "X")])
    if merge_first:
        feed.merge()
    feed.stage([(2, "Q", "X"), (1, "P", "Y")])
    assert feed.rows() == [(2, "Q", "X"), (1, "P", "Y")]
    assert feed.rows("sku = ?", ["Q"]) == [(2, "Q", "X")]
    assert feed.count() == 2
    feed.merge()
    assert sorted(feed.rows()) == [(1, "P", "Y"), (2, "Q", "X")]


def test_a_tuple_holding_a_null_equals_nothing(feed):
    feed.stage([(1, None, "X")])
    feed.merge()
    feed.stage([(1, None, "Y")])
    feed.merge()
    assert feed.rows(select=["sku", "barcode"]) == [(None, "X"), (None, "Y")]
    feed.stage([(1, None, "Z"), (1, None, "W")])  # in one batch too: both stay, as INSERT OR REPLACE keeps both
    assert feed.rows(select="barcode") == [("Z",), ("W",), ("X",), ("Y",)]
    assert feed.count() == 4


def test_a_row_factory_neither_changes_nor_slows_the_rows(feed):
    feed.stage([(1, "P", "X"), (2, "Q", "Y")])
    plain = feed.rows()
    feed.conn.row_factory = sqlite3.Row
    assert feed.rows() == plain and list(feed.iter()) == plain
    assert feed.dicts(limit=1) == [{"sup": 1, "sku": "P", "barcode": "X"}]


def test_values_compare_as_stored_whatever_the_text_factory():
    conn = fresh_conn(lowercase=True)
    t = Table(conn, "t").create(["k", "v"], unique=[Unique("by_k", "k")])
    t.stage([("A", 1), ("a", 2), ("B", 3), ("B", 4)])
    for plan in ("auto", "scan", "exact"):
        planned = _traced.using(t, CallOptions(reads_plan=plan))
        assert planned.rows() == [("a", 1), ("a", 2), ("b", 4)]
        assert planned.count() == 3
    t.merge()  # the merge compares values as stored too
    assert t.rows() == [("a", 1), ("a", 2), ("b", 4)]


@pytest.mark.parametrize("plan", ["auto", "scan", "exact"])
@pytest.mark.parametrize("batch", [1, 1000])
def test_newest_by_drops_in_sequence(plan, batch):
    conn = fresh_conn()
    t = Table(conn, "t").create(["a", "b", "ts"], unique=[Unique("by_a", "a"), Unique("by_b", "b")], newest_by=["ts"])
    t = _traced.using(t, CallOptions(reads_plan=plan))
    # The main row drops s1, so s2 meets no current row under b and stays.
    nv._insert_main(conn, "t", [(1, None, 10)], True)
    t.stage([(1, 1, 5), (None, 1, 1)])
    assert list(t.iter(batch_size=batch)) == [(None, 1, 1), (1, None, 10)]
    assert t.count() == 2
    # s3 hides the main row m through b; the later s4 then meets no
    # current row through a, though m alone would beat it.
    t.conn.execute("DELETE FROM temp_t")
    t.conn.execute("DELETE FROM t")
    nv._insert_main(conn, "t", [(7, 8, 10)], True)
    t.stage([(None, 8, 20), (7, None, 5)])
    assert list(t.iter(batch_size=batch)) == [(None, 8, 20), (7, None, 5)]
    assert t.count() == 2 and t.count("ts < ?", [10]) == 1


# ----------------------------------------------------------- iterators ----


@pytest.fixture
def filled(feed):
    feed.stage([(n % 3, f"s{n}", f"b{n}") for n in range(10)])
    return feed


def test_the_iterator_reads_one_snapshot_and_rolls_it_back(filled):
    conn = filled.conn
    rows = filled.iter(batch_size=3)
    assert not conn.in_transaction  # nothing runs before the first row
    first = next(rows)
    assert conn.in_transaction
    assert [first, *rows] == filled.rows()
    assert not conn.in_transaction


def test_inside_the_callers_transaction_nothing_is_begun_or_rolled_back(filled):
    conn = filled.conn
    conn.execute("INSERT INTO feed VALUES (9, 'z', 'bz')")
    assert conn.in_transaction
    assert len(list(filled.iter())) == 11
    assert conn.in_transaction
    conn.rollback()
    assert filled.count() == 10


@pytest.mark.parametrize("interfere", ["commit", "rollback", "write"])
def test_the_connection_changed_under_an_iterator(filled, interfere):
    conn = filled.conn
    rows = filled.iter(batch_size=2)
    next(rows)
    if interfere == "write":
        conn.execute("INSERT INTO temp_feed VALUES (7, 'w', 'bw')")
    else:
        getattr(conn, interfere)()
        conn.execute("INSERT INTO temp_feed VALUES (7, 'w', 'bw')")  # a new transaction of the caller's
    with pytest.raises(sqlite3.ProgrammingError, match="while a read"):
        for _ in range(10):
            next(rows)
    rows.close()
    assert conn.in_transaction  # no ROLLBACK of the iterator's: the write is still pending
    conn.commit()
    assert filled.count_staged() == 11


def test_table_writes_wait_for_open_iterators(filled):
    conn = filled.conn
    rows = filled.iter()
    next(rows)
    changes = conn.total_changes
    for write in (
        lambda: filled.stage([(1, "n", "bn")]),
        filled.merge,
        lambda: filled.delete([1]),
        lambda: filled.create(["x"], replace=True),
        filled.drop,
    ):
        with pytest.raises(sqlite3.ProgrammingError, match="iterator"):
            write()
    assert conn.total_changes == changes
    rows.close()
    assert not conn.in_transaction
    filled.stage([(1, "n", "bn")])
    assert filled.count_staged() == 11


def test_argument_errors_come_at_the_call(filled):
    with pytest.raises(TypeError, match="batch_size"):
        filled.iter(batch_size=1.5)  # type: ignore[arg-type]
    with pytest.raises(ValueError, match="batch_size"):
        filled.iter(batch_size=0)
    with pytest.raises(ValueError, match="no column"):
        filled.iter(select=["nope"])
    with pytest.raises(TypeError, match="dicts"):
        filled.iter(dicts=1)  # type: ignore[arg-type]
    with pytest.raises(TypeError, match="where"):
        filled.count(where=3)  # type: ignore[arg-type]


def test_a_damaged_catalog_raises_what_find_raises(filled):
    conn = filled.conn
    conn.execute("UPDATE unique_table SET col_num = 'x' WHERE unique_name = 'code'")
    with pytest.raises(ValueError):
        nv.find(conn, "*", "feed", "")
    with pytest.raises(ValueError):
        filled.rows()
    conn.execute("UPDATE unique_table SET col_num = 7 WHERE unique_name = 'code'")
    for read in (lambda: nv.find(conn, "*", "feed", ""), filled.rows, filled.count):
        with pytest.raises(AttributeError):
            read()


@pytest.fixture
def ctrl_c_raises():
    """Python's own SIGINT handler for the test: a process started in the
    background (a CI job, `nohup cmd &`) inherits SIGINT ignored, and then
    interrupt_main does nothing."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, previous)


@pytest.mark.serial  # a timer signal: kept off a busy parallel worker
def test_ctrl_c_stops_a_long_iteration(ctrl_c_raises):
    conn = fresh_conn()
    t = Table(conn, "big").create(["k", "v"], unique=[Unique("by_k", "k")])
    nv._insert_main(conn, "big", [(n, n) for n in range(200_000)], True)
    t.stage([(n, -n) for n in range(0, 200_000, 50)])
    timer = threading.Timer(0.05, _thread.interrupt_main)
    seen = 0
    give_up = time.monotonic() + 30  # a busy machine may wake the timer late: read on until it fires
    with pytest.raises(KeyboardInterrupt):
        while time.monotonic() < give_up:  # each pass reads the whole table
            for _ in t.iter():
                seen += 1
                if seen == 1:  # the signal lands in the middle of a read, however slow the start
                    timer.start()
    timer.join()
    assert seen > 0 and not conn.in_transaction
    t.stage([(1, 1)])  # no iterator is left open


def test_a_large_table_reads_to_the_answer():
    conn = fresh_conn()
    t = Table(conn, "big").create(["k", "grp", "price"], unique=[Unique("by_k", "k")])
    conn.execute("CREATE INDEX big_price ON big (price)")
    nv._insert_main(conn, "big", [(n, n % 7, (n * 7919) % 100_000) for n in range(100_000)], True)
    t.stage([(n, -1, n % 1000) for n in range(0, 100_000, 40)] + [(-n, -1, 5) for n in range(1, 500)])
    assert t.count() == 100_000 + 499
    assert len(list(t.iter(batch_size=4096))) == 100_000 + 499
    cheapest = t.rows(order_by=["price", "k"], limit=3, select=["k", "price"])
    assert cheapest == [(0, 0), (1000, 0), (2000, 0)]
    assert t.count("grp = ?", [-1]) == 2500 + 499


def test_text_compares_by_the_main_columns_collation():
    conn = fresh_conn()
    nv.create_table(conn, "t", ["k COLLATE NOCASE", "v"], [], [{"name": "by_k", "cols": [0]}])
    nv._insert_main(conn, "t", [("A", 1), ("b", 2), ("c", 0)], True)
    t = Table(conn, "t")
    t.stage([("a", 3), ("B", 4), ("b", 5)])
    for plan in ("auto", "exact"):
        planned = _traced.using(t, CallOptions(reads_plan=plan))
        assert planned.rows() == [("a", 3), ("b", 5), ("c", 0)]
        assert planned.count() == 3 and planned.count("v > ?", [0]) == 2
