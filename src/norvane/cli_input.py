"""Input of ``norvane stage``: the input stream, CSV and TSV read as streams,
and the typing of CSV columns (JSON and NDJSON: ``cli_json``).

Every reader yields rows as tuples in the table's column order, ready for
``Table.stage``. Whatever is wrong with the input raises ``DataError`` with a
message that names the line.
"""

import codecs
import csv
import io
import math
import os
import re
import sys
from collections.abc import Callable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from itertools import chain, islice, repeat
from typing import IO, Any, Literal, TypeAlias, cast

__all__ = [
    "CONVERTERS",
    "DETECT_ROWS",
    "INT_MAX",
    "INT_MIN",
    "KINDS",
    "CsvFormat",
    "DataError",
    "Kind",
    "Retype",
    "Source",
    "csv_kinds",
    "csv_rows",
    "decode_error",
    "value_fits",
]

Kind: TypeAlias = Literal["integer", "real", "text"]
KINDS: tuple[Kind, ...] = ("integer", "real", "text")

# Columns of input that cannot be re-read are typed from this many rows.
DETECT_ROWS = 1000

INT_MIN, INT_MAX = -(2**63), 2**63 - 1


class DataError(Exception):
    """The input cannot be staged; the message is one line for the user."""


class Retype(Exception):
    """A value does not fit the type its column took from the first rows;
    the input can be read again to type its columns from all of it."""


# ------------------------------------------------------------------ source --


class Source:
    """An input file or standard input ("-"), read as bytes under a text
    decoder, with how far it has got for a progress bar."""

    def __init__(self, path: str, encoding: str) -> None:
        try:
            self.encoding = codecs.lookup(encoding).name
        except LookupError:
            raise DataError(f"unknown encoding {encoding!r}") from None
        if self.encoding == "utf-8":
            self.encoding = "utf-8-sig"  # a leading BOM is not part of the data
        self.name = "standard input" if path == "-" else path
        try:
            self.raw: IO[bytes] = sys.stdin.buffer if path == "-" else open(path, "rb")
        except OSError as error:
            raise DataError(f"{path}: {error.strerror or error}") from None
        self.start = self.raw.tell() if self._seekable() else 0
        self.size = self._size()
        self._text: io.TextIOWrapper | None = None
        self._counted: _Counted | None = None

    def _seekable(self) -> bool:
        try:
            return self.raw.seekable()
        except (OSError, ValueError):
            return False

    def _size(self) -> int | None:
        try:
            stat = os.fstat(self.raw.fileno())
        except (OSError, ValueError, io.UnsupportedOperation):
            return None
        if not self._seekable() or not (stat.st_mode & 0o170000 == 0o100000):
            return None
        return max(stat.st_size - self.start, 0)

    @property
    def rereadable(self) -> bool:
        """Whether a second pass can read the input again from the start."""
        return self._seekable() and self.size is not None

    def text(self) -> io.TextIOWrapper:
        """The input as text from its start; a new pass on every call."""
        if self._text is not None:
            self._text.detach()
            self.raw.seek(self.start)
        # A file is decoded straight from its buffer (the fast path); input
        # read once is counted as it goes, for the line of a decoding error.
        self._counted = None if self.rereadable else _Counted(self.raw, self.encoding)
        buffer = self.raw if self._counted is None else cast(IO[bytes], self._counted)
        self._text = io.TextIOWrapper(buffer, encoding=self.encoding, newline="")
        return self._text

    def line_of(self, error: UnicodeDecodeError) -> int:
        """The line of the input that the byte `error` stopped at is on. A
        file is decoded again from its start up to that byte."""
        if self._counted is not None:
            return self._counted.line_of(error)
        if self._text is not None:
            self._text.detach()
            self._text = None
        self.raw.seek(self.start)
        counted = _Counted(self.raw, self.encoding)
        text = io.TextIOWrapper(cast(IO[bytes], counted), encoding=self.encoding, newline="")
        try:
            while text.read(1 << 16):
                pass
        except UnicodeDecodeError as again:
            return counted.line_of(again)
        finally:
            text.detach()
        return counted.lines + counted.breaks_of_last() + 1  # the file was mended meanwhile: its end

    def position(self) -> int:
        """Bytes read so far (ahead of the rows handed out by a buffer)."""
        try:
            return max(self.raw.tell() - self.start, 0)
        except (OSError, ValueError):
            return 0

    def close(self) -> None:
        if self._text is not None:
            self._text.detach()
            self._text = None
        if self.raw is not sys.stdin.buffer:
            self.raw.close()


