// temp_to_main in a few set-based statements: the main rows the staged rows
// supersede found in one SELECT through the rule indexes, deleted by rowid in
// one statement, and the surviving staged rows (the newest of each rule key)
// moved with one INSERT ... SELECT, newest first, so every row gets the rowid
// the statement path would give it.
#pragma once

#include "merge_indexes.hpp"
#include "merge_report.hpp"
#include "statement.hpp"
#include "transaction.hpp"

namespace norvane {

// Which way temp_to_main applies its result: in sets wherever the guards
// allow, or (for tests and benchmarks) always one statement per row.
enum class MergePath { automatic, statements };
// What one merge is told and tells back. The public call takes the defaults;
// a test passes its own through a private entry. Read once per call.
struct MergeOptions {
    MergePath path = MergePath::automatic;
    IndexPolicy indexes = IndexPolicy::automatic;
    // Fail with RuntimeError before this step of the set-based merge (1-based:
    // search, drop indexes, delete, insert, purge, rebuild); 0 never.
    long fail_before = 0;
};
struct MergeOutcome {
    bool in_sets = false;  // the merge got past its guards and ran in sets
};

// Runs temp_to_main in sets when every guard holds: 1 when done, 0 when a
// guard failed and nothing was written (the statement path takes over), -1
// on error. Begins `transaction` before its first read. Progress goes to
// `report` per statement step, in staged rows (each step a sixth of them),
// and the counts at the end.
int merge_in_sets(PyObject* conn, PyObject* table, CallTransaction& transaction, ReportClaim& report,
                  const MergeOptions& options, MergeOutcome& outcome);

// "DELETE From temp_<table>": the staging purge that ends either path.
bool purge_staging(Cursor& cursor, PyObject* table_text);

}  // namespace norvane
