"""The same work on a local 3-node dqlite cluster and on a local file.

10,000 staged rows with duplicate keys merged into 100,000 main rows (rules on
code and on (name, place), an index on score): stage, find 10% (staged and
main together), merge, find 10% again. Every statement on the cluster is a
round trip to the leader (and every commit a Raft round), so the table gives
the requests each phase sent as well as its time, for

- norvane on the cluster (staging as JSON, the merge in sets);
- the contender: the same work written by hand as few statements (one
  json_each INSERT; BEGIN, one DELETE over the rule columns, one INSERT ...
  SELECT of the newest staged rows, DELETE of the staging rows, COMMIT; find
  as one UNION ALL SELECT of both tables' candidates and the newest test in
  Python over one UNION ALL scan of both tables' rule columns);
- the rounds contender: the contender with find in rounds instead (the
  candidates' keys followed together, each round one statement of json_each
  lookups through the main table's rule indexes and one scan of the staging
  table, until no key is new); norvane's find is judged against it;
- norvane on the cluster one statement per row, as before staging as JSON and
  merging in sets (`_native.traced_stage` / `traced_merge` with the path
  "statements");
- norvane on a local file.

Requests are counted on the driver's own classes: a wrapper connection would
send norvane down its statement-by-statement paths.
"""

import json
import random
import sqlite3
import statistics
import tempfile
import time
from contextlib import contextmanager
from pathlib import Path

from benchmarks.harness import Forced
from benchmarks.scenarios import (
    COLUMNS,
    MERGE_SCHEMA,
    PRICE_FEED_COLUMNS,
    PRICE_FEED_INDEXES,
    PRICE_FEED_RULES,
    PRICE_FEED_TABLE,
    SCORE_RANGE,
    SELECTIVE,
    TABLE,
    price_feed_main,
    price_feed_staged,
)

SIZE = 10_000
MAIN = 100_000
QUICK_LINE = "cluster: skipped (--quick); `make bench` runs it on a local 3-node dqlite cluster"
PHASES = ("insert_temp", "find 10% (staged)", "temp_to_main", "find 10% (main)")
NORVANE, CONTENDER, ROUNDS, BEFORE, LOCAL = "norvane", "contender", "rounds", "one per row", "file"
FIND_TARGET = 1.5  # norvane's find at most this many times the rounds contender's


def main_rows(count, rng):
    return [(i, f"name{i}", i % 4, rng.randrange(SCORE_RANGE)) for i in range(count)]


def staged_rows(count, rng):
    """Half of them supersede a main row by code; duplicates among themselves by code and (name, place)."""
    return [
        (rng.randrange(2 * MAIN), f"name{rng.randrange(MAIN + count)}", rng.randrange(4), rng.randrange(SCORE_RANGE))
        for _ in range(count)
    ]


class Requests:
    """Statements and commits sent through the dqlite driver while counting."""

    def __init__(self):
        self.count = 0

    @contextmanager
    def counting(self):
        import dqlitedbapi

        execute, commit = dqlitedbapi.Cursor.execute, dqlitedbapi.Connection.commit

        def counted_execute(cursor, *args):
            self.count += 1
            return execute(cursor, *args)

        def counted_commit(conn):
            self.count += bool(conn.in_transaction)
            return commit(conn)

        dqlitedbapi.Cursor.execute, dqlitedbapi.Connection.commit = counted_execute, counted_commit
        try:
            yield self
        finally:
            dqlitedbapi.Cursor.execute, dqlitedbapi.Connection.commit = execute, commit


def create(nv, conn, main):
    from norvane.catalog import prepare_catalog

    prepare_catalog(conn)
    nv.create_table(
        conn,
        TABLE,
        COLUMNS,
        [{"name": name, "cols": cols} for name, cols in MERGE_SCHEMA.indexes.items()],
        [{"name": name, "cols": positions} for name, positions in MERGE_SCHEMA.rules.items()],
    )
    nv.insert_temp(conn, TABLE, main)
    nv.temp_to_main(conn, TABLE)


def norvane_phases(nv, rows):
    return [
        lambda conn: nv.insert_temp(conn, TABLE, rows),
        lambda conn: nv.find(conn, "*", TABLE, SELECTIVE),
        lambda conn: nv.temp_to_main(conn, TABLE),
        lambda conn: nv.find(conn, "*", TABLE, SELECTIVE),
    ]


