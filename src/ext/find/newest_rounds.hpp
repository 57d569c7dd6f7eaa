// find's newest test in rounds: the keys of all of a pass's candidates are
// followed together, one statement per round (the plan's round: every new
// key of every rule searched through the main table's indexes and in one
// scan of the staging table, the keys bound as JSON arrays), until a round
// brings no new key. The rows found join into components as the lazy engine
// joins them, so a candidate is answered exactly as a walk would answer it.
//
// A key JSON cannot carry exactly, or a chain that needs more than kMaxRounds
// rounds, leaves the pass to one scan of both tables; an engine without
// json_each fails the round, and the walk decides.
#pragma once

#include "components.hpp"
#include "keys.hpp"
#include "newest_engines.hpp"
#include "newest_plan.hpp"
#include "refs.hpp"
#include "statement.hpp"

#include <string>
#include <vector>

namespace norvane {

class RoundsEngine {
public:
    // A long chain takes one round per link: past this many the scan is cheaper.
    static constexpr long kMaxRounds = 6;

    RoundsEngine(Cursor& cursor, const NewestPlan& plan, SignalPoll& poll)
        : cursor_(cursor), plan_(plan), poll_(poll), holders_(plan.rules().size()), pending_(plan.rules().size()) {}

    // Gathers find's candidate rows (rowid, then every column; a list, or
    // null for none) of the staging and the main table and follows their
    // keys to the end: 1 done, 0 when the scan must answer instead (nothing
    // is set), -1 with an error set (or none for a row that cannot be keyed:
    // the walk decides).
    int gather(PyObject* staged, PyObject* main);
    // A candidate gathered before: newest or superseded; unknown otherwise.
    Answer answer(long source, int64_t rowid, const Bytes& keys);

private:
    int add(uint8_t source, int64_t rowid, const Bytes& keys);
    int run_round();
    int join_found(PyObject* rows);

    Cursor& cursor_;
    const NewestPlan& plan_;
    SignalPoll& poll_;
    LazyComponents lazy_;
    std::vector<KeyTable> holders_;     // per rule: key -> a node holding it; each key held is searched
    std::vector<std::string> pending_;  // per rule: the next round's keys, JSON array items
    bool any_pending_ = false;
    Bytes keys_;
};

}  // namespace norvane
