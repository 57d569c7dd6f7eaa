"""Tables as Python code holds them: a ``Table`` bound to a connection and a
name, rows as tuples, lists or dicts, queries with bound parameters, and typed
records for indexes and uniqueness rules.

Every method checks its arguments before it writes anything and raises a
plain ``TypeError`` or ``ValueError`` naming what is wrong; the writes
themselves go through the module functions of ``norvane.norvane``.
"""

import contextlib
from collections.abc import Iterable, Iterator, Mapping, Sequence
from typing import TYPE_CHECKING, Any, Literal, Self, cast, overload

from norvane import frames as _frames
from norvane import key_deletes as _key_deletes
from norvane import norvane as _nv
from norvane import reads as _reads
from norvane import row_deletes as _deletes
from norvane import staging as _staging
from norvane import table_merge as _table_merge
from norvane import table_settings as _settings
from norvane.call_options import DEFAULT_OPTIONS
from norvane.catalog import prepare_catalog
from norvane.checks import (
    STAGING_PREFIX,
    Params,
    Row,
    check_flag,
    check_table_name,
)
from norvane.connections import Connection, check_connection
from norvane.row_checks import RowChecker
from norvane.staging import MergeReport, Progress
from norvane.table_specs import Index, Unique, check_columns, check_newest_by, check_specs, column_names
from norvane.transactions import AllOrNothing

if TYPE_CHECKING:
    import sqlite3


# The catalog tables, which every database that holds tables needs.
_CATALOG = ("index_table", "unique_table")

__all__ = ["Index", "MergeReport", "Params", "Progress", "Row", "Table", "Unique"]


