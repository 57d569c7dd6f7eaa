"""Run the norvane benchmarks and print one table.

    python benchmarks/run.py [--quick] [--runs N] [--scenario NAME ...]

Each scenario is timed for its contenders, in rotating order within every run:

- norvane: the extension module;
- replay: the exact statement sequence that norvane issued, recorded once through
  a proxy connection and replayed in a tight loop over one cursor, the least any
  implementation of these calls can cost through the sqlite3 module;
- plain: the same algorithms written as plain Python (benchmarks/plain.py);
- native: what a user would write with SQLite alone (INSERT OR REPLACE through
  executemany into a table with UNIQUE indexes, a plain SELECT, plain DDL);
- rebuild (burst scenarios, which time norvane, statements, rebuild and native
  only): norvane with every merge forced to drop and rebuild the main table's
  indexes;
- statements (burst scenarios): norvane with every merge forced to one
  statement per row, as it merged before it learnt to merge in sets.

After the table, unless --quick or --scenario is given: the same work on a local
3-node dqlite cluster and on a local file (benchmarks/cluster.py).

Every run starts from a fresh copy of a template database, so set-up is not
timed; only the library call is. Nothing here asserts anything about timings.
"""

import argparse
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

if __package__ in (None, ""):  # started as a script: python benchmarks/run.py
    sys.path[0] = str(Path(__file__).resolve().parent.parent)

from benchmarks import (  # noqa: E402
    cluster,
    command_line,
    feed_merge,
    frames,
    interrupts,
    newest,
    plain,
    reads,
    results_json,
)
from benchmarks.harness import (  # noqa: E402
    NATIVE,
    NORVANE,
    PLAIN,
    REBUILD,
    REPLAY,
    STATEMENTS,
    Contender,
    Forced,
    Measurement,
    Workspace,
    merge_memory,
    record,
    total,
)
from benchmarks.replay import statement_count  # noqa: E402
from benchmarks.report import burst_lines, memory_lines, table  # noqa: E402
from benchmarks.scenarios import FULL, QUICK, SCENARIOS, Ingest  # noqa: E402

SEED = 20240613
NEWEST = "newest"  # find's newest test at scale (benchmarks/newest.py), its own table
READS = "reads"  # Table reads on the price feed (benchmarks/reads.py), its own table
FRAMES = "frames"  # DataFrames in and out (benchmarks/frames.py), its own tables
COMMAND_LINE = "command_line"  # norvane stage of a CSV (benchmarks/command_line.py)
FEED_MERGE = "feed_merge"  # Table merges and deletes by key against SQLite (benchmarks/feed_merge.py)
OWN_TABLES = (NEWEST, READS, FRAMES, COMMAND_LINE, FEED_MERGE)


