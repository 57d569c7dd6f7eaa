"""JSON and NDJSON input of ``norvane stage``, read as streams: objects to
tuples in the table's column order, values keeping their JSON types."""

import io
import json
import re
from collections.abc import Iterator, Sequence

from norvane.cli.column_types import CONVERTERS, INT_MAX, INT_MIN, Kind, value_fits
from norvane.cli.errors import DataError
from norvane.cli.source import Source, decode_error

__all__ = ["json_rows", "ndjson_rows"]

_READ = 1 << 20  # characters per read of a JSON array

_WHITESPACE = re.compile(r"[ \t\n\r]*")


class _Constant(ValueError):
    """NaN or Infinity, which JSON does not have."""


def _reject_constant(name: str) -> object:
    raise _Constant(name)


_LOADS = json.JSONDecoder(parse_constant=_reject_constant)


def _json_scalar(value: object) -> bool:
    return value is None or type(value) in (str, int, float, bool)


class _JsonRows:
    """Objects to tuples in table order, checked value by value."""

    def __init__(self, table: str, columns: Sequence[str], overrides: dict[str, Kind], name: str) -> None:
        self.table = table
        self.columns = tuple(columns)
        self.exact = {column: n for n, column in enumerate(columns)}
        self.folded = {column.lower(): n for n, column in enumerate(columns)}
        self.kinds: dict[int, Kind] = {}
        for column, kind in overrides.items():
            if column.lower() not in self.folded:
                raise DataError(f"--type {column}: {table} has no such column")
            self.kinds[self.folded[column.lower()]] = kind
        self.name = name

    def row(self, item: object, line: int) -> tuple[object, ...]:
        if type(item) is not dict:
            raise DataError(f"{self.name}: line {line}: expected a JSON object, not {_json_kind(item)}")
        values: list[object] = [None] * len(self.columns)
        for key, value in item.items():
            position = self.exact.get(key)
            if position is None:
                position = self.folded.get(key.lower())
                if position is None:
                    raise DataError(
                        f"{self.name}: line {line}: unknown column {key!r}: "
                        f"{self.table} has columns {', '.join(self.columns)}"
                    )
            values[position] = self.value(value, position, line)
        return tuple(values)

    def value(self, value: object, position: int, line: int) -> object:
        if not _json_scalar(value):
            raise DataError(
                f"{self.name}: line {line}: column {self.columns[position]}: unsupported value "
                f"({_json_kind(value)}; values are strings, numbers, booleans or null)"
            )
        kind = self.kinds.get(position)
        if kind is not None and value is not None:
            value = self.as_kind(value, kind, position, line)
        if type(value) is bool:
            return int(value)
        if type(value) is int and not INT_MIN <= value <= INT_MAX:
            raise DataError(f"{self.name}: line {line}: column {self.columns[position]}: {value} does not fit 64 bits")
        if type(value) is str and not value.isascii():
            try:
                value.encode()
            except UnicodeEncodeError:
                raise DataError(
                    f"{self.name}: line {line}: column {self.columns[position]}: text that is not valid Unicode"
                ) from None
        return value

    def as_kind(self, value: object, kind: Kind, position: int, line: int) -> object:
        if kind == "text":
            return value if isinstance(value, str) else json.dumps(value)
        if isinstance(value, str) and value_fits(kind, value):
            return CONVERTERS[kind](value)
        if kind == "real" and type(value) in (int, float):
            return float(value)  # type: ignore[arg-type]
        if kind == "integer" and type(value) is int:
            return value
        raise DataError(
            f"{self.name}: line {line}: {value!r} in column {self.columns[position]} is not "
            f"{'an' if kind == 'integer' else 'a'} {kind}"
        )


def _json_kind(value: object) -> str:
    names = {dict: "an object", list: "an array", str: "a string", int: "a number", float: "a number"}
    return "null" if value is None else names.get(type(value), type(value).__name__)


