import contextlib
import functools
import itertools
from collections import Counter

import pytest

import norvane.norvane as nv

_names = itertools.count()

# The published callables and their parameters, in publishing order: the one
# table the tests check the module's signatures and argument binding against.
PUBLISHED = {
    "insert_index": ("conn", "index", "comm"),
    "drop_index": ("conn", "table", "name", "comm"),
    "active_table_index": ("conn", "table", "comm"),
    "drop_table_index": ("conn", "table", "comm"),
    "insert_unique": ("conn", "table", "name", "cols", "cols_num", "comm"),
    "drop_unique": ("conn", "table", "name", "comm"),
    "create_table": ("conn", "name", "cols", "index", "unique", "comm"),
    "insert_temp": ("conn", "table", "rows", "comm"),
    "delete_row_main": ("conn", "table", "ids", "comm"),
    "temp_to_main": ("conn", "table", "comm"),
    "_insert_main": ("conn", "table", "rows", "comm"),
    "drop_table": ("conn", "table", "comm"),
    "find": ("conn", "select", "table", "conditions"),
    "_check_newest_unique": ("conn", "table", "rowid", "row", "uniques", "cols", "total_select", "eqivalent_set"),
    "DB.__init__": ("self", "name", "address"),
    "DB.connection": ("self",),
}


def published(name):
    """The callable a name of PUBLISHED stands for."""
    return vars(nv.DB)[name[3:]] if name.startswith("DB.") else getattr(nv, name)


def fresh_name(prefix="db"):
    """A handle name no other test has registered (the registry is process-wide)."""
    return f"{prefix}_{next(_names)}"


@contextlib.contextmanager
def switched(switch, value):
    """Sets a private switch of norvane._native (ignore_guard) to `value` for
    the block, and back after."""
    previous = switch(value)
    try:
        yield
    finally:
        switch(previous)


class FastPath:
    """How often a differential test's fast path ran. The test's body calls
    ``count(ran)`` once per example, and ``share(at_least)`` decorates the
    test: it fails unless the fast path ran on at least that share of the
    examples, so a comparison cannot pass by setting the plain path against
    itself."""

    def __init__(self):
        self.examples = 0
        self.ran = 0

    def count(self, ran):
        self.examples += 1
        self.ran += bool(ran)

    def share(self, at_least):
        def decorate(test):
            @functools.wraps(test)
            def run(*args, **kwargs):
                self.examples = self.ran = 0
                test(*args, **kwargs)
                assert self.examples > 0, "no example counted"
                assert self.ran >= at_least * self.examples, (
                    f"the fast path ran on {self.ran} of {self.examples} examples, less than {at_least:.0%}"
                )

            return run

        return decorate


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


class Proxy:
    """A connection of our own that forwards to a real one. It is not the
    host's type, so find answers its newest test statement by statement.

    `counts` tallies the calls by kind ("cursor", "execute", "fetchall",
    "commit"); `hook(kind, sql)` runs before each of them and may raise (sql
    is the statement for "execute", else None). `transactions` forwards
    in_transaction and rollback, which the library then uses as on the real
    connection; without it the proxy has neither. `reuse` makes fetchall
    refill one list shared by all cursors, as some wrappers do."""

    def __init__(self, real, hook=None, *, transactions=False, reuse=False):
        self.real = real
        self.counts = Counter()
        self._hook = hook
        self._forwarded = {"in_transaction", "rollback"} if transactions else set()
        self._shared = [] if reuse else None

    def __getattr__(self, name):
        if name in self.__dict__.get("_forwarded", ()):
            return getattr(self.real, name)
        raise AttributeError(name)

    def _tick(self, kind, sql=None):
        self.counts[kind] += 1
        if self._hook is not None:
            self._hook(kind, sql)

    def cursor(self):
        self._tick("cursor")
        return _ProxyCursor(self.real.cursor(), self)

    def commit(self):
        self._tick("commit")
        self.real.commit()


class _ProxyCursor:
    def __init__(self, real, owner):
        self._real, self._owner = real, owner

    def execute(self, sql, *params):
        self._owner._tick("execute", sql)
        self._real.execute(sql, *params)
        return self

    def fetchall(self):
        try:
            self._owner._tick("fetchall")
        except BaseException:
            # Like a driver whose fetch fails: the statement does not stay
            # open (the traceback keeps this cursor alive).
            self._real.close()
            raise
        rows = self._real.fetchall()
        shared = self._owner._shared
        if shared is None:
            return rows
        shared[:] = rows
        return shared


def fetch(conn, sql, params=()):
    return conn.execute(sql, params).fetchall()


def tables(conn):
    return {r[0] for r in fetch(conn, "SELECT name FROM sqlite_master WHERE type = 'table'")}


def table_rows(conn, table):
    return fetch(conn, f"SELECT * FROM {table} ORDER BY rowid")


def index_names(conn, table):
    return sorted(
        r[0] for r in fetch(conn, "SELECT name FROM sqlite_master WHERE type = 'index' AND tbl_name = ?", (table,))
    )
