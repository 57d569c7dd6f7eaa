// Grouped staging. One INSERT of many rows costs SQLite one statement step
// instead of one per row, and the host one execute; the rows, their order and
// so their rowids are those of one INSERT per row.
#include "grouped_staging.hpp"

#include <algorithm>
#include <string>
#include <utility>

namespace norvane {
namespace {

// Values per statement stay within SQLite's smallest limit on bound
// parameters; beyond a few hundred rows a statement gains nothing more.
constexpr Py_ssize_t kMaxValues = 999;
constexpr Py_ssize_t kMaxRows = 256;

bool g_grouped = true;

// "INSERT INTO temp_<table> VALUES (?,?),(?,?),...": `rows` groups of `width`.
Owned insert_text(PyObject* table_text, Py_ssize_t width, Py_ssize_t rows) {
    std::string group = "(?";
    for (Py_ssize_t k = 1; k < width; ++k) {
        group += ",?";
    }
    group += ")";
    std::string values;
    values.reserve(static_cast<size_t>(rows) * (group.size() + 1));
    for (Py_ssize_t r = 0; r < rows; ++r) {
        if (r > 0) {
            values += ",";
        }
        values += group;
    }
    Owned text = steal(PyUnicode_FromStringAndSize(values.data(), static_cast<Py_ssize_t>(values.size())));
    return text ? join_text({"INSERT INTO temp_", table_text, " VALUES ", text.get()}) : Owned();
}

// The values of rows [start, start + count) as one flat parameter list.
Owned flat_params(PyObject* rows, Py_ssize_t start, Py_ssize_t count, Py_ssize_t width) {
    Owned params = steal(PyList_New(count * width));
    if (!params) {
        return {};
    }
    if (start + count > PyList_GET_SIZE(rows)) {
        PyErr_SetString(PyExc_RuntimeError, "stage_rows: the list of rows changed size");
        return {};
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* row = PyList_GET_ITEM(rows, start + i);
        if (!PyTuple_CheckExact(row) || PyTuple_GET_SIZE(row) != width) {
            PyErr_Format(PyExc_ValueError, "stage_rows: row %zd is not a tuple of %zd values", start + i,
                         width);
            return {};
        }
        for (Py_ssize_t k = 0; k < width; ++k) {
            PyList_SET_ITEM(params.get(), i * width + k, Py_NewRef(PyTuple_GET_ITEM(row, k)));
        }
    }
    return params;
}

Owned insert_grouped(PyObject* conn, PyObject* table, PyObject* rows, PyObject* comm, Py_ssize_t width) {
    const Py_ssize_t total = PyList_GET_SIZE(rows);
    const Py_ssize_t per = std::max<Py_ssize_t>(1, std::min(kMaxRows, kMaxValues / width));
    Cursor cursor;
    CallTransaction transaction(conn, CallTransaction::Kind::deferred);
    Owned table_text = cursor.open(conn) ? str_of(table) : Owned();
    Owned full = table_text ? insert_text(table_text.get(), width, std::min(per, total)) : Owned();
    if (!full) {
        return {};
    }
    for (Py_ssize_t start = 0; start < total; start += per) {
        const Py_ssize_t count = std::min(per, total - start);
        Owned sql = count == per || count == total ? share(full.get())
                                                   : insert_text(table_text.get(), width, count);
        Owned params = sql ? flat_params(rows, start, count, width) : Owned();
        if (!params || !transaction.begin(cursor) || !cursor.execute(sql.get(), params.get())) {
            return {};
        }
    }
    return transaction.finish(comm);
}

}  // namespace

Owned stage_rows(Args args) {
    PyObject* rows = args[2];
    if (!PyList_CheckExact(rows)) {
        PyErr_SetString(PyExc_TypeError, "stage_rows: rows must be a list of tuples");
        return {};
    }
    if (PyList_GET_SIZE(rows) == 0) {
        return share(Py_None);
    }
    PyObject* first = PyList_GET_ITEM(rows, 0);
    const Py_ssize_t width = PyTuple_CheckExact(first) ? PyTuple_GET_SIZE(first) : 0;
    if (!g_grouped || width == 0 || !is_native_connection(args[0])) {
        return insert_temp(args);
    }
    return insert_grouped(args[0], args[1], rows, args[3], width);
}

bool set_grouped_staging(bool grouped) {
    return std::exchange(g_grouped, grouped);
}

}  // namespace norvane
