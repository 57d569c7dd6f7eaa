"""The records a table is made from and describes itself by, ``Index`` and
``Unique``, and the checks a new table's columns, ``newest_by`` columns and
records pass before anything is written."""

from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING

from norvane.checks import ROWID_NAMES, ColumnLookup, check_name, name_list, spec_list

if TYPE_CHECKING:
    from norvane.norvane import IndexSpec, UniqueSpec

__all__ = ["Index", "Unique", "check_columns", "check_newest_by", "check_specs", "column_names"]


@dataclass(frozen=True, init=False)
class Index:
    """An index on a table's main table: ``Index("by_age", ["age"])``."""

    name: str
    columns: tuple[str, ...]

    def __init__(self, name: str, columns: str | Iterable[str]) -> None:
        if not isinstance(name, str):
            raise TypeError(f"index name must be a str, not {type(name).__name__}")
        object.__setattr__(self, "name", name)
        object.__setattr__(self, "columns", name_list(columns, f"columns of index {name!r}"))


@dataclass(frozen=True, init=False)
class Unique:
    """A uniqueness rule: among rows equal in all of ``columns``, the newest
    wins. Columns are named or given by position: ``Unique("home", ["name",
    "type"])`` or ``Unique("home", [0, 1])``."""

    name: str
    columns: tuple[str | int, ...]

    def __init__(self, name: str, columns: str | int | Iterable[str | int]) -> None:
        if not isinstance(name, str):
            raise TypeError(f"rule name must be a str, not {type(name).__name__}")
        what = f"columns of rule {name!r}"
        if isinstance(columns, str) or (isinstance(columns, int) and not isinstance(columns, bool)):
            items: tuple[str | int, ...] = (columns,)
        elif isinstance(columns, (bytes, Mapping)) or not isinstance(columns, Iterable):
            raise TypeError(f"{what} must be names or positions, not {type(columns).__name__}")
        else:
            items = tuple(columns)
        for item in items:
            if isinstance(item, bool) or not isinstance(item, (str, int)):
                raise TypeError(f"{what} must be column names or positions, not {type(item).__name__}")
        object.__setattr__(self, "name", name)
        object.__setattr__(self, "columns", items)


def check_columns(columns: Sequence[str]) -> tuple[str, ...]:
    """A new table's column names, each a plain name, once, none hiding the rowid."""
    if isinstance(columns, (str, bytes)) or not isinstance(columns, Sequence):
        raise TypeError(f"columns must be a list of names, not {type(columns).__name__}")
    if not columns:
        raise ValueError("a table needs at least one column")
    seen: set[str] = set()
    for column in columns:
        check_name(column, "column name")
        folded = column.lower()
        if folded in ROWID_NAMES:
            raise ValueError(f"column name {column!r} would hide the rowid")
        if folded in seen:
            raise ValueError(f"column {column!r} is given twice")
        seen.add(folded)
    return tuple(columns)


def check_newest_by(table: str, columns: tuple[str, ...], newest_by: str | Sequence[str]) -> tuple[str, ...]:
    """The newest_by columns as the table spells them, each once."""
    given = name_list(newest_by, "newest_by")
    lookup = ColumnLookup(table, columns)
    found = tuple(lookup.column(name, "newest_by") for name in given)
    if len({name.lower() for name in found}) != len(found):
        raise ValueError("newest_by names a column twice")
    return found


def check_specs(
    table: str, columns: tuple[str, ...], indexes: Iterable[Index], unique: Iterable[Unique]
) -> tuple[list["IndexSpec"], list["UniqueSpec"]]:
    """The index and rule dicts create_table takes, every name checked."""
    lookup = ColumnLookup(table, columns)
    taken: set[str] = set()

    def claim(name: str, what: str) -> None:
        check_name(name, f"{what} name")
        if name.lower() in taken:
            raise ValueError(f"{what} name {name!r} is taken (indexes and rules share names)")
        taken.add(name.lower())

    index_specs: list[IndexSpec] = []
    for index in spec_list(indexes, Index, "indexes"):
        claim(index.name, "index")
        if not index.columns:
            raise ValueError(f"index {index.name!r} has no columns")
        names = [lookup.column(c, f"index {index.name!r}") for c in index.columns]
        index_specs.append({"name": index.name, "cols": ",".join(names)})
    rule_specs: list[UniqueSpec] = []
    for rule in spec_list(unique, Unique, "unique"):
        claim(rule.name, "rule")
        if not rule.columns:
            raise ValueError(f"rule {rule.name!r} has no columns")
        positions = [lookup.position(c, f"rule {rule.name!r}") for c in rule.columns]
        if len(set(positions)) != len(positions):
            raise ValueError(f"rule {rule.name!r} names a column twice")
        rule_specs.append({"name": rule.name, "cols": positions})
    return index_specs, rule_specs


def column_names(positions: str, columns: tuple[str, ...]) -> list[str | int]:
    """A rule's catalogued positions as column names where they name one."""
    names: list[str | int] = []
    for piece in positions.split(","):
        number = int(piece)
        names.append(columns[number] if 0 <= number < len(columns) else number)
    return names
