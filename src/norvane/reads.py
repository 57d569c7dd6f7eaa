"""Reads of a ``Table``: exactly the rows a merge would leave now.

A staged row is current when no later staged row holds an equal tuple under
some rule (compared as Python compares values: ``None == None``, ``1 ==
1.0``, ``'1' != 1``). A main row is current when no staged row holds, under
some rule, a tuple SQL ``=`` finds equal to its own (NULL matches nothing).
Main rows never hide each other. That is what ``merge`` decides on the same
connection, so a read shows what the next merge will leave.

Deciding currentness costs the staging table only. A candidate is hidden
only by a staged row with an equal key, so a few candidates look up just the
staged rows that share a key with them, and many read the staging table once;
either way the keys go into key tables (in C++, ``norvane._native``) against
which every candidate is checked as it is fetched. Where fetched values might
not compare as stored (a text factory, an adapter, a collation or a declared
type), the merge's own statements decide instead. Both parts are read in
batches, in their own order (pushed into SQL with the tie keys, so indexes
serve it), and merged here. Every read runs in one snapshot of the database.
"""

import sqlite3
from itertools import chain
from collections.abc import Callable, Iterator, Mapping, Sequence
from typing import TYPE_CHECKING, Any

from norvane import _native
from norvane import values as _values

if TYPE_CHECKING:
    from norvane.table import Params, Table

__all__ = ["check_no_open_reads", "count", "iterate", "read_all"]

# Rows a limited read asks of each part beyond what it still needs, so that a
# few hidden rows do not cost a second statement (tests set it to 0).
READ_AHEAD = 16
# Candidates few enough to look up in the staging table instead of reading it
# whole: at most this many statements of at most this many rows each.
_SEARCHES = 4
_SEARCH_ROWS = 256
_SPELLED_KEYS = 4
_SEARCH_CLAUSES = 64
_SEARCH_PARAMS = 10_000

# Connections (by id) with iterators that hold a transaction open: writes
# through a Table are refused on them until the iterators end. An open
# iterator keeps its connection alive, so an id here is never reused.
_open_reads: dict[int, set[int]] = {}


def check_no_open_reads(conn: sqlite3.Connection) -> None:
    """Raises ``sqlite3.ProgrammingError`` when an iterator of ``conn`` is open."""
    if _open_reads.get(id(conn)):
        raise sqlite3.ProgrammingError(
            "an iterator of a Table on this connection is still open: finish or close it "
            "before writing through the connection"
        )


def _quote(name: str) -> str:
    return '"' + name.replace('"', '""') + '"'


# ------------------------------------------------------------- checks ----


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


def _check_params(params: "Params") -> tuple[object, ...] | dict[str, object]:
    """Parameters as SQLite stores them, so a query finds what was staged."""
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
            raise ValueError(
                f"{what}: no column {name!r} in {self.table} (columns: {', '.join(self.columns)})"
            )
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
        from norvane.table import _name_list  # the module that imports this one

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
        self.batch_size = _check_count(batch_size, "batch_size")
        if self.batch_size == 0:
            raise ValueError("batch_size must be at least 1")
        self.conn = table.conn
        self.where = where or None
        self.name, self.columns = table._require()
        lookup = _Columns(self.name, self.columns)
        self.keys = self.columns if selected is None else selected
        self.output = tuple(lookup.row_index(column, "select") for column in self.keys)
        self.order = [lookup.order_term(item) for item in order]


# -------------------------------------------------------------- rules ----


def _read_rules(cursor: sqlite3.Cursor, table: str, width: int) -> list[tuple[int, ...]]:
    """The table's rules as column positions, read as the merge reads them: a
    name listed twice keeps its last positions. A damaged catalog raises what
    ``find`` raises (AttributeError, ValueError, IndexError, sqlite3.Error)."""
    rules: dict[object, list[int]] = {}
    for row in cursor.execute("SELECT * FROM unique_table WHERE table_name = ?", (table,)):
        rules[row[1]] = [int(piece) for piece in row[3].split(",")]
    checked = []
    for name, positions in rules.items():
        for p in positions:
            if not -width <= p < width:
                raise IndexError(f"rule {name!r}: column position {p} is outside the {width} columns")
        checked.append(tuple(p % width for p in positions))
    return checked


# Whether this SQLite compares integers with reals exactly; asked once.
_numbers_exact: list[bool] = []


