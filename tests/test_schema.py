"""Schema and catalog: index management, uniqueness rules, table creation and removal."""

import re
import sqlite3
import types

import pytest
from conftest import fetch, index_names, table_rows

import norvane.norvane as nv

COLS = ["name", "type", "address", "age"]
ROWS = [("ann", "flat", "elm st", 30), ("bob", "house", "oak rd", 41)]
HOMES_INDEXES = ["homes_index_0", "homes_index_1", "homes_unique_0", "homes_unique_1"]
# Inside an SQL comment a single quote leaves the spliced DDL valid, while a
# catalog statement that spliced the same text between quotes would break.
QUOTED = "k/*'*/"


def example_index():
    return [{"name": "index_0", "cols": "name,type,address"}, {"name": "index_1", "cols": "age"}]


def example_unique():
    return [{"name": "unique_0", "cols": [0, 1]}, {"name": "unique_1", "cols": [2]}]


def make_homes(conn):
    """The documented homes table with rows in both tables, all committed."""
    nv.create_table(conn, "homes", list(COLS), example_index(), example_unique())
    conn.executemany("INSERT INTO homes VALUES (?,?,?,?)", ROWS)
    conn.executemany("INSERT INTO temp_homes VALUES (?,?,?,?)", ROWS[:1])
    conn.commit()


def catalog_rows(catalog):
    def rows(conn, table="homes"):
        return sorted(fetch(conn, f"SELECT * FROM {catalog} WHERE table_name = ?", (table,)), key=repr)

    return rows


index_rows, unique_rows = catalog_rows("index_table"), catalog_rows("unique_table")


def index_cols(conn, index):
    return [r[2] for r in sorted(fetch(conn, f"PRAGMA index_info({index})"))]


