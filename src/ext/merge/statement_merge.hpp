// The merge one statement per row: the path every table can take.
#pragma once

#include "merge_indexes.hpp"
#include "merge_report.hpp"
#include "refs.hpp"
#include "transaction.hpp"

namespace norvane {

// Merges the staged rows of `table` into its main table inside `transaction`
// (begun here, finished by the caller), telling `report` what it did; the
// main table's indexes are treated as `indexes` says.
bool merge_by_statements(PyObject* conn, PyObject* table, CallTransaction& transaction, ReportClaim& report,
                         IndexPolicy indexes);

}  // namespace norvane
