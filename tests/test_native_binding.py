"""The private entries of norvane._native are bound as the published callables
are: their signatures, keyword arguments, defaults and traceback entries."""

import inspect
import sqlite3
import traceback

import pytest

import norvane.norvane as nv
from norvane import _native

NATIVE = {
    "find": ["conn", "select", "table", "conditions", "params"],
    "traced_find": ["conn", "select", "table", "conditions", "params", "plan", "folded"],
    "merge": ["conn", "table", "comm", "progress"],
    "traced_merge": ["conn", "table", "comm", "progress", "fail_before", "path", "indexes"],
    "traced_stage": ["conn", "table", "rows", "comm", "path", "grouped", "width"],
    "stage_rows": ["conn", "table", "rows", "comm"],
    "stage_values": ["conn", "table", "values", "width", "comm"],
    "interruptible": ["conn", "fn"],
    "sequential_walk": ["rows", "rule_count"],
    "with_index_plan": [
        "conn",
        "table",
        "at_least",
        "at_most",
        "count",
        "schema_rows",
        "largest_rowid",
        "prepare",
        "write",
        "indexes",
    ],
    "play_newest": ["main", "staged", "picks", "rank_picks"],
    "connection_profile": ["conn", "table"],
    "prepare_catalog": ["conn"],
    "create_catalog": ["conn"],
    "ignore_guard": ["name"],
}


def entry(name):
    return getattr(_native._ext, name)


def entries_of(exc):
    return [frame.name for frame in traceback.extract_tb(exc.__traceback__) if frame.name.startswith("norvane.")]


def homes(conn, names=("homes",), staged=30):
    _native.prepare_catalog(conn)
    for name in names:
        nv.create_table(conn, name, ["name", "age"], [], [{"name": "by_name", "cols": [0]}])
        nv.insert_temp(conn, name, [(f"n{i % 20}", i) for i in range(staged)])


@pytest.mark.parametrize("name", NATIVE)
def test_signatures_name_every_parameter(name):
    function = entry(name)
    parameters = inspect.signature(function).parameters
    assert list(parameters) == NATIVE[name]
    assert function.__name__ == name
    assert function.__module__ == "norvane._native"
    defaults = {p.name: p.default for p in parameters.values() if p.default is not inspect.Parameter.empty}
    trailing_defaults = {
        "connection_profile": {"table": None},
        "traced_stage": {"width": None},
        "traced_merge": {"path": None, "indexes": None},
        "traced_find": {"plan": None, "folded": None},
    }
    assert defaults == trailing_defaults.get(name, {})


@pytest.mark.parametrize("name", NATIVE)
def test_a_wrong_argument_count_names_the_entry(name):
    count = len(NATIVE[name])
    with pytest.raises(TypeError) as caught:
        entry(name)(*range(count + 1))
    bound = "at most" if name in ("connection_profile", "traced_stage", "traced_merge", "traced_find") else "exactly"
    plural = "" if count == 1 else "s"
    assert str(caught.value) == f"{name}() takes {bound} {count} positional argument{plural} ({count + 1} given)"
    assert entries_of(caught.value) == [f"norvane._native.{name}"]


def test_keywords_bind_as_positions_do():
    by_position, by_keyword = sqlite3.connect(":memory:"), sqlite3.connect(":memory:")
    for conn in (by_position, by_keyword):
        homes(conn, staged=0)
    rows = [(f"n{i % 7}", i) for i in range(40)]
    _native.stage_rows(by_position, "homes", rows, True)
    _native.stage_rows(comm=True, rows=rows, table="homes", conn=by_keyword)
    for conn in (by_position, by_keyword):  # and the staging entry of tests, by position and by keyword
        conn.execute("DELETE FROM temp_homes")
    assert _native.traced_stage(by_position, "homes", rows, True, "auto", True) == "grouped"
    assert _native.traced_stage(grouped=True, path="auto", comm=True, rows=rows, table="homes", conn=by_keyword) == (
        "grouped"
    )
    counts = _native.merge(by_position, "homes", True, None)
    assert _native.merge(progress=None, comm=True, table="homes", conn=by_keyword) == counts
    found = _native.find(by_position, None, "homes", "order by age", None)
    assert _native.find(conn=by_keyword, select=None, table="homes", conditions="order by age", params=None) == found
    # trailing defaults, each given or left out, by position or by keyword
    assert _native.traced_find(by_position, None, "homes", "order by age", None)[:2] == found
    assert _native.traced_find(by_keyword, None, "homes", "order by age", None, folded=False, plan="scan")[:2] == found
    profile = _native.connection_profile(by_position)
    assert _native.connection_profile(by_position, None) == profile
    assert _native.connection_profile(conn=by_position, table=None) == profile


