"""The module as the interpreter sees it, and the database handle."""

import importlib
import os
import sqlite3
import subprocess
import sys
import textwrap

import pytest
from conftest import PUBLISHED, Proxy, fetch, fresh_name, published, tables

import norvane.norvane as nv

TB_FILE = "src/norvane/norvane"

PARAMS = {name: params for name, params in PUBLISHED.items() if not name.startswith("DB.")}
FUNCTIONS = list(PARAMS)

INSERT_INDEX_DOC = """
    Insert index for fast search.
    index = {
    'table': 'homes',
    'name': 'index_0',
    'cols': 'name,type,address'
    }
    """
INSERT_UNIQUE_DOC = """
    Insert uniques of table, the last one with unique features replaces old ones.
    table = 'homes'   # table ('name', 'type', 'address', 'age')
    name = 'unique_0'
    cols = 'name,address'
    cols_num = '0,2'
    """
CREATE_TABLE_DOC = """
    Create table with indexes and uniques.
    name = 'homes'
    cols = ['name', 'type', 'address', 'age']
    index = [
        {
            'name': 'index_0',
            'cols': 'name,type,address'
        },
        {
            'name': 'index_1',
            'cols': 'age'
        }
    ]
    unique = [
        {
            'name': 'unique_0',
            'cols': [0, 1]     # 'name, type'
        },
        {
            'name': 'unique_1',
            'cols': [2]     #'address'
        }
    ]
    """
FIND_DOC = """
    Find rows from temp and main tables.
    select = '*' or 'name,age'
    table = 'persons'
    conditions = '''
        where (id, city) = (1093, 'Tehran')
        order by age desc
    '''
    """
ONE_LINE_DOCS = {
    "drop_index": "Drop one index of table.",
    "active_table_index": "Activate indexes of table after drooping them for fast insertion.",
    "drop_table_index": "Drop index of table for fast insert rows.",
    "drop_unique": "Delete one unique of table.",
    "insert_temp": "Fast temp_table insertion.",
    "delete_row_main": "Fast delete selcted rows from main_table.",
    "temp_to_main": "Fast temp to main insertion.",
    "drop_table": "Drop table with indexes and uniques.",
}
DOCS = {name: f"\n    {line}\n    " for name, line in ONE_LINE_DOCS.items()} | {
    "insert_index": INSERT_INDEX_DOC,
    "insert_unique": INSERT_UNIQUE_DOC,
    "create_table": CREATE_TABLE_DOC,
    "find": FIND_DOC,
    "_insert_main": None,
    "_check_newest_unique": None,
}


def tripwire():
    """A connection that fails the test as soon as any work starts."""
    return Proxy(None, lambda kind, sql: pytest.fail(f"{kind}() was called"))


class Boom(Exception):
    pass


def boom_conn():
    def boom(kind, sql):
        raise Boom("no cursor")

    return Proxy(None, boom)


class AlwaysEqual:
    def __eq__(self, other):
        return True


def norvane_entries(exc):
    """(function name, file name) of every traceback entry the module added, outermost first."""
    out, tb = [], exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_name.startswith("norvane.") or code.co_filename == TB_FILE:
            out.append((code.co_name, code.co_filename))
        tb = tb.tb_next
    return out


def entry(qualname):
    return ("norvane.norvane." + qualname, TB_FILE)


# --- import ---------------------------------------------------------------------------------


def test_reimport_gives_the_same_objects(monkeypatch):
    before = {name: getattr(nv, name) for name in ["DB", "norvane_state", *FUNCTIONS]}
    monkeypatch.delitem(sys.modules, "norvane.norvane")
    again = importlib.import_module("norvane.norvane")
    assert again is nv
    assert sys.modules["norvane.norvane"] is nv
    for name, obj in before.items():
        assert getattr(again, name) is obj, name


