// The lazy and the scanning engines of find's newest groups (see
// newest_engines.hpp).
#include "newest_engines.hpp"

#include "components.hpp"
#include "keys.hpp"
#include "newest_plan.hpp"
#include "refs.hpp"
#include "statement.hpp"

namespace norvane {
namespace {

// A row an engine cannot key: false without an error, and the walk takes over.
bool foreign_row() { return false; }

}  // namespace

// ---------------------------------------------------------------- lazy ---

Answer LazyEngine::answer(long source, int64_t rowid, const Bytes& keys) {
    const uint32_t candidate = lazy_.node(static_cast<uint8_t>(source), rowid, keys.data(), keys.size());
    for (;;) {
        if (progress_.scan_due) {
            return Answer::scan;
        }
        if (superseded(candidate)) {
            return Answer::superseded;
        }
        const uint32_t u = lazy_.take_pending(lazy_.root(candidate));
        if (u == kNone) {
            return Answer::newest;
        }
        const int followed = follow_keys(candidate, u);
        if (followed <= 0) {
            return followed < 0 ? Answer::failed : Answer::superseded;
        }
    }
}

// Follows the keys of node u not followed yet: 1 when they all are, 0 when
// the candidate turned out superseded on the way (u stays pending), -1 on error.
int LazyEngine::follow_keys(uint32_t candidate, uint32_t u) {
    const size_t nrules = plan_.rules().size();
    // A copy: reading rows may move the node storage that holds them.
    const unsigned char* stored = lazy_.keys(u).p;
    const unsigned char* end = each_key(stored, nrules, [](size_t, const unsigned char*, size_t) { return true; });
    const Bytes own(stored, end);
    int outcome = 1;
    each_key(own.data(), nrules, [&](size_t r, const unsigned char* key, size_t size) {
        if (size == 0 || done_[r].find(key, size) != kNone) {
            return true;
        }
        outcome = follow_key(candidate, u, r, key, size);
        return outcome > 0;
    });
    return outcome;
}

// Staged rows first, as the walk searches: a newer one ends the test before
// the main table is searched. The key counts as done once both tables are
// joined; until then u, which may hold keys still to follow, stays pending.
int LazyEngine::follow_key(uint32_t candidate, uint32_t u, size_t r, const unsigned char* key, size_t size) {
    if (!join_staged(u, r, key, size)) {
        return -1;
    }
    if (superseded(candidate)) {
        lazy_.put_back(lazy_.root(candidate), u);
        return 0;
    }
    if (!join_main(u, r, key, size)) {
        return -1;
    }
    done_[r].find_or_add(key, size, u);
    if (superseded(candidate)) {
        lazy_.put_back(lazy_.root(candidate), u);
        return 0;
    }
    return 1;
}

// Joins every row that a lookup returns with node u.
bool LazyEngine::join_rows(uint32_t u, PyObject* rows, uint8_t source) {
    Bytes keys;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows); ++i) {
        PyObject* row = PyList_GET_ITEM(rows, i);
        int64_t rowid = 0;
        if (!poll_.tick()) {
            return false;
        }
        if (!rowid_of(row, rowid) || !plan_.read_keys(row, keys)) {
            return foreign_row();
        }
        lazy_.join(u, lazy_.node(source, rowid, keys.data(), keys.size()));
    }
    return true;
}

bool LazyEngine::join_staged(uint32_t u, size_t r, const unsigned char* key, size_t size) {
    if (!staged_loaded_ && ++staged_lookups_ > plan_.staged_lookups_before_groups() && !load_staged()) {
        return false;
    }
    if (staged_loaded_) {
        const uint32_t holder = staged_groups_[r].find(key, size);
        if (holder != kNone) {
            lazy_.join(u, holder);
        }
        return true;
    }
    Owned values = key_values(key, size);
    Owned rows = values ? cursor_.query(plan_.rules()[r].staged_lookup.get(), values.get()) : Owned();
    return rows && join_rows(u, rows.get(), 1);
}

bool LazyEngine::join_main(uint32_t u, size_t r, const unsigned char* key, size_t size) {
    Owned values = key_values(key, size);
    Owned rows = values ? cursor_.query(plan_.rules()[r].main_lookup.get(), values.get()) : Owned();
    if (!rows) {
        return false;
    }
    ++progress_.main_lookups;
    plan_.weigh_scan(progress_);
    return join_rows(u, rows.get(), 0);
}

