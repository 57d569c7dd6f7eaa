"""Tables as Python code holds them: a ``Table`` bound to a connection and a
name, rows as tuples, lists or dicts, queries with bound parameters, and typed
records for indexes and uniqueness rules.

Every method checks its arguments before it writes anything and raises a
plain ``TypeError`` or ``ValueError`` naming what is wrong; the writes
themselves go through the module functions of ``norvane.norvane``.
"""

import re
import sqlite3
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Self, TypeAlias

from norvane import _native
from norvane import frames as _frames
from norvane import values as _values
from norvane import norvane as _nv

if TYPE_CHECKING:
    from norvane.norvane import IndexSpec, UniqueSpec

__all__ = ["Index", "Params", "Row", "Table", "Unique"]

# A row to stage: one value per column in table order, or a dict by column
# name (columns it leaves out hold NULL).
Row: TypeAlias = Sequence[object] | Mapping[str, object]
# Parameters of a query: a sequence for "?" placeholders, a mapping for
# ":name" placeholders.
Params: TypeAlias = Sequence[object] | Mapping[str, object]

_IDENTIFIER = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\Z")

# SQLite's keywords: none of them may name a table, column, index or rule,
# since the names go into statements unquoted.
_KEYWORDS = frozenset("""
    ABORT ACTION ADD AFTER ALL ALTER ALWAYS ANALYZE AND AS ASC ATTACH AUTOINCREMENT BEFORE BEGIN
    BETWEEN BY CASCADE CASE CAST CHECK COLLATE COLUMN COMMIT CONFLICT CONSTRAINT CREATE CROSS
    CURRENT CURRENT_DATE CURRENT_TIME CURRENT_TIMESTAMP DATABASE DEFAULT DEFERRABLE DEFERRED DELETE
    DESC DETACH DISTINCT DO DROP EACH ELSE END ESCAPE EXCEPT EXCLUDE EXCLUSIVE EXISTS EXPLAIN FAIL
    FILTER FIRST FOLLOWING FOR FOREIGN FROM FULL GENERATED GLOB GROUP GROUPS HAVING IF IGNORE
    IMMEDIATE IN INDEX INDEXED INITIALLY INNER INSERT INSTEAD INTERSECT INTO IS ISNULL JOIN KEY LAST
    LEFT LIKE LIMIT MATCH MATERIALIZED NATURAL NO NOT NOTHING NOTNULL NULL NULLS OF OFFSET ON OR
    ORDER OTHERS OUTER OVER PARTITION PLAN PRAGMA PRECEDING PRIMARY QUERY RAISE RANGE RECURSIVE
    REFERENCES REGEXP REINDEX RELEASE RENAME REPLACE RESTRICT RETURNING RIGHT ROLLBACK ROW ROWS
    SAVEPOINT SELECT SET TABLE TEMP TEMPORARY THEN TIES TO TRANSACTION TRIGGER UNBOUNDED UNION
    UNIQUE UPDATE USING VACUUM VALUES VIEW VIRTUAL WHEN WHERE WINDOW WITH WITHOUT
""".split())

# Names SQLite gives the rowid; a column so named would hide it from queries.
_ROWID_NAMES = frozenset({"rowid", "oid", "_rowid_"})
# The module's own tables, and the prefix of every staging table.
_CATALOG = frozenset({"index_table", "unique_table"})
_STAGING_PREFIX = "temp_"

_INT_MIN, _INT_MAX = _values.INT_MIN, _values.INT_MAX


def _check_name(name: object, what: str) -> str:
    """A plain SQL identifier, which the module can splice into statements."""
    if not isinstance(name, str):
        raise TypeError(f"{what} must be a str, not {type(name).__name__}")
    if not _IDENTIFIER.match(name):
        raise ValueError(
            f"{what} {name!r} is not a plain identifier (ASCII letters, digits and _, "
            "not starting with a digit)"
        )
    if name.upper() in _KEYWORDS:
        raise ValueError(f"{what} {name!r} is an SQL keyword")
    return name


