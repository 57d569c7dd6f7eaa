"""The commands that read: query and count, and the output formats of
query (an aligned table, CSV, TSV, JSON, one JSON object per line)."""

import csv
import json
import sys
from collections.abc import Callable, Iterable, Iterator
from itertools import chain, islice
from typing import IO, Any

import click

from norvane.cli.app import cli, connect, existing_table, guarded

__all__ = ["count", "query", "write_table"]

_PAD_ROWS = 1000  # the table format pads its columns from this many rows


def _json_param(value: str) -> object:
    try:
        parsed = json.loads(value)
    except json.JSONDecodeError:
        raise click.BadParameter(f"{value!r} is not a JSON literal (text goes in double quotes)", param_hint="-p")
    if isinstance(parsed, (list, dict)):
        raise click.BadParameter(f"{value!r}: a parameter is a number, a string, true, false or null", param_hint="-p")
    return parsed


_where = click.option("--where", help="An SQL condition, with ? placeholders.")
_params = click.option(
    "-p",
    "--param",
    "params",
    multiple=True,
    metavar="VALUE",
    help='A placeholder\'s value, as JSON: 100, "text", null.',
)


@cli.command()
@click.argument("db", type=click.Path(dir_okay=False))
@click.argument("table")
@_where
@_params
@click.option("--select", help="Columns to show, comma-separated (rowid included).")
@click.option("--order-by", "order_by", multiple=True, metavar="'COL [DESC]'")
@click.option("--limit", type=click.IntRange(min=0))
@click.option("--offset", type=click.IntRange(min=0), default=0)
@click.option(
    "--format", "fmt", type=click.Choice(["table", "csv", "tsv", "json", "nl"]), default="table", show_default=True
)
@guarded
def query(
    db: str,
    table: str,
    where: str | None,
    params: tuple[str, ...],
    select: str | None,
    order_by: tuple[str, ...],
    limit: int | None,
    offset: int,
    fmt: str,
) -> None:
    """Print TABLE's current rows: staged and main, superseded ones hidden."""
    values = [_json_param(value) for value in params]
    conn = connect(db, "ro")
    try:
        target = existing_table(conn, table)
        keys = list(target.columns()) if select is None else [name.strip() for name in select.split(",")]
        rows: Iterator[tuple[Any, ...]] = target.iter(
            where, values, select=None if select is None else keys, order_by=list(order_by), limit=limit, offset=offset
        )
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
@guarded
def count(db: str, table: str, where: str | None, params: tuple[str, ...]) -> None:
    """Print how many current rows TABLE has (that meet --where)."""
    values = [_json_param(value) for value in params]
    conn = connect(db, "ro")
    try:
        click.echo(existing_table(conn, table).count(where, values))
    finally:
        conn.close()


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


def write_table(keys: list[str], rows: Iterator[tuple[Any, ...]], out: IO[str]) -> None:
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
    "table": write_table,
    "csv": _write_delimited(","),
    "tsv": _write_delimited("\t"),
    "json": _write_json,
    "nl": _write_lines,
}
