"""Which rows of a ``Table`` are current: what its main table would hold after
each staged row, in staging order, had gone in as an ``INSERT OR REPLACE``
into a table with one UNIQUE index per rule.

The rule, for a ``Table``'s tables:

- Main rows are never compared with each other; each stays until a staged
  row removes it.
- A staged row removes every current row whose tuple under some rule equals
  its own, then becomes current itself. Tuples compare as a UNIQUE index
  compares stored values: a tuple holding a NULL equals nothing, ``1 = 1.0``,
  ``'1' <> 1``, text by the column's collation.
- With ``newest_by`` columns, a staged row that some row it would remove
  beats on those columns (compared as a tuple in ``ORDER BY`` order, NULL
  lowest; a tie goes to the staged row) is dropped instead: it removes
  nothing and never becomes current. It is counted as stale.

Every comparison of values happens in SQL, so it is SQLite's own whatever
the connection does to values it delivers (text factories, row factories,
converters) and on every connection type; only rowids and small integers
reach Python. The staging table is made from the same column definitions as
the main table, so grouping staged rows by their own columns uses the main
table's collations; main rows are matched to staged ones through the rule
columns of the main table (``m.col = s.col``, the main column on the left
so that its collation decides).

The entry point::

    current_state(conn, table, rules, newest_by) -> State

``table`` is the stored name of the main table (its staging table is
``temp_<table>``); ``rules`` the rules as column positions; ``newest_by``
the positions of the ``newest_by`` columns (empty for none). It runs on a
cursor of ``conn`` inside whatever transaction or snapshot the caller holds
and writes nothing. ``State.staged_current`` holds the rowids of the staged
rows that are current, ``State.main_hidden`` the rowids of the main rows
that staged rows remove, ``State.stale`` how many staged rows were dropped
(``newest_by``) and ``State.superseded`` how many staged rows a later staged
row removed; ``State.staged_lost`` the staged rows that are not current.
"""

from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import Any

from norvane import _native
from norvane.call_options import DEFAULT_OPTIONS, CallOptions, WalkPath
from norvane.checks import STAGING_PREFIX

__all__ = ["State", "StateSql", "current_state", "quote", "sequential_state", "traced_state", "walk"]


@dataclass(frozen=True)
class State:
    """The current rows of a table, as rowids of its two tables."""

    staged_current: frozenset[int]
    main_hidden: frozenset[int]
    stale: int
    superseded: int
    # The staged rows that are not current (superseded or stale).
    staged_lost: frozenset[int] = frozenset()


def quote(name: str) -> str:
    """An identifier as SQL text, whatever it holds."""
    return '"' + name.replace('"', '""') + '"'


def plain_cursor(conn: Any) -> Any:
    """A cursor that delivers rows as tuples, whatever the connection's
    row factory."""
    cursor = conn.cursor()
    if getattr(cursor, "row_factory", None) is not None:
        cursor.row_factory = None
    return cursor


def table_columns(cursor: Any, table: str) -> list[str]:
    return [
        str(row[0]) for row in cursor.execute("SELECT name FROM pragma_table_info(?) ORDER BY cid", (table,)).fetchall()
    ]


