"""CSV and TSV input of ``norvane stage`` and ``delete``, read as streams:
records matched to the table's columns, typed (the types of ``column_types``)
and handed out as tuples in the table's column order, ready for
``Table.stage``. Whatever is wrong with the input raises ``DataError`` with a
message that names the line (JSON and NDJSON: ``json_input``).
"""

import csv
from collections.abc import Callable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from itertools import chain, islice, repeat

from norvane.cli.column_types import Kind, fitted, narrow, value_fits
from norvane.cli.errors import DataError
from norvane.cli.source import Source, decode_error, line_breaks

__all__ = [
    "DETECT_ROWS",
    "CsvFormat",
    "Retype",
    "Typing",
    "csv_kinds",
    "csv_rows",
]

# Columns of input that cannot be re-read are typed from this many rows.
DETECT_ROWS = 1000

csv.field_size_limit(1 << 30)  # a long text field is data, not an error


class Retype(Exception):
    """A value does not fit the type its column took from the first rows;
    the input can be read again to type its columns from all of it."""


# ----------------------------------------------------------------- columns --


@dataclass
class Layout:
    """Where each table column comes from among the input's fields."""

    table: str
    columns: tuple[str, ...]
    fields: list[str]  # the input's column names, spelt as the table spells them
    source_of: list[int | None] = field(default_factory=list)  # per table column

    @classmethod
    def match(cls, table: str, columns: Sequence[str], names: Sequence[str]) -> "Layout":
        by_name = {name.lower(): name for name in columns}
        fields: list[str] = []
        for name in names:
            column = by_name.get(name.strip().lower())
            if column is None:
                raise DataError(f"unknown column {name!r}: {table} has columns {', '.join(columns)}")
            if column in fields:
                raise DataError(f"column {column!r} is given twice")
            fields.append(column)
        place = {name: n for n, name in enumerate(fields)}
        return cls(table, tuple(columns), fields, [place.get(name) for name in columns])


# --------------------------------------------------------------------- CSV --


@dataclass
class CsvFormat:
    delimiter: str
    header: bool  # the first record names the columns
    names: list[str] | None  # names given instead of a header


@dataclass
class _Batch:
    rows: list[list[str]]
    first_line: int  # line of rows[0] when every row is one line
    lines: list[int] | None = None  # line of each row otherwise

    def line_of(self, i: int) -> int:
        return self.first_line + i if self.lines is None else self.lines[i]


class _CsvPass:
    """One pass over a CSV input: its layout, then batches of records."""

    def __init__(self, source: Source, fmt: CsvFormat, table: str, columns: Sequence[str]) -> None:
        self.source = source
        self.reader = csv.reader(source.text(), delimiter=fmt.delimiter, strict=True)
        if fmt.header:
            first = self._records(1)
            names = first[0] if first else []
            if fmt.names is not None:
                names = fmt.names
        else:
            names = fmt.names if fmt.names is not None else list(columns)
        self.layout = Layout.match(table, columns, names) if names else Layout(table, tuple(columns), [])

    def _records(self, count: int) -> list[list[str]]:
        try:
            return list(islice(self.reader, count))
        except csv.Error as error:
            raise DataError(f"{self.source.name}: line {self.reader.line_num}: {error}") from None
        except UnicodeDecodeError as error:
            raise decode_error(self.source, error) from None

    def batches(self, size: int) -> Iterator[_Batch]:
        width = len(self.layout.fields)
        while True:
            start = self.reader.line_num
            rows = self._records(size)
            if not rows:
                return
            batch = _Batch(rows, start + 1)
            if set(map(len, rows)) != {width} or self.reader.line_num - start != len(rows):
                batch = self._careful(batch, width)
                if not batch.rows:
                    continue
            yield batch

    def _careful(self, batch: _Batch, width: int) -> _Batch:
        """A batch with blank lines, records over several lines or a wrong
        number of fields: each record's line found, blank lines dropped."""
        rows: list[list[str]] = []
        lines: list[int] = []
        at = batch.first_line
        for row in batch.rows:
            if row:
                if len(row) != width:
                    raise DataError(f"{self.source.name}: line {at}: {len(row)} fields where the header has {width}")
                rows.append(row)
                lines.append(at)
            at += 1 + sum(line_breaks(value) for value in row)
        return _Batch(rows, 0, lines)


@dataclass
class Typing:
    """How each field of a CSV record is typed."""

    kinds: list[Kind]
    retype: bool = False  # a misfit of a detected type raises Retype


