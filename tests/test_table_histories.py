"""A ``Table``'s rows are what sequential SQLite gives: checked against a plain
list model (tests/table_model.py) over random histories of stage, merge,
delete_keys, reads and counts, against SQLite's own INSERT OR REPLACE where
the main table holds no conflicts (tests/table_peer.py), and on a cluster.

The same history also runs against deliberately broken copies of the model:
each must be caught, or the property test would not be worth much.
"""

import importlib.util
import os
import sqlite3

import pytest
from conftest import FastPath, fresh_name
from hypothesis import HealthCheck, Phase, settings
from hypothesis import strategies as st
from hypothesis.stateful import (
    RuleBasedStateMachine,
    initialize,
    invariant,
    precondition,
    rule,
    run_state_machine_as_test,
)
from table_model import STAGED, TableModel, order_key
from table_peer import SqlitePeer

import norvane.norvane as nv
from norvane import Table, Unique, _native, _traced
from norvane.call_options import CallOptions

KEYS = ("a", "b", "c", "d")
COLUMNS = (*KEYS, "tag")  # tag: the row's sequence number, so every row is recognised
# Near 2**53 an integer and a real compare exactly, not as the real rounds.
VALUES = [None, 0, 1, 1.0, "1", 2, 2.5, "a", "A", b"1", b"a", 2**53, float(2**53), 2**53 + 1]

values = st.sampled_from(VALUES)
rows = st.lists(st.tuples(values, values, values, values), min_size=1, max_size=4)
many_rows = st.lists(st.tuples(values, values, values, values), min_size=10, max_size=40)
rule_columns = st.lists(st.sampled_from(KEYS), min_size=1, max_size=2, unique=True)
wheres = st.sampled_from(
    [
        (None, ()),
        ("a = ?", (1,)),
        ("b IS NULL", ()),
        ("c >= ?", ("1",)),
        ("d <> ?", (1.0,)),
        ("typeof(a) = 'integer' OR b = ?", (b"1",)),
        ("tag % 3 = 0", ()),
        ("a IS NOT b", ()),
    ]
)
# The equivalent ways of merging and reading: each history runs with one
# choice of each, so every way meets the model: the table's call options
# (the index policy reaches the module's merge too).
PATHS = {
    "index_policy": ("auto", "keep", "rebuild"),
    "bulk_path": ("auto", "sorted"),
    "walk_path": ("native", "python"),
    "reads_plan": ("auto", "scan", "exact"),
}
orders = st.lists(st.tuples(st.sampled_from([*COLUMNS, "rowid"]), st.booleans()), max_size=3)


class FaultNoticed(AssertionError):
    """A deliberately broken model disagrees with the table."""


def stored(value):
    """A value with its storage class: 1 and 1.0 stay apart."""
    return (type(value).__name__, value)


def local_connection(lowercase):
    conn = sqlite3.connect(":memory:")
    if lowercase:  # values compare as stored, whatever the connection delivers
        conn.text_factory = lambda raw: raw.decode().lower()
    _native.prepare_catalog(conn)
    return conn


def quoted_order(order):
    return [f"{column} {'DESC' if descending else 'ASC'}" for column, descending in order]


