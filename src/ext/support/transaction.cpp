// Transactions of one call. A writing call that finds no transaction open
// opens its own, so that everything it does (DDL included) commits or rolls
// back as one; inside a transaction the caller opened it changes nothing. find
// reads one snapshot the same way and always rolls its own back.
#include "transaction.hpp"

#include "driver_requests.hpp"
#include "names.hpp"
#include "refs.hpp"
#include "statement.hpp"

namespace norvane {
namespace {

constexpr const char* kBegin[] = {"BEGIN DEFERRED", "BEGIN IMMEDIATE", "BEGIN DEFERRED"};

// conn.in_transaction: 1 or 0; -1 when the connection has no such attribute
// (it then gets no transaction of ours); -2 on any other error.
int in_transaction(PyObject* conn) {
    Owned value = steal(PyObject_GetAttr(conn, names().in_transaction));
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return -1;
        }
        return -2;
    }
    const int truth = PyObject_IsTrue(value.get());
    return truth < 0 ? -2 : truth;
}

// The host's own connection in autocommit=True mode, where commit() and
// rollback() do nothing: only a COMMIT of our own ends what we opened.
int commits_by_itself(PyObject* conn) {
    if (!is_native_connection(conn)) {
        return 0;
    }
    Owned mode = steal(PyObject_GetAttr(conn, names().autocommit));
    if (!mode) {
        return -1;
    }
    return mode.get() == Py_True ? 1 : 0;
}

bool run_text(Cursor& cursor, const char* statement) {
    Owned sql = steal(PyUnicode_FromString(statement));
    return sql && cursor.execute(sql.get());
}

}  // namespace

bool CallTransaction::begin(Cursor& cursor) {
    if (checked_) {
        return true;
    }
    checked_ = true;
    const int open = in_transaction(conn_);
    if (open < -1) {
        return false;
    }
    if (open != 0) {
        // the caller's transaction, or a connection without one
        return open < 0 || spill_off(conn_, nullptr) >= 0;
    }
    const char* statement = kBegin[static_cast<int>(kind_)];
    const int sent = spill_off(conn_, statement);
    if (sent < 0 || (sent == 0 && !run_text(cursor, statement))) {
        return false;
    }
    cursor_.adopt(cursor);
    opened_ = true;
    return true;
}

Owned CallTransaction::finish(PyObject* comm) {
    const int requested = compare(comm, Py_True, Py_EQ);
    if (requested < 0) {
        return {};
    }
    if (requested && !steal(PyObject_CallMethodNoArgs(conn_, names().commit))) {
        return {};
    }
    if (opened_) {
        const int by_itself = requested ? 1 : commits_by_itself(conn_);
        if (by_itself < 0 || (by_itself && !commit_if_open())) {
            return {};
        }
    }
    finished_ = true;
    return share(Py_None);
}

bool CallTransaction::commit_if_open() {
    const int open = in_transaction(conn_);
    if (open < -1) {
        return false;
    }
    return open <= 0 || run_text(cursor_, "COMMIT");
}

// Ends what we opened and did not finish: a failed writing call, or any find.
// The pending exception (if any) propagates unchanged; errors of the rollback
// itself are dropped.
CallTransaction::~CallTransaction() {
    if (!opened_ || finished_) {
        return;
    }
    PendingError pending;
    if (kind_ != Kind::snapshot && in_transaction(conn_) > 0) {
        (void)steal(PyObject_CallMethodNoArgs(conn_, names().rollback));
        PyErr_Clear();
    }
    if (in_transaction(conn_) > 0) {
        (void)run_text(cursor_, "ROLLBACK");
    }
    PyErr_Clear();
}

}  // namespace norvane
