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

from norvane.cli import reads, rows, tables  # noqa: F401  (importing a unit registers its commands)
from norvane.cli.app import cli

__all__ = ["cli", "main"]


def main(prog_name: str = "norvane") -> None:
    """The console script (and ``python -m norvane``, under that name)."""
    cli.main(prog_name=prog_name)
