"""The ``norvane`` command's group and what every command shares: opening
the database, one transaction for a command's writes, and the guard that
turns errors into one line on stderr and the exit status (0 done, 1 a data
error, 2 a usage error, 130 interrupted)."""

import functools
import os
import sqlite3
import sys
import urllib.parse
from collections.abc import Callable
from typing import ParamSpec, TypeVar

import click

from norvane.cli.errors import DataError
from norvane.table import Table
from norvane.transactions import AllOrNothing

__all__ = ["cli", "connect", "existing_table", "guarded", "transaction"]

_P = ParamSpec("_P")
_R = TypeVar("_R")


def guarded(command: Callable[_P, _R]) -> Callable[_P, _R]:
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


def connect(path: str, mode: str) -> sqlite3.Connection:
    """The database at `path`: "ro" and "rw" need the file to exist, "rwc"
    creates it."""
    if mode != "rwc" and not os.path.isfile(path):
        raise DataError(f"no such database file: {path}")
    uri = "file:" + urllib.parse.quote(os.path.abspath(path)) + "?mode=" + mode
    return sqlite3.connect(uri, uri=True)


def transaction(conn: sqlite3.Connection) -> AllOrNothing:
    """One write transaction for the whole command: all of it or nothing."""
    return AllOrNothing(conn, True, "BEGIN IMMEDIATE")


def existing_table(conn: sqlite3.Connection, name: str) -> Table:
    table = Table(conn, name)
    if not table.exists():
        raise DataError(f"no such table: {name}")
    return table


@click.group(context_settings={"help_option_names": ["-h", "--help"]})
@click.version_option(package_name="norvane", message=f"norvane %(version)s, SQLite {sqlite3.sqlite_version}")
def cli() -> None:
    """SQLite tables with staging and newest-wins uniqueness rules."""
