// The plan of find's newest groups (see newest_plan.hpp).
#include "newest_plan.hpp"

#include "exactness.hpp"
#include "keys.hpp"
#include "profile.hpp"
#include "refs.hpp"
#include "schema.hpp"
#include "statement.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <limits>
#include <string>

namespace norvane {
namespace {

// A main lookup through the host module costs about what reading eight rows
// of a scan does (measured on the find benchmarks).
constexpr double kLookupRows = 8;
// Over the dqlite driver a lookup is a round trip, about what reading 50 rows
// of a scan costs there (measured on the cluster benchmark).
constexpr double kRemoteLookupRows = 50;

// After a few scans of the staging table for one key each, it is read once
// into per-rule groups of the rows sharing a key.
constexpr long kStagedLookups = 64;
constexpr long kRemoteStagedLookups = 4;  // each a round trip

// Rounds of lookups: most finds close their components in two rounds (the
// second finds what the first one's rows link to). A key searched in a
// round costs about a few rows of a scan, and the round's scan of the
// staging table, which sends none of the rows it passes over, a share of
// one (measured on the cluster benchmark).
constexpr double kExpectedRounds = 2;
constexpr double kRoundKeyRows = 4;
constexpr double kRoundScanShare = 0.2;

// Column names as SQLite matches them: ASCII letters in any case.
bool same_name(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (std::tolower(static_cast<unsigned char>(*a)) != std::tolower(static_cast<unsigned char>(*b))) {
            return false;
        }
    }
    return *a == *b;
}

}  // namespace

bool rowid_of(PyObject* row, int64_t& rowid) {
    if (!is_row(row, 1) || !PyLong_CheckExact(PyTuple_GET_ITEM(row, 0))) {
        return false;
    }
    int overflow = 0;
    rowid = PyLong_AsLongLongAndOverflow(PyTuple_GET_ITEM(row, 0), &overflow);
    if (overflow || (rowid == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return false;
    }
    return true;
}

bool NewestPlan::has_linking_rule(PyObject* uniques) {
    PyObject* key = nullptr;
    PyObject* positions = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(uniques, &pos, &key, &positions)) {
        if (PyList_GET_SIZE(positions) > 0) {
            return true;
        }
    }
    return false;
}

int NewestPlan::build(Cursor& cursor, const NewestQuery& query, std::unique_ptr<const NewestPlan>& out) {
    auto plan = std::make_unique<NewestPlan>();
    plan->choice_ = query.options.plan;
    plan->remote_ = query.remote;
    plan->folds_ = query.remote && query.options.fold_reads;
    int status = plan->plan_rules(query);
    if (status > 0 && !plan->folds_) {
        status = compares_numbers_exactly(cursor);  // else read with the tables
    }
    if (status > 0) {
        status = plan->read_tables(cursor, query.table);
    }
    if (status > 0) {
        out = std::move(plan);
    }
    return status;
}

