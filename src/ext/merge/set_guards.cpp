// Guards of the set-based merge. Each one names a way the statement path
// could end differently: a value changed on its way through the host, a
// statement somebody else sees (triggers, a wrapper connection, a replaced
// function), a name SQLite would read as something else, or a comparison
// that differs between SQL and the host (collations, declared types).
#include "set_guards.hpp"

#include "binder.hpp"
#include "exactness.hpp"
#include "module.hpp"

#include <cctype>
#include <string>

namespace norvane {
namespace {

// A read of the schema: its rows, or null. A sqlite3 error (the guard cannot
// tell) is cleared and reported as `failed`; anything else stays raised.
Owned guard_read(Cursor& cursor, PyObject* sql, PyObject* params, bool& failed) {
    Owned rows = cursor.query(sql, params);
    failed = !rows && PyErr_ExceptionMatches(host_sqlite3_error());
    if (failed) {
        PyErr_Clear();
    }
    return rows;
}

// The column list of "CREATE TABLE <name> (<a>,<b>,...)" when every entry is
// a bare plain identifier and nothing follows the list; null (no error) when not.
Owned plain_column_list(PyObject* sql) {
    const char* text = utf8_of(sql);
    if (text == nullptr) {
        return {};
    }
    const std::string whole(text);
    const size_t open = whole.find('(');
    const size_t close = whole.find_last_not_of(" \t\r\n");
    if (open == std::string::npos || close == std::string::npos || whole[close] != ')' || close < open) {
        return {};
    }
    Owned names_list = steal(PyList_New(0));
    size_t start = open + 1;
    while (names_list) {
        size_t end = whole.find(',', start);
        const bool last = end == std::string::npos || end > close;
        if (last) {
            end = close;
        }
        const size_t first = whole.find_first_not_of(" \t\r\n", start);
        const size_t past = whole.find_last_not_of(" \t\r\n", end - 1);
        if (first == std::string::npos || first >= end || past < first) {
            return {};
        }
        const std::string name = whole.substr(first, past - first + 1);
        if (!is_plain_identifier(name.c_str()) || is_rowid_name(name.c_str())) {
            return {};
        }
        Owned item = steal(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
        if (!item || PyList_Append(names_list.get(), item.get()) < 0) {
            return Owned();
        }
        if (last) {
            break;
        }
        start = end + 1;
    }
    return names_list;
}

class TableGuards {
public:
    TableGuards(Cursor& cursor, PyObject* table, PyObject* cols) : cursor_(cursor), table_(table), cols_(cols) {}

    // 1 when the table and its staging twin are the plain pair, 0 when not, -1 on error.
    int plain_pair() {
        const char* name = utf8_of(table_);
        if (name == nullptr || !PyUnicode_CheckExact(table_) || !is_plain_identifier(name) || is_keyword(name)) {
            return 0;
        }
        Owned staging = join_text({"temp_", table_});
        if (!staging) {
            return -1;
        }
        return one_read(staging.get());
    }

private:
    // One statement reads all of it (a statement is a round trip on a
    // cluster): the schema entries named like either table, in the temp
    // schema (kind 0: shadowing, not plain) and the main one (kind 1), and
    // (kind 2) the sum of what must be zero: triggers on either table, an
    // enforced foreign key referring to either (a deletion could cascade
    // elsewhere), and an SQLite that compares integers with reals inexactly.
    int one_read(PyObject* staging) {
        Owned sql = join_text({
            "SELECT 0, type, sql, lower(name) = lower(?) FROM sqlite_temp_master "
            "WHERE lower(name) IN (lower(?), lower(?)) UNION ALL "
            "SELECT 1, type, sql, lower(name) = lower(?) FROM main.sqlite_master "
            "WHERE lower(name) IN (lower(?), lower(?)) UNION ALL "
            "SELECT 2, NULL, NULL, "
            "(SELECT count(*) FROM sqlite_temp_master WHERE type = 'trigger' AND "
            "lower(tbl_name) IN (lower(?), lower(?))) + "
            "(SELECT count(*) FROM main.sqlite_master WHERE type = 'trigger' AND "
            "lower(tbl_name) IN (lower(?), lower(?))) + "
            "((SELECT foreign_keys FROM pragma_foreign_keys) AND EXISTS "
            "(SELECT 1 FROM main.sqlite_master AS m, pragma_foreign_key_list(m.name) AS f "
            "WHERE m.type = 'table' AND lower(f.\"table\") IN (lower(?), lower(?)))) + "
            "(9007199254740993 = 9007199254740992.0)"});
        // Plain "?" only: the dqlite driver counts every "?N" as a parameter of its own.
        PyObject* t = table_;
        PyObject* st = staging;
        Owned params = sql ? steal(PyTuple_Pack(12, t, t, st, t, t, st, t, st, t, st, t, st)) : Owned();
        bool failed = false;
        Owned rows = params ? guard_read(cursor_, sql.get(), params.get(), failed) : Owned();
        if (!rows) {
            return failed ? 0 : -1;
        }
        int tables_seen[2] = {0, 0};  // staging, main
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows.get()); ++i) {
            PyObject* row = PyList_GET_ITEM(rows.get(), i);
            const long kind = PyLong_AsLong(PyTuple_GET_ITEM(row, 0));
            PyObject* flag = PyTuple_GET_ITEM(row, 3);
            const long value = PyLong_CheckExact(flag) ? PyLong_AsLong(flag) : -1;
            if (PyErr_Occurred()) {
                PyErr_Clear();
                return 0;
            }
            if (kind == 2) {
                if (value != 0) {
                    return 0;
                }
                continue;
            }
            if (kind != 1 || value < 0) {
                return 0;
            }
            const int plain = lists_the_columns(row);
            if (plain <= 0) {
                return plain;
            }
            ++tables_seen[value];
        }
        return tables_seen[0] == 1 && tables_seen[1] == 1 && PyList_GET_SIZE(rows.get()) == 3 ? 1 : 0;
    }

    // A row (kind, type, sql, is-main) of an ordinary table whose stored
    // definition lists exactly the columns.
    int lists_the_columns(PyObject* row) {
        const char* type = utf8_of(PyTuple_GET_ITEM(row, 1));
        if (type == nullptr || std::string(type) != "table") {
            return 0;
        }
        Owned listed = plain_column_list(PyTuple_GET_ITEM(row, 2));
        if (!listed) {
            return PyErr_Occurred() ? -1 : 0;
        }
        return compare(listed.get(), cols_, Py_EQ);
    }

    Cursor& cursor_;
    PyObject* table_;
    PyObject* cols_;
};

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
            if (c == -1 && PyErr_Occurred()) {
                PyErr_Clear();
                return 0;
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

}  // namespace

int merge_callees_are_own() {
    for (Fn fn : {Fn::drop_table_index, Fn::delete_row_main, Fn::insert_main, Fn::active_table_index}) {
        const int own = global_is_own(fn);
        if (own <= 0) {
            return own;
        }
    }
    return 1;
}

int tables_are_plain(Cursor& cursor, PyObject* table, PyObject* cols, PyObject* rules) {
    if (!PyList_Check(cols) || PyList_GET_SIZE(cols) == 0) {
        return 0;
    }
    const int plain_rules = rules_are_plain(cols, rules);
    if (plain_rules <= 0) {
        return plain_rules;
    }
    TableGuards guards(cursor, table, cols);
    return guards.plain_pair();
}

}  // namespace norvane
