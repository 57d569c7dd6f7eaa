"""Queries with find: select forms, SQL conditions, and staged rows that hide
the main rows they supersede. Runs on a file in a temporary folder."""

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
        db = nv.DB("query", os.path.join(folder, "people.db"))
        conn = db.connection()
        try:
            # A person is identified by id (column 0): the newest row per id wins.
            nv.create_table(
                conn, "persons", ["id", "name", "city", "age"],
                [{"name": "by_city", "cols": "city"}],
                [{"name": "by_id", "cols": [0]}],
            )
            nv.insert_temp(conn, "persons", [
                (1, "Sara", "Tehran", 30),
                (2, "Omid", "Tabriz", 25),
                (3, "Lena", "Tehran", 40),
                (4, "Arash", "Shiraz", 52),
                (5, "Mina", "Tehran", 19),
            ])
            nv.temp_to_main(conn, "persons")

            # Newer rows, staged but not merged: Sara has had a birthday, Lena
            # has moved to Isfahan, and Kian is new.
            nv.insert_temp(conn, "persons", [
                (1, "Sara", "Tehran", 31),
                (3, "Lena", "Isfahan", 41),
                (6, "Kian", "Tehran", 27),
            ])

            # "*" gives every column in table order; staged rows come first,
            # and the main rows of Sara and Lena are hidden by their newer rows.
            show("everyone", nv.find(conn, "*", "persons", "order by id"))

            # A column list picks and orders the output columns.
            show("name,age", nv.find(conn, "name,age", "persons", "order by id"))

            # conditions is SQL text placed after FROM: WHERE, ORDER BY, LIMIT ...
            # It is spliced as given, so quote values yourself and never build
            # it from untrusted input.
            show("over 20, oldest first (ordered within staged, then main rows)",
                 nv.find(conn, "name,age", "persons", "where age > 20 order by age desc"))

            # Lena's staged row is not selected (she lives in Isfahan now), yet
            # it still hides her older main row in Tehran.
            show("in Tehran", nv.find(conn, "id,name", "persons",
                                      "where city = 'Tehran' order by id"))

            # The conditions run once on the staged rows and once on the main
            # rows, so LIMIT 1 can give one row from each.
            show("youngest, limit 1", nv.find(conn, "name,age", "persons",
                                              "order by age limit 1"))

            # After the merge the answers stay the same; all rows are main rows.
            nv.temp_to_main(conn, "persons")
            show("everyone after the merge", nv.find(conn, "*", "persons", "order by id"))

            try:
                nv.find(conn, "name,email", "persons", "")
            except ValueError as error:
                print("a column that the table lacks:", type(error).__name__, error)
        finally:
            conn.close()


if __name__ == "__main__":
    main()
