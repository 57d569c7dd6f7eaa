"""Frames in and out of a table: pandas and polars DataFrames, pyarrow tables
and record batch readers, and anything with ``__arrow_c_stream__``.

In: a frame's columns are matched to the table's by name; each column is
converted whole (Arrow or numpy to Python lists) and the columns are
interleaved into one flat list of values per chunk of rows, already as SQLite
stores them, for ``_native.stage_values``.

Out: the rows of a read, column by column, each column typed by the one
storage class it holds.

pyarrow and pandas are optional (``norvane[arrow]``, ``norvane[pandas]``): a
call that needs one that is missing raises an ``ImportError`` naming the extra.
"""

import datetime as _dt
import importlib
import sys
from collections.abc import Callable, Generator, Iterator, Sequence
from itertools import islice
from typing import TYPE_CHECKING, Any, cast

from norvane import values as _values

if TYPE_CHECKING:
    from norvane.table import Params, Table

__all__ = ["is_frame", "to_arrow", "to_pandas", "value_chunks"]

# Rows converted at a time: large enough that per-chunk work vanishes, small
# enough that a chunk's Python objects stay a modest part of memory.
CHUNK_ROWS = 65536
# Rows a read for a frame takes at a time before spreading them into columns.
_READ_ROWS = 4096

_Where = Callable[[], str]


def _require(module: str, purpose: str, extra: str) -> Any:
    try:
        return importlib.import_module(module)
    except ImportError as exc:
        raise ImportError(f"{purpose} needs {module}, which is not installed: pip install norvane[{extra}]") from exc


def _pyarrow(purpose: str, extra: str = "arrow") -> Any:
    _require("numpy", purpose, extra)
    return _require("pyarrow", purpose, extra)


def _instance_of(obj: object, module: str, *names: str) -> bool:
    """Whether obj is one of the named classes of a module already imported
    (a frame's library is imported by whoever made the frame)."""
    loaded = sys.modules.get(module)
    if loaded is None:
        return False
    return isinstance(obj, tuple(getattr(loaded, name) for name in names if hasattr(loaded, name)))


def _frame_kind(obj: object) -> str | None:
    package = type(obj).__module__.partition(".")[0]
    if package == "pandas" and _instance_of(obj, "pandas", "DataFrame"):
        return "pandas"
    if package == "polars" and _instance_of(obj, "polars", "DataFrame"):
        return "polars"
    if package == "pyarrow" and _instance_of(obj, "pyarrow", "Table", "RecordBatch", "RecordBatchReader"):
        return "arrow"
    if hasattr(type(obj), "__arrow_c_stream__"):
        return "stream"
    return None


def is_frame(obj: object) -> bool:
    """Whether ``stage`` takes obj as a frame rather than as rows."""
    return _frame_kind(obj) is not None


# ------------------------------------------------------------------- in --


class _Columns:
    """A frame's column names matched to a table's, as dict keys are: the
    table's spelling first, then ignoring ASCII case."""

    def __init__(self, table: str, columns: tuple[str, ...], names: Sequence[object]) -> None:
        exact = {name: n for n, name in enumerate(columns)}
        folded = {name.lower(): n for n, name in enumerate(columns)}
        self.width = len(columns)
        self.names = columns
        self.positions: list[int] = []
        given: dict[int, object] = {}
        for name in names:
            if not isinstance(name, str):
                raise TypeError(f"frame column {name!r}: column names must be str, not {type(name).__name__}")
            position = exact.get(name, folded.get(name.lower()))
            if position is None:
                raise ValueError(f"frame column {name!r} is not a column of {table} (columns: {', '.join(columns)})")
            if position in given:
                raise ValueError(f"frame column {columns[position]!r} is given twice")
            given[position] = name
            self.positions.append(position)

    def flat(self, converted: list[list[object]], count: int) -> list[object]:
        """The rows' values in one list, row after row in table order (slice
        assignment interleaves whole columns without a tuple per row);
        columns the frame lacks hold NULL."""
        width = self.width
        values: list[object] = [None] * (count * width)
        for position, column in zip(self.positions, converted):
            values[position::width] = column
        return values


def _chunk_ranges(total: int) -> Iterator[tuple[int, int]]:
    for start in range(0, total, CHUNK_ROWS):
        yield start, min(CHUNK_ROWS, total - start)


