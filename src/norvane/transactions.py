"""The transactions of the Python layer: every BEGIN and ROLLBACK it sends.

``AllOrNothing`` makes one call's writes a unit, inside a caller's
transaction or in one of its own; ``ReadSnapshot`` holds a read's view of
the database steady between its statements.
"""

import sqlite3
from typing import Any

from norvane.connections import Connection, spill_off

__all__ = ["AllOrNothing", "ReadSnapshot"]

_SAVEPOINT = "norvane_write"


class AllOrNothing:
    """One call's writes as a unit, also inside a caller's transaction.

    The writes run inside a savepoint; when no transaction is open, the
    savepoint sits inside one this call opens with `begin` (with
    ``BEGIN IMMEDIATE``, which takes the write lock before the first read,
    the transaction alone is the unit). A call of one statement, which is
    a unit by itself, passes ``savepoint=False`` and saves the requests.
    On any exception (Ctrl-C included) everything since the start is
    undone, a transaction this call opened is rolled back, and the
    exception propagates unchanged. On success the savepoint is released
    and ``commit`` commits, as the module functions do; a transaction this
    call opened on a connection that commits by itself (``autocommit=True``)
    is committed whatever ``commit`` says.

    On a dqlite connection cache spill is turned off before the first
    write, riding in the request of the BEGIN where there is one.
    """

    def __init__(self, conn: Connection, commit: bool, begin: str = "BEGIN", *, savepoint: bool = True) -> None:
        self.conn = conn
        self.commit = commit
        self.begin = begin
        self.savepoint = savepoint
        self.opened = False
        self.saved = False

    def __enter__(self) -> None:
        if not self.conn.in_transaction:
            if not spill_off(self.conn, self.begin):
                self.conn.execute(self.begin)
            self.opened = True
            if self.begin != "BEGIN":
                return  # the rollback of our own transaction undoes it all: no savepoint needed
        else:
            spill_off(self.conn)
        if not self.savepoint:
            return
        try:
            self.conn.execute(f"SAVEPOINT {_SAVEPOINT}")
            self.saved = True
        except BaseException:
            self._end_own()
            raise

    def __exit__(self, kind: object, error: object, trace: object) -> None:
        if error is not None:
            try:
                if self.saved:
                    self.conn.execute(f"ROLLBACK TO {_SAVEPOINT}")
                    self.conn.execute(f"RELEASE {_SAVEPOINT}")
            except self.conn.Error:
                pass  # the engine already rolled the transaction back
            self._end_own()
            return
        try:
            if self.saved:
                self.conn.execute(f"RELEASE {_SAVEPOINT}")
            if self.commit:
                self.conn.commit()
            if self.opened and self.conn.in_transaction and (self.commit or self._commits_by_itself()):
                self.conn.execute("COMMIT")
        except BaseException:  # a commit that failed (a locked database): undo what we opened
            self._end_own()
            raise

    def _commits_by_itself(self) -> bool:
        """The host's connection with ``autocommit=True``, whose commit() does
        nothing; the dqlite driver's commit() ends an open transaction, so
        there ``commit=False`` leaves it open as the module functions do."""
        return isinstance(self.conn, sqlite3.Connection) and self.conn.autocommit is True

    def _end_own(self) -> None:
        """Rolls back the transaction this call opened; errors of that are
        dropped, so the original exception is the one that propagates."""
        if not self.opened:
            return
        try:
            self.conn.rollback()
            if self.conn.in_transaction:
                self.conn.execute("ROLLBACK")
        except self.conn.Error:
            pass


class ReadSnapshot:
    """A read transaction (``BEGIN DEFERRED``) for a read's statements when
    none is open, so that they all see one state of the database; a read
    inside a caller's transaction sees that one and leaves it alone."""

    def __init__(self, conn: Connection) -> None:
        self.conn = conn
        self.opened = False

    def open(self, cursor: Any) -> None:
        """Begins through `cursor` (the read's own) unless a transaction is open."""
        if not self.conn.in_transaction:
            cursor.execute("BEGIN DEFERRED")
            self.opened = True

    def end(self) -> None:
        """Rolls back the transaction `open` began, once (a read wrote
        nothing); errors of that are dropped, the server may have ended it."""
        if not self.opened:
            return
        self.opened = False
        if self.conn.in_transaction:
            try:
                self.conn.execute("ROLLBACK")
            except self.conn.Error:
                pass
