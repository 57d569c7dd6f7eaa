"""The ``norvane`` command: tables from the shell.

    norvane create DB TABLE COL... [--unique NAME=COL,COL]... [--index NAME=COL,COL]... [--newest-by COL]... [--type COL=KIND]...
    norvane stage DB TABLE [FILE|-] [--csv|--tsv|--json|--nl] [--merge] ...
    norvane merge DB TABLE
    norvane delete DB TABLE --rule NAME [FILE|-] [--csv|--tsv|--json|--nl] ...
    norvane query DB TABLE [--where SQL] [-p VALUE]... [--format table|csv|tsv|json|nl]
    norvane count | tables | schema | drop
    norvane --version

A table keeps a type per column (table_settings) that every CSV or TSV stage
holds to. Exit status: 0 done, 1 a data error (one line on stderr), 2 a usage
error, 130 interrupted. A command that fails or is interrupted leaves the
database as it was, and a failed create leaves no new file.
"""

import contextlib
import csv
import functools
import json
import os
import sqlite3
import sys
import urllib.parse
from collections.abc import Callable, Iterable, Iterator, Sequence
from itertools import chain, islice
from typing import IO, Any, ParamSpec, TypeVar, cast

import click

from norvane import catalog
from norvane.cli_input import (
    KINDS,
    CsvFormat,
    DataError,
    Kind,
    Retype,
    Source,
    csv_kinds,
    csv_rows,
)
from norvane.cli_json import json_rows, ndjson_rows
from norvane.table import Index, MergeReport, Table, Unique
from norvane.table_settings import add_column_types, clear_settings, column_types_to_keep, read_settings

__all__ = ["cli", "main"]

_P = ParamSpec("_P")
_R = TypeVar("_R")

_FORMATS = {".csv": "csv", ".tsv": "tsv", ".tab": "tsv", ".json": "json", ".ndjson": "nl", ".jsonl": "nl", ".nl": "nl"}
_PAD_ROWS = 1000  # the table format pads its columns from this many rows

csv.field_size_limit(1 << 30)  # a long text field is data, not an error


def _guarded(command: Callable[_P, _R]) -> Callable[_P, _R]:
    """Data errors as one line on stderr and status 1; Ctrl-C as status 130."""

    @functools.wraps(command)
    def run(*args: _P.args, **kwargs: _P.kwargs) -> _R:
        try:
            return command(*args, **kwargs)
        except KeyboardInterrupt:
            click.echo("norvane: interrupted; nothing was changed", err=True)
            raise click.exceptions.Exit(130) from None
        except BrokenPipeError:
            _quiet_stdout()
            raise click.exceptions.Exit(0) from None
        except (DataError, sqlite3.Error, OSError, ValueError, TypeError, UnicodeError) as error:
            message = _one_line(error)
            if isinstance(error, sqlite3.Error) and _about_the_file(error) and kwargs.get("db"):
                message = f"{kwargs['db']}: {message}"
            raise click.ClickException(message) from None

    return run


# SQLite's primary result codes that are about the database file itself:
# SQLITE_PERM, BUSY, READONLY, IOERR, CORRUPT, FULL, CANTOPEN, NOTADB.
_FILE_ERRORS = frozenset({3, 5, 8, 10, 11, 13, 14, 26})


def _about_the_file(error: sqlite3.Error) -> bool:
    code = getattr(error, "sqlite_errorcode", None)
    return isinstance(code, int) and code & 0xFF in _FILE_ERRORS


def _one_line(error: BaseException) -> str:
    text = " ".join(str(error).split())
    return text or type(error).__name__


