"""``Table.delete_keys``: current rows removed by their key under one rule.

First both tables are made to hold exactly the current rows (the staged
rows that were superseded or dropped go, and so do the main rows staged
rows hide); then every row whose key under the rule equals one of the keys
goes from either table. Done in that order, the removal is final: nothing
is left behind that a later merge, read or ``find`` could bring back, and a
row staged afterwards is a new row.

The keys travel as one JSON array bound to one parameter and read by
``json_each``, whatever their number: integers and reals as JSON numbers
(which SQLite reads back exactly; infinities as 9e999), text as JSON
strings, NULL as null, and blobs, which JSON cannot carry, as ``X'..'``
literals of a small table the JSON refers to by position.
"""

import json
import math
from collections.abc import Iterable, Mapping

from norvane import _native
from norvane import frames as _frames
from norvane import values as _values
from norvane.call_options import DEFAULT_OPTIONS, CallOptions
from norvane.connections import Connection
from norvane.table_merge import TableInfo, describe, refuse_observers
from norvane.table_state import StateSql, plain_cursor, quote, walk
from norvane.transactions import AllOrNothing

__all__ = ["check_keys", "delete_keys", "key_list"]

Key = tuple[object, ...]


def key_list(keys: object) -> list[object]:
    """The keys of an iterable; a str, bytes, mapping or frame is refused."""
    if (
        isinstance(keys, (str, bytes, bytearray, memoryview, Mapping))
        or _frames.is_frame(keys)
        or not isinstance(keys, Iterable)
    ):
        raise TypeError(
            f"keys must be an iterable of key tuples (or of values for a one-column rule), not {type(keys).__name__}"
        )
    return list(keys)


def check_keys(keys: list[object], width: int, rule: str) -> list[Key]:
    """The keys as tuples of stored values, `width` to a key: a tuple (or
    list) per key, or a bare value where the rule has one column."""
    checked: list[Key] = []
    for n, key in enumerate(keys):
        if isinstance(key, tuple) or (width > 1 and isinstance(key, list)):
            items = tuple(key)
        elif width == 1:
            items = (key,)
        else:
            raise TypeError(
                f"key {n}: rule {rule!r} has {width} columns, so each key is a tuple, not a {type(key).__name__}"
            )
        if len(items) != width:
            raise ValueError(f"key {n} has {len(items)} values; rule {rule!r} has {width} columns")
        checked.append(
            tuple(
                _values.convert(v, lambda n=n, i=i: f"key {n}, value {i}")  # type: ignore[misc]
                for i, v in enumerate(items)
            )
        )
    return checked


def delete_keys(
    conn: Connection, name: str, rule: str, keys: list[object], commit: bool, options: CallOptions = DEFAULT_OPTIONS
) -> int:
    """Removes the current rows whose key under `rule` is one of `keys`;
    returns how many. All or nothing."""
    with AllOrNothing(conn, commit, "BEGIN IMMEDIATE"):
        removed: int = _native.interruptible(conn, lambda: _DeleteKeys(conn, name, rule, keys, options).run())
        return removed


class _DeleteKeys:
    def __init__(self, conn: Connection, name: str, rule: str, keys: list[object], options: CallOptions) -> None:
        self.conn = conn
        self.options = options
        self.name = name
        self.rule = rule
        self.given = keys
        self.cursor = plain_cursor(conn)

    def run(self) -> int:
        info = describe(self.cursor, self.conn, self.name)
        rule_name, positions = self._rule_positions(info)
        keys = check_keys(self.given, len(positions), rule_name)
        refuse_observers(self.conn, info, "delete_keys")
        sql = StateSql(info.name, info.columns, info.rules, info.newest_by)
        self._keep_current_only(info, sql)
        if not keys:
            return 0
        keys_sql, params = key_table(keys, len(positions))
        removed = 0
        for table in (sql.main, sql.staging):
            self.cursor.execute(f"DELETE FROM {table} WHERE {keys_match(positions, info, keys_sql)}", params)
            removed += int(self.cursor.rowcount)
        return removed

    def _rule_positions(self, info: TableInfo) -> tuple[str, tuple[int, ...]]:
        for rule_name, positions in info.rule_names.items():
            if rule_name.lower() == self.rule.lower():
                return rule_name, positions
        known = ", ".join(repr(n) for n in info.rule_names) or "none"
        raise ValueError(f"table {info.name} has no rule {self.rule!r} (rules: {known})")

    def _keep_current_only(self, info: TableInfo, sql: StateSql) -> None:
        """Deletes the superseded and dropped staged rows and the main rows
        that staged rows hide, leaving exactly the current rows."""
        if not sql.rules:
            return
        if not info.newest_by:
            # The hidden main rows first: superseded staged rows hide them too.
            self.cursor.execute(f"DELETE FROM {sql.main} WHERE rowid IN ({sql.hidden_ids()})")
            self.cursor.execute(f"DELETE FROM {sql.staging} WHERE NOT ({sql.newest_staged_where()})")
            return
        state, _ = walk(self.cursor.execute(sql.with_newest()), len(sql.rules), self.options.walk_path)
        for table, ids in ((sql.main, state.main_hidden), (sql.staging, state.staged_lost)):
            if ids:
                self.cursor.execute(
                    f"DELETE FROM {table} WHERE rowid IN (SELECT value FROM json_each(?))", (json.dumps(sorted(ids)),)
                )


def keys_match(positions: tuple[int, ...], info: TableInfo, keys_sql: str) -> str:
    """Rows whose rule columns equal some key (the column on the left, so
    its affinity and collation apply as to a bound parameter); the WITH
    clause stays inside, where it leaves the statement a DELETE whose
    rowcount the drivers report."""
    cols = ", ".join(quote(info.columns[p]) for p in positions)
    keys = ", ".join(f"k{i}" for i in range(len(positions)))
    if len(positions) > 1:
        cols = f"({cols})"
    return f"{cols} IN ({keys_sql} SELECT {keys} FROM norvane_keys)"


def key_table(keys: list[Key], width: int) -> tuple[str, tuple[str]]:
    """A WITH clause defining norvane_keys(k0, k1, ...) from one JSON
    parameter, and that parameter."""
    blobs: list[bytes] = []
    text = "[" + ",".join("[" + ",".join(_json_value(v, blobs) for v in key) + "]" for key in keys) + "]"
    items = []
    for i in range(width):
        plain = f"json_extract(value, '$[{i}]')"
        if blobs:
            plain = (
                f"CASE json_type(value, '$[{i}]') WHEN 'object' THEN (SELECT b FROM norvane_blobs "
                f"WHERE n = json_extract(value, '$[{i}].b')) ELSE {plain} END"
            )
        items.append(f"{plain} AS k{i}")
    clause = "WITH "
    if blobs:
        literals = ", ".join(f"({n}, X'{b.hex()}')" for n, b in enumerate(blobs))
        clause += f"norvane_blobs(n, b) AS (VALUES {literals}), "
    clause += f"norvane_keys AS (SELECT {', '.join(items)} FROM json_each(?))"
    return clause, (text,)


def _json_value(value: object, blobs: list[bytes]) -> str:
    """A stored value as JSON text; an infinity as SQLite writes it (9e999),
    which reads back as the same infinity; a blob as its place in `blobs`."""
    if isinstance(value, float) and math.isinf(value):
        return "9e999" if value > 0 else "-9e999"
    if isinstance(value, (bytes, bytearray, memoryview)):
        blobs.append(bytes(value))
        return '{"b":%d}' % (len(blobs) - 1)
    return json.dumps(value, ensure_ascii=False)