// Rules with their columns checked, and the statements over them.
int NewestPlan::plan_rules(const NewestQuery& query) {
    PyObject* cols = query.cols;
    PyObject* table = query.table;
    const Py_ssize_t ncols = PyList_GET_SIZE(cols);
    for (Py_ssize_t i = 0; i < ncols; ++i) {
        const char* name = utf8_of(PyList_GET_ITEM(cols, i));
        if (name == nullptr || is_rowid_name(name)) {
            return 0;
        }
    }
    const char* table_name = utf8_of(table);
    if (table_name == nullptr || !is_plain_identifier(table_name)) {
        return 0;
    }
    PyObject* key = nullptr;
    PyObject* positions = nullptr;
    Py_ssize_t pos = 0;
    std::vector<std::vector<Py_ssize_t>> columns_of;
    while (PyDict_Next(query.uniques, &pos, &key, &positions)) {
        std::vector<Py_ssize_t> columns;
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(positions); ++k) {
            const Py_ssize_t c = PyLong_AsSsize_t(PyList_GET_ITEM(positions, k));
            if (c == -1 && PyErr_Occurred()) {
                PyErr_Clear();
                return 0;
            }
            if (c < 0 || c >= ncols) {
                return 0;
            }
            const char* name = utf8_of(PyList_GET_ITEM(cols, c));
            if (name == nullptr || !is_plain_identifier(name) || is_keyword(name)) {
                return 0;
            }
            columns.push_back(c);
        }
        if (!columns.empty()) {
            columns_of.push_back(std::move(columns));
        }
    }
    for (const auto& columns : columns_of) {
        for (Py_ssize_t c : columns) {
            if (std::find(key_columns_.begin(), key_columns_.end(), c) == key_columns_.end()) {
                key_columns_.push_back(c);
            }
        }
    }
    for (size_t i = 0; i < key_columns_.size(); ++i) {
        own_columns_.push_back(static_cast<Py_ssize_t>(i));
    }
    Owned select = steal(PyUnicode_FromString("rowid"));
    for (Py_ssize_t c : key_columns_) {
        select = select ? join_text({select, ",", PyList_GET_ITEM(cols, c)}) : Owned();
    }
    Owned staged_from = select ? join_text({"SELECT ", select, " FROM temp_", table}) : Owned();
    Owned main_from = staged_from ? join_text({"SELECT ", select, " FROM ", table}) : Owned();
    if (!main_from) {
        return -1;
    }
    std::vector<std::vector<Owned>> rule_names;
    for (const auto& columns : columns_of) {
        GroupRule rule;
        std::vector<Owned> names;
        for (Py_ssize_t c : columns) {
            const auto at = std::find(key_columns_.begin(), key_columns_.end(), c);
            rule.picks.push_back(static_cast<size_t>(at - key_columns_.begin()));
            names.push_back(share(PyList_GET_ITEM(cols, c)));
        }
        Owned where = column_search(names);
        rule.staged_lookup = where ? join_text({staged_from, " WHERE ", where}) : Owned();
        rule.main_lookup = rule.staged_lookup ? join_text({main_from, " WHERE ", where}) : Owned();
        if (!rule.main_lookup) {
            return -1;
        }
        rules_.push_back(std::move(rule));
        rule_names.push_back(std::move(names));
    }
    if (plan_round(table, select.get(), rule_names) < 0) {
        return -1;
    }
    rule_names_ = std::move(rule_names);
    by_rowid_[1] = join_text({staged_from, " WHERE rowid = ?"});
    by_rowid_[0] = by_rowid_[1] ? join_text({main_from, " WHERE rowid = ?"}) : Owned();
    scan_[1] = by_rowid_[0] ? join_text({staged_from, " ORDER BY rowid"}) : Owned();
    scan_[0] = scan_[1] ? join_text({main_from, " ORDER BY rowid"}) : Owned();
    count_rows_[1] = scan_[0] ? join_text({"SELECT count(*) FROM temp_", table}) : Owned();
    count_rows_[0] = count_rows_[1] ? join_text({"SELECT count(*) FROM ", table}) : Owned();
    if (folds_ && count_rows_[0]) {
        Owned last = steal(PyUnicode_FromFormat("%zd", static_cast<Py_ssize_t>(key_columns_.size()) + 2));
        scan_both_ = last ? join_text({"SELECT ", select, ", 0 FROM ", table, " UNION ALL SELECT ", select,
                                       ", 1 FROM temp_", table, " ORDER BY ", last, ", 1"})
                          : Owned();
        if (!scan_both_) {
            return -1;
        }
    }
    const char* conditions_text = utf8_of(query.conditions);
    check_stored_ = conditions_text == nullptr || !selects_stored_rows(conditions_text);
    every_row_ = conditions_text != nullptr &&
                 std::string(conditions_text).find_first_not_of(" \t\r\n") == std::string::npos && !query.has_params;
    return count_rows_[0] ? 1 : -1;
}

// One round's statement: per rule, its main lookups of every key in the
// rule's JSON array (through the rule's index), then one scan of the staging
// table for the keys of all rules. `c IN (SELECT value->>0 ...)` compares as
// `c = ?` does: the extracted value has no affinity, so the column's applies.
int NewestPlan::plan_round(PyObject* table, PyObject* select, const std::vector<std::vector<Owned>>& rule_names) {
    Owned staged_where;
    Owned main_parts;
    for (const auto& names : rule_names) {
        Owned columns = steal(PyUnicode_FromString(""));
        Owned picks = steal(PyUnicode_FromString(""));
        for (size_t k = 0; columns && picks && k < names.size(); ++k) {
            Owned at = steal(PyUnicode_FromFormat("%zu", k));
            columns = at ? join_text({columns, k ? "," : "", names[k]}) : Owned();
            picks = columns ? join_text({picks, k ? "," : "", "value->>", at}) : Owned();
        }
        Owned search = picks ? join_text({names.size() > 1 ? "(" : "", columns, names.size() > 1 ? ")" : "",
                                          " IN (SELECT ", picks, " FROM json_each(?))"})
                             : Owned();
        Owned part = search ? join_text({"SELECT ", select, ",0 FROM ", table, " WHERE ", search}) : Owned();
        main_parts = !part ? Owned() : main_parts ? join_text({main_parts, " UNION ALL ", part}) : std::move(part);
        staged_where = !main_parts    ? Owned()
                       : staged_where ? join_text({staged_where, " OR ", search})
                                      : std::move(search);
        if (!staged_where) {
            return -1;
        }
    }
    round_ = join_text({main_parts, " UNION ALL SELECT ", select, ",1 FROM temp_", table, " WHERE ", staged_where});
    return round_ ? 1 : -1;
}

