"""The norvane algorithms written as plain Python over sqlite3.

This is the baseline that shows what the C++ module buys: the same functions
with the same signatures, issuing the same statements in the same order, one
``cursor.execute`` per row. It serves the benchmarks only; the package never
imports it.

Catalog names and row ids are bound as ``?`` parameters, the newest check walks
the linkage closure with a work list (in the same depth-first order as a
recursive walk), and ``find`` registers a row's key tuples only when it returns
the row.
"""

import sqlite3

CREATE_INDEX_TABLE = "CREATE TABLE IF NOT EXISTS index_table (table_name, index_name, columns)"
CREATE_UNIQUE_TABLE = "CREATE TABLE IF NOT EXISTS unique_table (table_name, unique_name, columns, col_num)"


def _commit(conn, comm):
    if comm == True:  # noqa: E712 - an equality test, not a truth test
        conn.commit()


def _placeholders(row):
    return ",".join("?" * max(len(row), 1))


def prepare(address):
    """Prepare a database file the way constructing a ``DB`` handle does."""
    conn = sqlite3.connect(address)
    cursor = conn.cursor()
    cursor.execute("PRAGMA journal_mode=JOURNAL;")
    cursor.execute(CREATE_INDEX_TABLE)
    cursor.execute(CREATE_UNIQUE_TABLE)
    conn.commit()
    conn.close()


# Indexes and uniqueness rules


def insert_index(conn, index, comm=True):
    cursor = conn.cursor()
    cursor.execute(CREATE_INDEX_TABLE)
    table, name = index["table"], index["name"]
    index_name = f"{table}_{name}"
    cursor.execute("DELETE FROM index_table WHERE table_name = ? AND index_name = ?", (table, name))
    cursor.execute("DROP INDEX IF EXISTS " + index_name)
    cols = index["cols"]
    cursor.execute("INSERT INTO index_table VALUES (?,?,?)", [table, name, cols])
    cursor.execute(f"CREATE INDEX IF NOT EXISTS {index_name} ON {table} ({cols})")
    _commit(conn, comm)


def drop_index(conn, table, name, comm=True):
    cursor = conn.cursor()
    cursor.execute(CREATE_INDEX_TABLE)
    cursor.execute("DELETE FROM index_table WHERE table_name = ? AND index_name = ?", (table, name))
    cursor.execute(f"DROP INDEX IF EXISTS {table}_{name}")
    _commit(conn, comm)


def active_table_index(conn, table, comm=True):
    cursor = conn.cursor()
    cursor.execute("SELECT * FROM index_table WHERE table_name = ?", (table,))
    for owner, name, cols in cursor.fetchall():
        cursor.execute(f"CREATE INDEX IF NOT EXISTS {owner}_{name} ON {owner} ({cols})")
    _commit(conn, comm)


def drop_table_index(conn, table, comm=True):
    cursor = conn.cursor()
    cursor.execute("SELECT * FROM sqlite_master WHERE type = 'index'")
    names = [row[1] for row in cursor.fetchall() if row[2] == table]
    for name in names:
        cursor.execute("DROP INDEX IF EXISTS " + name)
    _commit(conn, comm)


def insert_unique(conn, table, name, cols, cols_num, comm=True):
    cursor = conn.cursor()
    cursor.execute(CREATE_UNIQUE_TABLE)
    cursor.execute("DELETE FROM unique_table WHERE table_name = ? AND unique_name = ?", (table, name))
    drop_index(conn=conn, table=table, name=name, comm=False)
    cursor.execute("INSERT INTO unique_table VALUES (?,?,?,?)", [table, name, cols, cols_num])
    insert_index(conn=conn, index={"table": table, "name": name, "cols": cols}, comm=False)
    _commit(conn, comm)


# Tables


def create_table(conn, name, cols, index, unique, comm=True):
    cursor = conn.cursor()
    drop_table(conn=conn, table=name, comm=False)
    col_list = ",".join(cols)
    cursor.execute(f"CREATE TABLE {name} ({col_list})")
    cursor.execute(f"CREATE TABLE temp_{name} ({col_list})")
    for ind in index:
        ind["table"] = name
        insert_index(conn=conn, index=ind, comm=False)
    for uni in unique:
        positions = uni["cols"]
        insert_unique(
            conn=conn,
            table=name,
            name=uni["name"],
            cols=",".join(cols[p] for p in positions),
            cols_num=",".join(str(p) for p in positions),
            comm=False,
        )
    _commit(conn, comm)


def drop_table(conn, table, comm=True):
    cursor = conn.cursor()
    cursor.execute(f"DROP TABLE IF EXISTS {table}")
    cursor.execute("DELETE FROM index_table WHERE table_name = ?", (table,))
    cursor.execute("DELETE FROM unique_table WHERE table_name = ?", (table,))
    cursor.execute(f"DROP TABLE IF EXISTS temp_{table}")
    _commit(conn, comm)


# Rows


def _insert_rows(cursor, target, rows):
    statement = f"INSERT INTO {target} VALUES ({_placeholders(rows[0])})"
    for row in rows:
        cursor.execute(statement, list(row))


