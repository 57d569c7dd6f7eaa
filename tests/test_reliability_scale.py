"""Scale: long chains of linked rows, big merges, wide rows, wide rules.

Sizes: the chain has 100,000 rows; the merge stages 100,000 rows in CI and
1,000,000 with NORVANE_SCALE=full; rows have 2,000 columns (SQLite's default
column limit); the widest rule spans all 64 columns of its table.
"""

import os
import sqlite3

import pytest
from conftest import fetch, index_names, table_rows

import norvane.norvane as nv

FULL = os.environ.get("NORVANE_SCALE") == "full"
CHAIN = 100_000
MERGED = 1_000_000 if FULL else 100_000


@pytest.fixture
def fast(conn):
    conn.execute("PRAGMA synchronous=OFF")  # speed only
    return conn


# ---------------------------------------------------------------- chain ----


def chain_row(i):
    """Row i shares column a with row i + 1 when i is odd, column b when even."""
    return ((i + 1) // 2, i // 2)


def test_a_chain_of_linked_rows_is_walked_to_its_far_end(fast):
    nv.create_table(fast, "chain", ["a", "b"], [], [{"name": "ra", "cols": [0]}, {"name": "rb", "cols": [1]}])
    nv._insert_main(fast, "chain", [chain_row(i) for i in range(CHAIN)])
    row = fetch(fast, "SELECT rowid, a, b FROM chain WHERE rowid = ?", (CHAIN,))[0]
    visited = {(0, CHAIN)}
    ok, seen = nv._check_newest_unique(
        fast, "chain", (0, CHAIN), row, {"ra": [0], "rb": [1]}, ["a", "b"], "rowid,a,b", visited
    )
    assert ok is True and seen is visited
    assert visited == {(0, r) for r in range(1, CHAIN + 1)}
    assert nv.find(fast, "*", "chain", f"where rowid = {CHAIN}") == [list(chain_row(CHAIN - 1))]
    # A staged row linked to the oldest row only: the newest main row is
    # superseded through the whole chain, and the staged row, whose own walk
    # covers the whole chain too, is the one shown.
    nv.insert_temp(fast, "chain", [(0, -1)])
    assert nv.find(fast, "*", "chain", f"where rowid = {CHAIN}") == []
    assert nv.find(fast, "*", "chain", "where rowid = 1") == [[0, -1]]


# ---------------------------------------------------------- a big merge ----


def test_merge_of_many_staged_rows(fast):
    half = MERGED // 2
    nv.create_table(fast, "bulk", ["k", "v"], [{"name": "iv", "cols": "v"}], [{"name": "uk", "cols": [0]}])
    nv._insert_main(fast, "bulk", [(k, -k) for k in range(half // 2)])
    # Every key is staged twice; the second, newer row must win.
    nv.insert_temp(fast, "bulk", [(i % half, i) for i in range(MERGED)])
    nv.temp_to_main(fast, "bulk")
    assert fetch(fast, "SELECT count(*) FROM temp_bulk") == [(0,)]
    values = [v for (v,) in fetch(fast, "SELECT v FROM bulk ORDER BY rowid")]
    # newest first: the last staged row gets the smallest new rowid
    assert values == list(range(MERGED - 1, half - 1, -1))
    assert fetch(fast, "SELECT count(*), sum(k = v - ?) FROM bulk", (half,)) == [(half, half)]
    assert index_names(fast, "bulk") == ["bulk_iv", "bulk_uk"]


# ------------------------------------------------------------ wide rows ----


def wide_columns(n):
    return [f"c{i}" for i in range(n)]


@pytest.mark.parametrize("width", [1999, 2000])
def test_rows_of_two_thousand_columns(fast, width):
    cols = wide_columns(width)
    last = width - 1
    nv.create_table(fast, "wide", cols, [{"name": "il", "cols": cols[last]}], [{"name": "ends", "cols": [0, last]}])
    base = list(range(width))
    older = tuple(base)
    other = tuple([-1] + base[1:])
    newer = tuple(base[:1] + ["new"] * (width - 2) + base[-1:])
    nv._insert_main(fast, "wide", [older, other])
    nv.insert_temp(fast, "wide", [newer])
    if width < 2000:
        # rowid plus every column fits in one result row
        assert nv.find(fast, "*", "wide", "order by rowid") == [list(newer), list(other)]
    else:
        with pytest.raises(sqlite3.OperationalError, match="too many columns"):
            nv.find(fast, "*", "wide", "")
    nv.temp_to_main(fast, "wide")
    assert table_rows(fast, "wide") == [other, newer]
    assert table_rows(fast, "temp_wide") == []
    assert index_names(fast, "wide") == ["wide_ends", "wide_il"]


def test_rule_over_every_column(fast):
    cols = wide_columns(64)
    nv.create_table(fast, "all64", cols, [], [{"name": "every", "cols": list(range(64))}])
    assert fetch(fast, "SELECT columns, col_num FROM unique_table WHERE table_name = 'all64'") == [
        (",".join(cols), ",".join(map(str, range(64))))
    ]
    same = tuple(range(64))
    one_off = tuple(range(63)) + (1000,)
    with_null = (None,) + tuple(range(1, 64))
    nv._insert_main(fast, "all64", [same, one_off, with_null])
    nv.insert_temp(fast, "all64", [same, with_null, same])
    # The newest staged copy of `same` hides its older staged copy and the
    # main copy. The main row with a NULL is linked to nothing, but repeats
    # the key tuple of the staged one shown before it.
    assert nv.find(fast, "*", "all64", "order by rowid") == [list(with_null), list(same), list(one_off)]
    # The merge compares main rows by SQL equality: the NULL row stays.
    nv.temp_to_main(fast, "all64")
    assert sorted(table_rows(fast, "all64"), key=repr) == sorted([one_off, with_null, same, with_null], key=repr)
    assert index_names(fast, "all64") == ["all64_every"]
