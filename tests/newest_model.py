"""Newest-wins, written plainly, for the property tests to compare against.

Rows are tuples of column values; a table's rows are a dict rowid -> row, and
`rules` is a list of column-position lists. Two rows are linked when they
agree, by SQL equality (NULL equals nothing), on every column of some rule.
A reference (source, rowid) has source 1 for a staged row and 0 for a main
row; the larger reference is the newer row.
"""


def sql_equal(a, b):
    return a is not None and b is not None and a == b


def linked(a, b, rules):
    return any(pos and all(sql_equal(a[p], b[p]) for p in pos) for pos in rules)


def append(rows_by_id, rows):
    """Rows appended as SQLite numbers them: one past the largest rowid."""
    for row in rows:
        rows_by_id[max(rows_by_id, default=0) + 1] = tuple(row)


def references(main, staged):
    return [((1, r), row) for r, row in staged.items()] + [((0, r), row) for r, row in main.items()]


def closure(ref, row, main, staged, rules):
    """References reachable from `ref` through linked rows; None when a newer one is met."""
    seen, todo = {ref}, [row]
    refs = references(main, staged)
    while todo:
        current = todo.pop()
        for other_ref, other in refs:
            if other_ref in seen or not linked(current, other, rules):
                continue
            seen.add(other_ref)
            if other_ref > ref:
                return None
            todo.append(other)
    return seen


def merged(main, staged, rules):
    """The main table after a merge. Staged rows are taken newest first: one
    whose key under some rule a newer staged row already claimed (Python
    equality, so None matches None) is dropped, yet still claims its other
    keys; every main row that agrees by SQL equality with a claimed key goes.
    Survivors are appended newest first."""
    claimed = [set() for _ in rules]
    superseded, survivors = set(), []
    for _, row in sorted(staged.items(), reverse=True):
        duplicate = False
        for k, pos in enumerate(rules):
            key = tuple(row[p] for p in pos)
            if key in claimed[k]:
                duplicate = True
                continue
            claimed[k].add(key)
            if pos:
                superseded |= {r for r, m in main.items() if all(sql_equal(m[p], row[p]) for p in pos)}
        if not duplicate:
            survivors.append(row)
    result = {r: m for r, m in main.items() if r not in superseded}
    append(result, survivors)
    return result


def found(main, staged, rules, positions, keep=lambda row: True, descending=False, limit=None):
    """What find returns: each table's selected rows in rowid order (the
    conditions apply to each table alone), staged first; a row is dropped when
    it repeats a key already shown under some rule (Python equality) or when
    a newer row is linked to it."""

    def part(rows_by_id):
        rows = [(r, row) for r, row in sorted(rows_by_id.items(), reverse=descending) if keep(row)]
        return rows[:limit] if limit is not None else rows

    shown = [set() for _ in rules]
    out = []
    for source, rows in ((1, part(staged)), (0, part(main))):
        for rowid, row in rows:
            keys = [tuple(row[p] for p in pos) for pos in rules]
            if any(key in shown[k] for k, key in enumerate(keys)):
                continue
            if closure((source, rowid), row, main, staged, rules) is None:
                continue
            for k, key in enumerate(keys):
                shown[k].add(key)
            out.append([row[p] for p in positions])
    return out
