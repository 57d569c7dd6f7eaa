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
from norvane.connections import Connection, is_cluster, spill_off

__all__ = ["delete_rowids"]

# The rowids SQLite can hold; others go the statement way (which refuses them).
_ROWIDS = range(-(2**63), 2**63)


def delete_rowids(conn: Connection, table: str, ids: list[int], commit: bool) -> None:
    """Deletes the main rows of `table` (its stored name) with these rowids,
    in a transaction of its own unless one is open; `commit` commits."""
    if (
        not ids
        or _native.delete_path_in_use() != "auto"
        or not is_cluster(conn)
        or any(rowid not in _ROWIDS for rowid in ids)
        or not _json_delete_allowed(conn, table)
    ):
        _nv.delete_row_main(cast(sqlite3.Connection, conn), table, ids, commit)
        return
    opened = not conn.in_transaction
    if opened:
        if not spill_off(conn, "BEGIN"):
            conn.execute("BEGIN")
    else:
        spill_off(conn)
    try:
        conn.execute(f"DELETE FROM {table} WHERE rowid IN (SELECT value FROM json_each(?))", (json.dumps(ids),))
        if commit:
            conn.commit()
    except BaseException:
        if opened:
            try:
                conn.rollback()
            except conn.Error:
                pass  # the server already ended the transaction
        raise


def _json_delete_allowed(conn: Connection, table: str) -> bool:
    """The connection profile's "json_delete" path. It requires:
    1. cluster_engine: elsewhere a statement is no round trip, nothing to win;
    2. no_main_triggers: a trigger on the table could see the order in which
       the rows go."""
    return bool(_native.connection_profile(conn, table)["paths"]["json_delete"])