def insert_temp(conn, table, rows, comm=True):
    if len(rows) == 0:
        return
    _insert_rows(conn.cursor(), f"temp_{table}", rows)
    _commit(conn, comm)


def _insert_main(conn, table, rows, comm=True):
    cursor = conn.cursor()
    if len(rows) > 0:
        _insert_rows(cursor, table, rows)
        _commit(conn, comm)


def delete_row_main(conn, table, ids, comm=True):
    cursor = conn.cursor()
    statement = f"DELETE FROM {table} WHERE rowid = ?"
    for rowid in ids:
        cursor.execute(statement, (rowid,))
    _commit(conn, comm)


def _table_columns(cursor, table):
    cursor.execute(f"PRAGMA table_info({table})")
    return [info[1] for info in cursor.fetchall()]


def _read_uniques(cursor, table):
    """Rule name -> list of 0-based column positions, in catalog order."""
    cursor.execute("SELECT * FROM unique_table WHERE table_name = ?", (table,))
    return {row[1]: [int(piece) for piece in row[3].split(",")] for row in cursor.fetchall()}


def _condition(cols, positions):
    return " AND ".join(f"{cols[p]} = ?" for p in positions)


def _main_search(table, cols, positions):
    if not positions:
        return None
    return f"SELECT rowid FROM {table} WHERE {_condition(cols, positions)}"


def temp_to_main(conn, table, comm=True):
    cursor = conn.cursor()
    cols = _table_columns(cursor, table)
    uniques = _read_uniques(cursor, table)
    # Per rule: its positions, its main-table search (None without columns), its claimed tuples.
    rules = [(positions, _main_search(table, cols, positions), set()) for positions in uniques.values()]
    origin_ids = set()
    docs = []
    cursor.execute(f"SELECT * FROM temp_{table} ORDER BY rowid DESC")
    for row in cursor.fetchall():
        superseded = False
        for positions, search, claimed in rules:
            key = tuple([row[p] for p in positions])
            if key in claimed:
                superseded = True
                continue
            claimed.add(key)
            if search is not None:
                cursor.execute(search, key)
                origin_ids.update([found[0] for found in cursor.fetchall()])
        if not superseded:
            docs.append(row)

    drop_table_index(conn=conn, table=table, comm=False)
    delete_row_main(conn=conn, table=table, ids=origin_ids, comm=False)
    _insert_main(conn=conn, table=table, rows=docs, comm=False)
    cursor.execute(f"DELETE FROM temp_{table}")
    active_table_index(conn=conn, table=table, comm=False)
    _commit(conn, comm)


# Query


def _linked_rows(cursor, searches, row):
    """Yield (source, row) for every row linked to ``row``, rule by rule, staging before main.

    Each search is fetched whole before its rows are handed out, so the one cursor
    can serve the searches of the rows that the caller expands in between.
    """
    for positions, staging_search, main_search in searches:
        values = [row[p + 1] for p in positions]
        for source, search in ((1, staging_search), (0, main_search)):
            cursor.execute(search, values)
            for linked in cursor.fetchall():
                yield source, linked


def _check_newest_unique(conn, table, rowid, row, uniques, cols, total_select, eqivalent_set):
    cursor = conn.cursor()
    searches = [
        (
            positions,
            f"SELECT {total_select} FROM temp_{table} WHERE {_condition(cols, positions)}",
            f"SELECT {total_select} FROM {table} WHERE {_condition(cols, positions)}",
        )
        for positions in uniques.values()
        if positions
    ]
    # A stack of open expansions: the depth-first order of a recursive walk, without recursion.
    pending = [_linked_rows(cursor, searches, row)]
    while pending:
        for source, linked in pending[-1]:
            reference = (source, linked[0])
            if reference in eqivalent_set:
                continue
            eqivalent_set.add(reference)
            if reference > rowid:  # a newer row of the closure
                return False, None
            pending.append(_linked_rows(cursor, searches, linked))
            break
        else:
            pending.pop()
    return True, eqivalent_set


def find(conn, select, table, conditions):
    cursor = conn.cursor()
    cols = _table_columns(cursor, table)
    total_select = ",".join(["rowid", *map(str, cols)])
    uniques = _read_uniques(cursor, table)
    tekrar = {name: set() for name in uniques}
    if select == "*":
        cols_index = list(range(len(cols)))
    else:
        cols_index = [cols.index(col) for col in select.split(",")]

    docs = []
    for source, prefix in ((1, "temp_"), (0, "")):
        cursor.execute(f"SELECT {total_select} FROM {prefix}{table} {conditions}")
        for row in cursor.fetchall():
            keys = [(tekrar[name], tuple([row[c + 1] for c in positions])) for name, positions in uniques.items()]
            if any(key in seen for seen, key in keys):
                continue
            reference = (source, row[0])
            newest, _ = _check_newest_unique(
                conn=conn,
                table=table,
                rowid=reference,
                row=row,
                uniques=uniques,
                cols=cols,
                total_select=total_select,
                eqivalent_set={reference},
            )
            if newest:
                for seen, key in keys:
                    seen.add(key)
                docs.append([row[c + 1] for c in cols_index])
    return docs
