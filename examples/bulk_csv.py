"""Bulk load of a CSV file: stage it in batches, merge it, rebuild the indexes once.

Everything happens in a temporary folder: the CSV file is generated first, so
the script runs anywhere without input.
"""

import csv
import os
import random
import sqlite3
import tempfile
import time
from collections import Counter
from collections.abc import Iterator

import norvane
import norvane.norvane as nv
from norvane import Index, Table, Unique

TABLE = "readings"
COLUMNS = ["station", "day", "celsius"]
STATIONS = [f"st{n:03d}" for n in range(50)]
BATCH = 5_000

Reading = tuple[str, int, float]


def write_csv(path: str, count: int, seed: int) -> list[Reading]:
    """Random readings with a header line; returns the lines written. A station
    reports once a day, but the feed repeats itself: a later line for the same
    station and day is a correction that replaces the earlier one."""
    rng = random.Random(seed)
    lines = [(rng.choice(STATIONS), rng.randrange(365), round(rng.uniform(-20, 40), 1)) for _ in range(count)]
    with open(path, "w", newline="") as out:
        writer = csv.writer(out)
        writer.writerow(COLUMNS)
        writer.writerows(lines)
    return lines


def batches(path: str, size: int) -> Iterator[list[Reading]]:
    """The CSV lines as typed rows, `size` rows at a time."""
    with open(path, newline="") as src:
        reader = csv.reader(src)
        next(reader)  # header
        batch: list[Reading] = []
        for station, day, celsius in reader:
            batch.append((station, int(day), float(celsius)))
            if len(batch) == size:
                yield batch
                batch = []
        if batch:
            yield batch


def indexes(conn: sqlite3.Connection, table: str) -> list[str]:
    rows = conn.execute(
        "SELECT name FROM sqlite_master WHERE type = 'index' AND tbl_name = ? ORDER BY name",
        (table,),
    ).fetchall()
    return [name for (name,) in rows]


def main() -> None:
    with tempfile.TemporaryDirectory() as folder:
        csv_path = os.path.join(folder, "readings.csv")
        written = write_csv(csv_path, 40_000, seed=7)

        db = norvane.DB("bulk_csv", os.path.join(folder, "weather.db"))
        conn = db.connection()
        try:
            # One reading per station and day: the rule keeps the newest. Its
            # backing index is catalogued with the others.
            readings = Table(conn, TABLE).create(
                COLUMNS,
                indexes=[Index("by_day", ["day"])],
                unique=[Unique("station_day", ["station", "day"])],
            )
            print("indexes after create:", indexes(conn, TABLE))

            # 1. Stage the file in batches. Staging tables have no indexes and
            #    no checks beyond the row shapes; each batch is one commit.
            started = time.perf_counter()
            for number, batch in enumerate(batches(csv_path, BATCH), start=1):
                readings.stage(batch)
            print(f"staged {readings.count_staged()} CSV lines in {number} batches")

            # 2. Merge. It keeps the newest line per station and day, drops the
            #    main table's indexes for its writes and rebuilds them once.
            readings.merge()
            elapsed = time.perf_counter() - started
            lines = Counter((station, day) for station, day, _ in written)
            print(
                f"main rows after the merge: {readings.count_main()} "
                f"(the file has {len(lines)} distinct station-days), {elapsed:.2f} s in all"
            )
            print("staged rows left:", readings.count_staged())

            # The station and day reported most often: the last CSV line wins.
            (station, day), times = lines.most_common(1)[0]
            last = [c for s, d, c in written if (s, d) == (station, day)][-1]
            held = readings.rows("station = ? AND day = ?", [station, day], select="celsius")
            print(f"{station} day {day}: {times} lines in the CSV, the last says {last}; the table holds {held}")

            # A second file of corrections: only the newest reading per station
            # and day survives, whether it was staged or already merged.
            write_csv(csv_path, 5_000, seed=8)
            for batch in batches(csv_path, BATCH):
                readings.stage(batch)
            readings.merge()
            print("main rows after merging 5000 corrections:", readings.count_main())

            # 3. A load that needs no rule checks, for example a new station
            #    whose rows cannot clash with anything, may go straight into the
            #    main table through the module functions underneath: bracket it
            #    with the index drop and rebuild so SQLite builds each index
            #    once. The rules are not applied to rows written this way. Only
            #    the last call commits.
            new_rows = [("st999", day, 12.5) for day in range(365)]
            nv.drop_table_index(conn, TABLE, comm=False)
            print("indexes during the manual load:", indexes(conn, TABLE))
            nv._insert_main(conn, TABLE, new_rows, comm=False)
            nv.active_table_index(conn, TABLE)
            print("indexes after active_table_index:", indexes(conn, TABLE))
            print("main rows after the manual load:", readings.count_main())

            hot = readings.rows("celsius >= ?", [39.9], order_by=["station", "day"], limit=3)
            print("three of the hottest readings:", hot)
        finally:
            conn.close()


if __name__ == "__main__":
    main()