def contender_phases(rows):
    code, name, place = (COLUMNS[p] for p in (0, 1, 2))
    staging = f"temp_{TABLE}"
    columns = ",".join(COLUMNS)

    def stage(conn):
        picks = ", ".join(f"value->>{k}" for k in range(len(COLUMNS)))
        conn.cursor().execute(
            f"INSERT INTO {staging} SELECT {picks} FROM json_each(?) ORDER BY key", [json.dumps(rows)]
        )
        if conn.in_transaction:
            conn.commit()

    def merge(conn):
        cur = conn.cursor()
        cur.execute("BEGIN IMMEDIATE")
        cur.execute(
            f"DELETE FROM {TABLE} WHERE {code} IN (SELECT {code} FROM {staging}) "
            f"OR ({name}, {place}) IN (SELECT {name}, {place} FROM {staging})"
        )
        cur.execute(
            f"INSERT INTO {TABLE} SELECT {columns} FROM (SELECT *, rowid AS r, "
            f"max(rowid) OVER (PARTITION BY {code}) AS m0, "
            f"max(rowid) OVER (PARTITION BY {name}, {place}) AS m1 FROM {staging}) "
            f"WHERE r = m0 AND r = m1 ORDER BY r DESC"
        )
        cur.execute(f"DELETE FROM {staging}")
        cur.execute("COMMIT")

    def find(conn):
        # The candidates of both tables in one statement, then the newest test
        # over one scan of both tables' rule columns.
        cur = conn.cursor()
        candidates = cur.execute(CANDIDATES).fetchall()
        scanned = cur.execute(
            f"SELECT 1, rowid, {KEY_LIST} FROM {staging} UNION ALL SELECT 0, rowid, {KEY_LIST} FROM {TABLE}"
        ).fetchall()
        if conn.in_transaction:
            conn.commit()
        links = Links()
        for row in scanned:
            links.add((row[0], row[1]), row[2:])
        return links.newest(candidates)

    return [stage, find, merge, find]


# The contenders' find: the rules over the key columns (KEY_LIST, in order),
# and the candidates of both tables in one statement, each row (source,
# rowid, columns...), staged ones first.
RULES = [[COLUMNS[p] for p in positions] for positions in MERGE_SCHEMA.rules.values()]
KEY_ORDER = list(dict.fromkeys(c for rule in RULES for c in rule))
KEY_LIST = ", ".join(KEY_ORDER)
CANDIDATES = f"SELECT 1, rowid, * FROM temp_{TABLE} {SELECTIVE} UNION ALL SELECT 0, rowid, * FROM {TABLE} {SELECTIVE}"
ROUND_CAP = 6


class Links:
    """Rows sharing a key of a rule without NULLs are linked; a candidate is
    newest when no row linked to it, directly or through others, is later
    (staged after main, then by rowid). Nodes are (source, rowid); a row's
    keys are its values of KEY_ORDER."""

    def __init__(self):
        self.parent = {}
        self.holders = [{} for _ in RULES]
        self.picks = [[KEY_ORDER.index(c) for c in rule] for rule in RULES]

    def root(self, node):
        parent = self.parent
        while parent[node] != node:
            parent[node] = parent[parent[node]]
            node = parent[node]
        return node

    def add(self, node, keys):
        """Adds a row; returns its keys per rule (None for one holding a NULL)."""
        self.parent.setdefault(node, node)
        out = []
        for r, at in enumerate(self.picks):
            key = tuple(keys[i] for i in at)
            if None in key:
                out.append(None)
                continue
            holder = self.holders[r].setdefault(key, node)
            a, b = self.root(holder), self.root(node)
            self.parent[min(a, b)] = max(a, b)  # the root is the component's newest row
            out.append(key)
        return out

    def newest(self, candidates):
        """The candidates' values that are newest, a row equal to one returned already left out."""
        width = len(COLUMNS)
        answer, seen = [], set()
        for row in candidates:
            values = tuple(row[2 : 2 + width])
            node = (row[0], row[1])
            if self.root(node) == node and values not in seen:
                seen.add(values)
                answer.append(values)
        return answer


def _round_search(rule):
    picks = ", ".join(f"value->>{k}" for k in range(len(rule)))
    columns = rule[0] if len(rule) == 1 else f"({', '.join(rule)})"
    return f"{columns} IN (SELECT {picks} FROM json_each(?))"


