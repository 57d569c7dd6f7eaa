// When find's newest test may be answered from keys instead of the walk's
// statements: the checks on the connection, the names and the two tables
// under which keys compare exactly as those statements would. Each check
// answers 1 (holds), 0 (does not: the walk decides) or -1 (error set).
//
// find's newest groups (and the Table reads' keys compared in the host,
// currentness.py) require (flags of the connection profile, profile.hpp):
//   1. known_engine      the host's connection type or the dqlite driver's,
//                        whose rows and values we know;
//   2. no_row_factory    a fetched row is the tuple of stored values;
//   3. str_text_factory  fetched text is the stored str, which == compares
//                        as SQL's = does under BINARY;
//   4. no_plain_adapter  a fetched key bound again by the walk is bound as
//                        it was stored;
//   5. numbers_exact     the engine compares integers with reals as the
//                        host's == does (2**53 + 1 is not 2.0**53);
//   6. plain_tables      both names resolve, temp schema first, to ordinary
//                        rowid tables (no view, no virtual or WITHOUT ROWID table);
//   7. no_collation      NOCASE or RTRIM would make SQL = differ from ==;
//   8. declared_alike    staging and main columns hold values alike;
//   9. types_as_stored   no converter (host) or driver decoding (dqlite, which
//                        decodes some declared types by itself) changes a value
//                        on its way out.
// The names are checked by the plan: rule positions inside the columns, rule
// columns plain identifiers and no keyword, no column named like the rowid.
#pragma once

#include "profile.hpp"
#include "refs.hpp"
#include "statement.hpp"

namespace norvane {

// ----------------------------------------------------------------- names ---

// [A-Za-z_][A-Za-z0-9_]*: a name that needs no quoting in a statement.
bool is_plain_identifier(const char* s);
// Words SQLite reads as something other than a column name: its keywords,
// TRUE, FALSE and the rowid's names, in any case.
bool is_keyword(const char* s);
// rowid, oid or _rowid_ in any case: a column so named hides the rowid.
bool is_rowid_name(const char* s);
// Whether every candidate row of these conditions is a stored row as it is:
// a plain WHERE, ORDER BY or LIMIT (or nothing) over the table alone.
bool selects_stored_rows(const char* conditions);

// ------------------------------------------------------------ connection ---

// Flags 1-4 above.
int reads_values_as_stored(PyObject* conn);
// Flag 5, for the engine of this cursor (asked once per engine).
int compares_numbers_exactly(Cursor& cursor);

// ---------------------------------------------------------------- tables ---

// Flags 5-9 above, in one statement.
int tables_read_alike(Cursor& cursor, PyObject* table, bool remote);
// The same, reading `extra` in the same statement (see ExtraRead).
int tables_read_alike(Cursor& cursor, PyObject* table, bool remote, ExtraRead& extra);

}  // namespace norvane