class StateSql:
    """The statement texts that decide currentness for one table: each
    distinct rule's columns once, quoted."""

    def __init__(
        self, table: str, columns: Sequence[str], rules: Iterable[tuple[int, ...]], newest_by: Sequence[int]
    ) -> None:
        self.table = table
        self.main = quote(table)
        self.staging = quote(STAGING_PREFIX + table)
        seen: list[tuple[int, ...]] = []
        for rule in rules:
            if tuple(rule) not in seen:  # the same columns twice remove the same rows
                seen.append(tuple(rule))
        self.rules = seen
        self.rule_columns = [[quote(columns[p]) for p in rule] for rule in seen]
        self.newest_by = [quote(columns[p]) for p in newest_by]

    # -- pieces --

    @staticmethod
    def _not_null(cols: list[str], prefix: str = "") -> str:
        return " AND ".join(f"{prefix}{c} IS NOT NULL" for c in cols)

    def _match(self, cols: list[str]) -> str:
        return " AND ".join(f"m.{c} = s.{c}" for c in cols)

    def hits(self, rule: int, select: str = "m.rowid") -> str:
        """Pairs of a main row and a staged row equal under one rule, driven
        from the staging table through the main table's index (CROSS JOIN
        keeps the staging table outside)."""
        cols = self.rule_columns[rule]
        return f"SELECT {select} FROM {self.staging} AS s CROSS JOIN {self.main} AS m ON {self._match(cols)}"

    def hidden_ids(self) -> str:
        """Main rows that some staged row equals under some rule (distinct);
        empty when the table has no rules."""
        return " UNION ".join(self.hits(r) for r in range(len(self.rules)))

    def newest_staged_where(self) -> str:
        """A condition on staging rows: no later staged row equals the row
        under any rule (a key holding a NULL equals nothing)."""
        parts = []
        for cols in self.rule_columns:
            nulls = " OR ".join(f"{c} IS NULL" for c in cols)
            parts.append(
                f"({nulls} OR rowid IN (SELECT max(rowid) FROM {self.staging} "
                f"WHERE {self._not_null(cols)} GROUP BY {', '.join(cols)}))"
            )
        return " AND ".join(parts) if parts else "1"

    def superseded_in_main(self, indexes: Sequence[str]) -> str:
        """Rowids of main rows above a bound (the first ? parameter, once per
        rule) that a later main row equals under some rule: staged rows
        moved into the main table as they were, found through an index per
        rule (`indexes`, named with INDEXED BY, so that a statement that
        cannot use one fails to prepare instead of scanning)."""
        parts = []
        for cols, index in zip(self.rule_columns, indexes):
            same = " AND ".join(f"b.{c} = a.{c}" for c in cols)
            parts.append(
                f"SELECT a.rowid FROM {self.main} AS a WHERE a.rowid > ? AND {self._not_null(cols, 'a.')} "
                f"AND EXISTS (SELECT 1 FROM {self.main} AS b INDEXED BY {quote(index)} "
                f"WHERE {same} AND b.rowid > a.rowid)"
            )
        return " UNION ".join(parts)

    @staticmethod
    def index_columns() -> str:
        """Per full (not partial) index of a table (the ? parameter), its
        name and its columns in order, quoted and comma-joined."""
        return (
            "SELECT name, group_concat(col, ',') FROM (SELECT l.name AS name, "
            "'\"' || replace(i.name, '\"', '\"\"') || '\"' AS col "
            "FROM pragma_index_list(?) AS l, pragma_index_info(l.name) AS i WHERE NOT l.partial "
            "ORDER BY l.name, i.seqno) GROUP BY name"
        )

    def rule_indexes(self, indexes: Iterable[Sequence[Any]]) -> list[str] | None:
        """For each rule, an index whose leading columns are the rule's,
        from the rows of index_columns; None when a rule has none."""
        found = []
        listed = [(str(name), str(cols).lower().split(",")) for name, cols in indexes]
        for rule in self.rule_columns:
            wanted = [c.lower() for c in rule]
            names = [name for name, cols in listed if cols[: len(wanted)] == wanted]
            if not names:
                return None
            found.append(names[0])
        return found

    # -- whole statements --

    def without_newest(self) -> str:
        """(0, rowid) per current staged row, (1, rowid) per hidden main row,
        (2, count) of the staged rows."""
        parts = [f"SELECT 0, rowid FROM {self.staging} WHERE {self.newest_staged_where()}"]
        if self.rules:
            parts.append(f"SELECT 1, id FROM ({self.hidden_ids_as('id')})")
        parts.append(f"SELECT 2, count(*) FROM {self.staging}")
        return " UNION ALL ".join(parts)

    def hidden_ids_as(self, name: str) -> str:
        return " UNION ".join(self.hits(r, f"m.rowid AS {name}") for r in range(len(self.rules)))

    def with_newest(self, pad: str = "", extra: Sequence[str] = ()) -> str:
        """Everything the sequential rule needs, as rows (tag, a, b, c), each
        followed by `pad` (", NULL" gives a fifth column) and then by the
        statements of `extra` (UNION ALL).

        Only the staged rows that can meet another row take part (hot rows):
        those sharing a key with another staged row under some rule, and
        those equal to a main row. Every other staged row meets nothing, so
        it stays current and removes nothing.
        (0, rule, staged rowid, group) for hot staged rows whose key under the
        rule holds no NULL, groups numbered so that equal keys share one;
        (1, rule, main rowid, a staged rowid equal to it under the rule);
        (2, origin, rowid, rank) for every hot staged row (origin 0) and every
        main row some staged row equals (origin 1), ranked by the newest_by
        tuple in ORDER BY order (NULL lowest, equal tuples equal ranks);
        (4, staged rows, NULL, NULL)."""
        ctes = []
        hot = []
        for r, cols in enumerate(self.rule_columns):
            listed = ", ".join(cols)
            ctes.append(
                f"g{r} AS (SELECT rowid AS id, dense_rank() OVER (ORDER BY {listed}) AS grp, "
                f"count(*) OVER (PARTITION BY {listed}) AS n FROM {self.staging} "
                f"WHERE {self._not_null(cols)})"
            )
            ctes.append(f"h{r} AS ({self.hits(r, 'm.rowid AS mid, min(s.rowid) AS sid')} GROUP BY m.rowid)")
            hot += [f"SELECT id FROM g{r} WHERE n > 1", f"SELECT sid FROM h{r}"]
        ctes.append(f"hot AS ({' UNION '.join(hot)})")
        parts = []
        for r in range(len(self.rules)):
            parts.append(f"SELECT 0, {r}, id, grp{pad} FROM g{r} WHERE id IN hot")
            parts.append(f"SELECT 1, {r}, mid, sid{pad} FROM h{r}")
        keys = ", ".join(f"{c} AS k{i}" for i, c in enumerate(self.newest_by))
        order = ", ".join(f"k{i}" for i in range(len(self.newest_by)))
        hit_main = " UNION ".join(f"SELECT mid FROM h{r}" for r in range(len(self.rules)))
        candidates = (
            f"SELECT 0 AS origin, rowid AS id, {keys} FROM {self.staging} WHERE rowid IN hot "
            f"UNION ALL SELECT 1, rowid, {', '.join(self.newest_by)} FROM {self.main} "
            f"WHERE rowid IN ({hit_main})"
        )
        parts.append(f"SELECT 2, origin, id, dense_rank() OVER (ORDER BY {order}){pad} FROM ({candidates})")
        parts.append(f"SELECT 4, count(*), NULL, NULL{pad} FROM {self.staging}")
        return f"WITH {', '.join(ctes)} " + " UNION ALL ".join([*parts, *extra])