def rounds_contender_phases(rows):
    """The contender's stage and merge; find in rounds: the candidates' keys
    followed together, each round one statement that searches all new keys
    through the main table's rule indexes and in one scan of the staging
    table (the keys bound as JSON arrays), until no key is new."""
    stage, _, merge, _ = contender_phases(rows)
    searches = [_round_search(rule) for rule in RULES]
    statement = " UNION ALL ".join(
        [f"SELECT 0, rowid, {KEY_LIST} FROM {TABLE} WHERE {search}" for search in searches]
        + [f"SELECT 1, rowid, {KEY_LIST} FROM temp_{TABLE} WHERE {' OR '.join(searches)}"]
    )
    key_at = [COLUMNS.index(c) for c in KEY_ORDER]

    def find(conn):
        cur = conn.cursor()
        candidates = cur.execute(CANDIDATES).fetchall()
        links = Links()
        asked = [set() for _ in RULES]
        pending = [[] for _ in RULES]

        def follow(node, keys):
            for r, key in enumerate(links.add(node, keys)):
                if key is not None and key not in asked[r]:
                    asked[r].add(key)
                    pending[r].append(key)

        for row in candidates:
            follow((row[0], row[1]), [row[2 + i] for i in key_at])
        rounds = 0
        while any(pending):
            rounds += 1
            if rounds > ROUND_CAP:
                raise RuntimeError("a chain past the cap: this contender has no scan to fall back on")
            params = [json.dumps(keys) for keys in pending] * 2
            pending = [[] for _ in RULES]
            for row in cur.execute(statement, params).fetchall():
                follow((row[0], row[1]), row[2:])
        if conn.in_transaction:
            conn.commit()
        return links.newest(candidates)

    return [stage, find, merge, find]


def run_once(nv, conn, main, phases, requests=None):
    """(seconds, requests) per phase (None for a phase not run), the merged main table, and what each find returned."""
    create(nv, conn, main)
    results, answers = [], []
    for call in phases:
        if call is None:
            results.append(None)
            continue
        before = requests.count if requests else 0
        start = time.perf_counter()
        answer = call(conn)
        results.append((time.perf_counter() - start, requests.count - before if requests else None))
        if isinstance(answer, list):
            answers.append(sorted(map(tuple, answer), key=repr))
    merged = [tuple(r) for r in conn.cursor().execute(f"SELECT rowid, * FROM {TABLE} ORDER BY rowid").fetchall()]
    return results, merged, answers


def _median(runs, i):
    done = [run[i] for run in runs if run[i] is not None]
    if not done:
        return None, None
    return statistics.median(t for t, _ in done), done[0][1]


def table(results, runs):
    header = [
        "phase",
        "norvane ms",
        "requests",
        "contender ms",
        "requests",
        "norvane/contender",
        "rounds ms",
        "requests",
        "norvane/rounds",
        "one per row ms",
        "requests",
        "file ms",
    ]
    lines = [header]
    for i, phase in enumerate(PHASES):
        ours, ours_req = _median(results[NORVANE], i)
        theirs, theirs_req = _median(results[CONTENDER], i)
        rounds, rounds_req = _median(results[ROUNDS], i)
        before, before_req = _median(results[BEFORE], i)
        local, _ = _median(results[LOCAL], i)
        lines.append(
            [
                phase,
                f"{ours * 1e3:.0f}",
                f"{ours_req:,}",
                "-" if theirs is None else f"{theirs * 1e3:.0f}",
                "-" if theirs is None else f"{theirs_req:,}",
                "-" if theirs is None else f"{ours / theirs:.2f}",
                "-" if rounds is None else f"{rounds * 1e3:.0f}",
                "-" if rounds is None else f"{rounds_req:,}",
                "-" if rounds is None else f"{ours / rounds:.2f}",
                "-" if before is None else f"{before * 1e3:.0f}",
                "-" if before is None else f"{before_req:,}",
                f"{local * 1e3:.1f}",
            ]
        )
    widths = [max(len(row[c]) for row in lines) for c in range(len(header))]
    text = [
        "  ".join(cell.ljust(w) if c == 0 else cell.rjust(w) for c, (cell, w) in enumerate(zip(row, widths)))
        for row in lines
    ]
    rule = "-" * len(text[0])
    title = (
        f"cluster: 3 dqlite nodes on 127.0.0.1, {SIZE:,} staged rows with duplicate keys into {MAIN:,} main "
        f"rows (rules on [0] and [1,2], an index on score), median of {runs} run(s), milliseconds; "
        f"'rounds' is the contender with find in rounds of json_each lookups; "
        f"'one per row' is norvane forced to stage and merge one statement per row"
    )
    return [title, rule, text[0], rule, *text[1:], rule, *find_verdicts(results)]


