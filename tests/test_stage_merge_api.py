"""Table.stage in chunks (all or nothing), Table.merge's report, and the
progress callable of both."""

import dataclasses
import sqlite3

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from norvane import MergeReport, Table, Unique, _native


@pytest.fixture
def pairs(conn):
    return Table(conn, "pairs").create(["a", "b", "c"], unique=[Unique("by_a", ["a"]), Unique("by_b", ["b"])])


def rows_from(start, stop, bad_at=None):
    for i in range(start, stop):
        yield (i, f"b{i}", object() if i == bad_at else i * 1.5)


def snapshot(conn):
    return (
        conn.execute("SELECT rowid, * FROM pairs ORDER BY rowid").fetchall(),
        conn.execute("SELECT rowid, * FROM temp_pairs ORDER BY rowid").fetchall(),
    )


def test_a_bad_row_in_the_last_chunk_stages_nothing(pairs, conn, other):
    with pytest.raises(TypeError, match="row 4999"):
        pairs.stage(rows_from(0, 5000, bad_at=4999), batch_size=700)
    assert pairs.count_staged() == 0
    assert not conn.in_transaction

    # Inside the caller's transaction: the caller's own pending rows stay.
    conn.execute("BEGIN")
    pairs.stage(rows_from(0, 10), commit=False)
    with pytest.raises(TypeError, match="row 4999"):
        pairs.stage(rows_from(10, 5010, bad_at=5009), batch_size=700, commit=False)
    assert conn.in_transaction
    assert pairs.count_staged() == 10
    assert Table(other, "pairs").count_staged() == 0
    conn.commit()
    assert Table(other, "pairs").count_staged() == 10


def test_stage_takes_generators_in_chunks(pairs, conn):
    assert pairs.stage(rows_from(0, 2500), batch_size=1000) == 2500
    assert not conn.in_transaction
    assert pairs.count_staged() == 2500
    assert pairs.stage(iter(())) == 0


def test_stage_progress(pairs):
    calls = []
    pairs.stage(rows_from(0, 2500), batch_size=300, progress=lambda done, total: calls.append((done, total)))
    assert calls == [(1200, None), (2400, None), (2500, None)]
    calls.clear()
    pairs.stage(list(rows_from(0, 20)), progress=lambda done, total: calls.append((done, total)))
    assert calls == [(20, 20)]


@pytest.mark.parametrize("in_transaction", [False, True])
def test_a_raising_callable_changes_nothing(pairs, conn, in_transaction):
    pairs.stage(rows_from(0, 3000))
    pairs.merge()
    pairs.stage(rows_from(2000, 12000))
    before = snapshot(conn)

    def stop(done, total):
        if done >= 4000:
            raise KeyboardInterrupt

    if in_transaction:
        conn.execute("BEGIN")
    with pytest.raises(KeyboardInterrupt):
        pairs.stage(rows_from(0, 9000), batch_size=1000, progress=stop, commit=False)
    assert snapshot(conn) == before
    with pytest.raises(KeyboardInterrupt):
        pairs.merge(progress=stop, commit=not in_transaction)
    assert conn.in_transaction == in_transaction
    assert snapshot(conn) == before
    # The rows are intact and still merge.
    assert pairs.merge() == MergeReport(10000, 10000, 1000, 0)


def test_merge_progress(pairs):
    pairs.stage(rows_from(0, 10000))
    calls = []
    pairs.merge(progress=lambda done, total: calls.append((done, total)))
    dones = [done for done, _ in calls]
    assert all(total == 10000 for _, total in calls)
    assert dones[-1] == 10000 and dones == sorted(set(dones))
    assert all(b - a >= 1000 for a, b in zip([0, *dones], dones))
    calls.clear()
    assert pairs.merge(progress=lambda done, total: calls.append((done, total))) == MergeReport(0, 0, 0, 0)


def test_report_is_a_frozen_record(pairs):
    report = pairs.merge()
    with pytest.raises(dataclasses.FrozenInstanceError):
        report.staged = 1  # type: ignore[misc]


@pytest.mark.parametrize(
    "kwargs, error",
    [
        ({"batch_size": 0}, ValueError),
        ({"batch_size": 1.5}, TypeError),
        ({"progress": 3}, TypeError),
    ],
)
def test_bad_arguments_stage_nothing(pairs, kwargs, error):
    with pytest.raises(error):
        pairs.stage([(1, 2, 3)], **kwargs)
    assert pairs.count_staged() == 0
    with pytest.raises(TypeError):
        pairs.merge(progress=3)


small = st.integers(0, 4)
row = st.tuples(small, small, st.one_of(st.none(), small))


@settings(max_examples=60, deadline=None)
@given(main=st.lists(row, max_size=12), staged=st.lists(row, max_size=12))
def test_report_counts_match_the_tables(main, staged):
    conn = sqlite3.connect(":memory:")
    _native.prepare_catalog(conn)
    # `src` is in no rule: it tells merged rows from the main rows they met.
    table = Table(conn, "pairs").create(["a", "b", "c", "src"], unique=[Unique("ab", ["a", "b"]), Unique("c", ["c"])])
    table.stage([(*r, "main") for r in main])
    table.merge()
    main_before = table.count_main()
    table.stage([(*r, "staged") for r in staged])
    report = table.merge()

    def count(src):
        return conn.execute("SELECT count(*) FROM pairs WHERE src = ?", (src,)).fetchone()[0]

    assert report.staged == len(staged)
    assert report.replaced == main_before - count("main")
    assert report.inserted == count("staged")
    assert report.superseded == report.staged - report.inserted
    assert table.count_staged() == 0
    conn.close()


@pytest.mark.parametrize("autocommit", [True, False])
def test_connections_that_manage_transactions_themselves(tmp_path, autocommit):
    path = str(tmp_path / "ac.db")
    conn = sqlite3.connect(path, autocommit=autocommit)
    _native.prepare_catalog(conn)
    table = Table(conn, "pairs").create(["a", "b", "c"], unique=[Unique("by_a", ["a"])])
    table.stage(rows_from(0, 30), batch_size=7, commit=False)
    with pytest.raises(TypeError):
        table.stage(rows_from(30, 60, bad_at=59), batch_size=7, commit=False)
    report = table.merge(commit=False)
    assert report == MergeReport(30, 30, 0, 0)
    other = sqlite3.connect(path)
    # autocommit=True commits what the call opened; autocommit=False leaves it to the caller.
    assert Table(other, "pairs").count_main() == (30 if autocommit else 0)
    conn.commit()
    assert Table(other, "pairs").count_main() == 30 and Table(other, "pairs").count_staged() == 0
    other.close()
    conn.close()