def ndjson_rows(
    source: Source, table: str, columns: Sequence[str], overrides: dict[str, Kind]
) -> Iterator[tuple[object, ...]]:
    """One JSON object per line; blank lines are skipped."""
    rows = _JsonRows(table, columns, overrides, source.name)
    text = source.text()
    line = 0
    try:
        for line, content in enumerate(text, 1):
            if content.strip():
                try:
                    item = _LOADS.decode(content)
                except json.JSONDecodeError as error:
                    raise DataError(f"{source.name}: line {line}: malformed JSON ({error.msg})") from None
                except _Constant as error:
                    raise DataError(f"{source.name}: line {line}: malformed JSON ({error} is not JSON)") from None
                yield rows.row(item, line)
    except UnicodeDecodeError as error:
        raise decode_error(source, error) from None


def json_rows(
    source: Source, table: str, columns: Sequence[str], overrides: dict[str, Kind]
) -> Iterator[tuple[object, ...]]:
    """A JSON array of objects, decoded one object at a time."""
    rows = _JsonRows(table, columns, overrides, source.name)
    for item, line in _array_items(source):
        yield rows.row(item, line)


def _array_items(source: Source) -> Iterator[tuple[object, int]]:
    """The items of a top-level JSON array with the line each starts on."""
    text = source.text()
    decoder = _LOADS
    state = _Buffer(text, source)

    def fail(message: str, at: int) -> DataError:
        return DataError(f"{source.name}: line {state.line_at(at)}: malformed JSON ({message})")

    state.skip_space()
    if state.peek() != "[":
        raise fail("expected a JSON array", state.pos)
    state.pos += 1
    first = True
    while True:
        state.skip_space()
        mark = state.peek()
        if mark == "]":
            state.pos += 1
            state.skip_space()
            if state.peek() != "":
                raise fail("extra data after the array", state.pos)
            return
        if mark == "":
            raise fail("the array is not closed", state.pos)
        if not first:
            if mark != ",":
                raise fail("expected ',' or ']'", state.pos)
            state.pos += 1
            state.skip_space()
        first = False
        while True:
            try:
                item, end = decoder.raw_decode(state.buf, state.pos)
            except json.JSONDecodeError as error:
                if state.more():
                    continue
                raise fail(error.msg, error.pos) from None
            except _Constant as error:
                raise fail(f"{error} is not JSON", state.pos) from None
            if end == len(state.buf) and state.more():
                continue  # a number may go on in the next read
            break
        yield item, state.line_at(state.pos)
        state.advance(end)


class _Buffer:
    """Text read in large pieces, with line numbers counted as it goes."""

    def __init__(self, text: io.TextIOWrapper, source: Source) -> None:
        self.text = text
        self.source = source
        self.buf = ""
        self.pos = 0
        self.mark = 0  # a place in buf whose line is known
        self.mark_line = 1
        self.read_size = _READ
        self.eof = False
        self.more()

    def more(self) -> bool:
        """Reads on; False at the end of the input."""
        if self.eof:
            return False
        try:
            piece = self.text.read(self.read_size)
        except UnicodeDecodeError as error:
            raise decode_error(self.source, error) from None
        if not piece:
            self.eof = True
            return False
        if self.pos > len(self.buf) // 2:
            self.mark_line = self.line_at(self.pos)
            self.buf, self.pos, self.mark = self.buf[self.pos :], 0, 0
        self.buf += piece
        self.read_size = max(self.read_size, len(self.buf))  # long items: reads grow
        return True

    def line_at(self, at: int) -> int:
        if at < self.mark:
            return self.mark_line - self.buf.count("\n", at, self.mark)
        self.mark_line += self.buf.count("\n", self.mark, at)
        self.mark = at
        return self.mark_line

    def peek(self) -> str:
        while self.pos >= len(self.buf):
            if not self.more():
                return ""
        return self.buf[self.pos]

    def skip_space(self) -> None:
        while True:
            self.pos = _WHITESPACE.match(self.buf, self.pos).end()  # type: ignore[union-attr]
            if self.pos < len(self.buf) or not self.more():
                return

    def advance(self, end: int) -> None:
        self.pos = end