def _keys_compare_exactly(cursor: sqlite3.Cursor, conn: sqlite3.Connection, table: str) -> bool:
    """Whether fetched values compare here as the merge's statements compare
    them: values arrive as stored (no text factory, no converter), nothing
    adapts them when bound, and no column has a collation or a declared type."""
    if type(conn) is not sqlite3.Connection or conn.text_factory is not str:
        return False
    plain = (int, float, str, bytes, bytearray, memoryview, type(None), bool)
    if any(key[0] in plain for key in sqlite3.adapters):
        return False
    if not _numbers_exact:
        (same,) = cursor.execute("SELECT 9007199254740993 = 9007199254740992.0").fetchone()
        _numbers_exact.append(same == 0)
    if not _numbers_exact[0]:
        return False
    found = cursor.execute(
        "SELECT s.type, s.sql, group_concat(p.type, '') FROM sqlite_master AS s "
        "JOIN pragma_table_info(s.name) AS p WHERE s.name COLLATE NOCASE IN (?, ?) GROUP BY s.name",
        (table, "temp_" + table),
    ).fetchall()
    return len(found) == 2 and all(
        kind == "table" and "COLLATE" not in str(sql).upper() and not declared
        for kind, sql, declared in found
    )


class _ExactRows:
    """Currentness decided by the merge's own statements: staged keys held
    as fetched, main rows hidden by the merge's search for every staged key.
    Exact on any connection; used where keys might not compare as stored."""

    def __init__(self, rules: list[tuple[int, ...]], key_picks: list[tuple[int, ...]],
                 row_picks: list[tuple[int, ...]], search: Callable[[int, tuple[Any, ...]], set[int]]):
        self.rules = rules
        self.key_picks = key_picks
        self.row_picks = row_picks
        self.newest: list[dict[tuple[Any, ...], int]] = [{} for _ in rules]
        self.search = search
        self.hidden: set[int] | None = None

    def add_staged(self, batch: list[tuple[Any, ...]]) -> None:
        for row in batch:
            rowid = row[0]
            for newest, picks in zip(self.newest, self.key_picks):
                key = tuple(row[i] for i in picks)
                if newest.get(key, rowid) <= rowid:
                    newest[key] = rowid

    def keep(self, batch: list[tuple[Any, ...]], staged: bool,
             out: Sequence[int] | None) -> list[tuple[Any, ...]]:
        kept = []
        if staged:
            for row in batch:
                rowid = row[0]
                if all(newest[tuple(row[i] for i in picks)] == rowid
                       for newest, picks in zip(self.newest, self.row_picks)):
                    kept.append(row)
        else:
            hidden = self._hidden()
            kept = [row for row in batch if row[0] not in hidden]
        if out is None:
            return kept
        if staged:
            return [tuple(None if i == 0 else row[i] for i in out) for row in kept]
        return [tuple(row[i] for i in out) for row in kept]

    def _hidden(self) -> set[int]:
        if self.hidden is None:
            hidden: set[int] = set()
            for rule, newest in enumerate(self.newest):
                for key in newest:
                    if None not in key:
                        hidden |= self.search(rule, key)
            self.hidden = hidden
        return self.hidden


# ----------------------------------------------------------- the read ----


