"""`norvane stage` of a large CSV against the same work by hand and against
the tools users would pick instead.

A CSV of the price feed (benchmarks/scenarios.py) is staged into an empty
table with rules (sup, sku) and (barcode) by:

- norvane stage, detecting the column types (a second pass over the file);
- one Python process: csv.reader, int()/float() by column, Table.stage of
  the typed tuples (the types known beforehand);
- the sqlite3 shell's .import into a plain table (no rules, text columns);
- sqlite-utils insert --csv --detect-types into a plain table.

Every contender runs as its own process, timed from start to exit; the two
norvane contenders best of the runs, the other tools once. The two norvane contenders also report the growth of their peak
RSS over the RSS they had once imported.

    python -m benchmarks.command_line child stage|python DB CSV
        one measured run (used by lines()); prints JSON
"""

import csv
import json
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time
from pathlib import Path

if __package__ in (None, ""):
    sys.path[0] = str(Path(__file__).resolve().parent.parent)

from benchmarks.scenarios import PRICE_FEED_COLUMNS, PRICE_FEED_RULES, PRICE_FEED_TABLE, price_feed_main

ROOT = Path(__file__).resolve().parent.parent
TARGET_RATIO = 1.3
TARGET_RSS_MIB = 64


def _status_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def child(mode, db, path):
    """One run in this process: RSS once imported, the work, peak RSS."""
    from norvane import Table
    from norvane.cli import cli

    start_kib = _status_kib("VmRSS")
    started = time.perf_counter()
    cpu_started = time.process_time()
    if mode == "stage":
        cli.main(["stage", db, PRICE_FEED_TABLE, path, "--quiet"], standalone_mode=False)
    else:
        conn = sqlite3.connect(db)
        with open(path, newline="", encoding="utf-8") as source:
            reader = csv.reader(source)
            next(reader)
            Table(conn, PRICE_FEED_TABLE).stage(
                (int(sup), int(sku), barcode, float(price)) for sup, sku, barcode, price in reader
            )
        conn.close()
    seconds = time.perf_counter() - started
    cpu = time.process_time() - cpu_started
    growth = (_status_kib("VmHWM") - start_kib) / 1024
    print(json.dumps({"seconds": seconds, "cpu": cpu, "rss_growth_mib": growth}))


def _write_csv(path, count):
    with open(path, "w", newline="", encoding="utf-8") as out:
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow(PRICE_FEED_COLUMNS)
        writer.writerows(price_feed_main(count))


def _template(path):
    from norvane import Table, Unique, _native

    conn = sqlite3.connect(path)
    _native.prepare_catalog(conn)
    rules = [Unique(name, list(columns)) for name, columns in PRICE_FEED_RULES.items()]
    Table(conn, PRICE_FEED_TABLE).create(list(PRICE_FEED_COLUMNS), unique=rules)
    conn.close()


def _timed(command, stdin=None):
    started = time.perf_counter()
    done = subprocess.run(command, input=stdin, capture_output=True, text=True, cwd=ROOT, check=False)
    seconds = time.perf_counter() - started
    if done.returncode != 0:
        raise RuntimeError(f"{command[0]} failed: {done.stderr.strip()[-300:]}")
    return seconds, done.stdout


def _sqlite_utils():
    beside = Path(sys.executable).parent / "sqlite-utils"
    return str(beside) if beside.exists() else shutil.which("sqlite-utils")


def _utils_detect_flag():
    usage = subprocess.run([_sqlite_utils(), "insert", "--help"], capture_output=True, text=True, check=False)
    return ["--detect-types"] if " --detect-types" in usage.stdout else []


