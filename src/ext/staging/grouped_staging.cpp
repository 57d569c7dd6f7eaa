// Grouped staging. One INSERT of many rows costs SQLite one statement step
// instead of one per row, and the host one execute; the rows, their order and
// so their rowids are those of one INSERT per row.
#include "grouped_staging.hpp"

#include "call_scope.hpp"
#include "statement.hpp"
#include "storage.hpp"

#include <algorithm>
#include <string>

namespace norvane {
namespace {

// Values per statement stay within SQLite's smallest limit on bound
// parameters; beyond a few hundred rows a statement gains nothing more.
constexpr Py_ssize_t kMaxValues = 999;
constexpr Py_ssize_t kMaxRows = 256;

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

// Where a call's values come from: a list of row tuples, or one flat list of
// values, row after row.
struct Source {
    PyObject* list;
    Py_ssize_t width;
    bool flat;

    Py_ssize_t rows() const { return PyList_GET_SIZE(list) / (flat ? width : 1); }

    // The values of rows [start, start + count) as one parameter list.
    Owned params(Py_ssize_t start, Py_ssize_t count) const {
        if (start + count > rows()) {
            PyErr_SetString(PyExc_RuntimeError, "stage_rows: the list of rows changed size");
            return {};
        }
        if (flat) {
            return steal(PyList_GetSlice(list, start * width, (start + count) * width));
        }
        Owned params = steal(PyList_New(count * width));
        if (!params) {
            return {};
        }
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* row = PyList_GET_ITEM(list, start + i);
            if (!PyTuple_CheckExact(row) || PyTuple_GET_SIZE(row) != width) {
                PyErr_Format(PyExc_ValueError, "stage_rows: row %zd is not a tuple of %zd values", start + i, width);
                return {};
            }
            for (Py_ssize_t k = 0; k < width; ++k) {
                PyList_SET_ITEM(params.get(), i * width + k, Py_NewRef(PyTuple_GET_ITEM(row, k)));
            }
        }
        return params;
    }

    // The rows as a list of tuples, for insert_temp.
    Owned row_list() const {
        if (!flat) {
            return share(list);
        }
        const Py_ssize_t total = rows();
        Owned out = steal(PyList_New(total));
        for (Py_ssize_t i = 0; out && i < total; ++i) {
            Owned row = steal(PyList_GetSlice(list, i * width, (i + 1) * width));
            Owned tuple = row ? steal(PyList_AsTuple(row.get())) : Owned();
            if (!tuple) {
                return {};
            }
            PyList_SET_ITEM(out.get(), i, tuple.release());
        }
        return out;
    }
};

Owned insert_grouped(PyObject* conn, PyObject* table, const Source& source, PyObject* comm) {
    const Py_ssize_t total = source.rows();
    const Py_ssize_t width = source.width;
    const Py_ssize_t per = std::max<Py_ssize_t>(1, std::min(kMaxRows, kMaxValues / width));
    CallScope call(conn);
    Owned table_text = call.open() ? str_of(table) : Owned();
    Owned full = table_text ? insert_text(table_text.get(), width, std::min(per, total)) : Owned();
    if (!full) {
        return {};
    }
    for (Py_ssize_t start = 0; start < total; start += per) {
        const Py_ssize_t count = std::min(per, total - start);
        Owned sql = count == per || count == total ? share(full.get()) : insert_text(table_text.get(), width, count);
        Owned params = sql ? source.params(start, count) : Owned();
        if (!params || !call.begin() || !call.cursor.execute(sql.get(), params.get())) {
            return {};
        }
    }
    return call.finish(comm);
}

Owned stage(PyObject* conn, PyObject* table, const Source& source, PyObject* comm, const StagingOptions& options,
            StagedBy& by) {
    by = StagedBy::statements;
    if (source.rows() == 0) {
        return share(Py_None);
    }
    if (options.grouped && is_native_connection(conn)) {
        by = StagedBy::grouped;
        return insert_grouped(conn, table, source, comm);
    }
    Owned rows = source.row_list();
    if (!rows) {
        return {};
    }
    return insert_temp_with(conn, table, rows.get(), comm, options, by);
}

Owned rows_with(PyObject* conn, PyObject* table, PyObject* rows, PyObject* comm, const StagingOptions& options,
                StagedBy& by) {
    by = StagedBy::statements;
    if (!PyList_CheckExact(rows)) {
        PyErr_SetString(PyExc_TypeError, "stage_rows: rows must be a list of tuples");
        return {};
    }
    if (PyList_GET_SIZE(rows) == 0) {
        return share(Py_None);
    }
    PyObject* first = PyList_GET_ITEM(rows, 0);
    if (!PyTuple_CheckExact(first) || PyTuple_GET_SIZE(first) == 0) {
        return insert_temp_with(conn, table, rows, comm, options, by);
    }
    return stage(conn, table, Source{rows, PyTuple_GET_SIZE(first), false}, comm, options, by);
}

Owned values_with(PyObject* conn, PyObject* table, PyObject* values, Py_ssize_t width, PyObject* comm,
                  const StagingOptions& options, StagedBy& by) {
    by = StagedBy::statements;
    if (!PyList_CheckExact(values) || width <= 0 || PyList_GET_SIZE(values) % width != 0) {
        PyErr_SetString(PyExc_ValueError, "stage_values: values must be a list of whole rows");
        return {};
    }
    return stage(conn, table, Source{values, width, true}, comm, options, by);
}

}  // namespace

Owned stage_rows(PyObject* conn, PyObject* table, PyObject* rows, PyObject* comm) {
    StagedBy by = StagedBy::statements;
    return rows_with(conn, table, rows, comm, StagingOptions{}, by);
}

Owned stage_values(PyObject* conn, PyObject* table, PyObject* values, Py_ssize_t width, PyObject* comm) {
    StagedBy by = StagedBy::statements;
    return values_with(conn, table, values, width, comm, StagingOptions{}, by);
}

Owned stage_with(PyObject* conn, PyObject* table, PyObject* rows, Py_ssize_t width, PyObject* comm,
                 const StagingOptions& options, StagedBy& by) {
    return width == 0 ? rows_with(conn, table, rows, comm, options, by)
                      : values_with(conn, table, rows, width, comm, options, by);
}

}  // namespace norvane
