"""The benchmark scenarios: their data, their template databases and the calls they time.

Every scenario prepares two template files once: the managed table (main table,
staging table and catalog, as norvane keeps them) and a native table holding
the same rows under UNIQUE indexes. A run copies a template and times the calls
that the scenario lists, either through a library module (norvane itself or the
plain-Python baseline, which share their function names) or natively.
"""

import hashlib
import random
import sqlite3
from dataclasses import dataclass
from pathlib import Path

from benchmarks import plain

TABLE = "homes"
COLUMNS = ["code", "name", "place", "score"]
SCORE_RANGE = 1000
SELECTIVE = f"WHERE score < {SCORE_RANGE // 10}"  # about 10% of the rows


@dataclass(frozen=True)
class Sizes:
    ingest_main: int
    ingest_staged: int
    find_main: int
    find_staged: int
    chains: int
    chain_length: int
    index_rows: int
    burst_main: tuple = ()
    burst_staged: tuple = ()
    bulk_staged: int = 0


FULL = Sizes(
    100_000, 100_000, 100_000, 10_000, 100, 40, 1_000_000, (500_000, 1_000_000), (1_000, 10_000, 100_000), 1_000_000
)
QUICK = Sizes(2_000, 2_000, 2_000, 200, 20, 10, 20_000, (5_000, 10_000), (10, 100, 1_000), 20_000)


@dataclass(frozen=True)
class Schema:
    """A managed table's rules (name -> column positions) and extra indexes."""

    rules: dict
    indexes: dict

    def create(self, conn):
        plain.create_table(
            conn,
            TABLE,
            COLUMNS,
            [{"name": name, "cols": cols} for name, cols in self.indexes.items()],
            [{"name": name, "cols": positions} for name, positions in self.rules.items()],
        )

    def native_statements(self):
        """CREATE statements for a native table: the rules become UNIQUE indexes."""
        yield f"CREATE TABLE {TABLE} ({','.join(COLUMNS)})"
        for name, positions in self.rules.items():
            cols = ",".join(COLUMNS[p] for p in positions)
            yield f"CREATE UNIQUE INDEX {TABLE}_{name} ON {TABLE} ({cols})"
        for name, cols in self.indexes.items():
            yield f"CREATE INDEX {TABLE}_{name} ON {TABLE} ({cols})"


MERGE_SCHEMA = Schema(rules={"unique_0": [0], "unique_1": [1, 2]}, indexes={"index_0": "score"})
CHAIN_SCHEMA = Schema(rules={"unique_0": [0], "unique_1": [1]}, indexes={"index_0": "score"})

PLACEHOLDERS = ",".join("?" * len(COLUMNS))
INSERT = f"INSERT INTO {TABLE} VALUES ({PLACEHOLDERS})"
INSERT_STAGED = f"INSERT INTO temp_{TABLE} VALUES ({PLACEHOLDERS})"
UPSERT = f"INSERT OR REPLACE INTO {TABLE} VALUES ({PLACEHOLDERS})"


# Data


def main_rows(count, rng):
    """Rows unique under both merge rules: code alone, and (name, place)."""
    return [(i, f"name{i // 4}", i % 4, rng.randrange(SCORE_RANGE)) for i in range(count)]


