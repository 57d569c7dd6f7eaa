// The guards of find's newest groups: what must hold of the connection, the
// names and the tables for keys to compare as the walk's statements do.
#include "exactness.hpp"

#include "driver_limits.hpp"
#include "keywords.hpp"
#include "module.hpp"
#include "refs.hpp"
#include "statement.hpp"

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

namespace norvane {
namespace {

std::string upper(const char* s) {
    std::string out(s);
    for (char& c : out) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return out;
}

}  // namespace

bool is_plain_identifier(const char* s) {
    if (!(std::isalpha(static_cast<unsigned char>(*s)) || *s == '_')) {
        return false;
    }
    for (++s; *s; ++s) {
        if (!(std::isalnum(static_cast<unsigned char>(*s)) || *s == '_')) {
            return false;
        }
    }
    return true;
}

bool is_keyword(const char* s) {
    // Beside the keywords, the literals and the rowid's names read as
    // something other than a column in a search.
    static const char* const also[] = {"TRUE", "FALSE", "ROWID", "OID", "_ROWID_"};
    for (size_t i = 0; i < kKeywordCount; ++i) {
        if (PyOS_stricmp(s, kKeywords[i]) == 0) {
            return true;
        }
    }
    for (const char* w : also) {
        if (PyOS_stricmp(s, w) == 0) {
            return true;
        }
    }
    return false;
}

// Whether every candidate row of these conditions is a stored row as it is:
// a plain WHERE, ORDER BY or LIMIT (or nothing) over the table alone.
bool selects_stored_rows(const char* conditions) {
    const std::string text = upper(conditions);
    const size_t start = text.find_first_not_of(" \t\r\n");
    if (start == std::string::npos) {
        return true;
    }
    bool plain = false;
    for (const char* lead : {"WHERE", "ORDER", "LIMIT"}) {
        const size_t n = std::strlen(lead);
        if (text.compare(start, n, lead) == 0 &&
            (start + n == text.size() || !(std::isalnum(static_cast<unsigned char>(text[start + n])) ||
                                           text[start + n] == '_'))) {
            plain = true;
        }
    }
    for (const char* word : {"UNION", "INTERSECT", "EXCEPT", "GROUP", "HAVING", "JOIN"}) {
        plain = plain && text.find(word) == std::string::npos;
    }
    return plain;
}

// Whether this SQLite compares integers with reals exactly (2**53 + 1 is not
// 2.0**53); asked once per process.
namespace {

constexpr const char* kNumbersProbe = "9007199254740993 = 9007199254740992.0";
// The answer of each SQL engine, asked once each: the host's own SQLite
// (index 0) and the one behind the dqlite driver (index 1) may differ, so
// one never stands in for the other.
int g_exact_numbers[2] = {-1, -1};
bool g_fold_reads = true;  // a private switch: off, each read is a statement of its own

// The probe's answer: 0 (not equal) means exact. Only an answer that is no
// number at all counts as inexact; any error stays raised (false).
bool note_numbers_answer(bool remote, PyObject* value) {
    if (PyErr_Occurred()) {
        return false;
    }
    g_exact_numbers[remote] = value != nullptr && PyLong_CheckExact(value) && PyLong_AsLong(value) == 0;
    return !PyErr_Occurred() || clear_if_expected({PyExc_OverflowError});
}

}  // namespace

int compares_numbers_exactly(Cursor& cursor) {
    const bool remote = !cursor.native();
    if (g_exact_numbers[remote] < 0) {
        Owned sql = join_text({"SELECT ", kNumbersProbe});
        Owned rows = sql ? cursor.query(sql.get()) : Owned();
        if (!rows) {
            return -1;
        }
        Owned row = PyList_GET_SIZE(rows.get()) == 1 ? item_at(PyList_GET_ITEM(rows.get(), 0), Py_ssize_t{0})
                                                       : Owned();
        if (!note_numbers_answer(remote, row.get())) {
            return -1;
        }
    }
    return g_exact_numbers[remote];
}

namespace {

// Whether an adapter could change a value the walk binds.
int adapts_stored_types(PyObject* sqlite3) {
    Owned adapters = steal(PyObject_GetAttr(sqlite3, names().adapters));
    if (!adapters || !PyDict_Check(adapters.get())) {
        return adapters ? 1 : -1;
    }
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(adapters.get(), &pos, &key, &value)) {
        if (!PyTuple_Check(key) || PyTuple_GET_SIZE(key) < 1) {
            return 1;
        }
        PyObject* type = PyTuple_GET_ITEM(key, 0);
        for (PyTypeObject* stored : {&PyLong_Type, &PyFloat_Type, &PyUnicode_Type, &PyBytes_Type,
                                     &PyByteArray_Type, Py_TYPE(Py_None)}) {
            if (type == reinterpret_cast<PyObject*>(stored)) {
                return 1;
            }
        }
    }
    return 0;
}

// The dqlite driver keeps its adapters in a dict keyed by type.
int dqlite_adapts_stored_types() {
    Owned types = steal(PyImport_ImportModule("dqlitedbapi.types"));
    Owned adapters = types ? steal(PyObject_GetAttrString(types.get(), "_ADAPTERS")) : Owned();
    if (!adapters) {
        // A driver we do not know: assume it adapts. Other errors stay raised.
        return clear_if_expected({PyExc_ImportError, PyExc_AttributeError}) ? 1 : -1;
    }
    if (!PyDict_Check(adapters.get())) {
        return 1;
    }
    for (PyTypeObject* stored : {&PyLong_Type, &PyFloat_Type, &PyUnicode_Type, &PyBytes_Type, &PyByteArray_Type,
                                 Py_TYPE(Py_None)}) {
        const int found = PyDict_Contains(adapters.get(), reinterpret_cast<PyObject*>(stored));
        if (found != 0) {
            return found;
        }
    }
    return 0;
}

}  // namespace

