// Tables, indexes and uniqueness rules: the catalog tables that record them,
// the published functions that change them, and the reads of both.
#pragma once

#include "refs.hpp"
#include "statement.hpp"

#include <vector>

namespace norvane {

// --------------------------------------------------- published functions --

// Bodies of published callables; their parameters, in order, are the
// binder's table of signatures.
Owned insert_index(PyObject* conn, PyObject* index, PyObject* comm);
Owned drop_index(PyObject* conn, PyObject* table, PyObject* name, PyObject* comm);
Owned active_table_index(PyObject* conn, PyObject* table, PyObject* comm);
Owned drop_table_index(PyObject* conn, PyObject* table, PyObject* comm);
Owned insert_unique(PyObject* conn, PyObject* table, PyObject* name, PyObject* cols, PyObject* cols_num,
                    PyObject* comm);
Owned drop_unique(PyObject* conn, PyObject* table, PyObject* name, PyObject* comm);
Owned create_table(PyObject* conn, PyObject* name, PyObject* cols, PyObject* index, PyObject* unique, PyObject* comm);
Owned drop_table(PyObject* conn, PyObject* table, PyObject* comm);

// ---------------------------------------------------------------- rules ----

// Creates index_table and unique_table where they do not exist yet.
bool create_catalog(Cursor& cursor);
// Reads the rules of `table` from unique_table, in catalog order; a name seen
// twice keeps its first place and takes its last positions.
bool read_rules(Cursor& cursor, PyObject* table, Owned& rules_dict);
// The column names of a table, in table order (empty for no table).
Owned table_columns(Cursor& cursor, PyObject* table);

// The search of one rule: "<name> = ? AND <name> = ? " over the given
// columns, for the WHERE of a statement.
Owned column_search(const std::vector<Owned>& column_names);

// ---------------------------------------------------------------- indexes --

// The SQLite name of a catalogued index: "<table>_<name>".
Owned physical_index_name(PyObject* table, PyObject* name);
// "<index> ON <table> (<columns>)": what follows "CREATE INDEX if not exists "
// when an index is built from the catalog, and what SQLite then stores after
// "CREATE INDEX " in sqlite_master.
Owned index_body(PyObject* index_name, PyObject* table, PyObject* columns);
// "DROP INDEX if exists <index>"
bool drop_physical_index(Cursor& cursor, PyObject* index_name);
// "DROP INDEX if exists <index>", the statement itself.
Owned drop_index_sql(PyObject* index_name);
// Statements that return no rows, in order: in one request on a dqlite
// connection (where each is a round trip), else one by one on the cursor.
bool run_all(Cursor& cursor, PyObject* conn, const std::vector<Owned>& statements);
// The catalog rows (table_name, index_name, columns) of a table, in catalog order.
Owned catalogued_indexes(Cursor& cursor, PyObject* table);
// catalogued_indexes' rows as five columns, 'catalog' first and NULL last
// (one parameter, the table), for a caller that reads them with UNION ALL
// together with sqlite_master's rows.
const char* tagged_catalogued_indexes_sql() noexcept;
inline constexpr const char* kCatalogRowTag = "catalog";
// Creates the indexes of catalogued_indexes' rows, in their order, as
// active_table_index does (in one request on a dqlite connection).
bool create_catalogued_indexes(Cursor& cursor, PyObject* conn, PyObject* rows);
// Every index row of sqlite_master: (type, name, tbl_name, rootpage, sql).
Owned schema_indexes(Cursor& cursor);
// Whether a sqlite_master row is an index of `table`: 1 or 0, -1 on error.
int index_is_on(PyObject* schema_row, PyObject* table);

}  // namespace norvane
