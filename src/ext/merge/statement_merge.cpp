// The merge one statement per row: staged rows read newest first, each
// claiming its key tuples and looking up the main rows it supersedes, then
// superseded rows out and survivors in through the module's own functions, so
// that a caller who replaced one of them sees the replacement called.
#include "statement_merge.hpp"

#include "binder.hpp"
#include "driver_limits.hpp"
#include "merge_indexes.hpp"
#include "merge_report.hpp"
#include "refs.hpp"
#include "schema.hpp"
#include "set_merge.hpp"
#include "statement.hpp"
#include "transaction.hpp"

#include <cstdint>
#include <vector>

namespace norvane {
namespace {

// The key tuples already claimed under one rule by newer staged rows. No
// tuple is built: a slot names the staged row that claimed a key (its place
// in the scan) and keeps part of the key's hash, 8 bytes in all. Keys compare
// as tuples do, element by element, each by identity or ==. The slots come
// from the interpreter's allocator, so memory tracing sees them.
class ClaimTable {
public:
    ClaimTable(PyObject* staged, PyObject* positions) : staged_(staged), positions_(positions) {}
    ClaimTable(const ClaimTable&) = delete;
    ClaimTable& operator=(const ClaimTable&) = delete;
    ClaimTable(ClaimTable&& other) noexcept
        : staged_(other.staged_),
          positions_(other.positions_),
          slots_(std::exchange(other.slots_, nullptr)),
          mask_(other.mask_) {}
    ~ClaimTable() { PyMem_Free(slots_); }

    // Room for one key per staged row, allocated once: the table is at most
    // seven-eighths full and never has to grow.
    bool reserve() {
        const auto rows = static_cast<size_t>(PyList_GET_SIZE(staged_));
        size_t capacity = 8;
        while (capacity / 8 * 7 <= rows) {
            capacity *= 2;
        }
        slots_ = static_cast<Slot*>(PyMem_Calloc(capacity, sizeof(Slot)));
        if (slots_ == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        mask_ = capacity - 1;
        return true;
    }

    // Claims the key of the staged row at `row_index`: 1 when it was new,
    // 0 when a newer row claimed an equal key already, -1 on error.
    int claim(const std::vector<Owned>& values, Py_ssize_t row_index) {
        Py_hash_t hash = 0;
        if (!key_hash(values, hash)) {
            return -1;
        }
        const auto fragment = static_cast<uint32_t>(hash);
        for (size_t at = static_cast<size_t>(hash) & mask_;; at = (at + 1) & mask_) {
            Slot& slot = slots_[at];
            if (slot.row == 0) {
                slot = Slot{static_cast<uint32_t>(row_index + 1), fragment};
                return 1;
            }
            if (slot.hash == fragment) {
                const int equal = same_key(values, slot.row - 1);
                if (equal != 0) {
                    return equal < 0 ? -1 : 0;
                }
            }
        }
    }

private:
    struct Slot {
        uint32_t row;  // place in the scan + 1; 0 for an empty slot
        uint32_t hash;
    };

    // Equal keys hash alike: equal elements hash alike, combined in order.
    static bool key_hash(const std::vector<Owned>& values, Py_hash_t& out) {
        Py_uhash_t acc = 0x27d4eb2f165667c5ULL;
        for (const Owned& value : values) {
            const Py_hash_t h = PyObject_Hash(value.get());
            if (h == -1) {
                return false;
            }
            acc = (acc ^ static_cast<Py_uhash_t>(h)) * 0x100000001b3ULL;
            acc ^= acc >> 29;
        }
        out = static_cast<Py_hash_t>(acc);
        return true;
    }

    int same_key(const std::vector<Owned>& values, uint32_t stored) {
        PyObject* row = PyList_GET_ITEM(staged_, static_cast<Py_ssize_t>(stored));
        for (size_t k = 0; k < values.size(); ++k) {
            Owned other = item_at(row, PyList_GET_ITEM(positions_, static_cast<Py_ssize_t>(k)));
            if (!other) {
                return -1;
            }
            if (other.get() != values[k].get()) {
                const int equal = PyObject_RichCompareBool(other.get(), values[k].get(), Py_EQ);
                if (equal <= 0) {
                    return equal;
                }
            }
        }
        return 1;
    }

    PyObject* staged_;     // the scanned rows, kept alive by the merge
    PyObject* positions_;  // list of int
    Slot* slots_ = nullptr;
    size_t mask_ = 0;
};

// A uniqueness rule during one merge: its claimed keys and its main-table
// search, prepared once.
struct MergeRule {
    MergeRule(PyObject* staged, PyObject* rule_positions)
        : positions(share(rule_positions)), claimed(staged, rule_positions) {}
    Owned positions;  // list of int
    ClaimTable claimed;
    Owned search;  // "SELECT rowid FROM <t> WHERE a = ? AND b = ? "
    std::vector<Owned> values;
    ParamList params{0};
};

class Merge {
public:
    Merge(PyObject* conn, PyObject* table, ReportClaim& report, IndexPolicy policy)
        : conn_(conn), table_(table), report_(report), policy_(policy) {}

