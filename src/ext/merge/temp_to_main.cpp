// temp_to_main: the choice between the merge in sets and the merge one
// statement per row, inside the call's one transaction.
#include "temp_to_main.hpp"

#include "merge_report.hpp"
#include "refs.hpp"
#include "set_merge.hpp"
#include "statement_merge.hpp"
#include "transaction.hpp"

namespace norvane {

Owned temp_to_main(PyObject* conn, PyObject* table, PyObject* comm) {
    MergeOutcome outcome;
    return merge_with(conn, table, comm, MergeOptions{}, nullptr, outcome);
}

Owned merge_with(PyObject* conn, PyObject* table, PyObject* comm, const MergeOptions& options, MergeReport* progress,
                 MergeOutcome& outcome) {
    ReportClaim report(progress);
    CallTransaction transaction(conn, CallTransaction::Kind::immediate);
    // A few set-based statements where the guards show that nobody can tell
    // them from one statement per row; otherwise one statement per row.
    const int in_sets = merge_in_sets(conn, table, transaction, report, options, outcome);
    if (in_sets != 0) {
        return in_sets > 0 ? transaction.finish(comm) : Owned();
    }
    return merge_by_statements(conn, table, transaction, report, options.indexes) ? transaction.finish(comm) : Owned();
}

}  // namespace norvane