def _quiet_stdout() -> None:
    """After a reader went away (`| head`): no error at exit for the rest."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError):
        pass
    finally:
        os.close(devnull)


def _connect(path: str, mode: str) -> sqlite3.Connection:
    """The database at `path`: "ro" and "rw" need the file to exist, "rwc"
    creates it."""
    if mode != "rwc" and not os.path.isfile(path):
        raise DataError(f"no such database file: {path}")
    uri = "file:" + urllib.parse.quote(os.path.abspath(path)) + "?mode=" + mode
    return sqlite3.connect(uri, uri=True)


@contextlib.contextmanager
def _transaction(conn: sqlite3.Connection) -> Iterator[None]:
    """One write transaction for the whole command: all of it or nothing."""
    conn.execute("BEGIN IMMEDIATE")
    try:
        yield
        conn.commit()
    except BaseException:
        conn.rollback()
        raise


def _table(conn: sqlite3.Connection, name: str) -> Table:
    table = Table(conn, name)
    if not table.exists():
        raise DataError(f"no such table: {name}")
    return table


def _progress_shown(quiet: bool) -> bool:
    return not quiet and sys.stderr.isatty()


class _Bar:
    """A progress bar on stderr, made on first use; nothing when not shown."""

    def __init__(self, shown: bool, label: str, length: int | None) -> None:
        self.shown = shown and length is not None
        self.label = label
        self.length = length
        self.bar: Any = None

    def to(self, position: int) -> None:
        if not self.shown:
            return
        if self.bar is None:
            self.bar = click.progressbar(length=self.length or 0, label=self.label, file=sys.stderr)
            self.bar.__enter__()
        self.bar.update(position - self.bar.pos)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.__exit__(None, None, None)
            self.bar = None


@click.group(context_settings={"help_option_names": ["-h", "--help"]})
@click.version_option(package_name="norvane", message=f"norvane %(version)s, SQLite {sqlite3.sqlite_version}")
def cli() -> None:
    """SQLite tables with staging and newest-wins uniqueness rules."""


# ------------------------------------------------------------------ create --


def _named_columns(values: Sequence[str], option: str) -> list[tuple[str, list[str]]]:
    specs = []
    for value in values:
        name, sep, columns = value.partition("=")
        if not sep or not name.strip() or not columns.strip():
            raise click.BadParameter(f"{value!r}: expected NAME=COL,COL", param_hint=option)
        specs.append((name.strip(), [column.strip() for column in columns.split(",")]))
    return specs


@cli.command()
@click.argument("db", type=click.Path(dir_okay=False))
@click.argument("table")
@click.argument("columns", nargs=-1, required=True)
@click.option("--unique", "rules", multiple=True, metavar="NAME=COL,COL", help="A uniqueness rule: the newest row wins.")
@click.option("--index", "indexes", multiple=True, metavar="NAME=COL,COL", help="An index on the main table.")
@click.option("--newest-by", "newest_by", multiple=True, metavar="COL",
              help="A column that decides which of two rows is newer (repeat for a tuple).")
@click.option("--type", "types", multiple=True, metavar="COL=integer|real|text",
              help="Record a column's type: CSV and TSV values must fit it.")
@click.option("--replace", is_flag=True, help="Drop an existing table of this name first, with its rows.")
@_guarded
def create(db: str, table: str, columns: tuple[str, ...], rules: tuple[str, ...], indexes: tuple[str, ...],
           newest_by: tuple[str, ...], types: tuple[str, ...], replace: bool) -> None:
    """Create TABLE with COLUMNS, its rules and its indexes."""
    unique = [Unique(name, cols) for name, cols in _named_columns(rules, "--unique")]
    plain = [Index(name, cols) for name, cols in _named_columns(indexes, "--index")]
    kinds = _column_kinds(_overrides(types), columns, table)
    existed = os.path.exists(db)
    try:
        conn = _connect(db, "rwc")
        try:
            with _transaction(conn):
                catalog.prepare_catalog(conn, commit=False)
                target = Table(conn, table)
                if replace:
                    clear_settings(conn, table)
                target.create(list(columns), indexes=plain, unique=unique, newest_by=list(newest_by), replace=replace,
                              commit=False)
                if kinds:
                    add_column_types(conn, table, kinds)
        finally:
            conn.close()
    except BaseException:
        if not existed:
            _remove_if_empty(db)
        raise


def _remove_if_empty(path: str) -> None:
    """The empty file a failed create opened (its transaction rolled back,
    SQLite wrote nothing into it) goes again."""
    try:
        if os.path.getsize(path) == 0:
            os.remove(path)
    except OSError:
        pass


def _column_kinds(kinds: dict[str, Kind], columns: Sequence[str], table: str) -> dict[str, Kind]:
    """Types by hand keyed by the columns they name, as the columns are spelt."""
    by_name = {column.lower(): column for column in columns}
    named: dict[str, Kind] = {}
    for name, kind in kinds.items():
        if name.lower() not in by_name:
            raise DataError(f"--type {name}: {table} has no such column")
        named[by_name[name.lower()]] = kind
    return named




# ------------------------------------------------------------------- stage --


def _format_of(fmt: str | None, file: str) -> str:
    if fmt is not None:
        return fmt
    if file == "-":
        raise click.UsageError("standard input needs a format: --csv, --tsv, --json or --nl")
    found = _FORMATS.get(os.path.splitext(file)[1].lower())
    if found is None:
        raise click.UsageError(f"cannot tell the format of {file!r} from its name: give --csv, --tsv, --json or --nl")
    return found


def _overrides(values: Sequence[str]) -> dict[str, Kind]:
    found: dict[str, Kind] = {}
    for value in values:
        name, sep, kind = value.partition("=")
        if not sep or kind not in KINDS or not name:
            raise click.BadParameter(f"{value!r}: expected COL=integer, COL=real or COL=text", param_hint="--type")
        found[name] = kind
    return found


def _csv_format(fmt: str, delimiter: str | None, no_header: bool, columns: str | None) -> CsvFormat:
    separator = _delimiter(delimiter, fmt)
    names = None if columns is None else [name.strip() for name in columns.split(",")]
    if fmt in ("json", "nl") and (no_header or names is not None):
        raise click.UsageError("--no-header and --columns are for CSV and TSV input")
    return CsvFormat(separator, not no_header, names)


def _delimiter(value: str | None, fmt: str) -> str:
    if value is None:
        return "\t" if fmt == "tsv" else ","
    if fmt not in ("csv", "tsv"):
        raise click.UsageError("--delimiter is for CSV and TSV input")
    text = "\t" if value in ("\\t", "tab") else value
    if len(text) != 1:
        raise click.BadParameter(f"{value!r}: one character", param_hint="--delimiter")
    return text


_INPUT_OPTIONS = [
    click.option("--csv", "fmt", flag_value="csv", help="Comma-separated values."),
    click.option("--tsv", "fmt", flag_value="tsv", help="Tab-separated values."),
    click.option("--json", "fmt", flag_value="json", help="A JSON array of objects."),
    click.option("--nl", "fmt", flag_value="nl", help="One JSON object per line."),
    click.option("--delimiter", help="The field separator of CSV input."),
    click.option("--encoding", default="utf-8", show_default=True, help="The input's text encoding."),
    click.option("--no-header", is_flag=True, help="CSV input has no header row."),
    click.option("--columns", help="Column names of CSV input, comma-separated."),
    click.option("--type", "types", multiple=True, metavar="COL=integer|real|text", help="Set a column's type."),
    click.option("--no-detect-types", is_flag=True, help="Keep every CSV value text."),
    click.option("--batch-size", type=click.IntRange(min=1), default=10000, show_default=True),
]


def _input_options(command: Callable[_P, _R]) -> Callable[_P, _R]:
    """The options of commands that read rows from a file (stage, delete)."""
    for option in reversed(_INPUT_OPTIONS):
        command = option(command)
    return command


@cli.command()
@click.argument("db", type=click.Path(dir_okay=False))
@click.argument("table")
@click.argument("file", default="-", type=click.Path(dir_okay=False, allow_dash=True))
@_input_options
@click.option("--merge", "then_merge", is_flag=True, help="Merge in the same transaction.")
@click.option("--quiet", "-q", is_flag=True, help="No progress bars.")
@_guarded
def stage(
    db: str, table: str, file: str, fmt: str | None, delimiter: str | None, encoding: str, no_header: bool,
    columns: str | None, types: tuple[str, ...], no_detect_types: bool, batch_size: int, then_merge: bool,
    quiet: bool,
) -> None:
    """Stage the rows of FILE (or standard input) into TABLE."""
    fmt = _format_of(fmt, file)
    overrides = _overrides(types)
    csv_format = _csv_format(fmt, delimiter, no_header, columns)
    conn = _connect(db, "rw")
    try:
        target = _table(conn, table)
        source = Source(file, encoding)
        try:
            staged, report = _stage(target, source, fmt, csv_format, overrides,
                                    not no_detect_types, batch_size, then_merge, _progress_shown(quiet))
        finally:
            source.close()
    finally:
        conn.close()
    click.echo(f"{staged} rows staged into {table}")
    if report is not None:
        click.echo(_report_line(report))


def _stage(
    table: Table, source: Source, fmt: str, csv_format: CsvFormat, overrides: dict[str, Kind], detect: bool,
    batch_size: int, then_merge: bool, shown: bool,
) -> tuple[int, MergeReport | None]:
    report = None
    conn = cast(sqlite3.Connection, table.conn)  # the command opens host connections only
    with _transaction(conn):
        catalog.prepare_catalog(conn, commit=False)
        recorded: dict[str, Kind] = {}  # JSON keeps its own types
        empty = False
        if fmt in ("csv", "tsv"):
            recorded, empty = column_types_to_keep(conn, table.name, table.columns())
        used: dict[str, Kind] = {}
        staged = _stage_input(table, source, fmt, csv_format, overrides, detect, batch_size, shown, recorded, used)
        found = {name: kind for name, kind in used.items() if name not in recorded}
        if empty and found:  # the first stage into an empty table records its types
            add_column_types(conn, table.name, found)
        if then_merge:
            report = _merge(table, shown, commit=False)
    return staged, report


def _stage_input(
    table: Table, source: Source, fmt: str, csv_format: CsvFormat, overrides: dict[str, Kind], detect: bool,
    batch_size: int, shown: bool, recorded: dict[str, Kind], used: dict[str, Kind],
) -> int:
    """Stages the input, all or nothing. CSV columns take the table's
    recorded types; the others are typed from their first rows; when a later
    value does not fit and the input can be read again, from all of it, and
    the stage starts over. `used` hears the types CSV columns were given."""

    def stage(rows: Iterator[tuple[object, ...]], label: str) -> int:
        bar = _Bar(shown, label, source.size)
        try:
            return table.stage(rows, batch_size=batch_size, progress=lambda d, t: bar.to(source.position()),
                               commit=False)
        finally:
            bar.close()

    return _read_input(stage, source, fmt, csv_format, table.name, table.columns(), overrides, detect,
                       batch_size, shown, recorded, used)


def _read_input(
    consume: Callable[[Iterator[tuple[object, ...]], str], int], source: Source, fmt: str, csv_format: CsvFormat,
    name: str, columns: Sequence[str], overrides: dict[str, Kind], detect: bool, batch_size: int, shown: bool,
    recorded: dict[str, Kind], used: dict[str, Kind],
) -> int:
    """Hands the input's rows, typed and in the order of `columns`, to
    `consume` (which is all or nothing) and returns what it returns. CSV
    columns take their `recorded` types; the others are typed from their
    first rows; when a later value does not fit and the input can be read
    again, from all of it, and `consume` starts over. `used` hears the types
    CSV columns were given."""
    if fmt == "json":
        return consume(json_rows(source, name, columns, overrides), "staging ")
    if fmt == "nl":
        return consume(ndjson_rows(source, name, columns, overrides), "staging ")
    whole = detect and source.rereadable
    try:
        return consume(csv_rows(source, csv_format, name, columns, overrides, detect, None, batch_size, whole,
                                recorded, used), "staging ")
    except Retype:
        used.clear()
    reading = _Bar(shown, "typing  ", source.size)
    try:
        typing = csv_kinds(source, csv_format, name, columns, overrides, detect, batch_size,
                           lambda: reading.to(source.position()), recorded)
    finally:
        reading.close()
    return consume(csv_rows(source, csv_format, name, columns, overrides, detect, typing, batch_size,
                            recorded=recorded, used=used), "staging ")


# ------------------------------------------------------------------- merge --


def _merge(table: Table, shown: bool, commit: bool = True) -> MergeReport:
    bar = _Bar(shown, "merging ", None)

    def progress(done: int, total: int | None) -> None:
        if bar.length is None and total:
            bar.length = total
            bar.shown = shown
        bar.to(done)

    try:
        return table.merge(progress=progress if shown else None, commit=commit)
    finally:
        bar.close()


def _report_line(report: MergeReport) -> str:
    return (f"staged {report.staged}, inserted {report.inserted}, replaced {report.replaced}, "
            f"superseded {report.superseded}, stale {report.stale}")


@cli.command()
@click.argument("db", type=click.Path(dir_okay=False))
@click.argument("table")
@click.option("--quiet", "-q", is_flag=True, help="No progress bar.")
@_guarded
def merge(db: str, table: str, quiet: bool) -> None:
    """Merge TABLE's staged rows into its main table and print what it did."""
    conn = _connect(db, "rw")
    try:
        report = _merge(_table(conn, table), _progress_shown(quiet))
    finally:
        conn.close()
    click.echo(_report_line(report))


