// When a merge may run as a few set-based statements: the statement path
// reads every value into the host and binds it again, so the set-based one
// gives the same result only where that round trip changes nothing and no
// statement of the merge can observe the other way of doing it.
#pragma once

#include "statement.hpp"

namespace norvane {

// The module globals of the merge's four callees still hold our own
// functions. 1 yes, 0 no (replaced or deleted), -1 on error.
int merge_callees_are_own();

// The tables, as SQLite holds them, are the plain pair create_table makes:
// `table` a plain identifier naming an ordinary table of the main schema
// (nothing of that name in the temp schema) whose definition lists exactly
// the plain column names `cols`, the staging table the same; no trigger on
// either, foreign keys off, numbers compared exactly; every rule position
// inside `cols` and every rule column a plain identifier that is no keyword.
// 1 yes, 0 no (also when a read of these fails), -1 on another error.
int tables_are_plain(Cursor& cursor, PyObject* table, PyObject* cols, PyObject* rules);

}  // namespace norvane
