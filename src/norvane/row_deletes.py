"""Deleting main rows by rowid for ``Table.delete``.

On a cluster connection every statement is a round trip to the leader, so the
rowids go there as one JSON array in one statement. Elsewhere, and where a
trigger on the table could see the order in which rows go, one statement per
rowid, as ``delete_row_main`` does.
"""

import json
import sqlite3
from typing import cast

from norvane import _native
from norvane import norvane as _nv
from norvane.call_options import DEFAULT_OPTIONS, CallOptions
from norvane.connections import Connection, is_cluster
from norvane.transactions import AllOrNothing

__all__ = ["delete_rowids"]

# The rowids SQLite can hold; others go the statement way (which refuses them).
_ROWIDS = range(-(2**63), 2**63)


def delete_rowids(
    conn: Connection, table: str, ids: list[int], commit: bool, options: CallOptions = DEFAULT_OPTIONS
) -> str:
    """Deletes the main rows of `table` (its stored name) with these rowids,
    in a transaction of its own unless one is open; `commit` commits.
    Returns how: "json" (one statement) or "statements" (one per rowid)."""
    if (
        not ids
        or options.delete_path != "auto"
        or not is_cluster(conn)
        or any(rowid not in _ROWIDS for rowid in ids)
        or not _json_delete_allowed(conn, table)
    ):
        _nv.delete_row_main(cast(sqlite3.Connection, conn), table, ids, commit)
        return "statements"
    with AllOrNothing(conn, commit, savepoint=False):  # one statement: a unit by itself
        conn.execute(f"DELETE FROM {table} WHERE rowid IN (SELECT value FROM json_each(?))", (json.dumps(ids),))
    return "json"


def _json_delete_allowed(conn: Connection, table: str) -> bool:
    """The connection profile's "json_delete" path. It requires:
    1. cluster_engine: elsewhere a statement is no round trip, nothing to win;
    2. no_main_triggers: a trigger on the table could see the order in which
       the rows go."""
    return bool(_native.connection_profile(conn, table)["paths"]["json_delete"])