def _check_table_name(name: object) -> str:
    text = _check_name(name, "table name")
    folded = text.lower()
    if folded in _CATALOG or folded.startswith("sqlite_"):
        raise ValueError(f"table name {text!r} is reserved")
    if folded.startswith(_STAGING_PREFIX):
        raise ValueError(
            f"table name {text!r} starts with {_STAGING_PREFIX!r}, the prefix of staging tables"
        )
    return text


def _name_list(value: str | Iterable[str], what: str) -> tuple[str, ...]:
    """Names given as one str or as a list of them."""
    if isinstance(value, str):
        if "," in value:
            raise ValueError(f"{what} {value!r}: give several names as a list, not joined by commas")
        return (value,)
    if isinstance(value, (bytes, Mapping)) or not isinstance(value, Iterable):
        raise TypeError(f"{what} must be a str or a list of str, not {type(value).__name__}")
    names = tuple(value)
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"{what} must hold str, not {type(name).__name__}")
    return names


@dataclass(frozen=True, init=False)
class Index:
    """An index on a table's main table: ``Index("by_age", ["age"])``."""

    name: str
    columns: tuple[str, ...]

    def __init__(self, name: str, columns: str | Iterable[str]) -> None:
        if not isinstance(name, str):
            raise TypeError(f"index name must be a str, not {type(name).__name__}")
        object.__setattr__(self, "name", name)
        object.__setattr__(self, "columns", _name_list(columns, f"columns of index {name!r}"))


@dataclass(frozen=True, init=False)
class Unique:
    """A uniqueness rule: among rows equal in all of ``columns``, the newest
    wins. Columns are named or given by position: ``Unique("home", ["name",
    "type"])`` or ``Unique("home", [0, 1])``."""

    name: str
    columns: tuple[str | int, ...]

    def __init__(self, name: str, columns: str | int | Iterable[str | int]) -> None:
        if not isinstance(name, str):
            raise TypeError(f"rule name must be a str, not {type(name).__name__}")
        what = f"columns of rule {name!r}"
        if isinstance(columns, str) or (isinstance(columns, int) and not isinstance(columns, bool)):
            items: tuple[str | int, ...] = (columns,)
        elif isinstance(columns, (bytes, Mapping)) or not isinstance(columns, Iterable):
            raise TypeError(f"{what} must be names or positions, not {type(columns).__name__}")
        else:
            items = tuple(columns)
        for item in items:
            if isinstance(item, bool) or not isinstance(item, (str, int)):
                raise TypeError(f"{what} must be column names or positions, not {type(item).__name__}")
        object.__setattr__(self, "name", name)
        object.__setattr__(self, "columns", items)


def _sqlite_order(value: object) -> tuple[int, Any]:
    """The sort key SQLite orders values by: NULL, then numbers (integers and
    reals compared by value), then text, then blobs. Text compares by code
    point, which is the byte order of its UTF-8 form (SQLite's BINARY)."""
    if value is None:
        return (0, 0)
    if isinstance(value, (int, float)):
        return (1, value)
    if isinstance(value, str):
        return (2, value)
    return (3, bytes(value))  # type: ignore[call-overload]


def _check_where(where: str) -> None:
    """The text must be one expression: its parentheses, outside literals,
    quoted names and comments, balance and never close more than they opened."""
    depth = 0
    i, end = 0, len(where)
    closers = {"'": "'", '"': '"', "`": "`", "[": "]"}
    while i < end:
        c = where[i]
        if c in closers:
            close = where.find(closers[c], i + 1)
            i = end if close < 0 else close + 1
            continue
        if where.startswith("--", i):
            close = where.find("\n", i)
            i = end if close < 0 else close + 1
            continue
        if where.startswith("/*", i):
            close = where.find("*/", i + 2)
            i = end if close < 0 else close + 2
            continue
        if c == "(":
            depth += 1
        elif c == ")":
            depth -= 1
            if depth < 0:
                break
        i += 1
    if depth != 0:
        raise ValueError(f"where {where!r} is not one expression: its parentheses do not balance")


