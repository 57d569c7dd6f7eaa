"""``Table.merge`` and ``Table.delete_keys``: the main table left holding
exactly the current rows of ``norvane.table_state``.

A merge, in one transaction (``BEGIN IMMEDIATE`` when none is open, so the
write lock is held before the first read):

1. one read of the table's description: its stored names, columns, rules,
   settings marker, and the triggers and foreign keys that would see the
   writes (refused: see ``refuse_observers``);
2. one read of what is current, with the counts and the schema rows that
   decide which indexes stay in place;
3. the indexes not kept are dropped (all of them when none is kept, as every
   merge does), the hidden main rows deleted, the current staged rows
   inserted in staging order, the staging table emptied, and the dropped
   indexes rebuilt.

The current main rows keep their rowids; the current staged rows take new
ones in staging order. On a cluster connection each statement is one round
trip, and a merge takes about eight.
"""

import json
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

from norvane import _native
from norvane.call_options import CallOptions
from norvane.checks import STAGING_PREFIX
from norvane.connections import Connection
from norvane.staging import MergeReport, Progress, Reporter
from norvane.table_settings import SETTINGS_TABLE, marker_name, read_settings
from norvane.table_state import StateSql, plain_cursor, walk
from norvane.transactions import AllOrNothing

__all__ = ["TableInfo", "describe", "merge", "refuse_observers"]

_STEPS = 6  # progress: each statement step counts for a sixth of the staged rows

# The table's description in one read, rows (kind, name, number):
# 'table' for each of the table and its staging table as stored, 'column' per
# column of the main table, 'rule' per catalog row (positions as text),
# 'trigger' per trigger on either table, 'parent' per table whose foreign key
# points at it, 'settings' with how many of the settings table and the
# table's marker exist.
_DESCRIBE = (
    "SELECT 'table', name, NULL FROM sqlite_master WHERE type = 'table' AND "
    "(name = ? COLLATE NOCASE OR name = ? COLLATE NOCASE) "
    "UNION ALL SELECT 'column', name, cid FROM pragma_table_info(?) "
    "UNION ALL SELECT 'rule', unique_name, col_num FROM unique_table WHERE table_name = ? "
    "UNION ALL SELECT 'trigger', name, NULL FROM sqlite_master WHERE type = 'trigger' AND "
    "(tbl_name = ? COLLATE NOCASE OR tbl_name = ? COLLATE NOCASE) "
    "UNION ALL SELECT 'parent', m.name, NULL FROM sqlite_master AS m, pragma_foreign_key_list(m.name) AS f "
    "WHERE m.type = 'table' AND f.\"table\" = ? COLLATE NOCASE "
    "UNION ALL SELECT 'settings', count(*), NULL FROM sqlite_master WHERE "
    "(type = 'table' AND name = ?) OR (type = 'index' AND name = ? COLLATE NOCASE)"
)
# Which value each placeholder of _DESCRIBE takes (the dqlite driver takes
# only plain ? placeholders): 0 the table, 1 its staging table, 2 the
# settings table, 3 the table's settings marker.
_DESCRIBE_PARAMS = (0, 1, 0, 0, 0, 1, 0, 2, 3)


@dataclass(frozen=True)
class TableInfo:
    """What a write of the table needs to know about it."""

    name: str
    columns: tuple[str, ...]
    rules: list[tuple[int, ...]]
    rule_names: dict[str, tuple[int, ...]]
    newest_by: tuple[int, ...]
    observers: tuple[str, ...]


def describe(cursor: Any, conn: Connection, name: str) -> TableInfo:
    """The table as a write needs it, in one read (two with settings)."""
    values = (name, STAGING_PREFIX + name, SETTINGS_TABLE, marker_name(name))
    rows = cursor.execute(_DESCRIBE, tuple(values[n] for n in _DESCRIBE_PARAMS)).fetchall()
    stored = {str(n).lower(): str(n) for kind, n, _ in rows if kind == "table"}
    main = stored.get(name.lower())
    if main is None:
        raise conn.OperationalError(f"no such table: {name}")
    if (STAGING_PREFIX + main).lower() not in stored:
        raise conn.OperationalError(
            f"table {main} has no staging table {STAGING_PREFIX}{main}: it was not made by norvane"
        )
    columns = tuple(str(n) for kind, n, _ in sorted((r for r in rows if r[0] == "column"), key=lambda r: r[2]))
    rule_names = _rules([(n, str(p)) for kind, n, p in rows if kind == "rule"], len(columns))
    observers = tuple(f"trigger {n}" for kind, n, _ in rows if kind == "trigger") + tuple(
        f"foreign key of table {n}" for kind, n, _ in rows if kind == "parent"
    )
    (present,) = [n for kind, n, _ in rows if kind == "settings"]
    newest_by: tuple[int, ...] = ()
    if present == 2:
        folded = [c.lower() for c in columns]
        names = read_settings(cursor, main).newest_by
        missing = [n for n in names if n.lower() not in folded]
        if missing:
            raise conn.OperationalError(f"table {main}: newest_by column {missing[0]!r} is missing")
        newest_by = tuple(folded.index(n.lower()) for n in names)
    return TableInfo(main, columns, list(rule_names.values()), rule_names, newest_by, observers)


