// Staging for the Table API: checked rows into the staging table, many rows
// per INSERT statement on the host's own connection type.
#pragma once

#include "refs.hpp"
#include "storage.hpp"

namespace norvane {

// stage_rows(conn, table, rows, comm): `rows` a list of tuples, all as wide as
// the table, already checked. On an exact host connection they go in INSERTs
// of many rows each; otherwise through insert_temp. Either way the call's
// transaction is insert_temp's.
Owned stage_rows(PyObject* conn, PyObject* table, PyObject* rows, PyObject* comm);

// stage_values(conn, table, values, width, comm): `values` one
// flat list, row after row, `width` values a row, already checked; staged as
// stage_rows stages them.
Owned stage_values(PyObject* conn, PyObject* table, PyObject* values, Py_ssize_t width, PyObject* comm);

// stage_rows (`width` 0) or stage_values (`rows` flat, `width` to a row) with
// the options of one call, telling the way the rows went.
Owned stage_with(PyObject* conn, PyObject* table, PyObject* rows, Py_ssize_t width, PyObject* comm,
                 const StagingOptions& options, StagedBy& by);

}  // namespace norvane
