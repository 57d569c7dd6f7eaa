"""What decides which rows of a ``Table`` read are current: the table's
rules, read as the merge reads them; whether fetched keys compare here as
stored values compare (then the key tables of ``norvane._native`` decide);
and otherwise comparisons made in SQL, whose answer is a set of rowids
(``DecidedRows``).
"""

from collections.abc import Sequence
from collections.abc import Set as AbstractSet
from typing import Any

from norvane import _native
from norvane.checks import STAGING_PREFIX
from norvane.connections import Connection
from norvane.table_settings import read_settings

__all__ = [
    "DecidedRows",
    "decided_by_sql",
    "hidden_condition",
    "key_clauses",
    "keys_compare_exactly",
    "newest_by_positions",
    "read_rules",
]


def read_rules(cursor: Any, table: str, width: int) -> list[tuple[int, ...]]:
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


def newest_by_positions(cursor: Any, table: str, columns: Sequence[str]) -> tuple[int, ...]:
    """The positions of the table's newest_by columns (none for most tables)."""
    names = read_settings(cursor, table).newest_by
    if not names:
        return ()
    at = {name.lower(): n for n, name in enumerate(columns)}
    missing = [name for name in names if name.lower() not in at]
    if missing:
        raise ValueError(f"table {table}: newest_by names no column {missing[0]!r}")
    return tuple(at[name.lower()] for name in names)


def keys_compare_exactly(cursor: Any, conn: Connection, table: str) -> bool:
    """Whether fetched values compare here as the merge's statements compare
    them: the connection profile's "exact_reads" path, whose flags (values
    arrive as stored, nothing adapts them when bound, the engine compares
    numbers exactly, ordinary tables declared alike without collations, no
    converter or driver decoding of a declared type) are those of find's
    newest groups, for the same reasons. `cursor` is the read's own; the
    profile reads on the same connection."""
    return bool(_native.connection_profile(conn, table)["paths"]["exact_reads"])


class DecidedRows:
    """Currentness decided before the read, as rowids: the staged rows that are
    current (or those that are not) and the main rows that staged rows hide.
    Exact on any connection: the sets come from comparisons made in SQL (or
    by the engine of ``norvane.table_state``), never from fetched values."""

    def __init__(
        self,
        main_hidden: AbstractSet[int],
        *,
        staged_current: AbstractSet[int] | None = None,
        staged_out: AbstractSet[int] | None = None,
    ) -> None:
        self.main_hidden = main_hidden
        self.staged_current = staged_current
        self.staged_out = staged_out if staged_out is not None else frozenset()

    def staged_kept(self, rowid: int) -> bool:
        if self.staged_current is not None:
            return rowid in self.staged_current
        return rowid not in self.staged_out

    def keep(self, batch: list[tuple[Any, ...]], staged: bool, out: Sequence[int] | None) -> list[tuple[Any, ...]]:
        if staged:
            kept = [row for row in batch if self.staged_kept(row[0])]
        else:
            hidden = self.main_hidden
            kept = [row for row in batch if row[0] not in hidden]
        if out is None:
            return kept
        if staged:
            return [tuple(None if i == 0 else row[i] for i in out) for row in kept]
        return [tuple(row[i] for i in out) for row in kept]

    def current_staged(self, staged_count: int) -> int:
        """How many staged rows are current, of `staged_count`."""
        if self.staged_current is not None:
            return len(self.staged_current)
        return staged_count - len(self.staged_out)


def _quote(name: str) -> str:
    return '"' + name.replace('"', '""') + '"'


def rule_columns(columns: Sequence[str], rule: tuple[int, ...]) -> tuple[str, str]:
    """A rule's columns as a comma list and as the target of an IN."""
    names = ",".join(_quote(columns[p]) for p in rule)
    return names, names if len(rule) == 1 else f"({names})"


# Keys of a rule of several columns up to this many are spelt out as ANDs,
# which SQLite answers faster than a VALUES list.
_SPELLED_KEYS = 4


def key_clauses(
    columns: Sequence[str], rules: list[tuple[int, ...]], keys: list[set[tuple[Any, ...]]], *, indexed: bool = False
) -> tuple[list[str], list[Any]]:
    """SQL conditions (to be joined by OR) that hold for a row equal to one of
    `keys[r]` under rule r, with their parameters; keys holding a NULL equal
    nothing and are left out. `indexed`: for a table whose rule indexes
    should answer, which SQLite does for ANDs of a key's columns but not for
    a row value IN a VALUES list. Used only where bound values are the
    stored ones and text compares by its bytes."""
    clauses: list[str] = []
    params: list[Any] = []
    for rule, rule_keys in zip(rules, keys):
        names = [_quote(columns[p]) for p in rule]
        plain = [key for key in rule_keys if None not in key]
        if len(rule) > 1 and (indexed or len(plain) <= _SPELLED_KEYS):
            for key in plain:
                clauses.append("(" + " AND ".join(f"{name} = ?" for name in names) + ")")
                params += key
        elif plain:
            marks = (
                ",".join(["?"] * len(plain))
                if len(rule) == 1
                else ",".join(["(" + ",".join(["?"] * len(rule)) + ")"] * len(plain))
            )
            target = names[0] if len(rule) == 1 else "(" + ",".join(names) + ")"
            values = marks if len(rule) == 1 else f"VALUES {marks}"
            clauses.append(f"{target} IN ({values})")
            params += [value for key in plain for value in key]
    return clauses, params


def hidden_condition(table: str, columns: Sequence[str], rules: list[tuple[int, ...]]) -> str:
    """Whether a main row is hidden by a staged row, in SQL: under some rule
    its tuple is among the staging table's. The main column stands on the
    left, so its collation decides; a tuple holding a NULL matches nothing;
    SQLite looks each staged key up in the rule's index."""
    temp = _quote(STAGING_PREFIX + table)
    terms = []
    for rule in rules:
        names, target = rule_columns(columns, rule)
        terms.append(f"{target} IN (SELECT {names} FROM {temp})")
    return " OR ".join(terms)


def decided_by_sql(cursor: Any, table: str, columns: Sequence[str], rules: list[tuple[int, ...]]) -> DecidedRows:
    """Currentness without columns that decide which row is newer, every
    comparison made by SQLite: a staged row is out when a later staged row
    holds an equal tuple under some rule (its group under that rule has a
    larger rowid; GROUP BY compares as a UNIQUE index does: 1 = 1.0, '1' <>
    1, text by the column's collation, which the staging table shares with
    the main table), a main row when some staged row holds an equal tuple.
    Costs a sort of the staging table and the lookups of its keys."""
    out: set[int] = set()
    hidden: set[int] = set()
    if not rules:
        return DecidedRows(frozenset(), staged_out=frozenset())
    temp = _quote(STAGING_PREFIX + table)
    for rule in rules:
        names, _ = rule_columns(columns, rule)
        present = " AND ".join(f"{_quote(columns[p])} IS NOT NULL" for p in rule)
        sql = (
            f"SELECT rowid FROM {temp} WHERE {present} AND rowid NOT IN "
            f"(SELECT max(rowid) FROM {temp} GROUP BY {names})"
        )
        out.update(rowid for (rowid,) in cursor.execute(sql).fetchall())
    sql = f"SELECT rowid FROM {_quote(table)} WHERE {hidden_condition(table, columns, rules)}"
    hidden.update(rowid for (rowid,) in cursor.execute(sql).fetchall())
    return DecidedRows(hidden, staged_out=out)
