// Which indexes a merge leaves in place.
//
// Dropping every index of the main table and rebuilding it after the writes
// costs in proportion to the table; maintaining an index through the writes
// costs in proportion to the rows written (and grows only slowly with the
// table). A small burst into a large table is therefore cheaper with the
// indexes kept. Keeping must leave exactly what the drop and rebuild would
// leave, down to what steers SQLite's planner:
// - an index stays only when the rebuild would create it again unchanged: it
//   is the first catalog row to claim its name, and SQLite's stored
//   definition is the one the rebuild would store;
// - the rebuild creates the indexes in catalog order, and the planner breaks
//   ties between equally good indexes by that order, so only a leading run
//   of the catalog order that already stands in the schema in that order
//   stays; everything after it is rebuilt in catalog order;
// - DROP INDEX deletes the index's statistics, so once the table has any,
//   nothing stays.
// Everything else of the table (indexes made outside the catalog, catalogued
// ones whose definition was changed) is dropped before the writes as before
// and the rebuild after them recreates what the catalog lists.
#include "merge_indexes.hpp"

#include "binder.hpp"
#include "refs.hpp"
#include "schema.hpp"
#include "statement.hpp"

#include <cstring>
#include <string>

namespace norvane {
namespace {

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

// The statistics tables any SQLite version writes; DROP INDEX clears the
// index's rows from each of them.
constexpr const char* kSelectStatisticsTables =
    "SELECT name FROM sqlite_master WHERE type = 'table' AND name LIKE 'sqlite\\_stat_' ESCAPE '\\'";
constexpr const char* kSelectSchemaRows =
    "SELECT * FROM sqlite_master WHERE type = 'index' OR "
    "(type = 'table' AND name LIKE 'sqlite\\_stat_' ESCAPE '\\')";
constexpr const char* kStatisticsTables[] = {"sqlite_stat1", "sqlite_stat2", "sqlite_stat3", "sqlite_stat4"};

// A name as SQLite compares names: its UTF-8 bytes with ASCII letters folded
// and nothing else, so two names fold alike exactly when SQLite takes them
// for one. Lone surrogates pass through as the statements would carry them.
Owned folded(PyObject* name) {
    Owned bytes = steal(PyUnicode_AsEncodedString(name, "utf-8", "surrogatepass"));
    if (!bytes) {
        return {};
    }
    const char* text = PyBytes_AS_STRING(bytes.get());
    const Py_ssize_t size = PyBytes_GET_SIZE(bytes.get());
    Owned lower = steal(PyBytes_FromStringAndSize(nullptr, size));
    if (!lower) {
        return {};
    }
    char* out = PyBytes_AS_STRING(lower.get());
    for (Py_ssize_t i = 0; i < size; ++i) {
        const char c = text[i];
        out[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return lower;
}

// Whether a row of kSelectSchemaRows is an index (else a statistics table).
int is_index_row(PyObject* row) {
    Owned type = item_at(row, Py_ssize_t{0});
    if (!type) {
        return -1;
    }
    return PyUnicode_Check(type.get()) && PyUnicode_CompareWithASCIIString(type.get(), "index") == 0;
}

}  // namespace

const char* MergeIndexes::schema_rows_sql() noexcept { return kSelectSchemaRows; }

const char* MergeIndexes::schema_and_catalog_rows_sql() noexcept {
    static const std::string text = std::string(kSelectSchemaRows) + " UNION ALL " + tagged_catalogued_indexes_sql();
    return text.c_str();
}

bool index_policy_named(PyObject* name, const char* entry, IndexPolicy& policy) {
    static const char* const names[] = {"auto", "keep", "rebuild"};
    for (int i = 0; i < 3; ++i) {
        if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, names[i]) == 0) {
            policy = static_cast<IndexPolicy>(i);
            return true;
        }
    }
    PyErr_Format(PyExc_ValueError, "%s: expected 'auto', 'keep' or 'rebuild', got %R", entry, name);
    return false;
}

bool MergeIndexes::plan(Cursor& cursor, PyObject* table, Py_ssize_t changes) {
    return plan(cursor, table, changes, changes, nullptr);
}

bool MergeIndexes::plan(Cursor& cursor, PyObject* table, Py_ssize_t at_least, Py_ssize_t at_most,
                        const std::function<bool(Py_ssize_t&)>& count) {
    keeps_any_ = false;
    if (policy_ == IndexPolicy::rebuild) {
        return true;
    }
    // A replaced index function is called as always, with nothing kept.
    const int drop_own = global_is_own(Fn::drop_table_index);
    const int build_own = drop_own > 0 ? global_is_own(Fn::active_table_index) : drop_own;
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
    if (policy_ == IndexPolicy::automatic && !cheaper_to_keep(cursor, table, at_least, at_most, count, keep)) {
        return false;
    }
    if (keep && !without_statistics(cursor, table, keep)) {
        return false;
    }
    return !keep || match_catalog(cursor, table);
}

bool MergeIndexes::know_schema_rows(Owned rows, bool with_catalog) {
    schema_rows_ = steal(PyList_New(0));
    catalog_rows_ = schema_rows_ ? steal(PyList_New(0)) : Owned();
    if (!catalog_rows_) {
        return false;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows.get()); ++i) {
        PyObject* row = PyList_GET_ITEM(rows.get(), i);
        Owned tag = item_at(row, Py_ssize_t{0});
        if (!tag) {
            return false;
        }
        const bool catalogued =
            PyUnicode_Check(tag.get()) && PyUnicode_CompareWithASCIIString(tag.get(), kCatalogRowTag) == 0;
        // The catalog's rows as catalogued_indexes gives them: the tag and the NULL off.
        Owned entry = catalogued ? steal(PySequence_GetSlice(row, 1, 4)) : share(row);
        if (!entry || PyList_Append(catalogued ? catalog_rows_.get() : schema_rows_.get(), entry.get()) < 0) {
            return false;
        }
    }
    if (!with_catalog) {
        catalog_rows_ = Owned();
    }
    return true;
}

