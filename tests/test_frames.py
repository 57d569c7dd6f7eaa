"""Frames in and out: a frame stages exactly what its rows as tuples stage,
and a table read as a frame holds exactly the values of rows()."""

import datetime as dt
import decimal
import math
import sys
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

pd = pytest.importorskip("pandas")
pa = pytest.importorskip("pyarrow")

from conftest import fresh_name  # noqa: E402

import norvane.norvane as nv  # noqa: E402
from norvane import Table, Unique  # noqa: E402

COLUMNS = ["k", "n", "s", "x"]
DTYPES = {"k": "Int64", "n": "Int64", "s": "string", "x": "Float64"}


@pytest.fixture(scope="module")
def shared(tmp_path_factory):
    db = nv.DB(fresh_name("frames"), str(tmp_path_factory.mktemp("frames") / "f.db"))
    c = db.connection()
    c.execute("PRAGMA synchronous = OFF")  # every example commits; durability is not under test
    yield c
    c.close()


@pytest.fixture
def table(conn):
    return Table(conn, "t").create(COLUMNS, unique=[Unique("by_k", ["k"])])


text = st.text(st.characters(exclude_categories=("Cs",)), max_size=5)
rows_strategy = st.lists(
    st.tuples(
        st.integers(0, 5),
        st.none() | st.integers(-(2**63), 2**63 - 1),
        st.none() | text,
        st.none() | st.floats(allow_nan=False),
    ),
    max_size=12,
)


class Stream:
    """Any object with the Arrow C stream interface."""

    def __init__(self, table):
        self.table = table

    def __arrow_c_stream__(self, requested_schema=None):
        return self.table.__arrow_c_stream__(requested_schema)


def staged(conn, name):
    return conn.execute(f"SELECT * FROM temp_{name} ORDER BY rowid").fetchall()


