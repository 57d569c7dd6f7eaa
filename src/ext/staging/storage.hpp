// Rows in and out: staging, the main table, deletes and the merge.
#pragma once

#include "binder.hpp"
#include "refs.hpp"

namespace norvane {

// Bodies of published callables; their parameters, in order, are the
// binder's table of signatures.
Owned insert_temp(Args);
Owned delete_row_main(Args);
Owned temp_to_main(Args);
Owned insert_main(Args);

}  // namespace norvane
