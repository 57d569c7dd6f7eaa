"""What a ``Table`` keeps about itself beside the module's catalog, in a
table of its own::

    CREATE TABLE table_settings (
        table_name TEXT PRIMARY KEY COLLATE NOCASE,
        newest_by TEXT NOT NULL,     -- JSON array of column names
        column_types TEXT NOT NULL   -- JSON object: column name -> "integer", "real" or "text"
    )

``newest_by`` names the columns that decide which of two rows is newer;
``column_types`` holds the types recorded for the table's columns.

A row describes only the table it was written for. A table dropped or made
again by other means (the module's ``drop_table`` or ``create_table``, plain
SQL) must not inherit it, and names alone cannot tell: SQLite hands a
re-created table the same schema row, text and often the same pages. So each
row is tied to a marker that lives and dies with the staging table: an empty
partial index ``"temp_<table>:settings"`` (``WHERE 0``: it never holds an
entry, so staging pays nothing for it, and queries never use it; the colon
keeps its name apart from every table and index norvane names). Dropping
the staging table drops the marker; a row without its marker is stale. It
reads as no settings, and the next write of the table's settings replaces
it.

Every function runs its statements on the connection it is given, inside
whatever transaction is open: the caller decides when they commit.
"""

import dataclasses
import json
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

from norvane.checks import STAGING_PREFIX

__all__ = [
    "SETTINGS_TABLE",
    "Settings",
    "add_column_types",
    "clear_settings",
    "column_types_to_keep",
    "marker_name",
    "read_settings",
    "stored_column_types",
    "write_settings",
]

SETTINGS_TABLE = "table_settings"
COLUMN_TYPES = ("integer", "real", "text")

_CREATE_TABLE = (
    f"CREATE TABLE IF NOT EXISTS {SETTINGS_TABLE} (table_name TEXT PRIMARY KEY COLLATE NOCASE, "
    "newest_by TEXT NOT NULL, column_types TEXT NOT NULL)"
)
# Both the settings table and the table's marker, in one read: most tables
# have no settings, and then this is the only statement a read pays.
_COUNT_PRESENT = (
    "SELECT count(*) FROM sqlite_master WHERE (type = 'table' AND name = ?) "
    "OR (type = 'index' AND name = ? COLLATE NOCASE)"
)
_SELECT_ROW = f"SELECT newest_by, column_types FROM {SETTINGS_TABLE} WHERE table_name = ?"
_UPSERT_ROW = f"INSERT OR REPLACE INTO {SETTINGS_TABLE} (table_name, newest_by, column_types) VALUES (?, ?, ?)"
_DELETE_ROW = f"DELETE FROM {SETTINGS_TABLE} WHERE table_name = ?"


@dataclass(frozen=True)
class Settings:
    """A table's settings; the default is a table that has none."""

    newest_by: tuple[str, ...] = ()
    column_types: Mapping[str, str] = field(default_factory=dict)

    def __bool__(self) -> bool:
        return bool(self.newest_by or self.column_types)


def marker_name(table: str) -> str:
    """The empty index on the staging table that ties a settings row to it."""
    return f"{STAGING_PREFIX}{table}:settings"


def read_settings(conn: Any, table: str) -> Settings:
    """The settings of `table` (its stored name), or the default when it has
    none or its row is stale."""
    (present,) = conn.execute(_COUNT_PRESENT, (SETTINGS_TABLE, marker_name(table))).fetchone()
    if present < 2:
        return Settings()
    row = conn.execute(_SELECT_ROW, (table,)).fetchone()
    if row is None:
        return Settings()
    return Settings(tuple(json.loads(row[0])), dict(json.loads(row[1])))


def write_settings(conn: Any, table: str, settings: Settings) -> None:
    """Records `settings` for `table` (its stored name; the table and its
    staging table exist), replacing what it had; empty settings remove the
    row and the marker."""
    if not settings:
        clear_settings(conn, table)
        return
    for name, kind in settings.column_types.items():
        if kind not in COLUMN_TYPES:
            raise ValueError(f"column {name!r}: type {kind!r} is not one of {', '.join(COLUMN_TYPES)}")
    conn.execute(_CREATE_TABLE)
    first = _first_column(conn, table)
    conn.execute(f'CREATE INDEX IF NOT EXISTS "{marker_name(table)}" ON {STAGING_PREFIX}{table} ({first}) WHERE 0')
    conn.execute(
        _UPSERT_ROW,
        (table, json.dumps(list(settings.newest_by)), json.dumps(dict(settings.column_types))),
    )


def clear_settings(conn: Any, table: str) -> None:
    """Removes the settings of `table`, if any; the marker goes with the
    staging table, or here when the table stays."""
    (present,) = conn.execute(_COUNT_PRESENT, (SETTINGS_TABLE, "")).fetchone()
    if present:
        conn.execute(_DELETE_ROW, (table,))
    conn.execute(f'DROP INDEX IF EXISTS "{marker_name(table)}"')


def add_column_types(conn: Any, table: str, types: Mapping[str, str]) -> None:
    """Adds `types` to the column types recorded for `table`, the rest of
    its settings kept."""
    settings = read_settings(conn, table)
    merged = {**settings.column_types, **types}
    write_settings(conn, table, dataclasses.replace(settings, column_types=merged))


def column_types_to_keep(conn: Any, table: str, columns: Sequence[str]) -> tuple[dict[str, Any], bool]:
    """The column types a stage into `table` keeps, and whether the table
    holds no rows (then the stage's own types are the first). A table with
    rows and none recorded records those of its stored values first."""
    settings = read_settings(conn, table)
    types = dict(settings.column_types)
    (holds_rows,) = conn.execute(
        f"SELECT EXISTS (SELECT 1 FROM {table}) OR EXISTS (SELECT 1 FROM {STAGING_PREFIX}{table})"
    ).fetchone()
    if holds_rows and not types:
        types = stored_column_types(conn, table, columns)
        if types:
            write_settings(conn, table, dataclasses.replace(settings, column_types=types))
    return types, not holds_rows


def _first_column(conn: Any, table: str) -> str:
    row = conn.execute(
        "SELECT name FROM pragma_table_info(?) ORDER BY cid LIMIT 1", (STAGING_PREFIX + table,)
    ).fetchone()
    if row is None:
        raise conn.OperationalError(f"no such table: {STAGING_PREFIX}{table}")
    return str(row[0])


def stored_column_types(conn: Any, table: str, columns: Sequence[str]) -> dict[str, str]:
    """The type of each column whose stored values, staged and main, are all
    integers, all reals or all text (NULLs aside): what a table with rows but
    no recorded types holds. A column of mixed classes, of blobs or of NULLs
    only has none. Reads both tables whole."""
    classes: dict[str, set[str]] = {column: set() for column in columns}
    select = ", ".join(f"group_concat(DISTINCT typeof({column}))" for column in columns)
    for prefix in ("", STAGING_PREFIX):
        row = conn.execute(f"SELECT {select} FROM {prefix}{table}").fetchone()
        for column, found in zip(columns, row):
            if found:
                classes[column].update(str(found).split(","))
    types: dict[str, str] = {}
    for column, found in classes.items():
        found.discard("null")
        if len(found) == 1 and next(iter(found)) in COLUMN_TYPES:
            types[column] = found.pop()
    return types
