"""A table's own settings: kept with the table they were written for, and
never inherited by a table of the same name made again by other means."""

import pytest

import norvane.norvane as nv
from norvane import Table, Unique
from norvane.table_settings import Settings, clear_settings, read_settings, write_settings

SETTINGS = Settings(("ts",), {"k": "integer", "ts": "real"})


@pytest.fixture
def kv(conn):
    return Table(conn, "kv").create(["k", "ts", "v"], unique=[Unique("by_k", "k")])


def test_settings_round_trip_and_clear(kv, conn):
    assert read_settings(conn, "kv") == Settings()
    write_settings(conn, "kv", SETTINGS)
    assert read_settings(conn, "kv") == read_settings(conn, "KV") == SETTINGS
    write_settings(conn, "kv", Settings(("v",)))
    assert read_settings(conn, "kv") == Settings(("v",))
    clear_settings(conn, "kv")
    assert read_settings(conn, "kv") == Settings()
    assert conn.execute(
        "SELECT count(*) FROM sqlite_master WHERE type = 'index' AND tbl_name = 'temp_kv'"
    ).fetchone() == (0,)


@pytest.mark.parametrize(
    "remake",
    [
        lambda conn: nv.create_table(conn, "kv", ["k", "ts", "v"], [], [{"name": "by_k", "cols": [0]}]),
        lambda conn: (
            nv.drop_table(conn, "kv"),
            nv.create_table(conn, "kv", ["k", "ts", "v"], [], [{"name": "by_k", "cols": [0]}]),
        ),
        lambda conn: conn.executescript("DROP TABLE temp_kv; CREATE TABLE temp_kv (k, ts, v);"),
    ],
    ids=["create_table", "drop_table", "sql"],
)
def test_a_table_made_again_by_other_means_has_no_settings(kv, conn, remake):
    write_settings(conn, "kv", SETTINGS)
    conn.commit()
    remake(conn)
    assert read_settings(conn, "kv") == Settings()
    kv.stage([(1, 2.0, "x")])  # the settings row left behind harms nothing
    write_settings(conn, "kv", Settings(("v",)))
    assert read_settings(conn, "kv") == Settings(("v",))


def test_settings_are_refused_when_a_type_is_unknown(kv, conn):
    with pytest.raises(ValueError, match="type 'float'"):
        write_settings(conn, "kv", Settings((), {"k": "float"}))
    assert read_settings(conn, "kv") == Settings()


def test_settings_table_name_is_reserved(conn):
    with pytest.raises(ValueError, match="reserved"):
        Table(conn, "table_settings")
