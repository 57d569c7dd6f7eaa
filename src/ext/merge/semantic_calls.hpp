// Native pieces of the Table's own merge and key deletion, which run in
// Python: long statements that answer Ctrl-C, and the main table's indexes
// kept in place or dropped and rebuilt around the writes as every merge
// treats them.
#pragma once

#include "refs.hpp"

namespace norvane {

// interruptible(conn, fn) -> fn(): on a host connection, Ctrl-C stops a
// long statement of fn and its KeyboardInterrupt propagates (not the
// connection's "interrupted").
Owned interruptible_call(PyObject* conn, PyObject* fn);

// with_index_plan(conn, table, at_least, at_most, count, schema_rows,
// largest_rowid, prepare, write, indexes) -> write(): plans which indexes of the main
// table stay for a merge changing between at_least and at_most rows (count()
// gives the exact number when the bounds straddle the break-even; None when
// unknown), calls prepare(keeps_any), drops the others (all of them through
// drop_table_index when none stays), calls write(), and rebuilds through
// active_table_index unless every catalogued index stayed. schema_rows and
// largest_rowid are what MergeIndexes::schema_rows_sql() and max(rowid)
// gave, or None to have them read. `indexes` is the policy by name: "auto"
// (by cost, as temp_to_main), "keep" or "rebuild".
Owned with_index_plan(PyObject* conn, PyObject* table, Py_ssize_t at_least, Py_ssize_t at_most, PyObject* count,
                      PyObject* schema_rows, PyObject* largest_rowid, PyObject* prepare, PyObject* write,
                      PyObject* indexes);

}  // namespace norvane