def table_exists(conn, table):
    return bool(fetch(conn, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?", (table,)))


def snapshot(conn):
    return (
        table_rows(conn, "homes"),
        table_rows(conn, "temp_homes"),
        index_rows(conn),
        unique_rows(conn),
        index_names(conn, "homes"),
    )


EXAMPLE_INDEX_ROWS = [
    ("homes", "index_0", "name,type,address"),
    ("homes", "index_1", "age"),
    ("homes", "unique_0", "name,type"),
    ("homes", "unique_1", "address"),
]
EXAMPLE_UNIQUE_ROWS = [("homes", "unique_0", "name,type", "0,1"), ("homes", "unique_1", "address", "2")]


# --- statement traces -------------------------------------------------------
# The trace callback reports each statement with its bound values written in,
# so a traced statement reads the same whether a value was bound or spliced;
# the tests with awkward names below tell the two apart.


def norm(sql):
    sql = " ".join(sql.split()).lower()
    return re.sub(r"\s*([(),=])\s*", r"\1", sql)


def traced(conn):
    log = []
    conn.set_trace_callback(log.append)
    return log


INDEX_TABLE = "CREATE TABLE IF NOT EXISTS index_table (table_name, index_name, columns)"
UNIQUE_TABLE = "CREATE TABLE IF NOT EXISTS unique_table (table_name, unique_name, columns, col_num)"


def drop_index_sql(t, n):
    return [
        INDEX_TABLE,
        f"DELETE FROM index_table WHERE table_name = '{t}' AND index_name = '{n}'",
        f"DROP INDEX if exists {t}_{n}",
    ]


def insert_index_sql(t, n, c):
    return [
        *drop_index_sql(t, n),
        f"INSERT INTO index_table Values ('{t}','{n}','{c}')",
        f"CREATE INDEX if not exists {t}_{n} ON {t} ({c})",
    ]


def insert_unique_sql(t, n, c, cn):
    return [
        UNIQUE_TABLE,
        f"DELETE FROM unique_table WHERE table_name = '{t}' AND unique_name = '{n}'",
        *drop_index_sql(t, n),
        f"INSERT INTO unique_table Values ('{t}','{n}','{c}','{cn}')",
        *insert_index_sql(t, n, c),
    ]


# --- catalog invariants -----------------------------------------------------


@pytest.mark.parametrize("second_cols", ["name", "age,type"])
def test_insert_index_keeps_one_row_and_rebuilds_index(conn, second_cols):
    conn.execute("CREATE TABLE homes (name, type, address, age)")
    nv.insert_index(conn, {"table": "homes", "name": "i", "cols": "name"})
    nv.insert_index(conn, {"table": "homes", "name": "i", "cols": second_cols})
    assert index_rows(conn) == [("homes", "i", second_cols)]
    assert index_names(conn, "homes") == ["homes_i"]
    assert index_cols(conn, "homes_i") == second_cols.split(",")


def test_insert_unique_replaces_rule_and_backing_index(conn):
    make_homes(conn)
    nv.insert_unique(conn, "homes", "unique_0", "type,age", "1,3")
    assert unique_rows(conn) == [("homes", "unique_0", "type,age", "1,3"), EXAMPLE_UNIQUE_ROWS[1]]
    assert ("homes", "unique_0", "type,age") in index_rows(conn)
    assert len(index_rows(conn)) == 4
    assert index_cols(conn, "homes_unique_0") == ["type", "age"]


def test_drop_unique_removes_rule_and_backing_index(conn, other):
    make_homes(conn)
    nv.drop_unique(conn, "homes", "unique_0")
    assert unique_rows(other) == [EXAMPLE_UNIQUE_ROWS[1]]
    assert index_rows(other) == [r for r in EXAMPLE_INDEX_ROWS if r[1] != "unique_0"]
    assert index_names(other, "homes") == [n for n in HOMES_INDEXES if n != "homes_unique_0"]
    # the rebuild after a bulk load must not bring the backing index back
    nv.drop_table_index(conn, "homes")
    nv.active_table_index(conn, "homes")
    assert "homes_unique_0" not in index_names(conn, "homes")


def test_drop_unique_statements(conn):
    make_homes(conn)
    log = traced(conn)
    nv.drop_unique(conn, "homes", "unique_0")
    expected = [
        "BEGIN DEFERRED",
        UNIQUE_TABLE,
        "DELETE FROM unique_table WHERE table_name = 'homes' AND unique_name = 'unique_0'",
        *drop_index_sql("homes", "unique_0"),
        "COMMIT",
    ]
    assert [norm(s) for s in log] == [norm(s) for s in expected]


def test_drop_index_of_unknown_name_is_harmless_and_commits(conn, other):
    make_homes(conn)
    conn.execute("INSERT INTO homes VALUES ('new', 'x', 'y', 1)")
    nv.drop_index(conn, "homes", "never_made")
    assert index_rows(other) == EXAMPLE_INDEX_ROWS
    assert index_names(other, "homes") == HOMES_INDEXES
    assert len(table_rows(other, "homes")) == 3


def test_catalog_lookups_match_table_name_exactly(conn):
    conn.execute("CREATE TABLE homes (name, age)")
    nv.insert_index(conn, {"table": "Homes", "name": "i", "cols": "age"})
    nv.insert_unique(conn, "Homes", "u", "name", "0")
    nv.drop_table_index(conn, "homes")
    assert index_names(conn, "homes") == []
    nv.active_table_index(conn, "homes")
    assert index_names(conn, "homes") == []
    nv.active_table_index(conn, "Homes")
    assert index_names(conn, "homes") == ["Homes_i", "Homes_u"]
    nv.drop_index(conn, "homes", "i")
    nv.drop_unique(conn, "homes", "u")
    nv.drop_table(conn, "homes")
    assert not table_exists(conn, "homes")
    assert index_rows(conn, "Homes") == [("Homes", "i", "age"), ("Homes", "u", "name")]
    assert unique_rows(conn, "Homes") == [("Homes", "u", "name", "0")]


# --- dropping and rebuilding a table's indexes ------------------------------


def test_index_round_trip_restores_exactly_the_catalogued_indexes(conn):
    make_homes(conn)
    conn.execute("CREATE INDEX homes_extra ON homes (type)")
    conn.execute("CREATE INDEX temp_homes_name ON temp_homes (name)")
    nv.drop_table_index(conn, "homes")
    assert index_names(conn, "homes") == []
    assert index_names(conn, "temp_homes") == ["temp_homes_name"]
    assert index_rows(conn) == EXAMPLE_INDEX_ROWS
    nv.active_table_index(conn, "homes")
    assert index_names(conn, "homes") == HOMES_INDEXES
    for table, name, cols in EXAMPLE_INDEX_ROWS:
        assert index_cols(conn, f"{table}_{name}") == cols.split(",")
    assert index_names(conn, "temp_homes") == ["temp_homes_name"]
    assert index_rows(conn) == EXAMPLE_INDEX_ROWS
    assert table_rows(conn, "homes") == ROWS


# --- table creation ---------------------------------------------------------


def test_create_table_builds_documented_example(conn, other):
    index = example_index()
    nv.create_table(conn, "homes", list(COLS), index, example_unique())
    for table in ("homes", "temp_homes"):
        assert [r[1] for r in fetch(other, f"PRAGMA table_info({table})")] == COLS
        assert table_rows(other, table) == []
    assert index_rows(other) == EXAMPLE_INDEX_ROWS
    assert unique_rows(other) == EXAMPLE_UNIQUE_ROWS
    assert index_names(other, "homes") == HOMES_INDEXES
    assert index_cols(other, "homes_unique_0") == ["name", "type"]
    assert index_names(other, "temp_homes") == []
    assert index == [
        {"name": "index_0", "cols": "name,type,address", "table": "homes"},
        {"name": "index_1", "cols": "age", "table": "homes"},
    ]


def test_create_table_statement_sequence(conn):
    log = traced(conn)
    nv.create_table(conn, "homes", list(COLS), example_index(), example_unique())
    expected = [
        "BEGIN DEFERRED",
        "DROP Table IF EXISTS homes",
        "DELETE FROM index_table Where table_name = 'homes'",
        "DELETE FROM unique_table Where table_name = 'homes'",
        "DROP Table IF EXISTS temp_homes",
        "CREATE TABLE homes (name,type,address,age)",
        "CREATE TABLE temp_homes (name,type,address,age)",
        *insert_index_sql("homes", "index_0", "name,type,address"),
        *insert_index_sql("homes", "index_1", "age"),
        *insert_unique_sql("homes", "unique_0", "name,type", "0,1"),
        *insert_unique_sql("homes", "unique_1", "address", "2"),
        "COMMIT",
    ]
    assert [norm(s) for s in log] == [norm(s) for s in expected]


def test_create_table_reads_each_iterable_once(conn):
    nv.create_table(conn, "homes", list(COLS), iter(example_index()), (u for u in example_unique()))
    assert [r[1] for r in fetch(conn, "PRAGMA table_info(homes)")] == COLS
    assert index_rows(conn) == EXAMPLE_INDEX_ROWS
    assert unique_rows(conn) == EXAMPLE_UNIQUE_ROWS


def test_create_table_replaces_existing_table(conn, other):
    make_homes(conn)
    nv.create_table(conn, "other_t", ["a"], [{"name": "i", "cols": "a"}], [{"name": "u", "cols": [0]}])
    nv.create_table(conn, "homes", ["x", "y"], [{"name": "j", "cols": "y"}], [])
    assert [r[1] for r in fetch(other, "PRAGMA table_info(homes)")] == ["x", "y"]
    assert table_rows(other, "homes") == table_rows(other, "temp_homes") == []
    assert index_rows(other) == [("homes", "j", "y")]
    assert unique_rows(other) == []
    assert index_names(other, "homes") == ["homes_j"]
    assert index_rows(other, "other_t") == [("other_t", "i", "a"), ("other_t", "u", "a")]
    assert unique_rows(other, "other_t") == [("other_t", "u", "a", "0")]


def good_index():
    return {"name": "index_0", "cols": "age"}


def good_rule():
    return {"name": "unique_0", "cols": [0]}


BAD_CREATE_ARGS = {
    "column-not-text": (lambda: {"cols": ["name", 5, "address"]}, TypeError),
    "no-columns": (lambda: {"cols": []}, IndexError),
    "position-out-of-range": (lambda: {"unique": [good_rule(), {"name": "u", "cols": [1, 4]}]}, IndexError),
    "position-not-integer": (lambda: {"unique": [good_rule(), {"name": "u", "cols": ["1"]}]}, TypeError),
    "rule-without-name": (lambda: {"unique": [good_rule(), {"cols": [1]}]}, KeyError),
    "rule-without-cols": (lambda: {"unique": [good_rule(), {"name": "u"}]}, KeyError),
    "index-entry-tuple": (lambda: {"index": [good_index(), ("i", "name")]}, TypeError),
    "index-entry-read-only": (
        lambda: {"index": [good_index(), types.MappingProxyType({"name": "i", "cols": "name"})]},
        TypeError,
    ),
    "index-without-name": (lambda: {"index": [good_index(), {"cols": "name"}]}, KeyError),
    "index-without-cols": (lambda: {"index": [good_index(), {"name": "i"}]}, KeyError),
    "index-not-iterable": (lambda: {"index": 5}, TypeError),
    "unique-not-iterable": (lambda: {"unique": 5}, TypeError),
}


@pytest.mark.parametrize("case", list(BAD_CREATE_ARGS))
def test_create_table_bad_argument_keeps_old_table(conn, other, case):
    override, exc = BAD_CREATE_ARGS[case]
    make_homes(conn)
    before = snapshot(conn)
    args = {"cols": list(COLS), "index": [good_index()], "unique": [good_rule()]}
    args.update(override())
    with pytest.raises(exc):
        nv.create_table(conn, "homes", args["cols"], args["index"], args["unique"])
    assert snapshot(conn) == before
    conn.commit()
    assert snapshot(other) == before


# --- nested calls -----------------------------------------------------------


@pytest.fixture
def spies(monkeypatch):
    log = []

    def install(*names, through=True):
        for name in names:
            original = getattr(nv, name)

            def spy(*args, _name=name, _original=original, **kwargs):
                log.append((_name, args, kwargs))
                if through:
                    return _original(*args, **kwargs)

            monkeypatch.setattr(nv, name, spy)
        return log

    return install


def check_calls(log, expected):
    assert log == expected
    for _, _, kwargs in log:
        assert kwargs["comm"] is False


def test_create_table_nested_calls(conn, spies):
    log = spies("drop_table", "insert_index", "insert_unique", through=False)
    index = example_index()
    nv.create_table(conn, "homes", list(COLS), index, example_unique())
    check_calls(
        log,
        [
            ("drop_table", (), {"conn": conn, "table": "homes", "comm": False}),
            ("insert_index", (), {"conn": conn, "index": index[0], "comm": False}),
            ("insert_index", (), {"conn": conn, "index": index[1], "comm": False}),
            (
                "insert_unique",
                (),
                {
                    "conn": conn,
                    "table": "homes",
                    "name": "unique_0",
                    "cols": "name,type",
                    "cols_num": "0,1",
                    "comm": False,
                },
            ),
            (
                "insert_unique",
                (),
                {"conn": conn, "table": "homes", "name": "unique_1", "cols": "address", "cols_num": "2", "comm": False},
            ),
        ],
    )
    assert log[1][2]["index"] is index[0] and log[2][2]["index"] is index[1]
    assert index[0]["table"] == index[1]["table"] == "homes"


def test_insert_unique_nested_calls(conn, spies):
    conn.execute("CREATE TABLE homes (name, type, address, age)")
    log = spies("drop_index", "insert_index")
    nv.insert_unique(conn, "homes", "u", "name,address", "0,2")
    check_calls(
        log,
        [
            ("drop_index", (), {"conn": conn, "table": "homes", "name": "u", "comm": False}),
            (
                "insert_index",
                (),
                {"conn": conn, "index": {"table": "homes", "name": "u", "cols": "name,address"}, "comm": False},
            ),
        ],
    )
    assert index_cols(conn, "homes_u") == ["name", "address"]


def test_drop_unique_nested_calls(conn, spies):
    make_homes(conn)
    log = spies("drop_index")
    nv.drop_unique(conn, "homes", "unique_1")
    check_calls(log, [("drop_index", (), {"conn": conn, "table": "homes", "name": "unique_1", "comm": False})])
    assert "homes_unique_1" not in index_names(conn, "homes")


# --- names that are not plain text ------------------------------------------


def test_quote_in_index_name(conn, other):
    make_homes(conn)
    for _ in range(2):
        nv.insert_index(conn, {"table": "homes", "name": QUOTED, "cols": "age"})
    assert index_rows(other) == sorted(EXAMPLE_INDEX_ROWS + [("homes", QUOTED, "age")], key=repr)
    nv.drop_index(conn, "homes", QUOTED)
    assert index_rows(other) == EXAMPLE_INDEX_ROWS


def test_quote_in_rule_name(conn, other):
    make_homes(conn)
    for _ in range(2):
        nv.insert_unique(conn, "homes", QUOTED, "age", "3")
    assert unique_rows(other) == sorted(EXAMPLE_UNIQUE_ROWS + [("homes", QUOTED, "age", "3")], key=repr)
    assert ("homes", QUOTED, "age") in index_rows(other)
    nv.drop_unique(conn, "homes", QUOTED)
    assert unique_rows(other) == EXAMPLE_UNIQUE_ROWS
    assert index_rows(other) == EXAMPLE_INDEX_ROWS


def test_quote_in_table_name(conn, other):
    make_homes(conn)
    table = "t/*'*/"
    conn.execute("CREATE TABLE t (a)")
    conn.execute("CREATE TABLE temp_t (a)")
    conn.execute("INSERT INTO index_table VALUES (?, 'i', 'a')", (table,))
    conn.execute("INSERT INTO unique_table VALUES (?, 'u', 'a', '0')", (table,))
    conn.commit()
    nv.active_table_index(conn, "it's")
    nv.drop_table(conn, table)
    assert not table_exists(other, "t") and not table_exists(other, "temp_t")
    assert index_rows(other, table) == unique_rows(other, table) == []
    assert index_rows(other) == EXAMPLE_INDEX_ROWS
    assert unique_rows(other) == EXAMPLE_UNIQUE_ROWS


@pytest.mark.parametrize("rule", [False, True], ids=["index", "rule"])
def test_integer_name_keeps_one_row(conn, rule):
    conn.execute("CREATE TABLE homes (name, age)")
    for _ in range(2):
        if rule:
            nv.insert_unique(conn, "homes", 5, "age", "1")
        else:
            nv.insert_index(conn, {"table": "homes", "name": 5, "cols": "age"})
    assert index_rows(conn) == [("homes", 5, "age")]
    assert unique_rows(conn) == ([("homes", 5, "age", "1")] if rule else [])
    assert index_names(conn, "homes") == ["homes_5"]
    (nv.drop_unique if rule else nv.drop_index)(conn, "homes", 5)
    assert index_rows(conn) == unique_rows(conn) == []
    assert index_names(conn, "homes") == []


# --- table removal ----------------------------------------------------------


def test_drop_table_removes_tables_and_catalog_rows(conn, other):
    make_homes(conn)
    nv.create_table(conn, "keep", ["a"], [{"name": "i", "cols": "a"}], [{"name": "u", "cols": [0]}])
    nv.drop_table(conn, "homes")
    assert not table_exists(other, "homes") and not table_exists(other, "temp_homes")
    assert index_rows(other) == unique_rows(other) == []
    assert index_names(other, "keep") == ["keep_i", "keep_u"]
    assert index_rows(other, "keep") == [("keep", "i", "a"), ("keep", "u", "a")]
    assert unique_rows(other, "keep") == [("keep", "u", "a", "0")]


def test_drop_table_of_missing_table_clears_its_catalog_rows(conn, other):
    conn.execute("INSERT INTO index_table VALUES ('ghost', 'i', 'a')")
    conn.execute("INSERT INTO unique_table VALUES ('ghost', 'u', 'a', '0')")
    conn.commit()
    nv.drop_table(conn, "ghost")
    assert index_rows(other, "ghost") == unique_rows(other, "ghost") == []


@pytest.mark.parametrize("func", ["drop_table", "active_table_index"])
def test_database_without_catalog_fails(tmp_path, func):
    bare = sqlite3.connect(str(tmp_path / "bare.db"))
    try:
        bare.execute("CREATE TABLE t (a)")
        with pytest.raises(sqlite3.OperationalError, match="index_table"):
            getattr(nv, func)(bare, "t")
    finally:
        bare.close()
