"""The command line and the files it is given: a command that fails leaves
no new file and an existing one byte for byte as it was."""

import sqlite3

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from test_cli import fails, ok, write

from norvane.cli.csv_input import CsvFormat, csv_rows
from norvane.cli.errors import DataError
from norvane.cli.json_input import json_rows, ndjson_rows
from norvane.cli.source import Source

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


# ---------------------------------------------------------- decoding errors --

WORDS = ["Zürich", "東京", "São Paulo", "plain", "", "12.50", "0007", "x y"]


# Bytes each encoding cannot decode: no UTF-8 starts with 0xff; a low
# surrogate cannot stand alone in UTF-16.
BAD = {"utf-8": b"\xff", "utf-16-le": b"\x00\xdc"}


def bad_file(rng, fmt, count, bad_line, newline, encoding):
    """A file of `count` records in `fmt` with bytes that do not decode in
    line `bad_line` (1 is the first), and the line."""
    if fmt == "csv":
        lines = ["a,b"] + [f"{rng.choice(WORDS)},{rng.choice(WORDS)}" for _ in range(count)]
    else:
        items = [f'{{"a": "{rng.choice(WORDS)}", "b": "{rng.choice(WORDS)}"}}' for _ in range(count)]
        lines = items if fmt == "nl" else ["["] + [item + "," for item in items[:-1]] + items[-1:] + ["]"]
    bad_line = min(bad_line, len(lines))
    text = lines[bad_line - 1]
    cut = rng.randrange(len(text) + 1)
    encoded = [line.encode(encoding) for line in lines]
    encoded[bad_line - 1] = text[:cut].encode(encoding) + BAD[encoding] + text[cut:].encode(encoding)
    newline = newline.encode(encoding)
    return newline.join(encoded) + newline, bad_line


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(
    fmt=st.sampled_from(["csv", "nl", "json"]),
    count=st.integers(1, 4000),
    line=st.integers(1, 4002),
    newline=st.sampled_from(["\n", "\r\n"]),
    encoding=st.sampled_from(sorted(BAD)),
    piped=st.booleans(),
    rng=st.randoms(use_true_random=False),
)
def test_a_bad_byte_is_reported_on_its_line(tmp_path, fmt, count, line, newline, encoding, piped, rng):
    """The text decoder reads ahead of the records (by 8 KiB); the line of
    the error is the line of the byte, wherever the chunks fall, in a file
    (decoded again up to the byte) and in input read once (counted as read)."""
    data, line = bad_file(rng, fmt, count, line, newline, encoding)
    path = tmp_path / f"bad.{fmt}"
    path.write_bytes(data)
    source = Source(str(path), encoding)
    if piped:
        source.size = None  # as a pipe: not read twice
    try:
        with pytest.raises(DataError, match=rf"bad\.{fmt}: line {line}: not valid {encoding}"):
            if fmt == "csv":
                list(csv_rows(source, CsvFormat(",", True, None), "t", ["a", "b"], {}, True, None, 1000))
            else:
                list((ndjson_rows if fmt == "nl" else json_rows)(source, "t", ["a", "b"], {}))
    finally:
        source.close()


def test_a_bad_byte_on_line_5001_is_reported_there(tmp_path):
    """The trial: the byte on line 5,001 was reported on line 4,949, and in a
    two-line file on line 1, the header."""
    db = tmp_path / "t.db"
    ok("create", db, "t", "a", "b")
    lines = [b"a,b"] + [f"{i},Zürich {i}".encode() for i in range(6000)]
    lines[5000] += b"\xff"
    text = b"\n".join(lines) + b"\n"
    (tmp_path / "x.csv").write_bytes(text)
    fails(1, "x.csv: line 5001: not valid utf-8 text", "stage", db, "t", tmp_path / "x.csv")
    fails(1, "standard input: line 5001: not valid utf-8", "stage", db, "t", "--csv", input=text)
    (tmp_path / "y.csv").write_bytes(b"a,b\n1,\xff\n")
    fails(1, "y.csv: line 2: not valid utf-8", "stage", db, "t", tmp_path / "y.csv")


# --------------------------------------------------------- the file's name --


def test_errors_of_the_database_file_name_it(tmp_path, monkeypatch):
    import norvane.cli.app as app_module
    import norvane.cli.rows as rows_module
    import norvane.cli.tables as tables_module

    missing = tmp_path / "no" / "such" / "dir" / "x.db"
    fails(1, f"{missing}: unable to open database file", "create", missing, "t", "a")
    db = tmp_path / "t.db"
    ok("create", db, "t", "a")
    (tmp_path / "junk.db").write_bytes(b"this is no database, only a few words " * 20)
    fails(1, f"{tmp_path / 'junk.db'}: file is not a database", "count", tmp_path / "junk.db", "t")
    opened = app_module.connect
    for module in (rows_module, tables_module):  # the commands that write
        monkeypatch.setattr(module, "connect", lambda path, mode: opened(path, "ro"))  # as a read-only file is
    for args in (["stage", db, "t", "--csv"], ["drop", db, "t"], ["create", db, "u", "a"]):
        fails(1, f"{db}: attempt to write a readonly database", *args, input="a\n1\n")
