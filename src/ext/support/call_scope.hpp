// The cursor and transaction of one writing call, opened the way every body
// opens them.
#pragma once

#include "refs.hpp"
#include "statement.hpp"
#include "transaction.hpp"

namespace norvane {

// One call's cursor on the caller's connection and its transaction on that
// cursor (transaction.hpp). The transaction goes before the cursor, so a
// transaction left unfinished is rolled back while the cursor still exists.
class CallScope {
public:
    explicit CallScope(PyObject* conn, CallTransaction::Kind kind = CallTransaction::Kind::deferred)
        : conn_(conn), transaction(conn, kind) {}
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;

    // conn.cursor(); false on error.
    bool open() { return cursor.open(conn_); }
    // BEGIN where the caller has no transaction open, on the open cursor.
    bool begin() { return transaction.begin(cursor); }
    // Both, for a body whose first statement comes at once.
    bool open_and_begin() { return open() && begin(); }
    // COMMIT or not as `comm` says (CallTransaction::finish).
    Owned finish(PyObject* comm) { return transaction.finish(comm); }

private:
    PyObject* conn_;

public:
    Cursor cursor;
    CallTransaction transaction;
};

}  // namespace norvane
