// find's newest test answered from a pass over the rows.
//
// A row is superseded exactly when its linkage component (the rows reachable
// through chains of equal rule values, in both tables) holds a newer row. So
// instead of one statement walk per candidate, the rows are gathered into
// components with a union-find over (source, rowid) nodes: lazily, one rule
// key at a time through the indexed searches of the main table while few
// candidates need it, or all at once from one scan of each table when that is
// cheaper (without conditions, the rows of find's own candidate statements
// serve as that scan). Keys hold the values as SQL `=` compares them (NULL
// links nothing, 1 = 1.0, '1' != 1, b'1' != '1'), so a component is the one
// the walk meets.
//
// Only where that holds is this used: an exact host connection without row
// factory, text factory, adapters or converters that could change a value,
// plain names, matching staging and main declarations without collations.
// Everything else, and any sqlite3 error on the way, leaves the answer to the
// walk. The big structures live in PyMem, so tracemalloc sees them.
#include "exactness.hpp"
#include "keys.hpp"
#include "norvane.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <vector>

namespace norvane {
namespace {

// ------------------------------------------------------------ components ---

// Nodes gathered lazily, key by key, with the keys each node still has to
// follow on a pending list per component.
class LazyComponents {
public:
    // The node for (source, rowid), created with its keys when new.
    uint32_t node(uint8_t source, int64_t rowid, const unsigned char* keys, size_t size) {
        if ((rowid_.size() + 1) * 2 > slots_.size()) {
            grow();
        }
        const size_t mask = slots_.size() - 1;
        size_t s = slot_of(source, rowid) & mask;
        for (;; s = (s + 1) & mask) {
            const uint32_t n = slots_[s];
            if (n == kNone) {
                break;
            }
            if (rowid_[n] == rowid && source_[n] == source) {
                return n;
            }
        }
        const auto n = static_cast<uint32_t>(rowid_.size());
        slots_[s] = n;
        rowid_.push_back(rowid);
        source_.push_back(source);
        parent_.push_back(n);
        size_.push_back(1);
        newest_.push_back(n);
        pending_next_.push_back(n);  // its own keys are yet to be followed
        pending_last_.push_back(n);
        keys_at_.push_back(static_cast<uint32_t>(keys_.size()));
        keys_.insert(keys_.end(), keys, keys + size);
        return n;
    }

    uint32_t root(uint32_t n) {
        while (parent_[n] != n) {
            parent_[n] = parent_[parent_[n]];
            n = parent_[n];
        }
        return n;
    }

    void join(uint32_t a, uint32_t b) {
        a = root(a);
        b = root(b);
        if (a == b) {
            return;
        }
        if (size_[a] > size_[b]) {
            std::swap(a, b);
        }
        parent_[a] = b;
        size_[b] += size_[a];
        if (newer(newest_[a], newest_[b])) {
            newest_[b] = newest_[a];
        }
        // Both pending lists are circular: swapping two successors splices them.
        const uint32_t la = pending_last_[a];
        const uint32_t lb = pending_last_[b];
        if (la != kNone) {
            if (lb != kNone) {
                std::swap(pending_next_[la], pending_next_[lb]);
            }
            pending_last_[b] = la;
        }
    }

    bool newer(uint32_t a, uint32_t b) const {
        return source_[a] > source_[b] || (source_[a] == source_[b] && rowid_[a] > rowid_[b]);
    }
    uint32_t newest(uint32_t n) { return newest_[root(n)]; }

    // A node of the component whose keys are yet to be followed, or kNone.
    uint32_t take_pending(uint32_t r) {
        const uint32_t last = pending_last_[r];
        if (last == kNone) {
            return kNone;
        }
        const uint32_t first = pending_next_[last];
        if (first == last) {
            pending_last_[r] = kNone;
        } else {
            pending_next_[last] = pending_next_[first];
        }
        return first;
    }
    void put_back(uint32_t r, uint32_t n) {
        const uint32_t last = pending_last_[r];
        if (last == kNone) {
            pending_next_[n] = n;
            pending_last_[r] = n;
        } else {
            pending_next_[n] = pending_next_[last];
            pending_next_[last] = n;
        }
    }