def pandas_rows(frame):
    return [
        tuple(None if v is pd.NA else v for v in row) for row in frame.astype(object).itertuples(index=False, name=None)
    ]


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    rows=rows_strategy,
    kept=st.permutations(COLUMNS).flatmap(lambda names: st.integers(1, len(names)).map(lambda n: names[:n])),
)
def test_a_frame_stages_its_rows_and_reads_back_as_rows(shared, rows, kept):
    # The frame holds some of the columns, in any order; the others are NULL.
    frame = pd.DataFrame(
        {name: pd.Series([row[COLUMNS.index(name)] for row in rows], dtype=DTYPES[name]) for name in kept}
    )
    tuples = [tuple(row[i] if name in kept else None for i, name in enumerate(COLUMNS)) for row in rows]
    tables = {}
    arrow = pa.Table.from_pandas(frame, preserve_index=False)
    for name, source in [("by_rows", tuples), ("by_pandas", frame), ("by_arrow", arrow), ("by_stream", Stream(arrow))]:
        tables[name] = Table(shared, name).create(COLUMNS, unique=[Unique("by_k", ["k"])], replace=True)
        assert tables[name].stage(source) == len(rows)
    expected = staged(shared, "by_rows")
    assert staged(shared, "by_pandas") == expected
    assert staged(shared, "by_arrow") == expected
    assert staged(shared, "by_stream") == expected

    table = tables["by_rows"]
    table.merge()
    table.stage(tuples[: len(tuples) // 2])
    current = table.rows(order_by="k")
    assert pandas_rows(table.to_pandas(order_by="k")) == current
    arrow = table.to_arrow(order_by="k")
    assert list(zip(*(arrow.column(c).to_pylist() for c in COLUMNS))) == current
    assert table.to_arrow(select=["s", "k"], where="k > ?", params=[2]).column_names == ["s", "k"]


def arrow_cases():
    moment = dt.datetime(2024, 5, 6, 7, 8, 9, 10)
    yield pa.array([moment], pa.timestamp("s")), "2024-05-06 07:08:09"
    yield pa.array([moment], pa.timestamp("us")), "2024-05-06 07:08:09.000010"
    yield pa.array([1], pa.timestamp("ns")), "1970-01-01 00:00:00.000000001"
    yield (
        pa.array([moment.replace(tzinfo=dt.timezone.utc)], pa.timestamp("ms", tz="Europe/Paris")),
        "2024-05-06 07:08:09+00:00",
    )
    yield pa.array([dt.date(2024, 5, 6)], pa.date32()), "2024-05-06"
    yield pa.array([dt.date(2024, 5, 6)], pa.date64()), "2024-05-06"
    yield pa.array([dt.time(7, 8, 9, 1)], pa.time64("us")), "07:08:09.000001"
    yield pa.array([decimal.Decimal("1.10")], pa.decimal128(5, 2)), "1.10"
    yield pa.array(["red"]).dictionary_encode(), "red"
    yield pa.array([1500], pa.duration("ms")), 1_500_000
    yield pa.array([[3, 1]], pa.list_(pa.int64())), "[3,1]"
    yield pa.array([{"b": 1, "a": "x"}]), '{"a":"x","b":1}'
    yield pa.array([True]), 1
    yield pa.array([2**63 - 1], pa.uint64()), 2**63 - 1
    yield pa.array([math.nan]), None
    yield pa.array([None], pa.float64()), None
    yield pa.array([b"\x00\xff"]), b"\x00\xff"


ARROW_CASES = list(arrow_cases())


@pytest.mark.parametrize("array, stored", ARROW_CASES, ids=[str(a.type) for a, _ in ARROW_CASES])
def test_arrow_types_are_stored_by_the_table(table, conn, array, stored):
    table.stage(pa.table({"x": array, "k": [1]}))
    assert staged(conn, "t") == [(1, None, None, stored)]


def test_frames_out_have_natural_types(table):
    table.stage([(1, 2**53, "a", 0.5), (2, None, None, 2), (3, 1, b"z", None)])
    frame = table.to_pandas()
    assert [str(t) for t in frame.dtypes] == ["Int64", "Int64", "object", "Float64"]
    assert frame["x"].tolist() == [0.5, 2.0, pd.NA] and frame["s"].tolist() == ["a", None, b"z"]
    assert str(table.to_pandas(select="s", where="k < 3").dtypes.iloc[0]) == "string"
    table.stage([(4, 0.5, "b", None)])
    assert table.to_arrow(select="n").column(0).type == pa.float64()
    table.stage([(5, 2**53 + 1, "c", None)])  # not exact as a double
    with pytest.raises(ValueError, match="column 'n' holds float, int"):
        table.to_arrow()
    assert table.to_pandas()["n"].dtype == object
    with pytest.raises(ValueError, match="column 's' holds bytes, str"):
        table.to_arrow(select=["k", "s"])


def test_index_levels_named_after_columns_are_staged(table, conn):
    frame = pd.DataFrame({"k": [1, 2], "s": ["a", "b"], "x": [0.5, math.nan]}).set_index(["k", "s"])
    assert table.stage(frame) == 2
    days = pd.Index([dt.date(2024, 1, 2), None], dtype=object, name="S")
    objects = pd.DataFrame({"k": [3, 4], "x": [decimal.Decimal("1.50"), math.nan]}, index=days)
    assert table.stage(objects) == 2
    assert staged(conn, "t") == [
        (1, None, "a", 0.5),
        (2, None, "b", None),
        (3, None, "2024-01-02", "1.50"),
        (4, None, None, None),
    ]


@pytest.mark.parametrize(
    "frame, error, message",
    [
        (pd.DataFrame({"k": [1, 2]}, index=[5, 3]), ValueError, "reset_index"),
        (pd.DataFrame({"k": [1]}, index=pd.Index([1], name="nope")), ValueError, "reset_index"),
        (pd.DataFrame({"n": [1]}, index=pd.Index([1], name="n")), ValueError, "'n' is given twice"),
        (pd.DataFrame({"k": [1], "mystery": [2]}), ValueError, "frame column 'mystery'"),
        (pd.DataFrame({0: [1]}), TypeError, "frame column 0"),
        (pa.table({"k": pa.array([1, 2**63], pa.uint64())}), ValueError, "row 1, column 'k'"),
        (pa.table({"k": pa.array([(1, 2, 3)], pa.month_day_nano_interval())}), TypeError, "column 'k'"),
    ],
)
def test_bad_frames_stage_nothing(table, frame, error, message):
    table.stage([(9, None, None, None)])
    with pytest.raises(error, match=message):
        table.stage(frame)
    assert table.count_staged() == 1


def test_a_missing_extra_is_named(table, monkeypatch):
    frame = pd.DataFrame({"k": [1]})
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    with pytest.raises(ImportError, match=r"pip install norvane\[pandas\]"):
        table.stage(frame)
    with pytest.raises(ImportError, match=r"pip install norvane\[arrow\]"):
        table.to_arrow()
    monkeypatch.setitem(sys.modules, "pandas", None)
    with pytest.raises(ImportError, match=r"pip install norvane\[pandas\]"):
        table.to_pandas()
    assert table.count_staged() == 0


def test_the_data_page_runs_as_written(tmp_path, monkeypatch):
    page = (Path(__file__).parent.parent / "docs" / "data.md").read_text(encoding="utf-8")
    section = page[page.index("# Data in and out") :]
    code = section[section.index("```python") + len("```python") :]
    code = code[: code.index("```")]
    monkeypatch.chdir(tmp_path)
    registry = nv.norvane_state.DB_dict
    assert "prices" not in registry
    try:
        exec(
            compile(code.replace("feed.to_pandas(", "shown = feed.to_pandas("), "docs/data.md", "exec"), namespace := {}
        )
    finally:
        registry.pop("prices", None)
    shown = namespace["shown"]
    assert shown["price"].tolist() == [9.5, 3.25, 7.0]
    assert shown["seen"].tolist()[:2] == ["2024-05-06 09:30:00+00:00"] * 2
