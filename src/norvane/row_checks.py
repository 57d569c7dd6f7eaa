"""Rows to stage, checked and laid out in column order before anything is
written: tuples, lists or dicts by column name, every value as SQLite stores
it (see ``norvane.values``).
"""

from collections.abc import Mapping, Sequence
from typing import Any

from norvane import values as _values
from norvane.checks import ColumnLookup, Row

__all__ = ["RowChecker"]

_INT_MIN, _INT_MAX = _values.INT_MIN, _values.INT_MAX

# Values stored as they are that need no closer look (ints, reals and text
# do: range, NaN, encodability).
_PLAIN_TYPES = frozenset({type(None), bytes})


class RowChecker:
    """Rows to stage, checked and laid out in column order."""

    def __init__(self, table: str, columns: tuple[str, ...]) -> None:
        self.lookup = ColumnLookup(table, columns)
        self.width = len(columns)
        self.exact = {name: n for n, name in enumerate(columns)}  # keys spelt as the table does

    def check(self, rows: list[Row], start: int = 0) -> list[Sequence[object]]:
        """The rows laid out; `start` numbers the first one in messages."""
        checked: list[Sequence[object]] = []
        width, plain = self.width, _PLAIN_TYPES
        for n, row in enumerate(rows, start):
            # The common case inline: a tuple of the right width.
            laid_out: Sequence[Any] = row if type(row) is tuple and len(row) == width else self.lay_out(n, row)
            for value in laid_out:
                kind = type(value)
                if kind is str:
                    if value.isascii():
                        continue
                elif kind is int:
                    if _INT_MIN <= value <= _INT_MAX:
                        continue
                elif kind is float:
                    if value == value:  # not NaN
                        continue
                elif kind in plain:
                    continue
                laid_out = self.convert_values(n, laid_out)  # the slow look, with the messages
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

    def convert_values(self, n: int, row: Sequence[object]) -> tuple[object, ...]:
        """The row with every value as SQLite stores it (see norvane.values)."""
        columns = self.lookup.columns
        return tuple(
            _values.convert(value, lambda: f"row {n}, column {columns[position]!r}")
            for position, value in enumerate(row)
        )
