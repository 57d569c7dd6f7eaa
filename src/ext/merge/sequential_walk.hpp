// The sequential rule of a Table with newest_by, walked over integers: rule
// groups, ranks and the pairs of main and staged rows that SQL found equal.
#pragma once

#include "refs.hpp"

namespace norvane {

// sequential_walk(rows, rule_count) -> (lost, hidden, current, stale,
// superseded, others): reads the rows (tag, a, b, c, ...) of a Table's
// newest_by statement one at a time from any iterable: (0, rule, staged
// rowid, group), (1, rule, main rowid, staged rowid), (2, origin, rowid,
// rank). Each staged row in rowid order is dropped (stale) when a current
// row it meets ranks above it, otherwise it removes what it meets and
// becomes current. Returns the staged rowids that are not current, the main
// rowids removed, the staged rowids that are current, the two counts, and
// every row of another tag (or whose tag is not an int) in a list.
Owned sequential_walk(PyObject* rows, long long rule_count);

}  // namespace norvane
