// The transaction of each call: BEGIN where the caller has none open, COMMIT
// or ROLLBACK at its end.
#pragma once

#include "refs.hpp"
#include "statement.hpp"

namespace norvane {

// The transaction of one call. `begin` runs right before the call's first
// statement: when `conn.in_transaction` is False it executes BEGIN on the
// call's cursor, and everything after runs in that transaction; inside the
// caller's transaction (or on a connection without `in_transaction`) it does
// nothing. On a dqlite connection it first turns cache spill off (once per
// session, in the BEGIN's request where it sends one; driver_requests.hpp). A writing call ends with `finish`; a transaction it opened and did
// not finish (it failed) is rolled back when this object goes, leaving the
// pending exception as it was. A snapshot (find) is always rolled back.
class CallTransaction {
public:
    enum class Kind { deferred, immediate, snapshot };
    CallTransaction(PyObject* conn, Kind kind) : conn_(conn), kind_(kind) {}
    CallTransaction(const CallTransaction&) = delete;
    CallTransaction& operator=(const CallTransaction&) = delete;
    ~CallTransaction();

    bool begin(Cursor& cursor);
    // Commits when `comm == True` holds (conn.commit(), then COMMIT if what we
    // opened is still open); what we opened on a connection that commits by
    // itself is committed whatever `comm` says. Returns None, null on error.
    Owned finish(PyObject* comm);

private:
    bool commit_if_open();

    PyObject* conn_;
    Kind kind_;
    Cursor cursor_;  // the call's cursor, for COMMIT and ROLLBACK
    bool checked_ = false;
    bool opened_ = false;
    bool finished_ = false;
};

}  // namespace norvane
