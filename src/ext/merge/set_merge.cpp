// The set-based merge. Its statements, on the call's cursor and transaction:
//   1. SELECT the rowids of main rows equal to some staged row under some
//      rule (SQL =, so NULL matches nothing), driven from the staging table
//      through the main table's rule indexes;
//   2. drop the indexes the rebuild will recreate (or only those the cost
//      model does not keep), through the module's own functions;
//   3. DELETE those main rows by rowid, the list bound as one JSON array;
//   4. INSERT ... SELECT the staged rows that hold, under every rule, the
//      largest rowid of their key (GROUP BY groups NULLs together and 1 with
//      1.0, as the host's == does), in descending rowid order;
//   5. empty the staging table;
//   6. rebuild the indexes through the module's own function.
// The guards (set_guards.hpp) make sure that this ends exactly where the
// statement path ends.
#include "set_merge.hpp"

#include "binder.hpp"
#include "interruptible.hpp"
#include "merge_indexes.hpp"
#include "profile.hpp"
#include "schema.hpp"
#include "set_guards.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <string>
#include <vector>

namespace norvane {
namespace {

enum Step : long { search = 1, drop_indexes, delete_superseded, insert_survivors, purge, rebuild };

class SetMerge {
public:
    SetMerge(PyObject* conn, PyObject* table, ReportClaim& report, Profile& profile, const MergeOptions& options)
        : conn_(conn), table_(table), report_(report), profile_(profile), options_(options), interrupts_(conn) {}

    // 1 done, 0 a guard failed before any write, -1 error.
    int run(CallTransaction& transaction) {
        if (!cursor_.open(conn_) || !transaction.begin(cursor_)) {
            return -1;
        }
        // The same reads, in the same order, as the statement path starts
        // with: their failures are its failures.
        table_text_ = str_of(table_);
        cols_ = table_text_ ? table_columns(cursor_, table_) : Owned();
        if (!cols_ || !read_rules(cursor_, table_, rules_)) {
            return -1;
        }
        const int plain = merge_tables_allow_sets(cursor_, profile_, table_, cols_.get(), rules_.get());
        if (plain <= 0) {
            return plain;
        }
        in_sets_ = true;
        // A host connection answers Ctrl-C inside a statement through its
        // progress handler; the dqlite driver's network waits answer it anyway.
        const bool done = (profile_.engine != Engine::host || interrupts_.install()) && build_texts() && apply();
        return interrupts_.settle() && done ? 1 : -1;
    }

    // Whether the merge got past its guards (and so ran, or failed, in sets).
    bool in_sets() const noexcept { return in_sets_; }

private:
    bool build_texts() {
        staging_ = join_text({"temp_", table_text_});
        const char* staging_name = staging_ ? PyUnicode_AsUTF8(staging_.get()) : nullptr;
        const char* table_name = staging_name ? PyUnicode_AsUTF8(table_text_.get()) : nullptr;
        if (table_name == nullptr) {
            return false;
        }
        const std::string staging = staging_name;
        std::string kept;
        std::string superseded;
        std::vector<std::string> seen;
        PyObject* key = nullptr;
        PyObject* positions = nullptr;
        Py_ssize_t pos = 0;
        while (PyDict_Next(rules_.get(), &pos, &key, &positions)) {
            std::string group;
            std::string match;
            for (Py_ssize_t k = 0; k < PyList_GET_SIZE(positions); ++k) {
                const Py_ssize_t c = PyLong_AsSsize_t(PyList_GET_ITEM(positions, k));
                const char* name = PyUnicode_AsUTF8(PyList_GET_ITEM(cols_.get(), c));
                if (name == nullptr) {
                    return false;
                }
                group.append(k ? "," : "").append(name);
                match.append(k ? " AND m." : "m.").append(name).append(" = s.").append(name);
            }
            if (std::find(seen.begin(), seen.end(), group) != seen.end()) {
                continue;  // the same columns twice keep and supersede the same rows
            }
            seen.push_back(group);
            kept.append(kept.empty() ? " WHERE " : " AND ")
                .append("rowid IN (SELECT max(rowid) FROM ")
                .append(staging)
                .append(" GROUP BY ")
                .append(group)
                .append(")");
            // CROSS JOIN keeps the staging table outside: one index search per staged row.
            superseded.append(superseded.empty() ? "" : " UNION ALL ")
                .append("SELECT m.rowid AS id FROM ")
                .append(staging)
                .append(" AS s CROSS JOIN ")
                .append(table_name)
                .append(" AS m ON ")
                .append(match);
        }
        kept_where_ = steal(PyUnicode_FromStringAndSize(kept.data(), static_cast<Py_ssize_t>(kept.size())));
        superseded_sql_ =
            steal(PyUnicode_FromStringAndSize(superseded.data(), static_cast<Py_ssize_t>(superseded.size())));
        return kept_where_ && superseded_sql_;
    }