bool MergeIndexes::drop(Cursor& cursor, PyObject* conn, PyObject* table) {
    return keeps_any_ || schema_read_ ? drop_the_rest(cursor, conn)
                                      : bool(call_module<Fn::drop_table_index>(conn, table, Py_False));
}

bool MergeIndexes::rebuild(Cursor& cursor, PyObject* conn, PyObject* table) {
    if (rebuilds_nothing()) {
        return true;
    }
    if (!schema_read_ || !catalog_rows_) {
        return bool(call_module<Fn::active_table_index>(conn, table, Py_False));
    }
    if (create_catalogued_indexes(cursor, conn, catalog_rows_.get())) {
        return true;
    }
    add_traceback(Fn::active_table_index);  // the failure reads as that call's, as it always did
    return false;
}

bool MergeIndexes::drop_the_rest(Cursor& cursor, PyObject* conn) {
    SignalPoll poll;
    std::vector<Owned> drops;
    for (size_t i = 0; i < names_.size(); ++i) {
        if (!poll.tick()) {
            return false;
        }
        if (!kept_[i]) {
            Owned sql = drop_index_sql(names_[i].get());
            if (!sql) {
                return false;
            }
            drops.push_back(std::move(sql));
        }
    }
    return run_all(cursor, conn, drops);
}

// The table's indexes as the schema lists them, in the order drop_table_index
// meets them.
bool MergeIndexes::read_schema(Cursor& cursor, PyObject* table) {
    foreign_ = steal(PySet_New(nullptr));
    const bool known = bool(schema_rows_);
    Owned rows = !foreign_ ? Owned() : known ? share(schema_rows_.get()) : schema_indexes(cursor);
    if (known && foreign_) {
        statistics_names_ = steal(PyList_New(0));
    }
    if (!rows || (known && !statistics_names_)) {
        return false;
    }
    SignalPoll poll;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows.get()); ++i) {
        PyObject* row = PyList_GET_ITEM(rows.get(), i);
        const int index = known ? is_index_row(row) : 1;
        if (index == 0) {
            Owned name = item_at(row, Py_ssize_t{1});
            Owned entry = name ? steal(PyTuple_Pack(1, name.get())) : Owned();
            if (!entry || PyList_Append(statistics_names_.get(), entry.get()) < 0) {
                return false;
            }
            continue;
        }
        const int ours = index > 0 && poll.tick() ? index_is_on(row, table) : -1;
        Owned name = ours >= 0 ? item_at(row, Py_ssize_t{1}) : Owned();
        if (!name) {
            return false;
        }
        if (ours == 0) {
            Owned key = folded(name.get());
            if (!key || PySet_Add(foreign_.get(), key.get()) < 0) {
                return false;
            }
            continue;
        }
        Owned definition = item_at(row, Py_ssize_t{4});
        if (!definition) {
            return false;
        }
        names_.push_back(std::move(name));
        definitions_.push_back(std::move(definition));
        kept_.push_back(false);
    }
    schema_read_ = true;
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

