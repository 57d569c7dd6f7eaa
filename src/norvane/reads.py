"""Reads of a ``Table``: exactly the rows a merge would leave now.

The current rows are what sequential SQLite leaves: start from the main
rows, then let each staged row, in staging order, act as an ``INSERT OR
REPLACE`` into a table with one UNIQUE index per rule. Tuples compare as such
an index compares stored values: a tuple holding a NULL equals nothing, ``1
= 1.0``, ``'1' <> 1``, text by the main column's collation. Main rows are
never compared with each other. Without ``newest_by`` that makes a staged
row current when no later staged row holds an equal tuple under some rule,
and a main row current when no staged row does.

Deciding currentness costs the staging table only. A candidate is hidden
only by a staged row with an equal key, so where fetched values are the
stored ones, a few candidates look up just the staged rows that share a key
with them, and many read the staging table once; either way the keys go into
key tables (in C++, ``norvane._native``) against which every candidate is
checked as it is fetched. Elsewhere (a text factory, an adapter, a collation
or a declared type) SQL compares the keys and hands over the rowids, and on
a table with ``newest_by`` the engine of ``norvane.table_state`` replays the
arrivals. Both parts are read in batches, in their own order (pushed into
SQL with the tie keys, so indexes serve it), and merged here. Every read
runs in one snapshot of the database.
"""

import sqlite3
from collections.abc import Callable, Iterator, Mapping, Sequence
from itertools import chain
from typing import TYPE_CHECKING, Any

from norvane import _native
from norvane.call_options import CallOptions, ReadsPlan
from norvane.checks import check_count, check_params, check_where, name_list
from norvane.connections import CLUSTER_MAX_PARAMETERS, Connection, check_parameter_count, is_cluster
from norvane.currentness import (
    DecidedRows,
    decided_by_sql,
    hidden_condition,
    key_clauses,
    keys_compare_exactly,
    newest_by_positions,
    read_rules,
)
from norvane.newest_reads import NewestRows
from norvane.ordered_merge import merge_ordered, sqlite_key
from norvane.transactions import ReadSnapshot

if TYPE_CHECKING:
    from norvane.checks import Params
    from norvane.table import Table

__all__ = ["check_no_open_reads", "count", "iterate", "read_all"]

# Candidates few enough to look up in the staging table instead of reading it
# whole: at most this many statements of at most this many rows each.
_SEARCHES = 4
_SEARCH_ROWS = 256
_SEARCH_CLAUSES = 64
_SEARCH_PARAMS = 10_000

# Connections (by id) with iterators that hold a transaction open: writes
# through a Table are refused on them until the iterators end. An open
# iterator keeps its connection alive, so an id here is never reused.
_open_reads: dict[int, set[int]] = {}


def check_no_open_reads(conn: Connection) -> None:
    """Raises the connection's ``ProgrammingError`` when an iterator of ``conn`` is open."""
    if _open_reads.get(id(conn)):
        raise conn.ProgrammingError(
            "an iterator of a Table on this connection is still open: finish or close it "
            "before writing through the connection"
        )


def _quote(name: str) -> str:
    return '"' + name.replace('"', '""') + '"'


class _Columns:
    """Column names matched as SQLite matches them (ignoring ASCII case)."""

    def __init__(self, table: str, columns: tuple[str, ...]) -> None:
        self.table = table
        self.columns = columns
        self.positions = {name.lower(): n for n, name in enumerate(columns)}

    def row_index(self, name: str, what: str) -> int:
        """Where a column stands in a fetched row (rowid first)."""
        if name.lower() == "rowid":
            return 0
        position = self.positions.get(name.lower())
        if position is None:
            raise ValueError(f"{what}: no column {name!r} in {self.table} (columns: {', '.join(self.columns)})")
        return position + 1

    def order_term(self, item: str) -> tuple[int, bool]:
        words = item.split()
        if len(words) == 2 and words[1].upper() in ("ASC", "DESC"):
            return self.row_index(words[0], "order_by"), words[1].upper() == "DESC"
        if len(words) != 1:
            raise ValueError(f"order_by {item!r}: a column name, optionally followed by ASC or DESC")
        return self.row_index(words[0], "order_by"), False