def parse_args(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small sizes, for a smoke run")
    parser.add_argument("--runs", type=int, default=5, help="timed runs per contender (default 5)")
    parser.add_argument(
        "--scenario",
        action="append",
        choices=sorted([*SCENARIOS, *OWN_TABLES]),
        metavar="NAME",
        help=f"run only this scenario; may be repeated ({', '.join([*SCENARIOS, *OWN_TABLES])})",
    )
    parser.add_argument(
        "--json", metavar="PATH", help="also write the results to PATH as JSON (make bench: docs/benchmarks.json)"
    )
    args = parser.parse_args(argv)
    if args.runs < 1:
        parser.error("--runs must be at least 1")
    return args


def progress(message):
    print(message, file=sys.stderr, flush=True)


def load_norvane():
    """The extension module, or None and the reason it cannot be used."""
    try:
        from norvane import norvane
    except ImportError as exc:
        return None, f"norvane is not importable ({exc}); its columns stay empty"
    return norvane, None


class ScenarioRun:
    """Everything measured for one scenario."""

    def __init__(self, scenario, norvane, workspace, notes):
        self.scenario = scenario
        self.norvane = norvane
        self.workspace = workspace
        self.notes = notes
        self.recording = self._record()

    def _record(self):
        """Record norvane's statements; fall back to the plain version's if it cannot run."""
        if REPLAY not in self.scenario.contenders:
            return None
        if self.norvane is not None:
            try:
                recording = record(self.scenario, self.norvane, self.workspace)
                self._note_unrecorded(recording)
                return recording
            except NotImplementedError as exc:
                self.notes.append(f"{self.scenario.key}: norvane raised NotImplementedError ({exc})")
                self.norvane = None
        self.notes.append(f"{self.scenario.key}: replay of the plain version's statements")
        return record(self.scenario, plain, self.workspace)

    def _note_unrecorded(self, recording):
        if recording.unrecorded:
            used = ", ".join(sorted(recording.unrecorded))
            self.notes.append(f"{self.scenario.key}: norvane used {used}, which the replay does not reproduce")

    def contenders(self):
        scenario = self.scenario
        made = {
            PLAIN: lambda: Contender(PLAIN, scenario.template, scenario.calls(plain)),
            NATIVE: lambda: Contender(NATIVE, scenario.native_template, scenario.native_calls()),
        }
        if self.recording is not None:
            made[REPLAY] = lambda: self.recording.contender(scenario.template)
        if self.norvane is not None:
            calls = scenario.calls(self.norvane)
            made[NORVANE] = lambda: Contender(NORVANE, scenario.template, calls)
            made[REBUILD] = lambda: Contender(
                REBUILD, scenario.template, scenario.calls(Forced(self.norvane, indexes="rebuild"))
            )
            made[STATEMENTS] = lambda: Contender(
                STATEMENTS, scenario.template, scenario.calls(Forced(self.norvane, merge_path="statements"))
            )
        return [made[name]() for name in scenario.contenders if name in made]

    def measure(self, runs):
        scenario = self.scenario
        measurements = {phase: Measurement(scenario.title, phase) for phase in scenario.labels()}
        for phase, ops in self.recording.phases if self.recording else ():
            measurements[phase].statements = statement_count(ops)
        contenders = self.contenders()
        outcomes = {}
        for run in range(runs):
            shift = run % len(contenders)
            for contender in contenders[shift:] + contenders[:shift]:
                compare = scenario.outcome if run == 0 and contender.name != NATIVE else None
                times, outcome = contender.run(self.workspace, compare)
                for phase, seconds in times:
                    measurements[phase].add(contender.name, seconds)
                if outcome is not None:
                    outcomes[contender.name] = outcome
        self._check_outcomes(outcomes)
        if scenario.total:
            measurements[scenario.total] = total(scenario.title, scenario.phases, measurements, scenario.total)
        return [measurements[phase] for phase in scenario.labels()]

    def _check_outcomes(self, outcomes):
        """Every contender that does the same work must leave the same result."""
        reference_name = NORVANE if NORVANE in outcomes else PLAIN
        reference = outcomes.get(reference_name)
        for name, outcome in outcomes.items():
            if outcome != reference:
                self.notes.append(f"{self.scenario.key}: the outcome of {name} differs from that of {reference_name}")


@dataclass
class Report:
    measurements: list = field(default_factory=list)
    descriptions: list = field(default_factory=list)
    memory: list = field(default_factory=list)
    notes: list = field(default_factory=list)
    own: dict = field(default_factory=dict)  # lines of the scenarios with tables of their own

    def print(self, runs, sizes):
        if self.measurements:
            print(table(self.measurements, runs))
        smallest = f"{min(sizes.burst_main):,}"
        for line in (
            self.descriptions + burst_lines(self.measurements, smallest) + memory_lines(self.memory) + self.notes
        ):
            print(line)
        for lines in self.own.values():
            for line in lines:
                print(line)


def measure_memory(scenario, norvane, workspace):
    statements = Forced(norvane, merge_path="statements") if norvane is not None else None
    libraries = {NORVANE: norvane, PLAIN: plain, STATEMENTS: statements}
    return [
        merge_memory(name, libraries[name], scenario, workspace)
        for name in scenario.memory_contenders
        if libraries[name] is not None
    ]


def run(args):
    sizes = QUICK if args.quick else FULL
    norvane, reason = load_norvane()
    report = Report(notes=[reason] if reason else [])
    with tempfile.TemporaryDirectory(prefix="norvane-bench-") as root:
        workspace = Workspace(root)
        for key in [k for k in args.scenario or SCENARIOS if k not in OWN_TABLES]:
            made = SCENARIOS[key](sizes, SEED)
            for scenario in made if isinstance(made, list) else [made]:
                run_scenario(scenario, norvane, workspace, args.runs, report)
        # Scenarios with tables of their own, each giving its lines.
        own = {
            NEWEST: lambda: newest.run(norvane, args.quick, args.runs, workspace.root, progress),
            READS: lambda: reads.run(args.quick, args.runs, workspace.root, progress),
            FRAMES: lambda: frames.run(norvane, args.quick, args.runs, workspace.root, progress),
            COMMAND_LINE: lambda: command_line.lines(args.quick, args.runs, progress),
            FEED_MERGE: lambda: feed_merge.run(args.quick, args.runs, workspace.root, progress),
        }
        for key, lines_of in own.items():
            if norvane is not None and (args.scenario is None or key in args.scenario):
                started = time.perf_counter()
                report.own[key] = lines_of()
                progress(f"{key}: done in {time.perf_counter() - started:.1f} s")
    if norvane is not None and not args.scenario:
        progress("interrupt latency")
        report.descriptions += interrupts.latency_lines(args.quick)
    if norvane is not None and not args.scenario:
        progress("cluster")
        report.descriptions += cluster.lines(norvane, args.quick)
    return report


def run_scenario(scenario, norvane, workspace, runs, report):
    started = time.perf_counter()
    progress(f"{scenario.title}: preparing templates")
    scenario.prepare(workspace.root)
    scenario_run = ScenarioRun(scenario, norvane, workspace, report.notes)
    progress(f"{scenario.title}: timing {runs} runs")
    report.measurements += scenario_run.measure(runs)
    report.descriptions.append(f"{scenario.title}: {scenario.describe()}")
    if isinstance(scenario, Ingest):
        report.memory += measure_memory(scenario, scenario_run.norvane, workspace)
    progress(f"{scenario.title}: done in {time.perf_counter() - started:.1f} s")


def main(argv=None):
    args = parse_args(argv)
    sizes = QUICK if args.quick else FULL
    report = run(args)
    report.print(args.runs, sizes)
    if args.json:
        results_json.write(args.json, results_json.document(report, args.runs, sizes, args.quick, args.scenario))


if __name__ == "__main__":
    main()
