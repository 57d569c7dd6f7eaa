"""SQLite itself as a second opinion on a ``Table``'s rows.

One plain table with one UNIQUE index per rule takes every staged row as
``INSERT OR REPLACE``; with ``newest_by``, a ``BEFORE INSERT`` trigger skips
the row when some row it would replace beats it (larger ``newest_by`` tuple
in ``ORDER BY`` order, NULL lowest, a tie going to the arriving row). Deletes
by key are plain ``DELETE ... WHERE col = ?``.

This holds only while the main table's rows never conflicted with each other
and every row reached the peer in the order the rules see it; the peer says
when that stopped being true (``valid``) and is then left alone.
"""

from __future__ import annotations

import sqlite3
from collections.abc import Sequence
from typing import Any


def _greater(column: str) -> str:
    """``o.column`` after ``NEW.column`` in ORDER BY order, NULL lowest."""
    return f"(o.{column} IS NOT NULL AND (NEW.{column} IS NULL OR o.{column} > NEW.{column}))"


def beats_condition(newest_by: Sequence[str]) -> str:
    """The tuple comparison, written out column by column."""
    terms = []
    for i, column in enumerate(newest_by):
        ties = [f"o.{earlier} IS NEW.{earlier}" for earlier in newest_by[:i]]
        terms.append("(" + " AND ".join([*ties, _greater(column)]) + ")")
    return " OR ".join(terms)


def conflict_condition(rules: Sequence[Sequence[str]]) -> str:
    return " OR ".join("(" + " AND ".join(f"o.{c} = NEW.{c}" for c in rule) + ")" for rule in rules)


class SqlitePeer:
    def __init__(self, columns: Sequence[str], rules: Sequence[Sequence[str]], newest_by: Sequence[str]) -> None:
        self.columns = tuple(columns)
        self.rules = [tuple(rule) for rule in rules]
        self.newest_by = tuple(newest_by)
        self.conn = sqlite3.connect(":memory:")
        self.conn.execute(f"CREATE TABLE p ({', '.join(self.columns)})")
        for n, rule in enumerate(self.rules):
            self._unique_index(n, rule)
        self.valid = True
        self._make_trigger()

    def _unique_index(self, n: int, rule: Sequence[str]) -> None:
        self.conn.execute(f"CREATE UNIQUE INDEX p_rule{n} ON p ({', '.join(rule)})")

    def _make_trigger(self) -> None:
        self.conn.execute("DROP TRIGGER IF EXISTS p_newest")
        if not self.newest_by or not self.rules:
            return
        self.conn.execute(
            "CREATE TRIGGER p_newest BEFORE INSERT ON p WHEN EXISTS (SELECT 1 FROM p AS o WHERE "
            f"({conflict_condition(self.rules)}) AND ({beats_condition(self.newest_by)})) "
            "BEGIN SELECT RAISE(IGNORE); END"
        )

    def _insert(self, verb: str, values: Sequence[Any]) -> int:
        marks = ", ".join("?" * len(self.columns))
        return self.conn.execute(f"{verb} INTO p VALUES ({marks})", tuple(values)).rowcount

    # ------------------------------------------------------------- writes --

    def stage(self, values: Sequence[Any]) -> None:
        if self.valid:
            self._insert("INSERT OR REPLACE", values)

    def write_main(self, values: Sequence[Any], nothing_staged: bool) -> None:
        """A main row keeps the peer right only when nothing is staged (main
        rows come first) and it conflicts with no row (plain INSERT takes it)."""
        if not self.valid:
            return
        if not nothing_staged:
            self.valid = False
            return
        try:
            self.valid = self._insert("INSERT", values) == 1  # 0: the trigger skipped it
        except sqlite3.IntegrityError:
            self.valid = False

    def add_rule(self, rule: Sequence[str], nothing_staged: bool) -> None:
        if not self.valid:
            return
        if not nothing_staged:
            self.valid = False
            return
        try:
            self._unique_index(len(self.rules), rule)
        except sqlite3.IntegrityError:
            self.valid = False
            return
        self.rules.append(tuple(rule))
        self._make_trigger()

    def delete_keys(self, rule: Sequence[str], keys: Sequence[Sequence[Any]]) -> int:
        if not self.valid:
            return 0
        condition = " AND ".join(f"{c} = ?" for c in rule)
        removed = 0
        for key in keys:
            removed += self.conn.execute(f"DELETE FROM p WHERE {condition}", tuple(key)).rowcount
        return removed

    # -------------------------------------------------------------- reads --

    def rows(self) -> list[tuple[Any, ...]]:
        """The rows in rowid order: every replacement appends, so this is the
        order a merge leaves."""
        return self.conn.execute(f"SELECT {', '.join(self.columns)} FROM p ORDER BY rowid").fetchall()
