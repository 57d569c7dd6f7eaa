// Which indexes of the main table a merge keeps in place.
#pragma once

#include "refs.hpp"
#include "statement.hpp"

#include <functional>
#include <utility>
#include <vector>

namespace norvane {

// How a merge treats the main table's indexes: chosen by cost, or forced
// either way (an option of one call, for tests and benchmarks).
enum class IndexPolicy { automatic, keep, rebuild };
// The policy named "auto", "keep" or "rebuild"; otherwise a ValueError that
// begins with `entry` and names the choices.
bool index_policy_named(PyObject* name, const char* entry, IndexPolicy& policy);

// Which indexes of the main table a merge leaves in place instead of dropping
// and rebuilding them. Planned before the writes; when it keeps nothing the
// merge drops and rebuilds through the module functions as always.
class MergeIndexes {
public:
    explicit MergeIndexes(IndexPolicy policy) noexcept : policy_(policy) {}
    // `changes`: main rows the merge deletes plus staged rows it inserts.
    bool plan(Cursor& cursor, PyObject* table, Py_ssize_t changes);
    // The same when only bounds of the changes are known: `count` is asked
    // for the exact number only when the bounds lie on both sides of the
    // break-even (it sets the number, false on error).
    bool plan(Cursor& cursor, PyObject* table, Py_ssize_t at_least, Py_ssize_t at_most,
              const std::function<bool(Py_ssize_t&)>& count);
    bool keeps_any() const noexcept { return keeps_any_; }
    // Whether the rebuild after the writes would find every catalogued index
    // in place (all kept) and so create nothing.
    bool rebuilds_nothing() const noexcept { return keeps_any_ && all_kept_; }
    // The main table's largest rowid (None when empty) when the caller read it
    // already: the plan then does not read it again.
    void know_largest_rowid(Owned largest) { largest_rowid_ = std::move(largest); }
    // The rows of schema_rows_sql() when the caller read them already, in the
    // order that statement gives: the plan then does not read the schema.
    // With the rows of tagged_catalogued_indexes_sql() after them
    // (`with_catalog`), neither does the plan nor the rebuild read the catalog.
    bool know_schema_rows(Owned rows, bool with_catalog);
    // A statement of sqlite_master's five columns giving the indexes and the
    // statistics tables, in schema order; a caller may append it to a read of
    // its own with UNION ALL.
    static const char* schema_rows_sql() noexcept;
    // The same followed by tagged_catalogued_indexes_sql() (one parameter,
    // the table), for know_schema_rows(rows, true).
    static const char* schema_and_catalog_rows_sql() noexcept;
    // Whether the plan read the table's indexes from the schema (it does
    // whenever the index functions are our own and the policy is not to
    // rebuild): drop_the_rest then drops what drop_table_index would.
    bool knows_schema() const noexcept { return schema_read_; }
    // Drops every index of the table that is not kept, in schema order (in
    // one request on a dqlite connection).
    bool drop_the_rest(Cursor& cursor, PyObject* conn);
    // Before the writes: the indexes not kept dropped, by drop_the_rest when
    // the plan read the schema (the index functions are then our own) or
    // kept some, otherwise by the module's drop_table_index.
    bool drop(Cursor& cursor, PyObject* conn, PyObject* table);
    // After the writes: the catalogued indexes created again, unless all
    // were kept; from the catalog rows read with the schema when the index
    // functions are our own, otherwise by the module's active_table_index.
    bool rebuild(Cursor& cursor, PyObject* conn, PyObject* table);

private:
    bool read_schema(Cursor& cursor, PyObject* table);
    bool cheaper_to_keep(Cursor& cursor, PyObject* table, Py_ssize_t at_least, Py_ssize_t at_most,
                         const std::function<bool(Py_ssize_t&)>& count, bool& keep);
    bool without_statistics(Cursor& cursor, PyObject* table, bool& none);
    bool match_catalog(Cursor& cursor, PyObject* table);

    IndexPolicy policy_;
    std::vector<Owned> names_;        // the table's indexes, in schema order
    std::vector<Owned> definitions_;  // their stored sql (None for an automatic index)
    std::vector<bool> kept_;
    Owned foreign_;  // other tables' index names, folded
    bool keeps_any_ = false;
    bool schema_read_ = false;
    bool all_kept_ = false;
    Owned largest_rowid_;
    Owned schema_rows_;
    Owned catalog_rows_;
    Owned statistics_names_;  // names of the statistics tables, when read with the schema
};

}  // namespace norvane