    bool apply() {
        PyObject* conn = conn_;
        PyObject* table = table_;
        if (!step(Step::search) || !count_rows()) {
            return false;
        }
        MergeIndexes indexes(options_.indexes);
        indexes.know_largest_rowid(std::move(largest_rowid_));
        if (!indexes.know_schema_rows(std::move(schema_rows_), true)) {
            return false;
        }
        const Py_ssize_t superseded = replaced_;
        const auto count_changes = [this, superseded](Py_ssize_t& changes) {
            Py_ssize_t kept = 0;
            if (!count_kept(kept)) {
                return false;
            }
            changes = superseded + kept;
            return true;
        };
        // With the indexes kept the deletion finds its rows itself; before they
        // are dropped the rowids are read while the indexes still serve.
        if (!indexes.plan(cursor_, table, superseded + (staged_ > 0 ? 1 : 0), superseded + staged_, count_changes) ||
            (!indexes.keeps_any() && !find_superseded()) || !done(Step::search) || !step(Step::drop_indexes)) {
            return false;
        }
        delete_in_place_ = indexes.keeps_any();
        return indexes.drop(cursor_, conn, table) && done(Step::drop_indexes) && step(Step::delete_superseded) &&
               delete_superseded() && done(Step::delete_superseded) && step(Step::insert_survivors) &&
               insert_survivors() && done(Step::insert_survivors) && step(Step::purge) &&
               purge_staging(cursor_, table_text_.get()) && done(Step::purge) && step(Step::rebuild) &&
               indexes.rebuild(cursor_, conn, table) && record_counts();
    }

    // Progress in staged rows, told after a step: each step counts for a
    // sixth of them, told once at least 1,000 rows more are done, and the
    // last step always.
    bool done(long number) {
        const Py_ssize_t rows =
            staged_ / Step::rebuild * number + (number == Step::rebuild ? staged_ % Step::rebuild : 0);
        if (number != Step::rebuild && rows - told_ < 1000) {
            return true;
        }
        told_ = rows;
        return report_.report(rows, staged_);
    }

    // What the merge did, told before it commits (a progress callable that
    // raises still rolls it back).
    bool record_counts() {
        MergeCounts counts;
        counts.staged = staged_;
        counts.inserted = inserted_;
        counts.replaced = replaced_;
        counts.superseded = staged_ - inserted_;
        report_.record(counts);
        return done(Step::rebuild);
    }

    // The injected failure of the tests, and Ctrl-C between statements.
    bool step(long number) const {
        if (number == options_.fail_before) {
            PyErr_Format(PyExc_RuntimeError, "injected failure before step %ld of the merge", number);
            return false;
        }
        return PyErr_CheckSignals() == 0;
    }

    bool single_number(PyObject* sql, Py_ssize_t& out) {
        Owned rows = cursor_.query(sql);
        Owned row = rows ? item_at(rows.get(), Py_ssize_t{0}) : Owned();
        Owned value = row ? item_at(row.get(), Py_ssize_t{0}) : Owned();
        out = value ? PyLong_AsSsize_t(value.get()) : -1;
        return !(out == -1 && PyErr_Occurred()) && value;
    }

    // One read: the staged rows, the main table's largest rowid, and how many
    // main rows the staged ones supersede (searched only when main has rows),
    // in a row whose type column is NULL; after it the schema rows the index
    // plan reads, then the catalogued indexes the rebuild creates, tagged
    // 'catalog' (a statement is a round trip on a cluster). Every merge reads
    // the catalog, so a database without it fails here as it would later.
    bool count_rows() {
        const bool searches = PyUnicode_GET_LENGTH(superseded_sql_.get()) > 0;
        Owned schema = steal(PyUnicode_FromString(MergeIndexes::schema_and_catalog_rows_sql()));
        Owned sql = !schema    ? Owned()
                    : searches ? join_text({"SELECT NULL, count(*), (SELECT max(rowid) FROM ", table_text_,
                                            "), CASE WHEN (SELECT max(rowid) FROM ", table_text_,
                                            ") IS NULL THEN 0 ELSE (SELECT count(DISTINCT id) FROM (", superseded_sql_,
                                            ")) END, NULL FROM ", staging_, " UNION ALL ", schema})
                               : join_text({"SELECT NULL, count(*), (SELECT max(rowid) FROM ", table_text_,
                                            "), 0, NULL FROM ", staging_, " UNION ALL ", schema});
        Owned params = sql ? steal(PyTuple_Pack(1, table_)) : Owned();
        Owned rows = params ? cursor_.query(sql.get(), params.get()) : Owned();
        Owned row = rows ? item_at(rows.get(), Py_ssize_t{0}) : Owned();
        Owned staged = row ? item_at(row.get(), Py_ssize_t{1}) : Owned();
        largest_rowid_ = staged ? item_at(row.get(), Py_ssize_t{2}) : Owned();
        Owned replaced = largest_rowid_ ? item_at(row.get(), Py_ssize_t{3}) : Owned();
        schema_rows_ = replaced ? steal(PyList_GetSlice(rows.get(), 1, PyList_GET_SIZE(rows.get()))) : Owned();
        staged_ = schema_rows_ ? PyLong_AsSsize_t(staged.get()) : -1;
        replaced_ = staged_ >= 0 ? PyLong_AsSsize_t(replaced.get()) : -1;
        main_has_rows_ = replaced_ >= 0 && largest_rowid_.get() != Py_None;
        return replaced_ >= 0;
    }

