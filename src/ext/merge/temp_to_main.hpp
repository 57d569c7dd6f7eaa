// temp_to_main, the body of the published callable, and the same merge with
// the options of one call.
#pragma once

#include "merge_report.hpp"
#include "refs.hpp"
#include "set_merge.hpp"

namespace norvane {

Owned temp_to_main(PyObject* conn, PyObject* table, PyObject* comm);

// temp_to_main with the options of one call (a private entry's), its counts
// and progress reported to `progress` (null: nobody asked), telling back how
// it ran.
Owned merge_with(PyObject* conn, PyObject* table, PyObject* comm, const MergeOptions& options, MergeReport* progress,
                 MergeOutcome& outcome);

}  // namespace norvane