def _check_params(params: Params) -> tuple[object, ...] | dict[str, object]:
    if isinstance(params, Mapping):
        named = dict(params)
        for key, value in named.items():
            if not isinstance(key, str):
                raise TypeError(f"parameter names must be str, not {type(key).__name__}")
            named[key] = _values.convert(value, lambda: f"parameter {key!r}")
        return named
    if isinstance(params, (str, bytes, bytearray)) or not isinstance(params, Sequence):
        raise TypeError(f"params must be a sequence or a mapping, not {type(params).__name__}")
    return tuple(
        _values.convert(value, lambda: f"parameter {n}") for n, value in enumerate(params)
    )


def _check_count(value: object, what: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{what} must be an int, not {type(value).__name__}")
    if value < 0:
        raise ValueError(f"{what} must not be negative, not {value}")
    return value


class Table:
    """A managed table: ``Table(conn, "homes")``.

    Rows are staged first (``stage``), visible at once to queries (``rows``,
    ``dicts``), and moved into the main table by ``merge``, where the newest
    row under each uniqueness rule wins. Methods that write commit at their end
    unless given ``commit=False``.
    """

    __slots__ = ("_conn", "_name")

    def __init__(self, conn: sqlite3.Connection, name: str) -> None:
        if not isinstance(conn, sqlite3.Connection):
            raise TypeError(f"conn must be a sqlite3.Connection, not {type(conn).__name__}")
        self._conn = conn
        self._name = _check_table_name(name)

    @property
    def conn(self) -> sqlite3.Connection:
        return self._conn

    @property
    def name(self) -> str:
        return self._name

    def __repr__(self) -> str:
        return f"Table({self._name!r})"

    # ------------------------------------------------------------ schema --

    def exists(self) -> bool:
        """Whether the table and its staging table are both there."""
        return self._stored_name(self._name) is not None and (
            self._stored_name(_STAGING_PREFIX + self._name) is not None
        )

    def columns(self) -> tuple[str, ...]:
        """The column names, in table order."""
        return self._require()[1]

    def create(
        self,
        columns: Sequence[str],
        *,
        indexes: Iterable[Index] = (),
        unique: Iterable[Unique] = (),
        replace: bool = False,
        commit: bool = True,
    ) -> Self:
        """Creates the table and its staging table with its indexes and rules.

        An existing table of this name is an error unless ``replace`` is true,
        in which case it is dropped first with all its rows.
        """
        names = self._check_columns(columns)
        index_specs, rule_specs = self._check_specs(names, indexes, unique)
        _check_flag(replace, "replace")
        _check_flag(commit, "commit")
        if not replace and self._stored_name(self._name) is not None:
            raise sqlite3.OperationalError(
                f"table {self._name} already exists (pass replace=True to replace it)"
            )
        _nv.create_table(self._conn, self._name, list(names), index_specs, rule_specs, commit)
        return self

    def drop(self, *, commit: bool = True) -> None:
        """Removes the table, its staging table and their indexes and rules."""
        _check_flag(commit, "commit")
        name = self._stored_name(self._name) or self._name
        _nv.drop_table(self._conn, name, commit)

    def indexes(self) -> list[Index]:
        """The catalogued indexes, in the order they were made. Every rule has
        one of its own, of the same name."""
        name = self._require()[0]
        found: dict[str, Index] = {}
        if self._stored_name("index_table") is not None:
            for index_name, text in self._conn.execute(
                "SELECT index_name, columns FROM index_table WHERE table_name = ? ORDER BY rowid",
                (name,),
            ):
                columns = [piece.strip() for piece in str(text).split(",")]
                found[index_name] = Index(str(index_name), columns)
        return list(found.values())

    def rules(self) -> list[Unique]:
        """The uniqueness rules, their columns named."""
        name, columns = self._require()
        found: dict[str, Unique] = {}
        if self._stored_name("unique_table") is not None:
            for rule_name, positions in self._conn.execute(
                "SELECT unique_name, col_num FROM unique_table WHERE table_name = ? ORDER BY rowid",
                (name,),
            ):
                found[rule_name] = Unique(str(rule_name), _column_names(str(positions), columns))
        return list(found.values())

    # -------------------------------------------------------------- rows --

    def stage(self, rows: Iterable[Row] | Any, *, commit: bool = True) -> int:
        """Stages rows and returns how many. Each row is a tuple or list with
        one value per column, or a dict by column name (missing columns hold
        NULL). ``rows`` may also be a frame: a pandas or polars DataFrame, a
        pyarrow Table or RecordBatchReader, or anything with
        ``__arrow_c_stream__``, its columns matched by name. Values are stored
        as ``norvane.values`` describes. Nothing is written unless every row
        is right."""
        frame = _frames.is_frame(rows)
        if not frame and (
            isinstance(rows, (str, bytes, bytearray, Mapping)) or not isinstance(rows, Iterable)
        ):
            raise TypeError(
                f"rows must be an iterable of rows (tuples, lists or dicts), not {type(rows).__name__}"
            )
        _check_flag(commit, "commit")
        name, columns = self._require()
        if frame:  # its chunks come converted and checked, values row after row
            values: list[object] = []
            for chunk in _frames.value_chunks(rows, name, columns):
                values += chunk
            if values:
                _native.stage_values(self._conn, name, values, len(columns), commit)
            return len(values) // len(columns)
        checked = _RowChecker(name, columns).check(list(rows))
        if checked:
            _native.stage_rows(self._conn, name, checked, commit)
        return len(checked)

    def merge(self, *, commit: bool = True) -> None:
        """Moves every staged row into the main table; under each rule the
        newest row wins and the older ones are deleted."""
        _check_flag(commit, "commit")
        _nv.temp_to_main(self._conn, self._require()[0], commit)

    def delete(self, rowids: int | Iterable[int], *, commit: bool = True) -> None:
        """Deletes main rows by rowid (as ``rows(select=["rowid", ...])`` gives
        them; staged rows have none until they are merged)."""
        if isinstance(rowids, int) and not isinstance(rowids, bool):
            ids: list[int] = [rowids]
        elif isinstance(rowids, (str, bytes, Mapping)) or not isinstance(rowids, Iterable):
            raise TypeError(f"rowids must be an int or an iterable of int, not {type(rowids).__name__}")
        else:
            ids = list(rowids)
        for rowid in ids:
            if rowid is None:
                raise TypeError("rowid None: a staged row has no rowid in the main table until merged")
            if isinstance(rowid, bool) or not isinstance(rowid, int):
                raise TypeError(f"rowids must be int, not {type(rowid).__name__}")
        _check_flag(commit, "commit")
        _nv.delete_row_main(self._conn, self._require()[0], ids, commit)

    def count_staged(self) -> int:
        """How many rows wait in the staging table."""
        return self._count(_STAGING_PREFIX)

    def count_main(self) -> int:
        """How many rows the main table holds."""
        return self._count("")

    def rows(
        self,
        where: str | None = None,
        params: Params = (),
        *,
        select: str | Sequence[str] | None = None,
        order_by: str | Sequence[str] = (),
        limit: int | None = None,
        offset: int = 0,
    ) -> list[tuple[Any, ...]]:
        """The current rows, staged and main, as tuples.

        ``where`` is an SQL expression with ``?`` or ``:name`` placeholders
        whose values come from ``params``; superseded rows are hidden.
        ``select`` names the columns (``"rowid"`` included, None for a staged
        row); ``order_by`` names columns, each optionally followed by ``ASC``
        or ``DESC``, and orders as SQLite does, ties in the order rows are
        found. ``limit`` and ``offset`` then apply to the current rows.
        """
        query = _Query(self, where, params, select, order_by, limit, offset)
        return [tuple(row[i] for i in query.output) for row in query.run()]

    def dicts(
        self,
        where: str | None = None,
        params: Params = (),
        *,
        select: str | Sequence[str] | None = None,
        order_by: str | Sequence[str] = (),
        limit: int | None = None,
        offset: int = 0,
    ) -> list[dict[str, Any]]:
        """The same as ``rows``, each row a dict keyed by the selected names."""
        query = _Query(self, where, params, select, order_by, limit, offset)
        if len(set(query.keys)) != len(query.keys):
            raise ValueError(f"select {list(query.keys)!r} names a column twice")
        return [dict(zip(query.keys, (row[i] for i in query.output))) for row in query.run()]

    def to_arrow(
        self,
        where: str | None = None,
        params: Params = (),
        *,
        select: str | Sequence[str] | None = None,
        order_by: str | Sequence[str] = (),
        limit: int | None = None,
        offset: int = 0,
    ) -> Any:
        """The rows of ``rows`` as a pyarrow Table, each column typed by the
        one storage class it holds (needs ``norvane[arrow]``)."""
        return _frames.to_arrow(self, where, params, select, order_by, limit, offset)

    def to_pandas(
        self,
        where: str | None = None,
        params: Params = (),
        *,
        select: str | Sequence[str] | None = None,
        order_by: str | Sequence[str] = (),
        limit: int | None = None,
        offset: int = 0,
    ) -> Any:
        """The rows of ``rows`` as a pandas DataFrame with nullable dtypes;
        mixed columns are objects (needs ``norvane[pandas]``)."""
        return _frames.to_pandas(self, where, params, select, order_by, limit, offset)

    # ---------------------------------------------------------- internals --

    def _stored_name(self, name: str) -> str | None:
        """The spelling under which a table is stored (names ignore case)."""
        row = self._conn.execute(
            "SELECT name FROM sqlite_master WHERE type = 'table' AND name = ? COLLATE NOCASE",
            (name,),
        ).fetchone()
        return None if row is None else str(row[0])

    def _require(self) -> tuple[str, tuple[str, ...]]:
        """The stored name and columns of the table, which must exist."""
        name = self._stored_name(self._name)
        if name is None:
            raise sqlite3.OperationalError(f"no such table: {self._name}")
        if self._stored_name(_STAGING_PREFIX + name) is None:
            raise sqlite3.OperationalError(
                f"table {name} has no staging table {_STAGING_PREFIX}{name}: it was not made by norvane"
            )
        columns = tuple(
            str(column)
            for (column,) in self._conn.execute(
                "SELECT name FROM pragma_table_info(?) ORDER BY cid", (name,)
            )
        )
        return name, columns

    def _count(self, prefix: str) -> int:
        name = self._require()[0]
        count: int = self._conn.execute(f"SELECT count(*) FROM {prefix}{name}").fetchone()[0]
        return count

    def _check_columns(self, columns: Sequence[str]) -> tuple[str, ...]:
        if isinstance(columns, (str, bytes)) or not isinstance(columns, Sequence):
            raise TypeError(f"columns must be a list of names, not {type(columns).__name__}")
        if not columns:
            raise ValueError("a table needs at least one column")
        seen: set[str] = set()
        for column in columns:
            _check_name(column, "column name")
            folded = column.lower()
            if folded in _ROWID_NAMES:
                raise ValueError(f"column name {column!r} would hide the rowid")
            if folded in seen:
                raise ValueError(f"column {column!r} is given twice")
            seen.add(folded)
        return tuple(columns)

    def _check_specs(
        self, columns: tuple[str, ...], indexes: Iterable[Index], unique: Iterable[Unique]
    ) -> tuple[list["IndexSpec"], list["UniqueSpec"]]:
        """The index and rule dicts create_table takes, every name checked."""
        lookup = _ColumnLookup(self._name, columns)
        taken: set[str] = set()

        def claim(name: str, what: str) -> None:
            _check_name(name, f"{what} name")
            if name.lower() in taken:
                raise ValueError(f"{what} name {name!r} is taken (indexes and rules share names)")
            taken.add(name.lower())

        index_specs: list[IndexSpec] = []
        for index in _spec_list(indexes, Index, "indexes"):
            claim(index.name, "index")
            if not index.columns:
                raise ValueError(f"index {index.name!r} has no columns")
            names = [lookup.column(c, f"index {index.name!r}") for c in index.columns]
            index_specs.append({"name": index.name, "cols": ",".join(names)})
        rule_specs: list[UniqueSpec] = []
        for rule in _spec_list(unique, Unique, "unique"):
            claim(rule.name, "rule")
            if not rule.columns:
                raise ValueError(f"rule {rule.name!r} has no columns")
            positions = [lookup.position(c, f"rule {rule.name!r}") for c in rule.columns]
            if len(set(positions)) != len(positions):
                raise ValueError(f"rule {rule.name!r} names a column twice")
            rule_specs.append({"name": rule.name, "cols": positions})
        return index_specs, rule_specs


def _check_flag(value: object, what: str) -> None:
    if not isinstance(value, bool):
        raise TypeError(f"{what} must be True or False, not {type(value).__name__}")


def _spec_list[T](specs: Iterable[T], kind: type[T], what: str) -> list[T]:
    if isinstance(specs, (str, bytes, Mapping)) or not isinstance(specs, Iterable):
        raise TypeError(f"{what} must be a list of {kind.__name__}, not {type(specs).__name__}")
    items = list(specs)
    for item in items:
        if not isinstance(item, kind):
            raise TypeError(f"{what} must hold {kind.__name__} records, not {type(item).__name__}")
    return items


def _column_names(positions: str, columns: tuple[str, ...]) -> list[str | int]:
    """A rule's catalogued positions as column names where they name one."""
    names: list[str | int] = []
    for piece in positions.split(","):
        number = int(piece)
        names.append(columns[number] if 0 <= number < len(columns) else number)
    return names


class _ColumnLookup:
    """Column names matched as SQLite matches them (ignoring ASCII case)."""

    def __init__(self, table: str, columns: tuple[str, ...]) -> None:
        self.table = table
        self.columns = columns
        self.positions = {name.lower(): n for n, name in enumerate(columns)}

    def find(self, name: object, what: str) -> int:
        if not isinstance(name, str):
            raise TypeError(f"{what}: a column name must be a str, not {type(name).__name__}")
        position = self.positions.get(name.lower())
        if position is None:
            raise ValueError(
                f"{what}: no column {name!r} in {self.table} (columns: {', '.join(self.columns)})"
            )
        return position

    def column(self, name: object, what: str) -> str:
        return self.columns[self.find(name, what)]

    def position(self, column: str | int, what: str) -> int:
        if isinstance(column, int) and not isinstance(column, bool):
            if not 0 <= column < len(self.columns):
                raise ValueError(
                    f"{what}: position {column} is outside the {len(self.columns)} columns of {self.table}"
                )
            return column
        return self.find(column, what)


# Values stored as they are that need no closer look (ints, reals and text
# do: range, NaN, encodability).
_PLAIN_TYPES = frozenset({type(None), bytes})


class _RowChecker:
    """Rows to stage, checked and laid out in column order."""

    def __init__(self, table: str, columns: tuple[str, ...]) -> None:
        self.lookup = _ColumnLookup(table, columns)
        self.width = len(columns)
        self.exact = {name: n for n, name in enumerate(columns)}  # keys spelt as the table does

    def check(self, rows: list[Row]) -> list[Sequence[object]]:
        checked: list[Sequence[object]] = []
        width, plain = self.width, _PLAIN_TYPES
        for n, row in enumerate(rows):
            # The common case inline: a tuple of the right width.
            laid_out: Sequence[Any] = (
                row if type(row) is tuple and len(row) == width else self.lay_out(n, row)
            )
            for value in laid_out:
                kind = type(value)
                if kind is str:
                    if value.isascii():
                        continue
                elif kind is int:
                    if _INT_MIN <= value <= _INT_MAX:
                        continue
                elif kind is float:
                    if value == value:  # not NaN
                        continue
                elif kind in plain:
                    continue
                laid_out = self.convert_values(n, laid_out)  # the slow look, with the messages
                break
            checked.append(laid_out)
        return checked

    def lay_out(self, n: int, row: object) -> Sequence[object]:
        columns = self.lookup.columns
        if isinstance(row, Mapping):
            values: list[object] = [None] * self.width
            given = [False] * self.width
            for key, value in row.items():
                position = self.exact.get(key)
                if position is None:
                    position = self.lookup.find(key, f"row {n}")
                if given[position]:
                    raise ValueError(f"row {n}: column {columns[position]!r} is given twice")
                given[position] = True
                values[position] = value
            return tuple(values)
        if isinstance(row, (tuple, list)) or (
            isinstance(row, Sequence) and not isinstance(row, (str, bytes, bytearray, memoryview))
        ):
            if len(row) != self.width:
                raise ValueError(
                    f"row {n} has {len(row)} values; {self.lookup.table} has {self.width} columns "
                    f"({', '.join(columns)})"
                )
            return tuple(row)
        raise TypeError(f"row {n} is a {type(row).__name__}, not a tuple, list or dict")

    def convert_values(self, n: int, row: Sequence[object]) -> tuple[object, ...]:
        """The row with every value as SQLite stores it (see norvane.values)."""
        columns = self.lookup.columns
        return tuple(
            _values.convert(value, lambda: f"row {n}, column {columns[position]!r}")
            for position, value in enumerate(row)
        )


class _Query:
    """One query of a table: arguments checked, then find, then ordering and
    slicing of the current rows."""

    def __init__(
        self,
        table: Table,
        where: str | None,
        params: Params,
        select: str | Sequence[str] | None,
        order_by: str | Sequence[str],
        limit: int | None,
        offset: int,
    ) -> None:
        if where is not None and not isinstance(where, str):
            raise TypeError(f"where must be a str or None, not {type(where).__name__}")
        if where is not None:
            _check_where(where)
        self.params = _check_params(params)
        if self.params and not where:
            raise ValueError("params are given but there is no where to bind them to")
        selected = None if select is None else _name_list(select, "select")
        if selected == ():
            raise ValueError("select names no column")
        order = _name_list(order_by, "order_by")
        self.limit = None if limit is None else _check_count(limit, "limit")
        self.offset = _check_count(offset, "offset")
        self.table = table
        self.where = where
        self.name, columns = table._require()
        lookup = _ColumnLookup(self.name, columns)
        self.keys = columns if selected is None else selected
        self.output = [_row_index(lookup, column, "select") for column in self.keys]
        self.order = [_order_key(lookup, item) for item in order]

    def run(self) -> list[list[Any]]:
        conditions = "" if not self.where else f"WHERE (\n{self.where}\n)"
        rows, staged = _native.find(
            self.table.conn, None, self.name, conditions, self.params or None
        )
        for row in rows[:staged]:
            row[0] = None  # a staged row's rowid addresses no main row
        for index, descending in reversed(self.order):
            rows.sort(key=lambda row: _sqlite_order(row[index]), reverse=descending)
        end = None if self.limit is None else self.offset + self.limit
        return rows[self.offset : end]


def _row_index(lookup: _ColumnLookup, name: str, what: str) -> int:
    """Where a column stands in a whole row (rowid first)."""
    if isinstance(name, str) and name.lower() == "rowid":
        return 0
    return lookup.find(name, what) + 1


def _order_key(lookup: _ColumnLookup, item: str) -> tuple[int, bool]:
    words = item.split()
    if len(words) == 2 and words[1].upper() in ("ASC", "DESC"):
        return _row_index(lookup, words[0], "order_by"), words[1].upper() == "DESC"
    if len(words) != 1:
        raise ValueError(f"order_by {item!r}: a column name, optionally followed by ASC or DESC")
    return _row_index(lookup, words[0], "order_by"), False

