"""The commands about whole tables: create, drop, tables and schema."""

import os
import sqlite3
import sys
from collections.abc import Sequence

import click

from norvane import catalog
from norvane.cli.app import cli, connect, existing_table, guarded, transaction
from norvane.cli.column_types import Kind
from norvane.cli.errors import DataError
from norvane.cli.options import type_overrides
from norvane.cli.reads import write_table
from norvane.table import Index, Table, Unique
from norvane.table_settings import add_column_types, clear_settings, read_settings

__all__ = ["create", "drop", "schema", "tables"]


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
@click.option(
    "--unique", "rules", multiple=True, metavar="NAME=COL,COL", help="A uniqueness rule: the newest row wins."
)
@click.option("--index", "indexes", multiple=True, metavar="NAME=COL,COL", help="An index on the main table.")
@click.option(
    "--newest-by",
    "newest_by",
    multiple=True,
    metavar="COL",
    help="A column that decides which of two rows is newer (repeat for a tuple).",
)
@click.option(
    "--type",
    "types",
    multiple=True,
    metavar="COL=integer|real|text",
    help="Record a column's type: CSV and TSV values must fit it.",
)
@click.option("--replace", is_flag=True, help="Drop an existing table of this name first, with its rows.")
@guarded
def create(
    db: str,
    table: str,
    columns: tuple[str, ...],
    rules: tuple[str, ...],
    indexes: tuple[str, ...],
    newest_by: tuple[str, ...],
    types: tuple[str, ...],
    replace: bool,
) -> None:
    """Create TABLE with COLUMNS, its rules and its indexes."""
    unique = [Unique(name, cols) for name, cols in _named_columns(rules, "--unique")]
    plain = [Index(name, cols) for name, cols in _named_columns(indexes, "--index")]
    kinds = _column_kinds(type_overrides(types), columns, table)
    existed = os.path.exists(db)
    try:
        conn = connect(db, "rwc")
        try:
            with transaction(conn):
                catalog.prepare_catalog(conn, commit=False)
                target = Table(conn, table)
                if replace:
                    clear_settings(conn, table)
                target.create(
                    list(columns),
                    indexes=plain,
                    unique=unique,
                    newest_by=list(newest_by),
                    replace=replace,
                    commit=False,
                )
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


@cli.command()
@click.argument("db", type=click.Path(dir_okay=False))
@guarded
def tables(db: str) -> None:
    """List the managed tables with their staged and main row counts."""
    conn = connect(db, "ro")
    try:
        found = []
        for name in _managed(conn):
            table = Table(conn, name)
            found.append((name, table.count_staged(), table.count_main()))
    finally:
        conn.close()
    write_table(["table", "staged", "main"], iter(found), sys.stdout)


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
@guarded
def schema(db: str, table: str) -> None:
    """Show TABLE's columns, uniqueness rules and indexes."""
    conn = connect(db, "ro")
    try:
        target = existing_table(conn, table)
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
@guarded
def drop(db: str, table: str) -> None:
    """Remove TABLE with its staged rows, rules and indexes."""
    conn = connect(db, "rw")
    try:
        target = existing_table(conn, table)
        with transaction(conn):
            clear_settings(conn, target.name)
            target.drop(commit=False)
    finally:
        conn.close()
