// The native steps of the Table's own merge (semantic_calls.hpp).
#include "semantic_calls.hpp"

#include "binder.hpp"
#include "interruptible.hpp"
#include "merge_indexes.hpp"
#include "statement.hpp"

#include <utility>

namespace norvane {

Owned interruptible_call(PyObject* conn, PyObject* fn) {
    if (!is_native_connection(conn)) {
        return steal(PyObject_CallNoArgs(fn));  // the driver's network waits answer Ctrl-C anyway
    }
    Interruptible interrupts(conn);
    if (!interrupts.install()) {
        return {};
    }
    Owned result = steal(PyObject_CallNoArgs(fn));
    return interrupts.settle() && result ? std::move(result) : Owned();
}

namespace {

bool size_of(PyObject* value, Py_ssize_t& out) {
    out = PyLong_AsSsize_t(value);
    return !(out == -1 && PyErr_Occurred());
}

}  // namespace

Owned with_index_plan(PyObject* conn, PyObject* table, Py_ssize_t at_least, Py_ssize_t at_most, PyObject* count,
                      PyObject* schema_rows, PyObject* largest_rowid, PyObject* prepare, PyObject* write,
                      PyObject* policy) {
    IndexPolicy chosen = IndexPolicy::automatic;
    Cursor cursor;
    if (!index_policy_named(policy, "with_index_plan", chosen) || !cursor.open(conn)) {
        return {};
    }
    MergeIndexes indexes(chosen);
    // Schema rows come from the Table's merge with the catalog's after them.
    if (schema_rows != Py_None && !indexes.know_schema_rows(share(schema_rows), true)) {
        return {};
    }
    if (largest_rowid != Py_None || schema_rows != Py_None) {
        indexes.know_largest_rowid(share(largest_rowid));
    }
    const auto exact = [count](Py_ssize_t& changes) {
        if (count == Py_None) {
            return true;
        }
        Owned number = steal(PyObject_CallNoArgs(count));
        return number && size_of(number.get(), changes);
    };
    if (!indexes.plan(cursor, table, at_least, at_most, exact)) {
        return {};
    }
    Owned prepared = steal(PyObject_CallOneArg(prepare, indexes.keeps_any() ? Py_True : Py_False));
    if (!prepared) {
        return {};
    }
    Owned result = indexes.drop(cursor, conn, table) ? steal(PyObject_CallNoArgs(write)) : Owned();
    return result && indexes.rebuild(cursor, conn, table) ? std::move(result) : Owned();
}

}  // namespace norvane