def find_verdicts(results):
    """norvane's find against the rounds contender's, with the verdict."""
    out = []
    for i, phase in enumerate(PHASES):
        ours, _ = _median(results[NORVANE], i)
        rounds, _ = _median(results[ROUNDS], i)
        if not phase.startswith("find") or ours is None or rounds is None:
            continue
        ratio = ours / rounds
        out.append(
            f"  {phase}: norvane / rounds contender {ratio:.2f}x "
            f"(target <= {FIND_TARGET}x: {'met' if ratio <= FIND_TARGET else 'MISSED'})"
        )
    return out


def lines(nv, quick, runs=1):
    """The cluster section of the report: the phases' table and the
    million-row scenario, or lines that say why they are missing."""
    return phase_lines(nv, quick, runs) + scale_lines(quick)


def phase_lines(nv, quick, runs=1):
    """The phases' table, or the line that says why there is none."""
    if quick:
        return [QUICK_LINE]
    from norvane.cluster import LocalCluster, missing_programs

    reason = missing_programs()
    if reason is not None:
        return [f"cluster: skipped: {reason}"]
    rng = random.Random(SIZE)
    main, rows = main_rows(MAIN, rng), staged_rows(SIZE, rng)
    results = {NORVANE: [], CONTENDER: [], ROUNDS: [], BEFORE: [], LOCAL: []}
    one_per_row = Forced(nv, merge_path="statements", staging_path="statements")
    merged, found = {}, {}
    requests = Requests()
    with tempfile.TemporaryDirectory(prefix="norvane-cluster-") as root:
        with LocalCluster(Path(root) / "nodes") as cluster:
            for run in range(runs):
                for name, phases in (
                    (NORVANE, norvane_phases(nv, rows)),
                    (CONTENDER, contender_phases(rows)),
                    (ROUNDS, rounds_contender_phases(rows)),
                    (BEFORE, norvane_phases(one_per_row, rows)[:3:2]),
                ):
                    if name == BEFORE:
                        phases = [phases[0], None, phases[1], None]
                    remote = cluster.connect(f"bench{run}{name.replace(' ', '')}")
                    try:
                        with requests.counting():
                            lib = one_per_row if name == BEFORE else nv
                            timings, merged[name], found[name] = run_once(lib, remote, main, phases, requests)
                    finally:
                        remote.close()
                    results[name].append(timings)
        for run in range(runs):
            local = sqlite3.connect(Path(root) / f"local{run}.db")
            try:
                timings, merged[LOCAL], found[LOCAL] = run_once(nv, local, main, norvane_phases(nv, rows))
            finally:
                local.close()
            results[LOCAL].append(timings)
    report = table(results, runs)
    if len({repr(m) for m in merged.values()}) != 1:
        differing = [name for name, m in merged.items() if m != merged[LOCAL]]
        report.append(f"cluster: the merged table of {', '.join(differing)} differs from the local file's")
    differing = [name for name in (NORVANE, CONTENDER, ROUNDS) if found[name] != found[LOCAL]]
    if differing:
        report.append(f"cluster: what find returned with {', '.join(differing)} differs from the local file's")
    return report


# A million rows on the cluster: the price feed staged and merged into an
# empty table, then a burst of a tenth of that, then a tenth of the rows
# deleted; each step's time, the leader's memory, and its rows against the
# same steps on a local file.

SCALE_ROWS = 1_000_000
SCALE_QUICK_ROWS = 20_000
SCALE_RSS_TARGET_MIB = 512  # the first step's growth of the leader
SCALE_REQUEST_TIMEOUT = 300.0  # one statement over a million rows takes seconds, more on a busy machine


def create_feed(conn):
    from norvane import Index, Table, Unique
    from norvane.catalog import prepare_catalog

    prepare_catalog(conn)
    return Table(conn, PRICE_FEED_TABLE).create(
        list(PRICE_FEED_COLUMNS),
        indexes=[Index(name, list(columns)) for name, columns in PRICE_FEED_INDEXES.items()],
        unique=[Unique(name, list(columns)) for name, columns in PRICE_FEED_RULES.items()],
    )


def delete_a_tenth(table):
    """Step 3. Deletes by key the (sup, sku) of every tenth main row in rowid order."""
    keys = table.rows(select=["sup", "sku"], order_by="rowid")
    table.delete_keys("by_product", keys[::10])