    KeyCursor keys(uint32_t n) const { return {keys_.data() + keys_at_[n]}; }

private:
    static size_t slot_of(uint8_t source, int64_t rowid) {
        uint64_t h = (static_cast<uint64_t>(rowid) << 1 | source) * 0x9e3779b97f4a7c15ull;
        return static_cast<size_t>(h ^ (h >> 31));
    }

    void grow() {
        grow_slots(slots_, static_cast<uint32_t>(rowid_.size()),
                   [this](uint32_t n) { return slot_of(source_[n], rowid_[n]); });
    }

    Vec<uint32_t> slots_;
    Vec<int64_t> rowid_;
    Vec<uint8_t> source_;
    Vec<uint32_t> parent_;
    Vec<uint32_t> size_;
    Vec<uint32_t> newest_;
    Vec<uint32_t> pending_next_;
    Vec<uint32_t> pending_last_;  // per component root
    Vec<uint32_t> keys_at_;
    Bytes keys_;
};

// Every row of both tables, from one scan of each: main rows first, then
// staged rows, each in rowid order, so a node's number is its age and a
// component's root is its newest row.
class ScannedComponents {
public:
    void reserve(size_t rows) {
        rowids_.reserve(rows);
        parent_.reserve(rows);
    }
    // Adds the next row (rowids ascending within a table); false when not.
    bool add(int64_t rowid) {
        const size_t n = rowids_.size();
        if (n > table_start_ && rowid <= rowids_.back()) {
            return false;
        }
        rowids_.push_back(rowid);
        parent_.push_back(static_cast<uint32_t>(n));
        return true;
    }
    void start_staged() { staged_from_ = table_start_ = rowids_.size(); }
    uint32_t last() const { return static_cast<uint32_t>(rowids_.size() - 1); }

    void join(uint32_t a, uint32_t b) {
        a = root(a);
        b = root(b);
        if (a != b) {
            parent_[std::min(a, b)] = std::max(a, b);
        }
    }
    uint32_t root(uint32_t n) {
        while (parent_[n] != n) {
            parent_[n] = parent_[parent_[n]];
            n = parent_[n];
        }
        return n;
    }
    // The node of (source, rowid), or kNone.
    uint32_t find(long source, int64_t rowid) const {
        const auto begin = rowids_.begin() + (source ? static_cast<std::ptrdiff_t>(staged_from_) : 0);
        const auto end = source ? rowids_.end() : rowids_.begin() + static_cast<std::ptrdiff_t>(staged_from_);
        const auto at = std::lower_bound(begin, end, rowid);
        return at != end && *at == rowid ? static_cast<uint32_t>(at - rowids_.begin()) : kNone;
    }

private:
    Vec<int64_t> rowids_;
    Vec<uint32_t> parent_;
    size_t staged_from_ = 0;
    size_t table_start_ = 0;
};

FindPlan g_plan = FindPlan::automatic;

}  // namespace

void set_find_plan(FindPlan plan) { g_plan = plan; }

// ------------------------------------------------------------ the groups ---

struct NewestGroups::State {
    enum class Mode { unknown, off, lazy, scanned };

    Cursor& cursor;
    PyObject* conn;
    PyObject* table;
    PyObject* cols;
    PyObject* uniques;
    PyObject* conditions;
    Mode mode = Mode::unknown;
    bool check_stored = true;
    Owned error_type;  // sqlite3.Error
    std::vector<GroupRule> rules;
    std::vector<Py_ssize_t> key_columns;  // column numbers the statements select, after rowid
    Owned by_rowid[2];                    // by source: SELECT <key cols> ... WHERE rowid = ?
    Owned scan[2];                        // by source: every row, in rowid order
    Owned count_rows[2];                  // by source: SELECT count(*)
    double table_rows[2] = {0, 0};        // max(rowid) by source, an estimate of the size
    Py_ssize_t expected[2] = {-1, -1};    // candidates of each pass, when known
    Py_ssize_t answered[2] = {0, 0};
    bool every_row = false;      // no conditions: the candidates are all rows, in rowid order
    PyObject* main_sql = nullptr;     // find's main candidate statement and its parameters
    PyObject* main_params = nullptr;
    Owned staged_candidates;     // the rows of the passes, while they run
    Owned main_candidates;
    long main_lookups = 0;
    long staged_lookups = 0;
    bool staged_loaded = false;
    bool scan_due = false;
    LazyComponents lazy;
    std::vector<KeyTable> done;           // per rule: keys whose rows are all joined
    std::vector<KeyTable> staged_groups;  // per rule: key -> a staged node holding it
    ScannedComponents scanned;
    SignalPoll poll;
    Bytes buffer;     // the candidate's keys
    Bytes scan_keys;  // the keys of a row being scanned