def current_state(
    conn: Any,
    table: str,
    rules: list[tuple[int, ...]],
    newest_by: tuple[int, ...],
    options: CallOptions = DEFAULT_OPTIONS,
) -> State:
    """The current rows of `table` (see the module's docstring)."""
    return traced_state(conn, table, rules, newest_by, options)[0]


def traced_state(
    conn: Any, table: str, rules: list[tuple[int, ...]], newest_by: tuple[int, ...], options: CallOptions
) -> tuple[State, WalkPath | None]:
    """current_state and the walk that found it (None: found in sets, no walk)."""
    cursor = plain_cursor(conn)
    try:
        sql = StateSql(table, table_columns(cursor, table), rules, newest_by)
        if not newest_by:
            return _set_state(cursor, sql), None
        if not sql.rules:
            return _set_state(cursor, sql), None
        state, _ = walk(cursor.execute(sql.with_newest()), len(sql.rules), options.walk_path)
        staged = frozenset(row[0] for row in cursor.execute(f"SELECT rowid FROM {sql.staging}"))
        current = State(staged - state.staged_lost, state.main_hidden, state.stale, state.superseded, state.staged_lost)
        return current, options.walk_path
    finally:
        cursor.close()


def _set_state(cursor: Any, sql: StateSql) -> State:
    """Without newest_by the sequence needs no walk: a staged row stays iff no
    later staged row equals it under some rule, and a main row goes iff some
    staged row equals it."""
    staged: list[int] = []
    hidden: list[int] = []
    count = 0
    for tag, value in cursor.execute(sql.without_newest()):
        if tag == 0:
            staged.append(value)
        elif tag == 1:
            hidden.append(value)
        else:
            count = value
    return State(frozenset(staged), frozenset(hidden), 0, count - len(staged))


