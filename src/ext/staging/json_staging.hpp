// insert_temp in a few statements where every statement is a network round
// trip (the dqlite driver): the rows travel as JSON text, at most about a MiB
// per statement, and one INSERT ... SELECT over json_each stages them in order.
//
// JSON carries integers of 64 bits, finite doubles (written shortest, read back
// exactly), text and NULL exactly as binding them would store them. Anything
// else (blobs, larger integers, -0.0, text holding NUL, other types, rows of
// different widths) stays with one statement per row, which raises its own
// errors where it should.
//
// Staging as JSON requires (flags of the connection profile, profile.hpp):
//   1. cluster_engine    exactly the dqlite driver's connection: elsewhere a
//                        statement is no round trip, so there is nothing to win;
//   2. no_row_factory    the connection is as the driver makes it (a factory
//                        set by the caller says the caller changed it);
//   3. str_text_factory  the same for text;
//   4. no_plain_adapter  the statement path would bind an adapted value where
//                        the JSON carries the value itself (a bool adapted to
//                        'yes' would be stored as 1).
// An exception raised by the caller's rows propagates at once: the rows are
// read only once.
#pragma once

#include "statement.hpp"
#include "transaction.hpp"

namespace norvane {

// Stages `rows` into temp_<table> as JSON when the connection and the values
// allow it: 1 when done, 0 when not (nothing was executed), -1 on error.
int stage_as_json(PyObject* conn, Cursor& cursor, CallTransaction& transaction, PyObject* table_text, PyObject* rows);

}  // namespace norvane
