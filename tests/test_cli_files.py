"""The command line and the files it is given: a command that fails leaves
no new file and an existing one byte for byte as it was."""

import sqlite3

import pytest
from test_cli import fails, ok, write

CREATE_FAILURES = [
    (["select", "a"], "table name 'select' is an SQL keyword"),
    (["t", "a b"], "column name 'a b' is not a plain identifier"),
    (["t", "a", "--unique", "r=zz"], "no column 'zz'"),
    (["t", "a", "a"], "column 'a' is given twice"),
    (["t", "a", "--type", "zz=text"], "--type zz: t has no such column"),
]


def files(directory):
    return sorted(path.name for path in directory.iterdir())


@pytest.mark.parametrize("args, message", CREATE_FAILURES, ids=["keyword", "space", "rule", "twice", "type"])
def test_a_failed_create_leaves_no_trace(tmp_path, args, message):
    fails(1, message, "create", tmp_path / "new.db", *args)
    assert files(tmp_path) == []
    ok("create", tmp_path / "old.db", "feed", "a", "b", "--unique", "r=a")
    ok("stage", tmp_path / "old.db", "feed", "--csv", input="a,b\n1,x\n")
    with sqlite3.connect(tmp_path / "plain.db") as conn:  # a file norvane never prepared
        conn.execute("CREATE TABLE things (a, b)")
    for name in ("old.db", "plain.db"):
        before = (tmp_path / name).read_bytes()
        fails(1, message, "create", tmp_path / name, *args)
        assert (tmp_path / name).read_bytes() == before
    assert files(tmp_path) == ["old.db", "plain.db"]


def test_a_failed_stage_or_drop_leaves_the_file_as_it_was(tmp_path):
    db = tmp_path / "t.db"
    ok("create", db, "t", "k", "v", "--unique", "r=k")
    before = db.read_bytes()
    text = "k,v\n" + "".join(f"{i},x\n" for i in range(3000)) + "1,2,3\n"
    fails(1, "line 3002", "stage", db, "t", write(tmp_path / "a.csv", text), "--merge")
    fails(1, "line 3002", "stage", db, "t", write(tmp_path / "a.csv", text))
    fails(1, "no such table: u", "drop", db, "u")
    assert db.read_bytes() == before  # the types of the first stage were not recorded either
    assert files(tmp_path) == ["a.csv", "t.db"]
