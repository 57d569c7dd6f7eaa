import itertools
import sqlite3

import pytest

import norvane.norvane as nv

_names = itertools.count()


def fresh_name(prefix="db"):
    """A handle name no other test has registered (the registry is process-wide)."""
    return f"{prefix}_{next(_names)}"


@pytest.fixture
def db(tmp_path):
    return nv.DB(fresh_name(), str(tmp_path / "test.db"))


@pytest.fixture
def conn(db):
    c = db.connection()
    yield c
    c.close()


@pytest.fixture
def other(db):
    """A second connection to the same file: sees only what was committed."""
    c = db.connection()
    yield c
    c.close()


class Wrapped:
    """A thin wrapper around a host connection. It is not the host's own
    type, so find answers its newest test statement by statement."""

    def __init__(self, conn):
        self._conn = conn

    def cursor(self):
        return self._conn.cursor()

    def commit(self):
        self._conn.commit()


def fetch(conn, sql, params=()):
    return conn.execute(sql, params).fetchall()


def table_rows(conn, table):
    return fetch(conn, f"SELECT * FROM {table} ORDER BY rowid")


def index_names(conn, table):
    return sorted(r[0] for r in fetch(
        conn, "SELECT name FROM sqlite_master WHERE type = 'index' AND tbl_name = ?", (table,)))
