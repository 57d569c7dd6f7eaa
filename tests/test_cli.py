"""The norvane command through click's runner: each command, the error paths
that matter (status and message), a round trip and type detection."""

import csv
import io
import json
import sqlite3
import subprocess
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from norvane import Table
from norvane.cli import cli

COLUMNS = ["sup", "sku", "barcode", "price"]


def run(*args, input=None):
    from click.testing import CliRunner

    return CliRunner().invoke(cli, [str(a) for a in args], input=input)


def ok(*args, input=None):
    result = run(*args, input=input)
    assert result.exit_code == 0, result.output
    return result.stdout


def fails(status, message, *args, input=None):
    result = run(*args, input=input)
    assert result.exit_code == status, result.output
    assert message in result.stderr, result.stderr
    if status == 1:
        assert "Traceback" not in result.output and len(result.stderr.strip().splitlines()) == 1
    return result


@pytest.fixture
def db(tmp_path):
    path = tmp_path / "shop.db"
    ok(
        "create",
        path,
        "feed",
        *COLUMNS,
        "--unique",
        "by_product=sup,sku",
        "--unique",
        "by_barcode=barcode",
        "--index",
        "by_price=price",
    )
    return path


def write(path, text):
    path.write_text(text, encoding="utf-8")
    return path


def table_rows(db, staging=False):
    with sqlite3.connect(db) as conn:
        return conn.execute(f"SELECT * FROM {'temp_' if staging else ''}feed ORDER BY rowid").fetchall()


def newest_wins(rows):
    """Rows applied in order: each removes the rows that share a rule's values."""
    kept = []
    for row in rows:
        kept = [k for k in kept if (k[0], k[1]) != (row[0], row[1]) and k[2] != row[2]]
        kept.append(row)
    return kept


def test_round_trip_csv_and_ndjson(db, tmp_path):
    first = [(i % 3, i % 7, f"b{i % 11}", i * 0.5) for i in range(40)]
    second = [(i % 4, i % 5, f"b{i % 9}", None if i % 6 == 0 else i * 1.5) for i in range(30)]
    buffer = io.StringIO()
    writer = csv.writer(buffer, lineterminator="\n")
    writer.writerow(COLUMNS)
    writer.writerows(["" if v is None else v for v in row] for row in first)
    write(tmp_path / "first.csv", buffer.getvalue())
    write(tmp_path / "second.ndjson", "".join(json.dumps(dict(zip(COLUMNS, row))) + "\n" for row in second))
    ok("stage", db, "feed", tmp_path / "first.csv")
    ok("merge", db, "feed")
    ok("stage", db, "feed", tmp_path / "second.ndjson")
    ok("merge", db, "feed")
    merged = ok("query", db, "feed", "--format", "csv")

    def text(value):
        return "" if value is None else str(value)

    expected = sorted([text(v) for v in row] for row in newest_wins(first + second))
    lines = list(csv.reader(io.StringIO(merged)))
    assert lines[0] == COLUMNS
    assert sorted(lines[1:]) == expected


def test_stage_with_merge_reports_in_one_transaction(db, tmp_path):
    write(tmp_path / "a.csv", "sup,sku,barcode,price\n1,1,x,1\n1,1,y,2\n")
    out = ok("stage", db, "feed", tmp_path / "a.csv", "--merge")
    assert "2 rows staged" in out and "staged 2, inserted 1, replaced 0, superseded 1" in out
    assert table_rows(db) == [(1, 1, "y", 2)] and table_rows(db, staging=True) == []


def test_type_detection(db, tmp_path):
    write(tmp_path / "t.csv", "sup,sku,barcode,price\n1,-0,0123,1e3\n-2,7,nan,2.5\n,9,inf,\n")
    ok("stage", db, "feed", tmp_path / "t.csv")
    assert table_rows(db, staging=True) == [(1, 0, "0123", 1000.0), (-2, 7, "nan", 2.5), (None, 9, "inf", None)]


