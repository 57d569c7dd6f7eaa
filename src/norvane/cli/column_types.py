"""The typing of CSV columns: which values fit integer, real or text, a
column's values converted to its type at once, and the narrowest type a
column's values all fit."""

import math
import re
from collections.abc import Callable, Sequence
from typing import Any, Literal, TypeAlias

__all__ = ["CONVERTERS", "INT_MAX", "INT_MIN", "KINDS", "Kind", "fitted", "narrow", "value_fits"]

Kind: TypeAlias = Literal["integer", "real", "text"]
KINDS: tuple[Kind, ...] = ("integer", "real", "text")

INT_MIN, INT_MAX = -(2**63), 2**63 - 1

# Joins a column's values for a few whole-column tests. int() and float()
# reject it, so a value holding it never passes for a number.
_SEP = ","
_INTEGER = r"-?(?:0|[1-9][0-9]{0,18})"
_REAL = r"-?(?:0|[1-9][0-9]*)(?:\.[0-9]+)?(?:[eE][-+]?[0-9]+)?"
_ONE = {"integer": re.compile(_INTEGER), "real": re.compile(_REAL)}
# The characters a joined column may hold: a first, coarse test.
_CHARACTERS = {"integer": re.compile("[0-9,-]*"), "real": re.compile("[0-9.,-]*")}
_EXPONENT_CHARACTERS = re.compile("[0-9.eE+,-]*")
_LEADING_ZERO = re.compile(",-?0[0-9]")


def value_fits(kind: Kind, value: str) -> bool:
    if kind == "text" or value == "":
        return True
    if not _ONE[kind].fullmatch(value):
        return False
    if kind == "integer":
        return len(value) < 19 or INT_MIN <= int(value) <= INT_MAX
    return math.isfinite(float(value))


def fitted(kind: Kind, values: Sequence[str]) -> Sequence[object] | None:
    """The values as `kind` (empty ones None), or None when one does not fit.

    A column is tested as one text, its values joined by a separator: a
    few string searches rule out what int() and float() accept but a
    number of this shape is not (blanks, signs, underscores, leading zeros,
    "inf", ".5"); the conversion itself rejects the rest. Only columns with
    exponents or values beyond a double are looked at value by value."""
    if kind == "text":
        return [value or None for value in values] if "" in values else values
    joined = _SEP + _SEP.join(values) + _SEP
    if not _CHARACTERS[kind].fullmatch(joined):
        if kind == "real" and _EXPONENT_CHARACTERS.fullmatch(joined):
            return _each_fitted(kind, values)
        return None
    if (_SEP + "0" in joined or _SEP + "-0" in joined) and _LEADING_ZERO.search(joined):
        return None
    if kind == "real" and (_SEP + "." in joined or "-." in joined or "." + _SEP in joined):
        return None
    convert = CONVERTERS[kind]
    has_empty = "" in values
    column: list[Any]
    try:
        column = [convert(value) if value else None for value in values] if has_empty else list(map(convert, values))
    except ValueError:  # "1.2.3", "5-", "-"
        return None
    # Zeros and NULLs dropped: they fit. An integer beyond 64 bits does not;
    # a real beyond a double's range makes the sum infinite.
    present: list[Any] = list(filter(None, column)) if has_empty else column
    if kind == "integer":
        if present and (max(present) > INT_MAX or min(present) < INT_MIN):
            return None
    elif not math.isfinite(sum(present)):
        return _each_fitted(kind, values)
    return column


def _each_fitted(kind: Kind, values: Sequence[str]) -> Sequence[object] | None:
    if not all(value_fits(kind, value) for value in values):
        return None
    convert = CONVERTERS[kind]
    return [convert(value) if value else None for value in values]


def _all_fit(kind: Kind, values: Sequence[str]) -> bool:
    """Whether every value (empty ones are NULL) fits `kind`."""
    return fitted(kind, values) is not None


def narrow(kind: Kind, values: Sequence[str]) -> Kind:
    """The first of `kind` and the kinds after it that every value fits."""
    for candidate in KINDS[KINDS.index(kind) :]:
        if _all_fit(candidate, values):
            return candidate
    return "text"


CONVERTERS: dict[Kind, Callable[[str], Any]] = {"integer": int, "real": float, "text": str}
