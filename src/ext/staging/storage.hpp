// Rows in and out: staging, the main table, deletes and the merge.
#pragma once

#include "binder.hpp"
#include "refs.hpp"
#include "set_merge.hpp"

namespace norvane {

// Bodies of published callables; their parameters, in order, are the
// binder's table of signatures.
Owned insert_temp(Args);
Owned delete_row_main(Args);
Owned temp_to_main(Args);
Owned insert_main(Args);

// temp_to_main with the options of one call (a private entry's), telling
// back how it ran.
Owned merge_with(Args args, const MergeOptions& options, MergeOutcome& outcome);

}  // namespace norvane
