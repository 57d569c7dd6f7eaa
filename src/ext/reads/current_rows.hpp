// Which fetched rows of a managed table are current, that is, which rows the
// next merge would leave when no columns decide which row is newer: a staged
// row unless a later staged row holds an equal tuple under some rule, a main
// row unless some staged row does. A tuple holding a NULL equals nothing.
// One pass over the staging table (or lookups of a few keys) fills a key table
// per rule; candidate rows are then checked batch by batch as they are read.
#pragma once

#include "refs.hpp"

namespace norvane {

// Adds the type CurrentRows to the private module: false with an error set.
bool add_current_rows_type(PyObject* module);

}  // namespace norvane
