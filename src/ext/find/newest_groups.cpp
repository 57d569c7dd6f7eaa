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
//
// This unit runs the answer: the checks and the plan (newest_plan) on the
// first candidate, then the lazy engine until the plan finds one read of
// both tables cheaper, then the scanning one (newest_engines).
#include "newest_groups.hpp"

#include "driver_limits.hpp"
#include "exactness.hpp"
#include "keys.hpp"
#include "newest_engines.hpp"
#include "newest_plan.hpp"
#include "newest_rounds.hpp"
#include "refs.hpp"
#include "statement.hpp"

#include <memory>
#include <new>
#include <string>
#include <utility>

namespace norvane {

namespace {

// The plans that answer candidates, as NewestGroups::plans_taken names them.
constexpr unsigned kLookupsTaken = 0;
constexpr unsigned kRoundsTaken = 1;
constexpr unsigned kScanTaken = 2;
constexpr unsigned kWalkTaken = 3;
constexpr const char* kTakenNames[] = {"lookups", "rounds", "scan", "walk"};

}  // namespace

struct NewestGroups::State {
    enum class Mode { unknown, off, lazy, rounds, scanned };

    Cursor& cursor;
    PyObject* conn;
    NewestQuery query;
    Mode mode = Mode::unknown;
    Owned error_type;  // sqlite3.Error, or the dqlite driver's Error
    std::unique_ptr<const NewestPlan> plan;
    Progress progress;
    PyObject* main_sql = nullptr;  // find's main candidate statement and its parameters
    PyObject* main_params = nullptr;
    Owned staged_candidates;  // the rows of the passes, while they run
    Owned main_candidates;
    std::unique_ptr<LazyEngine> lazy;
    std::unique_ptr<ScanEngine> scanned;
    std::unique_ptr<RoundsEngine> rounds;
    bool pass_started[2] = {false, false};
    bool main_gathered = false;  // the main pass's candidates are in the rounds
    unsigned taken = 0;          // bit per plan that answered a candidate (kTaken)
    SignalPoll poll;
    Bytes buffer;  // the candidate's keys

    State(Cursor& cursor, PyObject* conn, const NewestQuery& query) : cursor(cursor), conn(conn), query(query) {}

    // 1 newest, 0 superseded, kWalk for the walk, -1 error.
    int answer(PyObject* row, long source) {
        if (mode == Mode::unknown) {
            const int usable = NewestPlan::has_linking_rule(query.uniques) ? set_up() : 0;
            if (usable < 0) {
                return -1;
            }
            mode = usable ? Mode::lazy : Mode::off;
        }
        if (mode == Mode::off) {
            taken |= 1U << kWalkTaken;
            return kWalk;
        }
        const int result = answer_on(row, source);
        if (result < 0 && (PyErr_Occurred() == nullptr || PyErr_ExceptionMatches(error_type.get()))) {
            // A sqlite3 error or a row it cannot key: the walk decides from
            // now on, and raises its own error where it should.
            PyErr_Clear();
            mode = Mode::off;
            taken |= 1U << kWalkTaken;
            return kWalk;
        }
        if (result == kWalk) {
            taken |= 1U << kWalkTaken;
        }
        return result;
    }

    // 1: usable, 0: the walk decides everything, -1: error.
    int set_up() {
        const int dqlite = is_native_connection(conn) ? 0 : is_dqlite_connection(conn);
        if (dqlite < 0) {
            return -1;
        }
        query.remote = dqlite > 0;
        error_type = query.remote ? steal(PyObject_GetAttrString(conn, "Error")) : share(host_sqlite3_error());
        if (!error_type) {
            return -1;
        }
        const int as_stored = reads_values_as_stored(conn);
        if (as_stored <= 0) {
            return as_stored;
        }
        query.has_params = main_params != nullptr;
        const int planned = settle_errors(NewestPlan::build(cursor, query, plan));
        if (planned <= 0) {
            return planned;
        }
        progress.scan_due = plan->scan_first();
        lazy = std::make_unique<LazyEngine>(cursor, *plan, progress, poll);
        return 1;
    }

    // A sqlite3 error inside this machinery only switches it off.
    int settle_errors(int status) {
        if (status < 0 && error_type && PyErr_ExceptionMatches(error_type.get())) {
            PyErr_Clear();
            return 0;
        }
        return status;
    }

    int answer_on(PyObject* row, long source) {
        ++progress.answered[source];
        int64_t rowid = 0;
        Bytes& keys = buffer;
        keys.clear();
        if (!rowid_of(row, rowid) || PyTuple_GET_SIZE(row) != PyList_GET_SIZE(query.cols) + 1 ||
            !encode_keys(plan->rules(), row, 1, plan->candidate_columns(), keys)) {
            return kWalk;
        }
        if (plan->check_stored()) {
            const int stored = is_stored(row, source, keys);
            if (stored <= 0) {
                return stored < 0 ? -1 : kWalk;
            }
        }
        if (!pass_started[source] && !start_pass(source)) {
            return -1;
        }
        if (mode == Mode::rounds) {
            const Answer found = rounds->answer(source, rowid, keys);
            return found == Answer::unknown ? kWalk : verdict(found, kRoundsTaken);
        }
        if (mode == Mode::lazy) {
            plan->weigh_scan(progress);
            if (progress.scan_due && !scan_all()) {
                return -1;
            }
        }
        if (mode == Mode::lazy) {
            const Answer lazily = lazy->answer(source, rowid, keys);
            if (lazily != Answer::scan) {
                return verdict(lazily, kLookupsTaken);
            }
            if (!scan_all()) {
                return -1;
            }
        }
        return verdict(scanned->answer(source, rowid), kScanTaken);
    }

