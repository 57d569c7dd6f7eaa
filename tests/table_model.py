"""A plain list model of what a ``Table`` holds, for the property tests.

It follows the rule as written, one row at a time, with no shortcut:

- the current rows start as the main table's rows, in rowid order, never
  compared with each other;
- each staged row, in staging order, finds every current row whose tuple
  under some rule equals its own (a tuple holding a NULL equals nothing;
  ``1 = 1.0``; ``'1' <> 1``; text compares byte for byte);
- with ``newest_by``, when one of those rows beats it (its ``newest_by`` tuple
  is larger in SQLite's ``ORDER BY`` order, NULL lowest; a tie goes to the
  arriving row), the staged row is dropped: it removes nothing and is never
  current;
- otherwise those rows leave the list and the staged row joins it at the end.

Every row carries its origin ("main" or "staged") and a sequence number that
no other row shares; the tests store that number in a column of its own, so a
row is recognised whatever its values.

The model also says what the two physical tables hold after ``delete_keys``
(first only the current rows are kept, then the matching ones go) and after
``merge`` (current main rows in rowid order, then the current staged rows in
staging order; nothing staged).

The methods a plausible shortcut would get wrong are small and separate
(``values_equal``, ``beats``, ``beaten``, ``delete_keys``, ``start``), so that
a test can derive a deliberately wrong model from this one and check that the
property test notices.
"""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from typing import Any

MAIN = "main"
STAGED = "staged"


@dataclass(frozen=True)
class ModelRow:
    origin: str  # MAIN or STAGED: the physical table the row sits in
    seq: int  # unique over the whole history
    values: tuple[Any, ...]  # one per column, as stored


def storage_class(value: Any) -> int:
    """SQLite's order of storage classes: NULL, numbers, text, blobs."""
    if value is None:
        return 0
    if isinstance(value, (int, float)):
        return 1
    return 2 if isinstance(value, str) else 3


def order_key(value: Any) -> tuple[int, Any]:
    """A value's place in SQLite's ``ORDER BY`` (BINARY collation): numbers
    by value (``1`` ties with ``1.0``), text by its UTF-8 bytes, blobs by bytes."""
    kind = storage_class(value)
    if kind == 0:
        return (0, 0)
    if kind == 2:
        return (2, value.encode("utf-8"))
    return (kind, value)


@dataclass
class Outcome:
    """What ``current`` found for each staged row."""

    current: list[ModelRow]
    superseded: list[ModelRow] = field(default_factory=list)  # staged rows a later one removed
    stale: list[ModelRow] = field(default_factory=list)  # staged rows dropped on arrival
    hidden: list[ModelRow] = field(default_factory=list)  # main rows a staged row removed