class TableSemantics(RuleBasedStateMachine):
    """Every write goes to the table, the model (and a broken copy, when a
    test names one) and the SQLite peer; every read is compared."""

    suspect_class = None  # a broken copy of the model, to prove a fault is caught
    behind_the_rules = True  # write main rows and add rules behind the rules' back
    cluster = None  # a LocalCluster: run on a database of its own there

    def __init__(self):
        super().__init__()
        self.conn = None
        self.scratch = sqlite3.connect(":memory:")  # evaluates where on the model's rows
        self.scratch.execute(f"CREATE TABLE t ({', '.join(COLUMNS)})")

    def teardown(self):
        if self.conn is not None:
            self.conn.close()
        self.scratch.close()

    # ------------------------------------------------------------ set-up --

    @initialize(
        rules=st.lists(rule_columns, min_size=1, max_size=3),
        newest_by=st.lists(st.sampled_from(KEYS), max_size=2, unique=True),
        lowercase=st.booleans(),
        paths=st.fixed_dictionaries({name: st.sampled_from(choices) for name, choices in PATHS.items()}),
    )
    def create(self, rules, newest_by, lowercase, paths):
        options = CallOptions(**paths)
        if self.cluster is not None:
            self.conn = self.cluster.connect(fresh_name("semantics"))
            _native.prepare_catalog(self.conn)
            lowercase = False
        else:
            self.conn = local_connection(lowercase)
        self.lowercase = lowercase
        self.rule_names = [f"r{n}" for n in range(len(rules))]
        created = Table(self.conn, "t").create(
            list(COLUMNS),
            unique=[Unique(name, cols) for name, cols in zip(self.rule_names, rules)],
            newest_by=newest_by,
        )
        self.options = options
        self.table = _traced.using(created, options)
        assert self.table.newest_by() == tuple(newest_by)
        self.model = TableModel(COLUMNS, rules, newest_by)
        self.suspect = None if self.suspect_class is None else self.suspect_class(COLUMNS, rules, newest_by)
        self.peer = SqlitePeer(COLUMNS, rules, newest_by)

    def models(self):
        return [self.model] if self.suspect is None else [self.model, self.suspect]

    def expect(self, actual, compute, what):
        """``actual`` must be what the model gives; with a broken copy, a
        difference from that copy is what the fault tests wait for."""
        expected = compute(self.model)
        assert actual == expected, f"{what}: table gives {actual!r}, model {expected!r}"
        if self.suspect is not None and actual != compute(self.suspect):
            raise FaultNoticed(f"{what}: the broken model disagrees")

    def finish(self, commit):
        if not commit:
            self.conn.commit()

    # ------------------------------------------------------------ writes --

    def tagged(self, row):
        return (*row, self.model._next_seq)

    @rule(batch=rows | many_rows, commit=st.booleans())
    def stage(self, batch, commit):
        tagged = []
        for row in batch:
            values = self.tagged(row)
            for model in self.models():
                model.stage(values)
            self.peer.stage(values)
            tagged.append(values)
        self.table.stage(tagged, commit=commit)
        self.finish(commit)

    @precondition(lambda self: self.behind_the_rules)
    @rule(batch=rows)
    def write_behind_the_rules(self, batch):
        """Main rows the rules never saw: they may conflict with each other."""
        marks = ", ".join("?" * len(COLUMNS))
        for row in batch:
            values = self.tagged(row)
            self.peer.write_main(values, nothing_staged=not self.model.staged)
            for model in self.models():
                model.write_main(values)
            self.conn.execute(f"INSERT INTO t VALUES ({marks})", values)
        self.conn.commit()

    @precondition(lambda self: self.behind_the_rules and len(self.model.rules) < 3)
    @rule(columns=rule_columns)
    def add_rule_over_rows(self, columns):
        name = f"r{len(self.rule_names)}"
        positions = ",".join(str(COLUMNS.index(c)) for c in columns)
        nv.insert_unique(self.conn, "t", name, ",".join(columns), positions, True)
        self.rule_names.append(name)
        self.peer.add_rule(columns, nothing_staged=not self.model.staged)
        for model in self.models():
            model.add_rule(columns)

    @rule(commit=st.booleans())
    def merge(self, commit):
        report = self.table.merge(commit=commit)
        self.finish(commit)
        fields = ["staged", "inserted", "superseded", "stale"]
        if hasattr(report, "replaced"):
            fields.append("replaced")
        got = {name: getattr(report, name) for name in fields}
        self.expect(got, lambda model: {k: v for k, v in model.merge().items() if k in fields}, "merge report")
        assert report.staged == report.inserted + report.superseded + report.stale
        self.check_tables("after merge")
        if self.peer.valid:  # the merge leaves what INSERT OR REPLACE left, in its order
            main = self.conn.execute(f"SELECT {', '.join(COLUMNS)} FROM t ORDER BY rowid").fetchall()
            assert self.delivered_rows(main) == self.delivered_rows(self.peer.rows()), "merge vs SQLite"

    @rule(data=st.data(), commit=st.booleans())
    def delete_keys(self, data, commit):
        rule = data.draw(st.integers(0, len(self.rule_names) - 1), label="rule")
        columns = [COLUMNS.index(c) for c in self.model_rule_columns(rule)]
        seen = [tuple(row.values[i] for i in columns) for row in self.model.main + self.model.staged]
        some_key = st.tuples(*[values] * len(columns))
        keys = data.draw(st.lists(st.sampled_from(seen) | some_key if seen else some_key, max_size=4), label="keys")
        bare = len(columns) == 1 and data.draw(st.booleans(), label="bare values")
        before = {row.seq for row in self.model.main + self.model.staged}
        removed = self.table.delete_keys(self.rule_names[rule], [k[0] for k in keys] if bare else keys, commit=commit)
        self.finish(commit)
        self.peer.delete_keys(self.model_rule_columns(rule), keys)
        self.expect(removed, lambda model: model.delete_keys(rule, keys), "delete_keys count")
        self.check_tables("after delete_keys")
        left = {row.seq for row in self.model.main + self.model.staged}
        deleted = before - left
        found = nv.find(self.conn, "tag", "t", "")
        assert not {tag for (tag,) in found} & deleted, "find shows a deleted row"
        if isinstance(self.conn, sqlite3.Connection):  # the module's merge, on a copy
            copy = sqlite3.connect(":memory:")
            self.conn.backup(copy)
            _native.traced_merge(copy, "t", True, None, 0, "auto", self.options.index_policy)
            merged = {tag for (tag,) in copy.execute("SELECT tag FROM t")}
            copy.close()
            assert not merged & deleted, "temp_to_main brings back a deleted row"

    @rule(data=st.data(), what=st.sampled_from(["stage", "merge", "delete_keys"]))
    def rolled_back(self, data, what):
        """A write the caller rolls back changes nothing."""
        if what == "stage":
            self.table.stage([self.tagged(row) for row in data.draw(rows)], commit=False)
        elif what == "merge":
            self.table.merge(commit=False)
        else:
            name = data.draw(st.sampled_from(self.rule_names))
            self.table.delete_keys(
                name, data.draw(st.lists(st.tuples(*[values] * self.rule_width(name)))), commit=False
            )
        self.conn.rollback()
        self.check_tables("after a rollback")

    def rule_width(self, name):
        return len(self.model.rules[self.rule_names.index(name)])

    def model_rule_columns(self, rule):
        return [COLUMNS[i] for i in self.model.rules[rule]]

    # ------------------------------------------------------------- reads --

    @rule(
        where=wheres,
        order=orders,
        limit=st.none() | st.integers(0, 6),
        offset=st.integers(0, 4),
        how=st.sampled_from(["rows", "dicts", "iter"]),
        batch=st.integers(1, 3),
    )
    def read(self, where, order, limit, offset, how, batch):
        condition, params = where
        select = [*COLUMNS, "rowid"]
        kwargs = dict(select=select, order_by=quoted_order(order), limit=limit, offset=offset)
        if how == "rows":
            got, plan = _traced.rows(self.table, self.options, condition, params, **kwargs)
            FAST_READS.count(plan != "exact")
        elif how == "dicts":
            got = [tuple(d[k] for k in select) for d in self.table.dicts(condition, params, **kwargs)]
        else:
            got = list(self.table.iter(condition, params, batch_size=batch, **kwargs))
        actual = [(self.delivered_rows([row[:-1]])[0], row[-1] is None) for row in got]
        self.expect(
            actual,
            lambda model: self.expected_read(model, condition, params, order, limit, offset),
            f"{how}({condition!r}, order_by={order}, limit={limit}, offset={offset})",
        )

    @precondition(lambda self: FRAMES)
    @rule(where=wheres, order=orders, limit=st.none() | st.integers(0, 6), offset=st.integers(0, 4))
    def read_arrow(self, where, order, limit, offset):
        """The frame reads pick the same rows in the same order (told apart
        by their tags: the other columns mix storage classes)."""
        condition, params = where
        frame = self.table.to_arrow(
            condition, params, select=["tag"], order_by=quoted_order(order), limit=limit, offset=offset
        )
        got = frame.column("tag").to_pylist()

        def tags(model):
            return [values[-1][1] for values, _ in self.expected_read(model, condition, params, order, limit, offset)]

        self.expect(got, tags, f"to_arrow({condition!r}, order_by={order}, limit={limit}, offset={offset})")

    @rule(where=wheres)
    def count(self, where):
        condition, params = where
        got = self.table.count(condition, params)
        self.expect(got, lambda model: len(self.matching(model.current(), condition, params)), f"count({condition!r})")

    @invariant()
    def agrees_with_sqlite(self):
        """Where the peer applies, the current rows are its rows."""
        if self.conn is None:
            return
        if not self.peer.valid:
            assert self.behind_the_rules, "the peer went astray without a row behind the rules' back"
            return
        got = sorted(self.table.rows(select=list(COLUMNS)), key=lambda row: row[-1])
        assert self.delivered_rows(got) == self.delivered_rows(self.peer.rows()), "rows vs SQLite"

    # ----------------------------------------------------------- helpers --

    def delivered_rows(self, found):
        """Rows as the connection delivers them, each value with its class."""

        def delivered(value):
            return value.lower() if self.lowercase and isinstance(value, str) else value

        return [tuple(stored(delivered(v)) for v in row) for row in found]

    def matching(self, current, condition, params):
        if condition is None:
            return current
        self.scratch.execute("DELETE FROM t")
        self.scratch.executemany(
            f"INSERT INTO t VALUES ({', '.join('?' * len(COLUMNS))})", [row.values for row in current]
        )
        tags = {tag for (tag,) in self.scratch.execute(f"SELECT tag FROM t WHERE {condition}", params)}
        return [row for row in current if row.values[-1] in tags]

    def expected_read(self, model, condition, params, order, limit, offset):
        """Current rows matching ``where``, ordered by value, ties by position
        (staged rows by rowid, then main rows by rowid) in the direction of
        the last term; ``rowid`` orders staged rows as NULL."""
        position = {row.seq: (0, i) for i, row in enumerate(model.staged)}
        position.update({row.seq: (1, i) for i, row in enumerate(model.main)})
        found = self.matching(model.current(), condition, params)
        found.sort(key=lambda row: position[row.seq], reverse=bool(order) and order[-1][1])
        for column, descending in reversed(order):
            if column == "rowid":

                def key(row):
                    place = position[row.seq]
                    return (0, 0) if place[0] == 0 else (1, place[1])
            else:
                index = COLUMNS.index(column)

                def key(row, index=index):
                    return order_key(row.values[index])

            found.sort(key=key, reverse=descending)
        end = None if limit is None else offset + limit
        return [(self.delivered_rows([row.values])[0], row.origin == STAGED) for row in found[offset:end]]

    def check_tables(self, when):
        for table, part in (("t", "main"), ("temp_t", "staged")):
            found = self.conn.execute(f"SELECT {', '.join(COLUMNS)} FROM {table} ORDER BY rowid").fetchall()
            self.expect(
                self.delivered_rows(found),
                lambda model, part=part: self.delivered_rows(row.values for row in getattr(model, part)),
                f"{part} table {when}",
            )


