// temp_to_main, the body of the published callable, and the same merge with
// the options of one call.
#pragma once

#include "binder.hpp"
#include "refs.hpp"
#include "set_merge.hpp"

namespace norvane {

Owned temp_to_main(Args);

// temp_to_main with the options of one call (a private entry's), telling
// back how it ran.
Owned merge_with(Args args, const MergeOptions& options, MergeOutcome& outcome);

}  // namespace norvane
