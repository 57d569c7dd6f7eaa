"""Argument checks shared by ``Table`` and its reads: names that go into
statements unquoted, lists of names, flags and counts, ``where`` texts and
their parameters, and column names matched as SQLite matches them.

Each raises a plain ``TypeError`` or ``ValueError`` naming what is wrong.
"""

import re
from collections.abc import Iterable, Mapping, Sequence
from typing import TypeAlias

from norvane import _native
from norvane import values as _values

__all__ = [
    "ROWID_NAMES",
    "STAGING_PREFIX",
    "ColumnLookup",
    "Params",
    "Row",
    "check_count",
    "check_flag",
    "check_name",
    "check_params",
    "check_table_name",
    "check_where",
    "name_list",
    "spec_list",
]

# A row to stage: one value per column in table order, or a dict by column
# name (columns it leaves out hold NULL).
Row: TypeAlias = Sequence[object] | Mapping[str, object]
# Parameters of a query: a sequence for "?" placeholders, a mapping for
# ":name" placeholders.
Params: TypeAlias = Sequence[object] | Mapping[str, object]

_IDENTIFIER = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\Z")

# SQLite's keywords: none of them may name a table, column, index or rule,
# since the names go into statements unquoted.
_KEYWORDS = _native.KEYWORDS

# Names SQLite gives the rowid; a column so named would hide it from queries.
ROWID_NAMES = frozenset({"rowid", "oid", "_rowid_"})
# The catalog and settings tables, and the prefix of every staging table.
_CATALOG = frozenset({"index_table", "unique_table", "table_settings"})
STAGING_PREFIX = "temp_"


def check_name(name: object, what: str) -> str:
    """A plain SQL identifier, which the module can splice into statements."""
    if not isinstance(name, str):
        raise TypeError(f"{what} must be a str, not {type(name).__name__}")
    if not _IDENTIFIER.match(name):
        raise ValueError(
            f"{what} {name!r} is not a plain identifier (ASCII letters, digits and _, not starting with a digit)"
        )
    if name.upper() in _KEYWORDS:
        raise ValueError(f"{what} {name!r} is an SQL keyword")
    return name


def check_table_name(name: object) -> str:
    text = check_name(name, "table name")
    folded = text.lower()
    if folded in _CATALOG or folded.startswith("sqlite_"):
        raise ValueError(f"table name {text!r} is reserved")
    if folded.startswith(STAGING_PREFIX):
        raise ValueError(f"table name {text!r} starts with {STAGING_PREFIX!r}, the prefix of staging tables")
    return text


def name_list(value: str | Iterable[str], what: str) -> tuple[str, ...]:
    """Names given as one str or as a list of them."""
    if isinstance(value, str):
        if "," in value:
            raise ValueError(f"{what} {value!r}: give several names as a list, not joined by commas")
        return (value,)
    if isinstance(value, (bytes, Mapping)) or not isinstance(value, Iterable):
        raise TypeError(f"{what} must be a str or a list of str, not {type(value).__name__}")
    names = tuple(value)
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"{what} must hold str, not {type(name).__name__}")
    return names


def check_flag(value: object, what: str) -> None:
    if not isinstance(value, bool):
        raise TypeError(f"{what} must be True or False, not {type(value).__name__}")


def spec_list[T](specs: Iterable[T], kind: type[T], what: str) -> list[T]:
    if isinstance(specs, (str, bytes, Mapping)) or not isinstance(specs, Iterable):
        raise TypeError(f"{what} must be a list of {kind.__name__}, not {type(specs).__name__}")
    items = list(specs)
    for item in items:
        if not isinstance(item, kind):
            raise TypeError(f"{what} must hold {kind.__name__} records, not {type(item).__name__}")
    return items


def check_where(where: str) -> None:
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


def check_params(params: Params) -> tuple[object, ...] | dict[str, object]:
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
    return tuple(_values.convert(value, lambda: f"parameter {n}") for n, value in enumerate(params))


def check_count(value: object, what: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{what} must be an int, not {type(value).__name__}")
    if value < 0:
        raise ValueError(f"{what} must not be negative, not {value}")
    return value


class ColumnLookup:
    """Column names matched as SQLite matches them (ignoring ASCII case)."""

    def __init__(self, table: str, columns: tuple[str, ...]) -> None:
        self.table = table
        self.columns = columns
        self.positions = {name.lower(): n for n, name in enumerate(columns)}

    def find(self, name: object, what: str) -> int:
        if not isinstance(name, str):
            raise TypeError(f"{what}: a column name must be a str, not {type(name).__name__}")
        position = self.positions.get(name.lower())
        if position is None:
            raise ValueError(f"{what}: no column {name!r} in {self.table} (columns: {', '.join(self.columns)})")
        return position

    def column(self, name: object, what: str) -> str:
        return self.columns[self.find(name, what)]

    def position(self, column: str | int, what: str) -> int:
        if isinstance(column, int) and not isinstance(column, bool):
            if not 0 <= column < len(self.columns):
                raise ValueError(
                    f"{what}: position {column} is outside the {len(self.columns)} columns of {self.table}"
                )
            return column
        return self.find(column, what)
