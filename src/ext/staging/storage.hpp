// Rows in and out: staging, the main table and deletes by rowid.
#pragma once

#include "refs.hpp"

namespace norvane {

// How one staging call may stage, and the way it took. The published calls
// take the defaults; a test or a benchmark passes its own through a private
// entry. Read once per call.
struct StagingOptions {
    bool as_json = true;  // as JSON where the connection and the values allow (json_staging.hpp)
    bool grouped = true;  // many rows per INSERT on the host's own connection (grouped_staging.hpp)
};
enum class StagedBy { statements, json, grouped };

// Bodies of published callables; their parameters, in order, are the
// binder's table of signatures.
Owned insert_temp(PyObject* conn, PyObject* table, PyObject* rows, PyObject* comm);
Owned delete_row_main(PyObject* conn, PyObject* table, PyObject* ids, PyObject* comm);
Owned insert_main(PyObject* conn, PyObject* table, PyObject* rows, PyObject* comm);

// insert_temp with the options of one call, telling the way the rows went.
Owned insert_temp_with(PyObject* conn, PyObject* table, PyObject* rows, PyObject* comm, const StagingOptions& options,
                       StagedBy& by);

}  // namespace norvane