# ------------------------------------------------------------------ delete --


def _rule_columns(table: Table, rule: str) -> tuple[str, list[str]]:
    """The rule's stored name and its column names."""
    rules = table.rules()
    for found in rules:
        if found.name.lower() == rule.lower():
            names = [column for column in found.columns if isinstance(column, str)]
            if len(names) != len(found.columns):
                raise DataError(f"rule {found.name} of {table.name} names a column the table lacks")
            return found.name, names
    known = ", ".join(found.name for found in rules) or "none"
    raise DataError(f"no rule {rule!r} in {table.name} (rules: {known})")


def _read_keys(
    source: Source, fmt: str, csv_format: CsvFormat, name: str, columns: Sequence[str],
    overrides: dict[str, Kind], detect: bool, batch_size: int, shown: bool, recorded: dict[str, Kind],
) -> list[tuple[object, ...]]:
    """The keys of the input, typed as `stage` types its columns (their
    recorded types included)."""
    keys: list[tuple[object, ...]] = []

    def collect(rows: Iterator[tuple[object, ...]], label: str) -> int:
        keys.clear()
        bar = _Bar(shown, "reading ", source.size)
        try:
            for chunk in iter(lambda: list(islice(rows, batch_size)), []):
                keys.extend(chunk)
                bar.to(source.position())
        finally:
            bar.close()
        return len(keys)

    recorded = {column: kind for column, kind in recorded.items() if column in columns}
    _read_input(collect, source, fmt, csv_format, name, columns, overrides, detect, batch_size, shown, recorded, {})
    return keys


