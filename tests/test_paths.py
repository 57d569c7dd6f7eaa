"""Which fast path may run, decided in one place: the connection profile of
norvane._native. The table below lists each path with the flags it requires;
the profile reads each flag as the tests here set it up; and for three guards,
ignoring the guard makes the path's differential test fail."""

import sqlite3

import pytest
from conftest import switched

import norvane.norvane as nv
from norvane import Table, _native, _traced
from norvane.call_options import CallOptions
from norvane.catalog import prepare_catalog

# Each fast path and the flags it requires (the reasons are in the headers of
# exactness.hpp, set_guards.hpp and json_staging.hpp, and in row_deletes.py).
PATHS = {
    "find_groups": (
        "known_engine",
        "no_row_factory",
        "str_text_factory",
        "no_plain_adapter",
        "numbers_exact",
        "plain_tables",
        "no_collation",
        "declared_alike",
        "types_as_stored",
    ),
    "exact_reads": (
        "known_engine",
        "no_row_factory",
        "str_text_factory",
        "no_plain_adapter",
        "numbers_exact",
        "plain_tables",
        "no_collation",
        "declared_alike",
        "types_as_stored",
    ),
    "set_merge": (
        "known_engine",
        "no_row_factory",
        "str_text_factory",
        "no_plain_adapter",
        "callees_own",
        "numbers_exact",
        "bare_columns",
        "no_triggers",
        "no_foreign_keys",
    ),
    "json_staging": ("cluster_engine", "no_row_factory", "str_text_factory", "no_plain_adapter"),
    "json_delete": ("cluster_engine", "no_main_triggers"),
}


def test_the_table_of_paths_is_the_one_the_extension_decides_by():
    assert dict(_native.PATH_FLAGS) == PATHS


def fresh(columns=("a", "b"), rules=((0,),)):
    conn = sqlite3.connect(":memory:")
    prepare_catalog(conn)
    nv.create_table(conn, "t", list(columns), [], [{"name": f"u{i}", "cols": list(r)} for i, r in enumerate(rules)])
    return conn


def redefine(conn, definition):
    """Both tables of `t` again, with this column definition."""
    conn.execute("DROP TABLE t")
    conn.execute("DROP TABLE temp_t")
    conn.execute(f"CREATE TABLE t ({definition})")
    conn.execute(f"CREATE TABLE temp_t ({definition})")
    conn.commit()


def flags(conn, table="t"):
    return _native.connection_profile(conn, table)["flags"]


def test_a_plain_pair_on_the_host_allows_every_host_path():
    profile = _native.connection_profile(fresh(), "t")
    assert profile["engine"] == "sqlite3" and profile["max_parameters"] is None
    assert all(profile["flags"][f] for f in PATHS["set_merge"] + PATHS["find_groups"])
    assert profile["paths"] == {
        "find_groups": True,
        "exact_reads": True,
        "set_merge": True,
        "json_staging": False,
        "json_delete": False,
    }


@pytest.mark.parametrize(
    "setup, flag",
    [
        (lambda c: setattr(c, "row_factory", sqlite3.Row), "no_row_factory"),
        (lambda c: setattr(c, "text_factory", bytes), "str_text_factory"),
        (lambda c: c.execute("CREATE TRIGGER g AFTER DELETE ON t BEGIN SELECT 1; END"), "no_triggers"),
        (lambda c: c.execute("CREATE TRIGGER g AFTER DELETE ON t BEGIN SELECT 1; END"), "no_main_triggers"),
        (lambda c: redefine(c, "a COLLATE NOCASE, b"), "no_collation"),
        (lambda c: redefine(c, "a INTEGER, b"), "bare_columns"),
        (
            lambda c: (c.execute("CREATE TABLE r (x REFERENCES t(a))"), c.execute("PRAGMA foreign_keys = ON")),
            "no_foreign_keys",
        ),
        (
            lambda c: (
                c.execute("DROP TABLE temp_t"),
                c.execute("CREATE TABLE temp_t (a PRIMARY KEY, b) WITHOUT ROWID"),
            ),
            "plain_tables",
        ),
        (lambda c: (c.execute("DROP TABLE temp_t"), c.execute("CREATE TABLE temp_t (a TEXT, b)")), "declared_alike"),
        (lambda c: setattr(nv, "_insert_main", lambda *a: None), "callees_own"),
    ],
)
def test_each_flag_is_read_from_what_it_names(setup, flag, monkeypatch):
    conn = fresh()
    monkeypatch.setattr(nv, "_insert_main", nv._insert_main)  # restored after the test
    assert flags(conn)[flag]
    setup(conn)
    assert not flags(conn)[flag]


