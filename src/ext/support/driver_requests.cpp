// Cache spill off on dqlite connections (see driver_requests.hpp).
#include "driver_requests.hpp"

#include "driver_limits.hpp"
#include "refs.hpp"

namespace norvane {
namespace {

// Functions of norvane.connections, once a dqlite connection came by.
Retained g_spill_off;
Retained g_execute_together;

PyObject* connections_function(Retained& slot, const char* name) {
    if (!slot) {
        Owned module = steal(PyImport_ImportModule("norvane.connections"));
        Owned function = module ? steal(PyObject_GetAttrString(module.get(), name)) : Owned();
        if (!function) {
            return nullptr;
        }
        slot.keep(std::move(function));
    }
    return slot.get();
}

}  // namespace

int spill_off(PyObject* conn, const char* begin) {
    const int dqlite = is_dqlite_connection(conn);
    if (dqlite <= 0) {
        return dqlite;
    }
    PyObject* function = connections_function(g_spill_off, "spill_off");
    if (function == nullptr) {
        return -1;
    }
    Owned statement = begin != nullptr ? steal(PyUnicode_FromString(begin)) : share(Py_None);
    Owned sent = statement ? steal(PyObject_CallFunctionObjArgs(function, conn, statement.get(), nullptr)) : Owned();
    return sent ? PyObject_IsTrue(sent.get()) : -1;
}

int run_together(PyObject* conn, const std::vector<Owned>& statements) {
    const int dqlite = is_dqlite_connection(conn);
    if (dqlite <= 0) {
        return dqlite;
    }
    // A ';' inside a statement (spliced column text) would let one statement
    // become several; the cursor refuses that, so those go one by one.
    for (const Owned& statement : statements) {
        const int found = PyUnicode_FindChar(statement.get(), ';', 0, PY_SSIZE_T_MAX, 1) == -1 ? 0 : 1;
        if (PyErr_Occurred()) {
            return -1;
        }
        if (found) {
            return 0;
        }
    }
    Owned separator = steal(PyUnicode_FromString(";"));
    Owned list = separator ? steal(PyList_New(static_cast<Py_ssize_t>(statements.size()))) : Owned();
    if (!list) {
        return -1;
    }
    for (size_t i = 0; i < statements.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Py_NewRef(statements[i].get()));
    }
    Owned joined = steal(PyUnicode_Join(separator.get(), list.get()));
    PyObject* function = joined ? connections_function(g_execute_together, "execute_together") : nullptr;
    return function != nullptr && steal(PyObject_CallFunctionObjArgs(function, conn, joined.get(), nullptr)) ? 1 : -1;
}

}  // namespace norvane
