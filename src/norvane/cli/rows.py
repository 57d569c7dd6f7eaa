"""The commands that change rows: stage (and merge with --merge), merge and
delete, each all or nothing, with their progress bars."""

import sqlite3
from collections.abc import Callable, Iterator, Mapping, Sequence
from itertools import islice
from typing import cast

import click

from norvane import catalog
from norvane.cli.app import cli, connect, existing_table, guarded, transaction
from norvane.cli.column_types import Kind
from norvane.cli.csv_input import CsvFormat, Retype, csv_kinds, csv_rows
from norvane.cli.errors import DataError
from norvane.cli.json_input import json_rows, ndjson_rows
from norvane.cli.options import csv_format_of, input_format, input_options, type_overrides
from norvane.cli.progress import Bar, progress_shown
from norvane.cli.source import Source
from norvane.table import MergeReport, Table
from norvane.table_settings import add_column_types, column_types_to_keep, read_settings

__all__ = ["delete", "merge", "stage"]


@cli.command()
@click.argument("db", type=click.Path(dir_okay=False))
@click.argument("table")
@click.argument("file", default="-", type=click.Path(dir_okay=False, allow_dash=True))
@input_options
@click.option("--merge", "then_merge", is_flag=True, help="Merge in the same transaction.")
@click.option("--quiet", "-q", is_flag=True, help="No progress bars.")
@guarded
def stage(
    db: str,
    table: str,
    file: str,
    fmt: str | None,
    delimiter: str | None,
    encoding: str,
    no_header: bool,
    columns: str | None,
    types: tuple[str, ...],
    no_detect_types: bool,
    batch_size: int,
    then_merge: bool,
    quiet: bool,
) -> None:
    """Stage the rows of FILE (or standard input) into TABLE."""
    fmt = input_format(fmt, file)
    overrides = type_overrides(types)
    csv_format = csv_format_of(fmt, delimiter, no_header, columns)
    conn = connect(db, "rw")
    try:
        target = existing_table(conn, table)
        source = Source(file, encoding)
        try:
            staged, report = _stage(
                target,
                source,
                fmt,
                csv_format,
                overrides,
                not no_detect_types,
                batch_size,
                then_merge,
                progress_shown(quiet),
            )
        finally:
            source.close()
    finally:
        conn.close()
    click.echo(f"{staged} rows staged into {table}")
    if report is not None:
        click.echo(_report_line(report))


def _stage(
    table: Table,
    source: Source,
    fmt: str,
    csv_format: CsvFormat,
    overrides: dict[str, Kind],
    detect: bool,
    batch_size: int,
    then_merge: bool,
    shown: bool,
) -> tuple[int, MergeReport | None]:
    report = None
    conn = cast(sqlite3.Connection, table.conn)  # the command opens host connections only
    with transaction(conn):
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
    table: Table,
    source: Source,
    fmt: str,
    csv_format: CsvFormat,
    overrides: dict[str, Kind],
    detect: bool,
    batch_size: int,
    shown: bool,
    recorded: dict[str, Kind],
    used: dict[str, Kind],
) -> int:
    """Stages the input, all or nothing. CSV columns take the table's
    recorded types; the others are typed from their first rows; when a later
    value does not fit and the input can be read again, from all of it, and
    the stage starts over. `used` hears the types CSV columns were given."""

    def stage(rows: Iterator[tuple[object, ...]], label: str) -> int:
        bar = Bar(shown, label, source.size)
        try:
            return table.stage(
                rows, batch_size=batch_size, progress=lambda d, t: bar.to(source.position()), commit=False
            )
        finally:
            bar.close()

    return _read_input(
        stage,
        source,
        fmt,
        csv_format,
        table.name,
        table.columns(),
        overrides,
        detect,
        batch_size,
        shown,
        recorded,
        used,
    )