@cli.command()
@click.argument("db", type=click.Path(dir_okay=False))
@click.argument("table")
@click.argument("file", default="-", type=click.Path(dir_okay=False, allow_dash=True))
@click.option("--rule", required=True, help="The rule whose keys the input holds.")
@_input_options
@click.option("--quiet", "-q", is_flag=True, help="No progress bar.")
@_guarded
def delete(
    db: str, table: str, file: str, rule: str, fmt: str | None, delimiter: str | None, encoding: str,
    no_header: bool, columns: str | None, types: tuple[str, ...], no_detect_types: bool, batch_size: int,
    quiet: bool,
) -> None:
    """Delete TABLE's current rows whose keys under --rule are in FILE (or
    standard input), whose columns are the rule's columns."""
    fmt = _format_of(fmt, file)
    overrides = _overrides(types)
    csv_format = _csv_format(fmt, delimiter, no_header, columns)
    conn = _connect(db, "rw")
    try:
        target = _table(conn, table)
        rule_name, key_columns = _rule_columns(target, rule)
        source = Source(file, encoding)
        try:
            recorded = read_settings(conn, target.name).column_types if fmt in ("csv", "tsv") else {}
            keys = _read_keys(source, fmt, csv_format, target.name, key_columns, overrides,
                              not no_detect_types, batch_size, _progress_shown(quiet), dict(recorded))
        finally:
            source.close()
        deleted = target.delete_keys(rule_name, keys)
    finally:
        conn.close()
    click.echo(f"{deleted} rows deleted from {table}")