# The frame reads need pyarrow, which the sanitizer run does not install.
FRAMES = all(importlib.util.find_spec(name) is not None for name in ("pyarrow", "numpy"))

PROPERTY = settings(
    max_examples=200,
    stateful_step_count=30,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much],
)


# Reads by rows() compare fetched values where the history's plan asks for
# it and no text factory lowers them: a tenth to a half of them, as the
# histories fall (each draws its plan once, and draws its reads in numbers).
FAST_READS = FastPath()


@FAST_READS.share(0.05)
def test_table_follows_the_model():
    run_state_machine_as_test(TableSemantics, settings=PROPERTY)


def test_table_follows_sqlite_on_conflict_free_main_tables():
    """Every main row came through a merge, so SQLite's INSERT OR REPLACE
    applies throughout: the peer is checked after every step."""
    machine = type("ConflictFree", (TableSemantics,), {"behind_the_rules": False})
    run_state_machine_as_test(machine, settings=settings(PROPERTY, max_examples=100))


# ----------------------------------------------------- broken copies -------


class NullEqualsNull(TableModel):
    @staticmethod
    def values_equal(left, right):
        return (left is None and right is None) or TableModel.values_equal(left, right)


class TieToCurrentRow(TableModel):
    def beats(self, row, arriving):
        return self.newest_key(row) >= self.newest_key(arriving)


