// Rows in and out: staging, the main table and deletes by rowid.
#pragma once

#include "refs.hpp"

namespace norvane {

// Bodies of published callables; their parameters, in order, are the
// binder's table of signatures.
Owned insert_temp(PyObject* conn, PyObject* table, PyObject* rows, PyObject* comm);
Owned delete_row_main(PyObject* conn, PyObject* table, PyObject* ids, PyObject* comm);
Owned insert_main(PyObject* conn, PyObject* table, PyObject* rows, PyObject* comm);

}  // namespace norvane