# ------------------------------------------------------------------- reads --


def _json_param(value: str) -> object:
    try:
        parsed = json.loads(value)
    except json.JSONDecodeError:
        raise click.BadParameter(f"{value!r} is not a JSON literal (text goes in double quotes)", param_hint="-p")
    if isinstance(parsed, (list, dict)):
        raise click.BadParameter(f"{value!r}: a parameter is a number, a string, true, false or null", param_hint="-p")
    return parsed


_where = click.option("--where", help="An SQL condition, with ? placeholders.")
_params = click.option("-p", "--param", "params", multiple=True, metavar="VALUE",
                       help="A placeholder's value, as JSON: 100, \"text\", null.")


@cli.command()
@click.argument("db", type=click.Path(dir_okay=False))
@click.argument("table")
@_where
@_params
@click.option("--select", help="Columns to show, comma-separated (rowid included).")
@click.option("--order-by", "order_by", multiple=True, metavar="'COL [DESC]'")
@click.option("--limit", type=click.IntRange(min=0))
@click.option("--offset", type=click.IntRange(min=0), default=0)
@click.option("--format", "fmt", type=click.Choice(["table", "csv", "tsv", "json", "nl"]), default="table",
              show_default=True)
@_guarded
def query(db: str, table: str, where: str | None, params: tuple[str, ...], select: str | None,
          order_by: tuple[str, ...], limit: int | None, offset: int, fmt: str) -> None:
    """Print TABLE's current rows: staged and main, superseded ones hidden."""
    values = [_json_param(value) for value in params]
    conn = _connect(db, "ro")
    try:
        target = _table(conn, table)
        keys = list(target.columns()) if select is None else [name.strip() for name in select.split(",")]
        rows: Iterator[tuple[Any, ...]] = target.iter(where, values, select=None if select is None else keys,
                                                      order_by=list(order_by), limit=limit, offset=offset)
        try:
            _WRITERS[fmt](keys, rows, sys.stdout)
            sys.stdout.flush()
        finally:
            close = getattr(rows, "close", None)
            if close is not None:
                close()  # ends the read's snapshot while the connection is open
    finally:
        conn.close()


