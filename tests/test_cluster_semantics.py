"""Table.merge and Table.delete_keys on a dqlite cluster: the same tables as
on a local file, in a few requests."""

import random

import pytest
from conftest import fresh_name
from test_cluster import CountingRequests, local, remote, require_cluster, shared_cluster  # noqa: F401

from norvane import Index, Table, Unique

COLUMNS = ["a", "b", "ts", "v"]


def make(conn, name, newest_by):
    return Table(conn, name).create(
        COLUMNS,
        unique=[Unique("ra", "a"), Unique("rab", ["a", "b"]), Unique("rb", "b")],
        indexes=[Index("by_ts", "ts")],
        newest_by=newest_by,
    )


def rows(rng, count, spread):
    values = [None, 1, 1.0, "1", b"\x01", 2.5, "x"]

    def key():
        return rng.choice(values) if rng.random() < 0.2 else rng.randrange(spread)

    return [(key(), key(), rng.choice([None, rng.randrange(50), rng.random()]), rng.random()) for _ in range(count)]


def physical(conn, table):
    cursor = conn.cursor()
    return [
        tuple(r)
        for prefix in ("", "temp_")
        for r in cursor.execute(
            f"SELECT rowid, a, typeof(a), b, typeof(b), ts, v FROM {prefix}{table} ORDER BY rowid"
        ).fetchall()
    ]


@pytest.mark.parametrize("newest_by", [(), ("ts",)])
def test_merge_and_delete_keys_leave_the_tables_a_local_file_has(shared_cluster, local, newest_by):
    conn = remote(shared_cluster, fresh_name("sem"))
    name = "feed"
    tables = [make(conn, name, newest_by), make(local, name, newest_by)]
    rng = random.Random(7)
    for step in range(6):
        batch = rows(rng, 300, 200)
        keys = [k[0] for k in rows(rng, 40, 200)]
        results = []
        for table in tables:
            table.stage(batch)
            removed = table.delete_keys("ra", keys) if step % 2 else None
            report = table.merge() if step % 3 != 2 else None
            results.append((removed, report))
        assert results[0] == results[1]
        assert physical(conn, name) == physical(local, name)
    conn.close()


def test_merge_and_delete_keys_take_a_few_requests(shared_cluster, monkeypatch):
    conn = remote(shared_cluster, fresh_name("budget"))
    rng = random.Random(3)
    for newest_by in ((), ("ts",)):
        name = f"t{len(newest_by)}"
        table = make(conn, name, newest_by)
        table.stage([(n, n, rng.randrange(100), 0.5) for n in range(20000)])
        table.merge()
        table.stage([(rng.randrange(30000), rng.randrange(30000), rng.randrange(100), 0.5) for _ in range(1000)])
        counter = CountingRequests(monkeypatch)
        report = table.merge()
        assert report.replaced > 0 and (report.stale > 0) == bool(newest_by)
        assert counter.count <= 9  # and the commit
        table.stage([(rng.randrange(30000), rng.randrange(30000), rng.randrange(100), 0.5) for _ in range(1000)])
        counter = CountingRequests(monkeypatch)
        assert table.delete_keys("rab", [(n, n) for n in range(0, 30000, 3)]) > 0
        assert counter.count <= 11  # and the commit
        monkeypatch.undo()
    conn.close()
