"""Private entries of the extension, loaded from the same shared object.

``norvane.norvane`` publishes exactly its documented names; what the package
builds on top of it (bound-parameter queries, entries that take the options
of one call for tests and benchmarks) lives in a second module of the same shared object, initialised
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

# SQLite's keywords, upper case: names the typed API refuses, and (with TRUE,
# FALSE and the rowid's names) that keep find's newest test on the walk.
KEYWORDS: frozenset[str] = _ext.KEYWORDS

# find(conn, select, table, conditions, params) -> (rows, staged): the module's
# find with `params` bound to both candidate statements. A select of None gives
# whole rows, rowid first; `staged` counts the leading rows that are staged ones.
find: Callable[
    [sqlite3.Connection, str | None, str, str, Sequence[Any] | Mapping[str, Any] | None],
    tuple[list[list[Any]], int],
] = _ext.find

# traced_find(conn, select, table, conditions, params, plan=None, folded=None)
# -> (rows, staged, plans): for tests and benchmarks, find as above with this
# call's plan ("automatic" when None, "lookups", "grouped", "scan" or
# "rounds") and, on a dqlite connection, its reads folded into a few
# statements or not (None: folded), telling the plans that answered its
# newest tests, a tuple of names out of "lookups", "rounds", "scan" and "walk".
traced_find: Callable[..., tuple[list[list[Any]], int, tuple[str, ...]]] = _ext.traced_find

# merge(conn, table, comm, progress) -> (staged, inserted, replaced, superseded):
# temp_to_main that returns its counts and calls progress(done, total) on the
# way (progress may be None; an exception it raises ends the merge).
merge: Callable[
    [Any, str, bool, Callable[[int, int | None], object] | None],
    tuple[int, int, int, int],
] = _ext.merge

# interruptible(conn, fn) -> fn(): on a host connection Ctrl-C stops a long
# statement of fn and its KeyboardInterrupt propagates.
interruptible: Callable[[Any, Callable[[], Any]], Any] = _ext.interruptible

# with_index_plan(conn, table, at_least, at_most, count, schema_rows,
# largest_rowid, prepare, write, indexes) -> write(): the main table's indexes
# kept in place or dropped and rebuilt around a merge's writes, as temp_to_main
# treats them under the policy `indexes` ("auto", "keep" or "rebuild");
# prepare(keeps_any) runs before the drop.
with_index_plan: Callable[..., Any] = _ext.with_index_plan

# The statement whose rows with_index_plan takes as schema_rows: sqlite_master's
# five columns for every index and statistics table, in schema order.
MERGE_SCHEMA_ROWS: str = _ext.MERGE_SCHEMA_ROWS

# prepare_catalog(conn): the catalog tables over any DB-API connection, then commit.
prepare_catalog: Callable[[Any], None] = _ext.prepare_catalog

# create_catalog(conn): the same tables inside whatever transaction is open, no commit.
create_catalog: Callable[[Any], None] = _ext.create_catalog

# traced_merge(conn, table, comm, progress, fail_before, path=None,
# indexes=None) -> (path, staged, inserted, replaced, superseded): for tests
# and benchmarks, merge with this call's options (the set-based merge raises
# RuntimeError before its step `fail_before`: 1 search, 2 drop indexes, 3
# delete, 4 insert, 5 purge, 6 rebuild; 0 never; path "auto" or "statements",
# one per row; indexes "auto", "keep" or "rebuild"; None is "auto"), telling
# the path it took, "sets" or "statements".
traced_merge: Callable[..., tuple[str, int, int, int, int]] = _ext.traced_merge

# CurrentRows(key_picks, row_picks): which fetched rows of a table the next
# merge would leave. add_staged(rows) reads the staging table (rowid first,
# then the rule columns at key_picks); keep(rows, staged, out) -> the current
# rows of a batch, each row[i] for i in out (a staged row's rowid as None).
CurrentRows: Any = _ext.CurrentRows

# play_newest(main, staged, picks, rank_picks) -> (current staged rowids,
# hidden main rowids): the arrivals on a table with newest_by, over fetched
# rows (rowid first; staged rows in rowid order) whose values are the stored
# ones; picks[r] and rank_picks say where the values of rule r and of the
# newest_by columns stand in a row.
play_newest: Callable[[list[Any], list[Any], list[list[int]], list[int]], tuple[set[int], set[int]]] = _ext.play_newest


# sequential_walk(rows, rule_count) -> (lost, hidden, current, stale,
# superseded, others): the newest_by walk over the rows of a Table's state
# statement (norvane.table_state), in C++.
sequential_walk: Callable[[Any, int], tuple[list[int], list[int], list[int], int, int, list[Any]]] = (
    _ext.sequential_walk
)

# stage_rows(conn, table, rows, comm): checked rows (a list of tuples as wide as
# the table) into its staging table, many rows per INSERT on the host's own
# connection type, otherwise as insert_temp; the transaction is insert_temp's.
stage_rows: Callable[[Any, str, list[Any], bool], None] = _ext.stage_rows

# stage_values(conn, table, values, width, comm): the same from one flat list
# of checked values, row after row, `width` to a row.
stage_values: Callable[[Any, str, list[Any], int, bool], None] = _ext.stage_values

# traced_stage(conn, table, rows, comm, path, grouped, width=None) -> "grouped",
# "json" or "statements": for tests and benchmarks, stage_rows (width None) or
# stage_values (rows flat, width to a row) with this call's options (path
# "auto", as JSON on a dqlite connection wherever the values allow, or
# "statements", one per row; grouped: many rows per INSERT on the host's own
# connection), telling the way the rows went.
traced_stage: Callable[..., str] = _ext.traced_stage

# connection_profile(conn, table=None) -> {"engine": "sqlite3" | "dqlite" |
# "other", "max_parameters": int | None, "flags": {flag: bool}, "paths":
# {path: bool}}: the facts every fast path decides by, read once, and whether
# each path may run (with a table, its flags and the table's are read too).
connection_profile: Callable[..., dict[str, Any]] = _ext.connection_profile

# PATH_FLAGS: {path: (flag, ...)}, the flags each fast path requires.
PATH_FLAGS: Mapping[str, tuple[str, ...]] = _ext.PATH_FLAGS

# ignore_guard(flag or None) -> the flag it replaces: for tests, the named flag
# holds whatever is read (None restores every guard).
ignore_guard: Callable[[str | None], str | None] = _ext.ignore_guard

# The most parameters the pinned dqlite driver binds correctly to one statement.
CLUSTER_MAX_PARAMETERS: int = _ext.CLUSTER_MAX_PARAMETERS
