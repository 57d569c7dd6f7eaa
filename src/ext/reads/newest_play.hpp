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

// play_newest(main, staged, picks, rank_picks) -> (current staged rowids,
// hidden main rowids), both sets: the private entry of that name. Rows are
// tuples, rowid first; staged rows in rowid order; picks[r] and rank_picks
// say where the values of rule r and of the newest_by columns stand.
Owned play_newest(PyObject* main_rows, PyObject* staged_rows, PyObject* picks, PyObject* rank_picks);

}  // namespace norvane