class _Counted:
    """The raw input as the text decoder reads it, a chunk at a time, with
    the line breaks of the chunks it has decoded counted. The decoder reads
    well ahead of the lines handed out, so only this count knows the line of
    a byte it cannot decode: it fails in the chunk read last."""

    def __init__(self, raw: IO[bytes], encoding: str) -> None:
        self.raw = raw
        self.lines = 0  # line breaks before the chunk read last
        self.last = b""
        self.cr = False  # the bytes counted end with "\r" (of a "\r\n" cut in two)
        # Encodings that write "\n" and "\r" as those bytes are counted as
        # bytes; the others (UTF-16 and -32) as text.
        self.encoding = encoding
        ascii_breaks = "\r\n".encode(encoding).endswith(b"\r\n")  # after a BOM, if any
        self.decoder = None if ascii_breaks else codecs.getincrementaldecoder(encoding)("replace")

    def readable(self) -> bool:
        return True

    def writable(self) -> bool:
        return False

    def seekable(self) -> bool:
        return False

    # The decoder asks before every line: an attribute, not a property. The
    # Source closes the raw input.
    closed = False

    def flush(self) -> None:
        pass

    def close(self) -> None:
        pass

    def read1(self, size: int = -1) -> bytes:
        self.lines += self._breaks(self.last)
        self.last = self.raw.read1(size) if hasattr(self.raw, "read1") else self.raw.read(size)
        return self.last

    def read(self, size: int = -1) -> bytes:
        self.lines += self._breaks(self.last)
        self.last = self.raw.read(size)
        return self.last

    def _breaks(self, data: bytes, decoder: codecs.IncrementalDecoder | None = None) -> int:
        decoder = decoder or self.decoder
        # Bytes as latin-1: one character each, "\r" and "\n" as themselves.
        text = data.decode("latin-1") if decoder is None else decoder.decode(data)
        count = _breaks(text)
        if self.cr and text[:1] == "\n":
            count -= 1
        if text:
            self.cr = text[-1] == "\r"
        return count

    def breaks_of_last(self) -> int:
        return self._breaks(self.last)

    def line_of(self, error: UnicodeDecodeError) -> int:
        # The decoder's object is the chunk read last, after any bytes it held
        # back from the chunk before (an unfinished character: no line break).
        held = max(len(error.object) - len(self.last), 0)
        part = bytes(error.object[held : max(error.start, held)])
        fresh = None if self.decoder is None else codecs.getincrementaldecoder(self.encoding)("replace")
        return self.lines + self._breaks(part, fresh) + 1


def decode_error(source: Source, error: UnicodeDecodeError) -> DataError:
    return DataError(f"{source.name}: line {source.line_of(error)}: not valid {error.encoding} text ({error.reason})")


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
                raise DataError(
                    f"unknown column {name!r}: {table} has columns {', '.join(columns)}"
                )
            if column in fields:
                raise DataError(f"column {column!r} is given twice")
            fields.append(column)
        place = {name: n for n, name in enumerate(fields)}
        return cls(table, tuple(columns), fields, [place.get(name) for name in columns])


# ------------------------------------------------------------------ typing --

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


def _fitted(kind: Kind, values: Sequence[str]) -> Sequence[object] | None:
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
    return _fitted(kind, values) is not None


def _narrow(kind: Kind, values: Sequence[str]) -> Kind:
    """The first of `kind` and the kinds after it that every value fits."""
    for candidate in KINDS[KINDS.index(kind) :]:
        if _all_fit(candidate, values):
            return candidate
    return "text"


CONVERTERS: dict[Kind, Callable[[str], Any]] = {"integer": int, "real": float, "text": str}


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


def _breaks(text: str) -> int:
    return text.count("\n") + text.count("\r") - text.count("\r\n")


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
                    raise DataError(
                        f"{self.source.name}: line {at}: {len(row)} fields where the header has {width}"
                    )
                rows.append(row)
                lines.append(at)
            at += 1 + sum(_breaks(value) for value in row)
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
                kinds[n] = _narrow(kinds[n], values)
                open_[n] = kinds[n] != "text"
        progress()
        if not any(open_):
            break
    return Typing(kinds)


def _fixed_types(
    overrides: dict[str, Kind], recorded: Mapping[str, Kind] | None, fields: list[str], table: str,
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
            kinds[n] = _narrow("integer", values)
    return kinds


def _typed(
    batch: _Batch, layout: Layout, typing: Typing, name: str, overrides: dict[str, Kind],
    used: dict[str, Kind] | None,
) -> list[tuple[object, ...]]:
    count = len(batch.rows)
    fields = list(zip(*batch.rows))
    converted: list[Sequence[object]] = []
    for n, values in enumerate(fields):
        kind = typing.kinds[n]
        column = _fitted(kind, values)
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
    ordered = [
        converted[source] if source is not None else repeat(None, count) for source in layout.source_of
    ]
    return list(zip(*ordered))