def staged_rows(main, count, rng):
    """Staged rows in random order: half supersede one main row each, half are new.

    The superseding rows alternate between the two rules: one keeps a main row's
    code, the next its (name, place).
    """
    first_new = len(main)
    targets = rng.sample(range(len(main)), count // 2)
    rows = []
    for j in range(count):
        score = rng.randrange(SCORE_RANGE)
        if j < len(targets):
            code, name, place, _ = main[targets[j]]
            if j % 2 == 0:
                rows.append((code, f"staged{j}", 0, score))
            else:
                rows.append((first_new + j, name, place, score))
        else:
            rows.append((first_new + j, f"staged{j}", 0, score))
    rng.shuffle(rows)
    return rows


class FormulaRows:
    """The rows of ``main_rows(count)`` without their random scores, computed on access.

    Enough for ``staged_rows``, which reads only codes, names and places, and
    far smaller than a million tuples.
    """

    def __init__(self, count):
        self.count = count

    def __len__(self):
        return self.count

    def __getitem__(self, i):
        return (i, f"name{i // 4}", i % 4, 0)


def streamed_main_rows(count, seed):
    """``main_rows``, one at a time: the same rows for every template built with ``seed``."""
    rng = random.Random(seed)
    return ((i, f"name{i // 4}", i % 4, rng.randrange(SCORE_RANGE)) for i in range(count))


def chain_rows(chains, length, rng):
    """Rows linked into chains: row i shares its code with row i - 1 or its name with it.

    Row i of a chain holds code base + (i + 1) // 2 and name base + i // 2, so
    consecutive rows alternate between the two rules. Even rows live in the main
    table, odd rows are staged in random order, so every chain crosses both tables.
    """
    main, staged = [], []
    for chain in range(chains):
        base = chain * length
        for i in range(length):
            row = (base + (i + 1) // 2, f"n{base + i // 2}", i, rng.randrange(SCORE_RANGE))
            (staged if i % 2 else main).append(row)
    rng.shuffle(staged)
    return main, staged


# Template databases


def build_managed(path, schema, main, staged=()):
    plain.prepare(str(path))
    conn = sqlite3.connect(path)
    schema.create(conn)
    plain.drop_table_index(conn, TABLE)
    conn.executemany(INSERT, main)
    conn.executemany(INSERT_STAGED, staged)
    conn.commit()
    plain.active_table_index(conn, TABLE)
    conn.execute("VACUUM")
    conn.close()


def build_native(path, schema, main, staged=()):
    conn = sqlite3.connect(path)
    create_table, *create_indexes = schema.native_statements()
    conn.execute(create_table)
    conn.executemany(INSERT, main)
    conn.commit()
    for statement in create_indexes:
        conn.execute(statement)
    conn.executemany(UPSERT, staged)
    conn.commit()
    conn.execute("VACUUM")
    conn.close()


def table_digest(conn):
    """A digest of the main table's rows with their rowids, without holding them all."""
    digest = hashlib.sha256()
    for row in conn.execute(f"SELECT rowid, * FROM {TABLE} ORDER BY rowid"):
        digest.update(repr(row).encode())
    return digest.hexdigest()


def table_state(conn):
    return conn.execute(f"SELECT rowid, * FROM {TABLE} ORDER BY rowid").fetchall()


def index_state(conn):
    return conn.execute(
        "SELECT name, sql FROM sqlite_master WHERE type = 'index' AND tbl_name = ? ORDER BY name",
        (TABLE,),
    ).fetchall()


def native_select(conn, conditions):
    return conn.execute(f"SELECT {','.join(COLUMNS)} FROM {TABLE} {conditions}").fetchall()


# Scenarios


class Scenario:
    """One benchmark: templates, timed calls per phase and a comparable outcome.

    ``phases`` names the timed calls in order; with more than one phase the
    report adds the row ``total`` (their sum per run), which is also where a
    native contender that does everything in one go reports.
    """

    key = ""
    title = ""
    phases = ()
    total = None
    contenders = ("norvane", "replay", "plain", "native")

    def __init__(self, sizes, seed):
        self.sizes = sizes
        self.rng = random.Random(seed)
        self.template = None
        self.native_template = None

    def prepare(self, workdir: Path):
        self.template = workdir / f"{self.key}.db"
        self.native_template = workdir / f"{self.key}-native.db"
        self.build()

    def labels(self):
        return [*self.phases, self.total] if self.total else list(self.phases)

    def build(self):
        raise NotImplementedError

    def calls(self, lib):
        """(phase, callable taking a connection), in order, through ``lib``'s functions."""
        raise NotImplementedError

    def native_calls(self):
        raise NotImplementedError

    def outcome(self, conn, result):
        """What must come out the same for every contender (None: nothing to compare)."""
        return None

    def describe(self):
        raise NotImplementedError


class Ingest(Scenario):
    key = "ingest"
    title = "ingest"
    phases = ("insert_temp", "temp_to_main")
    total = "insert_temp + temp_to_main"
    memory_contenders = ("norvane", "plain")  # whose merge memory is traced

    def build(self):
        main = main_rows(self.sizes.ingest_main, self.rng)
        self.staged = staged_rows(main, self.sizes.ingest_staged, self.rng)
        build_managed(self.template, MERGE_SCHEMA, main)
        build_native(self.native_template, MERGE_SCHEMA, main)

    def calls(self, lib):
        return [
            ("insert_temp", lambda conn: lib.insert_temp(conn, TABLE, self.staged)),
            ("temp_to_main", lambda conn: lib.temp_to_main(conn, TABLE)),
        ]

    def native_calls(self):
        def upsert(conn):
            conn.executemany(UPSERT, self.staged)
            conn.commit()

        return [(self.total, upsert)]

    def outcome(self, conn, result):
        return table_state(conn), index_state(conn)

    def describe(self):
        s = self.sizes
        return (
            f"stage {s.ingest_staged:,} rows of 4 columns, then merge them into {s.ingest_main:,} main "
            f"rows (rules on [0] and [1,2], one more index); half the staged rows supersede a main row"
        )


class Find(Scenario):
    key = "find"
    title = "find 10%"
    phases = ("find",)
    conditions = SELECTIVE

    def rows(self):
        main = main_rows(self.sizes.find_main, self.rng)
        return main, staged_rows(main, self.sizes.find_staged, self.rng)

    def build(self):
        main, staged = self.rows()
        build_managed(self.template, self.schema(), main, staged)
        build_native(self.native_template, self.schema(), main, staged)

    def schema(self):
        return MERGE_SCHEMA

    def calls(self, lib):
        return [(self.phases[0], lambda conn: lib.find(conn, "*", TABLE, self.conditions))]

    def native_calls(self):
        return [(self.phases[0], lambda conn: native_select(conn, self.conditions))]

    def outcome(self, conn, result):
        return result

    def describe(self):
        s = self.sizes
        return (
            f"find with '{self.conditions}' over {s.find_main:,} main and {s.find_staged:,} staged rows "
            f"(the ingest table before its merge)"
        )


class Chains(Find):
    key = "chains"
    title = "find chains"
    conditions = ""

    def rows(self):
        return chain_rows(self.sizes.chains, self.sizes.chain_length, self.rng)

    def schema(self):
        return CHAIN_SCHEMA

    def describe(self):
        s = self.sizes
        return (
            f"find all rows of {s.chains:,} chains of {s.chain_length} rows linked alternately by "
            f"rules on [0] and [1], every other row staged"
        )


class IndexRebuild(Scenario):
    key = "index"
    title = "index rebuild"
    phases = ("drop + rebuild",)

    def build(self):
        main = main_rows(self.sizes.index_rows, self.rng)
        build_managed(self.template, MERGE_SCHEMA, main)
        build_native(self.native_template, MERGE_SCHEMA, main)
        self.native_indexes = self.read_indexes(self.native_template)

    @staticmethod
    def read_indexes(path):
        conn = sqlite3.connect(path)
        indexes = index_state(conn)
        conn.close()
        return indexes

    def calls(self, lib):
        def drop_and_rebuild(conn):
            lib.drop_table_index(conn, TABLE)
            lib.active_table_index(conn, TABLE)

        return [(self.phases[0], drop_and_rebuild)]

    def native_calls(self):
        def drop_and_rebuild(conn):
            for name, _ in self.native_indexes:
                conn.execute(f"DROP INDEX {name}")
            for _, sql in self.native_indexes:
                conn.execute(sql)
            conn.commit()

        return [(self.phases[0], drop_and_rebuild)]

    def outcome(self, conn, result):
        return index_state(conn)

    def describe(self):
        return (
            f"drop_table_index + active_table_index on {self.sizes.index_rows:,} rows "
            f"(three indexes: two rule-backing, one plain)"
        )


class Burst(Ingest):
    """A burst of staged rows merged into a large main table.

    The main table of each size is built once per run and shared by every
    burst into it. Timed against the same merge forced to drop and rebuild
    the indexes, and against the burst as INSERT OR REPLACE.
    """

    key = "burst"
    contenders = ("norvane", "statements", "rebuild", "native")
    memory_contenders = ()

    def __init__(self, sizes, seed, main_count, staged_count):
        super().__init__(sizes, seed)
        self.main_count = main_count
        self.staged_count = staged_count
        self.title = f"burst {staged_count:,} into {main_count:,}"

    def prepare(self, workdir: Path):
        self.template = workdir / f"burst-main-{self.main_count}.db"
        self.native_template = workdir / f"burst-main-{self.main_count}-native.db"
        if not self.template.exists():
            seed = self.rng.randrange(2**32) + self.main_count
            build_managed(self.template, MERGE_SCHEMA, streamed_main_rows(self.main_count, seed))
            build_native(self.native_template, MERGE_SCHEMA, streamed_main_rows(self.main_count, seed))
        self.staged = self.staged_rows()

    def staged_rows(self):
        return staged_rows(FormulaRows(self.main_count), self.staged_count, self.rng)

    def outcome(self, conn, result):
        return table_digest(conn), index_state(conn)

    def describe(self):
        return (
            f"stage {self.staged_count:,} rows, then merge them into {self.main_count:,} main rows "
            f"(rules on [0] and [1,2], one more index); half the staged rows supersede a main row"
        )


class Bulk(Burst):
    """Many staged rows into an empty main table: the merge must still rebuild."""

    key = "bulk"
    memory_contenders = ("norvane", "statements")

    def __init__(self, sizes, seed):
        super().__init__(sizes, seed, 0, sizes.bulk_staged)
        self.title = f"bulk {sizes.bulk_staged:,} into 0"

    def staged_rows(self):
        return [(i, f"staged{i}", 0, self.rng.randrange(SCORE_RANGE)) for i in range(self.staged_count)]

    def describe(self):
        return (
            f"stage {self.staged_count:,} new rows, then merge them into an empty main table "
            f"(rules on [0] and [1,2], one more index)"
        )


def bursts(sizes, seed):
    return [Burst(sizes, seed, main, staged) for main in sizes.burst_main for staged in sizes.burst_staged]


SCENARIOS = {cls.key: cls for cls in (Ingest, Find, Chains, IndexRebuild)}
SCENARIOS.update(burst=bursts, bulk=Bulk)


# ---------------------------------------------------------------- price feed --
# One product feed for the Table reads, the command line and the frame
# benchmarks: rules (sup, sku) and (barcode), a plain index on price.

PRICE_FEED_TABLE = "feed"
PRICE_FEED_COLUMNS = ("sup", "sku", "barcode", "price")
PRICE_FEED_RULES = {"by_product": ("sup", "sku"), "by_barcode": ("barcode",)}
PRICE_FEED_INDEXES = {"by_price": ("price",)}


def price_feed_main(count, seed=0):
    """Main row i = (i % 100, i, "b<i>", price in [0, 1000)), one at a time."""
    rng = random.Random(seed)
    for i in range(count):
        yield (i % 100, i, "b%d" % i, rng.uniform(0, 1000))


def price_feed_staged(main_count, count, seed=1):
    """Staged rows: 70% a new price for a random main product (repeats
    allowed), 30% new products after the main ones. Barcodes never move."""
    rng = random.Random(seed)
    fresh = main_count
    for _ in range(count):
        if main_count and rng.random() < 0.7:
            i = rng.randrange(main_count)
        else:
            i, fresh = fresh, fresh + 1
        yield (i % 100, i, "b%d" % i, rng.uniform(0, 1000))