def test_published_names_in_binding_order():
    published = [k for k in vars(nv) if not k.startswith("__")]
    assert published == ["norvane_state", "sqlite3", "DB", *FUNCTIONS]
    assert nv.__doc__ is None
    assert nv.norvane_state is sys.modules["norvane.norvane_state"]
    assert nv.sqlite3 is sqlite3


# --- function objects -----------------------------------------------------------------------


@pytest.mark.parametrize("name", PUBLISHED)
def test_function_attributes(name):
    f = published(name)
    params = PUBLISHED[name]
    assert f.__name__ == name.removeprefix("DB.")
    assert f.__qualname__ == name
    assert f.__module__ == "norvane.norvane"
    assert f.__defaults__ == ((True,) if params[-1] == "comm" else None)
    assert f.__text_signature__ == "(" + ", ".join(p + "=True" * (p == "comm") for p in params) + ")"
    assert f.__doc__ == DOCS.get(name)
    assert type(f) is type(nv.drop_table)
    assert type(f).__flags__ & (1 << 11)  # vectorcall


@pytest.mark.parametrize("name", PUBLISHED)
def test_each_keyword_binds_its_own_position(name):
    params = PUBLISHED[name]
    for param in params:
        with pytest.raises(TypeError) as ei:
            published(name)(tripwire(), *[None] * (len(params) - 1), **{param: None})
        assert str(ei.value) == f"{name.removeprefix('DB.')}() got multiple values for keyword argument '{param}'"


def test_db_class_is_made_by_type():
    DB = nv.DB
    assert type(DB) is type
    assert (DB.__name__, DB.__qualname__, DB.__module__) == ("DB", "DB", "norvane.norvane")
    assert DB.__bases__ == (object,)
    assert DB.__doc__ is None
    ns = {
        "__module__": "norvane.norvane",
        "__qualname__": "DB",
        "__init__": lambda self: None,
        "connection": lambda self: None,
    }
    assert set(vars(DB)) == set(vars(type("DB", (), ns)))


# --- argument passing -----------------------------------------------------------------------


def arity(name, low, high, given):
    if low == high:
        word, bound = "exactly", low
    else:
        word, bound = ("at least", low) if given < low else ("at most", high)
    return f"{name}() takes {word} {bound} positional argument{'' if bound == 1 else 's'} ({given} given)"


ARITY_CASES = [
    (name, given)
    for name, params in PARAMS.items()
    for given in sorted({0, len(params) - (params[-1] == "comm") - 1, len(params) + 1})
]


@pytest.mark.parametrize("name, given", ARITY_CASES)
def test_wrong_positional_count(name, given):
    params = PARAMS[name]
    low = len(params) - (params[-1] == "comm")
    args = [tripwire()] + [None] * (given - 1) if given else []
    with pytest.raises(TypeError) as ei:
        getattr(nv, name)(*args)
    assert str(ei.value) == arity(name, low, len(params), given)


