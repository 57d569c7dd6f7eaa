// The merge one statement per row: the path every table can take.
#pragma once

#include "merge_report.hpp"
#include "refs.hpp"
#include "transaction.hpp"

namespace norvane {

// Merges the staged rows of `table` into its main table inside `transaction`
// (begun here, finished by the caller), telling `report` what it did.
bool merge_by_statements(PyObject* conn, PyObject* table, CallTransaction& transaction, ReportClaim& report);

}  // namespace norvane
