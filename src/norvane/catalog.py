"""The catalog over any DB-API connection.

``norvane.norvane.DB`` prepares a local SQLite file. A connection of another
driver (a replicated SQLite cluster, for instance) is prepared with
``prepare_catalog`` before its first ``create_table``::

    import dqlitedbapi
    from norvane.catalog import prepare_catalog

    conn = dqlitedbapi.connect("127.0.0.1:9001", database="homes")
    prepare_catalog(conn)

It creates ``index_table`` and ``unique_table`` where they do not exist yet and
commits (``commit=False`` leaves them in the transaction that is open, for
the caller to commit or roll back); existing catalog rows stay as they are.
It sets no journal mode.
"""

from typing import Any, Protocol

from norvane import _native

__all__ = ["Connection", "prepare_catalog"]


class Connection(Protocol):
    """What norvane uses of a DB-API connection."""

    def cursor(self) -> Any: ...
    def commit(self) -> None: ...
    def rollback(self) -> None: ...


def prepare_catalog(conn: Connection, *, commit: bool = True) -> None:
    """Create the catalog tables over ``conn`` and commit, unless ``commit``
    is false."""
    if not isinstance(commit, bool):
        raise TypeError(f"commit must be True or False, not {type(commit).__name__}")
    if commit:
        _native.prepare_catalog(conn)
    else:
        _native.create_catalog(conn)