def _rules(rows: list[tuple[Any, str]], width: int) -> dict[str, tuple[int, ...]]:
    """The catalog's rules as positions; a name listed twice keeps its last
    positions, as the module's merge reads them."""
    found: dict[str, list[int]] = {}
    for name, text in rows:
        found[name] = [int(piece) for piece in text.split(",")]
    checked: dict[str, tuple[int, ...]] = {}
    for name, numbers in found.items():
        for p in numbers:
            if not -width <= p < width:
                raise IndexError(f"rule {name!r}: column position {p} is outside the {width} columns")
        checked[str(name)] = tuple(p % width for p in numbers)
    return checked


def refuse_observers(conn: Connection, info: TableInfo, what: str) -> None:
    """A write that replaces rows by deleting and inserting them in sets would
    fire triggers and foreign-key actions unlike the statements it stands
    for, so it refuses before writing anything."""
    if info.observers:
        raise conn.NotSupportedError(
            f"table {info.name}: {what} is refused because a {info.observers[0]} would see its writes "
            "(Table writes do not fire triggers or foreign-key actions; drop them or use the module's functions)"
        )


def merge(
    conn: Connection, name: str, progress: Progress | None, commit: bool, options: CallOptions
) -> tuple[MergeReport, str]:
    """Leaves exactly the current rows in the main table, all or nothing;
    returns what it did and how it moved the batch: "whole" (every staged
    row, the superseded ones deleted after) or "current" (only the current
    rows)."""
    with AllOrNothing(conn, commit, "BEGIN IMMEDIATE"):
        job = _Merge(conn, name, progress, options)
        result: MergeReport = _native.interruptible(conn, job.run)
        return result, job.path


class _Merge:
    def __init__(self, conn: Connection, name: str, progress: Progress | None, options: CallOptions) -> None:
        self.conn = conn
        self.name = name
        self.progress = progress
        self.options = options
        self.path = "current"
        self.cursor = plain_cursor(conn)

    def run(self) -> MergeReport:
        info = describe(self.cursor, self.conn, self.name)
        refuse_observers(self.conn, info, "merge")
        sql = StateSql(info.name, info.columns, info.rules, info.newest_by)
        if info.newest_by and sql.rules:
            return _MergeByIds(self, sql).run()
        return _MergeInSets(self, sql).run()

    def execute(self, statement: str, params: Sequence[Any] = ()) -> int:
        self.cursor.execute(statement, params)
        count: int = self.cursor.rowcount
        return count