def csv_kinds(
    source: Source,
    fmt: CsvFormat,
    table: str,
    columns: Sequence[str],
    overrides: dict[str, Kind],
    detect: bool,
    batch_size: int,
    progress: Callable[[], None] = lambda: None,
    recorded: Mapping[str, Kind] | None = None,
) -> Typing | None:
    """The field types from a first pass over the whole input, when it can
    be re-read and detection is on; otherwise None (the staging pass then
    types from the first rows). Columns with a `recorded` type (the table's)
    or an override keep that type."""
    if not detect or not source.rereadable:
        return None
    reading = _CsvPass(source, fmt, table, columns)
    fields = reading.layout.fields
    overrides = _fixed_types(overrides, recorded, fields, table, columns)
    kinds: list[Kind] = [overrides.get(name, "integer") for name in fields]
    open_ = [name not in overrides for name in fields]
    for batch in reading.batches(batch_size):
        for n, values in enumerate(zip(*batch.rows)):
            if open_[n]:
                kinds[n] = narrow(kinds[n], values)
                open_[n] = kinds[n] != "text"
        progress()
        if not any(open_):
            break
    return Typing(kinds)


def _fixed_types(
    overrides: dict[str, Kind],
    recorded: Mapping[str, Kind] | None,
    fields: list[str],
    table: str,
    columns: Sequence[str],
) -> dict[str, Kind]:
    """The fields whose type is not detected: the table's recorded types of
    the fields the input has, then the overrides, which must name fields."""
    for name in overrides:
        if name not in fields:
            known = name in columns
            raise DataError(
                f"--type {name}: " + ("the input has no such column" if known else f"{table} has no such column")
            )
    fixed = {name: kind for name, kind in (recorded or {}).items() if name in fields}
    fixed.update(overrides)
    return fixed


def csv_rows(
    source: Source,
    fmt: CsvFormat,
    table: str,
    columns: Sequence[str],
    overrides: dict[str, Kind],
    detect: bool,
    typing: Typing | None,
    batch_size: int,
    retype: bool = False,
    recorded: Mapping[str, Kind] | None = None,
    used: dict[str, Kind] | None = None,
) -> Iterator[tuple[object, ...]]:
    """The records as typed tuples in table order. Without `typing`, columns
    are typed from their first DETECT_ROWS values (when `detect`), and a later
    value that does not fit is an error naming its line; or, with `retype`,
    raises Retype: the caller then types the columns from the whole input
    (csv_kinds) and starts again. Either way the types are those of the whole
    input, but most inputs are read once.

    Columns with a `recorded` type (the table's) keep it: a value that does
    not fit is an error naming its line. `used`, when given, is filled with
    the type of each column given a value, as the rows are read."""
    reading = _CsvPass(source, fmt, table, columns)
    layout = reading.layout
    fields = layout.fields
    overrides = _fixed_types(overrides, recorded, fields, table, columns)
    pending: list[_Batch] = []
    if typing is None:
        if detect:
            pending = _first_batches(reading, DETECT_ROWS)
            kinds = _detect_first(pending, fields, overrides)
        else:
            kinds = [overrides.get(name, "text") for name in fields]
        typing = Typing(kinds, retype)
    batches = _chained(pending, reading.batches(batch_size))
    # Rows handed on by chain, not by a generator step per row.
    return chain.from_iterable(_typed(batch, layout, typing, source.name, overrides, used) for batch in batches)


def _first_batches(reading: _CsvPass, rows: int) -> list[_Batch]:
    for batch in reading.batches(rows):
        return [batch]
    return []


def _chained(first: list[_Batch], rest: Iterator[_Batch]) -> Iterator[_Batch]:
    yield from first
    yield from rest


def _detect_first(pending: list[_Batch], fields: list[str], overrides: dict[str, Kind]) -> list[Kind]:
    kinds: list[Kind] = [overrides.get(name, "integer") for name in fields]
    if not pending:
        return [overrides.get(name, "text") for name in fields]
    for n, values in enumerate(zip(*pending[0].rows)):
        if fields[n] not in overrides:
            kinds[n] = narrow("integer", values)
    return kinds


def _typed(
    batch: _Batch,
    layout: Layout,
    typing: Typing,
    name: str,
    overrides: dict[str, Kind],
    used: dict[str, Kind] | None,
) -> list[tuple[object, ...]]:
    count = len(batch.rows)
    fields = list(zip(*batch.rows))
    converted: list[Sequence[object]] = []
    for n, values in enumerate(fields):
        kind = typing.kinds[n]
        column = fitted(kind, values)
        if column is None:
            if typing.retype and layout.fields[n] not in overrides:
                raise Retype
            bad = next((i for i, value in enumerate(values) if not value_fits(kind, value)), None)
            if bad is None:
                raise DataError(f"{name}: the input changed while it was read")
            raise DataError(
                f"{name}: line {batch.line_of(bad)}: {values[bad]!r} in column {layout.fields[n]} "
                f"is not {'an' if kind == 'integer' else 'a'} {kind}"
            )
        converted.append(column)
        if used is not None and layout.fields[n] not in used and values.count("") != count:
            used[layout.fields[n]] = kind
    ordered = [converted[source] if source is not None else repeat(None, count) for source in layout.source_of]
    return list(zip(*ordered))
