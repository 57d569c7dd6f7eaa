// When find's newest test may be answered from keys instead of the walk's
// statements: the checks on the connection, the names and the two tables
// under which keys compare exactly as those statements would. Each check
// answers 1 (holds), 0 (does not: the walk decides) or -1 (error set).
#pragma once

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

// An exact host connection whose rows come back as stored: no row factory,
// str as text factory, no adapter on a stored type.
int reads_values_as_stored(PyObject* conn);
// Whether this SQLite compares integers with reals exactly (2**53 + 1 is not
// 2.0**53); asked once per engine (the host's SQLite, the cluster's).
int compares_numbers_exactly(Cursor& cursor);

// ---------------------------------------------------------------- tables ---

// `temp_<table>` and `<table>` are ordinary rowid tables without collations,
// declared alike, with no converter registered for a declared type.
int tables_read_alike(Cursor& cursor, PyObject* table, bool remote);

// Whether find's plan on a remote connection folds its reads into a few
// statements (each statement being a round trip); a private switch, on by
// default, off for the differential tests.
bool fold_remote_reads() noexcept;
void set_fold_remote_reads(bool on) noexcept;

}  // namespace norvane