    // Phase 1: columns and rules. Phase 2: the scan, newest first; nothing is
    // written before both are done. The write lock is taken before the first
    // read, so no row can be staged between the scan and the purge.
    bool plan(CallTransaction& transaction) {
        if (!cursor_.open(conn_) || !transaction.begin(cursor_)) {
            return false;
        }
        table_text_ = str_of(table_);
        cols_ = table_text_ ? table_columns(cursor_, table_) : Owned();
        if (!cols_ || !read_rules(cursor_, table_, rules_dict_)) {
            return false;
        }
        origin_ids_ = steal(PySet_New(nullptr));
        docs_ = origin_ids_ ? steal(PyList_New(0)) : Owned();
        Owned sql = docs_ ? join_text({"SELECT * FROM temp_", table_text_, " ORDER BY rowid DESC"}) : Owned();
        staged_ = sql ? cursor_.query(sql.get()) : Owned();
        // The survivors go back one row per statement, a value per column:
        // checked before anything is written.
        if (!staged_ || (PyList_GET_SIZE(staged_.get()) > 0 && !rows_fit_driver(conn_, table_, staged_.get())) ||
            !collect_rules()) {
            return false;
        }
        ProgressPoll poll(report_, PyList_GET_SIZE(staged_.get()));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(staged_.get()); ++i) {
            if (!poll.tick() || !scan_row(PyList_GET_ITEM(staged_.get(), i), i)) {
                return false;
            }
        }
        return true;
    }

    // Phase 3: indexes off, superseded rows out, survivors in (newest first),
    // staging emptied, indexes rebuilt. A small burst into a large table
    // keeps the indexes that the rebuild would recreate unchanged.
    bool apply() {
        PyObject* conn = conn_;
        PyObject* table = table_;
        MergeIndexes indexes(policy_);
        const Py_ssize_t changes = PySet_GET_SIZE(origin_ids_.get()) + PyList_GET_SIZE(docs_.get());
        if (!indexes.plan(cursor_, table, changes)) {
            return false;
        }
        const bool dropped = indexes.keeps_any() ? indexes.drop_the_rest(cursor_, conn)
                                                 : bool(call_module<Fn::drop_table_index>(conn, table, Py_False));
        if (!dropped || !call_module<Fn::delete_row_main>(conn, table, origin_ids_.get(), Py_False) ||
            !call_module<Fn::insert_main>(conn, table, docs_.get(), Py_False)) {
            return false;
        }
        return purge_staging(cursor_, table_text_.get()) && call_module<Fn::active_table_index>(conn, table, Py_False);
    }

