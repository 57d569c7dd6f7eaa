"""Two streams of rows, each in the order of a read, merged into one in that
order, values ordered as SQLite orders them."""

from collections.abc import Callable, Iterator
from typing import Any

__all__ = ["merge_ordered", "sqlite_key"]


def sqlite_key(value: Any) -> tuple[int, Any]:
    """SQLite's order of stored values: NULL, numbers by value, text by code
    point (the byte order of its UTF-8), blobs."""
    if value is None:
        return (0, 0)
    if isinstance(value, (int, float)):
        return (1, value)
    return (2, value) if isinstance(value, str) else (3, value)


def merge_ordered(
    staged: Iterator[tuple[Any, ...]],
    main: Iterator[tuple[Any, ...]],
    key: Callable[[tuple[Any, ...]], tuple[Any, ...]],
    descending: list[bool],
) -> Iterator[tuple[Any, ...]]:
    """Two streams ordered alike merged into one. `key` gives a row's
    (class, value) pair per order term (for one term, the pair alone); ties
    go to the staged row when the last term ascends and to the main row when
    it descends."""
    if descending[-1]:
        first, second = main, staged
    else:
        first, second = staged, main
    same = all(descending) or not any(descending)
    reverse = descending[0]

    def before(kx: tuple[Any, ...], ky: tuple[Any, ...]) -> bool:
        """Whether the row keyed kx sorts strictly before the row keyed ky."""
        if same:
            return kx > ky if reverse else kx < ky
        for x, y, down in zip(kx, ky, descending):
            if x != y:
                return bool(x > y) if down else bool(x < y)
        return False

    a = next(first, None)
    b = next(second, None)
    ka = None if a is None else key(a)
    kb = None if b is None else key(b)
    while a is not None and b is not None:
        if before(kb, ka):  # type: ignore[arg-type]
            yield b
            b = next(second, None)
            kb = None if b is None else key(b)
        else:
            yield a
            a = next(first, None)
            ka = None if a is None else key(a)
    if a is not None:
        yield a
        yield from first
    if b is not None:
        yield b
        yield from second