def value_chunks(frame: object, table: str, columns: tuple[str, ...]) -> Iterator[list[object]]:
    """The frame's rows a chunk at a time, each chunk one flat list of values,
    row after row in the table's column order, every value converted as SQLite
    stores it. Errors name the row (counted from 0 over the whole frame) and
    the column."""
    kind = _frame_kind(frame)
    if kind == "pandas":
        return _pandas_chunks(frame, table, columns)
    pa = _pyarrow(f"staging a {type(frame).__name__}")
    if kind == "polars":
        frame = cast(Any, frame).to_arrow()
    elif kind == "stream":
        frame = pa.RecordBatchReader.from_stream(frame)
    if isinstance(frame, pa.RecordBatch):
        frame = pa.Table.from_batches([frame])
    if isinstance(frame, pa.Table):
        return _arrow_table_chunks(frame, table, columns)
    return _arrow_reader_chunks(frame, table, columns)


def _arrow_table_chunks(frame: Any, table: str, columns: tuple[str, ...]) -> Iterator[list[object]]:
    mapping = _Columns(table, columns, frame.column_names)
    names = frame.column_names
    for start, count in _chunk_ranges(frame.num_rows):
        piece = frame.slice(start, count)
        converted = [_from_arrow(piece.column(n).combine_chunks(), names[n], start) for n in range(len(names))]
        yield mapping.flat(converted, count)


def _arrow_reader_chunks(reader: Any, table: str, columns: tuple[str, ...]) -> Iterator[list[object]]:
    names = reader.schema.names
    mapping = _Columns(table, columns, names)
    offset = 0
    for batch in reader:
        for start, count in _chunk_ranges(batch.num_rows):
            piece = batch.slice(start, count)
            converted = [_from_arrow(piece.column(n), names[n], offset + start) for n in range(len(names))]
            yield mapping.flat(converted, count)
        offset += batch.num_rows


def _pandas_chunks(frame: Any, table: str, columns: tuple[str, ...]) -> Iterator[list[object]]:
    """A pandas frame's columns (and index levels that name table columns),
    each through Arrow unless it holds Python objects."""
    pa = _pyarrow("staging a pandas DataFrame", "pandas")
    pd = sys.modules["pandas"]
    names: list[object] = []
    sources: list[Any] = []
    index = frame.index
    if not (isinstance(index, pd.RangeIndex) and index.name is None):
        lookup = {name.lower() for name in columns}
        if not all(isinstance(name, str) and name.lower() in lookup for name in index.names):
            raise ValueError(
                f"the frame's index {list(index.names)!r} is not made of columns of {table}: "
                "call reset_index() to stage it as columns (naming its levels after columns), "
                "or reset_index(drop=True) to leave it out"
            )
        for level, name in enumerate(index.names):
            names.append(name)
            sources.append(index.get_level_values(level))
    for position, name in enumerate(frame.columns):
        names.append(name)
        sources.append(frame.iloc[:, position])
    mapping = _Columns(table, columns, names)
    # Columns of Python objects are read as lists; the others through Arrow.
    columns_read: list[tuple[list[Any] | None, Any]] = [
        (source.tolist(), None) if source.dtype == object else (None, pa.chunked_array([pa.Array.from_pandas(source)]))
        for source in sources
    ]
    for start, count in _chunk_ranges(len(frame)):
        converted: list[list[object]] = []
        for name, (objects, arrow) in zip(names, columns_read):
            if objects is not None:
                converted.append(_from_python(objects[start : start + count], str(name), start))
            else:
                piece = arrow.slice(start, count).combine_chunks()
                converted.append(_from_arrow(piece, str(name), start))
        yield mapping.flat(converted, count)


def _from_python(values: list[Any], name: str, offset: int) -> list[object]:
    """An object column: text passes as it is; a NaN is a missing value, as
    pandas marks them; everything else goes through the table of values."""
    kinds = set(map(type, values))
    if kinds <= {str, type(None)} and all(v is None or v.isascii() for v in values):
        return values
    out: list[object] = []
    for n, value in enumerate(values):
        if isinstance(value, float) and value != value:
            out.append(None)
        else:
            out.append(_values.convert(value, lambda: f"row {offset + n}, column {name!r}"))
    return out


