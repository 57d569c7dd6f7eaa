"""Statement replay: the least that a call can cost through the sqlite3 module.

``RecordingConnection`` wraps a ``sqlite3.Connection`` and writes down every
statement that passes through the cursors it hands out, with a copy of its
parameters, and every commit. ``replay`` then runs the recorded sequence on a
fresh copy of the same database in a tight loop over one cursor, fetching the
results of queries and committing where the recorded call committed.
"""

EXECUTE, QUERY, COMMIT = "execute", "query", "commit"


def _copy_parameters(params):
    """An independent copy: a caller may reuse and refill its parameter container."""
    if params is None:
        return ()
    if isinstance(params, dict):
        return dict(params)
    if isinstance(params, list):
        return list(params)
    return tuple(params)


def _kind(sql):
    verb = sql.lstrip()[:6].upper()
    return QUERY if verb in ("SELECT", "PRAGMA") else EXECUTE


class RecordingCursor:
    """Forwards ``execute`` and ``fetchall`` to a real cursor and records each statement."""

    def __init__(self, recorder, cursor):
        self._recorder = recorder
        self._cursor = cursor

    def execute(self, sql, params=None):
        self._recorder.ops.append((_kind(sql), sql, _copy_parameters(params)))
        if params is None:
            self._cursor.execute(sql)
        else:
            self._cursor.execute(sql, params)
        return self

    def fetchall(self):
        return self._cursor.fetchall()

    def __getattr__(self, name):
        self._recorder.unrecorded.add(f"cursor.{name}")
        return getattr(self._cursor, name)


class RecordingConnection:
    """Hands out recording cursors and records commits; everything else is forwarded."""

    def __init__(self, conn):
        self._conn = conn
        self.ops = []
        self.unrecorded = set()  # attributes used that the recording does not capture

    def cursor(self, *args, **kwargs):
        return RecordingCursor(self, self._conn.cursor(*args, **kwargs))

    def commit(self):
        self.ops.append((COMMIT, None, None))
        self._conn.commit()

    @property
    def in_transaction(self):
        # Read, not replayed: the BEGIN and COMMIT it leads to are statements
        # of the recording.
        return self._conn.in_transaction

    def take(self):
        """The operations recorded since the last ``take``."""
        ops, self.ops = self.ops, []
        return ops

    def __getattr__(self, name):
        self.unrecorded.add(f"connection.{name}")
        return getattr(self._conn, name)


def replay(conn, ops):
    """Run recorded operations on ``conn`` with as little work around them as possible."""
    cursor = conn.cursor()
    execute, fetchall, commit = cursor.execute, cursor.fetchall, conn.commit
    for kind, sql, params in ops:
        if kind is COMMIT:
            commit()
        else:
            execute(sql, params)
            if kind is QUERY:
                fetchall()


def statement_count(ops):
    """How many statements the recorded operations execute (commits aside)."""
    return sum(1 for kind, _, _ in ops if kind is not COMMIT)