bool is_rowid_name(const char* s) {
    return PyOS_stricmp(s, "rowid") == 0 || PyOS_stricmp(s, "oid") == 0 || PyOS_stricmp(s, "_rowid_") == 0;
}

// Row and text factories left as they are and no adapter on a stored type,
// on the host's own connection type or the dqlite driver's.
int reads_values_as_stored(PyObject* conn) {
    const int dqlite = is_native_connection(conn) ? 0 : is_dqlite_connection(conn);
    if (dqlite <= 0 && !is_native_connection(conn)) {
        return dqlite < 0 ? -1 : 0;
    }
    Owned row_factory = steal(PyObject_GetAttr(conn, names().row_factory));
    Owned text_factory = row_factory ? steal(PyObject_GetAttr(conn, names().text_factory)) : Owned();
    if (!text_factory) {
        return -1;
    }
    if (row_factory.get() != Py_None || text_factory.get() != reinterpret_cast<PyObject*>(&PyUnicode_Type)) {
        return 0;
    }
    const int adapted = dqlite ? dqlite_adapts_stored_types() : adapts_stored_types(host_sqlite3());
    if (adapted != 0) {
        return adapted < 0 ? -1 : 0;
    }
    return 1;
}

namespace {

constexpr int kAbsent = 2;

// The schema rows (type, sql) of one schema for a name: 1 an ordinary rowid
// table whose CREATE statement names no collation, 0 anything else, kAbsent
// when that schema has no entry of the name.
int judge_schema_rows(PyObject* rows) {
    if (PyList_GET_SIZE(rows) == 0) {
        return kAbsent;
    }
    if (PyList_GET_SIZE(rows) != 1) {
        return 0;
    }
    PyObject* row = PyList_GET_ITEM(rows, 0);
    if (!is_row(row, 2)) {
        return 0;
    }
    const char* type = utf8_of(PyTuple_GET_ITEM(row, 0));
    const char* create = utf8_of(PyTuple_GET_ITEM(row, 1));
    if (type == nullptr || create == nullptr || std::strcmp(type, "table") != 0) {
        return 0;
    }
    const std::string text = upper(create);
    return text.find("COLLATE") == std::string::npos && text.find("WITHOUT") == std::string::npos &&
           text.find("VIRTUAL") == std::string::npos;
}

constexpr const char* kSchemas[] = {"sqlite_temp_master", "main.sqlite_master"};

// A name that resolves (temp schema first) to a plain table, from its
// schema rows in the temp schema and then the main one.
int is_plain_table(PyObject* temp_rows, PyObject* main_rows) {
    for (PyObject* rows : {temp_rows, main_rows}) {
        const int judged = judge_schema_rows(rows);
        if (judged != kAbsent) {
            return judged;
        }
    }
    return 0;
}

int is_plain_table(Cursor& cursor, PyObject* name) {
    Owned rows[2];
    for (size_t i = 0; i < 2; ++i) {
        Owned sql = join_text({"SELECT type, sql FROM ", kSchemas[i], " WHERE name = ? COLLATE NOCASE"});
        Owned params = sql ? steal(PyTuple_Pack(1, name)) : Owned();
        rows[i] = params ? cursor.query(sql.get(), params.get()) : Owned();
        if (!rows[i]) {
            return -1;
        }
        if (PyList_GET_SIZE(rows[i].get()) != 0) {
            return judge_schema_rows(rows[i].get());
        }
    }
    return 0;
}

// (name, declared type) of every column, as a list, from table_info rows.
Owned name_types(PyObject* rows) {
    Owned info = steal(PyList_New(PyList_GET_SIZE(rows)));
    for (Py_ssize_t i = 0; info && i < PyList_GET_SIZE(rows); ++i) {
        PyObject* row = PyList_GET_ITEM(rows, i);
        Owned name_type = is_row(row, 3) ? pair(PyTuple_GET_ITEM(row, 1), PyTuple_GET_ITEM(row, 2))
                                                    : Owned();
        if (!name_type) {
            return {};
        }
        PyList_SET_ITEM(info.get(), i, name_type.release());
    }
    return info;
}

Owned table_info(Cursor& cursor, PyObject* name) {
    Owned sql = join_text({"PRAGMA table_info(", name, ")"});
    Owned rows = sql ? cursor.query(sql.get()) : Owned();
    return rows ? name_types(rows.get()) : Owned();
}

// Whether any column declares a type.
int declares_types(PyObject* info) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(info); ++i) {
        PyObject* declared = PyTuple_GET_ITEM(PyList_GET_ITEM(info, i), 1);
        if (!PyUnicode_Check(declared) || PyUnicode_GET_LENGTH(declared) != 0) {
            return 1;
        }
    }
    return 0;
}

