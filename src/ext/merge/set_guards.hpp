// When a merge may run as a few set-based statements: the statement path
// reads every value into the host and binds it again, so the set-based one
// gives the same result only where that round trip changes nothing and no
// statement of the merge can observe the other way of doing it.
//
// The set-based merge requires (flags of the connection profile, profile.hpp):
//   1. known_engine      the host's connection type or the dqlite driver's:
//                        another wrapper could see each statement the
//                        statement path would have executed;
//   2. no_row_factory    values read into the host come back as stored;
//   3. str_text_factory  text read into the host comes back as the same str;
//   4. no_plain_adapter  a value bound again is bound as it was read;
//   5. callees_own       drop_table_index, delete_row_main, _insert_main and
//                        active_table_index are still the module's own: the
//                        statement path calls each replaced one;
//   6. numbers_exact     GROUP BY and = compare integers with reals as the
//                        host's == does;
//   7. bare_columns      both tables are ordinary main-schema tables listing
//                        exactly the catalog's bare column names: no declared
//                        type, collation or constraint changes what a value
//                        becomes or how it compares, and nothing in the temp
//                        schema shadows them;
//   8. no_triggers       no trigger sees the rows go one by one;
//   9. no_foreign_keys   no deletion cascades elsewhere.
// and, checked here on the names: the table's name is an exact str, a plain
// identifier and no keyword, and every rule position lies inside the columns
// and names a column SQLite reads as that column (a plain identifier, no
// keyword).
#pragma once

#include "profile.hpp"
#include "statement.hpp"

namespace norvane {

// The connection's part of the guards, read without a statement: 1 may run,
// 0 not, -1 on error. `profile` keeps what was read.
int merge_connection_allows_sets(PyObject* conn, Profile& profile);

// The rest, on the call's cursor: 1 yes, 0 no (also when a read of these
// fails with an SQLite error), -1 on another error.
int merge_tables_allow_sets(Cursor& cursor, Profile& profile, PyObject* table, PyObject* cols, PyObject* rules);

}  // namespace norvane
