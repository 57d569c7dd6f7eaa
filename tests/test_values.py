"""Everyday Python values: each is stored as one fixed table says, whether it
comes in a row, a dict or as a query parameter, so a staged value is found
again by the value it was staged with."""

import datetime as dt
import decimal
import importlib.util
import math
import uuid

import pytest

from norvane import Table

HAVE_NUMPY = importlib.util.find_spec("numpy") is not None
HAVE_PANDAS = importlib.util.find_spec("pandas") is not None

PARIS_SUMMER = dt.timezone(dt.timedelta(hours=2))


def cases():
    yield dt.datetime(2024, 5, 6, 7, 8, 9), "2024-05-06 07:08:09"
    yield dt.datetime(2024, 5, 6, 7, 8, 9, 10), "2024-05-06 07:08:09.000010"
    yield dt.datetime(2024, 5, 6, 7, 8, 9, tzinfo=PARIS_SUMMER), "2024-05-06 05:08:09+00:00"
    yield dt.date(2024, 5, 6), "2024-05-06"
    yield dt.time(7, 8, 9, 500), "07:08:09.000500"
    yield decimal.Decimal("1.10"), "1.10"
    yield decimal.Decimal("1.1"), "1.1"
    yield uuid.UUID(int=255), "00000000-0000-0000-0000-0000000000ff"
    yield True, 1
    yield False, 0
    yield {"b": 1, "a": [1, 2.5, None]}, '{"a":[1,2.5,null],"b":1}'
    yield ["x", {"z": True, "y": dt.date(2024, 1, 2)}], '["x",{"y":"2024-01-02","z":true}]'
    if HAVE_NUMPY:
        import numpy as np

        yield np.int64(-7), -7
        yield np.uint8(200), 200
        yield np.float32(0.5), 0.5
        yield np.float64(1.25), 1.25
        yield np.bool_(True), 1
        yield np.str_("text"), "text"
        yield np.datetime64("2024-05-06T07:08:09.123456789"), "2024-05-06 07:08:09.123456789"
        yield np.datetime64("2024-05-06"), "2024-05-06 00:00:00"
        yield np.datetime64("NaT", "ns"), None
    if HAVE_PANDAS:
        import pandas as pd

        yield pd.Timestamp("2024-05-06 07:08:09.000000001"), "2024-05-06 07:08:09.000000001"
        yield pd.Timestamp("2024-05-06 07:08", tz="Europe/Paris"), "2024-05-06 05:08:00+00:00"
        yield pd.NaT, None
        yield pd.NA, None


CASES = list(cases())


@pytest.fixture
def table(conn):
    return Table(conn, "v").create(["k", "v"])


@pytest.mark.parametrize("value, stored", CASES, ids=[repr(v) for v, _ in CASES])
def test_everyday_values_are_stored_by_the_table(table, conn, value, stored):
    table.stage([(1, value)])
    table.stage([{"k": 2, "v": value}])
    raw = conn.execute("SELECT v, typeof(v) FROM temp_v ORDER BY rowid").fetchall()
    kind = {type(None): "null", int: "integer", float: "real", str: "text"}[type(stored)]
    assert raw == [(stored, kind)] * 2
    # Parameters go through the same table: what was staged is found by it.
    assert table.rows("v IS ?", [value], select="k") == [(1,), (2,)]
    assert table.rows("v IS :v", {"v": value}, select="k") == [(1,), (2,)]


@pytest.mark.parametrize(
    "row",
    [
        (1, math.nan),
        {"k": 1, "v": float("nan")},
        [1, {"inner": math.nan}],
    ],
)
def test_nan_in_a_row_is_refused_with_nothing_staged(table, row):
    with pytest.raises(ValueError, match="row 1, column 'v'"):
        table.stage([(0, 1.0), row])
    assert table.count_staged() == 0
    with pytest.raises(ValueError, match="parameter 0"):
        table.rows("v = ?", [math.nan])


@pytest.mark.parametrize(
    "value, error",
    [
        ({1, 2}, TypeError),
        (dt.timedelta(seconds=1), TypeError),
        (complex(1, 2), TypeError),
        ({"blob": b"x"}, TypeError),
        (2**63, ValueError),
    ],
)
def test_values_nothing_converts_are_refused(table, value, error):
    with pytest.raises(error, match="row 0, column 'v'"):
        table.stage([(1, value)])
    assert table.count_staged() == 0
