"""The Table's rule written plainly, for tests of the engine: each staged row
in staging order acts as an INSERT OR REPLACE into one UNIQUE index per rule,
or with newest_by is dropped when a row it would remove beats it.

Rows are (origin, rowid, values); values compare as a UNIQUE index of BINARY
columns compares them (a NULL equals nothing, 1 == 1.0, '1' != 1)."""

from norvane.ordered_merge import sqlite_key


def key_equal(a, b):
    if a is None or b is None:
        return False
    if isinstance(a, (int, float)) and isinstance(b, (int, float)):
        return a == b
    return type(a) is type(b) and a == b


def meets(x, y, rules):
    return any(all(key_equal(x[p], y[p]) for p in rule) for rule in rules)


def newest_key(row, newest_by):
    return tuple(sqlite_key(row[p]) for p in newest_by)


def current(main, staged, rules, newest_by=()):
    """main, staged: lists of (rowid, values). Returns (current list of
    (origin, rowid, values) in the order they ended up, stale count,
    superseded count)."""
    rows = [("main", rowid, values) for rowid, values in main]
    stale = superseded = 0
    for rowid, values in sorted(staged):
        met = [r for r in rows if meets(r[2], values, rules)]
        if newest_by and any(newest_key(r[2], newest_by) > newest_key(values, newest_by) for r in met):
            stale += 1
            continue
        superseded += sum(1 for r in met if r[0] == "staged")
        rows = [r for r in rows if r not in met]
        rows.append(("staged", rowid, values))
    return rows, stale, superseded
