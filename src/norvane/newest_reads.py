"""Which rows a read of a table with ``newest_by`` shows, where fetched values
are the stored ones (no text factory, adapter, collation or declared type).

A staged row that a current row it would remove beats on the ``newest_by``
tuple is dropped, so whether a row is current depends on the order of
arrivals, not on sets of keys. But it depends only on the rows linked to it:
a staged row meets only rows that share a key with it, so the sequence
played over the rows of one linked group (every staged row sharing a key
with one of the group's rows, every main row sharing a key with one of its
staged rows) decides each of them exactly as the sequence over both tables
does. A read of a few rows therefore looks up just their groups, a few
statements through the rules' indexes and scans of the staging table; a
read of many plays the whole sequence once, over the staging table and the
main rows its keys meet. Either way the cost is the staging table's, never
the main table's.

The sequence compares values as fetched (in C++, ``norvane._native``):
tuples as a UNIQUE index compares stored values (``1 = 1.0``, ``'1' <> 1``,
``b'1' <> '1'``, text by its bytes), ``newest_by`` tuples in ``ORDER BY``
order, NULL lowest. That is SQLite's own comparison only when (checked by
``currentness.keys_compare_exactly`` before this is used; otherwise the
engine of ``norvane.table_state`` decides in SQL):

- no text factory or converter: fetched text and blobs are the stored bytes;
- no adapter of a stored type: a bound key finds the stored value;
- no collation and no declared type on either table: text compares by its
  bytes and no affinity converts a bound key;
- the SQLite in use compares integers with reals exactly, as Python does.

A read with ``CallOptions(reads_plan="exact")`` sends every comparison to the engine;
the property test of reads checks both against a model of the rule.
"""

from collections.abc import Iterable, Sequence
from operator import itemgetter
from typing import Any

from norvane import _native
from norvane.checks import STAGING_PREFIX
from norvane.currentness import hidden_condition, key_clauses

__all__ = ["NewestRows", "Shape", "play"]

# A group bigger than the call's group_rows, or one that needs more lookups,
# or a read that has looked up this many groups, plays the whole sequence
# instead.
GROUP_LOOKUPS = 8
SEARCHES = 8
_PARAMS = 10_000
_CLUSTER_PARAMS = 254


def _quote(name: str) -> str:
    return '"' + name.replace('"', '""') + '"'


class Shape:
    """Where a fetched row holds what the sequence needs: its rowid first,
    its tuple under each rule, its newest_by tuple."""

    def __init__(self, rules: list[tuple[int, ...]], newest_by: tuple[int, ...], at: Sequence[int]) -> None:
        self.picks = [[at[p] for p in rule] for rule in rules]
        self.keys = [itemgetter(*(at[p] for p in rule)) for rule in rules]
        self.single = [len(rule) == 1 for rule in rules]
        self.rank_picks = [at[p] for p in newest_by]

    def slots(self, row: Sequence[Any]) -> list[tuple[int, Any]]:
        """The row's (rule, tuple) pairs, tuples holding a NULL left out."""
        found = []
        for r, (key, single) in enumerate(zip(self.keys, self.single)):
            value = key(row)
            if value is None if single else None in value:
                continue
            found.append((r, value))
        return found


def play(
    main: list[Sequence[Any]], staged: list[Sequence[Any]], shape: "Shape", in_order: bool = False
) -> tuple[set[int], set[int]]:
    """The sequence: main rows first, then each staged row in rowid order
    either dropped (a row it meets ranks above it) or removing every row it
    meets and becoming current (in C++). Returns the current staged rowids
    and the hidden main rowids."""
    if not in_order:
        staged = sorted(staged, key=itemgetter(0))
    return _native.play_newest(main, staged, shape.picks, shape.rank_picks)