@pytest.mark.parametrize("kind", [int, float, str, bytes, bytearray, memoryview, type(None), bool])
def test_an_adapter_on_any_plain_value_type_keeps_every_path_off(kind):
    # The one list of plain value types (bool and memoryview included).
    conn = fresh()
    sqlite3.register_adapter(kind, lambda value: value)
    try:
        profile = _native.connection_profile(conn, "t")
    finally:
        del sqlite3.adapters[(kind, sqlite3.PrepareProtocol)]
    assert not profile["flags"]["no_plain_adapter"]
    assert not any(profile["paths"].values())


def test_declared_types_are_read_as_stored_unless_a_converter_may_decode_them():
    conn = fresh()
    redefine(conn, "a INTEGER, b REAL(10)")
    assert flags(conn)["types_as_stored"] and _native.connection_profile(conn, "t")["paths"]["exact_reads"]
    for name in ("REAL", "INTEGER"):
        sqlite3.register_converter(name, bytes)
        try:
            assert not flags(conn)["types_as_stored"]
        finally:
            del sqlite3.converters[name]
    assert flags(conn)["types_as_stored"]
    sqlite3.register_converter("other", bytes)
    try:
        redefine(conn, '"a [int]", b')  # with PARSE_COLNAMES a converter is chosen by column name
        assert not flags(conn)["types_as_stored"]
    finally:
        del sqlite3.converters["OTHER"]


def test_an_unknown_flag_cannot_be_ignored():
    with pytest.raises(ValueError, match="no flag named"):
        _native.ignore_guard("no_such_flag")


# ---- Removing a guard fails its differential test --------------------------


def nocase_pair():
    """A main row 'a' and a newer staged row 'A' under a NOCASE rule: SQL's =
    links them, the host's == does not."""
    conn = fresh()
    redefine(conn, "a COLLATE NOCASE, b")
    nv._insert_main(conn, "t", [("a", 1)])
    nv.insert_temp(conn, "t", [("A", 2)])
    return conn


def find_by_walk(conn):
    """find answered by the walk: a replaced newest test sends every
    candidate to it."""
    own = nv._check_newest_unique
    nv._check_newest_unique = lambda *args, **kwargs: own(*args, **kwargs)
    try:
        return nv.find(conn, "*", "t", "")
    finally:
        nv._check_newest_unique = own


def test_find_groups_without_the_collation_guard_differ_from_the_walk():
    conn = nocase_pair()
    assert not flags(conn)["no_collation"]
    expected = find_by_walk(conn)
    assert expected == [["A", 2]]
    assert nv.find(conn, "*", "t", "") == expected
    with switched(_native.ignore_guard, "no_collation"):
        assert nv.find(conn, "*", "t", "") != expected


def test_table_reads_without_the_collation_guard_differ_from_the_merge_statements():
    conn = nocase_pair()
    table = Table(conn, "t")
    expected, plan = _traced.rows(table, CallOptions(reads_plan="exact"))
    assert plan == "exact"
    assert expected == [("A", 2)]
    assert _traced.rows(table, CallOptions()) == (expected, "exact")  # the guard holds the read back
    with switched(_native.ignore_guard, "no_collation"):
        unguarded, plan = _traced.rows(table, CallOptions())
        assert plan == "auto" and unguarded != expected


def test_the_set_merge_without_the_callees_guard_skips_a_replaced_function(monkeypatch):
    """A replaced _insert_main is called as the statement path calls it; the
    set-based merge would call nothing."""

    def merge_logged(path="auto"):
        conn = fresh()
        nv._insert_main(conn, "t", [("x", 1)])
        nv.insert_temp(conn, "t", [("x", 2), ("y", 3)])
        calls = []
        own = nv._insert_main

        def logged(**kwargs):
            calls.append(kwargs["rows"])
            return own(**kwargs)

        monkeypatch.setattr(nv, "_insert_main", logged)
        try:
            if path == "auto":
                nv.temp_to_main(conn, "t")
            else:
                _native.traced_merge(conn, "t", True, None, 0, path, "auto")
        finally:
            monkeypatch.setattr(nv, "_insert_main", own)
        return calls, conn.execute("SELECT * FROM t ORDER BY rowid").fetchall()

    expected = merge_logged("statements")
    assert expected[0] and expected[1] == [("y", 3), ("x", 2)]
    assert merge_logged() == expected
    with switched(_native.ignore_guard, "callees_own"):
        assert merge_logged() != expected