@cli.command()
@click.argument("db", type=click.Path(dir_okay=False))
@click.argument("table")
@_where
@_params
@_guarded
def count(db: str, table: str, where: str | None, params: tuple[str, ...]) -> None:
    """Print how many current rows TABLE has (that meet --where)."""
    values = [_json_param(value) for value in params]
    conn = _connect(db, "ro")
    try:
        click.echo(_table(conn, table).count(where, values))
    finally:
        conn.close()


@cli.command()
@click.argument("db", type=click.Path(dir_okay=False))
@_guarded
def tables(db: str) -> None:
    """List the managed tables with their staged and main row counts."""
    conn = _connect(db, "ro")
    try:
        found = []
        for name in _managed(conn):
            table = Table(conn, name)
            found.append((name, table.count_staged(), table.count_main()))
    finally:
        conn.close()
    _write_table(["table", "staged", "main"], iter(found), sys.stdout)


def _managed(conn: sqlite3.Connection) -> list[str]:
    names = [str(name) for (name,) in conn.execute("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name")]
    present = {name.lower() for name in names}
    managed = []
    for name in names:
        if name.lower().startswith("temp_") or ("temp_" + name).lower() not in present:
            continue
        try:
            Table(conn, name)
        except (TypeError, ValueError):
            continue  # not a name this package makes
        managed.append(name)
    return managed