def scale_steps(size):
    """(name, function of a Table) of each step."""

    def stage_and_merge(rows):
        return lambda table: (table.stage(rows()), table.merge())

    return [
        (f"stage + merge {size:,} rows into an empty table", stage_and_merge(lambda: price_feed_main(size))),
        (f"stage + merge a burst of {size // 10:,} rows", stage_and_merge(lambda: price_feed_staged(size, size // 10))),
        ("delete 10 % of the rows", delete_a_tenth),
    ]


def _memory_kib(pid, field):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {field} for process {pid}")


def _reset_peak(pid):
    """Starts the peak RSS (VmHWM) afresh at the current RSS, where the kernel allows it."""
    try:
        with open(f"/proc/{pid}/clear_refs", "w") as clear:
            clear.write("5")
        return True
    except OSError:
        return False


def _stored(table):
    conn = table.conn
    return [tuple(row) for row in conn.execute(f"SELECT rowid, * FROM {table.name} ORDER BY rowid").fetchall()]


def _same_rows(ours, local):
    """(same multiset of rows, same rows under the same rowids)."""
    from collections import Counter

    rows_equal = Counter(row[1:] for row in ours) == Counter(row[1:] for row in local)
    return rows_equal, rows_equal and ours == local


def run_scale(size, root):
    """Each step's (name, seconds, leader RSS growth MiB, its peak growth MiB
    or None, rows equal, rowids equal, None or the error that ended it) on a
    3-node local cluster against a local file."""
    from norvane.cluster import LocalCluster

    steps = scale_steps(size)
    local = sqlite3.connect(Path(root) / "scale.db")
    results = []
    try:
        local_table = create_feed(local)
        with LocalCluster(Path(root) / "scale-nodes") as cluster:
            conn = cluster.connect("scale", request_timeout=SCALE_REQUEST_TIMEOUT)
            try:
                table = create_feed(conn)
                for name, step in steps:
                    pid = cluster.pid(cluster.leader())
                    before = _memory_kib(pid, "VmRSS")
                    peak_known = _reset_peak(pid)
                    start = time.perf_counter()
                    try:
                        step(table)
                    except conn.Error as exc:  # reported, and the steps after it not run
                        results.append((name, None, None, None, False, False, f"{type(exc).__name__}: {exc}"))
                        break
                    seconds = time.perf_counter() - start
                    grown = (_memory_kib(pid, "VmRSS") - before) / 1024
                    peak = (_memory_kib(pid, "VmHWM") - before) / 1024 if peak_known else None
                    step(local_table)
                    results.append(
                        (name, seconds, grown, peak, *_same_rows(_stored(table), _stored(local_table)), None)
                    )
            finally:
                conn.close()
    finally:
        local.close()
    return results


def scale_lines(quick):
    from norvane.cluster import missing_programs

    reason = missing_programs()
    if reason is not None:
        return [f"cluster at scale: skipped: {reason}"]
    size = SCALE_QUICK_ROWS if quick else SCALE_ROWS
    with tempfile.TemporaryDirectory(prefix="norvane-scale-") as root:
        results = run_scale(size, root)
    out = [
        "cluster at scale: the price feed on 3 dqlite nodes on 127.0.0.1 (rules on (sup, sku) and "
        "barcode, an index on price), each step against the same on a local file"
    ]
    for name, seconds, grown, peak, rows_equal, rowids_equal, error in results:
        if error is not None:
            out.append(f"  {name}: FAILED on the cluster: {error}")
            continue
        out.append(
            f"  {name}: {seconds:.1f} s, leader RSS {grown:+.0f} MiB"
            f"{'' if peak is None else f' (peak {peak:+.0f} MiB)'}, rows equal to the file's: "
            f"{'yes' if rows_equal else 'NO'}, rowids equal: {'yes' if rowids_equal else 'no'}"
        )
    first = results[0]
    growth = first[3] if first[3] is not None else first[2]
    verdict = "not measured" if growth is None else "met" if growth <= SCALE_RSS_TARGET_MIB else "MISSED"
    out.append(
        f"  target: the first step grows the leader by <= {SCALE_RSS_TARGET_MIB} MiB "
        f"({size:,} rows): {'-' if growth is None else f'{growth:.0f}'} MiB, {verdict}"
        f"{' (a small size: the target is for 1,000,000 rows)' if size < SCALE_ROWS else ''}"
    )
    return out
