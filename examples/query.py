"""Queries: bound parameters, chosen columns, ordering and limits over the
current rows, and staged rows that hide the main rows they supersede. Runs on a
file in a temporary folder."""

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
        db = norvane.DB("query", os.path.join(folder, "people.db"))
        conn = db.connection()
        try:
            # A person is identified by id: the newest row per id wins.
            persons = Table(conn, "persons").create(
                ["id", "name", "city", "age"],
                indexes=[Index("by_city", ["city"])],
                unique=[Unique("by_id", ["id"])],
            )
            persons.stage(
                [
                    (1, "Sara", "Tehran", 30),
                    (2, "Omid", "Tabriz", 25),
                    (3, "Lena", "Tehran", 40),
                    (4, "Arash", "Shiraz", 52),
                    (5, "Mina", "Tehran", 19),
                ]
            )
            persons.merge()

            # Newer rows, staged but not merged: Sara has had a birthday, Lena
            # has moved to Isfahan, and Kian is new.
            persons.stage(
                [
                    (1, "Sara", "Tehran", 31),
                    (3, "Lena", "Isfahan", 41),
                    (6, "Kian", "Tehran", 27),
                ]
            )

            # Every current row; the main rows of Sara and Lena are hidden by
            # their newer staged rows.
            show("everyone", persons.rows(order_by="id"))

            # Values are bound, never pasted into the SQL: ? takes a sequence,
            # :name a mapping.
            show("over 20, oldest first", persons.rows("age > ?", [20], select=["name", "age"], order_by="age DESC"))
            # Lena's staged row does not match (she lives in Isfahan now), yet it
            # still hides her older main row in Tehran.
            show("in Tehran", persons.dicts("city = :city", {"city": "Tehran"}, select=["id", "name"], order_by="id"))

            # limit and offset count current rows, after the ordering.
            show("youngest", persons.rows(select=["name", "age"], order_by="age", limit=1))
            show(
                "next two by city, then name",
                persons.rows(select=["city", "name"], order_by=["city", "name"], limit=2, offset=1),
            )

            # Main rows have rowids (staged rows get theirs when merged); delete
            # takes them.
            arash = persons.rows("name = ?", ["Arash"], select=["rowid"])
            persons.delete(rowid for (rowid,) in arash)
            persons.merge()
            show("after deleting Arash and merging", persons.rows(order_by="id"))

            try:
                persons.rows(select=["name", "email"])
            except ValueError as error:
                print("a column that the table lacks:", type(error).__name__, error)
        finally:
            conn.close()


if __name__ == "__main__":
    main()
