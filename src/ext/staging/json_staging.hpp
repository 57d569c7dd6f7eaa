// insert_temp in a few statements where every statement is a network round
// trip (the dqlite driver): the rows travel as JSON text, at most about a MiB
// per statement, and one INSERT ... SELECT over json_each stages them in order.
//
// JSON carries integers of 64 bits, finite doubles (written shortest, read back
// exactly), text and NULL exactly as binding them would store them. Anything
// else (blobs, larger integers, -0.0, text holding NUL, other types, rows of
// different widths) stays with one statement per row, which raises its own
// errors where it should.
#pragma once

#include "statement.hpp"
#include "transaction.hpp"

namespace norvane {

// Which way insert_temp stages on a dqlite connection: through JSON where the
// values allow it, or (for tests and benchmarks) always one statement per row.
enum class StagingPath { automatic, statements };
StagingPath staging_path() noexcept;
void set_staging_path(StagingPath path) noexcept;

// Stages `rows` into temp_<table> as JSON when the connection and the values
// allow it: 1 when done, 0 when not (nothing was executed), -1 on error.
int stage_as_json(PyObject* conn, Cursor& cursor, CallTransaction& transaction, PyObject* table_text,
                  PyObject* rows);

}  // namespace norvane
