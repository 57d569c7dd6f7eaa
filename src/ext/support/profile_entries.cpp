// The connection profile's entries of norvane._native: connection_profile,
// PATH_FLAGS and CLUSTER_MAX_PARAMETERS.
#include "profile.hpp"
#include "refs.hpp"
#include "statement.hpp"

#include <span>

namespace norvane {

// connection_profile(conn, table=None) -> {"engine", "max_parameters",
// "flags": {name: bool}, "paths": {name: bool}}
Owned connection_profile(PyObject* conn, PyObject* table_or_none) {
    PyObject* table = table_or_none != Py_None ? table_or_none : nullptr;
    if (table != nullptr && !PyUnicode_Check(table)) {
        PyErr_Format(PyExc_TypeError, "connection_profile: table must be a str, not %T", table);
        return {};
    }
    Profile profile;
    if (read_connection_profile(conn, profile, true) < 0) {
        return {};
    }
    if (table != nullptr && profile.engine != Engine::other) {
        Cursor cursor;
        if (!cursor.open(conn) || read_table_profile(cursor, table, nullptr, profile) < 0) {
            return {};
        }
    }
    static const char* const engines[] = {"sqlite3", "dqlite", "other"};
    Owned flags = steal(PyDict_New());
    Owned paths = flags ? steal(PyDict_New()) : Owned();
    if (!paths) {
        return {};
    }
    for (unsigned f = 0; f < kFlagCount; ++f) {
        if (PyDict_SetItemString(flags.get(), flag_name(static_cast<Flag>(f)),
                                 profile.has(static_cast<Flag>(f)) ? Py_True : Py_False) < 0) {
            return {};
        }
    }
    for (int p = 0; p < static_cast<int>(Path::count); ++p) {
        PyObject* allowed = profile.allows(static_cast<Path>(p)) ? Py_True : Py_False;
        if (PyDict_SetItemString(paths.get(), path_name(static_cast<Path>(p)), allowed) < 0) {
            return {};
        }
    }
    Owned limit =
        profile.max_parameters == PY_SSIZE_T_MAX ? share(Py_None) : steal(PyLong_FromSsize_t(profile.max_parameters));
    if (!limit) {
        return {};
    }
    return steal(Py_BuildValue("{s:s,s:O,s:O,s:O}", "engine", engines[static_cast<int>(profile.engine)],
                               "max_parameters", limit.get(), "flags", flags.get(), "paths", paths.get()));
}

namespace {

// PATH_FLAGS: {path: (flag, ...)}, as the profile's table lists them.
Owned path_flags() {
    Owned table = steal(PyDict_New());
    for (int p = 0; p < static_cast<int>(Path::count); ++p) {
        const std::span<const Flag> required = path_flags(static_cast<Path>(p));
        Owned flags = table ? steal(PyTuple_New(static_cast<Py_ssize_t>(required.size()))) : Owned();
        if (!flags) {
            return {};
        }
        Py_ssize_t i = 0;
        for (Flag flag : required) {
            PyObject* name = PyUnicode_FromString(flag_name(flag));
            if (name == nullptr) {
                return {};
            }
            PyTuple_SET_ITEM(flags.get(), i++, name);
        }
        if (PyDict_SetItemString(table.get(), path_name(static_cast<Path>(p)), flags.get()) < 0) {
            return {};
        }
    }
    return table;
}

}  // namespace

bool add_profile_entries(PyObject* module) {
    Owned flags = path_flags();
    return flags && PyModule_AddObjectRef(module, "PATH_FLAGS", flags.get()) == 0 &&
           PyModule_AddIntConstant(module, "CLUSTER_MAX_PARAMETERS", kDqliteMaxParameters) == 0;
}

}  // namespace norvane
