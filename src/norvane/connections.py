"""The connections a ``Table`` works on: the host's ``sqlite3`` ones and those
of the pinned dqlite driver (``norvane[cluster]``).

The driver's connections answer every request with a round trip to the
cluster's leader, bind at most 255 parameters to a statement correctly, take
only ``?`` placeholders and keep no change counter; what depends on that asks
here.
"""

import sqlite3
import sys
from typing import TYPE_CHECKING, TypeAlias

from norvane import _native

if TYPE_CHECKING:
    import dqlitedbapi

__all__ = ["CLUSTER_MAX_PARAMETERS", "Connection", "check_connection", "check_parameter_count", "is_cluster"]

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
    raise TypeError(
        f"conn must be a sqlite3.Connection or a dqlitedbapi.Connection, not {type(conn).__name__}"
    )


def check_parameter_count(conn: "Connection", table: str, count: int) -> None:
    """Raises the driver's NotSupportedError naming `table` and `count` when a
    statement binding `count` parameters would exceed what it stores."""
    if count > CLUSTER_MAX_PARAMETERS and is_cluster(conn):
        raise conn.NotSupportedError(
            f"table {table!r}: a statement would bind {count} parameters; the dqlite driver "
            f"stores values correctly only up to {CLUSTER_MAX_PARAMETERS} per statement"
        )

