// The plan of find's newest groups: the rules over the key columns, the
// statements that read them, the sizes of both tables, and the choice between
// following keys one lookup at a time and reading both tables whole. Built
// once per find, after the exactness checks, and never changed after.
#pragma once

#include "keys.hpp"
#include "refs.hpp"
#include "statement.hpp"

#include <memory>
#include <vector>

namespace norvane {

// How NewestGroups gathers rows: on its own judgement, or (for tests and
// benchmarks) always by key lookups, by lookups with the staging table read
// into groups at once, by one scan of each table, or by rounds of lookups
// of many keys at once (where they may run).
enum class FindPlan { automatic, lookups, grouped, scan, rounds };

// The choices of one find: the defaults, or those a test or benchmark
// passes through a private entry.
struct FindOptions {
    FindPlan plan = FindPlan::automatic;
    // On a remote connection the plan folds its reads into a few statements,
    // each being a round trip; off, each read is a statement of its own.
    bool fold_reads = true;
};

// What find hands over for its newest test; borrowed for the find's duration.
struct NewestQuery {
    PyObject* table;
    PyObject* cols;        // the table's column names, a list
    PyObject* uniques;     // rule name -> list of column positions, a dict
    PyObject* conditions;  // find's conditions text
    bool has_params;       // parameters are bound to find's candidate statements
    bool remote;           // a dqlite connection: every statement is a round trip
    FindOptions options;
};

// How far find's passes have come: what the choice of a scan weighs.
struct Progress {
    Py_ssize_t expected[2] = {-1, -1};  // candidates of each pass (by source), when known
    Py_ssize_t answered[2] = {0, 0};
    long main_lookups = 0;
    bool scan_due = false;  // both tables are to be read whole before the next answer
};

// The rowid of a fetched row, when it is an exact integer.
bool rowid_of(PyObject* row, int64_t& rowid);

class NewestPlan {
public:
    // Without a rule that has columns the walk runs no statement at all.
    static bool has_linking_rule(PyObject* uniques);
    // The plan, after the checks that keys compare as the walk's statements
    // do: 1 with `out` set, 0 when only the walk is exact, -1 with an error.
    static int build(Cursor& cursor, const NewestQuery& query, std::unique_ptr<const NewestPlan>& out);

    const std::vector<GroupRule>& rules() const noexcept { return rules_; }
    // Where the key columns stand in find's candidate rows (after rowid),
    // and in the rows of this plan's own statements.
    const std::vector<Py_ssize_t>& candidate_columns() const noexcept { return key_columns_; }
    const std::vector<Py_ssize_t>& own_columns() const noexcept { return own_columns_; }
    // The keys of a row of this plan's own statements (rowid, key columns):
    // false when it is not such a row or a value is foreign.
    bool read_keys(PyObject* row, Bytes& out) const;

    // By source (1: staging): SELECT rowid, <key cols> ... WHERE rowid = ?,
    // the same over every row in rowid order, and SELECT count(*).
    PyObject* by_rowid(long source) const noexcept { return by_rowid_[source].get(); }
    PyObject* scan(long source) const noexcept { return scan_[source].get(); }
    PyObject* count_rows(long source) const noexcept { return count_rows_[source].get(); }
    // Both tables in one statement, main first (rows end with their source);
    // null where each table is scanned by a statement of its own.
    PyObject* scan_both() const noexcept { return scan_both_.get(); }
    // One round of lookups: the rows of both tables (ending with their
    // source) holding any of the keys bound per rule as a JSON array of
    // arrays, the rules' arrays given twice (main lookups, then the staging
    // scan).
    PyObject* round() const noexcept { return round_.get(); }
    // The rows of a table when the plan read them with its sizes, else -1.
    Py_ssize_t known_count(long source) const noexcept { return known_count_[source]; }

    // Candidates must be checked to be stored rows as they are.
    bool check_stored() const noexcept { return check_stored_; }
    // No conditions: the candidates are all rows, in rowid order.
    bool every_row() const noexcept { return every_row_; }
    // A rule the main table has no index for: scanning is cheaper from the start.
    bool scan_first() const noexcept { return scan_first_; }

    // Sets progress.scan_due once reading both tables whole is cheaper than
    // the lookups still to come.
    void weigh_scan(Progress& progress) const;
    // How many staging lookups run before the staging table is read into groups.
    long staged_lookups_before_groups() const noexcept;
    // Whether the candidates may be answered from rounds of lookups
    // (newest_rounds.hpp), and whether those of both passes, as far as they
    // are known, are, rather than key by key or by one scan.
    bool may_take_rounds() const;
    bool takes_rounds(const Progress& progress) const;

private:
    int plan_rules(const NewestQuery& query);
    int read_tables(Cursor& cursor, PyObject* table);
    static int is_indexed(Cursor& cursor, const GroupRule& rule);
    static int is_indexed(Cursor& cursor, PyObject* lookups, Py_ssize_t params);
    int read_sizes(Cursor& cursor, PyObject* table);
    int read_tables_in_one(Cursor& cursor, PyObject* table);
    int weigh_indexes(Cursor& cursor);
    int plan_round(PyObject* table, PyObject* select, const std::vector<std::vector<Owned>>& rule_names);

    FindPlan choice_ = FindPlan::automatic;
    std::vector<GroupRule> rules_;
    std::vector<Py_ssize_t> key_columns_;  // column numbers the statements select, after rowid
    std::vector<Py_ssize_t> own_columns_;  // 0, 1, ...: the same in this plan's statements
    Owned by_rowid_[2];
    Owned scan_[2];
    Owned count_rows_[2];
    Owned scan_both_;
    Owned round_;
    std::vector<std::vector<Owned>> rule_names_;  // per rule, its column names
    Py_ssize_t known_count_[2] = {-1, -1};
    bool folds_ = false;             // reads folded into few statements (a remote connection)
    double table_rows_[2] = {0, 0};  // max(rowid) by source, an estimate of the size
    bool check_stored_ = true;
    bool every_row_ = false;
    bool scan_first_ = false;
    bool remote_ = false;
};

}  // namespace norvane
