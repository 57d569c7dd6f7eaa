"""find on the host's own connection answers from components of the rows; a
thin wrapper connection shows the statement-by-statement walk. Both must give
the same list, or the same exception, for every database and query."""

import sqlite3

import pytest
from conftest import FastPath, Proxy, fresh_name
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import norvane.norvane as nv
from norvane import _native

COLS = ["c0", "c1", "c2", "tag"]


def outcome(call):
    try:
        rows = call()
    except Exception as exc:  # noqa: BLE001 - the exception itself is compared
        return ("raised", type(exc), str(exc))
    return [[(type(v), v) for v in row] for row in rows]  # 1 and 1.0 differ here


def traced(conn, select, table, conditions, plan=None):
    """find's outcome under `plan`, and the plans that answered its newest tests."""
    plans = ()

    def call():
        nonlocal plans
        rows, _, plans = _native.traced_find(conn, select, table, conditions, None, plan)
        return rows

    return outcome(call), plans


def both(conn, select, table, conditions, plan=None):
    fast, _ = traced(conn, select, table, conditions, plan)
    walk = outcome(lambda: nv.find(Proxy(conn), select, table, conditions))
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
        conn.execute(
            "INSERT INTO unique_table VALUES (?, ?, ?, ?)", (table, f"u{k}", "", ",".join(map(str, positions)))
        )
        if indexed and all(0 <= p < len(COLS) for p in positions):
            conn.execute(f"CREATE INDEX {table}_u{k} ON {table} ({','.join(COLS[p] for p in positions)})")
    conn.executemany(f"INSERT INTO {table} VALUES (?, ?, ?, ?)", main)
    conn.executemany(f"INSERT INTO temp_{table} VALUES (?, ?, ?, ?)", staged)
    conn.commit()


VALUES = [None, 0, 1, 2, 1.0, 2.0, 0.5, "1", "2", "a", "A", b"1", b"a", 2**53 + 1, float(2**53), -(2**63), 2**63 - 1]
TYPES = ["", "", "", "INTEGER", "REAL", "TEXT", "NUMERIC", "BLOB", "TEXT COLLATE NOCASE"]
CONDITIONS = [
    "",
    "",
    "WHERE c0 IS NOT NULL",
    "WHERE c1 = 1 ORDER BY rowid DESC",
    "ORDER BY c2 DESC, rowid",
    "ORDER BY rowid DESC LIMIT 2",
    "WHERE rowid > 2",
    "WHERE rowid % 2 = 0 ORDER BY rowid DESC LIMIT 3",
    "LIMIT 3 OFFSET 1",
    "WHERE c0 = c1 OR c2 = '1'",
    "GROUP BY c0",
    "WHERE 1 UNION ALL SELECT rowid + 50, c0, c2, c1, tag FROM t",
    "WHERE nope = 1",
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
    db = nv.DB(fresh_name("fast"), str(tmp_path_factory.mktemp("fast") / "f.db"))
    conn = db.connection()
    yield conn
    conn.close()


# Every plan answers from the components wherever keys compare exactly.
GROUPED = FastPath()


@GROUPED.share(0.3)
@settings(
    max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture]
)
@given(
    databases(),
    st.sampled_from(CONDITIONS),
    st.sampled_from(["*", "tag,c0,c0", "c1,tag,c1"]),
    st.sampled_from(["automatic", "lookups", "grouped", "scan", "rounds"]),
)
def test_fast_find_gives_what_the_walk_gives(shared, database, conditions, select, how):
    decls, rules, main, staged, indexed = database
    build(shared, decls, rules, main, staged, indexed)
    fast, plans = traced(shared, select, "t", conditions, how)
    walk = outcome(lambda: nv.find(Proxy(shared), select, "t", conditions))
    assert fast == walk
    GROUPED.count(set(plans) - {"walk"})


# --- where only the walk is exact ------------------------------------------------------


def plain_table(conn, decls=("", "", "", ""), rules=((0,),), main=(), staged=(), table="t"):
    build(conn, (list(decls), list(decls)), [list(r) for r in rules], list(main), list(staged), True, table)


# Only the main row is a candidate: no duplicate test can hide it, only the newest test.
MAIN_ONLY = "WHERE tag = 'm'"


