"""Bad input: every parameter of every callable, given values of the wrong kind.

Each call either succeeds or raises an ordinary exception of the host (never a
crash, never SystemError). When it raises, a second connection must not see
anything committed that a successful call would not have committed.

The sweep is the product of (callable, parameter) and a list of bad values; the
valid arguments around the bad one come from a baseline call per callable on a
prepared table.
"""

import os
import sqlite3
import subprocess
import sys
from collections.abc import Mapping
from pathlib import Path
from types import SimpleNamespace

import newest_model
import pytest
from conftest import PUBLISHED, fetch, fresh_name, published, tables

import norvane.norvane as nv
from norvane import norvane_state

# A 10 MB text. Parameters that the library walks one element at a time get a
# 1 MB text in CI (one statement per character); NORVANE_SCALE=full uses 10 MB
# for those too.
FULL = os.environ.get("NORVANE_SCALE") == "full"
HUGE_TEXT = "x" * (10 * 1024 * 1024)
ITERATED_HUGE_TEXT = HUGE_TEXT if FULL else HUGE_TEXT[: 1024 * 1024]
ITERATED_PARAMS = {("delete_row_main", "ids"), ("create_table", "cols")}


class Boom(Exception):
    """Raised by the hostile values below; must reach the caller unchanged."""


class StrRaises:
    def __str__(self):
        raise Boom("__str__")


class EqRaises:
    def __eq__(self, other):
        raise Boom("__eq__")

    __ne__ = __lt__ = __gt__ = __le__ = __ge__ = __eq__

    def __hash__(self):
        return id(self) >> 4


class TruthRaises:
    def __bool__(self):
        raise Boom("__bool__")


class EqTruthRaises:
    """Compares without raising, to a result whose truth raises."""

    def __eq__(self, other):
        return TruthRaises()

    __ne__ = __eq__

    def __hash__(self):
        return id(self) >> 4