    // What the merge did, told once it is done (and before it commits, so a
    // progress callable that raises still rolls it back).
    bool report() {
        MergeCounts counts;
        counts.staged = PyList_GET_SIZE(staged_.get());
        counts.inserted = PyList_GET_SIZE(docs_.get());
        counts.replaced = PySet_GET_SIZE(origin_ids_.get());
        counts.superseded = counts.staged - counts.inserted;
        report_.record(counts);
        return report_.report(counts.staged, counts.staged);
    }

private:
    bool collect_rules() {
        if (PyList_GET_SIZE(staged_.get()) >= Py_ssize_t{UINT32_MAX}) {
            PyErr_SetString(PyExc_OverflowError, "too many staged rows for one merge");
            return false;
        }
        PyObject* key = nullptr;
        PyObject* positions = nullptr;
        Py_ssize_t pos = 0;
        while (PyDict_Next(rules_dict_.get(), &pos, &key, &positions)) {
            rules_.emplace_back(staged_.get(), positions);
            if (!rules_.back().claimed.reserve()) {
                return false;
            }
        }
        return true;
    }

    // The row's values at the rule's positions; the search text is built the
    // first time, from the column names at the same positions.
    bool rule_values(MergeRule& rule, PyObject* row) {
        const Py_ssize_t n = PyList_GET_SIZE(rule.positions.get());
        const bool first_use = !rule.search && n > 0;
        std::vector<Owned> column_names;
        rule.values.clear();
        for (Py_ssize_t k = 0; k < n; ++k) {
            PyObject* position = PyList_GET_ITEM(rule.positions.get(), k);
            if (first_use) {
                Owned column = item_at(cols_.get(), position);
                if (!column) {
                    return false;
                }
                column_names.push_back(std::move(column));
            }
            Owned value = item_at(row, position);
            if (!value) {
                return false;
            }
            rule.values.push_back(std::move(value));
        }
        if (first_use) {
            Owned where = column_search(column_names);
            rule.search = where ? join_text({"SELECT rowid FROM ", table_text_, " WHERE ", where}) : Owned();
            rule.params = ParamList(n);
            if (!rule.search) {
                return false;
            }
        }
        return true;
    }

    // Main rows holding the rule's values are superseded.
    bool collect_superseded(MergeRule& rule) {
        if (!rule.params.prepare()) {
            return false;
        }
        for (size_t k = 0; k < rule.values.size(); ++k) {
            rule.params.set(static_cast<Py_ssize_t>(k), rule.values[k].get());
        }
        Owned found = cursor_.query(rule.search.get(), rule.params.get());
        if (!found) {
            return false;
        }
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(found.get()); ++i) {
            Owned rowid = item_at(PyList_GET_ITEM(found.get(), i), Py_ssize_t{0});
            if (!rowid || PySet_Add(origin_ids_.get(), rowid.get()) < 0) {
                return false;
            }
        }
        return true;
    }

    // Every rule is evaluated, also after the row is known to be discarded: a
    // discarded row still claims its other tuples and supersedes main rows.
    bool scan_row(PyObject* row, Py_ssize_t row_index) {
        bool duplicate = false;
        for (MergeRule& rule : rules_) {
            if (!rule_values(rule, row)) {
                return false;
            }
            const int fresh = rule.claimed.claim(rule.values, row_index);
            if (fresh <= 0) {
                if (fresh < 0) {
                    return false;
                }
                duplicate = true;
                continue;
            }
            if (!rule.values.empty() && !collect_superseded(rule)) {
                return false;
            }
        }
        return duplicate || PyList_Append(docs_.get(), row) == 0;
    }

    PyObject* conn_;
    PyObject* table_;
    ReportClaim& report_;
    IndexPolicy policy_;
    Cursor cursor_;
    Owned table_text_;
    Owned cols_;
    Owned rules_dict_;
    Owned staged_;
    Owned origin_ids_;
    Owned docs_;
    std::vector<MergeRule> rules_;
};

}  // namespace

bool merge_by_statements(PyObject* conn, PyObject* table, CallTransaction& transaction, ReportClaim& report,
                         IndexPolicy indexes) {
    Merge merge(conn, table, report, indexes);
    return merge.plan(transaction) && merge.apply() && merge.report();
}

}  // namespace norvane