def find_both(conn, conditions="", select="*", table="t", plan=None):
    fast, walk = both(conn, select, table, conditions, plan)
    assert fast == walk
    return nv.find(conn, select, table, conditions)


def test_subclassed_connection_sees_the_walk(tmp_path):
    class Connection(sqlite3.Connection):
        pass

    nv.DB(fresh_name("fast"), str(tmp_path / "s.db"))
    conn = sqlite3.connect(tmp_path / "s.db", factory=Connection)
    plain_table(conn, main=[(1, None, None, "m")], staged=[(1, None, None, "s")])
    seen = []
    conn.set_trace_callback(seen.append)
    assert nv.find(conn, "tag", "t", "") == [["s"]]
    conn.set_trace_callback(None)
    # the walk's own searches, one per expanded row and table
    assert "SELECT rowid,c0,c1,c2,tag FROM temp_t WHERE c0 = 1 " in seen
    conn.close()


def test_row_factory_makes_the_walk_bind_what_it_returns(shared):
    plain_table(shared, main=[(1, None, None, "m")], staged=[(1, None, None, "s")])
    shared.row_factory = lambda cursor, row: (row[0],) + tuple(str(v) for v in row[1:])
    try:
        # the walk searches c0 = '1', which no stored integer equals
        assert find_both(shared, MAIN_ONLY, select="tag") == [["m"]]
    finally:
        shared.row_factory = None


def test_text_factory_makes_the_walk_bind_bytes(shared):
    plain_table(shared, main=[("k", None, None, "m")], staged=[("k", None, None, "s")])
    shared.text_factory = lambda b: b.decode().upper()
    try:
        # the walk searches c0 = 'K'; the stored text is 'k'
        assert find_both(shared, "WHERE tag = 'm'") == [["K", None, None, "M"]]
    finally:
        shared.text_factory = str


@pytest.mark.parametrize(
    "kind, value, adapt",
    [
        (int, 1, str),
        (float, 1.5, str),
        (str, "k", str.upper),
        (bytes, b"k", bytes.decode),
        (type(None), None, lambda v: 0),
    ],
)
def test_adapters_change_what_the_walk_binds(shared, kind, value, adapt):
    other = 0 if value is None else value
    plain_table(shared, rules=((0, 1),), main=[(value, 0, None, "m")], staged=[(other, 0, None, "s")])
    sqlite3.register_adapter(kind, adapt)
    try:
        # NULL adapted to 0 links; every other adapted value finds nothing
        expected = [] if value is None else [["m"]]
        assert find_both(shared, MAIN_ONLY, select="tag") == expected
    finally:
        del sqlite3.adapters[(kind, sqlite3.PrepareProtocol)]


def test_converter_on_a_declared_type_changes_what_the_walk_binds(tmp_path):
    nv.DB(fresh_name("fast"), str(tmp_path / "c.db"))
    conn = sqlite3.connect(tmp_path / "c.db", detect_types=sqlite3.PARSE_DECLTYPES)
    plain_table(conn, decls=("KEYED", "", "", ""), main=[(1, None, None, "m")], staged=[(1, None, None, "s")])
    sqlite3.register_converter("keyed", lambda b: b.decode() + "!")
    try:
        assert find_both(conn, MAIN_ONLY, select="tag") == [["m"]]
    finally:
        del sqlite3.converters["KEYED"]
        conn.close()


def test_negative_rule_position_reads_the_rowid_but_searches_the_last_column(shared):
    # row[-1 + 1] is the rowid; the search is on cols[-1], the tag column
    plain_table(
        shared, rules=((-1,),), main=[(None, None, None, "x"), (None, None, None, 1)], staged=[(None, None, None, 2)]
    )
    # staged rowid 1 finds main rowid 2 (tag 1), which is older; main rowid 2
    # then finds the staged row (tag 2), which is newer
    assert find_both(shared, select="c0,tag") == [[None, 2]]


def test_rule_position_beyond_the_columns_raises_index_error(shared):
    plain_table(shared, rules=((4,),), main=[(1, 1, 1, "m")])
    with pytest.raises(IndexError):
        find_both(shared)


