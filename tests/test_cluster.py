"""norvane on a local 3-node dqlite cluster, against the same work on a local file.

The nodes are real `dqlite-demo` processes on free loopback ports. Without
them (or without the driver) these tests skip, unless NORVANE_REQUIRE_CLUSTER=1
(CI) turns the skip into a failure.
"""

import os
import random
import re
import sqlite3

import pytest

try:
    import dqlitedbapi
except ImportError:  # require_cluster() skips, or fails, every test that needs it
    dqlitedbapi = None

import norvane.norvane as nv
from conftest import Proxy, fresh_name
from norvane.catalog import prepare_catalog
from norvane.cluster import LocalCluster, missing_programs

T = "homes"
COLS = ["name", "type", "address", "age"]


def require_cluster():
    reason = missing_programs()
    if reason is None:
        return
    if os.environ.get("NORVANE_REQUIRE_CLUSTER") == "1":
        pytest.fail(f"{reason}; NORVANE_REQUIRE_CLUSTER=1 requires them")
    pytest.skip(reason)


@pytest.fixture(scope="module")
def shared_cluster(tmp_path_factory):
    """One cluster for the tests that kill nothing; each uses a database of its own."""
    require_cluster()
    with LocalCluster(tmp_path_factory.mktemp("cluster")) as cluster:
        yield cluster


@pytest.fixture
def fresh_cluster(tmp_path):
    """A cluster of its own, for a test that kills nodes."""
    require_cluster()
    with LocalCluster(tmp_path / "cluster") as cluster:
        yield cluster


@pytest.fixture
def local(tmp_path):
    c = nv.DB(fresh_name("local"), str(tmp_path / "local.db")).connection()
    yield c
    c.close()


def remote(cluster, database):
    conn = cluster.connect(database)
    prepare_catalog(conn)
    return conn


# Data: duplicate names (rule unique_0) and a few duplicate (type, address)
# pairs (rule unique_1); NULLs in a rule column and in a plain one.