class Query:
    """One read of a table, its arguments checked."""

    def __init__(
        self,
        table: "Table",
        where: str | None,
        params: "Params",
        select: str | Sequence[str] | None = None,
        order_by: str | Sequence[str] = (),
        limit: int | None = None,
        offset: int = 0,
        batch_size: int = 1000,
    ) -> None:
        if where is not None and not isinstance(where, str):
            raise TypeError(f"where must be a str or None, not {type(where).__name__}")
        if where is not None:
            check_where(where)
        self.params = check_params(params)
        if self.params and not where:
            raise ValueError("params are given but there is no where to bind them to")
        self.conn = table.conn
        self.options: CallOptions = table._options
        # The plan the read took, once it has started: options.reads_plan, or
        # "exact" where fetched values might not compare as stored.
        self.plan: ReadsPlan | None = None
        self.cluster = is_cluster(self.conn)
        if self.cluster and isinstance(self.params, Mapping):
            raise self.conn.NotSupportedError(
                f"table {table.name!r}: the dqlite driver binds only ? placeholders, so params must be a sequence"
            )
        check_parameter_count(self.conn, table.name, len(self.params))
        selected = None if select is None else name_list(select, "select")
        if selected == ():
            raise ValueError("select names no column")
        order = name_list(order_by, "order_by")
        self.limit = None if limit is None else check_count(limit, "limit")
        self.offset = check_count(offset, "offset")
        self.batch_size = check_count(batch_size, "batch_size")
        if self.batch_size == 0:
            raise ValueError("batch_size must be at least 1")
        self.where = where or None
        self.name, self.columns = table._require()
        lookup = _Columns(self.name, self.columns)
        self.keys = self.columns if selected is None else selected
        self.output = tuple(lookup.row_index(column, "select") for column in self.keys)
        self.order = [lookup.order_term(item) for item in order]


# ----------------------------------------------------------- the read ----


