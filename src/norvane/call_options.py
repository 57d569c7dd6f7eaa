"""The options of one call of the Python layer: which of two equivalent
ways it takes where it has a choice.

Production calls use ``DEFAULT_OPTIONS``; tests and benchmarks pass their own
through ``norvane._traced``, one call at a time, so no choice is ever held in
a process-wide setting.
"""

from dataclasses import dataclass
from typing import Literal, TypeAlias

__all__ = ["DEFAULT_OPTIONS", "BulkPath", "CallOptions", "DeletePath", "IndexPolicy", "ReadsPlan", "WalkPath"]

# How the newest_by walk runs: "native" (C++, memory outside Python's heap)
# or "python" (the plain loop of norvane.table_state).
WalkPath: TypeAlias = Literal["native", "python"]

# How Table.merge moves a large batch whose indexes it rebuilds: "auto"
# (every staged row moved, those a later one superseded then deleted through
# the rebuilt rule indexes) or "sorted" (only the current rows moved, found
# by one sort per rule).
BulkPath: TypeAlias = Literal["auto", "sorted"]

# How Table reads decide which rows are current: "auto" (key tables in C++
# where fetched values compare as stored, filled by lookups for a few
# candidates, else by one pass over the staging table; with newest_by, the
# arrivals played over the linked groups of the rows read), "scan" (the same,
# always by one pass; with newest_by, over all rows) or "exact" (comparisons
# made in SQL, on any connection).
ReadsPlan: TypeAlias = Literal["auto", "scan", "exact"]

# How Table.delete deletes on a cluster connection: "auto" (the rowids as one
# JSON array in one statement where no trigger could tell) or "statements"
# (one per rowid, as delete_row_main).
DeletePath: TypeAlias = Literal["auto", "statements"]

# How Table.merge treats the main table's indexes, as temp_to_main does:
# "auto" (kept in place when that is cheaper than dropping and rebuilding
# them), "keep" or "rebuild".
IndexPolicy: TypeAlias = Literal["auto", "keep", "rebuild"]

_CHOICES: dict[str, tuple[str, ...]] = {
    "walk_path": ("native", "python"),
    "bulk_path": ("auto", "sorted"),
    "reads_plan": ("auto", "scan", "exact"),
    "delete_path": ("auto", "statements"),
    "index_policy": ("auto", "keep", "rebuild"),
}


@dataclass(frozen=True)
class CallOptions:
    """One call's choices, and the bounds at which it changes course:
    ``read_ahead``, how many rows beyond those wanted a limited read asks
    for, so that a few hidden rows cost no second statement; ``group_rows``,
    the largest linked group a read of a table with newest_by looks up
    instead of playing the whole sequence; ``bulk_rows``, the smallest batch
    that a merge with its indexes rebuilt moves whole (bulk_path "auto")."""

    walk_path: WalkPath = "native"
    bulk_path: BulkPath = "auto"
    reads_plan: ReadsPlan = "auto"
    delete_path: DeletePath = "auto"
    index_policy: IndexPolicy = "auto"
    read_ahead: int = 16
    group_rows: int = 512
    bulk_rows: int = 50_000

    def __post_init__(self) -> None:
        for name, choices in _CHOICES.items():
            value = getattr(self, name)
            if value not in choices:
                expected = ", ".join(repr(choice) for choice in choices)
                raise ValueError(f"{name}: expected one of {expected}, got {value!r}")
        for name, least in (("read_ahead", 0), ("group_rows", 1), ("bulk_rows", 1)):
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, int) or value < least:
                raise ValueError(f"{name}: expected an int of at least {least}, got {value!r}")


DEFAULT_OPTIONS = CallOptions()
