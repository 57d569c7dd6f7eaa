// Cache spill off on dqlite connections (see cache_spill.hpp).
#include "cache_spill.hpp"

#include "driver_limits.hpp"
#include "refs.hpp"

namespace norvane {
namespace {

Retained g_spill_off;  // norvane.connections.spill_off, once a dqlite connection came by

PyObject* spill_off_function() {
    if (!g_spill_off) {
        Owned module = steal(PyImport_ImportModule("norvane.connections"));
        Owned function = module ? steal(PyObject_GetAttrString(module.get(), "spill_off")) : Owned();
        if (!function) {
            return nullptr;
        }
        g_spill_off.keep(std::move(function));
    }
    return g_spill_off.get();
}

}  // namespace

int spill_off(PyObject* conn, const char* begin) {
    const int dqlite = is_dqlite_connection(conn);
    if (dqlite <= 0) {
        return dqlite;
    }
    PyObject* function = spill_off_function();
    if (function == nullptr) {
        return -1;
    }
    Owned statement = begin != nullptr ? steal(PyUnicode_FromString(begin)) : share(Py_None);
    Owned sent = statement ? steal(PyObject_CallFunctionObjArgs(function, conn, statement.get(), nullptr))
                           : Owned();
    return sent ? PyObject_IsTrue(sent.get()) : -1;
}

}  // namespace norvane