@cli.command()
@click.argument("db", type=click.Path(dir_okay=False))
@click.argument("table")
@_guarded
def schema(db: str, table: str) -> None:
    """Show TABLE's columns, uniqueness rules and indexes."""
    conn = _connect(db, "ro")
    try:
        target = _table(conn, table)
        columns, rules, indexes = target.columns(), target.rules(), target.indexes()
        types = read_settings(conn, target.name).column_types
        newest_by = target.newest_by()
    finally:
        conn.close()
    rule_names = {rule.name.lower() for rule in rules}
    click.echo(f"table {target.name}")
    click.echo(f"  columns: {', '.join(columns)}")
    if types:
        click.echo(f"  types: {', '.join(f'{column}={types[column]}' for column in columns if column in types)}")
    if newest_by:
        click.echo(f"  newest by: {', '.join(newest_by)}")
    for rule in rules:
        click.echo(f"  unique {rule.name} ({', '.join(str(column) for column in rule.columns)})")
    for index in indexes:
        if index.name.lower() not in rule_names:
            click.echo(f"  index {index.name} ({', '.join(index.columns)})")


@cli.command()
@click.argument("db", type=click.Path(dir_okay=False))
@click.argument("table")
@_guarded
def drop(db: str, table: str) -> None:
    """Remove TABLE with its staged rows, rules and indexes."""
    conn = _connect(db, "rw")
    try:
        target = _table(conn, table)
        with _transaction(conn):
            clear_settings(conn, target.name)
            target.drop(commit=False)
    finally:
        conn.close()


# ----------------------------------------------------------------- writers --


def _text(value: object) -> str:
    if value is None:
        return ""
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value).hex()
    return str(value)


def _json_value(value: object) -> object:
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value).hex()
    return value


def _write_delimited(delimiter: str) -> Callable[[list[str], Iterator[tuple[Any, ...]], IO[str]], None]:
    def write(keys: list[str], rows: Iterator[tuple[Any, ...]], out: IO[str]) -> None:
        writer = csv.writer(out, delimiter=delimiter, lineterminator="\n")
        writer.writerow(keys)
        for chunk in iter(lambda: list(islice(rows, 1000)), []):
            writer.writerows([_text(value) for value in row] for row in chunk)

    return write


def _write_json(keys: list[str], rows: Iterator[tuple[Any, ...]], out: IO[str]) -> None:
    out.write("[")
    separator = "\n"
    for row in rows:
        out.write(separator + json.dumps(dict(zip(keys, map(_json_value, row))), ensure_ascii=False))
        separator = ",\n"
    out.write("\n]\n" if separator != "\n" else "]\n")


def _write_lines(keys: list[str], rows: Iterator[tuple[Any, ...]], out: IO[str]) -> None:
    for row in rows:
        out.write(json.dumps(dict(zip(keys, map(_json_value, row))), ensure_ascii=False) + "\n")


def _write_table(keys: list[str], rows: Iterator[tuple[Any, ...]], out: IO[str]) -> None:
    """Columns padded to the widest of the first rows; later rows stream."""
    head = [[_text(value) for value in row] for row in islice(rows, _PAD_ROWS)]
    widths = [max([len(key), *(len(cells[n]) for cells in head)]) for n, key in enumerate(keys)]

    def line(cells: Iterable[str]) -> str:
        return "  ".join(cell.ljust(width) for cell, width in zip(cells, widths)).rstrip() + "\n"

    out.write(line(keys))
    out.write(line("-" * width for width in widths))
    for cells in chain(head, ([_text(value) for value in row] for row in rows)):
        out.write(line(cells))


_WRITERS: dict[str, Callable[[list[str], Iterator[tuple[Any, ...]], IO[str]], None]] = {
    "table": _write_table,
    "csv": _write_delimited(","),
    "tsv": _write_delimited("\t"),
    "json": _write_json,
    "nl": _write_lines,
}


def main(prog_name: str = "norvane") -> None:
    """The console script (and ``python -m norvane``, under that name)."""
    cli.main(prog_name=prog_name)
