// Which indexes a merge leaves in place.
//
// Dropping every index of the main table and rebuilding it after the writes
// costs in proportion to the table; maintaining an index through the writes
// costs in proportion to the rows written (and grows only slowly with the
// table). A small burst into a large table is therefore cheaper with the
// indexes kept. Keeping must leave exactly what
// the drop and rebuild would leave, so an index stays only when the rebuild
// would create it again unchanged: it is the first catalog row to claim its
// name, and SQLite's stored definition is the one the rebuild would store.
// Everything else of the table (indexes made outside the catalog, catalogued
// ones whose definition was changed) is dropped before the writes as before
// and the rebuild after them recreates what the catalog lists.
#include "norvane.hpp"

namespace norvane {
namespace {

IndexPolicy g_policy = IndexPolicy::automatic;

// Cost model, per index, measured on the development machine (2 shared
// cores, SQLite 3.40 with its default 2 MB page cache, rollback journal,
// tables of 100,000 to 1,000,000 rows of 4 columns with 3 indexes):
// - dropping and rebuilding an index costs about 0.27 us per main row;
// - keeping it costs, per row the merge deletes or inserts, an update at a
//   random place of the B-tree, and the dearer the larger the table: once the
//   index outgrows the page cache most updates read a page and dirty pages
//   spill through the journal. Per change it grew like the square root of
//   the table: about 0.9 us at 100,000 rows, 2.4 us at 1,000,000.
// Keeping and rebuilding broke even at about 30,000 changed rows for 100,000
// main rows, 88,000 for 500,000 and 115,000 for 1,000,000, that is at about
// 110 * sqrt(main rows): keep while changes^2 < 12,000 * main rows. Both
// costs are per index, so the choice comes out the same for every index of
// the table and is made once per merge.
constexpr double kBreakEven = 12'000.0;

// 1 when the module global still holds our own function, 0 when it was
// replaced or deleted (the call through it raises the NameError later, where
// it always did), -1 on error.
int still_own(Fn fn) {
    Owned target = lookup_function(fn);
    if (!target) {
        if (!PyErr_ExceptionMatches(PyExc_NameError)) {
            return -1;
        }
        PyErr_Clear();
        return 0;
    }
    return is_own_function(target.get(), fn) ? 1 : 0;
}

// SQLite compares index names without regard to ASCII case; lower() folds at
// least that much, so two names it folds alike may be one name to SQLite.
Owned folded(PyObject* name) { return steal(PyObject_CallMethodNoArgs(name, names().lower)); }

}  // namespace

IndexPolicy merge_index_policy() noexcept { return g_policy; }

void set_merge_index_policy(IndexPolicy policy) noexcept { g_policy = policy; }

bool MergeIndexes::plan(Cursor& cursor, PyObject* table, Py_ssize_t changes) {
    return plan(cursor, table, changes, changes, nullptr);
}

bool MergeIndexes::plan(Cursor& cursor, PyObject* table, Py_ssize_t at_least, Py_ssize_t at_most,
                        const std::function<bool(Py_ssize_t&)>& count) {
    keeps_any_ = false;
    if (g_policy == IndexPolicy::rebuild) {
        return true;
    }
    // A replaced index function is called as always, with nothing kept.
    const int drop_own = still_own(Fn::drop_table_index);
    const int build_own = drop_own > 0 ? still_own(Fn::active_table_index) : drop_own;
    if (build_own <= 0) {
        return build_own == 0;
    }
    if (!read_schema(cursor, table)) {
        return false;
    }
    if (names_.empty()) {
        return true;
    }
    bool keep = true;
    if (g_policy == IndexPolicy::automatic && !cheaper_to_keep(cursor, table, at_least, at_most, count, keep)) {
        return false;
    }
    return !keep || match_catalog(cursor, table);
}

bool MergeIndexes::drop_the_rest(Cursor& cursor) {
    SignalPoll poll;
    for (size_t i = 0; i < names_.size(); ++i) {
        if (!poll.tick() || (!kept_[i] && !drop_physical_index(cursor, names_[i].get()))) {
            return false;
        }
    }
    return true;
}

// The table's indexes as the schema lists them, in the order drop_table_index
// meets them.
bool MergeIndexes::read_schema(Cursor& cursor, PyObject* table) {
    Owned rows = schema_indexes(cursor);
    if (!rows) {
        return false;
    }
    SignalPoll poll;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows.get()); ++i) {
        PyObject* row = PyList_GET_ITEM(rows.get(), i);
        const int ours = poll.tick() ? index_is_on(row, table) : -1;
        if (ours <= 0) {
            if (ours < 0) {
                return false;
            }
            continue;
        }
        Owned name = item_at(row, Py_ssize_t{1});
        Owned definition = name ? item_at(row, Py_ssize_t{4}) : Owned();
        if (!definition) {
            return false;
        }
        names_.push_back(std::move(name));
        definitions_.push_back(std::move(definition));
        kept_.push_back(false);
    }
    return true;
}

