"""The typical life of a norvane table, end to end, on a file in a temporary folder."""

import os
import tempfile
from collections.abc import Iterable

import norvane
from norvane import Index, Table, Unique


def show(title: str, rows: Iterable[object]) -> None:
    print(f"{title}:")
    for row in rows:
        print("   ", row)


def main() -> None:
    with tempfile.TemporaryDirectory() as folder:
        db = norvane.DB("quickstart", os.path.join(folder, "homes.db"))
        conn = db.connection()
        try:
            # One table, one index, and two uniqueness rules: a home is
            # identified by its name and type, and no two homes share an address.
            homes = Table(conn, "homes").create(
                ["name", "type", "address", "age"],
                indexes=[Index("by_age", ["age"])],
                unique=[Unique("home", ["name", "type"]), Unique("place", ["address"])],
            )

            # Rows are staged first: fast, no indexes. Tuples follow the column
            # order; dicts name their columns.
            homes.stage(
                [
                    ("rose", "flat", "1 Hill St", 12),
                    ("oak", "house", "7 Elm Rd", 40),
                    {"name": "ivy", "type": "flat", "address": "3 Bay Ave", "age": 25},
                ]
            )
            homes.merge()

            # Newer rows: one moves "ivy" to a new address, one takes over 7 Elm Rd.
            homes.stage(
                [
                    ("ivy", "flat", "9 Sea Ln", 26),
                    ("pine", "house", "7 Elm Rd", 3),
                ]
            )

            # Staged rows are visible at once and hide the rows they supersede.
            show(
                "before the merge, age > 10, youngest first",
                homes.rows("age > ?", [10], select=["name", "address", "age"], order_by="age"),
            )
            show("before the merge, everything", homes.dicts())
            print("staged:", homes.count_staged(), "main:", homes.count_main())

            # The merge keeps the newest row per rule and rebuilds the indexes once.
            homes.merge()
            show("after the merge, with rowids", homes.rows(select=["rowid", "name"], order_by="rowid"))
            print("staged:", homes.count_staged(), "main:", homes.count_main())
            show("rules", homes.rules())
            show("indexes", homes.indexes())

            homes.drop()
            print("exists after drop:", homes.exists())
        finally:
            conn.close()


if __name__ == "__main__":
    main()