class PerRuleMaximum(TableModel):
    """Beaten by any earlier row sharing a key, current or not, as a
    GROUP BY max() per rule would have it."""

    def beaten(self, outcome, hits, arriving):
        earlier = self.main + self.staged[: self.staged.index(arriving)]
        return bool(self.newest_by) and any(self.beats(row, arriving) for row in self.conflicts(earlier, arriving))


class DeleteOnlyMatches(TableModel):
    """Removes the matching current rows and leaves everything else in place."""

    def delete_keys(self, rule, keys):
        current = {row.seq for row in self.current()}
        wanted = [tuple(key) for key in keys]

        def goes(row):
            own = tuple(row.values[i] for i in self.rules[rule])
            return row.seq in current and any(self.tuples_equal(own, key) for key in wanted)

        before = len(self.main) + len(self.staged)
        self.main = [row for row in self.main if not goes(row)]
        self.staged = [row for row in self.staged if not goes(row)]
        return before - len(self.main) - len(self.staged)


class MainRowsCompared(TableModel):
    def start(self):
        kept = []
        for row in self.main:
            kept = [other for other in kept if not self.conflict(other, row)] + [row]
        return kept


FAULTS = [NullEqualsNull, TieToCurrentRow, PerRuleMaximum, DeleteOnlyMatches, MainRowsCompared]


