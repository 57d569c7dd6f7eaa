// Requests on a dqlite connection that go through the driver's execute path
// instead of its cursor: that path takes several statements in one request
// (one round trip to the leader), and it takes write-form pragmas, which the
// cursor sends as queries that the server refuses.
#pragma once

#include "refs.hpp"

#include <vector>

namespace norvane {

// SQLite's cache spill, turned off on every dqlite connection before the
// module's first write on it: the pinned server fails a transaction with
// "disk I/O error" once SQLite spills dirty pages into the WAL before the
// commit, which it does when they outgrow the page cache.
//
// On a dqlite connection whose wire session still has cache spill on, turns
// it off (norvane.connections.spill_off), sending `begin` (a BEGIN statement,
// or null) in the same request. 1 when `begin` was sent, 0 when it was not
// (nothing was sent, or only the pragma), -1 on error. Elsewhere 0 at the
// cost of a type test.
int spill_off(PyObject* conn, const char* begin);

// Statements that return no rows, sent in one request on a dqlite connection
// (norvane.connections.execute_together): 1 when they ran, 0 when `conn` is
// no dqlite connection or a statement holds a ';' (the caller runs them one
// by one on its cursor), -1 on error.
int run_together(PyObject* conn, const std::vector<Owned>& statements);

}  // namespace norvane
