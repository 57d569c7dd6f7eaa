// find's newest test answered from a pass over the rows of both tables.
#pragma once

#include "newest_plan.hpp"
#include "refs.hpp"
#include "statement.hpp"

#include <memory>

namespace norvane {

// find's newest test answered from a pass over the rows of both tables
// instead of one statement walk per candidate, on the find's own cursor.
// Where only the walk is exact (an observable connection, value factories,
// adapters, converters, collations, odd names, rows that are not stored
// rows, a sqlite3 error on the way), `answer` says so and the walk decides.
class NewestGroups {
public:
    static constexpr int kWalk = 2;

    NewestGroups(Cursor& cursor, PyObject* conn, PyObject* table, PyObject* cols, PyObject* uniques,
                 PyObject* conditions, const FindOptions& options);
    ~NewestGroups();
    NewestGroups(const NewestGroups&) = delete;
    NewestGroups& operator=(const NewestGroups&) = delete;

    // find's statement for the main candidates and its parameters (null for
    // none): without conditions, a scan during the staging pass may run it
    // early and hand its rows on through take_candidates.
    void reuse(PyObject* main_sql, PyObject* params);
    // The candidate rows (a list) of the pass over `source` that starts now:
    // how many there are chooses between key lookups and one scan of each
    // table, and without conditions they are the rows such a scan reads.
    void expect(long source, PyObject* candidates);
    // The rows of `source`'s candidate statement when they were read already
    // (null when not): the statement must then not run again.
    Owned take_candidates(long source);
    // For the fetched candidate `row` of `source`: 1 newest, 0 superseded,
    // kWalk when the walk must decide, -1 with an error set.
    int answer(PyObject* row, long source);
    // The plans that answered candidates so far, a tuple of names out of
    // "lookups", "rounds", "scan" and "walk" in that order.
    Owned plans_taken() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace norvane