// The staging table read once into per-rule groups of the rows sharing a key.
bool LazyEngine::load_staged() {
    if (!cursor_.execute(plan_.scan(1))) {
        return false;
    }
    Bytes keys;
    while (Owned row = cursor_.next_row()) {
        int64_t rowid = 0;
        if (!poll_.tick()) {
            return false;
        }
        if (!rowid_of(row.get(), rowid) || !plan_.read_keys(row.get(), keys)) {
            return foreign_row();
        }
        const uint32_t n = lazy_.node(1, rowid, keys.data(), keys.size());
        each_key(keys.data(), plan_.rules().size(), [&](size_t r, const unsigned char* key, size_t size) {
            const uint32_t holder = size ? staged_groups_[r].find_or_add(key, size, n) : kNone;
            if (holder != kNone) {
                lazy_.join(n, holder);
            }
            return true;
        });
    }
    if (PyErr_Occurred()) {
        return false;
    }
    staged_loaded_ = true;
    return true;
}

// ---------------------------------------------------------------- scan ---

bool ScanEngine::read(Cursor& cursor, const Owned (&rows)[2]) {
    // Exactly as much room as there are rows: no spare capacity from growth.
    size_t total = 0;
    for (long source : {0L, 1L}) {
        const Py_ssize_t n = rows[source] ? PyList_GET_SIZE(rows[source].get()) : count(cursor, source);
        if (n < 0) {
            return false;
        }
        total += static_cast<size_t>(n);
    }
    scanned_.reserve(total);
    std::vector<KeyTable> holders(plan_.rules().size());
    if (!rows[0] && !rows[1] && plan_.scan_both()) {
        return read_both(cursor, holders);
    }
    for (long source : {0L, 1L}) {
        if (source) {
            scanned_.start_staged();
        }
        if (rows[source]) {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows[source].get()); ++i) {
                if (!add_row(PyList_GET_ITEM(rows[source].get(), i), plan_.candidate_columns(), holders)) {
                    return false;
                }
            }
            continue;
        }
        if (!cursor.execute(plan_.scan(source))) {
            return false;
        }
        while (Owned row = cursor.next_row()) {
            if (!add_row(row.get(), plan_.own_columns(), holders)) {
                return false;
            }
        }
        if (PyErr_Occurred()) {
            return false;
        }
    }
    return true;
}

Answer ScanEngine::answer(long source, int64_t rowid) {
    const uint32_t n = scanned_.find(source, rowid);
    if (n == kNone) {
        return Answer::unknown;
    }
    return scanned_.root(n) == n ? Answer::newest : Answer::superseded;
}

// Both tables from one statement, main first: each row ends with its source.
bool ScanEngine::read_both(Cursor& cursor, std::vector<KeyTable>& holders) {
    if (!cursor.execute(plan_.scan_both())) {
        return false;
    }
    const Py_ssize_t source_at = static_cast<Py_ssize_t>(plan_.own_columns().size()) + 1;
    bool staged = false;
    while (Owned row = cursor.next_row()) {
        if (!staged) {
            PyObject* source = is_row(row.get(), source_at + 1) ? PyTuple_GET_ITEM(row.get(), source_at) : nullptr;
            if (source == nullptr || !PyLong_CheckExact(source)) {
                return foreign_row();
            }
            if (PyLong_AsLong(source) != 0) {
                scanned_.start_staged();
                staged = true;
            }
        }
        if (!add_row(row.get(), plan_.own_columns(), holders)) {
            return false;
        }
    }
    if (PyErr_Occurred()) {
        return false;
    }
    if (!staged) {
        scanned_.start_staged();
    }
    return true;
}

// The number of rows of a table, or -1 on error.
Py_ssize_t ScanEngine::count(Cursor& cursor, long source) {
    if (plan_.known_count(source) >= 0) {
        return plan_.known_count(source);
    }
    Owned rows = cursor.query(plan_.count_rows(source));
    Owned value =
        rows && PyList_GET_SIZE(rows.get()) == 1 ? item_at(PyList_GET_ITEM(rows.get(), 0), Py_ssize_t{0}) : Owned();
    return value ? PyLong_AsSsize_t(value.get()) : -1;
}

// Adds one row of a scan (rowid first, then `columns` hold the key columns)
// and joins it with the earlier holders of its keys.
bool ScanEngine::add_row(PyObject* row, const std::vector<Py_ssize_t>& columns, std::vector<KeyTable>& holders) {
    int64_t rowid = 0;
    if (!poll_.tick()) {
        return false;
    }
    keys_.clear();
    if (!rowid_of(row, rowid) || !encode_keys(plan_.rules(), row, 1, columns, keys_) || !scanned_.add(rowid)) {
        return foreign_row();
    }
    const uint32_t n = scanned_.last();
    each_key(keys_.data(), plan_.rules().size(), [&](size_t r, const unsigned char* key, size_t size) {
        const uint32_t holder = size ? holders[r].find_or_add(key, size, n) : kNone;
        if (holder != kNone) {
            scanned_.join(n, holder);
        }
        return true;
    });
    return true;
}

}  // namespace norvane
