"""How soon Ctrl-C stops a long call: a merge of many staged rows and a find
that walks every candidate (through a wrapper connection, so the
statement-by-statement newest test runs). SIGALRM stands in for Ctrl-C; the
latency is the time from the signal to the handler running inside the call.
"""

import signal
import sqlite3
import tempfile
import time
from pathlib import Path

from benchmarks.newest import Wrapped


def _latency(call, delay):
    """Seconds from the signal to KeyboardInterrupt inside `call`, and whether it came."""
    arrived = []

    def handler(signum, frame):
        arrived.append(time.perf_counter())
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, handler)
    start = time.perf_counter()
    signal.setitimer(signal.ITIMER_REAL, delay)
    try:
        call()
    except KeyboardInterrupt:
        pass
    finally:
        returned = time.perf_counter()
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    if not arrived:
        return None
    return arrived[0] - (start + delay), returned - (start + delay)


def _prepare(nv, path, staged):
    conn = sqlite3.connect(path)
    conn.executescript(
        "CREATE TABLE IF NOT EXISTS index_table (table_name, index_name, columns);"
        "CREATE TABLE IF NOT EXISTS unique_table (table_name, unique_name, columns, col_num);"
    )
    nv.create_table(conn, "t", ["k", "v"], [{"name": "iv", "cols": "v"}], [{"name": "uk", "cols": [0]}])
    nv.insert_temp(conn, "t", [(i, i * 7) for i in range(staged)])
    return conn


def latency_lines(quick):
    from norvane import norvane as nv

    merge_rows, find_rows = (20_000, 1_000) if quick else (1_000_000, 8_000)
    lines = []
    with tempfile.TemporaryDirectory(prefix="norvane-interrupt-") as root:
        conn = _prepare(nv, str(Path(root) / "merge.db"), merge_rows)
        delay = 0.05 if quick else 0.5
        took = _latency(lambda: nv.temp_to_main(conn, "t"), delay)
        lines.append(_line(f"merge of {merge_rows:,} staged rows", delay, took))
        conn.close()
        conn = _prepare(nv, str(Path(root) / "find.db"), find_rows)
        delay = 0.05 if quick else 1.0
        took = _latency(lambda: nv.find(Wrapped(conn), "*", "t", ""), delay)
        lines.append(_line(f"find walking {find_rows:,} staged rows", delay, took))
        conn.close()
    return lines


def _line(what, delay, took):
    if took is None:
        return f"Ctrl-C during a {what}: the call ended before the signal at {delay:.2f} s"
    raised, returned = took
    return (
        f"Ctrl-C during a {what}, sent {delay:.2f} s in: KeyboardInterrupt after {raised * 1000:.1f} ms, "
        f"the call rolled back and returned after {returned * 1000:.1f} ms"
    )