@pytest.mark.parametrize(
    "call, message",
    [
        # positional counts alone are in test_wrong_positional_count; here with keywords
        (
            lambda c: nv.drop_table(c, "t", True, 4, comm=1),
            "drop_table() takes at most 3 positional arguments (4 given)",
        ),
        (lambda c: nv.find(c, 1, 2, 3, 4, conditions=""), "find() takes exactly 4 positional arguments (5 given)"),
        (lambda c: nv.drop_table(c, "t", table="u"), "drop_table() got multiple values for keyword argument 'table'"),
        (lambda c: nv.drop_table(c, "t", commit=True), "drop_table() got an unexpected keyword argument 'commit'"),
        (lambda c: nv.find(c, "*", "t", "", limit=1), "find() got an unexpected keyword argument 'limit'"),
        (
            lambda c: nv.create_table(c, name="t", cols=["a"]),
            "create_table() takes at least 5 positional arguments (3 given)",
        ),
        (
            lambda c: nv.insert_unique(c, "t", cols="a", cols_num="0"),
            "insert_unique() takes at least 5 positional arguments (2 given)",
        ),
        (lambda c: nv.drop_table(c, comm=False), "drop_table() takes at least 2 positional arguments (1 given)"),
        (lambda c: nv.find(c, select="*", conditions=""), "find() takes exactly 4 positional arguments (2 given)"),
        (
            lambda c: nv.find(select="*", table="t", conditions=""),
            "find() takes exactly 4 positional arguments (0 given)",
        ),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as ei:
        call(tripwire())
    assert str(ei.value) == message


@pytest.mark.parametrize("name", ["drop_table", "find", "create_table"])
def test_non_string_keyword(name):
    with pytest.raises(TypeError, match=rf"^({name}\(\) )?keywords must be strings$"):
        getattr(nv, name)(tripwire(), **{1: 2})


def test_all_keyword_calls(conn, tmp_path):
    assert nv.drop_table(comm=False, table="t", conn=conn) is None
    assert nv.drop_table(conn=conn, table="t", comm=False) is None
    name, path = fresh_name(), str(tmp_path / "kw.db")
    db = nv.DB(address=path, name=name)
    assert (db.name, db.address) == (name, path)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda db, n, p: nv.DB(), "__init__() takes exactly 3 positional arguments (1 given)"),
        (lambda db, n, p: nv.DB(n), "__init__() takes exactly 3 positional arguments (2 given)"),
        (lambda db, n, p: nv.DB(n, p, "c"), "__init__() takes exactly 3 positional arguments (4 given)"),
        (lambda db, n, p: nv.DB(address=p), "__init__() takes exactly 3 positional arguments (1 given)"),
        (lambda db, n, p: nv.DB(n, name=n), "__init__() got multiple values for keyword argument 'name'"),
        (lambda db, n, p: nv.DB(n, p, mode="rw"), "__init__() got an unexpected keyword argument 'mode'"),
        (lambda db, n, p: db.connection(1), "connection() takes exactly 1 positional argument (2 given)"),
        (lambda db, n, p: nv.DB.connection(), "connection() takes exactly 1 positional argument (0 given)"),
        (lambda db, n, p: db.connection(self=db), "connection() got multiple values for keyword argument 'self'"),
    ],
)
def test_method_argument_errors(db, tmp_path, capsys, call, message):
    name, path = fresh_name(), tmp_path / "never.db"
    with pytest.raises(TypeError) as ei:
        call(db, name, str(path))
    assert str(ei.value) == message
    assert name not in nv.norvane_state.DB_dict
    assert not path.exists()
    assert capsys.readouterr().out == ""


# --- failures and traceback entries ---------------------------------------------------------

BOOM_ARGS = {
    "insert_index": ({"table": "t", "name": "i", "cols": "a"},),
    "drop_index": ("t", "i"),
    "active_table_index": ("t",),
    "drop_table_index": ("t",),
    "insert_unique": ("t", "u", "a", "0"),
    "drop_unique": ("t", "u"),
    "create_table": ("t", ["a"], [], []),
    "insert_temp": ("t", [(1,)]),
    "delete_row_main": ("t", [1]),
    "temp_to_main": ("t",),
    "_insert_main": ("t", [(1,)]),
    "drop_table": ("t",),
    "find": ("*", "t", ""),
    "_check_newest_unique": ("t", (1, 1), (1, "x"), {}, ["a"], "rowid,a", set()),
}


@pytest.mark.parametrize("name", FUNCTIONS)
def test_failure_propagates_with_one_traceback_entry(name):
    with pytest.raises(Boom, match="no cursor") as ei:
        getattr(nv, name)(boom_conn(), *BOOM_ARGS[name])
    assert norvane_entries(ei.value) == [entry(name)]


