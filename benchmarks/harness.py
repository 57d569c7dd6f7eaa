"""Fresh databases, timed calls, contenders and the measurements they produce."""

import gc
import itertools
import os
import shutil
import sqlite3
import statistics
import time
import tracemalloc
from contextlib import contextmanager
from dataclasses import dataclass, field
from functools import partial
from pathlib import Path

from benchmarks.replay import RecordingConnection, replay
from benchmarks.scenarios import TABLE

NORVANE, REPLAY, PLAIN, NATIVE = "norvane", "replay", "plain", "native"
REBUILD = "rebuild"  # norvane with every merge forced to drop and rebuild the indexes
STATEMENTS = "statements"  # norvane with every merge forced to one statement per row


class Forced:
    """The module functions of ``lib`` (norvane.norvane) with norvane's merges and staging made
    with options of their own, one call at a time: ``merge_path="statements"`` merges one
    statement per row, ``indexes`` ("keep" or "rebuild") forces the index policy of every
    merge, ``staging_path="statements"`` stages one statement per row where it would stage as
    JSON. Every other function is the module's own."""

    def __init__(self, lib, merge_path="auto", indexes="auto", staging_path=None):
        self._lib = lib
        self._merge = (merge_path, indexes)
        self._staging = staging_path

    def __getattr__(self, name):
        return getattr(self._lib, name)

    def temp_to_main(self, conn, table, comm=True):
        from norvane import _native

        _native.traced_merge(conn, table, comm, None, 0, *self._merge)

    def insert_temp(self, conn, table, rows, comm=True):
        if self._staging is None:
            return self._lib.insert_temp(conn, table, rows, comm)
        from norvane import _native

        _native.traced_stage(conn, table, list(rows), comm, self._staging, False)
        return None


class Workspace:
    """A directory in which every run gets its own copy of a template database."""

    def __init__(self, root):
        self.root = Path(root)
        self._numbers = itertools.count()

    @contextmanager
    def connection(self, template):
        path = self.root / f"run-{next(self._numbers)}.db"
        shutil.copy(template, path)
        flush(path)
        conn = sqlite3.connect(path)
        try:
            yield conn
        finally:
            conn.close()
            for leftover in self.root.glob(path.name + "*"):
                leftover.unlink()


def flush(path):
    """Write a fresh copy to disk now, or the first commit of a timed call pays for it."""
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def timed(call, conn):
    """Seconds that ``call(conn)`` takes, and its result."""
    gc.collect()
    start = time.perf_counter()
    result = call(conn)
    return time.perf_counter() - start, result


@dataclass
class Contender:
    """One way of doing a scenario's work: a template to start from and timed calls."""

    name: str
    template: Path
    calls: list  # (phase, callable taking a connection)

    def run(self, workspace, outcome=None):
        """Time every call on a fresh copy; also return ``outcome(conn, last result)`` if given."""
        with workspace.connection(self.template) as conn:
            times = []
            result = None
            for phase, call in self.calls:
                seconds, result = timed(call, conn)
                times.append((phase, seconds))
            return times, outcome(conn, result) if outcome else None


@dataclass
class Recording:
    """The operations a library issued, phase by phase, on one fresh copy."""

    phases: list  # (phase, operations)
    unrecorded: set

    def contender(self, template):
        calls = [(phase, partial(replay, ops=ops)) for phase, ops in self.phases]
        return Contender(REPLAY, template, calls)


def record(scenario, lib, workspace):
    with workspace.connection(scenario.template) as conn:
        proxy = RecordingConnection(conn)
        phases = []
        for phase, call in scenario.calls(lib):
            call(proxy)
            phases.append((phase, proxy.take()))
    return Recording(phases, proxy.unrecorded)


@dataclass
class Measurement:
    """Seconds per run for each contender, for one row of the report."""

    scenario: str
    phase: str
    samples: dict = field(default_factory=dict)  # contender name -> seconds, one per run
    statements: int | None = None  # statements the recorded call issued

    def add(self, contender, seconds):
        self.samples.setdefault(contender, []).append(seconds)

    def median(self, contender):
        runs = self.samples.get(contender)
        return statistics.median(runs) if runs else None

    def span(self, contender):
        runs = self.samples[contender]
        return min(runs), max(runs)

    def ratio(self, numerator, denominator):
        top, bottom = self.median(numerator), self.median(denominator)
        return top / bottom if top is not None and bottom else None


def total(scenario, phases, measurements, label):
    """A measurement whose runs are the per-run sums over ``phases``.

    A contender that reported under ``label`` directly keeps those runs.
    """
    combined = Measurement(scenario, label)
    parts = [measurements[phase] for phase in phases]
    for contender in parts[0].samples:
        if all(contender in part.samples for part in parts):
            for runs in zip(*(part.samples[contender] for part in parts)):
                combined.add(contender, sum(runs))
    for contender, runs in measurements.get(label, Measurement(scenario, label)).samples.items():
        combined.samples[contender] = list(runs)
    statements = [part.statements for part in parts]
    combined.statements = None if None in statements else sum(statements)
    return combined


# Memory


@dataclass
class MergeMemory:
    scenario: str
    contender: str
    staged_bytes: int
    peak_bytes: int

    @property
    def ratio(self):
        return self.peak_bytes / self.staged_bytes


def traced(call):
    """Run ``call()`` under tracemalloc: its result, the bytes still held and the peak."""
    gc.collect()
    tracemalloc.start()
    try:
        result = call()
        current, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    return result, current, peak


def merge_memory(name, lib, scenario, workspace, merge=None):
    """Peak traced memory of ``temp_to_main`` (or ``merge(conn)``) against the staged rows as
    Python objects."""
    with workspace.connection(scenario.template) as conn:
        lib.insert_temp(conn, TABLE, scenario.staged)
        rows, staged_bytes, _ = traced(lambda: conn.execute(f"SELECT * FROM temp_{TABLE}").fetchall())
        del rows
        _, _, peak = traced(lambda: (merge or (lambda c: lib.temp_to_main(c, TABLE)))(conn))
    return MergeMemory(scenario.title, name, staged_bytes, peak)
