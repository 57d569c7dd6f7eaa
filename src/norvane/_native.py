"""Private entries of the extension, loaded from the same shared object.

``norvane.norvane`` publishes exactly its documented names; what the package
builds on top of it (bound-parameter queries, switches for tests and
benchmarks) lives in a second module of the same shared object, initialised
by its own entry point.
"""

import importlib.machinery
import importlib.util
import sqlite3
import types
from collections.abc import Callable, Mapping, Sequence
from typing import Any

from norvane import norvane as _published  # first: it owns the shared state


def _load() -> types.ModuleType:
    name = "norvane._native_ext"
    loader = importlib.machinery.ExtensionFileLoader(name, _published.__file__)
    spec = importlib.util.spec_from_file_location(name, _published.__file__, loader=loader)
    assert spec is not None
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


_ext = _load()

# find(conn, select, table, conditions, params) -> (rows, staged): the module's
# find with `params` bound to both candidate statements. A select of None gives
# whole rows, rowid first; `staged` counts the leading rows that are staged ones.
find: Callable[
    [sqlite3.Connection, str | None, str, str, Sequence[Any] | Mapping[str, Any] | None],
    tuple[list[list[Any]], int],
] = _ext.find

# find_plan(name): how find gathers rows for its newest test: "automatic",
# "lookups", "grouped" or "scan" (for tests and benchmarks).
find_plan: Callable[[str], None] = _ext.find_plan

# prepare_catalog(conn): the catalog tables over any DB-API connection, then commit.
prepare_catalog: Callable[[Any], None] = _ext.prepare_catalog

# merge_indexes(policy) -> the policy it replaces: how temp_to_main treats the
# main table's indexes, "auto" (kept when that is cheaper), "keep" or "rebuild".
merge_indexes: Callable[[str], str] = _ext.merge_indexes

# stage_rows(conn, table, rows, comm): checked rows (a list of tuples as wide as
# the table) into its staging table, many rows per INSERT on the host's own
# connection type, otherwise as insert_temp; the transaction is insert_temp's.
stage_rows: Callable[[Any, str, list[Any], bool], None] = _ext.stage_rows

# stage_values(conn, table, values, width, comm): the same from one flat list
# of checked values, row after row, `width` to a row.
stage_values: Callable[[Any, str, list[Any], int, bool], None] = _ext.stage_values

# grouped_staging(flag) -> the flag it replaces: whether stage_rows groups rows
# into statements (True, the default) or executes one per row (for tests and
# benchmarks).
grouped_staging: Callable[[bool], bool] = _ext.grouped_staging
