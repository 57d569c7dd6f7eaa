"""Types of the extension module ``norvane.norvane``.

Every function takes a connection from ``DB.connection()`` as ``conn``.
Functions that write end with ``comm``: the connection is committed at the
end of the call when ``comm == True`` (so ``True`` and ``1`` commit).
"""

import sqlite3 as sqlite3
from collections.abc import Iterable, Mapping, Sequence
from typing import Any, TypedDict, type_check_only

from _typeshed import StrOrBytesPath

from norvane import norvane_state as norvane_state

# Rows are handed over as sequences of rows; each row holds one value per
# column, in the table's column order.
_Row = Sequence[Any]
# A row on a main (0) or staging (1) table: (source, rowid).
_RowRef = tuple[int, int]

@type_check_only
class _IndexBase(TypedDict):
    name: str
    cols: str

@type_check_only
class IndexSpec(_IndexBase, total=False):
    """An index given to ``create_table``: ``{'name': 'index_0', 'cols': 'name,type'}``.

    ``cols`` is one text of column names joined by commas. ``create_table``
    sets ``'table'`` on the dict itself.
    """

    table: str

@type_check_only
class TableIndexSpec(_IndexBase):
    """An index given to ``insert_index``, with the table it goes on:
    ``{'table': 'homes', 'name': 'index_0', 'cols': 'name,type,address'}``."""

    table: str

@type_check_only
class UniqueSpec(TypedDict):
    """A uniqueness rule given to ``create_table``: ``{'name': 'unique_0', 'cols': [0, 1]}``.

    ``cols`` holds the 0-based positions of the rule's columns in the table's
    column list; among rows equal in all of them, the newest wins.
    """

    name: str
    cols: Sequence[int]

class DB:
    """A database file: registers ``name`` and prepares the catalog tables."""

    name: str
    address: StrOrBytesPath
    def __init__(self, name: str, address: StrOrBytesPath) -> None: ...
    def connection(self) -> sqlite3.Connection: ...

def insert_index(conn: sqlite3.Connection, index: TableIndexSpec, comm: bool = True) -> None: ...
def drop_index(conn: sqlite3.Connection, table: str, name: str, comm: bool = True) -> None: ...
def active_table_index(conn: sqlite3.Connection, table: str, comm: bool = True) -> None: ...
def drop_table_index(conn: sqlite3.Connection, table: str, comm: bool = True) -> None: ...
def insert_unique(
    conn: sqlite3.Connection, table: str, name: str, cols: str, cols_num: str, comm: bool = True
) -> None: ...
def drop_unique(conn: sqlite3.Connection, table: str, name: str, comm: bool = True) -> None: ...
def create_table(
    conn: sqlite3.Connection,
    name: str,
    cols: Sequence[str],
    index: Iterable[IndexSpec],
    unique: Iterable[UniqueSpec],
    comm: bool = True,
) -> None: ...
def insert_temp(conn: sqlite3.Connection, table: str, rows: Sequence[_Row], comm: bool = True) -> None: ...
def delete_row_main(conn: sqlite3.Connection, table: str, ids: Iterable[int], comm: bool = True) -> None: ...
def temp_to_main(conn: sqlite3.Connection, table: str, comm: bool = True) -> None: ...
def _insert_main(conn: sqlite3.Connection, table: str, rows: Sequence[_Row], comm: bool = True) -> None: ...
def drop_table(conn: sqlite3.Connection, table: str, comm: bool = True) -> None: ...
def find(conn: sqlite3.Connection, select: str, table: str, conditions: str) -> list[list[Any]]: ...
def _check_newest_unique(
    conn: sqlite3.Connection,
    table: str,
    rowid: _RowRef,
    row: _Row,
    uniques: Mapping[str, Sequence[int]],
    cols: Sequence[str],
    total_select: str,
    eqivalent_set: set[_RowRef],
) -> tuple[bool, set[_RowRef] | None]: ...
