"""The everyday Python values a table takes, and what each is stored as.

SQLite stores NULL, 64-bit integers, doubles, text and blobs. Everything else
people commonly hold is turned into one of those by one fixed table, the same
for staged rows, dicts, frames and query parameters, so that a value can be
found again with the value it was staged with:

==========================  ===================================================
value                       stored as
==========================  ===================================================
naive ``datetime``          ``isoformat(sep=" ")``
aware ``datetime``          converted to UTC first, ending in ``+00:00``
``date``, ``time``          ``isoformat()``
``Decimal``                 ``str(d)``: exact and keeping its scale, so
                            ``Decimal("1.10")`` and ``Decimal("1.1")`` are
                            different keys
``UUID``                    ``str(u)``
``bool``                    0 or 1
``dict``, ``list``          ``json.dumps(v, sort_keys=True, separators=(",", ":"))``
numpy and pandas scalars    the matching Python value
pandas ``NaT`` and ``NA``   NULL
==========================  ===================================================

A float NaN is refused: SQLite would store it as NULL without a word, which
changes a key. Any other value is a ``TypeError``.
"""

import datetime as _dt
import decimal
import json
import math
import sys
import uuid
from collections.abc import Callable
from typing import Any

__all__ = ["INT_MAX", "INT_MIN", "convert", "format_datetime", "to_json"]

INT_MIN, INT_MAX = -(2**63), 2**63 - 1

_UTC = _dt.timezone.utc


def _text(value: str, where: Callable[[], str]) -> str:
    if not value.isascii():
        try:
            value.encode()
        except UnicodeEncodeError:
            raise ValueError(f"{where()}: text that is not valid Unicode") from None
    return value


def _integer(value: int, where: Callable[[], str]) -> int:
    if not INT_MIN <= value <= INT_MAX:
        raise ValueError(f"{where()}: {value} does not fit SQLite's 64-bit INTEGER")
    return value


def _real(value: float, where: Callable[[], str]) -> float:
    if math.isnan(value):
        raise ValueError(f"{where()}: NaN (SQLite would store it as NULL; give None for a missing value)")
    return value


def format_datetime(value: _dt.datetime) -> str:
    """A datetime as text: naive ones as they are, aware ones in UTC. pandas
    Timestamps keep their nanoseconds (their isoformat writes them)."""
    if value.tzinfo is not None and value.utcoffset() is not None:
        value = value.astimezone(_UTC)
    return value.isoformat(sep=" ")


def _json_default(value: object) -> object:
    """Values inside a dict or list that JSON has no type for, by the same
    table; anything else is json's own TypeError."""
    converted = convert(value, lambda: "a value inside JSON")
    if isinstance(converted, (bytes, bytearray, memoryview)):
        raise TypeError(f"a {type(value).__name__} inside JSON has no JSON form")
    return converted


def to_json(value: object, where: Callable[[], str]) -> str:
    """A dict or list as compact JSON text with sorted keys, so that equal
    values give equal text."""
    try:
        return json.dumps(value, sort_keys=True, separators=(",", ":"), allow_nan=False, default=_json_default)
    except TypeError as exc:
        raise TypeError(f"{where()}: cannot store this {type(value).__name__} as JSON ({exc})") from None
    except ValueError as exc:
        raise ValueError(f"{where()}: cannot store this {type(value).__name__} as JSON ({exc})") from None


def _numpy_scalar(value: Any, where: Callable[[], str]) -> object:
    """A numpy scalar as the matching Python value."""
    numpy = sys.modules["numpy"]
    if isinstance(value, numpy.datetime64):
        if numpy.isnat(value):
            return None
        nanos = int(value.astype("datetime64[ns]").astype("int64"))
        return format_nanoseconds(nanos)
    return convert(value.item(), where)


def format_nanoseconds(nanos: int) -> str:
    """Nanoseconds since the epoch as a naive datetime's text, with nine
    digits of fraction when it has nanoseconds."""
    micros, rest = divmod(nanos, 1000)
    value = _EPOCH + _dt.timedelta(microseconds=micros)
    if not rest:
        return value.isoformat(sep=" ")
    return value.isoformat(sep=" ", timespec="microseconds") + f"{rest:03d}"


_EPOCH = _dt.datetime(1970, 1, 1)


def _missing_marker(value: object) -> bool:
    """pandas' NaT and NA (checked by name: pandas need not be imported)."""
    kind = type(value)
    return kind.__name__ in ("NaTType", "NAType") and kind.__module__.startswith("pandas")


def convert(value: object, where: Callable[[], str]) -> object:
    """The value SQLite stores for ``value``, or a ``TypeError`` or
    ``ValueError`` naming its place as ``where()`` gives it."""
    kind = type(value)
    plain = _PLAIN.get(kind)
    if plain is not None:
        return plain(value, where)
    if value is None or isinstance(value, (bytes, bytearray, memoryview)):
        return value
    numpy = sys.modules.get("numpy")
    if numpy is not None and isinstance(value, numpy.generic):
        return _numpy_scalar(value, where)
    if _missing_marker(value):
        return None
    if isinstance(value, bool):
        return int(value)
    if isinstance(value, int):
        return _integer(value, where)
    if isinstance(value, float):
        return _real(float(value), where)
    if isinstance(value, str):
        return _text(value, where)
    if isinstance(value, _dt.datetime):
        return format_datetime(value)
    if isinstance(value, (_dt.date, _dt.time)):
        return value.isoformat()
    if isinstance(value, decimal.Decimal):
        return str(value)
    if isinstance(value, uuid.UUID):
        return str(value)
    if isinstance(value, (dict, list)):
        return to_json(value, where)
    raise TypeError(
        f"{where()}: cannot store a {kind.__name__} (values are None, int, float, str, bytes, "
        "bool, datetime, date, time, Decimal, UUID, dict or list)"
    )


_PLAIN: dict[type, Callable[[Any, Callable[[], str]], object]] = {
    str: _text,
    int: _integer,
    float: _real,
    bool: lambda value, where: int(value),
    bytes: lambda value, where: value,
    type(None): lambda value, where: value,
    _dt.datetime: lambda value, where: format_datetime(value),
    _dt.date: lambda value, where: value.isoformat(),
    _dt.time: lambda value, where: value.isoformat(),
    decimal.Decimal: lambda value, where: str(value),
    uuid.UUID: lambda value, where: str(value),
    dict: to_json,
    list: to_json,
}