def test_types_by_hand_and_none(db, tmp_path):
    write(tmp_path / "t.csv", "sup,sku,barcode,price\n01,2,3,4\n")
    ok("stage", db, "feed", tmp_path / "t.csv", "--type", "barcode=text", "--type", "sup=text")
    # The first stage recorded the types it used: later files take them, with or without detection.
    ok("stage", db, "feed", tmp_path / "t.csv", "--no-detect-types")
    assert table_rows(db, staging=True) == [("01", 2, "3", 4), ("01", 2, "3", 4)]
    fails(1, "'01' in column sup is not an integer", "stage", db, "feed", tmp_path / "t.csv", "--type", "sup=integer")
    fails(2, "--type", "stage", db, "feed", tmp_path / "t.csv", "--type", "sup=number")
    ok("create", db, "plain", *COLUMNS)
    ok("stage", db, "plain", tmp_path / "t.csv", "--no-detect-types")
    with sqlite3.connect(db) as conn:
        assert conn.execute("SELECT * FROM temp_plain").fetchall() == [("01", "2", "3", "4")]


def test_a_later_misfit_names_its_line(db, tmp_path):
    # Standard input cannot be read twice: types come from the first 1,000 rows.
    text = "sup,sku,barcode,price\n" + "".join(f"{i},{i},b{i},{i}\n" for i in range(1500)) + "1,2,b,x\n"
    fails(1, "line 1502: 'x' in column price is not an integer", "stage", db, "feed", "--csv", input=text)
    assert table_rows(db, staging=True) == []
    # A file is typed from all of it.
    ok("stage", db, "feed", write(tmp_path / "all.csv", text))
    assert table_rows(db, staging=True)[-1] == (1, 2, "b", "x")
    assert table_rows(db, staging=True)[0] == (0, 0, "b0", "0")
    real = text.replace("1,2,b,x", "1,2,b,2.5")
    ok("create", db, "feed", *COLUMNS, "--replace")  # all.csv recorded price as text
    ok("stage", db, "feed", write(tmp_path / "real.csv", real), "--merge")
    # Merged rows follow in staging order.
    assert table_rows(db)[-1] == (1, 2, "b", 2.5) and table_rows(db)[0] == (0, 0, "b0", 0.0)
    assert isinstance(table_rows(db)[0][3], float)


@pytest.mark.parametrize(
    "name, text, message",
    [
        ("q.csv", 'sup,sku,barcode,price\n1,2,"3,4\n', "line 2"),
        ("w.csv", "sup,sku,barcode,price\n1,2,3,4\n1,2,3\n", "line 3: 3 fields where the header has 4"),
        ("u.csv", "sup,sku,colour\n1,2,3\n", "unknown column 'colour'"),
        ("e.csv", b"sup,sku,barcode,price\n1,2,\xff,4\n", "not valid utf-8"),
        ("a.json", '[{"sup": 1},\n {"sup": 2}\n {"sup": 3}]', "line 3: malformed JSON"),
        ("o.json", '[{"sup": 1},\n 5]', "line 2: expected a JSON object"),
        ("v.ndjson", '{"sup": 1}\n{"sup": {"a": 1}}\n', "line 2: column sup: unsupported value"),
        ("m.ndjson", '{"sup": 1}\n\n{"sup": 2,}\n', "line 3: malformed JSON"),
        ("n.ndjson", '{"sup": NaN}\n', "line 1: malformed JSON"),
        ("k.ndjson", '{"colour": 1}\n', "unknown column 'colour'"),
        ("big.ndjson", '{"sup": 99999999999999999999}\n', "does not fit 64 bits"),
    ],
)
def test_bad_input_stages_nothing(db, tmp_path, name, text, message):
    path = tmp_path / name
    path.write_bytes(text if isinstance(text, bytes) else text.encode())
    fails(1, message, "stage", db, "feed", path)
    assert table_rows(db, staging=True) == []


def test_json_array_and_bom_and_headerless(db, tmp_path):
    rows = [{"sup": 1, "sku": 2, "barcode": "x", "price": 1.5}, {"sku": 3, "barcode": "y", "price": True}]
    ok("stage", db, "feed", write(tmp_path / "r.json", json.dumps(rows, indent=2)))
    (tmp_path / "bom.csv").write_bytes("\ufeffsup,sku\n5,6\n".encode())
    ok("stage", db, "feed", tmp_path / "bom.csv")
    ok("stage", db, "feed", write(tmp_path / "h.tsv", "7\t8\tz\n"), "--no-header", "--columns", "sup,sku,barcode")
    ok("stage", db, "feed", "--nl", input='{"sup": 9}\n')
    assert table_rows(db, staging=True) == [
        (1, 2, "x", 1.5),
        (None, 3, "y", 1),
        (5, 6, None, None),
        (7, 8, "z", None),
        (9, None, None, None),
    ]


