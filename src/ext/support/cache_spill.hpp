// SQLite's cache spill, turned off on every dqlite connection before the
// module's first write on it: the pinned server fails a transaction with
// "disk I/O error" once SQLite spills dirty pages into the WAL before the
// commit, which it does when they outgrow the page cache.
#pragma once

#include "refs.hpp"

namespace norvane {

// On a dqlite connection whose wire session still has cache spill on, turns
// it off through the driver's execute path (norvane.connections.spill_off),
// sending `begin` (a BEGIN statement, or null) in the same request. 1 when
// `begin` was sent, 0 when it was not (nothing was sent, or only the pragma),
// -1 on error. Elsewhere 0 at the cost of a type test.
int spill_off(PyObject* conn, const char* begin);

}  // namespace norvane
