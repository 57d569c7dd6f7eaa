// Limits of the pinned dqlite driver that the module must respect itself.
//
// With 256 or more bound parameters in one statement that driver stores NULL
// or garbage without an error; up to 255 it stores every value. So on such a
// connection no statement binds more than 255 parameters, and a call that
// would need more raises the driver's NotSupportedError before its first
// statement.
#pragma once

#include "refs.hpp"

namespace norvane {

// Whether `conn` is exactly a connection of the dqlite driver (its module is
// then loaded). 1 yes, 0 no, -1 on error.
int is_dqlite_connection(PyObject* conn);

// On a dqlite connection, a statement of `table` that binds `count`
// parameters raises NotSupportedError naming both when the driver cannot
// store them; elsewhere, and within the limit, true.
bool within_parameter_limit(PyObject* conn, PyObject* table, Py_ssize_t count);

// The same for a batch of rows bound one per statement, as wide as the first.
bool rows_fit_driver(PyObject* conn, PyObject* table, PyObject* rows);

// The same for a sequence of parameters bound to a statement of `table`
// (null for none; a mapping binds only the names the statement holds).
bool params_fit_driver(PyObject* conn, PyObject* table, PyObject* params);

}  // namespace norvane