    // At a pass's first candidate: its candidates in rounds when the plan
    // takes them, else on as before. The staged pass reads the main pass's
    // candidates at once (that pass then takes them over), so that the rounds
    // follow the keys of both together. Rounds that cannot finish leave the
    // answers to the scan.
    bool start_pass(long source) {
        pass_started[source] = true;
        if ((mode != Mode::lazy && mode != Mode::rounds) || progress.scan_due || !plan->may_take_rounds()) {
            return true;
        }
        if (source && main_sql != nullptr && !main_candidates) {
            main_candidates = cursor.query(main_sql, main_params);
            if (!main_candidates) {
                return false;
            }
            progress.expected[0] = PyList_GET_SIZE(main_candidates.get());
        }
        if (mode == Mode::rounds && !source && main_gathered) {
            return true;
        }
        if (!plan->takes_rounds(progress)) {
            mode = Mode::lazy;
            return true;
        }
        if (!rounds) {
            rounds = std::make_unique<RoundsEngine>(cursor, *plan, poll);
        }
        mode = Mode::rounds;
        int gathered = rounds->gather(source ? staged_candidates.get() : nullptr, main_candidates.get());
        main_gathered = true;
        if (gathered < 0) {
            return false;
        }
        if (gathered == 0) {
            rounds.reset();
            return scan_all();
        }
        return true;
    }

    int verdict(Answer answer, unsigned plan_bit) {
        if (answer == Answer::newest || answer == Answer::superseded) {
            taken |= 1U << plan_bit;
        }
        switch (answer) {
            case Answer::newest:
                return 1;
            case Answer::superseded:
                return 0;
            case Answer::failed:
                return -1;
            default:
                return kWalk;
        }
    }

    // The candidate is the stored row of its rowid, with the same keys.
    int is_stored(PyObject* row, long source, const Bytes& keys) {
        Owned params = steal(PyTuple_Pack(1, PyTuple_GET_ITEM(row, 0)));
        Owned rows = params ? cursor.query(plan->by_rowid(source), params.get()) : Owned();
        if (!rows) {
            return -1;
        }
        if (PyList_GET_SIZE(rows.get()) != 1) {
            return 0;
        }
        Bytes stored;
        if (!plan->read_keys(PyList_GET_ITEM(rows.get(), 0), stored)) {
            return 0;
        }
        return stored == keys;
    }

    // Leaves the lazy engine (or the rounds) for one read of both tables.
    bool scan_all() {
        lazy.reset();
        rounds.reset();
        // Without conditions find's own candidate statements read every row,
        // in rowid order: their rows serve instead of a scan of each table
        // (the main pass then takes the main rows fetched here).
        Owned rows[2];
        if (plan->every_row()) {
            rows[1] = std::move(staged_candidates);
            rows[0] = main_candidates ? share(main_candidates.get())
                      : main_sql      ? cursor.query(main_sql, main_params)
                                      : Owned();
            if (main_sql && !rows[0]) {
                return false;
            }
            main_candidates = share(rows[0].get());
        }
        scanned = std::make_unique<ScanEngine>(*plan, poll);
        if (!scanned->read(cursor, rows)) {
            mode = Mode::off;  // neither engine holds the rows now
            return false;
        }
        mode = Mode::scanned;
        progress.scan_due = false;
        return true;
    }
};

NewestGroups::NewestGroups(Cursor& cursor, PyObject* conn, PyObject* table, PyObject* cols, PyObject* uniques,
                           PyObject* conditions, const FindOptions& options)
    : state_(std::make_unique<State>(cursor, conn,
                                     NewestQuery{table, cols, uniques, conditions, false, false, options})) {}

NewestGroups::~NewestGroups() = default;

void NewestGroups::reuse(PyObject* main_sql, PyObject* params) {
    state_->main_sql = main_sql;
    state_->main_params = params;
}

void NewestGroups::expect(long source, PyObject* candidates) {
    State& s = *state_;
    s.progress.expected[source ? 1 : 0] = PyList_GET_SIZE(candidates);
    // Rows of the pass, for a scan that may come while it runs; the main
    // pass's own reading ends any use of rows fetched before.
    (source ? s.staged_candidates : s.main_candidates) = share(candidates);
    if (!source) {
        s.staged_candidates.reset();
    }
}

Owned NewestGroups::plans_taken() const {
    Owned names = steal(PyTuple_New(0));
    for (unsigned bit = 0; names && bit < 4; ++bit) {
        if ((state_->taken >> bit) & 1U) {
            Owned name = steal(PyUnicode_FromString(kTakenNames[bit]));
            Owned one = name ? steal(PyTuple_Pack(1, name.get())) : Owned();
            names = one ? steal(PySequence_Concat(names.get(), one.get())) : Owned();
        }
    }
    return names;
}

Owned NewestGroups::take_candidates(long source) { return source ? Owned() : std::move(state_->main_candidates); }

int NewestGroups::answer(PyObject* row, long source) {
    try {
        return state_->answer(row, source);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
}

}  // namespace norvane
