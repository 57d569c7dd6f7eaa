"""Differential check: random sequences of operations against a small model.

The model keeps, per table, its columns, main and staged rows by rowid, its
uniqueness rules, its catalogued indexes and the indexes that physically
exist, and applies the library's semantics: newest-wins merging (staged rows
compared by value, main rows by SQL equality, survivors inserted newest
first), find's duplicate test and newest test over the linkage closure, and
index drop/rebuild. After every step the database, read through a second
connection, must match the model.
"""

import shutil
import tempfile
from collections import Counter
from pathlib import Path

import newest_model
from conftest import fetch, fresh_name, index_names
from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule
from newest_model import sql_equal

import norvane.norvane as nv

TABLES = ["t0", "t1"]
# 1 and 1.0 are equal to Python and to SQLite alike.
VALUES = st.sampled_from([0, 1, 2, 1.0, None, "a"])
INDEX_NAMES = ["ix0", "ix1"]
# "ix0" names an index or a rule: a rule and an index of one name share the
# catalog row and the physical index.
RULE_NAMES = ["u0", "u1", "ix0"]


# Conditions of find, with what they select and in which order.
CONDITIONS = {
    "order by rowid": (lambda r: True, False, None),
    "order by rowid desc": (lambda r: True, True, None),
    "where c0 is not null order by rowid": (lambda r: r[0] is not None, False, None),
    "where c1 = 1 order by rowid desc": (lambda r: sql_equal(r[1], 1), True, None),
    "where c0 = 'a' or c1 = 0 order by rowid": (lambda r: sql_equal(r[0], "a") or sql_equal(r[1], 0), False, None),
    "order by rowid desc limit 2": (lambda r: True, True, 2),
}


class Table:
    def __init__(self, ncols, indexes, rules):
        self.cols = [f"c{i}" for i in range(ncols)]
        self.main = {}  # rowid -> row
        self.staged = {}  # rowid -> row
        self.rules = {name: list(pos) for name, pos in rules}
        self.catalog = dict(indexes)  # index name -> column list text
        for name, pos in rules:
            self.catalog[name] = self.columns_of(pos)
        self.physical = set(self.catalog)

    def columns_of(self, positions):
        return ",".join(self.cols[p] for p in positions)

    def all_refs(self):
        return newest_model.references(self.main, self.staged)

    def closure(self, ref, row):
        return newest_model.closure(ref, row, self.main, self.staged, list(self.rules.values()))

    def merge(self):
        self.main = newest_model.merged(self.main, self.staged, list(self.rules.values()))
        self.staged = {}
        self.physical = set(self.catalog)

    def find(self, select, condition):
        keep, descending, limit = CONDITIONS[condition]
        positions = list(range(len(self.cols))) if select == "*" else [self.cols.index(c) for c in select.split(",")]
        return newest_model.found(self.main, self.staged, list(self.rules.values()), positions, keep, descending, limit)


def rows_for(ncols):
    return st.lists(st.tuples(*[VALUES] * ncols), max_size=4)


