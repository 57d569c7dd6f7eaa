// temp_to_main: the choice between the merge in sets and the merge one
// statement per row, inside the call's one transaction.
#include "temp_to_main.hpp"

#include "merge_report.hpp"
#include "refs.hpp"
#include "set_merge.hpp"
#include "statement_merge.hpp"
#include "transaction.hpp"

namespace norvane {

Owned temp_to_main(Args args) {
    MergeOutcome outcome;
    return merge_with(args, MergeOptions{}, outcome);
}

Owned merge_with(Args args, const MergeOptions& options, MergeOutcome& outcome) {
    PyObject* conn = args[0];
    PyObject* table = args[1];
    PyObject* comm = args[2];
    ReportClaim report;
    CallTransaction transaction(conn, CallTransaction::Kind::immediate);
    // A few set-based statements where the guards show that nobody can tell
    // them from one statement per row; otherwise one statement per row.
    const int in_sets = merge_in_sets(conn, table, transaction, report, options, outcome);
    if (in_sets != 0) {
        return in_sets > 0 ? transaction.finish(comm) : Owned();
    }
    return merge_by_statements(conn, table, transaction, report) ? transaction.finish(comm) : Owned();
}

}  // namespace norvane