def test_nested_failure_shows_caller_and_callee():
    bare = sqlite3.connect(":memory:")  # no catalog tables
    try:
        with pytest.raises(sqlite3.OperationalError, match="index_table") as ei:
            nv.create_table(bare, "t", ["a"], [], [])
    finally:
        bare.close()
    assert norvane_entries(ei.value) == [entry("create_table"), entry("drop_table")]


def test_nested_call_goes_through_the_module_global(conn, other, monkeypatch):
    calls = []
    monkeypatch.setattr(nv, "drop_table", lambda *a, **kw: calls.append((a, kw)))
    nv.create_table(conn, "t", ["a"], [], [])
    assert calls == [((), {"conn": conn, "table": "t", "comm": False})]
    assert {"t", "temp_t"} <= tables(other)


# --- commit flag ----------------------------------------------------------------------------


def _prepared(c, t):
    nv.create_table(c, t, ["a", "b"], [{"name": "ia", "cols": "a"}], [{"name": "u", "cols": [0]}])
    c.execute(f"INSERT INTO {t} VALUES (1, 1), (2, 2)")
    c.execute(f"INSERT INTO temp_{t} VALUES (1, 5)")
    c.commit()


def _indexes_dropped(c, t):
    _prepared(c, t)
    nv.drop_table_index(c, t)


# Every writing function, after a set-up, with a call that changes something.
WRITERS = {
    "insert_index": (_prepared, lambda c, t, **kw: nv.insert_index(c, {"table": t, "name": "n", "cols": "b"}, **kw)),
    "drop_index": (_prepared, lambda c, t, **kw: nv.drop_index(c, t, "ia", **kw)),
    "active_table_index": (_indexes_dropped, lambda c, t, **kw: nv.active_table_index(c, t, **kw)),
    "drop_table_index": (_prepared, lambda c, t, **kw: nv.drop_table_index(c, t, **kw)),
    "insert_unique": (_prepared, lambda c, t, **kw: nv.insert_unique(c, t, "n", "b", "1", **kw)),
    "drop_unique": (_prepared, lambda c, t, **kw: nv.drop_unique(c, t, "u", **kw)),
    "create_table": (lambda c, t: None, lambda c, t, **kw: nv.create_table(c, t, ["name"], [], [], **kw)),
    "insert_temp": (_prepared, lambda c, t, **kw: nv.insert_temp(c, t, [(9, 9)], **kw)),
    "delete_row_main": (_prepared, lambda c, t, **kw: nv.delete_row_main(c, t, [1], **kw)),
    "temp_to_main": (_prepared, lambda c, t, **kw: nv.temp_to_main(c, t, **kw)),
    "_insert_main": (_prepared, lambda c, t, **kw: nv._insert_main(c, t, [(9, 9)], **kw)),
    "drop_table": (_prepared, lambda c, t, **kw: nv.drop_table(c, t, **kw)),
}
DEFAULT = object()
COMM_VALUES = [
    (DEFAULT, True),
    (True, True),
    (1, True),
    (1.0, True),
    (AlwaysEqual(), True),
    (False, False),
    (None, False),
    (0, False),
    (2, False),
    ("yes", False),
]


def everything(c):
    """Schema and rows of every table, as a connection sees them."""
    schema = sorted(fetch(c, "SELECT type, name, coalesce(sql, '') FROM sqlite_master"))
    return schema, {
        name: sorted(fetch(c, f"SELECT rowid, * FROM {name}"), key=repr) for kind, name, _ in schema if kind == "table"
    }


@pytest.mark.parametrize("name", WRITERS)
def test_commit_only_when_comm_equals_true(conn, other, name):
    # Each value, with the call alone and inside a transaction the caller
    # opened: the final commit is made exactly when comm == True, and it
    # publishes everything the connection holds.
    prepare, call = WRITERS[name]
    for comm, commits in COMM_VALUES:
        for callers in (False, True):
            t = fresh_name("c")
            prepare(conn, t)
            before = everything(other)
            if callers:
                conn.execute("CREATE TABLE IF NOT EXISTS marks (m)")
                conn.execute("INSERT INTO marks VALUES (1)")
            proxy = Proxy(conn, transactions=True)
            call(proxy, t, **({} if comm is DEFAULT else {"comm": comm}))
            after = everything(conn)
            assert after != before, (name, comm, callers)
            assert proxy.counts["commit"] == int(commits), (name, comm, callers)
            assert everything(other) == (after if commits else before), (name, comm, callers)
            conn.rollback()


