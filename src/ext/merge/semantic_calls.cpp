// The native steps of the Table's own merge (semantic_calls.hpp).
#include "semantic_calls.hpp"

#include "binder.hpp"
#include "interruptible.hpp"
#include "merge_indexes.hpp"
#include "statement.hpp"

namespace norvane {

PyObject* interruptible_call(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_Format(PyExc_TypeError, "interruptible() takes exactly 2 arguments (%zd given)", nargs);
        return nullptr;
    }
    PyObject* conn = args[0];
    if (!is_native_connection(conn)) {
        return PyObject_CallNoArgs(args[1]);  // the driver's network waits answer Ctrl-C anyway
    }
    Interruptible interrupts(conn);
    if (!interrupts.install()) {
        return nullptr;
    }
    Owned result = steal(PyObject_CallNoArgs(args[1]));
    return interrupts.settle() && result ? result.release() : nullptr;
}

namespace {

bool size_of(PyObject* value, Py_ssize_t& out) {
    out = PyLong_AsSsize_t(value);
    return !(out == -1 && PyErr_Occurred());
}

}  // namespace

PyObject* with_index_plan(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 9) {
        PyErr_Format(PyExc_TypeError, "with_index_plan() takes exactly 9 arguments (%zd given)", nargs);
        return nullptr;
    }
    PyObject* conn = args[0];
    PyObject* table = args[1];
    PyObject* count = args[4];
    Py_ssize_t at_least = 0;
    Py_ssize_t at_most = 0;
    if (!size_of(args[2], at_least) || !size_of(args[3], at_most)) {
        return nullptr;
    }
    Cursor cursor;
    if (!cursor.open(conn)) {
        return nullptr;
    }
    MergeIndexes indexes;
    if (args[5] != Py_None) {
        indexes.know_schema_rows(share(args[5]));
    }
    if (args[6] != Py_None || args[5] != Py_None) {
        indexes.know_largest_rowid(share(args[6]));
    }
    const auto exact = [count](Py_ssize_t& changes) {
        if (count == Py_None) {
            return true;
        }
        Owned number = steal(PyObject_CallNoArgs(count));
        return number && size_of(number.get(), changes);
    };
    if (!indexes.plan(cursor, table, at_least, at_most, exact)) {
        return nullptr;
    }
    Owned prepared = steal(PyObject_CallOneArg(args[7], indexes.keeps_any() ? Py_True : Py_False));
    if (!prepared) {
        return nullptr;
    }
    const bool dropped = indexes.keeps_any() ? indexes.drop_the_rest(cursor, conn)
                                             : bool(call_module<Fn::drop_table_index>(conn, table, Py_False));
    Owned result = dropped ? steal(PyObject_CallNoArgs(args[8])) : Owned();
    if (!result) {
        return nullptr;
    }
    if (!indexes.rebuilds_nothing() && !call_module<Fn::active_table_index>(conn, table, Py_False)) {
        return nullptr;
    }
    return result.release();
}

}  // namespace norvane