# Arrow type to its conversion, chosen by the type's predicate in pyarrow.types.
def _from_arrow(array: Any, name: str, offset: int) -> list[object]:
    """One Arrow column as a list of storable Python values."""
    pa = sys.modules["pyarrow"]
    types = pa.types
    kind = array.type
    if types.is_dictionary(kind):
        array = array.dictionary_decode()
        kind = array.type
    if types.is_null(kind):
        return [None] * len(array)
    if types.is_boolean(kind):
        return _integers(array.cast(pa.int64()))
    if types.is_integer(kind):
        if types.is_uint64(kind):
            _check_uint64(array, name, offset)
        return _integers(array)
    if types.is_floating(kind):
        return _reals(array.cast(pa.float64()) if not types.is_float64(kind) else array)
    if types.is_string(kind) or types.is_large_string(kind) or _is(types, "is_string_view", kind):
        return _objects(array)
    if (
        types.is_binary(kind)
        or types.is_large_binary(kind)
        or types.is_fixed_size_binary(kind)
        or _is(types, "is_binary_view", kind)
    ):
        return _objects(array)
    if types.is_timestamp(kind):
        return _timestamps(array, name, offset)
    if types.is_date(kind):
        return [None if v is None else v.isoformat() for v in array.to_pylist()]
    if types.is_time(kind):
        return _times(array)
    if types.is_decimal(kind):
        return [None if v is None else str(v) for v in array.to_pylist()]
    if types.is_duration(kind):
        return _durations(array, name, offset)
    if types.is_nested(kind):
        return [
            None if v is None else _values.to_json(v, lambda: f"row {offset + n}, column {name!r}")
            for n, v in enumerate(array.to_pylist())
        ]
    raise TypeError(f"frame column {name!r}: cannot store Arrow type {kind}")


def _is(types: Any, predicate: str, kind: Any) -> bool:
    """Predicates that older pyarrow releases lack are false there."""
    test = getattr(types, predicate, None)
    return bool(test(kind)) if test is not None else False


def _with_nulls(array: Any, filled: Any) -> list[object]:
    """numpy values of an array whose nulls were filled, with None put back."""
    if not array.null_count:
        return list(filled.tolist())
    mask = array.is_null().to_numpy(zero_copy_only=False)
    boxed = filled.astype(object)
    boxed[mask] = None
    return list(boxed.tolist())


def _integers(array: Any) -> list[object]:
    if not array.null_count:
        return list(array.to_numpy().tolist())
    return _with_nulls(array, array.fill_null(0).to_numpy())


def _check_uint64(array: Any, name: str, offset: int) -> None:
    np = sys.modules["numpy"]
    big = array.fill_null(0).to_numpy() > _values.INT_MAX
    if big.any():
        n = int(np.argmax(big))
        raise ValueError(f"row {offset + n}, column {name!r}: {array[n].as_py()} does not fit SQLite's 64-bit INTEGER")


def _reals(array: Any) -> list[object]:
    """Reals, with NaN as NULL: that is how pandas marks a missing number."""
    np = sys.modules["numpy"]
    filled = array.to_numpy(zero_copy_only=False)  # nulls come out as NaN
    missing = np.isnan(filled)
    if not missing.any():
        return list(filled.tolist())
    boxed = filled.astype(object)
    boxed[missing] = None
    return list(boxed.tolist())


def _objects(array: Any) -> list[object]:
    return list(array.to_numpy(zero_copy_only=False).tolist())


_NANOS = {"s": 1_000_000_000, "ms": 1_000_000, "us": 1000, "ns": 1}


def _raw(array: Any) -> list[int | None]:
    """The integers behind a temporal array (in its unit)."""
    pa = sys.modules["pyarrow"]
    width = pa.int32() if array.type.bit_width == 32 else pa.int64()
    return list(array.view(width).to_pylist())


def _timestamps(array: Any, name: str, offset: int) -> list[object]:
    """As datetimes are stored: naive as they are, zoned in UTC with +00:00
    (Arrow keeps zoned timestamps as UTC instants already)."""
    scale = _NANOS[array.type.unit]
    suffix = "+00:00" if array.type.tz is not None else ""
    out: list[object] = []
    for n, raw in enumerate(_raw(array)):
        if raw is None:
            out.append(None)
            continue
        try:
            out.append(_values.format_nanoseconds(raw * scale) + suffix)
        except OverflowError:
            raise ValueError(f"row {offset + n}, column {name!r}: timestamp outside the years 1 to 9999") from None
    return out


def _times(array: Any) -> list[object]:
    scale = _NANOS[array.type.unit]
    midnight = _dt.datetime(1970, 1, 1)
    out: list[object] = []
    for raw in _raw(array):
        if raw is None:
            out.append(None)
            continue
        micros, rest = divmod(raw * scale, 1000)
        moment = (midnight + _dt.timedelta(microseconds=micros)).time()
        out.append(moment.isoformat() if not rest else moment.isoformat("microseconds") + f"{rest:03d}")
    return out