def burst(rng, count, first):
    rows = []
    for i in range(first, first + count):
        name = f"n{rng.randrange(count * 2 // 3)}"
        kind = rng.choice([None, "flat", "house", "shop", "barn"])
        address = rng.randrange(count // 2)
        age = rng.choice([None, rng.randrange(100), rng.random() * 100])
        rows.append((name, kind, address, age if i % 7 else i))
    return rows


def create(conn, comm=True):
    nv.create_table(
        conn,
        T,
        COLS,
        [{"name": "index_0", "cols": "name,type"}, {"name": "index_1", "cols": "age"}],
        [{"name": "unique_0", "cols": [0]}, {"name": "unique_1", "cols": [1, 2]}],
        comm,
    )


def find_all(conn):
    return nv.find(conn, "*", T, "")


def find_some(conn):
    return nv.find(conn, "name,age", T, "where age > 50 order by name")


def state(conn):
    """Everything the module keeps: schema, catalog, main and staging rows with rowids."""
    cur = conn.cursor()

    def rows(sql):
        return [tuple(r) for r in cur.execute(sql).fetchall()]

    schema = rows(
        "SELECT type, name, tbl_name, sql FROM sqlite_master "
        "WHERE name NOT LIKE 'sqlite_%' ORDER BY name"
    )
    tables = {name for kind, name, _, _ in schema if kind == "table"}
    return schema, {
        t: rows(f"SELECT rowid, * FROM {t} ORDER BY rowid")
        for t in sorted(tables)
    }


def staged(cluster, database, local, rng):
    """The same table staged on the cluster and on the local file."""
    conn = remote(cluster, database)
    rows = burst(rng, 1000, 0)
    for c in (conn, local):
        create(c)
        nv.insert_temp(c, T, rows)
    return conn


def test_prepare_catalog_creates_the_catalog_and_commits(tmp_path):
    conn = sqlite3.connect(tmp_path / "file.db", autocommit=False)  # only commit() publishes
    conn.execute("CREATE TABLE index_table (table_name, index_name, columns)")
    conn.execute("INSERT INTO index_table VALUES ('t', 'i', 'a')")
    conn.commit()
    executed = []
    conn.set_trace_callback(executed.append)
    prepare_catalog(conn)
    assert [s for s in executed if not s.startswith(("BEGIN", "COMMIT"))] == [
        "CREATE TABLE IF NOT EXISTS index_table (table_name, index_name, columns)",
        "CREATE TABLE IF NOT EXISTS unique_table (table_name, unique_name, columns, col_num)",
    ]
    other = sqlite3.connect(tmp_path / "file.db")
    assert other.execute("SELECT * FROM index_table").fetchall() == [("t", "i", "a")]
    assert other.execute("SELECT * FROM unique_table").fetchall() == []
    other.close()
    conn.close()


def test_workflow_matches_a_local_file(shared_cluster, local):
    rng = random.Random(13)
    first, second = burst(rng, 1000, 0), burst(rng, 400, 1000)
    steps = [
        ("create_table", create),
        ("insert_temp", lambda c: nv.insert_temp(c, T, first)),
        ("find", find_all),
        ("temp_to_main", lambda c: nv.temp_to_main(c, T)),
        ("second burst", lambda c: nv.insert_temp(c, T, second)),
        ("find", find_some),
        ("delete_row_main", lambda c: nv.delete_row_main(c, T, range(1, 300, 3))),
        ("temp_to_main", lambda c: nv.temp_to_main(c, T)),
        ("drop_table", lambda c: nv.drop_table(c, T)),
    ]
    conn = remote(shared_cluster, fresh_name("cluster"))
    assert state(conn) == state(local)
    for name, step in steps:
        assert step(conn) == step(local), name
        assert state(conn) == state(local), name
    conn.close()


def test_comm_false_then_rollback_changes_nothing(shared_cluster):
    rng = random.Random(8)
    database = fresh_name("cluster")
    conn = remote(shared_cluster, database)
    create(conn)
    nv.insert_temp(conn, T, burst(rng, 60, 0))
    nv.temp_to_main(conn, T)
    nv.insert_temp(conn, T, burst(rng, 30, 60))
    before = state(conn)

    nv.insert_temp(conn, T, burst(rng, 30, 90), comm=False)
    nv.delete_row_main(conn, T, [1, 2, 3], comm=False)
    nv.temp_to_main(conn, T, comm=False)
    nv.insert_unique(conn, T, "unique_2", "age", "3", comm=False)
    with pytest.raises(dqlitedbapi.ProgrammingError):  # the third row is one value short
        nv.insert_temp(conn, T, [("a", "b", 1, 2), ("c", "d", 3, 4), ("e",)], comm=False)
    assert conn.in_transaction
    conn.rollback()

    assert not conn.in_transaction
    assert state(conn) == before
    other = shared_cluster.connect(database)
    assert state(other) == before
    other.close()
    conn.close()


def test_leader_lost_between_staging_and_merge(fresh_cluster, local):
    database = fresh_name("cluster")
    conn = staged(fresh_cluster, database, local, random.Random(21))
    fresh_cluster.kill(fresh_cluster.leader())
    conn.close()

    survivor = fresh_cluster.connect(database)
    assert state(survivor) == state(local)  # no staged row lost
    nv.temp_to_main(survivor, T)
    nv.temp_to_main(local, T)
    assert state(survivor) == state(local)
    survivor.close()


def kill_leader_before(conn, cluster, pattern):
    """A connection that kills the cluster's leader before the first statement matching `pattern`."""
    pending = [re.compile(pattern)]

    def hook(kind, sql):
        if pending and kind in ("execute", "commit") and pending[0].match(sql or "COMMIT"):
            pending.clear()
            cluster.kill(cluster.leader())

    return Proxy(conn, hook, transactions=True)


@pytest.mark.parametrize("statement", [rf"INSERT INTO {T} ", "COMMIT"])
def test_leader_lost_during_merge(fresh_cluster, local, statement):
    """Killed before the merge's first main-table insert, or before its commit:
    the merge is applied entirely or not at all, and a retry gives the local result."""
    database = fresh_name("cluster")
    conn = staged(fresh_cluster, database, local, random.Random(34))
    before = state(local)
    nv.temp_to_main(local, T)
    merged = state(local)

    doomed = kill_leader_before(conn, fresh_cluster, rf"\s*{statement}")
    with pytest.raises(dqlitedbapi.OperationalError):  # "Connection closed by server"
        nv.temp_to_main(doomed, T)
    conn.close()

    survivor = fresh_cluster.connect(database)
    assert state(survivor) in (before, merged)
    nv.temp_to_main(survivor, T)
    assert state(survivor) == merged
    survivor.close()


def test_no_statement_binds_more_than_255_parameters(shared_cluster):
    """The driver stores NULL or garbage from 256 parameters on: such calls raise first."""
    from norvane import _native

    conn = remote(shared_cluster, "limits")
    wide, widest = [f"c{i}" for i in range(255)], [f"c{i}" for i in range(256)]
    nv.create_table(conn, "wide", wide, [], [])
    nv.create_table(conn, "widest", widest, [], [{"name": "u", "cols": [0]}])
    row = [i * 1.5 for i in range(255)]
    nv.insert_temp(conn, "wide", [row])
    assert [tuple(r) for r in conn.cursor().execute("SELECT * FROM temp_wide").fetchall()] == [tuple(row)]
    for call in (lambda: nv.insert_temp(conn, "widest", [row + [1.0]]),
                 lambda: nv._insert_main(conn, "widest", [row + [1.0]]),
                 lambda: _native.find(conn, None, "widest", "WHERE c0 IN (" + ",".join("?" * 256) + ")",
                                      list(range(256)))):
        with pytest.raises(dqlitedbapi.NotSupportedError, match=r"'widest'.* 256 parameters"):
            call()
        assert not conn.in_transaction
    assert conn.cursor().execute("SELECT count(*) FROM temp_widest").fetchall()[0][0] == 0
    # Staged behind the module's back (in two statements): the merge refuses before it writes.
    cur = conn.cursor()
    cur.execute("INSERT INTO temp_widest (c0) VALUES (1)")
    conn.commit()
    with pytest.raises(dqlitedbapi.NotSupportedError, match=r"'widest'.* 256 parameters"):
        nv.temp_to_main(conn, "widest")
    assert not conn.in_transaction
    assert cur.execute("SELECT count(*) FROM temp_widest").fetchall()[0][0] == 1
    conn.close()