// Whether a converter is registered under the first word of a declared
// type (the connection's detect_types cannot be read, so any counts).
int converts_declared_type(PyObject* info) {
    Owned converters = steal(PyObject_GetAttr(host_sqlite3(), names().converters));
    if (!converters) {
        return -1;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(info); ++i) {
        const char* declared = utf8_of(PyTuple_GET_ITEM(PyList_GET_ITEM(info, i), 1));
        if (declared == nullptr) {
            return 1;
        }
        std::string word = upper(declared);
        word = word.substr(0, word.find_first_of(" (\t\r\n"));
        if (word.empty()) {
            continue;
        }
        Owned key = steal(PyUnicode_FromString(word.c_str()));
        const int found = key ? PyMapping_HasKeyWithError(converters.get(), key.get()) : -1;
        if (found != 0) {
            return found;
        }
    }
    return 0;
}

}  // namespace

namespace {

// Both tables' infos compared, and their declared types judged.
int infos_read_alike(PyObject* staged_info, PyObject* main_info, bool remote) {
    const int same = PyObject_RichCompareBool(staged_info, main_info, Py_EQ);
    if (same <= 0) {
        return same;
    }
    // The dqlite driver turns values of some declared types into other
    // objects by itself: there only undeclared columns are plain.
    const int converted = remote ? declares_types(main_info) : converts_declared_type(main_info);
    if (converted != 0) {
        return converted < 0 ? -1 : 0;
    }
    return 1;
}

// Everything tables_read_alike reads and the number comparison, in one
// statement (a round trip on a cluster): rows tagged 0..3 are the schema
// rows of staging and main in the temp and main schema, 4 and 5 their
// table_info rows, 6 the comparison.
int tables_read_alike_in_one(Cursor& cursor, PyObject* table, PyObject* staged_name) {
    std::vector<Owned> parts;
    for (long k = 0; k < 4; ++k) {
        Owned tag = steal(PyUnicode_FromFormat("SELECT %ld, type, sql, NULL FROM %s WHERE name = ? COLLATE NOCASE "
                                               "UNION ALL ", k, kSchemas[k % 2]));
        if (!tag) {
            return -1;
        }
        parts.push_back(std::move(tag));
    }
    Owned sql = join_text({parts[0], parts[1], parts[2], parts[3],
                           "SELECT 4, cid, name, type FROM pragma_table_info(?) UNION ALL "
                           "SELECT 5, cid, name, type FROM pragma_table_info(?) UNION ALL "
                           "SELECT 6, NULL, NULL, ", kNumbersProbe});
    Owned params = sql ? steal(PyTuple_Pack(6, staged_name, staged_name, table, table, staged_name, table)) : Owned();
    Owned rows = params ? cursor.query(sql.get(), params.get()) : Owned();
    Owned parted[6];
    for (Owned& part : parted) {
        part = rows ? steal(PyList_New(0)) : Owned();
        if (!part) {
            return -1;
        }
    }
    PyObject* numbers = nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows.get()); ++i) {
        PyObject* row = PyList_GET_ITEM(rows.get(), i);
        const long tag = is_row(row, 4) ? PyLong_AsLong(PyTuple_GET_ITEM(row, 0)) : -1;
        if (tag == -1 && PyErr_Occurred() && !clear_if_expected({PyExc_OverflowError, PyExc_TypeError})) {
            return -1;
        }
        if (tag < 0 || tag > 6) {
            return 0;
        }
        if (tag == 6) {
            numbers = PyTuple_GET_ITEM(row, 3);
            continue;
        }
        // (type, sql) of a schema row; (cid, name, type) of a table_info row
        Owned rest = steal(PyTuple_GetSlice(row, 1, tag < 4 ? 3 : 4));
        if (!rest || PyList_Append(parted[tag].get(), rest.get()) < 0) {
            return -1;
        }
    }
    if (!note_numbers_answer(true, numbers)) {
        return -1;
    }
    if (g_exact_numbers[1] <= 0) {
        return 0;
    }
    for (long source : {0L, 2L}) {
        const int plain = is_plain_table(parted[source].get(), parted[source + 1].get());
        if (plain <= 0) {
            return plain;
        }
    }
    Owned staged_info = name_types(parted[4].get());
    Owned main_info = staged_info ? name_types(parted[5].get()) : Owned();
    return main_info ? infos_read_alike(staged_info.get(), main_info.get(), true) : -1;
}

}  // namespace

int tables_read_alike(Cursor& cursor, PyObject* table, bool remote) {
    Owned staged_name = join_text({"temp_", table});
    if (!staged_name) {
        return -1;
    }
    if (remote && g_fold_reads) {
        return tables_read_alike_in_one(cursor, table, staged_name.get());
    }
    for (PyObject* name : {staged_name.get(), table}) {
        const int plain = is_plain_table(cursor, name);
        if (plain <= 0) {
            return plain;
        }
    }
    Owned staged_info = table_info(cursor, staged_name.get());
    Owned main_info = staged_info ? table_info(cursor, table) : Owned();
    if (!main_info) {
        return -1;
    }
    return infos_read_alike(staged_info.get(), main_info.get(), remote);
}

bool fold_remote_reads() noexcept { return g_fold_reads; }

void set_fold_remote_reads(bool on) noexcept { g_fold_reads = on; }

}  // namespace norvane
