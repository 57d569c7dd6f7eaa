"""The Table API: schema records, staging and merging, and every bad argument
refused before anything is written (reads: test_reads.py)."""

import sqlite3
import traceback

import pytest

import norvane.norvane as nv
from norvane import Index, Table, Unique, _native


@pytest.fixture
def homes(conn):
    return Table(conn, "homes").create(
        ["name", "kind", "age"],
        indexes=[Index("by_age", ["age"])],
        unique=[Unique("home", ["name"])],
    )


def test_private_find_is_find_with_bound_parameters(homes, conn):
    homes.stage([("rose", "flat", 12), ("oak", "house", 40), ("rose", "villa", 13)])
    ours, staged = _native.find(conn, "name,age", "homes", "where age > ?", [12])
    assert ours == nv.find(conn, "name,age", "homes", "where age > 12") == [["oak", 40], ["rose", 13]]
    assert staged == 2
    with pytest.raises(sqlite3.OperationalError) as caught:
        _native.find(conn, None, "nowhere", "", None)
    names = [frame.name for frame in traceback.extract_tb(caught.value.__traceback__)]
    assert names[-1] == "norvane._native.find"


def test_limit_and_order_apply_to_current_rows(conn):
    t = Table(conn, "kv").create(["k", "v"], unique=[Unique("by_k", "k")])
    t.stage([(1, "old"), (1, "new")])
    assert t.rows(limit=1) == [(1, "new")]
    assert t.rows(order_by=["k DESC"], limit=1) == [(1, "new")]
    assert nv.find(conn, "*", "kv", "limit 1") == []  # the low-level layer limits each part


def test_rowids_address_main_rows_only(homes):
    homes.stage([("rose", "flat", 12), ("oak", "house", 40)])
    homes.merge()
    homes.stage([("ivy", "flat", 3)])
    rows = homes.dicts(select=["rowid", "name"], order_by="name")
    # Merged rows take rowids in staging order.
    assert rows == [{"rowid": None, "name": "ivy"}, {"rowid": 2, "name": "oak"}, {"rowid": 1, "name": "rose"}]
    homes.delete(row["rowid"] for row in rows if row["name"] == "oak")
    assert homes.rows(select="name") == [("ivy",), ("rose",)]
    with pytest.raises(TypeError, match="staged row"):
        homes.delete([None])  # type: ignore[list-item]


def test_schema_records(homes, conn):
    assert homes.exists() and not Table(conn, "nowhere").exists()
    assert homes.columns() == ("name", "kind", "age")
    assert homes.rules() == [Unique("home", ("name",))]
    assert homes.indexes() == [Index("by_age", ("age",)), Index("home", ("name",))]
    homes.stage([{"name": "rose", "age": 3}, ["oak", None, 4]])
    assert (homes.count_staged(), homes.count_main()) == (2, 0)
    assert homes.rows() == [("rose", None, 3), ("oak", None, 4)]
    with pytest.raises(sqlite3.OperationalError, match="already exists"):
        Table(conn, "HOMES").create(["x"])
    homes.drop()
    assert not homes.exists()


# ------------------------------------------------------------- validation --


@pytest.mark.parametrize(
    "rows, error, message",
    [
        ([("rose", "flat")], ValueError, "row 0 has 2 values"),
        ([("rose", "flat", 1), "oak"], TypeError, "row 1 is a str"),
        ([{"name": "rose", "agee": 3}], ValueError, "row 0: no column 'agee'"),
        ([("rose", "flat", 1), ("oak", "house", {40})], TypeError, "row 1, column 'age': cannot store a set"),
        ([("rose", "flat", 2**64)], ValueError, "row 0, column 'age'"),
        ([("\ud800", "flat", 1)], ValueError, "row 0, column 'name'"),
        ({"name": "rose"}, TypeError, "rows must be an iterable"),
    ],
)
def test_bad_rows_write_nothing(homes, rows, error, message):
    with pytest.raises(error, match=message):
        homes.stage(rows)
    assert homes.count_staged() == 0