    bool count_kept(Py_ssize_t& kept) {
        Owned sql = join_text({"SELECT count(*) FROM ", staging_, kept_where_});
        return sql && single_number(sql.get(), kept);
    }

    // Distinct rowids of the superseded main rows, read one row at a time.
    // An empty main table (a first bulk load) needs no search per staged row.
    bool find_superseded() {
        if (staged_ == 0 || PyUnicode_GET_LENGTH(superseded_sql_.get()) == 0) {
            return true;
        }
        if (!main_has_rows_) {
            return true;
        }
        if (!cursor_.execute(superseded_sql_.get())) {
            return false;
        }
        while (Owned row = cursor_.next_row()) {
            const long long rowid = PyLong_AsLongLong(PyTuple_GET_ITEM(row.get(), 0));
            if (rowid == -1 && PyErr_Occurred()) {
                return false;
            }
            superseded_.push_back(rowid);
        }
        if (PyErr_Occurred()) {
            return false;
        }
        std::sort(superseded_.begin(), superseded_.end());
        superseded_.erase(std::unique(superseded_.begin(), superseded_.end()), superseded_.end());
        return true;
    }

    // "DELETE FROM <t> WHERE rowid IN (<search>)" with the indexes in place,
    // else "DELETE FROM <t> WHERE rowid IN (SELECT value FROM json_each(?))"
    // over the rowids read before they were dropped.
    bool delete_superseded() {
        if (delete_in_place_) {
            if (replaced_ == 0) {
                return true;
            }
            Owned sql = join_text({"DELETE FROM ", table_text_, " WHERE rowid IN (", superseded_sql_, ")"});
            return sql && cursor_.execute(sql.get());
        }
        if (superseded_.empty()) {
            return true;
        }
        std::string ids = "[";
        char digits[24];
        for (size_t i = 0; i < superseded_.size(); ++i) {
            if (i) {
                ids += ',';
            }
            const auto end = std::to_chars(digits, digits + sizeof digits, superseded_[i]).ptr;
            ids.append(digits, end);
        }
        ids += ']';
        Owned list = steal(PyUnicode_FromStringAndSize(ids.data(), static_cast<Py_ssize_t>(ids.size())));
        Owned params = list ? steal(PyTuple_Pack(1, list.get())) : Owned();
        Owned sql = params
                        ? join_text({"DELETE FROM ", table_text_, " WHERE rowid IN (SELECT value FROM json_each(?))"})
                        : Owned();
        return sql && cursor_.execute(sql.get(), params.get());
    }

    // "INSERT INTO <t> SELECT * FROM temp_<t> <kept> ORDER BY rowid DESC"
    bool insert_survivors() {
        if (staged_ == 0) {
            return true;
        }
        Owned sql =
            join_text({"INSERT INTO ", table_text_, " SELECT * FROM ", staging_, kept_where_, " ORDER BY rowid DESC"});
        if (!sql || !cursor_.execute(sql.get())) {
            return false;
        }
        inserted_ = cursor_.rowcount();
        return inserted_ >= 0;
    }

    PyObject* conn_;
    PyObject* table_;
    ReportClaim& report_;
    Profile& profile_;
    const MergeOptions& options_;
    Cursor cursor_;
    Interruptible interrupts_;
    Owned table_text_;
    Owned staging_;
    Owned cols_;
    Owned rules_;
    Owned kept_where_;      // " WHERE rowid IN (...) AND ..." or ""
    Owned superseded_sql_;  // "" without rules
    Py_ssize_t staged_ = 0;
    Py_ssize_t inserted_ = 0;
    Py_ssize_t told_ = 0;  // progress told so far, in staged rows
    bool main_has_rows_ = false;
    bool in_sets_ = false;
    bool delete_in_place_ = false;
    Py_ssize_t replaced_ = 0;  // main rows the staged ones supersede
    Owned largest_rowid_;
    Owned schema_rows_;  // read with the counts, for the index plan and the rebuild
    std::vector<long long> superseded_;
};

}  // namespace

int merge_in_sets(PyObject* conn, PyObject* table, CallTransaction& transaction, ReportClaim& report,
                  const MergeOptions& options, MergeOutcome& outcome) {
    outcome.in_sets = false;
    if (options.path == MergePath::statements) {
        return 0;
    }
    Profile profile;
    const int allowed = merge_connection_allows_sets(conn, profile);
    if (allowed <= 0) {
        return allowed;
    }
    SetMerge merge(conn, table, report, profile, options);
    const int ran = merge.run(transaction);
    outcome.in_sets = merge.in_sets();
    return ran;
}

bool purge_staging(Cursor& cursor, PyObject* table_text) {
    Owned purge = join_text({"DELETE From temp_", table_text});
    return purge && cursor.execute(purge.get());
}

}  // namespace norvane