// The main table's size from its largest rowid, read from the end of the
// table's B-tree; deleted rows make it an overestimate, which only matters
// once a table is mostly holes.
bool MergeIndexes::cheaper_to_keep(Cursor& cursor, PyObject* table, Py_ssize_t at_least, Py_ssize_t at_most,
                                   const std::function<bool(Py_ssize_t&)>& count, bool& keep) {
    Owned largest = share(largest_rowid_.get());
    if (!largest) {
        Owned table_text = str_of(table);
        Owned sql = table_text ? join_text({"SELECT max(rowid) FROM ", table_text}) : Owned();
        Owned rows = sql ? cursor.query(sql.get()) : Owned();
        Owned first = rows ? item_at(rows.get(), Py_ssize_t{0}) : Owned();
        largest = first ? item_at(first.get(), Py_ssize_t{0}) : Owned();
        if (!largest) {
            return false;
        }
    }
    double main_rows = 0.0;
    if (largest.get() != Py_None) {
        main_rows = PyFloat_AsDouble(largest.get());
        if (main_rows == -1.0 && PyErr_Occurred()) {
            return false;
        }
    }
    const auto keeps = [main_rows](Py_ssize_t changes) {
        const auto changed = static_cast<double>(changes);
        return changed * changed < kBreakEven * main_rows;
    };
    keep = keeps(at_least);
    if (keep && !keeps(at_most)) {
        Py_ssize_t changes = at_most;
        if (count && !count(changes)) {
            return false;
        }
        keep = keeps(changes);
    }
    return true;
}

// An index of the table stays when the catalog's first row of that name
// would rebuild it exactly as SQLite stores it now.
bool MergeIndexes::match_catalog(Cursor& cursor, PyObject* table) {
    Owned rows = catalogued_indexes(cursor, table);
    Owned claimed = rows ? steal(PySet_New(nullptr)) : Owned();
    Owned create = claimed ? steal(PyUnicode_FromString("CREATE INDEX ")) : Owned();
    if (!create) {
        return false;
    }
    SignalPoll poll;
    all_kept_ = true;
    for (Py_ssize_t r = 0; r < PyList_GET_SIZE(rows.get()); ++r) {
        PyObject* row = PyList_GET_ITEM(rows.get(), r);
        Owned row_table = poll.tick() ? item_at(row, Py_ssize_t{0}) : Owned();
        Owned row_name = row_table ? item_at(row, Py_ssize_t{1}) : Owned();
        Owned row_cols = row_name ? item_at(row, Py_ssize_t{2}) : Owned();
        Owned index_name = row_cols ? physical_index_name(row_table.get(), row_name.get()) : Owned();
        Owned key = index_name ? folded(index_name.get()) : Owned();
        const int seen = key ? PySet_Contains(claimed.get(), key.get()) : -1;
        if (seen != 0) {
            if (seen < 0) {
                return false;
            }
            continue;  // the rebuild finds the name taken and creates nothing
        }
        if (PySet_Add(claimed.get(), key.get()) < 0) {
            return false;
        }
        Owned body = index_body(index_name.get(), row_table.get(), row_cols.get());
        Owned stored = body ? steal(PyUnicode_Concat(create.get(), body.get())) : Owned();
        if (!stored) {
            return false;
        }
        bool kept = false;
        for (size_t i = 0; i < names_.size(); ++i) {
            const int same_name = compare(names_[i].get(), index_name.get(), Py_EQ);
            const int same = same_name > 0 ? compare(definitions_[i].get(), stored.get(), Py_EQ)
                                           : same_name;
            if (same < 0) {
                return false;
            }
            if (same) {
                kept_[i] = true;
                keeps_any_ = true;
                kept = true;
            }
        }
        all_kept_ = all_kept_ && kept;
    }
    return true;
}

}  // namespace norvane