class _Run:
    """A read in progress: its cursors, its snapshot and what it learned
    about the staging table."""

    def __init__(self, query: Query, *, iterator: bool) -> None:
        self.query = query
        conn = self.conn = query.conn
        self.snapshot = ReadSnapshot(conn)
        self.broken = False
        self.registered = False
        self.cursors: list[Any] = []
        cursor = self.cursor()
        try:
            self.snapshot.open(cursor)
            # The driver keeps no change counter (it would cost a round trip
            # per batch): there a write meanwhile goes unnoticed.
            self.changes = conn.total_changes if isinstance(conn, sqlite3.Connection) else None
            if iterator:
                _open_reads.setdefault(id(conn), set()).add(id(self))
                self.registered = True
            self._prepare(cursor)
        except BaseException:
            self.close()
            raise

    def cursor(self) -> Any:
        cursor = self.conn.cursor()
        cursor.row_factory = None
        self.cursors.append(cursor)
        return cursor

    def _prepare(self, cursor: Any) -> None:
        query = self.query
        width = len(query.columns)
        self.rules = read_rules(cursor, query.name, width)
        newest_by = newest_by_positions(cursor, query.name, query.columns)
        plan = query.options.reads_plan
        self.lookups = plan == "auto"
        # Whether fetched values are the stored ones: then they are ordered
        # (and, without newest_by, compared) here, as fetched.
        self.fast = plan != "exact" and keys_compare_exactly(cursor, self.conn, query.name)
        query.plan = plan if self.fast else "exact"
        # The staging pass reads only the rule columns, rowid first.
        key_columns = sorted({p for rule in self.rules for p in rule})
        at = {p: n + 1 for n, p in enumerate(key_columns)}
        key_picks = [tuple(at[p] for p in rule) for rule in self.rules]
        row_picks = [tuple(p + 1 for p in rule) for rule in self.rules]
        self.key_columns = key_columns
        self.searches = 0
        self.staging_read = True
        if newest_by and self.rules and self.fast:
            # Which rows are current depends on the order of arrivals: played
            # here over the linked groups of the rows read, or over all.
            self.current: Any = NewestRows(
                cursor,
                query.name,
                query.columns,
                self.rules,
                newest_by,
                lookups=self.lookups,
                cluster=query.cluster,
                group_rows=query.options.group_rows,
            )
        elif newest_by and self.rules:
            # The same, every comparison made in SQL by the merge's engine.
            from norvane.table_state import current_state

            state = current_state(self.conn, query.name, self.rules, newest_by, query.options)
            self.current = DecidedRows(state.main_hidden, staged_current=state.staged_current)
        elif self.fast:
            self.staging_read = not self.rules
            self.current = _native.CurrentRows(key_picks, row_picks)
        else:
            self.current = decided_by_sql(cursor, query.name, query.columns, self.rules)

    def _key_select(self) -> str:
        return ",".join(["rowid", *(_quote(self.query.columns[p]) for p in self.key_columns)])

    def _staging_pass(self) -> None:
        """Every staged row's keys into the key tables, once."""
        if self.staging_read:
            return
        cursor = self.cursor()
        cursor.execute(f"SELECT {self._key_select()} FROM {_quote('temp_' + self.query.name)}")
        while True:
            self.check()
            batch = cursor.fetchmany(4096)
            if not batch:
                break
            self.current.add_staged(batch)
        cursor.close()
        self.staging_read = True

    def _learn(self, batch: list[tuple[Any, ...]], staged: bool) -> None:
        """What the staging table says about a batch of candidates: for a few
        small batches, only the staged rows sharing a key with one of them
        (one statement each, which SQLite answers in one scan; for staged
        candidates only from the first of them on, as only later rows hide
        them); else all."""
        if self.staging_read:
            return
        if not self.lookups or self.searches >= _SEARCHES or len(batch) > _SEARCH_ROWS:
            self._staging_pass()
            return
        self.searches += 1
        keys = [{tuple(row[p + 1] for p in rule) for row in batch} for rule in self.rules]
        clauses, params = key_clauses(self.query.columns, self.rules, keys)
        most = CLUSTER_MAX_PARAMETERS - 1 if self.query.cluster else _SEARCH_PARAMS
        if len(clauses) > _SEARCH_CLAUSES or len(params) > most:
            self._staging_pass()  # a statement that long would cost more, or exceed SQLite's limits
        elif clauses:
            since = ""
            if staged:
                since = "rowid >= ? AND "
                params.insert(0, min(row[0] for row in batch))
            sql = (
                f"SELECT {self._key_select()} FROM {_quote('temp_' + self.query.name)} "
                f"WHERE {since}({' OR '.join(clauses)})"
            )
            self.current.add_staged(self.cursors[0].execute(sql, params).fetchall())

    def check(self) -> None:
        """The snapshot must still hold: the transaction open, nothing written."""
        if self.broken:
            raise self.conn.ProgrammingError("this read of the table was ended by an earlier error")
        written = isinstance(self.conn, sqlite3.Connection) and self.conn.total_changes != self.changes
        if not self.conn.in_transaction or written:
            self.broken = True
            raise self.conn.ProgrammingError(
                f"the connection was committed, rolled back or written while a read of {self.query.name} was open"
            )

    def close(self) -> None:
        for cursor in self.cursors:
            try:
                cursor.close()
            except self.conn.Error:
                pass
        self.cursors.clear()
        if self.registered:
            self.registered = False
            readers = _open_reads.get(id(self.conn), set())
            readers.discard(id(self))
            if not readers:
                _open_reads.pop(id(self.conn), None)
        if not self.broken:  # a broken snapshot's transaction is no longer ours to end
            self.snapshot.end()

    # ------------------------------------------------------------ parts --

    def _conditions(self) -> str:
        return "" if self.query.where is None else f" WHERE (\n{self.query.where}\n)"

    def _part_sql(self, staged: bool) -> str:
        """The statement of one part: rowid and every column, ordered with
        the rowid as the last tie key. Where fetched values might not be the
        stored ones, two sort keys per order term follow (a class and a value
        that text factories and converters leave alone)."""
        query = self.query
        names = [_quote(c) for c in query.columns]
        select = ["rowid", *names]
        order_sql = []
        for index, descending in query.order:
            direction = " DESC" if descending else ""
            if index == 0:
                if not self.fast:
                    select += ["0", "NULL"] if staged else ["1", "rowid"]
                if not staged:
                    order_sql.append("rowid" + direction)
                continue
            name = names[index - 1]
            if not self.fast:
                select.append(
                    f"CASE typeof({name}) WHEN 'null' THEN 0 WHEN 'text' THEN 2 WHEN 'blob' THEN 3 ELSE 1 END"
                )
                select.append(f"CASE typeof({name}) WHEN 'text' THEN CAST({name} AS BLOB) ELSE {name} END")
            order_sql.append(name + direction)
        tie = " DESC" if query.order and query.order[-1][1] else ""
        order_sql.append("rowid" + tie)
        table = _quote(("temp_" if staged else "") + query.name)
        return f"SELECT {','.join(select)} FROM {table}{self._conditions()} ORDER BY {','.join(order_sql)}"

    def part(
        self, staged: bool, out: Sequence[int] | None, wanted: Callable[[], int | None]
    ) -> Iterator[list[tuple[Any, ...]]]:
        """The current rows of one part in its order, a batch at a time. `wanted` says how many
        more rows the reader may still take (None: all): the statement is
        limited to that many, and read again further when rows were hidden."""
        sql = self._part_sql(staged)
        params = self.query.params
        cursor = self.cursor()
        done = 0
        while True:
            hint = wanted()
            if hint is None:
                cursor.execute(sql, params)
            else:
                hint = max(hint + self.query.options.read_ahead, 2 * done, 1)
                cursor.execute(f"{sql} LIMIT {hint} OFFSET {done}", params)
            read = 0
            while True:
                self.check()
                size = self.query.batch_size if hint is None else min(self.query.batch_size, hint - read)
                batch = cursor.fetchmany(size) if size > 0 else []
                if not batch:
                    break
                read += len(batch)
                self._learn(batch, staged)
                yield self.current.keep(batch, staged, out)
            done += read
            if hint is None or read < hint:
                return

    # -------------------------------------------------------- the rows --

    def batches(self) -> Iterator[list[tuple[Any, ...]]]:
        """The current rows in order, `offset` skipped, at most `limit`, a
        batch at a time."""
        query = self.query
        limit, offset = query.limit, query.offset
        taken = 0  # current rows produced so far, skipped ones included

        def wanted() -> int | None:
            return None if limit is None else offset + limit - taken

        if limit == 0:
            return
        if not query.order:
            for staged in (True, False):
                for batch in self.part(staged, query.output, wanted):
                    before, taken = taken, taken + len(batch)
                    low = max(0, offset - before)
                    high = len(batch) if limit is None else min(len(batch), offset + limit - before)
                    if low == 0 and high == len(batch):
                        yield batch
                    elif low < high:
                        yield batch[low:high]
                    if limit is not None and taken >= offset + limit:
                        return
            return
        width = len(query.output)
        terms = len(query.order)
        key: Callable[[tuple[Any, ...]], tuple[Any, ...]]
        if self.fast:
            # The values as stored, each ordered as SQLite orders it; a staged
            # row's rowid comes out as None, which orders it as NULL.
            out = (*query.output, *(index for index, _ in query.order))
            if terms == 1:  # the common case, without a tuple per row
                key = lambda row: sqlite_key(row[width])  # noqa: E731
            else:
                key = lambda row: tuple(map(sqlite_key, row[width:]))  # noqa: E731
        else:
            first_key = len(query.columns) + 1
            out = (*query.output, *range(first_key, first_key + 2 * terms))
            key = lambda row: tuple(  # noqa: E731
                (row[width + 2 * t], row[width + 2 * t + 1]) for t in range(terms)
            )
        staged_rows = chain.from_iterable(self.part(True, out, wanted))
        main_rows = chain.from_iterable(self.part(False, out, wanted))
        pending: list[tuple[Any, ...]] = []
        for row in merge_ordered(staged_rows, main_rows, key, [d for _, d in query.order]):
            taken += 1
            if taken > offset:
                pending.append(row[:width])
                if limit is not None and taken >= offset + limit:
                    break
                if len(pending) >= query.batch_size:
                    yield pending
                    pending = []
        if pending:
            yield pending

    def count(self) -> int:
        """How many rows are current, matching `where`."""
        if isinstance(self.current, NewestRows):
            self.current.play_whole()
        decided = isinstance(self.current, (DecidedRows, NewestRows))
        if not self.rules or (self.query.where is not None and decided) or not (self.fast or decided):
            return sum(len(batch) for staged in (True, False) for batch in self.part(staged, (), lambda: None))
        cursor = self.cursors[0]
        params = self.query.params
        table = _quote(self.query.name)
        (main,) = cursor.execute(f"SELECT count(*) FROM {table}{self._conditions()}", params).fetchone()
        if decided:  # without a where: the sets say it all
            (staged,) = cursor.execute(f"SELECT count(*) FROM {_quote('temp_' + self.query.name)}").fetchone()
            self.check()
            current_staged: int = self.current.current_staged(int(staged))
            return int(main) - len(self.current.main_hidden) + current_staged
        if self.query.where is None:
            self._staging_pass()
            current = self.current.current_staged()
        else:
            current = sum(len(batch) for batch in self.part(True, (), lambda: None))
        conditions = "" if self.query.where is None else f" AND (\n{self.query.where}\n)"
        hidden_sql = hidden_condition(self.query.name, self.query.columns, self.rules)
        (hidden,) = cursor.execute(f"SELECT count(*) FROM {table} WHERE ({hidden_sql}){conditions}", params).fetchone()
        self.check()
        return int(current) + int(main) - int(hidden)


# ------------------------------------------------------------ entries ----


def read_all(query: Query, as_dicts: bool) -> list[Any]:
    if as_dicts and len(set(query.keys)) != len(query.keys):
        raise ValueError(f"select {list(query.keys)!r} names a column twice")
    run = _Run(query, iterator=False)
    try:
        found: list[Any] = []
        keys = query.keys
        for batch in run.batches():
            found += [dict(zip(keys, row)) for row in batch] if as_dicts else batch
        return found
    finally:
        run.close()


def iterate(query: Query, as_dicts: bool) -> Iterator[Any]:
    if as_dicts and len(set(query.keys)) != len(query.keys):
        raise ValueError(f"select {list(query.keys)!r} names a column twice")
    return _iterate(query, as_dicts)


def _iterate(query: Query, as_dicts: bool) -> Iterator[Any]:
    run = _Run(query, iterator=True)
    try:
        keys = query.keys
        for batch in run.batches():
            if as_dicts:
                for row in batch:
                    yield dict(zip(keys, row))
            else:
                yield from batch
    finally:
        run.close()


def count(query: Query) -> int:
    run = _Run(query, iterator=False)
    try:
        return run.count()
    finally:
        run.close()
