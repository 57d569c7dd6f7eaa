"""Staging many rows per statement leaves exactly what one statement per row
leaves: the same rows, rowids and storage classes, and the same transaction."""

import pytest
from conftest import FastPath, Proxy, fresh_name
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import norvane.norvane as nv
from norvane import Table, _native

KINDS = [None, 7, -(2**63), 0.5, "text", "é", b"\x00", 2**63 - 1, 1.0, ""]


@pytest.fixture(scope="module")
def shared(tmp_path_factory):
    db = nv.DB(fresh_name("grouped"), str(tmp_path_factory.mktemp("grouped") / "g.db"))
    c = db.connection()
    c.execute("PRAGMA synchronous = OFF")  # every example commits; durability is not under test
    yield c
    c.close()


def staged(conn, name):
    """Rows with their rowids and the type of every value (1 == 1.0 in Python)."""
    rows = conn.execute(f"SELECT rowid, * FROM temp_{name} ORDER BY rowid").fetchall()
    return [(row, [type(value) for value in row]) for row in rows]


def stage_with(conn, name, width, rows, grouped, commit, flat=False, inserts=None):
    """The staged rows and whether a transaction stays open; `inserts` (a
    list) gets how many INSERT statements staged them, as SQLite's statement
    trace shows. Grouped rows go as Table.stage and frames stage them; the
    others through the staging entry of tests, one statement per row."""
    table = Table(conn, name).create([f"c{k}" for k in range(width)], replace=True)
    table.stage([(None,) * width])  # rowids continue after existing rows
    statements = []
    conn.set_trace_callback(statements.append)
    try:
        values = [value for row in rows for value in row]  # as frames stage: row after row
        if not grouped:
            way = _native.traced_stage(
                conn, name, values if flat else rows, commit, "auto", False, width if flat else None
            )
            assert way == "statements"
        elif flat:
            _native.stage_values(conn, name, values, width, commit)
        else:
            table.stage(rows, commit=commit)
    finally:
        conn.set_trace_callback(None)
    if inserts is not None:
        inserts.append(sum(s.lstrip().upper().startswith("INSERT") for s in statements))
    return staged(conn, name), conn.in_transaction


# Rows go many to a statement in every example of two rows or more (counted
# there; the explicit example makes sure there is one).
GROUPED = FastPath()


@GROUPED.share(1.0)
@settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(width=st.integers(1, 6), count=st.integers(0, 700), shift=st.integers(0, 9), commit=st.booleans())
@example(width=3, count=500, shift=0, commit=True)
def test_grouped_staging_equals_one_statement_per_row(shared, width, count, shift, commit):
    rows = [tuple(KINDS[(r * width + k + shift) % len(KINDS)] for k in range(width)) for r in range(count)]
    plain = []
    one_by_one = stage_with(shared, "per_row", width, rows, False, commit, inserts=plain)
    shared.rollback()
    assert plain == [count]
    grouped_inserts = []
    for grouped, flat in [(True, False), (True, True), (False, True)]:
        inserts = grouped_inserts if grouped else []
        assert stage_with(shared, "other", width, rows, grouped, commit, flat, inserts) == one_by_one
        shared.rollback()
    if count >= 2:
        GROUPED.count(all(n < count for n in grouped_inserts))


def test_a_failing_group_stages_nothing(conn):
    Table(conn, "t").create(["a", "b"])
    rows = [(n, "x") for n in range(600)]
    rows[400] = (1, 2, 3)
    with pytest.raises(ValueError, match="row 400"):
        _native.stage_rows(conn, "t", rows, True)
    assert staged(conn, "t") == [] and not conn.in_transaction


def test_other_connections_stage_one_row_per_statement(conn):
    Table(conn, "t").create(["a", "b"])
    _native.stage_rows(Proxy(conn), "t", [(1, "x"), (2, "y")], True)
    assert [row for row, _ in staged(conn, "t")] == [(1, 1, "x"), (2, 2, "y")]
