// Rows in and out: staging, the main table and deletes by rowid.
#pragma once

#include "binder.hpp"
#include "refs.hpp"

namespace norvane {

// Bodies of published callables; their parameters, in order, are the
// binder's table of signatures.
Owned insert_temp(Args);
Owned delete_row_main(Args);
Owned insert_main(Args);

}  // namespace norvane
