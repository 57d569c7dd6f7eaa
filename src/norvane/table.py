"""Tables as Python code holds them: a ``Table`` bound to a connection and a
name, rows as tuples, lists or dicts, queries with bound parameters, and typed
records for indexes and uniqueness rules.

Every method checks its arguments before it writes anything and raises a
plain ``TypeError`` or ``ValueError`` naming what is wrong; the writes
themselves go through the module functions of ``norvane.norvane``.
"""

import re
import sqlite3
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Literal, Self, TypeAlias, overload

from norvane import reads as _reads
from norvane import norvane as _nv
from norvane import staging as _staging
from norvane.staging import MergeReport, Progress

if TYPE_CHECKING:
    from norvane.norvane import IndexSpec, UniqueSpec

__all__ = ["Index", "MergeReport", "Params", "Progress", "Row", "Table", "Unique"]

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

_INT_MIN, _INT_MAX = -(2**63), 2**63 - 1


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


def _check_value(value: object, where: Callable[[], str]) -> None:
    """A value SQLite stores as it is; `where` names its place for the message.
    Booleans are integers to SQLite, as to the sqlite3 module."""
    if value is None or isinstance(value, (float, bytes, bytearray, memoryview)):
        return
    if isinstance(value, str):
        if not value.isascii():
            try:
                value.encode()
            except UnicodeEncodeError:
                raise ValueError(f"{where()}: text that is not valid Unicode") from None
        return
    if isinstance(value, int):
        if not _INT_MIN <= value <= _INT_MAX:
            raise ValueError(f"{where()}: {value} does not fit SQLite's 64-bit INTEGER")
        return
    raise TypeError(
        f"{where()}: cannot store a {type(value).__name__} (values are None, int, float, str or bytes)"
    )


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
        _reads.check_no_open_reads(self._conn)
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
        _reads.check_no_open_reads(self._conn)
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

    def stage(
        self,
        rows: Iterable[Row],
        *,
        batch_size: int = 10000,
        progress: Progress | None = None,
        commit: bool = True,
    ) -> int:
        """Stages rows and returns how many. Each row is a tuple or list with
        one value per column, or a dict by column name (missing columns hold
        NULL).

        Any iterable will do, generators included: rows go in chunks of
        ``batch_size``, so memory does not grow with the input. It is all or
        nothing, also inside a transaction of the caller's: when any row is
        wrong (or ``progress`` raises, or Ctrl-C strikes), nothing is staged.
        ``progress(done, total)`` hears the rows staged so far at most once
        per 1,000 rows, and once at the end; ``total`` is None unless
        ``rows`` has a length."""
        _reads.check_no_open_reads(self._conn)
        if isinstance(rows, (str, bytes, bytearray, Mapping)) or not isinstance(rows, Iterable):
            raise TypeError(
                f"rows must be an iterable of rows (tuples, lists or dicts), not {type(rows).__name__}"
            )
        size = _staging.check_batch_size(batch_size)
        report = _staging.check_progress(progress)
        _check_flag(commit, "commit")
        name, columns = self._require()
        checker = _RowChecker(name, columns)
        return _staging.stage_chunks(self._conn, name, rows, checker.check, size, report, commit)

    def merge(self, *, progress: Progress | None = None, commit: bool = True) -> MergeReport:
        """Moves every staged row into the main table; under each rule the
        newest row wins and the older ones are deleted. Returns what it did.

        ``progress(done, total)`` hears the staged rows worked through, at
        most once per 1,000 rows; an exception it raises (like Ctrl-C) ends
        the merge, which then changes nothing, also inside a transaction of
        the caller's."""
        _reads.check_no_open_reads(self._conn)
        report = _staging.check_progress(progress)
        _check_flag(commit, "commit")
        return _staging.merge(self._conn, self._require()[0], report, commit)

    def delete(self, rowids: int | Iterable[int], *, commit: bool = True) -> None:
        """Deletes main rows by rowid (as ``rows(select=["rowid", ...])`` gives
        them; staged rows have none until they are merged)."""
        _reads.check_no_open_reads(self._conn)
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
        """The current rows as tuples: exactly the rows the main table would
        hold if ``merge`` ran now, then ``where``, order, ``offset`` and
        ``limit`` applied to them.

        A staged row is current unless a later staged row holds equal values
        in the columns of some rule (``None`` equals ``None``, ``1`` equals
        ``1.0``, ``'1'`` does not equal ``1``); a main row is current unless
        some staged row holds, under some rule, values SQL ``=`` finds equal
        to its own (NULL matches nothing). Main rows never hide each other.

        ``where`` is an SQL expression with ``?`` or ``:name`` placeholders
        whose values come from ``params``. ``select`` names the columns
        (``"rowid"`` included: None for a staged row). Without ``order_by``
        rows come in position order: staged rows by rowid, then main rows by
        rowid. ``order_by`` names columns, each optionally followed by ``ASC``
        or ``DESC``, and orders as SQLite orders values (NULL, numbers, text,
        blobs); ties go by position in the direction of the last term:
        ascending puts staged rows before main rows, rowids ascending;
        descending puts main rows before staged rows, rowids descending.
        ``rowid`` in ``order_by`` orders staged rows as NULL. The read sees
        one snapshot of the database.
        """
        query = _reads.Query(self, where, params, select, order_by, limit, offset)
        return _reads.read_all(query, as_dicts=False)

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
        query = _reads.Query(self, where, params, select, order_by, limit, offset)
        return _reads.read_all(query, as_dicts=True)

    @overload
    def iter(
        self,
        where: str | None = None,
        params: Params = (),
        *,
        select: str | Sequence[str] | None = None,
        order_by: str | Sequence[str] = (),
        limit: int | None = None,
        offset: int = 0,
        dicts: Literal[False] = False,
        batch_size: int = 1000,
    ) -> Iterator[tuple[Any, ...]]: ...

    @overload
    def iter(
        self,
        where: str | None = None,
        params: Params = (),
        *,
        select: str | Sequence[str] | None = None,
        order_by: str | Sequence[str] = (),
        limit: int | None = None,
        offset: int = 0,
        dicts: Literal[True],
        batch_size: int = 1000,
    ) -> Iterator[dict[str, Any]]: ...

    def iter(
        self,
        where: str | None = None,
        params: Params = (),
        *,
        select: str | Sequence[str] | None = None,
        order_by: str | Sequence[str] = (),
        limit: int | None = None,
        offset: int = 0,
        dicts: bool = False,
        batch_size: int = 1000,
    ) -> Iterator[tuple[Any, ...]] | Iterator[dict[str, Any]]:
        """The rows of ``rows`` (dicts with ``dicts=True``) one at a time,
        read ``batch_size`` at a time: memory does not grow with the table.

        Arguments are checked at once. The first row opens a transaction
        (``BEGIN DEFERRED``) when none is open, and the iterator rolls it back
        when it ends or is closed, so all rows come from one snapshot. While
        it is open, writes through a ``Table`` on this connection raise
        ``sqlite3.ProgrammingError``, and so does the iterator when the
        connection is committed, rolled back or written meanwhile. In WAL
        mode an open iterator also holds back checkpoints; in the default
        journal mode it blocks writers.
        """
        _check_flag(dicts, "dicts")
        query = _reads.Query(self, where, params, select, order_by, limit, offset, batch_size)
        return _reads.iterate(query, as_dicts=dicts)

    def count(self, where: str | None = None, params: Params = ()) -> int:
        """How many current rows (as ``rows`` gives them) match ``where``."""
        return _reads.count(_reads.Query(self, where, params))

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


# Values that need no closer look (ints and text do: range, encodability).
_PLAIN_TYPES = frozenset({type(None), float, bytes})


class _RowChecker:
    """Rows to stage, checked and laid out in column order."""

    def __init__(self, table: str, columns: tuple[str, ...]) -> None:
        self.lookup = _ColumnLookup(table, columns)
        self.width = len(columns)
        self.exact = {name: n for n, name in enumerate(columns)}  # keys spelt as the table does

    def check(self, rows: list[Row], start: int = 0) -> list[Sequence[object]]:
        """The rows laid out; `start` numbers the first one in messages."""
        checked: list[Sequence[object]] = []
        width, plain = self.width, _PLAIN_TYPES
        for n, row in enumerate(rows, start):
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
                elif kind in plain:
                    continue
                self.check_values(n, laid_out)  # the slow look, with the messages
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

    def check_values(self, n: int, row: Sequence[object]) -> None:
        columns = self.lookup.columns
        for position, value in enumerate(row):
            _check_value(value, lambda: f"row {n}, column {columns[position]!r}")
