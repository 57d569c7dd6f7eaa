"""The connections a ``Table`` works on: the host's ``sqlite3`` ones and those
of the pinned dqlite driver (``norvane[cluster]``).

The driver's connections answer every request with a round trip to the
cluster's leader, bind at most 255 parameters to a statement correctly, take
only ``?`` placeholders and keep no change counter; what depends on that asks
here.
"""

import sqlite3
import sys
import weakref
from typing import TYPE_CHECKING, Any, TypeAlias

from norvane import _native

if TYPE_CHECKING:
    import dqlitedbapi

__all__ = [
    "CLUSTER_MAX_PARAMETERS",
    "Connection",
    "check_connection",
    "check_parameter_count",
    "execute_together",
    "is_cluster",
    "spill_off",
]

# A connection a Table takes.
Connection: TypeAlias = "sqlite3.Connection | dqlitedbapi.Connection"

# The most parameters the driver stores correctly in one statement (the
# extension's connection profile holds the one definition).
CLUSTER_MAX_PARAMETERS: int = _native.CLUSTER_MAX_PARAMETERS

_DRIVER_MODULE = "dqlitedbapi"


def _driver_type() -> type | None:
    """The driver's connection class, when the driver has been imported (a
    connection of it cannot exist otherwise)."""
    module = sys.modules.get(_DRIVER_MODULE)
    found = getattr(module, "Connection", None)
    return found if isinstance(found, type) else None


def is_cluster(conn: object) -> bool:
    """Whether `conn` is exactly a connection of the dqlite driver."""
    driver = _driver_type()
    return driver is not None and type(conn) is driver


def check_connection(conn: object) -> "Connection":
    if isinstance(conn, sqlite3.Connection) or is_cluster(conn):
        return conn  # type: ignore[return-value]
    raise TypeError(f"conn must be a sqlite3.Connection or a dqlitedbapi.Connection, not {type(conn).__name__}")


def check_parameter_count(conn: "Connection", table: str, count: int) -> None:
    """Raises the driver's NotSupportedError naming `table` and `count` when a
    statement binding `count` parameters would exceed what it stores."""
    if count > CLUSTER_MAX_PARAMETERS and is_cluster(conn):
        raise conn.NotSupportedError(
            f"table {table!r}: a statement would bind {count} parameters; the dqlite driver "
            f"stores values correctly only up to {CLUSTER_MAX_PARAMETERS} per statement"
        )


# The pinned server fails a transaction with "disk I/O error" once SQLite
# spills dirty pages into the WAL before the commit, which it does when they
# outgrow the page cache (2 MiB). With cache spill off, the leader keeps a
# transaction's dirty pages in memory until the commit instead.
_SPILL_OFF = "PRAGMA cache_spill=0"

# The driver's wire sessions (one per connection) that have cache spill off.
_spill_off_sessions: "weakref.WeakSet[object]" = weakref.WeakSet()


def spill_off(conn: object, begin: str | None = None) -> bool:
    """Turns SQLite's cache spill off on a dqlite connection, once per wire
    session, before norvane's first write on it.

    The driver's cursor cannot send that pragma (it sends a PRAGMA as a
    query, which the server refuses for the write form), so it goes through
    the driver's execute path, which takes several statements in one request:
    `begin` (a BEGIN statement the caller is about to send) rides along.
    Returns whether `begin` was sent; nothing at all is sent on any other
    connection or when the session has cache spill off already.
    """
    if not is_cluster(conn):
        return False
    session = conn._async._client  # type: ignore[attr-defined]
    if session is not None and session in _spill_off_sessions:
        return False
    statements = _SPILL_OFF if begin is None else f"{_SPILL_OFF};{_qualified_begin(conn, begin)}"
    conn._run(_execute_statements(conn._async, statements, spills_off=True))  # type: ignore[attr-defined]
    return begin is not None


def execute_together(conn: Any, statements: str) -> None:
    """Statements that return no rows, separated by ';', in one request on a
    dqlite connection (its cursor takes one statement a request)."""
    conn._run(_execute_statements(conn._async, statements, spills_off=False))


def _qualified_begin(conn: Any, begin: str) -> str:
    """A bare BEGIN as the driver's cursor would send it (the session mode
    can make it IMMEDIATE or EXCLUSIVE)."""
    from dqlitedbapi import _sql

    rewritten: str = _sql.rewrite_begin(begin, conn.session_mode)
    return rewritten


async def _execute_statements(connection: Any, statements: str, spills_off: bool) -> None:
    """One request on the driver's execute path, retried while the database
    is busy as the driver's cursor does; remembers a session whose cache
    spill these statements turned off."""
    from dqlitedbapi._busy import retry_on_busy
    from dqlitedbapi.exceptions import call

    async def attempt() -> None:
        async with connection._operation() as session:
            await call(session.execute(statements))
            if spills_off:
                _spill_off_sessions.add(session)

    await retry_on_busy(connection.busy_timeout, attempt)