@pytest.mark.parametrize(
    "args, status, message",
    [
        (["stage", "{db}", "feed"], 2, "standard input needs a format"),
        (["stage", "{db}", "feed", "{tmp}/rows.txt"], 2, "cannot tell the format"),
        (["stage", "{db}", "nope", "{tmp}/rows.csv"], 1, "no such table: nope"),
        (["stage", "{tmp}/none.db", "feed", "{tmp}/rows.csv"], 1, "no such database file"),
        (["stage", "{db}", "feed", "{tmp}/missing.csv"], 1, "missing.csv"),
        (["stage", "{db}", "feed", "{tmp}/rows.csv", "--json", "--columns", "a"], 2, "--columns"),
        (["create", "{db}", "feed", "a"], 1, "already exists"),
        (["create", "{db}", "other", "a", "--unique", "r"], 2, "NAME=COL,COL"),
        (["create", "{db}", "other", "a", "--unique", "r=b"], 1, "no column 'b'"),
        (["merge", "{db}", "nope"], 1, "no such table: nope"),
        (["query", "{db}", "feed", "-p", "abc", "--where", "sup = ?"], 2, "not a JSON literal"),
        (["query", "{db}", "feed", "--where", "colour = 1"], 1, "no such column: colour"),
        (["query", "{db}", "feed", "--select", "colour"], 1, "no column 'colour'"),
        (["query", "{tmp}/none.db", "feed"], 1, "no such database file"),
        (["count", "{db}", "nope"], 1, "no such table: nope"),
        (["drop", "{db}", "nope"], 1, "no such table: nope"),
        (["schema", "{db}", "nope"], 1, "no such table: nope"),
        (["tables", "{tmp}/none.db"], 1, "no such database file"),
    ],
)
def test_errors(db, tmp_path, args, status, message):
    write(tmp_path / "rows.csv", "sup\n1\n")
    write(tmp_path / "rows.txt", "sup\n1\n")
    fails(status, message, *[a.format(db=db, tmp=tmp_path) for a in args])
    assert not (tmp_path / "none.db").exists()
    assert table_rows(db, staging=True) == []


def test_reads(db, tmp_path):
    ok("stage", db, "feed", write(tmp_path / "r.csv", "sup,sku,barcode,price\n1,1,a,5\n1,2,b,7\n2,1,c,\n"))
    ok("merge", db, "feed")
    ok("stage", db, "feed", write(tmp_path / "s.csv", "sup,sku,barcode,price\n1,1,d,9\n"))
    assert ok("count", db, "feed") == "3\n"
    assert ok("count", db, "feed", "--where", "sup = ?", "-p", "1") == "2\n"
    assert ok("count", db, "feed", "--where", "sup = ?", "-p", '"1"') == "0\n"
    assert ok("query", db, "feed", "--where", "price IS ?", "-p", "null", "--format", "nl") == (
        '{"sup": 2, "sku": 1, "barcode": "c", "price": null}\n'
    )
    out = ok(
        "query", db, "feed", "--select", "barcode,price", "--order-by", "price DESC", "--limit", "2", "--format", "tsv"
    )
    assert out == "barcode\tprice\nd\t9\nb\t7\n"
    found = json.loads(ok("query", db, "feed", "--format", "json", "--select", "sku"))
    assert sorted(found, key=lambda row: row["sku"]) == [{"sku": 1}, {"sku": 1}, {"sku": 2}]
    table = ok("query", db, "feed", "--select", "barcode,sup").splitlines()
    assert table[0].split() == ["barcode", "sup"] and len(table) == 5
    assert ok("tables", db).splitlines()[2].split() == ["feed", "1", "3"]
    assert ok("schema", db, "feed").splitlines() == [
        "table feed",
        "  columns: sup, sku, barcode, price",
        "  types: sup=integer, sku=integer, barcode=text, price=integer",
        "  unique by_product (sup, sku)",
        "  unique by_barcode (barcode)",
        "  index by_price (price)",
    ]
    ok("drop", db, "feed")
    assert ok("tables", db).splitlines()[2:] == []


def test_reads_change_nothing(db):
    before = db.read_bytes()
    ok("query", db, "feed")
    ok("count", db, "feed")
    assert db.read_bytes() == before