@pytest.mark.parametrize(
    ("call", "error", "message", "name"),
    [
        (
            lambda c: _native.merge(c, "homes", True, 3),
            TypeError,
            "progress must be callable or None, not int",
            "merge",
        ),
        (lambda c: _native.traced_merge(c, "homes", True, None, "x", "auto", "auto"), TypeError, None, "traced_merge"),
        (
            lambda c: _native.traced_merge(c, "homes", True, None, 0, "sets", "auto"),
            ValueError,
            "traced_merge: path: expected 'auto' or 'statements', got 'sets'",
            "traced_merge",
        ),
        (
            lambda c: _native.traced_merge(c, "homes", True, None, 0, "auto", "some"),
            ValueError,
            "traced_merge: indexes: expected 'auto', 'keep' or 'rebuild', got 'some'",
            "traced_merge",
        ),
        (
            lambda c: _native.traced_stage(c, "homes", [("a", 1)], True, "json", True),
            ValueError,
            "traced_stage: path: expected 'auto' or 'statements', got 'json'",
            "traced_stage",
        ),
        (
            lambda c: _native.traced_stage(c, "homes", [("a", 1)], True, "auto", 1),
            TypeError,
            "traced_stage: grouped: expected True or False, got 1",
            "traced_stage",
        ),
        (lambda c: _native.stage_values(c, "homes", [1, 2], "x", True), TypeError, None, "stage_values"),
        (
            lambda c: _native.stage_values(c, "homes", [1, 2, 3], 2, True),
            ValueError,
            "stage_values: values must be a list of whole rows",
            "stage_values",
        ),
        (lambda c: _native.sequential_walk([], 0), ValueError, "sequential_walk: rule_count must be at least 1", None),
        (lambda c: _native.find(c, None, "missing", "", None), sqlite3.OperationalError, None, "find"),
        (
            lambda c: _native.traced_find(c, None, "homes", "", None, "nowhere"),
            ValueError,
            "traced_find: plan: expected 'automatic', 'lookups', 'grouped', 'scan' or 'rounds', got 'nowhere'",
            "traced_find",
        ),
        (
            lambda c: _native.traced_find(c, None, "homes", "", None, folded=1),
            TypeError,
            "traced_find: folded: expected True, False or None, got 1",
            "traced_find",
        ),
    ],
)
def test_failures_keep_their_message_and_gain_the_entry(call, error, message, name):
    conn = sqlite3.connect(":memory:")
    homes(conn)
    with pytest.raises(error) as caught:
        call(conn)
    if message is not None:
        assert str(caught.value) == message
    qualname = name or str(message).split(":")[0]
    assert entries_of(caught.value)[-1] == f"norvane._native.{qualname}"


@pytest.mark.parametrize("path", ["auto", "statements"])
def test_progress_belongs_to_the_merge_it_was_passed(path):
    # A merge run from inside the progress callable is passed no progress of
    # its own: the outer merge alone is heard, and its counts are its own.
    conn = sqlite3.connect(":memory:")
    homes(conn, ("outer",), staged=30)
    homes(conn, ("inner",), staged=7)
    heard = []

    def progress(done, total):
        heard.append((done, total))
        nv.temp_to_main(conn, "inner", False)

    _, staged, inserted, replaced, superseded = _native.traced_merge(conn, "outer", True, progress, 0, path, "auto")
    assert heard and all(total == 30 for _, total in heard)
    assert staged == 30 and inserted + superseded == 30
    assert conn.execute("SELECT count(*) FROM temp_inner").fetchone() == (0,)
