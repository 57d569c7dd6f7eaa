"""What decides which rows of a ``Table`` read are current: the table's
rules, read as the merge reads them; whether fetched keys compare here as the
merge's statements compare them (then the key tables of ``norvane._native``
decide); and otherwise the merge's own statements (``ExactRows``).
"""

from collections.abc import Callable, Sequence
from typing import Any

from norvane import _native
from norvane.connections import Connection

__all__ = ["ExactRows", "keys_compare_exactly", "read_rules"]


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


def keys_compare_exactly(cursor: Any, conn: Connection, table: str) -> bool:
    """Whether fetched values compare here as the merge's statements compare
    them: the connection profile's "exact_reads" path, whose flags (values
    arrive as stored, nothing adapts them when bound, the engine compares
    numbers exactly, ordinary tables declared alike without collations, no
    converter or driver decoding of a declared type) are those of find's
    newest groups, for the same reasons. `cursor` is the read's own; the
    profile reads on the same connection."""
    return bool(_native.connection_profile(conn, table)["paths"]["exact_reads"])


class ExactRows:
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