@pytest.mark.parametrize(
    "indexes, unique, error, message",
    [
        ([], [Unique("u", [-1])], ValueError, "position -1"),
        ([], [Unique("u", [3])], ValueError, "position 3"),
        ([], [Unique("u", ["nope"])], ValueError, "no column 'nope'"),
        ([], [Unique("u", [])], ValueError, "has no columns"),
        ([], [Unique("u", ["a", 0])], ValueError, "twice"),
        ([Index("u", "a")], [Unique("u", "b")], ValueError, "taken"),
        ([{"name": "i", "cols": "a"}], [], TypeError, "Index records"),
        ([Index("i", "a DESC")], [], ValueError, "no column 'a DESC'"),
    ],
)
def test_bad_rules_and_indexes_create_nothing(conn, indexes, unique, error, message):
    t = Table(conn, "t").create(["a", "b", "c"])
    with pytest.raises(error, match=message):
        t.create(["a", "b", "c"], indexes=indexes, unique=unique, replace=True)
    assert t.exists() and t.rules() == [] and t.indexes() == []


@pytest.mark.parametrize(
    "table, columns, error",
    [
        ("a b", ["x"], ValueError),
        ("temp_homes", ["x"], ValueError),
        ("select", ["x"], ValueError),
        ("sqlite_x", ["x"], ValueError),
        ("unique_table", ["x"], ValueError),
        (7, ["x"], TypeError),
        ("t", ["rowid"], ValueError),
        ("t", ["a", "A"], ValueError),
        ("t", ["a-b"], ValueError),
        ("t", "ab", TypeError),
        ("t", [], ValueError),
        ("t", ["order"], ValueError),
    ],
)
def test_bad_names(conn, table, columns, error):
    with pytest.raises(error):
        Table(conn, table).create(columns)
    assert (
        conn.execute(
            "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT IN ('index_table', 'unique_table')"
        ).fetchall()
        == []
    )


def test_every_keyword_is_refused_as_a_name(conn):
    """The extension's one list of SQLite keywords: Table refuses each of them,
    in any case; the literals and the rowid's names are not on it."""
    assert isinstance(_native.KEYWORDS, frozenset) and len(_native.KEYWORDS) == 147
    assert {"SELECT", "ORDER", "CURRENT_TIMESTAMP"} <= _native.KEYWORDS
    assert not {"TRUE", "FALSE", "ROWID", "OID", "_ROWID_"} & _native.KEYWORDS
    for word in _native.KEYWORDS:
        with pytest.raises(ValueError, match="is an SQL keyword"):
            Table(conn, "t").create(["a", word.lower()])


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"where": "age > ?", "params": "3"}, TypeError, "params must be"),
        ({"where": "age > ?", "params": {3}}, TypeError, "params must be"),
        ({"where": "age > ?", "params": [{3}]}, TypeError, "parameter 0"),
        ({"where": "age > :a", "params": {"a": object()}}, TypeError, "parameter 'a'"),
        ({"where": 3}, TypeError, "where must be"),
        ({"params": [3]}, ValueError, "no where"),
        ({"where": "age > 1) LIMIT (1"}, ValueError, "parentheses"),
        ({"select": ["name", "email"]}, ValueError, "no column 'email'"),
        ({"select": "name,age"}, ValueError, "as a list"),
        ({"select": []}, ValueError, "no column"),
        ({"order_by": ["age sideways"]}, ValueError, "ASC or DESC"),
        ({"limit": -1}, ValueError, "limit"),
        ({"limit": True}, TypeError, "limit"),
        ({"offset": 1.5}, TypeError, "offset"),
    ],
)
def test_bad_query_arguments(homes, kwargs, error, message):
    with pytest.raises(error, match=message):
        homes.rows(**kwargs)


def test_bad_connection_and_flags(homes):
    with pytest.raises(TypeError, match="sqlite3.Connection"):
        Table(None, "homes")  # type: ignore[arg-type]
    with pytest.raises(TypeError, match="commit"):
        homes.merge(commit="yes")  # type: ignore[arg-type]
    with pytest.raises(sqlite3.OperationalError, match="no such table: nowhere"):
        Table(homes.conn, "nowhere").stage([(1,)])


# -------------------------------------------------------------- injection --


def test_values_are_only_values(homes, conn):
    evil = ["x'); DROP TABLE homes; --", "' OR 1=1 --", "rose\x00oak"]
    homes.stage([(name, "flat", n) for n, name in enumerate(evil)])
    homes.merge()
    assert [name for (name,) in homes.rows(select="name", order_by="age")] == evil
    for name in evil:
        assert homes.rows("name = ?", [name], select="name") == [(name,)]
    assert homes.rows("name = :n", {"n": "' OR 1=1 --"}, select="age") == [(1,)]
    assert homes.rows("name = ?", ["rose"]) == []
    homes.delete([1, 2, 3])
    assert homes.count_main() == 0 and homes.exists()