    State(Cursor& cursor, PyObject* conn, PyObject* table, PyObject* cols, PyObject* uniques,
          PyObject* conditions)
        : cursor(cursor), conn(conn), table(table), cols(cols), uniques(uniques), conditions(conditions) {}

    // ------------------------------------------------------------ setup --

    // 1: usable, 0: the walk decides everything, -1: error.
    int set_up() {
        const int usable = guards_hold();
        if (usable <= 0) {
            return usable;
        }
        return settle_errors(read_tables());
    }

    // A sqlite3 error inside this machinery only switches it off.
    int settle_errors(int status) {
        if (status < 0 && error_type && PyErr_ExceptionMatches(error_type.get())) {
            PyErr_Clear();
            return 0;
        }
        return status;
    }

    int guards_hold() {
        error_type = share(host_sqlite3_error());
        const int as_stored = reads_values_as_stored(conn);
        if (as_stored <= 0) {
            return as_stored;
        }
        const int rules_ok = build_rules();
        if (rules_ok <= 0) {
            return rules_ok;
        }
        return settle_errors(compares_numbers_exactly(cursor));
    }

    // Rules with their columns checked, and the statements over them.
    int build_rules() {
        const Py_ssize_t ncols = PyList_GET_SIZE(cols);
        for (Py_ssize_t i = 0; i < ncols; ++i) {
            const char* name = utf8_of(PyList_GET_ITEM(cols, i));
            if (name == nullptr || PyOS_stricmp(name, "rowid") == 0 || PyOS_stricmp(name, "oid") == 0 ||
                PyOS_stricmp(name, "_rowid_") == 0) {
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
        while (PyDict_Next(uniques, &pos, &key, &positions)) {
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
                if (std::find(key_columns.begin(), key_columns.end(), c) == key_columns.end()) {
                    key_columns.push_back(c);
                }
            }
        }
        Owned select = steal(PyUnicode_FromString("rowid"));
        for (Py_ssize_t c : key_columns) {
            select = select ? join_text({select, ",", PyList_GET_ITEM(cols, c)}) : Owned();
        }
        Owned staged_from = select ? join_text({"SELECT ", select, " FROM temp_", table}) : Owned();
        Owned main_from = staged_from ? join_text({"SELECT ", select, " FROM ", table}) : Owned();
        if (!main_from) {
            return -1;
        }
        for (const auto& columns : columns_of) {
            GroupRule rule;
            std::vector<Owned> names;
            for (Py_ssize_t c : columns) {
                const auto at = std::find(key_columns.begin(), key_columns.end(), c);
                rule.picks.push_back(static_cast<size_t>(at - key_columns.begin()));
                names.push_back(share(PyList_GET_ITEM(cols, c)));
            }
            Owned where = column_search(names);
            rule.staged_lookup = where ? join_text({staged_from, " WHERE ", where}) : Owned();
            rule.main_lookup = rule.staged_lookup ? join_text({main_from, " WHERE ", where}) : Owned();
            if (!rule.main_lookup) {
                return -1;
            }
            rules.push_back(std::move(rule));
        }
        by_rowid[1] = join_text({staged_from, " WHERE rowid = ?"});
        by_rowid[0] = by_rowid[1] ? join_text({main_from, " WHERE rowid = ?"}) : Owned();
        scan[1] = by_rowid[0] ? join_text({staged_from, " ORDER BY rowid"}) : Owned();
        scan[0] = scan[1] ? join_text({main_from, " ORDER BY rowid"}) : Owned();
        count_rows[1] = scan[0] ? join_text({"SELECT count(*) FROM temp_", table}) : Owned();
        count_rows[0] = count_rows[1] ? join_text({"SELECT count(*) FROM ", table}) : Owned();
        const char* conditions_text = utf8_of(conditions);
        check_stored = conditions_text == nullptr || !selects_stored_rows(conditions_text);
        every_row = conditions_text != nullptr &&
                    std::string(conditions_text).find_first_not_of(" \t\r\n") == std::string::npos &&
                    main_params == nullptr;
        done.resize(rules.size());
        staged_groups.resize(rules.size());
        return count_rows[0] ? 1 : -1;
    }

    // Both tables: ordinary rowid tables without collations, declared alike,
    // no converter on a declared type; then their sizes and search plans.
    int read_tables() {
        const int alike = tables_read_alike(cursor, table);
        if (alike <= 0) {
            return alike;
        }
        for (long source : {0L, 1L}) {
            Owned sql = join_text({"SELECT max(rowid) FROM ", source ? "temp_" : "", table});
            Owned rows = sql ? cursor.query(sql.get()) : Owned();
            Owned top = rows && PyList_GET_SIZE(rows.get()) == 1 ? item_at(PyList_GET_ITEM(rows.get(), 0), Py_ssize_t{0})
                                                                  : Owned();
            if (!top) {
                return rows ? 0 : -1;
            }
            table_rows[source] = top.get() == Py_None ? 0 : PyFloat_AsDouble(top.get());
            if (table_rows[source] == -1 && PyErr_Occurred()) {
                return -1;
            }
        }
        mode = Mode::lazy;
        for (const GroupRule& rule : rules) {
            const int indexed = is_indexed(rule);
            if (indexed < 0) {
                return -1;
            }
            if (!indexed && g_plan == FindPlan::automatic) {
                scan_due = true;
            }
        }
        return 1;
    }

    // Whether SQLite searches the main table through an index for the rule.
    int is_indexed(const GroupRule& rule) {
        Owned sql = join_text({"EXPLAIN QUERY PLAN ", rule.main_lookup});
        Owned nulls = sql ? steal(PyList_New(static_cast<Py_ssize_t>(rule.picks.size()))) : Owned();
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

    // Whether to read both tables whole instead of following keys one by one.
    // A main lookup through the host module costs about what reading eight
    // rows of a scan does (measured on the find benchmarks).
    static constexpr double kLookupRows = 8;
    void plan_scan() {
        if (scan_due || mode != Mode::lazy || g_plan == FindPlan::lookups || g_plan == FindPlan::grouped) {
            return;
        }
        if (g_plan == FindPlan::scan) {
            scan_due = true;
            return;
        }
        const auto nrules = static_cast<double>(rules.size());
        double candidates = 0;  // still to answer
        if (expected[0] >= 0) {
            candidates = static_cast<double>(expected[0] - answered[0]);
        } else if (expected[1] >= 0) {
            // the main pass likely selects the same share of its table
            const double share = table_rows[1] > 0 ? static_cast<double>(expected[1]) / table_rows[1] : 1;
            candidates = static_cast<double>(expected[1] - answered[1]) + std::min(share, 1.0) * table_rows[0];
        }
        const double lookups = static_cast<double>(main_lookups) + nrules * candidates;
        scan_due = lookups * kLookupRows > table_rows[0] + table_rows[1];
    }

    // ------------------------------------------------------------ reads --

    // The rowid of a fetched row, when it is an exact integer.
    static bool rowid_of(PyObject* row, int64_t& rowid) {
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

    // The keys of a row read by this unit's statements (rowid, key columns).
    bool read_keys(PyObject* row, Bytes& out) {
        out.clear();
        return PyTuple_Check(row) && PyTuple_GET_SIZE(row) == static_cast<Py_ssize_t>(key_columns.size()) + 1 &&
               encode_keys(rules, row, 1, identity_columns(), out);
    }
    const std::vector<Py_ssize_t>& identity_columns() {
        if (identity.size() != key_columns.size()) {
            identity.clear();
            for (size_t i = 0; i < key_columns.size(); ++i) {
                identity.push_back(static_cast<Py_ssize_t>(i));
            }
        }
        return identity;
    }
    std::vector<Py_ssize_t> identity;

    // The parameters of a rule's lookup: the values of one key.
    Owned key_values(const unsigned char* key, size_t size) {
        Owned values = steal(PyList_New(0));
        const unsigned char* p = key;
        while (values && p < key + size) {
            Owned value = decode_value(p);
            if (!value || PyList_Append(values.get(), value.get()) < 0) {
                return {};
            }
        }
        return values;
    }

    // ----------------------------------------------------------- answers --

    // 1 newest, 0 superseded, kWalk for the walk, -1 error.
    int answer(PyObject* row, long source) {
        if (mode == Mode::unknown) {
            const int usable = has_linking_rule() ? set_up() : 0;
            if (usable < 0) {
                return -1;
            }
            mode = usable ? mode : Mode::off;
        }
        if (mode == Mode::off) {
            return kWalk;
        }
        const int result = answer_on(row, source);
        if (result < 0 && (PyErr_Occurred() == nullptr || PyErr_ExceptionMatches(error_type.get()))) {
            // A sqlite3 error or a row it cannot key: the walk decides from
            // now on, and raises its own error where it should.
            PyErr_Clear();
            mode = Mode::off;
            return kWalk;
        }
        return result;
    }

    // Without a rule that has columns the walk runs no statement at all.
    bool has_linking_rule() const {
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

    int answer_on(PyObject* row, long source) {
        ++answered[source];
        int64_t rowid = 0;
        Bytes& keys = buffer;
        keys.clear();
        if (!rowid_of(row, rowid) || PyTuple_GET_SIZE(row) != PyList_GET_SIZE(cols) + 1 ||
            !encode_keys(rules, row, 1, key_columns, keys)) {
            return kWalk;
        }
        if (check_stored) {
            const int stored = is_stored(row, source, keys);
            if (stored <= 0) {
                return stored < 0 ? -1 : kWalk;
            }
        }
        plan_scan();
        if (scan_due && mode == Mode::lazy && !scan_all()) {
            return -1;
        }
        return mode == Mode::scanned ? answer_scanned(source, rowid) : answer_lazy(source, rowid, keys);
    }

    // The candidate is the stored row of its rowid, with the same keys.
    int is_stored(PyObject* row, long source, const Bytes& keys) {
        Owned params = steal(PyTuple_Pack(1, PyTuple_GET_ITEM(row, 0)));
        Owned rows = params ? cursor.query(by_rowid[source].get(), params.get()) : Owned();
        if (!rows) {
            return -1;
        }
        if (PyList_GET_SIZE(rows.get()) != 1) {
            return 0;
        }
        Bytes stored;
        if (!read_keys(PyList_GET_ITEM(rows.get(), 0), stored)) {
            return 0;
        }
        return stored == keys;
    }

    int answer_scanned(long source, int64_t rowid) {
        const uint32_t n = scanned.find(source, rowid);
        if (n == kNone) {
            return kWalk;
        }
        return scanned.root(n) == n ? 1 : 0;
    }

    int answer_lazy(long source, int64_t rowid, const Bytes& keys) {
        const uint32_t candidate = lazy.node(static_cast<uint8_t>(source), rowid, keys.data(), keys.size());
        for (;;) {
            if (scan_due) {
                return scan_all() ? answer_scanned(source, rowid) : -1;
            }
            if (lazy.newer(lazy.newest(candidate), candidate)) {
                return 0;
            }
            const uint32_t u = lazy.take_pending(lazy.root(candidate));
            if (u == kNone) {
                return 1;
            }
            // A copy: reading rows may move the node storage that holds them.
            const KeyCursor stored = lazy.keys(u);
            KeyCursor end = stored;
            for (size_t r = 0; r < rules.size(); ++r) {
                const unsigned char* key = nullptr;
                size_t size = 0;
                end.next(key, size);
            }
            const Bytes own(stored.p, end.p);
            KeyCursor at{own.data()};
            for (size_t r = 0; r < rules.size(); ++r) {
                const unsigned char* key = nullptr;
                size_t size = 0;
                at.next(key, size);
                if (size == 0 || done[r].find(key, size) != kNone) {
                    continue;
                }
                // Staged rows first, as the walk searches: a newer one ends
                // the test before the main table is searched. The key counts
                // as done once both tables are joined; until then u, which may
                // hold keys still to follow, stays pending.
                if (!join_staged(u, r, key, size)) {
                    return -1;
                }
                if (lazy.newer(lazy.newest(candidate), candidate)) {
                    lazy.put_back(lazy.root(candidate), u);
                    return 0;
                }
                if (!join_main(u, r, key, size)) {
                    return -1;
                }
                done[r].find_or_add(key, size, u);
                if (lazy.newer(lazy.newest(candidate), candidate)) {
                    lazy.put_back(lazy.root(candidate), u);
                    return 0;
                }
            }
        }
    }

    // Joins every row that a lookup returns with node u.
    bool join_rows(uint32_t u, PyObject* rows, uint8_t source) {
        Bytes keys;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows); ++i) {
            PyObject* row = PyList_GET_ITEM(rows, i);
            int64_t rowid = 0;
            if (!poll.tick()) {
                return false;
            }
            if (!rowid_of(row, rowid) || !read_keys(row, keys)) {
                return foreign_row();
            }
            lazy.join(u, lazy.node(source, rowid, keys.data(), keys.size()));
        }
        return true;
    }

    // A row this unit cannot key: false without an error, and the walk takes over.
    static bool foreign_row() { return false; }

    bool join_staged(uint32_t u, size_t r, const unsigned char* key, size_t size) {
        const long before_groups = g_plan == FindPlan::grouped  ? 0
                                   : g_plan == FindPlan::lookups ? std::numeric_limits<long>::max()
                                                                 : kStagedLookups;
        if (!staged_loaded && ++staged_lookups > before_groups && !load_staged()) {
            return false;
        }
        if (staged_loaded) {
            const uint32_t holder = staged_groups[r].find(key, size);
            if (holder != kNone) {
                lazy.join(u, holder);
            }
            return true;
        }
        Owned values = key_values(key, size);
        Owned rows = values ? cursor.query(rules[r].staged_lookup.get(), values.get()) : Owned();
        return rows && join_rows(u, rows.get(), 1);
    }

    bool join_main(uint32_t u, size_t r, const unsigned char* key, size_t size) {
        Owned values = key_values(key, size);
        Owned rows = values ? cursor.query(rules[r].main_lookup.get(), values.get()) : Owned();
        if (!rows) {
            return false;
        }
        ++main_lookups;
        plan_scan();
        return join_rows(u, rows.get(), 0);
    }

    // After a few scans of the staging table for one key each, it is read
    // once into per-rule groups of the rows sharing a key.
    static constexpr long kStagedLookups = 64;
    bool load_staged() {
        if (!cursor.execute(scan[1].get())) {
            return false;
        }
        Bytes keys;
        while (Owned row = cursor.next_row()) {
            int64_t rowid = 0;
            if (!poll.tick()) {
                return false;
            }
            if (!rowid_of(row.get(), rowid) || !read_keys(row.get(), keys)) {
                return foreign_row();
            }
            const uint32_t n = lazy.node(1, rowid, keys.data(), keys.size());
            KeyCursor at{keys.data()};
            for (size_t r = 0; r < rules.size(); ++r) {
                const unsigned char* key = nullptr;
                size_t size = 0;
                at.next(key, size);
                if (size == 0) {
                    continue;
                }
                const uint32_t holder = staged_groups[r].find_or_add(key, size, n);
                if (holder != kNone) {
                    lazy.join(n, holder);
                }
            }
        }
        if (PyErr_Occurred()) {
            return false;
        }
        staged_loaded = true;
        return true;
    }

    // Reads both tables whole and joins every pair of rows sharing a key.
    bool scan_all() {
        lazy = LazyComponents();
        done.clear();
        staged_groups.clear();
        // Without conditions find's own candidate statements read every row,
        // in rowid order: their rows serve instead of a scan of each table
        // (the main pass then takes the main rows fetched here).
        Owned rows[2];
        if (every_row) {
            rows[1] = std::move(staged_candidates);
            rows[0] = main_candidates ? share(main_candidates.get())
                      : main_sql      ? cursor.query(main_sql, main_params)
                                      : Owned();
            if (main_sql && !rows[0]) {
                return false;
            }
            main_candidates = share(rows[0].get());
        }
        // Exactly as much room as there are rows: no spare capacity from growth.
        size_t total = 0;
        for (long source : {0L, 1L}) {
            const Py_ssize_t n = rows[source] ? PyList_GET_SIZE(rows[source].get()) : count(source);
            if (n < 0) {
                return false;
            }
            total += static_cast<size_t>(n);
        }
        scanned.reserve(total);
        std::vector<KeyTable> holders(rules.size());
        for (long source : {0L, 1L}) {
            if (source) {
                scanned.start_staged();
            }
            if (rows[source]) {
                for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows[source].get()); ++i) {
                    if (!scan_row(PyList_GET_ITEM(rows[source].get(), i), key_columns, holders)) {
                        return false;
                    }
                }
                continue;
            }
            if (!cursor.execute(scan[source].get())) {
                return false;
            }
            while (Owned row = cursor.next_row()) {
                if (!scan_row(row.get(), identity_columns(), holders)) {
                    return false;
                }
            }
            if (PyErr_Occurred()) {
                return false;
            }
        }
        mode = Mode::scanned;
        scan_due = false;
        return true;
    }

