"""The options of the commands that read rows from a file (stage, delete)
and the parsing of their values: the input's format, its CSV layout and the
types set by hand."""

import os
from collections.abc import Callable, Sequence
from typing import ParamSpec, TypeVar

import click

from norvane.cli.column_types import KINDS, Kind
from norvane.cli.csv_input import CsvFormat

__all__ = ["csv_format_of", "input_format", "input_options", "type_overrides"]

_P = ParamSpec("_P")
_R = TypeVar("_R")

_FORMATS = {".csv": "csv", ".tsv": "tsv", ".tab": "tsv", ".json": "json", ".ndjson": "nl", ".jsonl": "nl", ".nl": "nl"}


def input_format(fmt: str | None, file: str) -> str:
    if fmt is not None:
        return fmt
    if file == "-":
        raise click.UsageError("standard input needs a format: --csv, --tsv, --json or --nl")
    found = _FORMATS.get(os.path.splitext(file)[1].lower())
    if found is None:
        raise click.UsageError(f"cannot tell the format of {file!r} from its name: give --csv, --tsv, --json or --nl")
    return found


def type_overrides(values: Sequence[str]) -> dict[str, Kind]:
    found: dict[str, Kind] = {}
    for value in values:
        name, sep, kind = value.partition("=")
        if not sep or kind not in KINDS or not name:
            raise click.BadParameter(f"{value!r}: expected COL=integer, COL=real or COL=text", param_hint="--type")
        found[name] = kind
    return found


def csv_format_of(fmt: str, delimiter: str | None, no_header: bool, columns: str | None) -> CsvFormat:
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


def input_options(command: Callable[_P, _R]) -> Callable[_P, _R]:
    """The options of commands that read rows from a file (stage, delete)."""
    for option in reversed(_INPUT_OPTIONS):
        command = option(command)
    return command