def lines(quick, runs, progress=lambda message: None):
    count = 20_000 if quick else 1_000_000
    runs = 1 if quick else max(1, min(runs, 2))
    out = []
    with tempfile.TemporaryDirectory(prefix="norvane-cli-") as root:
        root = Path(root)
        data = root / "feed.csv"
        progress(f"command line: writing a {count:,}-row CSV")
        _write_csv(data, count)
        template = root / "template.db"
        _template(template)
        size_mib = data.stat().st_size / 2**20

        def norvane_run(mode):
            db = root / f"{mode}.db"
            shutil.copy(template, db)
            seconds, stdout = _timed(
                [sys.executable, "-m", "benchmarks.command_line", "child", mode, str(db), str(data)]
            )
            conn = sqlite3.connect(db)
            staged = conn.execute(f"SELECT count(*) FROM temp_{PRICE_FEED_TABLE}").fetchone()[0]
            types = conn.execute(
                f"SELECT typeof(sup), typeof(sku), typeof(barcode), typeof(price) FROM temp_{PRICE_FEED_TABLE} LIMIT 1"
            ).fetchone()
            conn.close()
            if staged != count or types != ("integer", "integer", "text", "real"):
                raise RuntimeError(f"{mode}: staged {staged} rows typed {types}")
            measured = json.loads(stdout.strip().splitlines()[-1])
            return seconds, measured["rss_growth_mib"], measured["cpu"]

        def shell_run():
            db = root / "shell.db"
            db.unlink(missing_ok=True)
            return _timed(["sqlite3", str(db)], stdin=f".mode csv\n.import '{data}' {PRICE_FEED_TABLE}\n")[0]

        def utils_run():
            db = root / "utils.db"
            db.unlink(missing_ok=True)
            # Version 4 detects types unless told not to; version 3 only when told.
            return _timed(
                [_sqlite_utils(), "insert", str(db), PRICE_FEED_TABLE, str(data), "--csv", *_utils_detect_flag()]
            )[0]

        best = {}
        growth = {}
        cpu = {}
        contenders = {"stage": lambda: norvane_run("stage"), "python": lambda: norvane_run("python")}
        notes = []
        if shutil.which("sqlite3"):
            contenders["shell"] = shell_run
        else:
            notes.append("sqlite3 shell: not installed (Debian package sqlite3); its line is skipped")
        if _sqlite_utils():
            contenders["utils"] = utils_run
        else:
            notes.append("sqlite-utils: not installed (the project's bench extra); its line is skipped")
        for run in range(runs):
            for name, contender in contenders.items():
                if run > 0 and name in ("shell", "utils"):
                    continue  # the other tools once: they only set the scene
                progress(f"command line: {name}, run {run + 1} of {runs}")
                result = contender()
                seconds = result[0] if isinstance(result, tuple) else result
                if isinstance(result, tuple):
                    growth[name] = max(growth.get(name, 0.0), result[1])
                    cpu[name] = min(cpu.get(name, result[2]), result[2])
                best[name] = min(best.get(name, seconds), seconds)

        ratio = best["stage"] / best["python"]
        cpu_ratio = cpu["stage"] / cpu["python"]
        if quick:
            verdict = "judged at 1,000,000 rows; here start-up weighs"
        else:
            verdict = "met" if ratio <= TARGET_RATIO else "MISSED"
        out.append(
            f"Command line: stage a {count:,}-row price feed CSV ({size_mib:.0f} MiB) into an empty table "
            f"with rules (sup, sku) and (barcode); each contender a process, norvane best of {runs}"
        )
        out.append(
            f"  norvane stage, types detected           {best['stage']:8.2f} s  {count / best['stage']:>10,.0f} rows/s"
        )
        out.append(
            f"  Python: csv.reader, typing, Table.stage {best['python']:8.2f} s  "
            f"{count / best['python']:>10,.0f} rows/s"
        )
        out.append(
            f"  norvane stage / Python: {ratio:.2f}x (target <= {TARGET_RATIO}x: {verdict}); "
            f"CPU time of the work {cpu['stage']:.2f} s / {cpu['python']:.2f} s = {cpu_ratio:.2f}x"
        )
        if "shell" in best:
            out.append(
                f"  sqlite3 shell .import, plain table      {best['shell']:8.2f} s  "
                f"{count / best['shell']:>10,.0f} rows/s"
            )
        if "utils" in best:
            out.append(
                f"  sqlite-utils insert --csv --detect-types {best['utils']:7.2f} s  "
                f"{count / best['utils']:>10,.0f} rows/s"
            )
        rss = growth["stage"]
        out.append(
            f"  peak RSS growth: norvane stage {rss:.1f} MiB (target <= {TARGET_RSS_MIB} MiB: "
            f"{'met' if rss <= TARGET_RSS_MIB else 'MISSED'}), Python by hand {growth['python']:.1f} MiB"
        )
        out += [f"  {note}" for note in notes]
    return out


if __name__ == "__main__":
    if len(sys.argv) == 5 and sys.argv[1] == "child":
        child(*sys.argv[2:])
    else:
        quick = "--quick" in sys.argv
        for line in lines(quick, 2, lambda message: print(message, file=sys.stderr, flush=True)):
            print(line)
