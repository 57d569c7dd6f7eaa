"""Private entries for tests and benchmarks: ``Table`` calls made with
options of their own (``norvane.call_options``), each telling the path it
took in its result.
"""

from collections.abc import Sequence
from typing import Any

from norvane import reads as _reads
from norvane import row_deletes as _deletes
from norvane import table_merge as _table_merge
from norvane.call_options import CallOptions, ReadsPlan
from norvane.staging import MergeReport, Progress, check_progress
from norvane.table import Table
from norvane.table_state import traced_state

__all__ = ["count", "delete", "merge", "rows", "traced_state", "using"]


def using(table: Table, options: CallOptions) -> Table:
    """The same table, every call of it made with `options`."""
    if not isinstance(options, CallOptions):
        raise TypeError(f"options must be a CallOptions, not {type(options).__name__}")
    copy = Table(table.conn, table.name)
    copy._options = options
    return copy


def rows(
    table: Table,
    options: CallOptions,
    where: str | None = None,
    params: Any = (),
    *,
    select: str | Sequence[str] | None = None,
    order_by: str | Sequence[str] = (),
    limit: int | None = None,
    offset: int = 0,
) -> tuple[list[tuple[Any, ...]], ReadsPlan]:
    """Table.rows and the plan the read took ("exact" where the fetched
    values might not compare as stored, else options.reads_plan)."""
    query = _reads.Query(using(table, options), where, params, select, order_by, limit, offset)
    found = _reads.read_all(query, as_dicts=False)
    assert query.plan is not None
    return found, query.plan


def count(table: Table, options: CallOptions, where: str | None = None, params: Any = ()) -> tuple[int, ReadsPlan]:
    """Table.count and the plan the read took, as for rows."""
    query = _reads.Query(using(table, options), where, params)
    counted = _reads.count(query)
    assert query.plan is not None
    return counted, query.plan


def merge(
    table: Table, options: CallOptions, *, progress: Progress | None = None, commit: bool = True
) -> tuple[MergeReport, str]:
    """Table.merge and how it moved the batch: "whole" (every staged row,
    the superseded ones deleted through the rebuilt indexes after) or
    "current" (only the current rows)."""
    _reads.check_no_open_reads(table.conn)
    report = check_progress(progress)
    with table._catalog_named():
        return _table_merge.merge(table.conn, table.name, report, commit, options)


def delete(table: Table, options: CallOptions, rowids: Sequence[int], *, commit: bool = True) -> str:
    """Table.delete of these rowids and how: "json" (one statement on a
    cluster connection) or "statements" (one per rowid)."""
    _reads.check_no_open_reads(table.conn)
    return _deletes.delete_rowids(table.conn, table._require()[0], list(rowids), commit, options)
