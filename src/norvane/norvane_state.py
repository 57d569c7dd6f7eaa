"""Process-wide state shared by every import of ``norvane.norvane``."""

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from norvane.norvane import DB

# Database handles by name; ``DB(name, address)`` registers itself here.
DB_dict: "dict[str, DB]" = {}