# Whether a broken model is caught says how strong the test is, not whether
# the extension is sound: the sanitizer run leaves that to the ordinary one.
@pytest.mark.skipif(os.environ.get("NORVANE_SANITIZED") == "1", reason="the test's strength is checked unsanitized")
@pytest.mark.parametrize("fault", FAULTS, ids=lambda cls: cls.__name__)
def test_a_broken_model_is_caught(fault):
    """Each fault, alone in a copy of the model, makes the property test fail
    (fixed seed, no shrinking, so this stays quick)."""
    machine = type(f"With{fault.__name__}", (TableSemantics,), {"suspect_class": fault})
    quick = settings(
        PROPERTY, max_examples=300, derandomize=True, database=None, phases=[Phase.generate], print_blob=False
    )
    with pytest.raises(FaultNoticed):
        run_state_machine_as_test(machine, settings=quick)


# ------------------------------------------------------- pinned cases -------


def device_registry(conn, newest_by=()):
    return Table(conn, "devices").create(
        ["serial", "site", "slot"],
        unique=[Unique("serial", "serial"), Unique("place", ["site", "slot"])],
        newest_by=newest_by,
    )


def test_null_keys_never_match_within_a_batch():
    batch = [("A", None, None), ("B", None, None), ("C", "x", None), ("D", "x", None)]
    for merge_between in (False, True):
        conn = local_connection(False)
        t = device_registry(conn)
        for row in batch:
            t.stage([row])
            if merge_between:
                t.merge()
        assert t.rows() == batch
        report = t.merge()
        assert conn.execute("SELECT * FROM devices ORDER BY rowid").fetchall() == batch
        if not merge_between:
            assert (report.staged, report.inserted, report.superseded, report.stale) == (4, 4, 0, 0)


