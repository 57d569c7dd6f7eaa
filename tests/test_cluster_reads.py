"""Table reads on a dqlite cluster show the rows a local file shows, with
and without newest_by, whichever way the read decides currentness."""

import random

import pytest
from conftest import FastPath, fresh_name
from test_cluster import local, remote, require_cluster, shared_cluster  # noqa: F401

from norvane import Table, Unique, _traced
from norvane.call_options import CallOptions

COLUMNS = ["a", "b", "ts", "v"]
VALUES = [None, 1, 1.0, "1", b"\x01", 2.5, "x"]


def batch(rng, count):
    def key():
        return rng.choice(VALUES) if rng.random() < 0.3 else rng.randrange(60)

    return [(key(), key(), rng.choice([None, rng.randrange(20), "late"]), rng.random()) for _ in range(count)]


def reads(table):
    return (
        table.rows(),
        table.rows(order_by=["ts DESC", "a"], limit=7, offset=3),
        table.rows("b IS NOT NULL", select=["a", "rowid"]),
        list(table.iter(batch_size=5, limit=12)),
        table.count(),
        table.count("typeof(a) = ?", ["integer"]),
    )


# The cluster's reads compare fetched values whenever the plan asks for it.
FAST = FastPath()


@pytest.mark.parametrize("newest_by", [(), ("ts",)])
@FAST.share(1.0)
def test_reads_show_what_a_local_file_shows(shared_cluster, local, newest_by):
    conn = remote(shared_cluster, fresh_name("reads"))
    tables = [
        Table(c, "feed").create(COLUMNS, unique=[Unique("ra", "a"), Unique("rb", "b")], newest_by=newest_by)
        for c in (conn, local)
    ]
    rng = random.Random(11)
    for step in range(4):
        rows = batch(rng, 120)
        for table in tables:
            table.stage(rows)
        for plan in ("auto", "scan", "exact"):
            options = CallOptions(reads_plan=plan)
            planned = [_traced.using(table, options) for table in tables]
            assert reads(planned[0]) == reads(planned[1]), (step, plan)
            taken = [_traced.rows(table, options)[1] for table in tables]
            if plan != "exact":
                FAST.count(taken[0] == plan)
            assert taken[1] == plan  # the local file compares fetched values
        if step % 2:
            for table in tables:
                table.merge()
    conn.close()