def _read_input(
    consume: Callable[[Iterator[tuple[object, ...]], str], int],
    source: Source,
    fmt: str,
    csv_format: CsvFormat,
    name: str,
    columns: Sequence[str],
    overrides: dict[str, Kind],
    detect: bool,
    batch_size: int,
    shown: bool,
    recorded: dict[str, Kind],
    used: dict[str, Kind],
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
        return consume(
            csv_rows(source, csv_format, name, columns, overrides, detect, None, batch_size, whole, recorded, used),
            "staging ",
        )
    except Retype:
        used.clear()
    reading = Bar(shown, "typing  ", source.size)
    try:
        typing = csv_kinds(
            source,
            csv_format,
            name,
            columns,
            overrides,
            detect,
            batch_size,
            lambda: reading.to(source.position()),
            recorded,
        )
    finally:
        reading.close()
    return consume(
        csv_rows(
            source, csv_format, name, columns, overrides, detect, typing, batch_size, recorded=recorded, used=used
        ),
        "staging ",
    )


def _merge(table: Table, shown: bool, commit: bool = True) -> MergeReport:
    bar = Bar(shown, "merging ", None)

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
    return (
        f"staged {report.staged}, inserted {report.inserted}, replaced {report.replaced}, "
        f"superseded {report.superseded}, stale {report.stale}"
    )


@cli.command()
@click.argument("db", type=click.Path(dir_okay=False))
@click.argument("table")
@click.option("--quiet", "-q", is_flag=True, help="No progress bar.")
@guarded
def merge(db: str, table: str, quiet: bool) -> None:
    """Merge TABLE's staged rows into its main table and print what it did."""
    conn = connect(db, "rw")
    try:
        report = _merge(existing_table(conn, table), progress_shown(quiet))
    finally:
        conn.close()
    click.echo(_report_line(report))


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
    source: Source,
    fmt: str,
    csv_format: CsvFormat,
    name: str,
    columns: Sequence[str],
    overrides: dict[str, Kind],
    detect: bool,
    batch_size: int,
    shown: bool,
    recorded: dict[str, Kind],
) -> list[tuple[object, ...]]:
    """The keys of the input, typed as `stage` types its columns (their
    recorded types included)."""
    keys: list[tuple[object, ...]] = []

    def collect(rows: Iterator[tuple[object, ...]], label: str) -> int:
        keys.clear()
        bar = Bar(shown, "reading ", source.size)
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
@input_options
@click.option("--quiet", "-q", is_flag=True, help="No progress bar.")
@guarded
def delete(
    db: str,
    table: str,
    file: str,
    rule: str,
    fmt: str | None,
    delimiter: str | None,
    encoding: str,
    no_header: bool,
    columns: str | None,
    types: tuple[str, ...],
    no_detect_types: bool,
    batch_size: int,
    quiet: bool,
) -> None:
    """Delete TABLE's current rows whose keys under --rule are in FILE (or
    standard input), whose columns are the rule's columns."""
    fmt = input_format(fmt, file)
    overrides = type_overrides(types)
    csv_format = csv_format_of(fmt, delimiter, no_header, columns)
    conn = connect(db, "rw")
    try:
        target = existing_table(conn, table)
        rule_name, key_columns = _rule_columns(target, rule)
        source = Source(file, encoding)
        try:
            recorded: Mapping[str, Kind] = {}  # JSON keeps its own types
            if fmt in ("csv", "tsv"):  # the settings hold only the kinds a stage wrote
                recorded = cast(Mapping[str, Kind], read_settings(conn, target.name).column_types)
            keys = _read_keys(
                source,
                fmt,
                csv_format,
                target.name,
                key_columns,
                overrides,
                not no_detect_types,
                batch_size,
                progress_shown(quiet),
                dict(recorded),
            )
        finally:
            source.close()
        deleted = target.delete_keys(rule_name, keys)
    finally:
        conn.close()
    click.echo(f"{deleted} rows deleted from {table}")
