"""Column types that hold for a table: recorded by `create --type`, by the
first stage into an empty table or from the values a table holds, and kept
by every later CSV or TSV stage."""

import sqlite3

import pytest
from test_cli import fails, ok, write

from norvane import Table


def stored(db, table, staging=False):
    with sqlite3.connect(db) as conn:
        return conn.execute(f"SELECT * FROM {'temp_' if staging else ''}{table} ORDER BY rowid").fetchall()


def types_line(db, table):
    lines = [line for line in ok("schema", db, table).splitlines() if line.startswith("  types:")]
    return lines[0].split(":", 1)[1].strip() if lines else None


@pytest.fixture
def registry(tmp_path):
    db = tmp_path / "iot.db"
    ok("create", db, "dev", "site", "slot", "serial", "seen", "--unique", "place=site,slot")
    return db


def test_a_leading_zero_in_a_later_file_is_an_error_not_a_new_key(registry, tmp_path):
    """The trial: slots 0..2999 staged and merged, then the same keys again
    with the last slot written 007. That file used to be typed alone (slot
    as text), so nothing replaced anything and the count doubled; now it is
    an error and nothing is staged, and written as 7 it replaces."""
    sites = ["Zürich", "São Paulo", "東京"]
    order = [i for i in range(3000) if i != 7] + [7]
    rows = [(sites[i % 3], i, f"{i:07d}", f"2024-05-06 09:{i % 60:02d}:00") for i in order]

    def csv_text(last_slot):
        lines = [f"{site},{slot},{serial},{seen}" for site, slot, serial, seen in rows]
        lines[-1] = lines[-1].replace(",7,", f",{last_slot},", 1)
        return "site,slot,serial,seen\n" + "\n".join(lines) + "\n"

    ok("stage", registry, "dev", write(tmp_path / "a.csv", csv_text("7")), "--merge")
    assert types_line(registry, "dev") == "site=text, slot=integer, serial=text, seen=text"
    wrong = csv_text("007")
    fails(
        1,
        "b.csv: line 3001: '007' in column slot is not an integer",
        "stage",
        registry,
        "dev",
        write(tmp_path / "b.csv", wrong),
        "--merge",
    )
    fails(1, "line 3001: '007' in column slot", "stage", registry, "dev", "--csv", input=wrong)
    assert stored(registry, "dev", staging=True) == []
    assert ok("count", registry, "dev") == "3000\n"
    out = ok("stage", registry, "dev", write(tmp_path / "b.csv", csv_text("7")), "--merge")
    assert out.splitlines()[1] == "staged 3000, inserted 3000, replaced 3000, superseded 0, stale 0"
    assert ok("count", registry, "dev") == "3000\n"
    assert sorted(stored(registry, "dev")) == sorted(rows)


def test_types_recorded_up_front_hold_from_the_first_file(tmp_path):
    db = tmp_path / "t.db"
    ok("create", db, "t", "code", "n", "x", "--type", "CODE=text", "--type", "n=real")
    assert types_line(db, "t") == "code=text, n=real"
    ok("stage", db, "t", write(tmp_path / "a.csv", "code,n,x\n007,1,5\n"))
    fails(1, "line 3: 'a' in column n is not a real", "stage", db, "t", write(tmp_path / "b.csv", "n\n3\na\n"))
    assert stored(db, "t", staging=True) == [("007", 1.0, 5)]
    # The first stage into the empty table recorded the column left open.
    assert types_line(db, "t") == "code=text, n=real, x=integer"
    fails(1, "--type colour: u has no such column", "create", db, "u", "a", "--type", "colour=text")
    fails(2, "--type", "create", db, "u", "a", "--type", "a=float")
    assert "u" not in ok("tables", db)


def test_a_table_with_rows_takes_the_types_of_its_values(tmp_path):
    """Rows staged from JSON record nothing; the next CSV stage records each
    column whose values have one storage class, and none for a mixed one."""
    db = tmp_path / "t.db"
    ok("create", db, "t", "k", "v", "m", "e")
    ok("stage", db, "t", "--nl", input='{"k": 1, "v": "x", "m": 1}\n{"k": 2, "v": "y", "m": "a"}\n')
    assert types_line(db, "t") is None
    fails(1, "'007' in column k is not an integer", "stage", db, "t", "--csv", input="k,v,m\n3,08,5\n007,1,1\n")
    ok("stage", db, "t", "--csv", input="k,v,m\n3,08,5\n")
    assert types_line(db, "t") == "k=integer, v=text"  # m is mixed, e holds only NULLs
    assert stored(db, "t", staging=True)[-1] == (3, "08", 5, None)


def test_what_clears_overrides_and_ignores_recorded_types(registry, tmp_path):
    ok("stage", registry, "dev", write(tmp_path / "a.csv", "site,slot,serial,seen\nx,1,,\n"))
    assert types_line(registry, "dev") == "site=text, slot=integer"  # empty columns record nothing
    # --type holds for one run.
    ok("stage", registry, "dev", write(tmp_path / "b.csv", "site,slot\nx,007\n"), "--type", "slot=text")
    assert types_line(registry, "dev") == "site=text, slot=integer"
    # JSON keeps its JSON types; rows from Python keep theirs.
    ok("stage", registry, "dev", "--nl", input='{"site": "x", "slot": "008"}\n')
    with sqlite3.connect(registry) as conn:
        Table(conn, "dev").stage([("x", "009", None, None)])
    assert [row[1] for row in stored(registry, "dev", staging=True)] == [1, "007", "008", "009"]
    ok("create", registry, "dev", "site", "slot", "serial", "seen", "--replace")
    assert types_line(registry, "dev") is None
    ok("stage", registry, "dev", write(tmp_path / "a.csv", "site,slot\nx,1\n"))
    assert types_line(registry, "dev") == "site=text, slot=integer"
    ok("drop", registry, "dev")
    ok("create", registry, "dev", "site", "slot")
    assert types_line(registry, "dev") is None
    with sqlite3.connect(registry) as conn:
        assert conn.execute("SELECT count(*) FROM table_settings").fetchone() == (0,)