class TableModel:
    """The rows of one table: ``main`` in rowid order, ``staged`` in staging
    order, as the physical tables hold them."""

    def __init__(self, columns: Sequence[str], rules: Sequence[Sequence[str]], newest_by: Sequence[str] = ()) -> None:
        self.columns = tuple(columns)
        self.rules: list[tuple[int, ...]] = []
        self.newest_by = tuple(self.columns.index(c) for c in newest_by)
        self.main: list[ModelRow] = []
        self.staged: list[ModelRow] = []
        self._next_seq = 0
        for rule in rules:
            self.add_rule(rule)

    # ------------------------------------------------------------- writes --

    def add_rule(self, columns: Sequence[str]) -> None:
        self.rules.append(tuple(self.columns.index(c) for c in columns))

    def new_row(self, origin: str, values: Sequence[Any]) -> ModelRow:
        row = ModelRow(origin, self._next_seq, tuple(values))
        self._next_seq += 1
        return row

    def write_main(self, values: Sequence[Any]) -> ModelRow:
        """A row written straight into the main table, behind the rules' back."""
        row = self.new_row(MAIN, values)
        self.main.append(row)
        return row

    def stage(self, values: Sequence[Any]) -> ModelRow:
        row = self.new_row(STAGED, values)
        self.staged.append(row)
        return row

    def merge(self) -> dict[str, int]:
        """Leaves the current rows in the main table and returns the report's
        counts."""
        outcome = self.outcome()
        kept = {row.seq for row in outcome.current}
        report = {
            "staged": len(self.staged),
            "inserted": sum(1 for row in self.staged if row.seq in kept),
            "superseded": len(outcome.superseded),
            "stale": len(outcome.stale),
            "replaced": len(outcome.hidden),
        }
        main = [row for row in self.main if row.seq in kept]
        moved = [ModelRow(MAIN, row.seq, row.values) for row in self.staged if row.seq in kept]
        self.main = main + moved
        self.staged = []
        return report

    def delete_keys(self, rule: int, keys: Iterable[Sequence[Any]]) -> int:
        """Keeps only the current rows in both tables, then removes the current
        rows whose tuple under ``rule`` equals one of ``keys``."""
        self.reduce_to_current()
        wanted = [tuple(key) for key in keys]
        columns = self.rules[rule]

        def matches(row: ModelRow) -> bool:
            own = tuple(row.values[i] for i in columns)
            return any(self.tuples_equal(own, key) for key in wanted)

        before = len(self.main) + len(self.staged)
        self.main = [row for row in self.main if not matches(row)]
        self.staged = [row for row in self.staged if not matches(row)]
        return before - len(self.main) - len(self.staged)

    def reduce_to_current(self) -> None:
        kept = {row.seq for row in self.current()}
        self.main = [row for row in self.main if row.seq in kept]
        self.staged = [row for row in self.staged if row.seq in kept]

    # -------------------------------------------------------------- reads --

    def current(self) -> list[ModelRow]:
        """The current rows: main rows (rowid order), then the staged rows
        that stayed, in staging order."""
        return self.outcome().current

    def outcome(self) -> Outcome:
        result = Outcome(current=self.start())
        for arriving in self.staged:
            hits = self.conflicts(result.current, arriving)
            if self.beaten(result, hits, arriving):
                result.stale.append(arriving)
                continue
            gone = {row.seq for row in hits}
            for row in hits:
                (result.hidden if row.origin == MAIN else result.superseded).append(row)
            result.current = [row for row in result.current if row.seq not in gone]
            result.current.append(arriving)
        return result

    def start(self) -> list[ModelRow]:
        """The main rows, all of them: they never hide each other."""
        return list(self.main)

    def conflicts(self, rows: Sequence[ModelRow], arriving: ModelRow) -> list[ModelRow]:
        return [row for row in rows if self.conflict(row, arriving)]

    def conflict(self, row: ModelRow, other: ModelRow) -> bool:
        return any(
            self.tuples_equal(tuple(row.values[i] for i in rule), tuple(other.values[i] for i in rule))
            for rule in self.rules
        )

    def beaten(self, outcome: Outcome, hits: Sequence[ModelRow], arriving: ModelRow) -> bool:
        """Whether ``arriving`` is dropped: some row it would remove beats it."""
        return bool(self.newest_by) and any(self.beats(row, arriving) for row in hits)

    def beats(self, row: ModelRow, arriving: ModelRow) -> bool:
        """Strictly larger ``newest_by`` tuple, NULL lowest; a tie goes to the
        arriving row."""
        return self.newest_key(row) > self.newest_key(arriving)

    def newest_key(self, row: ModelRow) -> tuple[tuple[int, Any], ...]:
        return tuple(order_key(row.values[i]) for i in self.newest_by)

    def tuples_equal(self, left: Sequence[Any], right: Sequence[Any]) -> bool:
        return len(left) == len(right) and all(map(self.values_equal, left, right))

    @staticmethod
    def values_equal(left: Any, right: Any) -> bool:
        """As a UNIQUE index compares stored values: NULL equals nothing,
        numbers by value across integer and real, text and blobs by bytes,
        and no value of one class equals one of another."""
        if left is None or right is None:
            return False
        kind = storage_class(left)
        return kind == storage_class(right) and left == right
