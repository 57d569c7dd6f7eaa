"""SQLite tables with fast staging, newest-wins uniqueness rules and index rebuilds.

Start with ``Table``: a managed table bound to a connection, with rows as
tuples, lists or dicts, queries with bound parameters, and ``Index`` and
``Unique`` records for its indexes and rules. ``DB`` registers a database file
and hands out connections. The module functions underneath live in
``norvane.norvane``; the registry of database handles lives in
``norvane.norvane_state``.
"""

from norvane.norvane import DB
from norvane.table import Index, MergeReport, Params, Progress, Row, Table, Unique

__all__ = ["DB", "Index", "MergeReport", "Params", "Progress", "Row", "Table", "Unique"]