def test_ctrl_c_leaves_the_database_as_it_was(db, tmp_path, monkeypatch):
    import norvane.cli.rows as rows_module

    ok("stage", db, "feed", write(tmp_path / "r.csv", "sup,sku,barcode,price\n1,1,a,5\n"))

    def interrupted(*args, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr(rows_module, "_merge", interrupted)
    fails(130, "interrupted", "stage", db, "feed", tmp_path / "r.csv", "--merge")
    fails(130, "interrupted", "merge", db, "feed")
    assert table_rows(db, staging=True) == [(1, 1, "a", 5)] and table_rows(db) == []


def test_python_dash_m(db):
    done = subprocess.run(
        [sys.executable, "-m", "norvane", "count", str(db), "feed"], capture_output=True, text=True, check=False
    )
    assert (done.returncode, done.stdout) == (0, "0\n")
    assert Table(sqlite3.connect(db), "feed").count_main() == 0


def test_version_and_program_names():
    """The trial: no --version, and python -m norvane --help said norvane."""
    import importlib.metadata
    import pathlib

    assert ok("--version") == f"norvane {importlib.metadata.version('norvane')}, SQLite {sqlite3.sqlite_version}\n"
    script = pathlib.Path(sys.executable).parent / "norvane"
    for command, name in (([sys.executable, "-m", "norvane"], "python -m norvane"), ([str(script)], "norvane")):
        done = subprocess.run([*command, "--help"], capture_output=True, text=True, check=True)
        assert done.stdout.startswith(f"Usage: {name} [OPTIONS] COMMAND"), done.stdout


@settings(max_examples=1000, deadline=None)
@given(
    values=st.lists(
        st.one_of(
            st.text("0123456789-.eE+_ ,x\x1f", max_size=6),
            st.sampled_from(
                ["9223372036854775807", "9223372036854775808", "-9223372036854775808", "1" * 320, "1e999", "0.5"]
            ),
        ),
        max_size=8,
    ),
    kind=st.sampled_from(["integer", "real"]),
)
def test_whole_column_test_agrees_with_each_value(values, kind):
    from norvane.cli.column_types import fitted as column_fitted
    from norvane.cli.column_types import value_fits

    fitted = column_fitted(kind, values)
    assert (fitted is not None) == all(value_fits(kind, value) for value in values)
    if fitted is not None:
        convert = int if kind == "integer" else float
        assert list(fitted) == [convert(value) if value else None for value in values]


def test_the_documented_walk_through_runs_as_written(tmp_path, monkeypatch):
    """Each `$ ` line of the command-line page's session runs, and prints
    what the page shows under it."""
    import pathlib
    import shlex

    page = (pathlib.Path(__file__).parent.parent / "docs" / "command-line.md").read_text(encoding="utf-8")
    section = page.split("# Command line", 1)[1].split("```sh\n", 1)[1].split("```", 1)[0]
    steps = []
    for line in section.replace("\\\n", " ").splitlines():
        if line.startswith("$ "):
            steps.append([line[2:].split("  #")[0].strip(), []])
        else:
            steps[-1][1].append(line)
    monkeypatch.chdir(tmp_path)
    for command, shown in steps:
        text = "".join(line + "\n" for line in shown)
        words = shlex.split(command)
        if words[0] == "cat" and len(words) == 2:
            (tmp_path / words[1]).write_text(text, encoding="utf-8")
            continue
        given = None
        if words[0] == "cat":
            given = (tmp_path / words[1]).read_text(encoding="utf-8")
            words = words[words.index("|") + 1 :]
        assert words[0] == "norvane"
        assert ok(*words[1:], input=given) == text, command


def test_the_commands_prepare_the_catalog_through_the_public_function(tmp_path, monkeypatch):
    from norvane import catalog

    called = []
    real = catalog.prepare_catalog
    monkeypatch.setattr(
        catalog, "prepare_catalog", lambda conn, **options: (called.append(conn), real(conn, **options))
    )
    path = tmp_path / "shop.db"
    ok("create", path, "feed", *COLUMNS, "--unique", "by_product=sup,sku")
    ok("stage", path, "feed", write(tmp_path / "in.csv", "sup,sku,barcode,price\n1,a,10,2.5\n"))
    assert len(called) == 2


# --------------------------------------------------- newest_by and delete --


def test_newest_by_is_set_shown_and_followed(tmp_path):
    path = tmp_path / "p.db"
    ok("create", path, "prices", "sku", "price", "ts", "--unique", "sku=sku", "--newest-by", "ts")
    assert "  newest by: ts" in ok("schema", path, "prices").splitlines()
    ok("stage", path, "prices", write(tmp_path / "a.csv", "sku,price,ts\n1,9.5,20\n"), "--merge")
    out = ok("stage", path, "prices", write(tmp_path / "b.csv", "sku,price,ts\n1,9.0,10\n2,3.0,\n"))
    assert ok("query", path, "prices", "--format", "csv") == "sku,price,ts\n2,3.0,\n1,9.5,20\n"
    assert ok("count", path, "prices") == "2\n"
    out = ok("merge", path, "prices")
    assert out == "staged 2, inserted 1, replaced 0, superseded 0, stale 1\n"
    ok("create", path, "pairs", "a", "b", "ts", "--unique", "a=a", "--newest-by", "ts", "--newest-by", "b")
    assert Table(sqlite3.connect(path), "pairs").newest_by() == ("ts", "b")


@pytest.mark.parametrize(
    "name, text, args",
    [
        ("k.csv", "sup,sku\n1,1\n2,9\n", []),
        ("k.tsv", "sku\tsup\n1\t1\n", []),
        ("k.json", '[{"sup": 1, "sku": 1}]', []),
        ("k.ndjson", '{"sup": 1, "sku": 1}\n{"sup": 1, "sku": "1"}\n', []),
        ("k.txt", "1,1\n", ["--csv", "--no-header", "--columns", "sup,sku"]),
    ],
)
def test_delete_reads_keys_as_stage_reads_rows(db, tmp_path, name, text, args):
    ok("stage", db, "feed", write(tmp_path / "r.csv", "sup,sku,barcode,price\n1,1,0001,5\n1,2,0002,7\n"))
    ok("merge", db, "feed")
    ok("stage", db, "feed", write(tmp_path / "s.csv", "sup,sku,barcode,price\n2,2,0003,1\n"))
    assert ok("delete", db, "feed", "--rule", "by_product", write(tmp_path / name, text), *args) == (
        "1 rows deleted from feed\n"
    )
    assert ok("query", db, "feed", "--select", "barcode", "--format", "csv") == "barcode\n0003\n0002\n"
    # Keys typed as stage types them: leading zeros keep a column text.
    write(tmp_path / "codes.csv", "barcode\n0003\n0002\n")
    assert ok("delete", db, "feed", "--rule", "BY_BARCODE", tmp_path / "codes.csv", "-q") == (
        "2 rows deleted from feed\n"
    )
    assert table_rows(db) == [] and table_rows(db, staging=True) == []


def test_delete_errors_change_nothing(db, tmp_path, monkeypatch):
    import norvane.cli.rows as rows_module

    ok("stage", db, "feed", write(tmp_path / "r.csv", "sup,sku,barcode,price\n1,1,a,5\n"))
    write(tmp_path / "k.csv", "sup,sku\n1,1\n")
    fails(
        1,
        "no rule 'nope' in feed (rules: by_product, by_barcode)",
        "delete",
        db,
        "feed",
        "--rule",
        "nope",
        tmp_path / "k.csv",
    )
    fails(
        1,
        "unknown column 'barcode'",
        "delete",
        db,
        "feed",
        "--rule",
        "by_product",
        write(tmp_path / "x.csv", "sup,sku,barcode\n1,1,a\n"),
    )
    fails(
        1,
        "line 2: 'x' in column sup is not an integer",
        "delete",
        db,
        "feed",
        "--rule",
        "by_product",
        "--type",
        "sup=integer",
        write(tmp_path / "y.csv", "sup,sku\nx,1\n"),
    )
    fails(2, "standard input needs a format", "delete", db, "feed", "--rule", "by_product")
    fails(2, "--rule", "delete", db, "feed", tmp_path / "k.csv")
    fails(1, "no such table: nope", "delete", db, "nope", "--rule", "r", tmp_path / "k.csv")

    def interrupted(*args, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr(rows_module.Table, "delete_keys", interrupted)
    fails(130, "interrupted", "delete", db, "feed", "--rule", "by_product", tmp_path / "k.csv")
    assert table_rows(db, staging=True) == [(1, 1, "a", 5)]
    monkeypatch.undo()
    assert ok("delete", db, "feed", "--rule", "by_product", "--csv", input="sup,sku\n1,1\n") == (
        "1 rows deleted from feed\n"
    )