class HalfwayIterable:
    """Holds the elements of a valid value, supports len() and indexing, and
    raises half-way through iteration."""

    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return len(self.items) + 1

    def __getitem__(self, i):
        if isinstance(i, int) and -len(self.items) <= i < len(self.items):
            return self.items[i]
        raise IndexError(i)

    def __iter__(self):
        yield from self.items[: max(1, len(self.items) // 2)]
        raise Boom("half-way")


class RaisingRow:
    """A row: has a length, but iterating it raises."""

    def __len__(self):
        return 3

    def __getitem__(self, i):
        raise Boom("row item")

    def __iter__(self):
        raise Boom("row iteration")


class GetitemRaises(Mapping):
    """A mapping with the keys of a valid value whose lookups raise."""

    def __init__(self, keys=("table", "name", "cols")):
        self._keys = list(keys)

    def __getitem__(self, key):
        raise Boom("__getitem__")

    def __iter__(self):
        return iter(self._keys)

    def __len__(self):
        return len(self._keys)


def elements_of(value):
    if isinstance(value, (list, tuple, set, frozenset, dict)):
        return list(value) or [None]
    return [value]


def bad_for_rows(value):
    """A valid first element followed by a row whose iteration raises."""
    first = elements_of(value)[0]
    return [first, RaisingRow()]


BAD_VALUES = {
    "none": lambda v: None,
    "int": lambda v: 7,
    "huge_int": lambda v: 2**70,
    "float": lambda v: 1.5,
    "bytes": lambda v: b"t",
    "list": lambda v: [1, 2],
    "dict": lambda v: {"a": 1},
    "str_raises": lambda v: StrRaises(),
    "eq_raises": lambda v: EqRaises(),
    "eq_truth_raises": lambda v: EqTruthRaises(),
    "halfway_iterable": lambda v: HalfwayIterable(elements_of(v)),
    "row_iteration_raises": bad_for_rows,
    "getitem_raises": lambda v: GetitemRaises(v.keys() if isinstance(v, dict) else ("table", "name", "cols")),
    "huge_text": None,  # filled in per parameter, see bad_value()
    "single_quote": lambda v: "t'x",
    "double_quote": lambda v: 't"x',
    "blanks": lambda v: "t x ",
    "only_blank": lambda v: " ",
    "non_ascii": lambda v: "tæblé_名前",
    "lone_surrogate": lambda v: "t\udc80",
    "empty_text": lambda v: "",
}


def bad_value(fn, param, label, valid):
    if label == "huge_text":
        return ITERATED_HUGE_TEXT if (fn, param) in ITERATED_PARAMS else HUGE_TEXT
    return BAD_VALUES[label](valid)


# ------------------------------------------------------------ the table ----

COLS = ["a", "b", "c"]
MAIN_ROWS = [(1, "x", 10), (2, "y", 20), (3, "x", 30)]
STAGED_ROWS = [(1, "z", 11), (4, "y", 20)]


def prepare(conn):
    """Table t: index ix on (a, b), rule u on a, rule v on (b, c), rows in both tables."""
    nv.create_table(
        conn,
        "t",
        list(COLS),
        [{"name": "ix", "cols": "a,b"}],
        [{"name": "u", "cols": [0]}, {"name": "v", "cols": [1, 2]}],
    )
    nv._insert_main(conn, "t", list(MAIN_ROWS))
    nv.insert_temp(conn, "t", list(STAGED_ROWS))


def baseline(fn, conn, db):
    """Valid keyword arguments for one call of `fn` on the prepared table."""
    return {
        "insert_index": lambda: dict(conn=conn, index={"table": "t", "name": "ix2", "cols": "c"}, comm=True),
        "drop_index": lambda: dict(conn=conn, table="t", name="ix", comm=True),
        "active_table_index": lambda: dict(conn=conn, table="t", comm=True),
        "drop_table_index": lambda: dict(conn=conn, table="t", comm=True),
        "insert_unique": lambda: dict(conn=conn, table="t", name="w", cols="a,c", cols_num="0,2", comm=True),
        "drop_unique": lambda: dict(conn=conn, table="t", name="u", comm=True),
        "create_table": lambda: dict(
            conn=conn,
            name="t",
            cols=list(COLS),
            index=[{"name": "ix", "cols": "a,b"}],
            unique=[{"name": "u", "cols": [0]}, {"name": "v", "cols": [1, 2]}],
            comm=True,
        ),
        "insert_temp": lambda: dict(conn=conn, table="t", rows=[(5, "q", 50), (6, "r", 60)], comm=True),
        "delete_row_main": lambda: dict(conn=conn, table="t", ids=[1, 2], comm=True),
        "temp_to_main": lambda: dict(conn=conn, table="t", comm=True),
        "_insert_main": lambda: dict(conn=conn, table="t", rows=[(5, "q", 50), (6, "r", 60)], comm=True),
        "drop_table": lambda: dict(conn=conn, table="t", comm=True),
        "find": lambda: dict(conn=conn, select="a,b", table="t", conditions="where a > 0 order by rowid"),
        "_check_newest_unique": lambda: dict(
            conn=conn,
            table="t",
            rowid=(0, 1),
            row=(1, 1, "x", 10),
            uniques={"u": [0], "v": [1, 2]},
            cols=list(COLS),
            total_select="rowid,a,b,c",
            eqivalent_set={(0, 1)},
        ),
        "DB.__init__": lambda: dict(
            self=nv.DB.__new__(nv.DB), name=fresh_name("bad"), address=str(Path.cwd() / "other.db")
        ),
        "DB.connection": lambda: dict(self=db),
    }[fn]()


FUNCTIONS = list(PUBLISHED)


# Statements run outside a transaction take effect at once (the host's default
# transaction handling), so a call that fails after them leaves them in place,
# just as the same call would on success: dropping a table's indexes ...
DROPS_INDEXES_FIRST = {"drop_table_index", "temp_to_main"}


# ... and dropping the main table before the catalog deletions. create_table
# checks its arguments before that drop: only an error of SQLite itself, or of
# the final commit flag, may come after it.
def drops_table_first(fn, param, exc):
    if fn == "create_table":
        return param == "comm" or isinstance(exc, sqlite3.Error)
    return fn == "drop_table" and param == "comm"


ORDINARY = (sqlite3.Error, TypeError, ValueError, LookupError, AttributeError, OverflowError, Boom)


def snapshot(c):
    """Everything committed in the file: schema entries and every table's rows."""
    schema = sorted(fetch(c, "SELECT type, name, tbl_name, coalesce(sql, '') FROM sqlite_master"))
    rows = {}
    for kind, name, _, _ in schema:
        if kind == "table":
            quoted = '"' + name.replace('"', '""') + '"'
            rows[name] = sorted(map(repr, fetch(c, f"SELECT rowid, * FROM {quoted}")))
    return {"schema": schema, "rows": rows}


def without(snap, *, indexes_of=None, table=None):
    schema = [
        e
        for e in snap["schema"]
        if not (e[0] == "index" and e[2] in (indexes_of, table)) and not (e[0] == "table" and e[1] == table)
    ]
    rows = {k: v for k, v in snap["rows"].items() if k != table}
    return {"schema": schema, "rows": rows}


def check_nothing_extra_committed(fn, param, exc, before, after):
    if fn in DROPS_INDEXES_FIRST:
        assert set(after["schema"]) <= set(before["schema"])
        before, after = without(before, indexes_of="t"), without(after, indexes_of="t")
    if drops_table_first(fn, param, exc):
        assert set(after["schema"]) <= set(before["schema"])
        before, after = without(before, table="t"), without(after, table="t")
    assert after == before


# find on the prepared table, and the main table after merging it.
PREPARED_FIND = [[1, "z", 11], [4, "y", 20], [3, "x", 30]]
PREPARED_MERGED = sorted([(3, "x", 30), (4, "y", 20), (1, "z", 11)])


def still_works(conn, snap):
    """After the caller's rollback the library works on the same connection."""
    if any(e[:2] == ("table", "t") for e in snap["schema"]):
        assert nv.find(conn, "*", "t", "order by rowid") == PREPARED_FIND
        nv.temp_to_main(conn, "t")
        assert sorted(fetch(conn, "SELECT * FROM t")) == PREPARED_MERGED


def as_if(fn, param, value, workdir):
    """Result and committed state of the baseline call with `value` for
    `param`, on a freshly prepared database of its own."""
    db = nv.DB(fresh_name("as_if"), str(Path(workdir) / "as_if.db"))
    conn = db.connection()
    try:
        prepare(conn)
        args = baseline(fn, conn, db)
        args[param] = value
        result = published(fn)(**args)
        conn.commit()
        return result, snapshot(conn)
    finally:
        conn.close()


def unchanged(case):
    """A name that matches nothing: the call changes nothing."""
    case.conn.commit()
    assert snapshot(case.other) == case.before


def as_with(substitute):
    """The value does what `substitute(value)` does as a valid value."""

    def check(case):
        case.conn.commit()
        value = substitute(case.args[case.param])
        assert (case.result, snapshot(case.other)) == as_if(case.fn, case.param, value, case.workdir)

    return check


def new_rule(case):
    """The rule and its index are recorded with the values given, and the index exists."""
    case.conn.commit()
    name, cols, nums = (case.args[k] for k in ("name", "cols", "cols_num"))
    assert ("t", name, cols, nums) in fetch(case.other, "SELECT * FROM unique_table")
    assert ("t", name, cols) in fetch(case.other, "SELECT * FROM index_table")
    # the index statement is spliced together from the two texts
    assert (f"CREATE INDEX t_{name} ON t ({cols})",) in fetch(case.other, "SELECT sql FROM sqlite_master")


def new_table(case):
    """A table of that name (its text form) and its staging table; t stays as it was."""
    case.conn.commit()
    name = str(case.args["name"])
    assert {name, "temp_" + name} <= tables(case.other)
    assert snapshot(case.other)["rows"]["t"] == case.before["rows"]["t"]


def newest_answer(case):
    """Only reads; answers (True, the set it was given) or (False, None)."""
    ok, seen = case.result
    assert (ok is True and seen is case.args["eqivalent_set"]) or (ok is False and seen is None)
    unchanged(case)


def registered(case):
    """The object given as self is set up and registered under the name."""
    self, name, address = (case.args[k] for k in ("self", "name", "address"))
    assert norvane_state.DB_dict[name] is self
    assert (vars(self)["name"], vars(self)["address"]) == (name, address)
    if address != "":  # the empty address is a private temporary database
        prepared = sqlite3.connect(address)
        try:
            assert {"index_table", "unique_table"} <= tables(prepared)
        finally:
            prepared.close()
    unchanged(case)


# What a call that succeeds with a bad value must have done, by parameter.
SUCCEEDED = {
    ("drop_index", "table"): unchanged,
    ("drop_index", "name"): unchanged,
    ("active_table_index", "table"): unchanged,
    ("drop_table_index", "table"): unchanged,
    ("drop_unique", "table"): unchanged,
    ("drop_unique", "name"): unchanged,
    ("drop_table", "table"): unchanged,
    # rows, ids and entry lists are iterated: an iterable does what the list of its elements does
    ("insert_temp", "rows"): as_with(list),
    ("_insert_main", "rows"): as_with(list),
    ("delete_row_main", "ids"): as_with(list),
    ("create_table", "index"): as_with(list),
    ("create_table", "unique"): as_with(list),
    # conditions are spliced after the table name: text that is no clause is an alias of it
    ("find", "conditions"): as_with(lambda v: ""),
    ("insert_unique", "name"): new_rule,
    ("insert_unique", "cols"): new_rule,
    ("insert_unique", "cols_num"): new_rule,
    ("create_table", "name"): new_table,
    **{("_check_newest_unique", p): newest_answer for p in PUBLISHED["_check_newest_unique"]},
    **{("DB.__init__", p): registered for p in PUBLISHED["DB.__init__"]},
}


def check_success(case):
    if case.param == "comm":
        # No bad value equals True: nothing is committed, and the call did
        # what it does with a valid flag.
        assert snapshot(case.other) == case.before
        case.conn.commit()
        assert (case.result, snapshot(case.other)) == as_if(case.fn, "comm", True, case.workdir)
        return
    assert (case.fn, case.param) in SUCCEEDED, "succeeded without a documented outcome"
    SUCCEEDED[case.fn, case.param](case)


def run_case(fn, param, label, workdir):
    """One bad call on a freshly prepared database under `workdir`."""
    os.chdir(workdir)
    db = nv.DB(fresh_name("bad"), str(Path(workdir) / "bad.db"))
    conn, other = db.connection(), db.connection()
    for c in (conn, other):
        c.execute("PRAGMA synchronous=OFF")  # speed only: no fsync per commit
    registered = set(norvane_state.DB_dict)
    try:
        prepare(conn)
        before = snapshot(other)
        args = baseline(fn, conn, db)
        args[param] = bad_value(fn, param, label, args[param])
        try:
            result = published(fn)(**args)
        except BaseException as exc:  # noqa: BLE001 - classified below
            assert not isinstance(exc, SystemError), repr(exc)[:500]
            assert isinstance(exc, ORDINARY), repr(exc)[:500]
            # What the call left uncommitted goes; what it committed stays.
            conn.rollback()
            after = snapshot(other)
            check_nothing_extra_committed(fn, param, exc, before, after)
            still_works(conn, after)
            if fn == "DB.__init__" and param != "self":
                # a failed construction leaves no registration behind
                assert all(k is not args["name"] for k in set(norvane_state.DB_dict) - registered)
            return exc
        check_success(
            SimpleNamespace(
                fn=fn, param=param, args=args, result=result, conn=conn, other=other, before=before, workdir=workdir
            )
        )
        return None
    finally:
        conn.close()
        other.close()
        for key in set(norvane_state.DB_dict) - registered - {db.name}:
            del norvane_state.DB_dict[key]


CASES = []
for _fn in FUNCTIONS:
    for _param in PUBLISHED[_fn]:
        for _label in BAD_VALUES:
            CASES.append(pytest.param(_fn, _param, _label, id=f"{_fn}-{_param}-{_label}"))


@pytest.mark.parametrize("fn", FUNCTIONS)
def test_baseline_call_succeeds(tmp_path, monkeypatch, fn):
    monkeypatch.chdir(tmp_path)
    db = nv.DB(fresh_name("base"), str(tmp_path / "base.db"))
    conn = db.connection()
    try:
        prepare(conn)
        published(fn)(**baseline(fn, conn, db))
    finally:
        conn.close()


def in_child(call, timeout, **env):
    """Runs `call` (an expression over this module, as m) in a fresh interpreter."""
    code = f"import sys; sys.path.insert(0, {str(Path(__file__).parent)!r}); import test_reliability_input as m; {call}"
    try:
        done = subprocess.run(
            [sys.executable, "-c", code], capture_output=True, timeout=timeout, env=dict(os.environ, **env)
        )
    except subprocess.TimeoutExpired:
        pytest.fail(f"still running after {timeout} s")
    assert done.returncode == 0, done.stderr.decode()[-3000:]
    return done.stdout.decode()


@pytest.mark.parametrize("fn, param, label", CASES)
def test_bad_value(tmp_path, monkeypatch, fn, param, label):
    monkeypatch.chdir(tmp_path)
    run_case(fn, param, label, str(tmp_path))


# ------------------------------------------------------ a damaged catalog ---
#
# The catalog is input too: rows written by hand, by an older program or by
# another tool. Every reader must fail with an ordinary exception or cope.

DAMAGE = {
    ("unique_table", "col_num"): [
        "x",
        "",
        "0,",
        ",",
        None,
        5,
        1.5,
        b"0",
        "99999999999999999999",
        "-99",
        " 1 ",
        "0,0",
        "-1",
        "\u0663",
        "0" * 100_000,
    ],
    ("unique_table", "unique_name"): [None, 5, b"u", "u'", ""],
    ("index_table", "columns"): [None, 5, b"a", "nosuch", "a'", "", "a,a"],
    ("index_table", "index_name"): [None, 5, b"i", "i j", "i'", ""],
    ("index_table", "table_name"): [None, 5, "other"],
}
READERS = {
    "temp_to_main": lambda conn: nv.temp_to_main(conn, "t"),
    "find": lambda conn: nv.find(conn, "*", "t", ""),
    "active_table_index": lambda conn: nv.active_table_index(conn, "t"),
    "drop_table": lambda conn: nv.drop_table(conn, "t"),
}
DAMAGE_CASES = [
    pytest.param(reader, table, column, value, id=f"{reader}-{column}-{i}")
    for (table, column), values in DAMAGE.items()
    for i, value in enumerate(values)
    for reader in READERS
]


def rows_by_id(c, table):
    return {rowid: tuple(row) for rowid, *row in fetch(c, f"SELECT rowid, * FROM {table}")}


def catalog_rules(c):
    """t's rules read the way the catalog is documented: col_num split at ","
    and each piece read as an integer; of two rows with one name the later wins."""
    rules = {}
    for name, col_num in fetch(
        c, "SELECT unique_name, col_num FROM unique_table WHERE table_name = 't' ORDER BY rowid"
    ):
        rules[name] = [int(piece) for piece in str(col_num).split(",")]
    return list(rules.values())


def catalogued_indexes_stand(c):
    """An index of each name t's catalog gives stands on t (the name spliced after "t_")."""
    standing = {name for (name,) in fetch(c, "SELECT name FROM sqlite_master WHERE type = 'index' AND tbl_name = 't'")}
    for (name,) in fetch(c, "SELECT index_name FROM index_table WHERE table_name = 't'"):
        assert f"t_{name}".split()[0] in standing


def merged_by_the_rules(c, main, staged):
    rules = catalog_rules(c)
    assert rows_by_id(c, "t") == newest_model.merged(main, staged, rules)
    assert rows_by_id(c, "temp_t") == {}
    catalogued_indexes_stand(c)


def found_by_the_rules(c, result, main, staged):
    rules = catalog_rules(c)
    if all(p >= 0 for pos in rules for p in pos):
        assert result == newest_model.found(main, staged, rules, range(len(COLS)))
    else:  # a negative position reads the rowid (the walk's own rule): rows of the table, once each
        rows = [list(r) for r in list(staged.values()) + list(main.values())]
        assert all(r in rows for r in result) and len(result) == len({tuple(r) for r in result})


def not_of_t(c):
    """Schema and catalog rows that belong to anything but t."""
    schema = without(without(snapshot(c), table="t"), table="temp_t")["schema"]
    return schema, [
        fetch(c, f"SELECT rowid, * FROM {catalog} WHERE table_name IS NOT 't' ORDER BY rowid")
        for catalog in ("index_table", "unique_table")
    ]


def dropped(c, kept):
    assert not {"t", "temp_t"} & tables(c)
    assert fetch(c, "SELECT count(*) FROM index_table WHERE table_name = 't'") == [(0,)]
    assert fetch(c, "SELECT count(*) FROM unique_table WHERE table_name = 't'") == [(0,)]
    assert not_of_t(c) == kept


# What a reader that copes with the damage must have done (every reader commits).
COPED = {
    "temp_to_main": lambda c, result, main, staged, kept: merged_by_the_rules(c, main, staged),
    "find": lambda c, result, main, staged, kept: found_by_the_rules(c, result, main, staged),
    "active_table_index": lambda c, result, main, staged, kept: catalogued_indexes_stand(c),
    "drop_table": lambda c, result, main, staged, kept: dropped(c, kept),
}


@pytest.mark.parametrize("reader, table, column, value", DAMAGE_CASES)
def test_damaged_catalog(db, reader, table, column, value):
    conn, other = db.connection(), db.connection()
    try:
        prepare(conn)
        conn.execute(f"UPDATE {table} SET {column} = ? WHERE table_name = 't'", (value,))
        conn.commit()
        before = snapshot(other)
        main, staged, kept = rows_by_id(other, "t"), rows_by_id(other, "temp_t"), not_of_t(other)
        try:
            result = READERS[reader](conn)
        except BaseException as exc:  # noqa: BLE001 - classified below
            assert isinstance(exc, ORDINARY) and not isinstance(exc, SystemError), repr(exc)[:500]
            conn.rollback()
            check_nothing_extra_committed(reader, "table", exc, before, snapshot(other))
        else:
            COPED[reader](other, result, main, staged, kept)
    finally:
        conn.close()
        other.close()


# ----------------------------- values that change the caller's containers ---
#
# A value may run code of its own while the library works with it (item
# lookup, item assignment, +). When that code drops the value from the list
# the caller passed, the library must not go on using what it no longer holds.
# Each runs in a child process under PYTHONMALLOC=debug, where freed memory is
# overwritten, so that a use after free shows as a crash.


def index_entry_leaving_on_assignment():
    entries = []

    class Entry(dict):
        def __setitem__(self, key, value):
            super().__setitem__(key, value)
            entries.clear()

    entries.append(Entry(name="ix" * 20, cols="a"))
    return dict(cols=["a", "b"], index=entries, unique=[])


def rule_entry_leaving_on_lookup():
    rules = []

    class Rule(dict):
        def __getitem__(self, key):
            value = super().__getitem__(key)
            rules.clear()
            return value

    rules.append(Rule(name="u" * 30, cols=[0]))
    return dict(cols=["a", "b"], index=[], unique=rules)


def column_name_emptying_the_list():
    cols = []

    class Name(str):
        def __add__(self, other):
            cols.clear()
            return str(self) + other

    cols.extend([Name("a"), "b" * 40, "c" * 40])
    return dict(cols=cols, index=[], unique=[])


MUTATIONS = {
    "index entry leaves the list on item assignment": index_entry_leaving_on_assignment,
    "rule entry leaves the list on item lookup": rule_entry_leaving_on_lookup,
    "column name empties the list on +": column_name_emptying_the_list,
}


def mutation_scenario(label, workdir):
    """Run in the child: the call succeeds or raises an ordinary exception."""
    db = nv.DB(fresh_name("mutate"), str(Path(workdir) / "mutate.db"))
    conn = db.connection()
    try:
        nv.create_table(conn, "t", **MUTATIONS[label]())
    except ORDINARY:
        pass
    print("survived")


@pytest.mark.parametrize("label", MUTATIONS)
def test_value_changing_the_callers_list(tmp_path, label):
    out = in_child(f"m.mutation_scenario({label!r}, {str(tmp_path)!r})", 60, PYTHONMALLOC="debug")
    assert "survived" in out