class Table:
    """A managed table: ``Table(conn, "homes")``, on a ``sqlite3`` connection
    or on one of the dqlite driver (a cluster's database).

    Rows are staged first (``stage``), visible at once to queries (``rows``,
    ``dicts``), and moved into the main table by ``merge``. The table behaves
    as SQLite does when each staged row goes in, in staging order, as an
    ``INSERT OR REPLACE`` into a table with one UNIQUE index per rule (a
    tuple holding a NULL equals nothing), and ``newest_by`` columns can make
    a late row lose. Methods that write commit at their end unless given
    ``commit=False``.
    """

    __slots__ = ("_conn", "_name", "_options")

    def __init__(self, conn: Connection, name: str) -> None:
        self._conn: Connection = check_connection(conn)
        self._name = check_table_name(name)
        self._options = DEFAULT_OPTIONS  # another only through norvane._traced

    @property
    def conn(self) -> Connection:
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
            self._stored_name(STAGING_PREFIX + self._name) is not None
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
        newest_by: str | Sequence[str] = (),
        replace: bool = False,
        commit: bool = True,
    ) -> Self:
        """Creates the table and its staging table with its indexes and rules.
        Where the database has no catalog yet (no ``norvane.DB`` prepared the
        file), it is created first: committed at once outside a transaction,
        or inside the caller's transaction, which then commits or rolls it
        back with the rest.

        ``newest_by`` names columns that decide, between a staged row and a
        row it would replace, which one is newer (compared as a tuple in
        ``ORDER BY`` order, NULL lowest): the older staged row is dropped
        instead. It is stored with the table (``newest_by()`` reads it).

        An existing table of this name is an error unless ``replace`` is true,
        in which case it is dropped first with all its rows.
        """
        _reads.check_no_open_reads(self._conn)
        names = check_columns(columns)
        index_specs, rule_specs = check_specs(self._name, names, indexes, unique)
        newest = check_newest_by(self._name, names, newest_by)
        check_flag(replace, "replace")
        check_flag(commit, "commit")
        if not replace and self._stored_name(self._name) is not None:
            raise self._conn.OperationalError(f"table {self._name} already exists (pass replace=True to replace it)")
        self._prepare_catalog()
        if not newest:
            _nv.create_table(self._module_conn(), self._name, list(names), index_specs, rule_specs, commit)
            return self
        with AllOrNothing(self._conn, commit):  # the table and its settings together
            _nv.create_table(self._module_conn(), self._name, list(names), index_specs, rule_specs, False)
            kept = _settings.read_settings(self._conn, self._name)
            _settings.write_settings(self._conn, self._name, _settings.Settings(newest, kept.column_types))
        return self

    def newest_by(self) -> tuple[str, ...]:
        """The columns that decide which of two rows is newer (empty when the
        table has none)."""
        return _settings.read_settings(self._conn, self._require()[0]).newest_by

    def drop(self, *, commit: bool = True) -> None:
        """Removes the table, its staging table and their indexes and rules."""
        _reads.check_no_open_reads(self._conn)
        check_flag(commit, "commit")
        if not self._has_catalog():
            raise self._no_catalog()
        name = self._stored_name(self._name) or self._name
        _nv.drop_table(self._module_conn(), name, commit)

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
                found[rule_name] = Unique(str(rule_name), column_names(str(positions), columns))
        return list(found.values())

    # -------------------------------------------------------------- rows --

    def stage(
        self,
        rows: Iterable[Row] | Any,
        *,
        batch_size: int = 10000,
        progress: Progress | None = None,
        commit: bool = True,
    ) -> int:
        """Stages rows and returns how many. Each row is a tuple or list with
        one value per column, or a dict by column name (missing columns hold
        NULL). ``rows`` may also be a frame: a pandas or polars DataFrame, a
        pyarrow Table or RecordBatchReader, or anything with
        ``__arrow_c_stream__``, its columns matched by name. Values are stored
        as ``norvane.values`` describes.

        Any iterable will do, generators included: rows go in chunks of
        ``batch_size``, so memory does not grow with the input. It is all or
        nothing, also inside a transaction of the caller's: when any row is
        wrong (or ``progress`` raises, or Ctrl-C strikes), nothing is staged.
        ``progress(done, total)`` hears the rows staged so far at most once
        per 1,000 rows, and once at the end; ``total`` is None unless
        ``rows`` has a length."""
        _reads.check_no_open_reads(self._conn)
        frame = _frames.is_frame(rows)
        if not frame and (isinstance(rows, (str, bytes, bytearray, Mapping)) or not isinstance(rows, Iterable)):
            raise TypeError(f"rows must be an iterable of rows (tuples, lists or dicts), not {type(rows).__name__}")
        size = _staging.check_batch_size(batch_size)
        report = _staging.check_progress(progress)
        check_flag(commit, "commit")
        name, columns = self._require()
        if frame:  # its chunks come converted and checked, values row after row
            chunks = _frames.value_chunks(rows, name, columns)
            return _staging.stage_value_chunks(self._conn, name, chunks, len(columns), report, commit)
        checker = RowChecker(name, columns)
        return _staging.stage_chunks(self._conn, name, rows, checker.check, size, report, commit)

    def merge(self, *, progress: Progress | None = None, commit: bool = True) -> MergeReport:
        """Leaves exactly the current rows (as ``rows`` gives them) in the
        main table and empties the staging table. The main rows that stay
        keep their rowids; the staged rows that stay follow in staging
        order. Returns what it did.

        It takes the write lock first (``BEGIN IMMEDIATE`` when no
        transaction is open). ``progress(done, total)`` hears the staged rows
        worked through, at most once per 1,000 rows; an exception it raises
        (like Ctrl-C) ends the merge, which then changes nothing, also inside
        a transaction of the caller's. A table with triggers, or with foreign
        keys of other tables pointing at it, is refused (``NotSupportedError``)
        before anything is written."""
        _reads.check_no_open_reads(self._conn)
        report = _staging.check_progress(progress)
        check_flag(commit, "commit")
        with self._catalog_named():
            return _table_merge.merge(self._conn, self._name, report, commit, self._options)[0]

    def delete_keys(self, rule: str, keys: Iterable[Any], *, commit: bool = True) -> int:
        """Removes the current rows whose key under ``rule`` (a rule name)
        is one of ``keys``, staged or merged, and returns how many.

        Each key is a tuple of values in the rule's column order; a rule of
        one column also takes bare values. Values are converted as query
        parameters are. A key holding a None matches nothing (remove such a
        row by rowid with ``delete``). The removal is final: rows that the
        current ones had replaced are removed as well, so nothing comes back,
        and a row staged later is a new row. All or nothing, taking the write
        lock first as ``merge`` does; refused like ``merge`` on a table with
        triggers or foreign keys pointing at it."""
        _reads.check_no_open_reads(self._conn)
        if not isinstance(rule, str):
            raise TypeError(f"rule must be a rule name (str), not {type(rule).__name__}")
        items = _key_deletes.key_list(keys)
        check_flag(commit, "commit")
        with self._catalog_named():
            return _key_deletes.delete_keys(self._conn, self._name, rule, items, commit, self._options)

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
        check_flag(commit, "commit")
        _deletes.delete_rowids(self._conn, self._require()[0], ids, commit, self._options)

    def count_staged(self) -> int:
        """How many rows wait in the staging table."""
        return self._count(STAGING_PREFIX)

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

        The current rows are what SQLite leaves when each staged row, in
        staging order, goes into the main table as an ``INSERT OR REPLACE``
        with one UNIQUE index per rule: it removes every current row whose
        values under some rule equal its own, then becomes current. Values
        compare as stored: a tuple holding a NULL equals nothing, ``1``
        equals ``1.0``, ``'1'`` does not equal ``1``, text compares by the
        column's collation (whatever the connection's ``text_factory``
        makes of it). Main rows are never compared with each other. With
        ``newest_by``, a staged row that a row it would remove beats on those
        columns is dropped instead (see docs/semantics.md).

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
        ``ProgrammingError`` (the connection's), and so does the iterator when
        the connection is committed, rolled back or (on a ``sqlite3``
        connection) written meanwhile. In WAL
        mode an open iterator also holds back checkpoints; in the default
        journal mode it blocks writers.
        """
        check_flag(dicts, "dicts")
        query = _reads.Query(self, where, params, select, order_by, limit, offset, batch_size)
        return _reads.iterate(query, as_dicts=dicts)

    def count(self, where: str | None = None, params: Params = ()) -> int:
        """How many current rows (as ``rows`` gives them) match ``where``."""
        return _reads.count(_reads.Query(self, where, params))

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

    def _prepare_catalog(self) -> None:
        """The catalog where no ``DB`` prepared the database (a file opened
        with ``sqlite3.connect``, a cluster's database). Inside a caller's
        transaction it is created there, uncommitted, so that the caller's
        rollback takes it back too."""
        if self._has_catalog():
            return
        prepare_catalog(self._conn, commit=not self._conn.in_transaction)

    @contextlib.contextmanager
    def _catalog_named(self) -> Iterator[None]:
        """For calls that read the catalog inside their own transaction: a
        failure on a database without one says how to prepare it (asked only
        once the call has failed, so it costs nothing on the way)."""
        try:
            yield
        except Exception as error:
            try:
                missing = not self._has_catalog()
            except Exception:
                missing = False  # the connection cannot tell: the first error stands
            if missing:
                raise self._no_catalog() from error
            raise

    def _has_catalog(self) -> bool:
        (found,) = self._conn.execute(
            "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name IN (?, ?)", _CATALOG
        ).fetchone()
        return bool(found == len(_CATALOG))

    def _no_catalog(self) -> Exception:
        """The connection's OperationalError for a database without the catalog."""
        return self._conn.OperationalError(
            f"table {self._name}: the database has no norvane catalog ({', '.join(_CATALOG)}); open the file "
            "with norvane.DB(name, path) and use its connection, or call "
            "norvane.catalog.prepare_catalog(conn) once first (Table.create prepares it too)"
        )

    def _module_conn(self) -> "sqlite3.Connection":
        """The connection as the module's functions are typed; they take the
        dqlite driver's connections as well."""
        return cast("sqlite3.Connection", self._conn)

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
            raise (
                self._no_catalog()
                if not self._has_catalog()
                else self._conn.OperationalError(f"no such table: {self._name}")
            )
        # The staging table and the catalog in one read.
        found = {
            str(stored).lower()
            for (stored,) in self._conn.execute(
                "SELECT name FROM sqlite_master WHERE type = 'table' AND name COLLATE NOCASE IN (?, ?, ?)",
                (STAGING_PREFIX + name, *_CATALOG),
            )
        }
        if (STAGING_PREFIX + name).lower() not in found:
            raise self._conn.OperationalError(
                f"table {name} has no staging table {STAGING_PREFIX}{name}: it was not made by norvane"
            )
        if not found.issuperset(_CATALOG):
            raise self._no_catalog()
        columns = tuple(
            str(column)
            for (column,) in self._conn.execute("SELECT name FROM pragma_table_info(?) ORDER BY cid", (name,))
        )
        return name, columns

    def _count(self, prefix: str) -> int:
        name = self._require()[0]
        count: int = self._conn.execute(f"SELECT count(*) FROM {prefix}{name}").fetchone()[0]
        return count