// Both tables read alike; then their sizes and search plans.
int NewestPlan::read_tables(Cursor& cursor, PyObject* table) {
    if (folds_) {
        return read_tables_in_one(cursor, table);
    }
    const int alike = tables_read_alike(cursor, table, remote_);
    if (alike <= 0) {
        return alike;
    }
    const int sized = read_sizes(cursor, table);
    return sized <= 0 ? sized : weigh_indexes(cursor);
}

// The checks, the sizes and the main table's indexes in one statement: the
// largest rowids (tag 7), the row counts (tag 8, they serve a scan later),
// and the first column of each index of the main table that is not partial
// (tag 9). A rule is searched through an index when one starts with a column
// of the rule; SQLite then takes one for its equality searches.
int NewestPlan::read_tables_in_one(Cursor& cursor, PyObject* table) {
    static constexpr const char* kIndexFirstColumns =
        "SELECT 9, i.name, NULL, NULL FROM pragma_index_list(?) AS l, pragma_index_info(l.name) AS i "
        "WHERE i.seqno = 0 AND l.partial = 0";
    Owned sql = join_text({"SELECT 7, (SELECT max(rowid) FROM ", table, "), (SELECT max(rowid) FROM temp_", table,
                           "), NULL UNION ALL SELECT 8, (SELECT count(*) FROM ", table,
                           "), (SELECT count(*) FROM temp_", table, "), NULL UNION ALL ", kIndexFirstColumns});
    Owned params = sql ? steal(PyTuple_Pack(1, table)) : Owned();
    if (!params) {
        return -1;
    }
    ExtraRead extra;
    extra.sql = sql.get();
    extra.params = params.get();
    const int alike = tables_read_alike(cursor, table, remote_, extra);
    if (alike <= 0) {
        return alike;
    }
    std::vector<const char*> first_columns;
    bool sized[2] = {false, false};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(extra.rows.get()); ++i) {
        PyObject* row = PyList_GET_ITEM(extra.rows.get(), i);
        if (!is_row(row, 4)) {
            return 0;
        }
        const long tag = PyLong_AsLong(PyTuple_GET_ITEM(row, 0));
        if (tag == 9) {
            const char* name = utf8_of(PyTuple_GET_ITEM(row, 1));
            if (name != nullptr) {
                first_columns.push_back(name);
            }
            continue;
        }
        if (tag != 7 && tag != 8) {
            return PyErr_Occurred() ? -1 : 0;
        }
        sized[tag - 7] = true;
        for (long source : {0L, 1L}) {
            PyObject* value = PyTuple_GET_ITEM(row, 1 + source);
            if (tag == 7) {
                table_rows_[source] = value == Py_None ? 0 : PyFloat_AsDouble(value);
            } else {
                known_count_[source] = PyLong_AsSsize_t(value);
            }
        }
        if (PyErr_Occurred()) {
            return -1;
        }
    }
    if (!sized[0] || !sized[1]) {
        return 0;
    }
    for (const auto& names : rule_names_) {
        const bool indexed = std::any_of(names.begin(), names.end(), [&](const Owned& column) {
            const char* name = utf8_of(column.get());
            return name != nullptr && std::any_of(first_columns.begin(), first_columns.end(),
                                                  [&](const char* first) { return same_name(first, name); });
        });
        if (!indexed && choice_ == FindPlan::automatic) {
            scan_first_ = true;
        }
    }
    return 1;
}

int NewestPlan::read_sizes(Cursor& cursor, PyObject* table) {
    for (long source : {0L, 1L}) {
        Owned sql = join_text({"SELECT max(rowid) FROM ", source ? "temp_" : "", table});
        Owned rows = sql ? cursor.query(sql.get()) : Owned();
        Owned top =
            rows && PyList_GET_SIZE(rows.get()) == 1 ? item_at(PyList_GET_ITEM(rows.get(), 0), Py_ssize_t{0}) : Owned();
        if (!top) {
            return rows ? 0 : -1;
        }
        table_rows_[source] = top.get() == Py_None ? 0 : PyFloat_AsDouble(top.get());
        if (table_rows_[source] == -1 && PyErr_Occurred()) {
            return -1;
        }
    }
    return 1;
}

// A rule the main table has no index for makes scanning cheaper from the
// start.
int NewestPlan::weigh_indexes(Cursor& cursor) {
    for (const GroupRule& rule : rules_) {
        const int indexed = is_indexed(cursor, rule);
        if (indexed < 0) {
            return -1;
        }
        if (!indexed && choice_ == FindPlan::automatic) {
            scan_first_ = true;
        }
    }
    return 1;
}

// Whether SQLite searches the main table through an index for the rule.
int NewestPlan::is_indexed(Cursor& cursor, const GroupRule& rule) {
    return is_indexed(cursor, rule.main_lookup.get(), static_cast<Py_ssize_t>(rule.picks.size()));
}

