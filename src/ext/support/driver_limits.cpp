// The dqlite driver's parameter limit.
#include "driver_limits.hpp"

#include "profile.hpp"
#include "statement.hpp"

namespace norvane {
namespace {

Retained g_dqlite_connection;  // dqlitedbapi.Connection, once the driver is loaded

constexpr const char* kDriverModule = "dqlitedbapi";

// The driver module when it has been imported (borrowed), else null without an error.
PyObject* loaded_driver() {
    PyObject* modules = PyImport_GetModuleDict();
    Owned name = steal(PyUnicode_FromString(kDriverModule));
    if (!name) {
        return nullptr;
    }
    PyObject* module = PyDict_GetItemWithError(modules, name.get());
    return module;
}

}  // namespace

int is_dqlite_connection(PyObject* conn) {
    if (!g_dqlite_connection) {
        PyObject* driver = loaded_driver();
        if (driver == nullptr) {
            return PyErr_Occurred() ? -1 : 0;
        }
        Owned type = steal(PyObject_GetAttrString(driver, "Connection"));
        if (!type) {
            return -1;
        }
        g_dqlite_connection.keep(std::move(type));
    }
    return Py_IS_TYPE(conn, reinterpret_cast<PyTypeObject*>(g_dqlite_connection.get())) ? 1 : 0;
}

bool within_parameter_limit(PyObject* conn, PyObject* table, Py_ssize_t count) {
    if (count <= kDqliteMaxParameters) {
        return true;
    }
    const int dqlite = is_dqlite_connection(conn);
    if (dqlite <= 0) {
        return dqlite == 0;
    }
    // The driver's connections carry its exception classes (a DB-API extension).
    Owned error = steal(PyObject_GetAttrString(conn, "NotSupportedError"));
    if (!error) {
        return false;
    }
    PyErr_Format(error.get(),
                 "table %R: a statement would bind %zd parameters; the dqlite driver stores values "
                 "correctly only up to %zd per statement",
                 table, count, kDqliteMaxParameters);
    return false;
}

bool rows_fit_driver(PyObject* conn, PyObject* table, PyObject* rows) {
    const int dqlite = is_dqlite_connection(conn);
    if (dqlite <= 0) {
        return dqlite == 0;
    }
    Owned first = item_at(rows, Py_ssize_t{0});
    const Py_ssize_t width = first ? PyObject_Size(first.get()) : -1;
    return width >= 0 && within_parameter_limit(conn, table, width);
}

bool params_fit_driver(PyObject* conn, PyObject* table, PyObject* params) {
    if (params == nullptr || PyDict_Check(params) || !PySequence_Check(params)) {
        return true;  // named parameters: the statement, not the mapping, says how many
    }
    const Py_ssize_t count = PySequence_Size(params);
    return count >= 0 && within_parameter_limit(conn, table, count);
}

}  // namespace norvane