class _MergeInSets:
    """Without newest_by: the hidden main rows found through the rule indexes,
    the current staged rows by one GROUP BY per rule."""

    def __init__(self, merge: _Merge, sql: StateSql) -> None:
        self.m = merge
        self.sql = sql

    def run(self) -> MergeReport:
        sql, m = self.sql, self.m
        hidden_count = (
            (
                f"CASE WHEN (SELECT max(rowid) FROM {sql.main}) IS NULL THEN 0 ELSE "
                f"(SELECT count(*) FROM ({sql.hidden_ids()})) END"
            )
            if sql.rules
            else "0"
        )
        rows = m.cursor.execute(
            f"SELECT NULL, count(*), (SELECT max(rowid) FROM {sql.main}), {hidden_count}, NULL "
            f"FROM {sql.staging} UNION ALL {_native.MERGE_SCHEMA_ROWS}",
            (sql_name(sql),),
        ).fetchall()
        _, staged, largest, hidden, _ = rows[0]
        reporter = Reporter(m.progress, staged)
        where = sql.newest_staged_where()
        ids: list[int] = []
        counts = {"replaced": 0, "inserted": 0}
        # A large batch whose indexes are rebuilt anyway goes in whole; the
        # staged rows a later one superseded are then found through the
        # rebuilt indexes instead of one sort of the batch per rule.
        bulk = {"on": False, "above": 0}

        def count_current() -> int:
            (kept,) = m.cursor.execute(f"SELECT count(*) FROM {sql.staging} WHERE {where}").fetchone()
            return int(hidden + kept)

        def prepare(keeps_any: bool) -> None:
            bulk["on"] = (
                not keeps_any and staged >= m.options.bulk_rows and bool(sql.rules) and m.options.bulk_path == "auto"
            )
            m.path = "whole" if bulk["on"] else "current"
            if not keeps_any and hidden:  # the search needs the indexes the drop removes
                ids.extend(row[0] for row in m.cursor.execute(f"SELECT id FROM ({sql.hidden_ids_as('id')})"))
            reporter.advance(staged // _STEPS)

        def write() -> None:
            if hidden:
                if ids:
                    counts["replaced"] = m.execute(
                        f"DELETE FROM {sql.main} WHERE rowid IN (SELECT value FROM json_each(?))", (json.dumps(ids),)
                    )
                else:
                    counts["replaced"] = m.execute(f"DELETE FROM {sql.main} WHERE rowid IN ({sql.hidden_ids()})")
            reporter.advance(staged * 3 // _STEPS)
            if staged and bulk["on"]:
                if hidden:
                    (above,) = m.cursor.execute(f"SELECT coalesce(max(rowid), 0) FROM {sql.main}").fetchone()
                else:  # nothing deleted: the largest rowid read with the counts still holds
                    above = largest or 0
                bulk["above"] = above
                counts["inserted"] = m.execute(f"INSERT INTO {sql.main} SELECT * FROM {sql.staging} ORDER BY rowid")
            elif staged:
                counts["inserted"] = m.execute(
                    f"INSERT INTO {sql.main} SELECT * FROM {sql.staging} WHERE {where} ORDER BY rowid"
                )
            if staged:
                reporter.advance(staged * 4 // _STEPS)
                m.execute(f"DELETE FROM {sql.staging}")
            reporter.advance(staged * 5 // _STEPS)

        _native.with_index_plan(
            m.conn,
            sql_name(sql),
            hidden + min(staged, 1),
            hidden + staged,
            count_current,
            rows[1:],
            largest,
            prepare,
            write,
            m.options.index_policy,
        )
        if bulk["on"]:
            counts["inserted"] -= self._drop_superseded(bulk["above"])
        reporter.finish(staged)
        inserted = counts["inserted"]
        return MergeReport(staged, inserted, counts["replaced"], staged - inserted, 0)

    def _drop_superseded(self, above: int) -> int:
        """Deletes the moved staged rows (rowids above `above`) that a later
        one supersedes; returns how many."""
        sql, m = self.sql, self.m
        indexes = sql.rule_indexes(m.cursor.execute(sql.index_columns(), (sql.table,)).fetchall())
        if indexes is not None:
            try:
                return m.execute(
                    f"DELETE FROM {sql.main} WHERE rowid IN ({sql.superseded_in_main(indexes)})",
                    (above,) * len(sql.rules),
                )
            except m.conn.OperationalError as error:  # an index its collation keeps from serving
                if "no query solution" not in str(error):
                    raise
        # Without an index per rule: one sort per rule, as for a small batch.
        moved = StateSql(sql.table, (), [], ())
        moved.staging = sql.main
        moved.rule_columns = sql.rule_columns
        return m.execute(f"DELETE FROM {sql.main} WHERE rowid > ? AND NOT ({moved.newest_staged_where()})", (above,))


class _MergeByIds:
    """With newest_by: the sequence walked over rowids and ranks, then the
    rows moved and removed by rowid lists."""

    def __init__(self, merge: _Merge, sql: StateSql) -> None:
        self.m = merge
        self.sql = sql

    def run(self) -> MergeReport:
        sql, m = self.sql, self.m
        largest_sql = f"SELECT 3, (SELECT max(rowid) FROM {sql.main}), NULL, NULL, NULL"
        state, rows = walk(
            m.cursor.execute(sql.with_newest(", NULL", [largest_sql, _native.MERGE_SCHEMA_ROWS]), (sql_name(sql),)),
            len(sql.rules),
            m.options.walk_path,
        )
        largest = next(r[1] for r in rows if r[0] == 3)
        staged = next(r[1] for r in rows if r[0] == 4)
        schema = [r for r in rows if isinstance(r[0], str)]
        reporter = Reporter(m.progress, staged)
        hidden = sorted(state.main_hidden)
        lost = sorted(state.staged_lost)
        counts = {"inserted": 0}

        def prepare(keeps_any: bool) -> None:
            reporter.advance(staged // _STEPS)

        def write() -> None:
            if hidden:
                m.execute(
                    f"DELETE FROM {sql.main} WHERE rowid IN (SELECT value FROM json_each(?))", (json.dumps(hidden),)
                )
            reporter.advance(staged * 3 // _STEPS)
            if not staged:
                return
            if not lost:
                counts["inserted"] = m.execute(f"INSERT INTO {sql.main} SELECT * FROM {sql.staging} ORDER BY rowid")
            elif len(lost) < staged:
                counts["inserted"] = m.execute(
                    f"INSERT INTO {sql.main} SELECT * FROM {sql.staging} "
                    "WHERE rowid NOT IN (SELECT value FROM json_each(?)) ORDER BY rowid",
                    (json.dumps(lost),),
                )
            reporter.advance(staged * 4 // _STEPS)
            m.execute(f"DELETE FROM {sql.staging}")
            reporter.advance(staged * 5 // _STEPS)

        changes = len(hidden) + staged - len(lost)
        _native.with_index_plan(
            m.conn, sql_name(sql), changes, changes, None, schema, largest, prepare, write, m.options.index_policy
        )
        reporter.finish(staged)
        return MergeReport(staged, counts["inserted"], len(hidden), state.superseded, state.stale)


def sql_name(sql: StateSql) -> str:
    """The stored table name, as the module's index functions take it."""
    return sql.table