# --- database handle ------------------------------------------------------------------------


def test_handle_registers_and_prepares_catalog(tmp_path, capsys):
    name, path = fresh_name(), str(tmp_path / "new.db")
    db = nv.DB(name, path)
    assert nv.norvane_state.DB_dict[name] is db
    assert vars(db) == {"name": name, "address": path}
    assert capsys.readouterr().out == ""
    c = db.connection()
    try:
        assert tables(c) == {"index_table", "unique_table"}
        for table, cols in [
            ("index_table", ["table_name", "index_name", "columns"]),
            ("unique_table", ["table_name", "unique_name", "columns", "col_num"]),
        ]:
            info = fetch(c, f"PRAGMA table_info({table})")
            assert [r[1] for r in info] == cols
            assert all(r[2] == "" and r[5] == 0 for r in info)  # no types, no key
            assert fetch(c, f"SELECT count(*) FROM {table}") == [(0,)]
    finally:
        c.close()


@pytest.mark.parametrize("name", [fresh_name(), (fresh_name(), 1)])
def test_repeated_name_prints_exists_line(tmp_path, capsys, name):
    first = nv.DB(name, str(tmp_path / "first.db"))
    capsys.readouterr()
    second = nv.DB(name, str(tmp_path / "second.db"))
    assert capsys.readouterr().out == f"DB {name} exists!\n"
    assert vars(second) == {}
    assert nv.norvane_state.DB_dict[name] is first
    assert not (tmp_path / "second.db").exists()
    with pytest.raises(AttributeError) as ei:
        second.connection()
    assert str(ei.value) == (
        f"DB handle {name!r} was not set up: the name {name!r} is already "
        f"registered; use norvane_state.DB_dict[{name!r}]"
    )
    assert norvane_entries(ei.value) == [entry("DB.connection")]
    assert vars(second) == {}


def test_second_handle_on_same_file_keeps_catalog_rows(db, conn):
    conn.execute("INSERT INTO index_table VALUES ('t', 'i', 'a')")
    conn.execute("INSERT INTO unique_table VALUES ('t', 'u', 'a', '0')")
    conn.commit()
    again = nv.DB(fresh_name(), db.address)
    c = again.connection()
    try:
        assert fetch(c, "SELECT * FROM index_table") == [("t", "i", "a")]
        assert fetch(c, "SELECT * FROM unique_table") == [("t", "u", "a", "0")]
    finally:
        c.close()


def test_memory_database_connections_start_empty():
    db = nv.DB(fresh_name(), ":memory:")
    a, b = db.connection(), db.connection()
    try:
        assert tables(a) == set() and tables(b) == set()
        a.execute("CREATE TABLE x (y)")
        assert tables(b) == set()
    finally:
        a.close()
        b.close()


def test_each_connection_is_new(db):
    conns = [db.connection(), db.connection(), nv.DB.connection(db)]
    try:
        assert all(type(c) is sqlite3.Connection for c in conns)
        assert len({id(c) for c in conns}) == 3
    finally:
        for c in conns:
            c.close()


def test_unhashable_name_changes_nothing(tmp_path):
    before = dict(nv.norvane_state.DB_dict)
    with pytest.raises(TypeError) as ei:
        nv.DB([fresh_name()], str(tmp_path / "x.db"))
    assert nv.norvane_state.DB_dict == before
    assert not (tmp_path / "x.db").exists()
    assert norvane_entries(ei.value) == [entry("DB.__init__")]