def test_column_named_rowid_is_what_the_walk_compares(shared):
    shared.execute("DROP TABLE IF EXISTS r")
    shared.execute("DROP TABLE IF EXISTS temp_r")
    shared.execute("CREATE TABLE r (rowid, a)")
    shared.execute("CREATE TABLE temp_r (rowid, a)")
    shared.execute("DELETE FROM unique_table WHERE table_name = 'r'")
    shared.execute("INSERT INTO unique_table VALUES ('r', 'u', 'a', '1')")
    # stored order says the second row is newer; the walk reads the column
    shared.executemany("INSERT INTO r VALUES (?, ?)", [(9, "k"), (1, "k")])
    assert find_both(shared, table="r") == [[9, "k"]]


def test_rule_column_named_like_a_keyword_is_what_the_walk_compares(shared):
    shared.execute("DROP TABLE IF EXISTS kw")
    shared.execute("DROP TABLE IF EXISTS temp_kw")
    shared.execute('CREATE TABLE kw ("current_time", tag)')
    shared.execute('CREATE TABLE temp_kw ("current_time", tag)')
    shared.execute("DELETE FROM unique_table WHERE table_name = 'kw'")
    shared.execute("INSERT INTO unique_table VALUES ('kw', 'u', '', '0')")
    shared.execute("INSERT INTO kw VALUES (1, 'm')")
    shared.execute("INSERT INTO temp_kw VALUES (2, 's')")
    # current_time reads the clock, so for the walk every row holds the same value
    assert find_both(shared, MAIN_ONLY, select="tag", table="kw") == []


def test_rule_column_that_is_no_plain_identifier_raises_as_the_walk_does(shared):
    shared.execute("DROP TABLE IF EXISTS sp")
    shared.execute("DROP TABLE IF EXISTS temp_sp")
    shared.execute('CREATE TABLE sp (a, "a b")')
    shared.execute('CREATE TABLE temp_sp (a, "a b")')
    shared.execute("DELETE FROM unique_table WHERE table_name = 'sp'")
    shared.execute("INSERT INTO unique_table VALUES ('sp', 'u', '', '1')")
    shared.execute("INSERT INTO sp VALUES (1, 2)")
    with pytest.raises(sqlite3.OperationalError):
        find_both(shared, table="sp")


def test_table_name_that_is_no_plain_identifier_gets_the_walk(shared):
    plain_table(shared, main=[(1, None, None, "m")], staged=[(1, None, None, "s")])
    shared.execute("INSERT INTO unique_table VALUES ('t ', 'u', '', '0')")
    seen = []
    shared.set_trace_callback(seen.append)
    assert nv.find(shared, "tag", "t ", MAIN_ONLY) == []
    shared.set_trace_callback(None)
    assert "SELECT rowid,c0,c1,c2,tag FROM temp_t  WHERE c0 = 1 " in seen


def test_declarations_that_differ_between_the_tables_get_the_walk(shared):
    build(
        shared,
        (["INTEGER", "", "", ""], ["TEXT", "", "", ""]),
        [[0]],
        [(1, None, None, "m")],
        [("1", None, None, "s")],
        True,
    )
    # the search of the staging table turns 1 into '1' under its TEXT affinity
    assert find_both(shared, select="tag") == [["s"]]


def test_collation_gets_the_walk(shared):
    plain_table(
        shared,
        decls=("TEXT COLLATE NOCASE", "", "", ""),
        main=[("K", None, None, "m")],
        staged=[("k", None, None, "s")],
    )
    assert find_both(shared, select="tag") == [["s"]]


def test_view_for_a_staging_table_gets_the_walk(shared):
    plain_table(shared, main=[(1, None, None, "m"), (2, None, None, "n")])
    shared.execute("DROP TABLE temp_t")
    # every staged row claims rowid 1: the walk takes both for the candidate itself
    shared.execute(
        "CREATE TEMP VIEW temp_t AS SELECT 1 AS rowid, * FROM "
        "(SELECT 2 AS c0, NULL AS c1, NULL AS c2, 'v1' AS tag UNION ALL "
        "SELECT 1, NULL, NULL, 'v2')"
    )
    try:
        assert find_both(shared, select="tag") == [["v1"], ["v2"]]
    finally:
        shared.execute("DROP VIEW temp.temp_t")