    // The number of rows of a table, or -1 on error.
    Py_ssize_t count(long source) {
        Owned rows = cursor.query(count_rows[source].get());
        Owned value = rows && PyList_GET_SIZE(rows.get()) == 1 ? item_at(PyList_GET_ITEM(rows.get(), 0), Py_ssize_t{0})
                                                               : Owned();
        return value ? PyLong_AsSsize_t(value.get()) : -1;
    }

    // Adds one row of a scan (rowid first, then `columns` hold the key
    // columns) and joins it with the earlier holders of its keys.
    bool scan_row(PyObject* row, const std::vector<Py_ssize_t>& columns, std::vector<KeyTable>& holders) {
        int64_t rowid = 0;
        if (!poll.tick()) {
            return false;
        }
        Bytes& keys = scan_keys;
        keys.clear();
        if (!rowid_of(row, rowid) || !encode_keys(rules, row, 1, columns, keys) || !scanned.add(rowid)) {
            return foreign_row();
        }
        const uint32_t n = scanned.last();
        KeyCursor at{keys.data()};
        for (size_t r = 0; r < rules.size(); ++r) {
            const unsigned char* key = nullptr;
            size_t size = 0;
            at.next(key, size);
            const uint32_t holder = size ? holders[r].find_or_add(key, size, n) : kNone;
            if (holder != kNone) {
                scanned.join(n, holder);
            }
        }
        return true;
    }
};

NewestGroups::NewestGroups(Cursor& cursor, PyObject* conn, PyObject* table, PyObject* cols,
                           PyObject* uniques, PyObject* conditions)
    : state_(new State(cursor, conn, table, cols, uniques, conditions)) {}

NewestGroups::~NewestGroups() { delete state_; }

void NewestGroups::reuse(PyObject* main_sql, PyObject* params) {
    state_->main_sql = main_sql;
    state_->main_params = params;
}

void NewestGroups::expect(long source, PyObject* candidates) {
    State& s = *state_;
    s.expected[source ? 1 : 0] = PyList_GET_SIZE(candidates);
    // Rows of the pass, for a scan that may come while it runs; the main
    // pass's own reading ends any use of rows fetched before.
    (source ? s.staged_candidates : s.main_candidates) = share(candidates);
    if (!source) {
        s.staged_candidates.reset();
    }
}

Owned NewestGroups::take_candidates(long source) {
    return source ? Owned() : std::move(state_->main_candidates);
}

int NewestGroups::answer(PyObject* row, long source) {
    try {
        return state_->answer(row, source);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
}

}  // namespace norvane
