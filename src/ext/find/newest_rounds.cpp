// find's newest test in rounds (see newest_rounds.hpp).
#include "newest_rounds.hpp"

#include "components.hpp"
#include "keys.hpp"
#include "newest_engines.hpp"
#include "newest_plan.hpp"
#include "refs.hpp"
#include "statement.hpp"

namespace norvane {

int RoundsEngine::gather(PyObject* staged, PyObject* main) {
    for (long source : {1L, 0L}) {
        PyObject* rows = source ? staged : main;
        for (Py_ssize_t i = 0; rows != nullptr && i < PyList_GET_SIZE(rows); ++i) {
            PyObject* row = PyList_GET_ITEM(rows, i);
            int64_t rowid = 0;
            keys_.clear();
            // A row that cannot be keyed is left to the walk, as each candidate is.
            if (!rowid_of(row, rowid) || !encode_keys(plan_.rules(), row, 1, plan_.candidate_columns(), keys_)) {
                continue;
            }
            const int added = add(static_cast<uint8_t>(source), rowid, keys_);
            if (added <= 0) {
                return added;
            }
        }
    }
    for (long rounds = 0; any_pending_; ++rounds) {
        if (rounds == kMaxRounds) {
            return 0;
        }
        const int ran = run_round();
        if (ran <= 0) {
            return ran;
        }
    }
    return 1;
}

Answer RoundsEngine::answer(long source, int64_t rowid, const Bytes& keys) {
    const uint32_t known = lazy_.count();
    const uint32_t n = lazy_.node(static_cast<uint8_t>(source), rowid, keys.data(), keys.size());
    if (n == known) {
        return Answer::unknown;  // not gathered: its component is not known
    }
    return lazy_.newer(lazy_.newest(n), n) ? Answer::superseded : Answer::newest;
}

// The row's node joined with the holders of its keys; its keys not searched
// yet go into the next round. 1, or 0 for a key JSON cannot carry.
int RoundsEngine::add(uint8_t source, int64_t rowid, const Bytes& keys) {
    const uint32_t n = lazy_.node(source, rowid, keys.data(), keys.size());
    bool carried = true;
    each_key(keys.data(), plan_.rules().size(), [&](size_t r, const unsigned char* key, size_t size) {
        if (size == 0) {
            return true;  // a NULL links nothing
        }
        const uint32_t holder = holders_[r].find_or_add(key, size, n);
        if (holder != kNone) {
            lazy_.join(n, holder);
            return true;
        }
        // A key first seen: searched in the next round.
        std::string& items = pending_[r];
        items.push_back(items.empty() ? '[' : ',');
        carried = key_as_json(key, size, items);
        any_pending_ = true;
        return carried;
    });
    return carried ? 1 : 0;
}

// One round: every pending key of every rule in one statement.
int RoundsEngine::run_round() {
    const auto nrules = static_cast<Py_ssize_t>(pending_.size());
    Owned params = steal(PyTuple_New(2 * nrules));
    for (Py_ssize_t r = 0; params && r < nrules; ++r) {
        std::string& items = pending_[static_cast<size_t>(r)];
        items.append(items.empty() ? "[]" : "]");
        Owned text = steal(PyUnicode_FromStringAndSize(items.data(), static_cast<Py_ssize_t>(items.size())));
        if (!text) {
            return -1;
        }
        PyTuple_SET_ITEM(params.get(), nrules + r, Py_NewRef(text.get()));
        PyTuple_SET_ITEM(params.get(), r, text.release());
        items.clear();
    }
    any_pending_ = false;
    Owned rows = params ? cursor_.query(plan_.round(), params.get()) : Owned();
    if (!rows) {
        return -1;
    }
    return join_found(rows.get());
}

// The rows of a round: (rowid, key columns..., source). 1, 0 when a key
// JSON cannot carry turns up, -1 (without an error: the walk decides) for a
// row it cannot key, or with one.
int RoundsEngine::join_found(PyObject* rows) {
    const auto width = static_cast<Py_ssize_t>(plan_.own_columns().size()) + 2;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows); ++i) {
        PyObject* row = PyList_GET_ITEM(rows, i);
        if (!poll_.tick()) {
            return -1;
        }
        int64_t rowid = 0;
        PyObject* source = is_row(row, width) ? PyTuple_GET_ITEM(row, width - 1) : nullptr;
        const long from = source != nullptr && PyLong_CheckExact(source) ? PyLong_AsLong(source) : -1;
        keys_.clear();
        if ((from != 0 && from != 1) || !rowid_of(row, rowid) ||
            !encode_keys(plan_.rules(), row, 1, plan_.own_columns(), keys_)) {
            PyErr_Clear();
            return -1;
        }
        const int added = add(static_cast<uint8_t>(from), rowid, keys_);
        if (added <= 0) {
            return added;
        }
    }
    return 1;
}

}  // namespace norvane