class NewestRows:
    """Currentness of a read of a table with newest_by: rows decided group
    by group as they are fetched, or all at once."""

    def __init__(
        self,
        cursor: Any,
        table: str,
        columns: Sequence[str],
        rules: list[tuple[int, ...]],
        newest_by: tuple[int, ...],
        *,
        lookups: bool,
        cluster: bool,
        group_rows: int,
    ) -> None:
        self.cursor = cursor
        self.table = table
        self.columns = columns
        self.rules = rules
        self.newest_by = newest_by
        self.lookups = lookups
        self.group_rows = group_rows
        self.most_params = _CLUSTER_PARAMS if cluster else _PARAMS
        self.searches = 0
        self.staged_current: set[int] = set()
        self.staged_out: set[int] = set()
        self.main_hidden: set[int] = set()
        self.main_decided: set[int] = set()
        self.whole = False
        self.full_shape = Shape(rules, newest_by, range(1, len(columns) + 1))

    # -------------------------------------------------------- decisions --

    def keep(self, batch: list[tuple[Any, ...]], staged: bool, out: Sequence[int] | None) -> list[tuple[Any, ...]]:
        """The current rows of a batch (rowid and every column), each as `out` picks it."""
        self._decide(batch, staged)
        if staged:
            kept = [row for row in batch if row[0] in self.staged_current]
        else:
            kept = [row for row in batch if row[0] not in self.main_hidden]
        if out is None:
            return kept
        if staged:
            return [tuple(None if i == 0 else row[i] for i in out) for row in kept]
        return [tuple(row[i] for i in out) for row in kept]

    def _decide(self, batch: list[tuple[Any, ...]], staged: bool) -> None:
        if self.whole:
            return
        if staged:
            open_rows = [row for row in batch if row[0] not in self.staged_current and row[0] not in self.staged_out]
        else:
            open_rows = [row for row in batch if row[0] not in self.main_decided]
        if not open_rows:
            return
        if self.lookups and self.searches < SEARCHES and len(open_rows) <= self.group_rows:
            self.searches += 1
            if self._decide_groups(open_rows, staged):
                return
        self.play_whole()

    def _decide_groups(self, rows: list[tuple[Any, ...]], staged: bool) -> bool:
        """Decides the rows' linked groups by lookups; False when the groups
        grow too big or need too many lookups."""
        staged_rows: dict[int, Sequence[Any]] = {}
        main_rows: dict[int, Sequence[Any]] = {}
        for row in rows:
            (staged_rows if staged else main_rows)[row[0]] = row
        asked_staged: list[set[tuple[Any, ...]]] = [set() for _ in self.rules]
        asked_main: list[set[tuple[Any, ...]]] = [set() for _ in self.rules]
        for _ in range(GROUP_LOOKUPS):
            # Every key of the group is looked up among the staged rows; the
            # keys of its staged rows also among the main rows (main rows
            # meet only staged rows).
            in_staged = self._new_keys([*staged_rows.values(), *main_rows.values()], asked_staged)
            in_main = self._new_keys(staged_rows.values(), asked_main)
            if not any(in_staged) and not any(in_main):
                current, hidden = play(list(main_rows.values()), list(staged_rows.values()), self.full_shape)
                self.staged_current |= current
                self.staged_out |= staged_rows.keys() - current
                self.main_hidden |= hidden
                self.main_decided |= main_rows.keys()
                return True
            for keys, table, found in (
                (in_staged, STAGING_PREFIX + self.table, staged_rows),
                (in_main, self.table, main_rows),
            ):
                if not any(keys):
                    continue
                clauses, params = key_clauses(self.columns, self.rules, keys, indexed=table == self.table)
                if len(params) > self.most_params:
                    return False
                names = ",".join(["rowid", *(_quote(c) for c in self.columns)])
                sql = f"SELECT {names} FROM {_quote(table)} WHERE {' OR '.join(clauses)}"
                for row in self.cursor.execute(sql, params).fetchall():
                    found.setdefault(row[0], row)
            if len(staged_rows) + len(main_rows) > self.group_rows:
                return False
        return False

    def _new_keys(self, rows: Iterable[Sequence[Any]], asked: list[set[tuple[Any, ...]]]) -> list[set[tuple[Any, ...]]]:
        """The rows' keys not looked up yet, per rule (as tuples), now marked as asked."""
        new: list[set[tuple[Any, ...]]] = [set() for _ in asked]
        for row in rows:
            for r, value in self.full_shape.slots(row):
                key = (value,) if self.full_shape.single[r] else value
                if key not in asked[r]:
                    asked[r].add(key)
                    new[r].add(key)
        return new

    def play_whole(self) -> None:
        """Every row decided at once: the staging table read once (its rule
        and newest_by columns), and the main rows its keys meet."""
        if self.whole:
            return
        wanted = sorted({p for rule in self.rules for p in rule} | set(self.newest_by))
        at = {p: n + 1 for n, p in enumerate(wanted)}
        names = ",".join(["rowid", *(_quote(self.columns[p]) for p in wanted)])
        staged = self.cursor.execute(
            f"SELECT {names} FROM {_quote(STAGING_PREFIX + self.table)} ORDER BY rowid"
        ).fetchall()
        met = hidden_condition(self.table, self.columns, self.rules)
        main = self.cursor.execute(f"SELECT {names} FROM {_quote(self.table)} WHERE {met}").fetchall()
        shape = Shape(self.rules, self.newest_by, [at.get(p, 0) for p in range(len(self.columns))])
        self.staged_current, self.main_hidden = play(main, staged, shape, in_order=True)
        self.whole = True

    def current_staged(self, staged_count: int) -> int:
        """How many staged rows are current (after play_whole)."""
        return len(self.staged_current)