def test_drops_follow_the_sequence_not_a_per_rule_maximum():
    conn = local_connection(False)
    t = Table(conn, "t").create(["a", "b", "ts"], unique=[Unique("a", "a"), Unique("b", "b")], newest_by=["ts"])
    t.stage([(1, None, 10)])
    t.merge()
    t.stage([(1, 1, 5), (None, 1, 1)])  # the first is beaten by the main row, so the second stays
    assert t.rows() == [(None, 1, 1), (1, None, 10)]
    report = t.merge()
    assert (report.staged, report.inserted, report.superseded, report.stale) == (2, 1, 0, 1)
    assert conn.execute("SELECT * FROM t ORDER BY rowid").fetchall() == [(1, None, 10), (None, 1, 1)]
    # Once the main row is gone, the first is current again and drops the second.
    t.stage([(1, 1, 5), (None, 1, 1)])
    t.delete_keys("a", [1])
    t.stage([(1, 1, 5), (None, 1, 1)])
    assert t.rows() == [(1, 1, 5)]


def test_deletes_are_final():
    conn = local_connection(False)
    t = Table(conn, "t").create(["c0", "c1"], unique=[Unique("c0", "c0"), Unique("c1", "c1")])
    t.stage([(3, 3), (3, 2)])
    assert t.delete_keys("c1", [2]) == 1
    assert t.rows() == [] and t.count() == 0
    assert conn.execute("SELECT * FROM temp_t").fetchall() == []
    assert nv.find(conn, "*", "t", "") == []
    t.merge()
    assert t.rows() == []
    # With newest_by: a row dropped on arrival stays dropped when what beat it goes.
    t = Table(conn, "n").create(["a", "b", "ts"], unique=[Unique("a", "a"), Unique("b", "b")], newest_by=["ts"])
    t.stage([(1, 2, 10)])
    t.merge()
    t.stage([(1, 3, 5)])
    assert t.delete_keys("b", [2]) == 1
    assert t.rows() == [] and nv.find(conn, "*", "n", "") == []
    t.stage([(1, 3, 5)])  # staged after the delete: a new row
    assert t.rows() == [(1, 3, 5)]


# ------------------------------------------------------------ cluster -------


@pytest.fixture(scope="module")
def cluster(tmp_path_factory):
    from test_cluster import require_cluster

    from norvane.cluster import LocalCluster

    require_cluster()
    with LocalCluster(tmp_path_factory.mktemp("semantics")) as running:
        yield running


def test_table_follows_the_model_on_a_cluster(cluster):
    machine = type("OnCluster", (TableSemantics,), {"cluster": cluster})
    run_state_machine_as_test(machine, settings=settings(PROPERTY, max_examples=12, stateful_step_count=15))


def test_delete_keys_checks_before_it_writes():
    conn = local_connection(False)
    t = device_registry(conn)
    t.stage([("A", "x", 1), ("B", "y", 2)])
    for keys in ("A", b"A", bytearray(b"A")):
        with pytest.raises(TypeError):
            t.delete_keys("serial", keys)
    open_read = t.iter()
    next(open_read)
    with pytest.raises(sqlite3.ProgrammingError):
        t.delete_keys("serial", ["A"])
    open_read.close()
    assert t.count() == 2
    assert t.delete_keys("serial", ["A"]) == 1  # a one-column rule takes bare values
    assert t.delete_keys("place", [("y", 2)]) == 1
    assert t.rows() == []