class NorvaneModel(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.dir = tempfile.mkdtemp()
        self.db = nv.DB(fresh_name("model"), str(Path(self.dir) / "model.db"))
        self.conn, self.other = self.db.connection(), self.db.connection()
        self.conn.execute("PRAGMA synchronous=OFF")  # speed only
        self.tables = {}

    def teardown(self):
        self.conn.close()
        self.other.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    # ------------------------------------------------------------ rules ----

    def _create(self, table, ncols, indexes, rules):
        nv.create_table(
            self.conn,
            table,
            [f"c{i}" for i in range(ncols)],
            [{"name": n, "cols": c} for n, c in indexes],
            [{"name": n, "cols": list(p)} for n, p in rules],
        )
        self.tables[table] = Table(ncols, indexes, rules)

    @initialize()
    def create_both(self):
        for t in TABLES:
            self._create(t, 3, [("ix0", "c0")], [("u0", [0])])

    @rule(data=st.data(), table=st.sampled_from(TABLES), ncols=st.integers(2, 3))
    def create(self, data, table, ncols):
        index_cols = st.sampled_from(["c0", "c1", "c0,c1", "c1,c0"])
        indexes = data.draw(st.lists(st.tuples(st.sampled_from(INDEX_NAMES), index_cols), max_size=2))
        positions = st.lists(st.integers(0, ncols - 1), min_size=1, max_size=ncols, unique=True)
        rules = data.draw(st.lists(st.tuples(st.sampled_from(RULE_NAMES), positions), max_size=3))
        self._create(table, ncols, indexes, rules)

    @rule(data=st.data(), table=st.sampled_from(TABLES))
    def stage(self, data, table):
        m = self.tables[table]
        rows = data.draw(rows_for(len(m.cols)))
        nv.insert_temp(self.conn, table, rows)
        newest_model.append(m.staged, rows)

    @rule(data=st.data(), table=st.sampled_from(TABLES))
    def insert_main(self, data, table):
        m = self.tables[table]
        rows = data.draw(rows_for(len(m.cols)))
        nv._insert_main(self.conn, table, rows)
        newest_model.append(m.main, rows)

    @rule(data=st.data(), table=st.sampled_from(TABLES))
    def delete(self, data, table):
        m = self.tables[table]
        ids = data.draw(st.lists(st.sampled_from(sorted(m.main) + [99]), max_size=3))
        nv.delete_row_main(self.conn, table, ids)
        for r in ids:
            m.main.pop(r, None)

    @rule(table=st.sampled_from(TABLES))
    def merge(self, table):
        nv.temp_to_main(self.conn, table)
        self.tables[table].merge()

    @rule(data=st.data(), table=st.sampled_from(TABLES), condition=st.sampled_from(sorted(CONDITIONS)))
    def find(self, data, table, condition):
        m = self.tables[table]
        select = data.draw(st.just("*") | st.lists(st.sampled_from(m.cols), min_size=1, max_size=3).map(",".join))
        got = nv.find(self.conn, select, table, condition)
        expected = m.find(select, condition)
        assert Counter(map(tuple, got)) == Counter(map(tuple, expected))

    @precondition(lambda self: any(t.main or t.staged for t in self.tables.values()))
    @rule(data=st.data())
    def check_newest(self, data):
        table = data.draw(st.sampled_from([t for t, m in self.tables.items() if m.main or m.staged]))
        m = self.tables[table]
        ref, row = data.draw(st.sampled_from(m.all_refs()))
        visited = {ref}
        ok, seen = nv._check_newest_unique(
            self.conn,
            table,
            ref,
            (ref[1],) + row,
            {n: list(p) for n, p in m.rules.items()},
            list(m.cols),
            "rowid," + ",".join(m.cols),
            visited,
        )
        expected = m.closure(ref, row)
        assert ok is (expected is not None)
        if ok:
            assert seen is visited and visited == expected

    @rule(table=st.sampled_from(TABLES))
    def drop_indexes(self, table):
        nv.drop_table_index(self.conn, table)
        self.tables[table].physical = set()

    @rule(table=st.sampled_from(TABLES))
    def activate_indexes(self, table):
        nv.active_table_index(self.conn, table)
        m = self.tables[table]
        m.physical = set(m.catalog)

    @rule(data=st.data(), table=st.sampled_from(TABLES), name=st.sampled_from(RULE_NAMES))
    def add_rule(self, data, table, name):
        m = self.tables[table]
        pos = data.draw(st.lists(st.integers(0, len(m.cols) - 1), min_size=1, max_size=len(m.cols), unique=True))
        nv.insert_unique(self.conn, table, name, m.columns_of(pos), ",".join(map(str, pos)))
        m.rules.pop(name, None)
        m.rules[name] = pos
        m.catalog[name] = m.columns_of(pos)
        m.physical.add(name)

    @rule(table=st.sampled_from(TABLES), name=st.sampled_from(RULE_NAMES))
    def drop_rule(self, table, name):
        nv.drop_unique(self.conn, table, name)
        m = self.tables[table]
        m.rules.pop(name, None)
        m.catalog.pop(name, None)
        m.physical.discard(name)

    # -------------------------------------------------------- invariant ----

    @invariant()
    def database_matches_model(self):
        for t, m in self.tables.items():
            assert fetch(self.other, f"SELECT rowid, * FROM {t} ORDER BY rowid") == [
                (r,) + row for r, row in sorted(m.main.items())
            ]
            assert fetch(self.other, f"SELECT rowid, * FROM temp_{t} ORDER BY rowid") == [
                (r,) + row for r, row in sorted(m.staged.items())
            ]
            assert index_names(self.other, t) == sorted(f"{t}_{n}" for n in m.physical)
            assert sorted(
                fetch(self.other, "SELECT index_name, columns FROM index_table WHERE table_name = ?", (t,))
            ) == sorted(m.catalog.items())
            assert sorted(
                fetch(self.other, "SELECT unique_name, columns, col_num FROM unique_table WHERE table_name = ?", (t,))
            ) == sorted((n, m.columns_of(p), ",".join(map(str, p))) for n, p in m.rules.items())


NorvaneModel.TestCase.settings = settings(max_examples=50, stateful_step_count=20, deadline=None)
test_model = NorvaneModel.TestCase
