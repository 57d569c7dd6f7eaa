// Which fetched rows of a managed table are current, that is, which rows the
// next merge would leave: a staged row unless a later staged row holds an
// equal tuple under some rule (None equal to None), a main row unless some
// staged row holds a tuple under some rule that SQL `=` finds equal to its own
// (NULL matches nothing). One pass over the staging table fills a key table
// per rule; candidate rows are then checked batch by batch as they are read.
#pragma once

#include "refs.hpp"

namespace norvane {

// Adds the type CurrentRows to the private module: false with an error set.
bool add_current_rows_type(PyObject* module);

}  // namespace norvane