def _durations(array: Any, name: str, offset: int) -> list[object]:
    """Durations as whole microseconds; a nanosecond remainder would be lost,
    so it is refused."""
    scale = _NANOS[array.type.unit]
    out: list[object] = []
    for n, raw in enumerate(_raw(array)):
        if raw is None:
            out.append(None)
            continue
        micros, rest = divmod(raw * scale, 1000)
        if rest:
            raise ValueError(f"row {offset + n}, column {name!r}: a duration of {raw} ns is not whole microseconds")
        out.append(_values.convert(micros, lambda: f"row {offset + n}, column {name!r}"))
    return out


# ------------------------------------------------------------------ out --


def _selected_names(table: "Table", select: str | Sequence[str] | None) -> list[str]:
    if select is None:
        return list(table.columns())
    if isinstance(select, str):
        return [select]
    return list(select)


def _column_kinds(values: Sequence[object]) -> set[type]:
    kinds = set(map(type, values))
    kinds.discard(type(None))
    return kinds


def _exact_reals(values: Sequence[object]) -> bool:
    """Whether every integer among the values is exact as a double."""
    return all(float(v) == v for v in values if type(v) is int)


def _arrow_column(pa: Any, values: Sequence[object], name: str) -> Any:
    """One column of a read as an Arrow array of its natural type."""
    kinds = _column_kinds(values)
    if not kinds:
        return pa.nulls(len(values))
    if kinds == {int}:
        return pa.array(values, type=pa.int64())
    if kinds == {float} or (kinds == {int, float} and _exact_reals(values)):
        return pa.array(values, type=pa.float64())
    if kinds == {str}:
        return pa.array(values, type=pa.string())
    if kinds == {bytes}:
        return pa.array(values, type=pa.binary())
    held = ", ".join(sorted(kind.__name__ for kind in kinds))
    raise ValueError(
        f"column {name!r} holds {held}: an Arrow column takes one type (to_pandas gives such a column as objects)"
    )


def _read_columns(
    table: "Table",
    where: str | None,
    params: "Params",
    select: str | Sequence[str] | None,
    order_by: str | Sequence[str],
    limit: int | None,
    offset: int,
) -> tuple[list[str], list[list[object]]]:
    """The selected names and the read's values column by column. Rows are
    read a batch at a time and spread into the columns at once, so memory
    holds the columns and one batch of rows, never every row as a tuple."""
    rows = table.iter(
        where, params, select=select, order_by=order_by, limit=limit, offset=offset, batch_size=_READ_ROWS
    )
    try:
        names = _selected_names(table, select)
        columns: list[list[object]] = [[] for _ in names]
        while batch := list(islice(rows, _READ_ROWS)):
            for column, values in zip(columns, zip(*batch)):
                column += values
        return names, columns
    finally:
        if isinstance(rows, Generator):
            rows.close()


def to_arrow(
    table: "Table",
    where: str | None,
    params: "Params",
    select: str | Sequence[str] | None,
    order_by: str | Sequence[str],
    limit: int | None,
    offset: int,
) -> Any:
    pa = _pyarrow("to_arrow")
    names, columns = _read_columns(table, where, params, select, order_by, limit, offset)
    arrays = [_arrow_column(pa, values, name) for values, name in zip(columns, names)]
    return pa.Table.from_arrays(arrays, names=names)


def to_pandas(
    table: "Table",
    where: str | None,
    params: "Params",
    select: str | Sequence[str] | None,
    order_by: str | Sequence[str],
    limit: int | None,
    offset: int,
) -> Any:
    pd = _require("pandas", "to_pandas", "pandas")
    pa = _pyarrow("to_pandas", "pandas")
    names, columns = _read_columns(table, where, params, select, order_by, limit, offset)
    nullable = {
        pa.int64(): pd.Int64Dtype(),
        pa.float64(): pd.Float64Dtype(),
        pa.string(): pd.StringDtype(),
    }
    series: dict[int, Any] = {}
    for n, values in enumerate(columns):
        kinds = _column_kinds(values)
        if kinds and (
            kinds <= {int} or kinds <= {float} or kinds <= {str} or (kinds == {int, float} and _exact_reals(values))
        ):
            array = _arrow_column(pa, values, names[n])
            series[n] = pa.chunked_array([array]).to_pandas(types_mapper=nullable.get)
        else:
            series[n] = pd.Series(values, dtype=object)
    frame = pd.DataFrame(series, copy=False)
    frame.columns = names
    return frame
