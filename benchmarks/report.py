"""The one table that the benchmarks print, and the notes below it."""

from benchmarks.harness import NATIVE, NORVANE, PLAIN, REBUILD, REPLAY, STATEMENTS

CONTENDERS = (NORVANE, REPLAY, PLAIN, STATEMENTS, REBUILD, NATIVE)
RATIOS = (
    ("norvane/replay", NORVANE, REPLAY),
    ("statements/native", STATEMENTS, NATIVE),
    ("plain/norvane", PLAIN, NORVANE),
    ("norvane/rebuild", NORVANE, REBUILD),
    ("norvane/native", NORVANE, NATIVE),
)
MISSING = "-"


def _milliseconds(measurement, contender):
    median = measurement.median(contender)
    if median is None:
        return MISSING
    low, high = measurement.span(contender)
    return f"{median * 1e3:.1f} [{low * 1e3:.1f}-{high * 1e3:.1f}]"


def _ratio(measurement, numerator, denominator):
    ratio = measurement.ratio(numerator, denominator)
    return MISSING if ratio is None else f"{ratio:.2f}"


def _row(measurement):
    statements = MISSING if measurement.statements is None else f"{measurement.statements:,}"
    return [
        measurement.scenario,
        measurement.phase,
        statements,
        *(_milliseconds(measurement, contender) for contender in CONTENDERS),
        *(_ratio(measurement, top, bottom) for _, top, bottom in RATIOS),
    ]


def table(measurements, runs):
    header = [
        "scenario",
        "phase",
        "statements",
        *(f"{name} ms" for name in CONTENDERS),
        *(name for name, _, _ in RATIOS),
    ]
    rows = [header, *(_row(m) for m in measurements)]
    widths = [max(len(row[i]) for row in rows) for i in range(len(header))]
    numeric_from = 2  # text columns are left-aligned, figures right-aligned

    def line(cells):
        return "  ".join(
            cell.ljust(width) if i < numeric_from else cell.rjust(width)
            for i, (cell, width) in enumerate(zip(cells, widths))
        ).rstrip()

    title = f"median of {runs} runs [min-max] in milliseconds; ratios of medians from this run"
    rule = "-" * len(line(header))
    return "\n".join([title, rule, line(header), rule, *map(line, rows[1:]), rule])


def memory_lines(results):
    lines = []
    for result in results:
        lines.append(
            f"{result.scenario}: merge peak memory, {result.contender}: {result.peak_bytes / 2**20:.1f} MiB peak during "
            f"temp_to_main vs {result.staged_bytes / 2**20:.1f} MiB of staged rows as Python objects "
            f"= {result.ratio:.2f}x"
        )
    if lines:
        lines.append("(memory as tracemalloc sees it: allocations through Python's allocators only)")
    return lines


def burst_lines(measurements, smallest):
    """How a fixed burst's cost grows with the main table: each size against the smallest."""
    totals = {
        m.scenario: m for m in measurements if m.scenario.startswith("burst ") and m.phase.startswith("insert_temp +")
    }
    lines = []
    for title, measurement in totals.items():
        staged, main = title.removeprefix("burst ").split(" into ")
        if main == smallest:
            continue
        base = totals.get(f"burst {staged} into {smallest}")
        if base is not None and base.median(NORVANE) and measurement.median(NORVANE) is not None:
            lines.append(
                f"burst of {staged} rows: into {main} rows costs "
                f"{measurement.median(NORVANE) / base.median(NORVANE):.2f}x what it costs into {smallest}"
            )
    return lines
