"""The typical life of a norvane table, end to end, on a file in a temporary folder."""

import os
import tempfile
from collections.abc import Iterable

import norvane.norvane as nv


def show(title: str, rows: Iterable[object]) -> None:
    print(f"{title}:")
    for row in rows:
        print("   ", row)


def main() -> None:
    with tempfile.TemporaryDirectory() as folder:
        db = nv.DB("quickstart", os.path.join(folder, "homes.db"))
        conn = db.connection()
        try:
            # One table, two indexes, and two uniqueness rules: a home is
            # identified by its name and type, and no two homes share an address.
            nv.create_table(
                conn, "homes", ["name", "type", "address", "age"],
                [{"name": "index_0", "cols": "name,type,address"},
                 {"name": "index_1", "cols": "age"}],
                [{"name": "unique_0", "cols": [0, 1]},
                 {"name": "unique_1", "cols": [2]}],
            )

            # Rows are staged first: fast, no indexes, no checks.
            nv.insert_temp(conn, "homes", [
                ("rose", "flat", "1 Hill St", 12),
                ("oak", "house", "7 Elm Rd", 40),
                ("ivy", "flat", "3 Bay Ave", 25),
            ])
            nv.temp_to_main(conn, "homes")

            # Newer rows: one moves "ivy" to a new address, one takes over 7 Elm Rd.
            nv.insert_temp(conn, "homes", [
                ("ivy", "flat", "9 Sea Ln", 26),
                ("pine", "house", "7 Elm Rd", 3),
            ])

            # Staged rows are visible at once and hide the rows they supersede.
            show("find before the merge (age > 10)",
                 nv.find(conn, "name,address,age", "homes", "where age > 10 order by age"))
            show("find before the merge (everything)", nv.find(conn, "*", "homes", ""))

            # The merge keeps the newest row per rule and rebuilds the indexes once.
            nv.temp_to_main(conn, "homes")
            show("main table after the merge",
                 conn.execute("SELECT * FROM homes ORDER BY rowid").fetchall())
            show("indexes", conn.execute(
                "SELECT name FROM sqlite_master WHERE type = 'index' AND tbl_name = 'homes'"
                " ORDER BY name").fetchall())

            nv.drop_table(conn, "homes")
            left = conn.execute("SELECT name FROM sqlite_master WHERE type = 'table'").fetchall()
            show("tables after drop_table", left)
        finally:
            conn.close()


if __name__ == "__main__":
    main()
