"""Progress bars of the commands on stderr, shown only to a terminal and
never with --quiet."""

import sys
from typing import Any

import click

__all__ = ["Bar", "progress_shown"]


def progress_shown(quiet: bool) -> bool:
    return not quiet and sys.stderr.isatty()


class Bar:
    """A progress bar on stderr, made on first use; nothing when not shown."""

    def __init__(self, shown: bool, label: str, length: int | None) -> None:
        self.shown = shown and length is not None
        self.label = label
        self.length = length
        self.bar: Any = None

    def to(self, position: int) -> None:
        if not self.shown:
            return
        if self.bar is None:
            self.bar = click.progressbar(length=self.length or 0, label=self.label, file=sys.stderr)
            self.bar.__enter__()
        self.bar.update(position - self.bar.pos)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.__exit__(None, None, None)
            self.bar = None