// `none` tells whether no statistics table holds a row for the table; table
// names compare without regard to ASCII case, as SQLite's do.
bool MergeIndexes::without_statistics(Cursor& cursor, PyObject* table, bool& none) {
    Owned sql = statistics_names_ ? Owned() : steal(PyUnicode_FromString(kSelectStatisticsTables));
    Owned present = statistics_names_ ? share(statistics_names_.get()) : sql ? cursor.query(sql.get()) : Owned();
    Owned table_text = present ? str_of(table) : Owned();
    Owned params = table_text ? steal(PyList_New(1)) : Owned();
    if (!params) {
        return false;
    }
    PyList_SET_ITEM(params.get(), 0, table_text.release());
    none = true;
    for (Py_ssize_t r = 0; none && r < PyList_GET_SIZE(present.get()); ++r) {
        Owned name = item_at(PyList_GET_ITEM(present.get(), r), Py_ssize_t{0});
        Owned key = name ? folded(name.get()) : Owned();
        if (!key) {
            return false;
        }
        for (const char* statistics : kStatisticsTables) {
            if (std::strcmp(PyBytes_AS_STRING(key.get()), statistics) == 0) {
                Owned probe = join_text({"SELECT 1 FROM ", statistics, " WHERE tbl = ? COLLATE NOCASE LIMIT 1"});
                Owned found = probe ? cursor.query(probe.get(), params.get()) : Owned();
                if (!found) {
                    return false;
                }
                none = PyList_GET_SIZE(found.get()) == 0;
            }
        }
    }
    return true;
}

// The catalog's rows in order, each the first to claim its physical name,
// keep their index while the index is unchanged and stands in the schema
// after the one kept before it; the first that does not ends the run. Rows
// whose name another table's index holds create nothing in the rebuild
// either, so they neither keep nor end anything.
bool MergeIndexes::match_catalog(Cursor& cursor, PyObject* table) {
    Owned rows = catalog_rows_ ? share(catalog_rows_.get()) : catalogued_indexes(cursor, table);
    Owned claimed = rows ? steal(PySet_New(nullptr)) : Owned();
    Owned create = claimed ? steal(PyUnicode_FromString("CREATE INDEX ")) : Owned();
    if (!create) {
        return false;
    }
    SignalPoll poll;
    size_t next = 0;  // the first schema position the next kept index may hold
    all_kept_ = false;
    for (Py_ssize_t r = 0; r < PyList_GET_SIZE(rows.get()); ++r) {
        PyObject* row = PyList_GET_ITEM(rows.get(), r);
        Owned row_table = poll.tick() ? item_at(row, Py_ssize_t{0}) : Owned();
        Owned row_name = row_table ? item_at(row, Py_ssize_t{1}) : Owned();
        Owned row_cols = row_name ? item_at(row, Py_ssize_t{2}) : Owned();
        Owned index_name = row_cols ? physical_index_name(row_table.get(), row_name.get()) : Owned();
        Owned key = index_name ? folded(index_name.get()) : Owned();
        const int seen = key ? PySet_Contains(claimed.get(), key.get()) : -1;
        const int foreign = seen == 0 ? PySet_Contains(foreign_.get(), key.get()) : seen;
        if (foreign != 0) {
            if (foreign < 0) {
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
        size_t at = names_.size();
        for (size_t i = 0; i < names_.size() && at == names_.size(); ++i) {
            const int same_name = compare(names_[i].get(), index_name.get(), Py_EQ);
            const int same = same_name > 0 ? compare(definitions_[i].get(), stored.get(), Py_EQ) : same_name;
            if (same < 0) {
                return false;
            }
            if (same) {
                at = i;
            }
        }
        if (at == names_.size() || at < next) {
            return true;  // rebuilt from here on, in catalog order
        }
        kept_[at] = true;
        keeps_any_ = true;
        next = at + 1;
    }
    all_kept_ = true;  // the rebuild would create nothing
    return true;
}

}  // namespace norvane
