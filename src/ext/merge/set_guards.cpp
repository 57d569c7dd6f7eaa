// Guards of the set-based merge (see set_guards.hpp). Each one names a way
// the statement path could end differently: a value changed on its way
// through the host, a statement somebody else sees (triggers, a wrapper
// connection, a replaced function), a name SQLite would read as something
// else, or a comparison that differs between SQL and the host (collations,
// declared types).
#include "set_guards.hpp"

#include "exactness.hpp"
#include "profile.hpp"
#include "statement.hpp"

namespace norvane {
namespace {

// The flags each part decides by.
constexpr unsigned kConnectionFlags = (1U << kKnownEngine) | (1U << kNoRowFactory) | (1U << kStrTextFactory) |
                                      (1U << kNoPlainAdapter) | (1U << kCalleesOwn);

// Every rule position lies inside the columns and names a column SQLite
// reads as that column.
int rules_are_plain(PyObject* cols, PyObject* rules) {
    const Py_ssize_t ncols = PyList_GET_SIZE(cols);
    PyObject* key = nullptr;
    PyObject* positions = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(rules, &pos, &key, &positions)) {
        if (!PyList_Check(positions) || PyList_GET_SIZE(positions) == 0) {
            return 0;
        }
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(positions); ++k) {
            PyObject* position = PyList_GET_ITEM(positions, k);
            const Py_ssize_t c = PyLong_CheckExact(position) ? PyLong_AsSsize_t(position) : -1;
            if (c == -1 && PyErr_Occurred() && !clear_if_expected({PyExc_OverflowError})) {
                return -1;
            }
            if (c < 0 || c >= ncols) {
                return 0;
            }
            const char* name = utf8_of(PyList_GET_ITEM(cols, c));
            if (name == nullptr || !is_plain_identifier(name) || is_keyword(name)) {
                return 0;
            }
        }
    }
    return 1;
}

// The table's name needs no quoting and is no keyword.
bool table_name_is_plain(PyObject* table) {
    const char* name = PyUnicode_CheckExact(table) ? utf8_of(table) : nullptr;
    return name != nullptr && is_plain_identifier(name) && !is_keyword(name);
}

}  // namespace

int merge_connection_allows_sets(PyObject* conn, Profile& profile) {
    if (read_connection_profile(conn, profile, true) < 0) {
        return -1;
    }
    return profile.allows(Path::set_merge, kConnectionFlags) ? 1 : 0;
}

int merge_tables_allow_sets(Cursor& cursor, Profile& profile, PyObject* table, PyObject* cols, PyObject* rules) {
    if (!PyList_Check(cols) || PyList_GET_SIZE(cols) == 0 || !table_name_is_plain(table)) {
        return 0;
    }
    const int plain_rules = rules_are_plain(cols, rules);
    if (plain_rules <= 0) {
        return plain_rules;
    }
    if (read_table_profile(cursor, table, cols, profile) < 0) {
        // An SQLite error of the read: the guard cannot tell, the statement
        // path decides. Anything else stays raised.
        return clear_if_expected({host_sqlite3_error()}) ? 0 : -1;
    }
    return profile.allows(Path::set_merge) ? 1 : 0;
}

}  // namespace norvane