@pytest.mark.parametrize("name", ["homes; DROP TABLE homes", "homes --", "homes(x)", "[homes]"])
def test_names_cannot_smuggle_sql(homes, name):
    with pytest.raises(ValueError):
        Table(homes.conn, name)
    with pytest.raises(ValueError):
        homes.rows(select=[name])
    with pytest.raises(ValueError):
        homes.rows(order_by=[name])
    with pytest.raises(ValueError):
        homes.stage([{name: 1}])
    assert homes.exists() and homes.count_staged() == 0


def test_the_docs_say_which_writes_are_module_calls(tmp_path, monkeypatch):
    """A Table stages and merges through C++ entries of its own, not through
    insert_temp and temp_to_main: the page on the module functions must not
    say that every write is a module function's call."""
    import pathlib

    import norvane.norvane as module
    from norvane.catalog import prepare_catalog

    conn = sqlite3.connect(tmp_path / "t.db")
    prepare_catalog(conn)
    table = Table(conn, "feed").create(["a", "b"], unique=[Unique("by_a", ["a"])])
    for name in ("insert_temp", "temp_to_main"):
        monkeypatch.setattr(module, name, None)
    table.stage([(1, 2), (1, 3)])
    table.merge()
    assert table.rows() == [(1, 3)]
    page = (pathlib.Path(__file__).parent.parent / "docs" / "functions.md").read_text(encoding="utf-8")
    assert "every write of a `Table` is one" not in " ".join(page.split())
    assert "stages and deletes by rowid with the same C++" in " ".join(page.split())
    conn.close()


def catalog_tables(conn):
    return sorted(
        name for (name,) in conn.execute("SELECT name FROM sqlite_master WHERE name IN ('index_table', 'unique_table')")
    )


def test_create_prepares_the_catalog_of_a_plain_file(tmp_path):
    """The trial: Table(sqlite3.connect(path), ...).create on a file no DB had
    prepared raised "no such table: index_table"."""
    conn = sqlite3.connect(tmp_path / "x.db")
    Table(conn, "dev").create(["site", "slot"], unique=[Unique("place", ["site", "slot"])]).stage([("a", 1)])
    assert Table(conn, "dev").rows() == [("a", 1)] and not conn.in_transaction
    # Inside a transaction of the caller's: prepared there, so a rollback takes it back.
    inside = sqlite3.connect(tmp_path / "y.db")
    inside.execute("CREATE TABLE mine (a)")
    inside.execute("BEGIN")
    inside.execute("INSERT INTO mine VALUES (1)")
    Table(inside, "dev").create(["a"], commit=False)
    assert inside.in_transaction and catalog_tables(sqlite3.connect(tmp_path / "y.db")) == []
    inside.rollback()
    assert catalog_tables(inside) == [] and inside.execute("SELECT * FROM mine").fetchall() == []
    with sqlite3.connect(tmp_path / "y.db", autocommit=False) as pending:  # a commit keeps all of it
        Table(pending, "dev").create(["a"], commit=False)
        pending.commit()
    assert catalog_tables(inside) == ["index_table", "unique_table"] and Table(inside, "dev").exists()


@pytest.mark.parametrize(
    "call",
    [
        lambda t: t.rows(),
        lambda t: t.count(),
        lambda t: t.stage([(1,)]),
        lambda t: t.merge(),
        lambda t: t.rules(),
        lambda t: t.delete([1]),
        lambda t: t.count_staged(),
        lambda t: t.drop(),
    ],
    ids=["rows", "count", "stage", "merge", "rules", "delete", "count_staged", "drop"],
)
@pytest.mark.parametrize("made", [False, True], ids=["no table", "table by SQL"])
def test_other_calls_without_the_catalog_say_how_to_prepare_it(tmp_path, call, made):
    class Connection(sqlite3.Connection):
        class OperationalError(sqlite3.OperationalError):
            """The connection's own class, as a driver's would be."""

    conn = sqlite3.connect(tmp_path / "x.db", factory=Connection)
    if made:
        conn.executescript("CREATE TABLE dev (a); CREATE TABLE temp_dev (a);")
    before = (tmp_path / "x.db").read_bytes()
    with pytest.raises(Connection.OperationalError, match=r"norvane\.DB\(.*norvane\.catalog\.prepare_catalog"):
        call(Table(conn, "dev"))
    assert (tmp_path / "x.db").read_bytes() == before
    assert Table(conn, "dev").exists() is made