// Whether SQLite searches through an index in every part of `lookups`.
int NewestPlan::is_indexed(Cursor& cursor, PyObject* lookups, Py_ssize_t params) {
    Owned sql = join_text({"EXPLAIN QUERY PLAN ", lookups});
    Owned nulls = sql ? steal(PyList_New(params)) : Owned();
    for (Py_ssize_t i = 0; nulls && i < PyList_GET_SIZE(nulls.get()); ++i) {
        PyList_SET_ITEM(nulls.get(), i, Py_NewRef(Py_None));
    }
    Owned rows = nulls ? cursor.query(sql.get(), nulls.get()) : Owned();
    if (!rows) {
        return -1;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows.get()); ++i) {
        PyObject* row = PyList_GET_ITEM(rows.get(), i);
        const char* detail = is_row(row, 4) ? utf8_of(PyTuple_GET_ITEM(row, 3)) : nullptr;
        if (detail == nullptr || std::strncmp(detail, "SCAN", 4) == 0) {
            return 0;
        }
    }
    return 1;
}

bool NewestPlan::read_keys(PyObject* row, Bytes& out) const {
    out.clear();
    return PyTuple_Check(row) && PyTuple_GET_SIZE(row) == static_cast<Py_ssize_t>(key_columns_.size()) + 1 &&
           encode_keys(rules_, row, 1, own_columns_, out);
}

void NewestPlan::weigh_scan(Progress& progress) const {
    if (progress.scan_due || choice_ == FindPlan::lookups || choice_ == FindPlan::grouped) {
        return;
    }
    if (choice_ == FindPlan::scan) {
        progress.scan_due = true;
        return;
    }
    const auto nrules = static_cast<double>(rules_.size());
    const Py_ssize_t* expected = progress.expected;
    const Py_ssize_t* answered = progress.answered;
    double candidates = 0;  // still to answer
    if (expected[0] >= 0) {
        candidates = static_cast<double>(expected[0] - answered[0]);
    } else if (expected[1] >= 0) {
        // the main pass likely selects the same share of its table
        const double share = table_rows_[1] > 0 ? static_cast<double>(expected[1]) / table_rows_[1] : 1;
        candidates = static_cast<double>(expected[1] - answered[1]) + std::min(share, 1.0) * table_rows_[0];
    }
    const double lookups = static_cast<double>(progress.main_lookups) + nrules * candidates;
    progress.scan_due = lookups * (remote_ ? kRemoteLookupRows : kLookupRows) > table_rows_[0] + table_rows_[1];
}

// Rounds of lookups answer a pass's candidates when
//   1. no other plan is forced      tests and benchmarks force each one;
//   2. the connection is remote,    on the host a lookup is no round trip, so
//      or rounds are forced         key by key costs no more;
//   3. candidates are stored rows   their keys join components before any
//      as they are (!check_stored)  candidate is checked;
//   4. there are conditions         without them every row is a candidate and
//      (!every_row)                 the scan reads nothing more;
//   5. every rule is indexed        each round searches the main table through
//      (!scan_first)                the rules' indexes;
//   6. rounds cost less than a scan a round is a round trip plus a scan of the
//                                   staging table and an index search per key
//                                   of the candidates read so far; a scan
//                                   reads both tables whole.
// A key JSON cannot carry, or more rounds than the cap, still ends in the
// scan (newest_rounds.hpp).
bool NewestPlan::may_take_rounds() const {
    return (choice_ == FindPlan::rounds || (choice_ == FindPlan::automatic && remote_)) && !check_stored_ &&
           !every_row_ && !scan_first_ && !rules_.empty();
}

bool NewestPlan::takes_rounds(const Progress& progress) const {
    if (!may_take_rounds()) {
        return false;
    }
    if (choice_ == FindPlan::rounds) {
        return true;
    }
    double candidates = 0;
    for (Py_ssize_t expected : progress.expected) {
        candidates += static_cast<double>(std::max<Py_ssize_t>(expected, 0));
    }
    double rows[2];
    for (long from : {0L, 1L}) {
        rows[from] = known_count_[from] >= 0 ? static_cast<double>(known_count_[from]) : table_rows_[from];
    }
    const double keys = static_cast<double>(rules_.size()) * candidates;
    const double round = kRemoteLookupRows + kRoundScanShare * rows[1];
    return kExpectedRounds * round + keys * kRoundKeyRows < kRemoteLookupRows + rows[0] + rows[1];
}

long NewestPlan::staged_lookups_before_groups() const noexcept {
    return choice_ == FindPlan::grouped   ? 0
           : choice_ == FindPlan::lookups ? std::numeric_limits<long>::max()
           : remote_                      ? kRemoteStagedLookups
                                          : kStagedLookups;
}

}  // namespace norvane
