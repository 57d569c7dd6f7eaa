// The sequence of arrivals on a table with newest_by, over fetched rows whose
// values are the stored ones: main rows first (never compared with each
// other), then each staged row in rowid order. A staged row meets every
// current row holding an equal tuple under some rule (a tuple holding a NULL
// equals nothing; keys as encode_value writes them, so 1 = 1.0 and '1' <> 1);
// when one of them ranks above it on the newest_by values (ORDER BY order,
// NULL lowest; equal values go to the arriving row), it is dropped,
// otherwise it removes them all and becomes current.
#pragma once

#include "refs.hpp"

namespace norvane {

// Adds play_newest to the private module: false with an error set.
bool add_newest_play(PyObject* module);

}  // namespace norvane