def test_rows_that_are_not_stored_rows_get_the_walk(shared):
    plain_table(shared, main=[(1, None, None, "m")], staged=[(5, None, None, "s1"), (1, None, None, "s2")])
    # staged rowid 1 holds 5, but this row says 1: the walk searches for 1
    assert find_both(shared, "WHERE 0 UNION ALL SELECT 1, 1, NULL, NULL, 'fake'", "tag", plan="scan") == []


def test_sqlite_error_inside_the_grouping_leaves_the_walk_to_answer(shared):
    plain_table(shared, main=[(1, None, None, "m"), (2, None, None, "n")], staged=[(1, None, None, "s")])

    def no_max(action, arg1, arg2, *rest):
        return sqlite3.SQLITE_DENY if action == sqlite3.SQLITE_FUNCTION and arg2 == "max" else sqlite3.SQLITE_OK

    shared.set_authorizer(no_max)
    try:
        assert find_both(shared, select="tag") == [["s"], ["n"]]
    finally:
        shared.set_authorizer(None)


# --- the module global --------------------------------------------------------------


@pytest.fixture
def linked(shared):
    plain_table(shared, main=[(1, None, None, "m"), (2, None, None, "n")], staged=[(1, None, None, "s")])
    return shared


def test_replaced_global_is_called_by_keyword_for_every_candidate(linked, monkeypatch):
    calls = []
    monkeypatch.setattr(nv, "_check_newest_unique", lambda **kw: calls.append(kw["rowid"]) or (True, None))
    assert nv.find(linked, "tag", "t", "") == [["s"], ["n"]]
    assert calls == [(1, 1), (0, 2)]  # main rowid 1 repeats the staged key


def test_global_rebound_during_find_takes_over_from_the_next_candidate(linked, monkeypatch):
    own = nv._check_newest_unique
    calls = []

    def once(**kw):
        calls.append(kw["rowid"])
        monkeypatch.setattr(nv, "_check_newest_unique", own)
        return (False, None)

    monkeypatch.setattr(nv, "_check_newest_unique", once)
    # the stand-in drops the staged row; our own function then finds it newer than main rowid 1
    assert nv.find(linked, "tag", "t", "") == [["n"]]
    assert calls == [(1, 1)]
    # and back: our own function first, a stand-in from the first statement it runs itself
    calls.clear()
    monkeypatch.setattr(nv, "_check_newest_unique", own)
    finds_own = ("PRAGMA table_info(t)", "SELECT * FROM unique_table", "SELECT rowid,c0,c1,c2,tag", "BEGIN", "ROLLBACK")

    def rebind(sql):
        if not sql.startswith(finds_own):
            nv._check_newest_unique = lambda **kw: calls.append(kw["rowid"]) or (True, None)

    linked.set_trace_callback(rebind)
    try:
        assert nv.find(linked, "tag", "t", "") == [["s"], ["n"]]
    finally:
        linked.set_trace_callback(None)
    assert calls == [(0, 2)]


def test_deleted_global_raises_name_error_at_the_first_newest_test(linked, monkeypatch):
    monkeypatch.delattr(nv, "_check_newest_unique")
    assert nv.find(linked, "tag", "t", "WHERE 0") == []
    with pytest.raises(NameError, match="name '_check_newest_unique' is not defined"):
        nv.find(linked, "tag", "t", "")


# --- scale ------------------------------------------------------------------------------


def test_every_plan_agrees_on_a_larger_table(shared):
    main = [(i, i // 3, i % 7, "m") for i in range(20_000)]
    staged = [(i * 7 % 30_000, None if i % 5 == 0 else i, i % 3, "s") for i in range(2_000)]
    plain_table(shared, rules=((0,), (1, 2)), main=main, staged=staged)
    results = {}
    for how in ("scan", "grouped", "lookups", "rounds", "automatic"):
        rows, _, plans = _native.traced_find(shared, "*", "t", "WHERE c0 % 10 = 3", None, how)
        results[how] = rows
        assert "walk" not in plans, how
    assert "scan" in plans or "lookups" in plans  # the automatic choice, one of the two
    assert results["scan"] and all(rows == results["scan"] for rows in results.values())