def test_failed_open_unregisters_so_retry_works(tmp_path, capsys):
    name = fresh_name()
    with pytest.raises(sqlite3.OperationalError) as ei:
        nv.DB(name, str(tmp_path / "missing" / "x.db"))
    assert norvane_entries(ei.value) == [entry("DB.__init__")]
    assert name not in nv.norvane_state.DB_dict
    db = nv.DB(name, str(tmp_path / "x.db"))
    assert capsys.readouterr().out == ""
    assert nv.norvane_state.DB_dict[name] is db
    assert os.path.exists(db.address)


def test_failed_open_keeps_an_entry_that_was_replaced(tmp_path):
    name, other = fresh_name(), object()

    class Address:
        def __fspath__(self):
            nv.norvane_state.DB_dict[name] = other
            return str(tmp_path / "missing" / "x.db")

    with pytest.raises(sqlite3.OperationalError):
        nv.DB(name, Address())
    assert nv.norvane_state.DB_dict[name] is other


def test_registry_is_looked_up_on_each_construction(tmp_path, monkeypatch):
    fresh = {}
    monkeypatch.setattr(nv.norvane_state, "DB_dict", fresh)
    db = nv.DB(fresh_name(), str(tmp_path / "r.db"))
    assert fresh == {db.name: db}


# --- interpreters ---------------------------------------------------------------------------

SUBINTERPRETER_SCRIPT = textwrap.dedent("""
    import sys
    sys.path[:] = PATH
    import norvane.norvane
    try:
        import _interpreters
        interp = _interpreters.create("legacy")
    except Exception as e:
        print("SKIP", type(e).__name__, e)
        raise SystemExit(0)
    code = "import sys\\nsys.path[:] = %r\\nimport norvane.norvane\\n" % (PATH,)
    err = _interpreters.exec(interp, code)
    _interpreters.destroy(interp)
    print("RESULT", repr(None if err is None else (err.type.__name__, err.msg)))
""")


def test_second_interpreter_is_refused(tmp_path):
    script = f"PATH = {sys.path!r}\n" + SUBINTERPRETER_SCRIPT
    proc = subprocess.run([sys.executable, "-c", script], cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    if proc.stdout.startswith("SKIP"):
        pytest.skip("no legacy subinterpreter available: " + proc.stdout.strip())
    assert proc.stdout.strip() == "RESULT " + repr(
        (
            "ImportError",
            "Interpreter change detected - this module can only be loaded into one interpreter per process.",
        )
    )


FAILED_INIT_SCRIPT = textwrap.dedent("""
    import importlib, pathlib, shutil, sys, traceback
    package = pathlib.Path("pkg/norvane")
    package.mkdir(parents=True)
    (package / "__init__.py").write_text("")
    shutil.copy(EXTENSION, package)
    sys.path.insert(0, "pkg")
    try:
        import norvane.norvane
    except ImportError as exc:
        entries = [f.f_code.co_name for f, _ in traceback.walk_tb(exc.__traceback__)]
        print("FIRST", exc, entries[-1])
    (package / "norvane_state.py").write_text("DB_dict = {}")
    importlib.invalidate_caches()
    import norvane.norvane as retried
    print("RETRY", retried.norvane_state.__name__, callable(retried.find))
""")


def test_failed_initialisation_is_forgotten(tmp_path):
    # Without a state module the import fails; once it exists, a new import
    # starts from scratch instead of finding a half-built module. (-S keeps
    # an installed norvane out of the way.)
    script = f"EXTENSION = {nv.__file__!r}\n" + FAILED_INIT_SCRIPT
    proc = subprocess.run(
        [sys.executable, "-S", "-c", script], cwd=tmp_path, capture_output=True, text=True, timeout=60
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        "FIRST cannot import name norvane_state init norvane.norvane",
        "RETRY norvane.norvane_state True",
    ]