class _Run:
    """A read in progress: its cursors, its snapshot and what it learned
    about the staging table."""

    def __init__(self, query: Query, *, iterator: bool) -> None:
        self.query = query
        conn = self.conn = query.conn
        self.opened = False
        self.broken = False
        self.registered = False
        self.cursors: list[sqlite3.Cursor] = []
        cursor = self.cursor()
        try:
            if not conn.in_transaction:
                cursor.execute("BEGIN DEFERRED")
                self.opened = True
            self.changes = conn.total_changes
            if iterator:
                _open_reads.setdefault(id(conn), set()).add(id(self))
                self.registered = True
            self._prepare(cursor)
        except BaseException:
            self.close()
            raise

    def cursor(self) -> sqlite3.Cursor:
        cursor = self.conn.cursor()
        cursor.row_factory = None
        self.cursors.append(cursor)
        return cursor

    def _prepare(self, cursor: sqlite3.Cursor) -> None:
        query = self.query
        width = len(query.columns)
        self.rules = _read_rules(cursor, query.name, width)
        plan = _native.reads_plan_in_use()
        self.lookups = plan == "auto"
        self.fast = plan != "exact" and _keys_compare_exactly(
            cursor, self.conn, query.name
        )
        # The staging pass reads only the rule columns, rowid first.
        key_columns = sorted({p for rule in self.rules for p in rule})
        at = {p: n + 1 for n, p in enumerate(key_columns)}
        key_picks = [tuple(at[p] for p in rule) for rule in self.rules]
        row_picks = [tuple(p + 1 for p in rule) for rule in self.rules]
        self.key_columns = key_columns
        self.searches = 0
        self.staging_read = not self.rules
        if self.fast:
            self.current: Any = _native.CurrentRows(key_picks, row_picks)
        else:
            self.current = _ExactRows(self.rules, key_picks, row_picks, self._main_search)
            self._staging_pass()

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
        clauses: list[str] = []
        params: list[Any] = []
        for rule in self.rules:
            names = [_quote(self.query.columns[p]) for p in rule]
            keys = {tuple(row[p + 1] for p in rule) for row in batch}
            plain = [key for key in keys if None not in key]
            if len(rule) > 1 and len(plain) <= _SPELLED_KEYS:  # cheaper spelt out than as a VALUES list
                for key in plain:
                    clauses.append("(" + " AND ".join(f"{name} = ?" for name in names) + ")")
                    params += key
            elif plain:
                marks = ",".join(["?"] * len(plain)) if len(rule) == 1 else ",".join(
                    ["(" + ",".join(["?"] * len(rule)) + ")"] * len(plain))
                target = names[0] if len(rule) == 1 else "(" + ",".join(names) + ")"
                values = marks if len(rule) == 1 else f"VALUES {marks}"
                clauses.append(f"{target} IN ({values})")
                params += [value for key in plain for value in key]
            for key in keys:
                if None in key:  # a staged NULL equals a staged NULL
                    clauses.append("(" + " AND ".join(f"{name} IS ?" for name in names) + ")")
                    params += key
        if len(clauses) > _SEARCH_CLAUSES or len(params) > _SEARCH_PARAMS:
            self._staging_pass()  # a statement that long would cost more, or exceed SQLite's limits
        elif clauses:
            since = ""
            if staged:
                since = "rowid >= ? AND "
                params.insert(0, min(row[0] for row in batch))
            sql = (f"SELECT {self._key_select()} FROM {_quote('temp_' + self.query.name)} "
                   f"WHERE {since}({' OR '.join(clauses)})")
            self.current.add_staged(self.cursors[0].execute(sql, params).fetchall())

    def _main_search(self, rule: int, key: tuple[Any, ...]) -> set[int]:
        """The merge's search of the main table for a staged key."""
        names = [_quote(self.query.columns[p]) for p in self.rules[rule]]
        where = " AND ".join(f"{name} = ?" for name in names)
        cursor = self.cursors[0]
        sql = f"SELECT rowid FROM {_quote(self.query.name)} WHERE {where}"
        return {rowid for (rowid,) in cursor.execute(sql, key).fetchall()}

    def check(self) -> None:
        """The snapshot must still hold: the transaction open, nothing written."""
        if self.broken:
            raise sqlite3.ProgrammingError("this read of the table was ended by an earlier error")
        if not self.conn.in_transaction or self.conn.total_changes != self.changes:
            self.broken = True
            raise sqlite3.ProgrammingError(
                f"the connection was committed, rolled back or written while a read of "
                f"{self.query.name} was open"
            )

    def close(self) -> None:
        for cursor in self.cursors:
            try:
                cursor.close()
            except sqlite3.Error:
                pass
        self.cursors.clear()
        if self.registered:
            self.registered = False
            readers = _open_reads.get(id(self.conn), set())
            readers.discard(id(self))
            if not readers:
                _open_reads.pop(id(self.conn), None)
        if self.opened and not self.broken:
            self.opened = False
            if self.conn.in_transaction:
                try:
                    self.conn.execute("ROLLBACK")
                except sqlite3.Error:
                    pass

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
                    f"CASE typeof({name}) WHEN 'null' THEN 0 WHEN 'text' THEN 2 WHEN 'blob' THEN 3 "
                    "ELSE 1 END"
                )
                select.append(f"CASE typeof({name}) WHEN 'text' THEN CAST({name} AS BLOB) ELSE {name} END")
            order_sql.append(name + direction)
        tie = " DESC" if query.order and query.order[-1][1] else ""
        order_sql.append("rowid" + tie)
        table = _quote(("temp_" if staged else "") + query.name)
        return (
            f"SELECT {','.join(select)} FROM {table}{self._conditions()} "
            f"ORDER BY {','.join(order_sql)}"
        )

    def part(self, staged: bool, out: Sequence[int] | None,
             wanted: Callable[[], int | None]) -> Iterator[list[tuple[Any, ...]]]:
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
                hint = max(hint + READ_AHEAD, 2 * done, 1)
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
                key = lambda row: _sqlite_key(row[width])  # noqa: E731
            else:
                key = lambda row: tuple(map(_sqlite_key, row[width:]))  # noqa: E731
        else:
            first_key = len(query.columns) + 1
            out = (*query.output, *range(first_key, first_key + 2 * terms))
            key = lambda row: tuple(  # noqa: E731
                (row[width + 2 * t], row[width + 2 * t + 1]) for t in range(terms))
        staged_rows = chain.from_iterable(self.part(True, out, wanted))
        main_rows = chain.from_iterable(self.part(False, out, wanted))
        pending: list[tuple[Any, ...]] = []
        for row in _merge_ordered(staged_rows, main_rows, key, [d for _, d in query.order]):
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
        if not self.fast or not self.rules:
            return sum(len(batch) for staged in (True, False)
                       for batch in self.part(staged, (), lambda: None))
        cursor = self.cursors[0]
        params = self.query.params
        table = _quote(self.query.name)
        (main,) = cursor.execute(f"SELECT count(*) FROM {table}{self._conditions()}", params).fetchone()
        if self.query.where is None:
            self._staging_pass()
            current = self.current.current_staged()
        else:
            current = sum(len(batch) for batch in self.part(True, (), lambda: None))
        conditions = "" if self.query.where is None else f" AND (\n{self.query.where}\n)"
        (hidden,) = cursor.execute(
            f"SELECT count(*) FROM {table} WHERE ({self._hidden_condition()}){conditions}", params
        ).fetchone()
        self.check()
        return int(current) + int(main) - int(hidden)

    def _hidden_condition(self) -> str:
        """Whether a main row is hidden by a staged row, in SQL: under some
        rule its key is among the staging table's (SQLite looks each staged
        key up in the rule's index). Only where keys compare as stored, which
        is when SQL `=` between the two tables is the merge's comparison."""
        temp = _quote("temp_" + self.query.name)
        terms = []
        for rule in self.rules:
            names = ",".join(_quote(self.query.columns[p]) for p in rule)
            target = names if len(rule) == 1 else f"({names})"
            terms.append(f"{target} IN (SELECT {names} FROM {temp})")
        return " OR ".join(terms)


