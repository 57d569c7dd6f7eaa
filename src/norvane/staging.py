"""Staging in chunks and merging with a report.

``Table.stage`` and ``Table.merge`` run here: the rows of a stage go in
chunks inside one savepoint, so a generator over a large file needs memory for
one chunk only and a bad row anywhere leaves nothing staged; a merge returns
what it did as a ``MergeReport``.
"""

from collections.abc import Callable, Iterable, Iterator, Sequence, Sized
from dataclasses import dataclass
from itertools import islice
from typing import Any, TypeAlias

from norvane import _native
from norvane.connections import Connection
from norvane.transactions import AllOrNothing

__all__ = ["MergeReport", "Progress"]

# progress(done, total): rows done so far and the rows in all, None when the
# total is not known. An exception it raises ends the call, which then
# changes nothing.
Progress: TypeAlias = Callable[[int, int | None], object]

# A stage or merge reports progress at most once per this many rows.
PROGRESS_EVERY = 1000


@dataclass(frozen=True)
class MergeReport:
    """What a merge did.

    ``staged``: staged rows read; ``inserted``: staged rows that went into
    the main table; ``replaced``: main rows removed because a staged row
    superseded them; ``superseded``: staged rows dropped because a later
    staged row superseded them; ``stale``: staged rows dropped because a row
    they would have replaced is newer by the table's ``newest_by`` columns.
    ``staged == inserted + superseded + stale``.
    """

    staged: int
    inserted: int
    replaced: int
    superseded: int
    stale: int = 0


def check_progress(progress: object) -> Progress | None:
    if progress is not None and not callable(progress):
        raise TypeError(f"progress must be callable or None, not {type(progress).__name__}")
    return progress


def check_batch_size(batch_size: object) -> int:
    if isinstance(batch_size, bool) or not isinstance(batch_size, int):
        raise TypeError(f"batch_size must be an int, not {type(batch_size).__name__}")
    if batch_size < 1:
        raise ValueError(f"batch_size must be at least 1, not {batch_size}")
    return batch_size


class Reporter:
    """progress(done, total) at most once per PROGRESS_EVERY rows, and once at
    the end so that a bar can finish."""

    def __init__(self, progress: Progress | None, total: int | None) -> None:
        self.progress = progress
        self.total = total
        self.reported = 0

    def advance(self, done: int) -> None:
        if self.progress is not None and done - self.reported >= PROGRESS_EVERY:
            self.reported = done
            self.progress(done, self.total)

    def finish(self, done: int) -> None:
        if self.progress is not None and done > self.reported:
            self.reported = done
            self.progress(done, self.total)


def stage_chunks(
    conn: Connection,
    table: str,
    rows: Iterable[Any],
    check: Callable[[list[Any], int], Sequence[Sequence[object]]],
    batch_size: int,
    progress: Progress | None,
    commit: bool,
) -> int:
    """Stages `rows` in chunks of `batch_size`, each checked by `check(chunk,
    number of its first row)`, all or nothing; returns how many."""
    total = _length(rows)
    source: Iterator[Any] = iter(rows)
    chunk = list(islice(source, batch_size))
    if not chunk:
        return 0  # nothing to write: no transaction either
    reporter = Reporter(progress, total)
    done = 0
    with AllOrNothing(conn, commit):
        while chunk:
            checked = check(chunk, done)
            _native.stage_rows(conn, table, list(checked), False)
            done += len(chunk)
            reporter.advance(done)
            chunk = list(islice(source, batch_size))
        reporter.finish(done)
    return done


def stage_value_chunks(
    conn: Connection,
    table: str,
    chunks: Iterable[list[object]],
    width: int,
    progress: Progress | None,
    commit: bool,
) -> int:
    """Stages chunks of converted values, `width` to a row, row after row,
    all or nothing; returns how many rows."""
    source = iter(chunks)
    chunk = next(source, None)
    while chunk is not None and not chunk:
        chunk = next(source, None)
    if chunk is None:
        return 0  # nothing to write: no transaction either
    reporter = Reporter(progress, None)
    done = 0
    with AllOrNothing(conn, commit):
        while chunk is not None:
            if chunk:
                _native.stage_values(conn, table, chunk, width, False)
                done += len(chunk) // width
                reporter.advance(done)
            chunk = next(source, None)
        reporter.finish(done)
    return done


def merge(conn: Connection, table: str, progress: Progress | None, commit: bool) -> MergeReport:
    """temp_to_main with its counts; all or nothing also inside a caller's
    transaction."""
    if not conn.in_transaction:
        # The merge opens its own transaction and rolls it back on failure.
        return MergeReport(*_native.merge(conn, table, commit, progress))
    with AllOrNothing(conn, commit):
        return MergeReport(*_native.merge(conn, table, False, progress))


def _length(rows: Iterable[object]) -> int | None:
    """How many rows there are, when the container knows without a pass."""
    if isinstance(rows, Sized):
        try:
            return len(rows)
        except TypeError:
            return None
    return None
