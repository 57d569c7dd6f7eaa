// Reads: find over staging and main together, and the newest test.
#pragma once

#include "newest_plan.hpp"
#include "refs.hpp"

namespace norvane {

// Bodies of published callables; their parameters, in order, are the
// binder's table of signatures.
Owned find(PyObject* conn, PyObject* select, PyObject* table, PyObject* conditions);
Owned check_newest_unique(PyObject* conn, PyObject* table, PyObject* rowid, PyObject* row, PyObject* uniques,
                          PyObject* cols, PyObject* total_select, PyObject* visited);

// find with `params` (null for none) bound to both candidate statements and
// the choices of `options`. A null `select` returns whole rows, rowid first;
// `staged`, when given, receives how many of the returned rows (they come
// first) are staged ones; `plans`, when given, the plans that answered its
// newest tests (a tuple of names, NewestGroups::plans_taken).
Owned run_find(PyObject* conn, PyObject* select, PyObject* table, PyObject* conditions, PyObject* params,
               const FindOptions& options = {}, Py_ssize_t* staged = nullptr, Owned* plans = nullptr);

}  // namespace norvane