def _sqlite_key(value: Any) -> tuple[int, Any]:
    """SQLite's order of stored values: NULL, numbers by value, text by code
    point (the byte order of its UTF-8), blobs."""
    if value is None:
        return (0, 0)
    if isinstance(value, (int, float)):
        return (1, value)
    return (2, value) if isinstance(value, str) else (3, value)


def _merge_ordered(staged: Iterator[tuple[Any, ...]], main: Iterator[tuple[Any, ...]],
                   key: Callable[[tuple[Any, ...]], tuple[Any, ...]],
                   descending: list[bool]) -> Iterator[tuple[Any, ...]]:
    """Two streams ordered alike merged into one. `key` gives a row's
    (class, value) pair per order term (for one term, the pair alone); ties
    go to the staged row when the last term ascends and to the main row when
    it descends."""
    if descending[-1]:
        first, second = main, staged
    else:
        first, second = staged, main
    same = all(descending) or not any(descending)
    reverse = descending[0]

    def before(kx: tuple[Any, ...], ky: tuple[Any, ...]) -> bool:
        """Whether the row keyed kx sorts strictly before the row keyed ky."""
        if same:
            return kx > ky if reverse else kx < ky
        for x, y, down in zip(kx, ky, descending):
            if x != y:
                return bool(x > y) if down else bool(x < y)
        return False

    a = next(first, None)
    b = next(second, None)
    ka = None if a is None else key(a)
    kb = None if b is None else key(b)
    while a is not None and b is not None:
        if before(kb, ka):  # type: ignore[arg-type]
            yield b
            b = next(second, None)
            kb = None if b is None else key(b)
        else:
            yield a
            a = next(first, None)
            ka = None if a is None else key(a)
    if a is not None:
        yield a
        yield from first
    if b is not None:
        yield b
        yield from second


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
