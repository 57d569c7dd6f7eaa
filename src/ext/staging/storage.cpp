// Row storage: staging and main inserts, and deletion by rowid.
//
// This is the hot path. Each statement text is built once per call and the
// same str object is executed for every row, so the host's statement cache
// finds it with one cached hash; per-row work stays in C++.
#include "storage.hpp"

#include "call_scope.hpp"
#include "driver_limits.hpp"
#include "json_staging.hpp"
#include "refs.hpp"
#include "statement.hpp"
#include "transaction.hpp"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace norvane {
namespace {

// "?" once per value of the first row, at least once: "?,?,?".
Owned placeholders(PyObject* rows) {
    Owned first = item_at(rows, Py_ssize_t{0});
    const Py_ssize_t width = first ? PyObject_Size(first.get()) : -1;
    if (width < 0) {
        return {};
    }
    std::string text = "?";
    for (Py_ssize_t k = 1; k < width; ++k) {
        text += ",?";
    }
    return steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// "<head> Values (?,?,...)", executed once per row with the row's values as a
// list. The host's own cursor reads tuple and list rows without keeping them,
// so those go as they are. The call's transaction begins before the first row.
bool insert_rows(Cursor& cursor, CallTransaction& transaction, PyObject* head, PyObject* rows) {
    Owned val_str = placeholders(rows);
    Owned tail = val_str ? join_text({" Values (", val_str, ")"}) : Owned();
    Owned sql = tail ? steal(PyNumber_Add(head, tail.get())) : Owned();
    Owned iterator = sql ? steal(PyObject_GetIter(rows)) : Owned();
    if (!iterator) {
        return false;
    }
    while (Owned row = steal(PyIter_Next(iterator.get()))) {
        const bool as_is = cursor.native() && (PyTuple_CheckExact(row.get()) || PyList_CheckExact(row.get()));
        Owned params = as_is ? std::move(row) : steal(PySequence_List(row.get()));
        if (!params || !transaction.begin(cursor) || !cursor.execute(sql.get(), params.get())) {
            return false;
        }
    }
    return !PyErr_Occurred();
}

}  // namespace

Owned insert_temp(PyObject* conn, PyObject* table, PyObject* rows, PyObject* comm) {
    StagedBy by = StagedBy::statements;
    return insert_temp_with(conn, table, rows, comm, StagingOptions{}, by);
}

Owned insert_temp_with(PyObject* conn, PyObject* table, PyObject* rows, PyObject* comm, const StagingOptions& options,
                       StagedBy& by) {
    by = StagedBy::statements;
    const Py_ssize_t count = PyObject_Size(rows);
    if (count <= 0) {
        return count < 0 ? Owned() : share(Py_None);
    }
    CallScope call(conn);
    if (!call.open()) {
        return {};
    }
    Owned table_text = str_of(table);
    if (!table_text) {
        return {};
    }
    // Where each statement is a round trip, a few statements carry the rows
    // as JSON when the values allow; otherwise one statement per row.
    const int as_json =
        options.as_json ? stage_as_json(conn, call.cursor, call.transaction, table_text.get(), rows) : 0;
    if (as_json != 0) {
        by = StagedBy::json;
        return as_json > 0 ? call.finish(comm) : Owned();
    }
    if (!rows_fit_driver(conn, table, rows)) {
        return {};
    }
    Owned head = join_text({"INSERT INTO temp_", table_text});
    if (!head || !insert_rows(call.cursor, call.transaction, head.get(), rows)) {
        return {};
    }
    return call.finish(comm);
}

Owned insert_main(PyObject* conn, PyObject* table, PyObject* rows, PyObject* comm) {
    CallScope call(conn);
    if (!call.open()) {
        return {};
    }
    const Py_ssize_t count = PyObject_Size(rows);
    if (count <= 0) {
        return count < 0 ? Owned() : share(Py_None);
    }
    if (!rows_fit_driver(conn, table, rows)) {
        return {};
    }
    // The table joins by concatenation: a table that is not a str is a TypeError.
    Owned into = steal(PyUnicode_FromString("INSERT INTO "));
    Owned head = into ? steal(PyNumber_Add(into.get(), table)) : Owned();
    if (!head || !insert_rows(call.cursor, call.transaction, head.get(), rows)) {
        return {};
    }
    return call.finish(comm);
}

// Each id is bound as a value, never spliced: an id is only ever a rowid.
Owned delete_row_main(PyObject* conn, PyObject* table, PyObject* ids, PyObject* comm) {
    CallScope call(conn);
    if (!call.open()) {
        return {};
    }
    Owned iterator = steal(PyObject_GetIter(ids));
    if (!iterator) {
        return {};
    }
    Owned sql;
    ParamList params(1);
    while (Owned id = steal(PyIter_Next(iterator.get()))) {
        if (!sql) {
            Owned table_text = str_of(table);
            sql = table_text ? join_text({"DELETE FROM ", table_text, " WHERE rowid = ?"}) : Owned();
            if (!sql) {
                return {};
            }
        }
        if (!params.prepare()) {
            return {};
        }
        params.set(0, id.get());
        if (!call.begin() || !call.cursor.execute(sql.get(), params.get())) {
            return {};
        }
    }
    if (PyErr_Occurred()) {
        return {};
    }
    return call.finish(comm);
}

}  // namespace norvane