def walk(rows: Iterable[Sequence[Any]], rule_count: int, path: WalkPath = "native") -> tuple[State, list[Any]]:
    """The state the sequential rule leaves over the rows of
    ``StateSql.with_newest``, read one at a time, and the rows of other
    tags. In C++ unless `path` says "python"."""
    if path == "python":
        listed = list(rows)
        return sequential_state(listed, rule_count), [r for r in listed if not _walked(r)]
    lost, hidden, current, stale, superseded, others = _native.sequential_walk(rows, rule_count)
    return State(frozenset(current), frozenset(hidden), stale, superseded, frozenset(lost)), others


def _walked(row: Sequence[Any]) -> bool:
    return type(row[0]) is int and row[0] in (0, 1, 2)


def sequential_state(rows: Iterable[Sequence[Any]], rule_count: int) -> State:
    """The sequential rule with newest_by over the rows of
    ``StateSql.with_newest`` (other rows, tagged otherwise, are skipped):
    each hot staged row in rowid order either is dropped (a row it would
    remove ranks above it) or removes what it meets and becomes current.
    ``staged_current`` holds the current hot rows only; every staged row
    not in ``staged_lost`` is current."""
    staged_groups: dict[int, list[tuple[int, int]]] = {}
    group_of: list[dict[int, int]] = [{} for _ in range(rule_count)]
    main_pairs: list[tuple[int, int, int]] = []
    staged_rank: dict[int, int] = {}
    main_rank: dict[int, int] = {}
    for row in rows:
        tag, a, b, c = row[0], row[1], row[2], row[3]
        if tag == 0:
            group_of[a][b] = c
            staged_groups.setdefault(b, []).append((a, c))
        elif tag == 1:
            main_pairs.append((a, b, c))
        elif tag == 2:
            if a == 0:
                staged_rank[b] = c
            else:
                main_rank[b] = c
    # Current rows per (rule, group): main rows as ~rowid (negative), staged
    # rows as rowid + 2**64, so the two kinds never meet.
    holders: dict[tuple[int, int], set[int]] = {}
    keys_of: dict[int, list[tuple[int, int]]] = {}
    rank: dict[int, int] = {}
    offset = 1 << 64
    for rule, main_id, staged_id in main_pairs:
        node = ~main_id
        key = (rule, group_of[rule][staged_id])
        holders.setdefault(key, set()).add(node)
        keys_of.setdefault(node, []).append(key)
        rank[node] = main_rank[main_id]
    hidden: set[int] = set()
    lost: set[int] = set()
    stale = superseded = 0
    current: set[int] = set()
    for staged_id in sorted(staged_rank):
        own_rank = staged_rank[staged_id]
        keys = staged_groups.get(staged_id, [])
        met: set[int] = set()
        for key in keys:
            found = holders.get(key)
            if found:
                met |= found
        if any(rank[node] > own_rank for node in met):
            stale += 1
            lost.add(staged_id)
            continue
        for node in met:
            for key in keys_of.pop(node):
                holders[key].discard(node)
            if node < 0:
                hidden.add(~node)
            else:
                current.discard(node - offset)
                lost.add(node - offset)
                superseded += 1
        node = staged_id + offset
        rank[node] = own_rank
        keys_of[node] = list(keys)
        for key in keys:
            holders.setdefault(key, set()).add(node)
        current.add(staged_id)
    return State(frozenset(current), frozenset(hidden), stale, superseded, frozenset(lost))
