// The table profile (see profile.hpp): the facts of a table and its staging
// twin, read in one statement, with the engine's number comparison when it is
// not known yet and any rows a caller reads alongside.
#include "exactness.hpp"
#include "names.hpp"
#include "profile.hpp"
#include "refs.hpp"
#include "statement.hpp"

#include <cstring>
#include <string>

namespace norvane {
namespace {

// The rows of the one read, by tag: 0 and 1 the schema entries named like
// either table in the temp and the main schema (is-main-name, type, sql);
// 2 and 3 the table_info rows of staging and main (cid, name, type); 4 the
// trigger counts (staging, main); 5 whether an enforced foreign key refers
// to either; 6 the number probe.
constexpr int kTags = 7;
static_assert(kFirstExtraTag == kTags, "a caller's rows follow the profile's own");

Owned profile_sql(bool probe) {
    return join_text(
        {"SELECT 0, lower(name) = lower(?), type, sql FROM sqlite_temp_master "
         "WHERE lower(name) IN (lower(?), lower(?)) UNION ALL "
         "SELECT 1, lower(name) = lower(?), type, sql FROM main.sqlite_master "
         "WHERE lower(name) IN (lower(?), lower(?)) UNION ALL "
         "SELECT 2, cid, name, type FROM pragma_table_info(?) UNION ALL "
         "SELECT 3, cid, name, type FROM pragma_table_info(?) UNION ALL "
         "SELECT 4, (SELECT count(*) FROM sqlite_temp_master WHERE type = 'trigger' AND lower(tbl_name) = lower(?)) + "
         "(SELECT count(*) FROM main.sqlite_master WHERE type = 'trigger' AND lower(tbl_name) = lower(?)), "
         "(SELECT count(*) FROM sqlite_temp_master WHERE type = 'trigger' AND lower(tbl_name) = lower(?)) + "
         "(SELECT count(*) FROM main.sqlite_master WHERE type = 'trigger' AND lower(tbl_name) = lower(?)), NULL "
         "UNION ALL SELECT 5, ((SELECT foreign_keys FROM pragma_foreign_keys) AND EXISTS "
         "(SELECT 1 FROM main.sqlite_master AS m, pragma_foreign_key_list(m.name) AS f "
         "WHERE m.type = 'table' AND lower(f.\"table\") IN (lower(?), lower(?)))), NULL, NULL",
         probe ? " UNION ALL SELECT 6, " : "", probe ? kNumbersProbe : "", probe ? ", NULL, NULL" : ""});
}

// A definition judged: an ordinary rowid table, and whether it names a collation.
bool ordinary_table(PyObject* type, PyObject* sql, bool& collation) {
    const char* kind = utf8_of(type);
    const char* create = utf8_of(sql);
    if (kind == nullptr || create == nullptr || std::strcmp(kind, "table") != 0) {
        return false;
    }
    const std::string text = upper(create);
    collation = collation || text.find("COLLATE") != std::string::npos;
    return text.find("WITHOUT") == std::string::npos && text.find("VIRTUAL") == std::string::npos;
}

// Whether a converter of the host may decode a value of these columns: one
// registered under a declared type's first word (cut where the host cuts it,
// or at any white space) or, when any is registered, a column name holding
// "[" (read with PARSE_COLNAMES). The connection's detect_types cannot be
// read, so any converter counts. 1, 0 or -1.
int host_converts(PyObject* info_rows) {
    Owned converters = steal(PyObject_GetAttr(host_sqlite3(), names().converters));
    if (!converters) {
        return -1;
    }
    const Py_ssize_t registered = PyObject_Length(converters.get());
    if (registered <= 0) {
        return registered < 0 ? -1 : 0;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(info_rows); ++i) {
        PyObject* row = PyList_GET_ITEM(info_rows, i);
        const char* name = utf8_of(PyTuple_GET_ITEM(row, 2));
        const char* declared = utf8_of(PyTuple_GET_ITEM(row, 3));
        if (name == nullptr || declared == nullptr || std::strchr(name, '[') != nullptr) {
            return 1;
        }
        const std::string text = upper(declared);
        for (const char* stops : {" (", " (\t\r\n"}) {
            const std::string word = text.substr(0, text.find_first_of(stops));
            if (word.empty()) {
                continue;
            }
            Owned key = steal(PyUnicode_FromString(word.c_str()));
            const int found = key ? PyMapping_HasKeyWithError(converters.get(), key.get()) : -1;
            if (found != 0) {
                return found;
            }
        }
    }
    return 0;
}

// The column list of "CREATE TABLE <name> (<a>,<b>,...)" when every entry is
// a bare plain identifier and nothing follows the list; null (no error) when not.
Owned bare_column_list(PyObject* sql) {
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

// The names of table_info rows, as a list.
Owned column_names(PyObject* info_rows) {
    Owned out = steal(PyList_New(PyList_GET_SIZE(info_rows)));
    for (Py_ssize_t i = 0; out && i < PyList_GET_SIZE(info_rows); ++i) {
        PyList_SET_ITEM(out.get(), i, Py_NewRef(PyTuple_GET_ITEM(PyList_GET_ITEM(info_rows, i), 2)));
    }
    return out;
}

// Whether any column declares a type (the dqlite driver decodes some by itself).
bool declares_types(PyObject* info_rows) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(info_rows); ++i) {
        PyObject* declared = PyTuple_GET_ITEM(PyList_GET_ITEM(info_rows, i), 3);
        if (!PyUnicode_Check(declared) || PyUnicode_GET_LENGTH(declared) != 0) {
            return true;
        }
    }
    return false;
}

// (name, declared type) of each table_info row: what "declared alike" compares.
Owned names_and_types(PyObject* info_rows) {
    Owned out = steal(PyList_New(PyList_GET_SIZE(info_rows)));
    for (Py_ssize_t i = 0; out && i < PyList_GET_SIZE(info_rows); ++i) {
        PyObject* row = PyList_GET_ITEM(info_rows, i);
        Owned name_type = pair(PyTuple_GET_ITEM(row, 2), PyTuple_GET_ITEM(row, 3));
        if (!name_type) {
            return {};
        }
        PyList_SET_ITEM(out.get(), i, name_type.release());
    }
    return out;
}

class TableFacts {
public:
    // Sorts the rows of the one read by tag; false with an error raised, or
    // false without one when a row is not what the statement gives.
    bool sort(PyObject* rows) {
        for (Owned& part : parts_) {
            part = steal(PyList_New(0));
            if (!part) {
                return false;
            }
        }
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows); ++i) {
            PyObject* row = PyList_GET_ITEM(rows, i);
            const long tag = is_row(row, 4) && PyLong_CheckExact(PyTuple_GET_ITEM(row, 0))
                                 ? PyLong_AsLong(PyTuple_GET_ITEM(row, 0))
                                 : -1;
            if (tag == -1 && PyErr_Occurred() && !clear_if_expected({PyExc_OverflowError})) {
                return false;
            }
            if (tag < 0 || tag >= kTags) {
                return false;
            }
            if (PyList_Append(parts_[tag].get(), row) < 0) {
                return false;
            }
        }
        return true;
    }

    // The rows tagged kFirstExtraTag and on, moved out of `rows` into a new
    // list (null on error).
    static Owned split_extra(PyObject* rows) {
        Owned extra = steal(PyList_New(0));
        Py_ssize_t kept = 0;
        for (Py_ssize_t i = 0; extra && i < PyList_GET_SIZE(rows); ++i) {
            PyObject* row = PyList_GET_ITEM(rows, i);
            const long tag = is_row(row, 1) && PyLong_CheckExact(PyTuple_GET_ITEM(row, 0))
                                 ? PyLong_AsLong(PyTuple_GET_ITEM(row, 0))
                                 : -1;
            if (tag == -1 && PyErr_Occurred() && !clear_if_expected({PyExc_OverflowError})) {
                return {};
            }
            if (tag >= kFirstExtraTag) {
                if (PyList_Append(extra.get(), row) < 0) {
                    return {};
                }
            } else {
                PyList_SetItem(rows, kept++, Py_NewRef(row));
            }
        }
        if (extra && PyList_SetSlice(rows, kept, PyList_GET_SIZE(rows), nullptr) < 0) {
            return {};
        }
        return extra;
    }

    // The flags, into `profile`. 0, or -1 on error.
    int judge(PyObject* cols, Profile& profile) {
        bool collation = false;
        set_flag(profile, kPlainTables, resolve_plain(collation));
        set_flag(profile, kNoCollation, !collation);
        Owned staged = names_and_types(parts_[2].get());
        Owned main = staged ? names_and_types(parts_[3].get()) : Owned();
        const int alike = main ? compare(staged.get(), main.get(), Py_EQ) : -1;
        if (alike < 0) {
            return -1;
        }
        set_flag(profile, kDeclaredAlike, alike > 0 && PyList_GET_SIZE(main.get()) > 0);
        int converts = 1;
        if (profile.engine == Engine::dqlite) {
            converts = declares_types(parts_[2].get()) || declares_types(parts_[3].get());
        } else if (profile.engine == Engine::host) {
            converts = host_converts(parts_[2].get());
            converts = converts == 0 ? host_converts(parts_[3].get()) : converts;
        }
        if (converts < 0) {
            return -1;
        }
        set_flag(profile, kTypesAsStored, converts == 0);
        // Without the catalog's columns, the main table's own stand for them.
        Owned own_names = cols == nullptr ? column_names(parts_[3].get()) : Owned();
        if (cols == nullptr && !own_names) {
            return -1;
        }
        const int bare = bare_columns(cols != nullptr ? cols : own_names.get());
        if (bare < 0) {
            return -1;
        }
        set_flag(profile, kBareColumns, bare > 0);
        const long triggers[2] = {count_at(4, 1), count_at(4, 2)};  // staging, main
        const long foreign = count_at(5, 1);
        if (PyErr_Occurred()) {
            return -1;
        }
        set_flag(profile, kNoTriggers, triggers[0] == 0 && triggers[1] == 0);
        set_flag(profile, kNoMainTriggers, triggers[1] == 0);
        set_flag(profile, kNoForeignKeys, foreign == 0);
        if (PyList_GET_SIZE(parts_[6].get()) == 1) {
            Owned answer = item_at(PyList_GET_ITEM(parts_[6].get(), 0), Py_ssize_t{1});
            if (!answer || !note_numbers_answer(profile.engine, answer.get())) {
                return -1;
            }
        }
        const int exact = numbers_exact_known(profile.engine);
        set_flag(profile, kNumbersExact, exact > 0);
        return 0;
    }

private:
    // Each name resolves, temp schema first, to an ordinary rowid table.
    bool resolve_plain(bool& collation) {
        for (long is_main_name : {0L, 1L}) {
            bool resolved = false;
            for (int schema : {0, 1}) {
                PyObject* entries = parts_[schema].get();
                Py_ssize_t found = 0;
                PyObject* entry = nullptr;
                for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries); ++i) {
                    PyObject* row = PyList_GET_ITEM(entries, i);
                    if (PyObject_IsTrue(PyTuple_GET_ITEM(row, 1)) == static_cast<int>(is_main_name)) {
                        ++found;
                        entry = row;
                    }
                }
                if (found > 1) {
                    return false;
                }
                if (found == 1) {
                    if (!ordinary_table(PyTuple_GET_ITEM(entry, 2), PyTuple_GET_ITEM(entry, 3), collation)) {
                        return false;
                    }
                    resolved = true;
                    break;
                }
            }
            if (!resolved) {
                return false;
            }
        }
        return true;
    }

    // Nothing of either name in the temp schema, and in the main schema two
    // ordinary tables whose definitions list exactly the bare names `cols`.
    int bare_columns(PyObject* cols) {
        if (PyList_GET_SIZE(parts_[0].get()) != 0 || PyList_GET_SIZE(parts_[1].get()) != 2 || !PyList_Check(cols) ||
            PyList_GET_SIZE(cols) == 0) {
            return 0;
        }
        int seen[2] = {0, 0};
        for (Py_ssize_t i = 0; i < 2; ++i) {
            PyObject* row = PyList_GET_ITEM(parts_[1].get(), i);
            const int is_main_name = PyObject_IsTrue(PyTuple_GET_ITEM(row, 1));
            const char* type = utf8_of(PyTuple_GET_ITEM(row, 2));
            if (is_main_name < 0 || type == nullptr || std::strcmp(type, "table") != 0) {
                return is_main_name < 0 ? -1 : 0;
            }
            Owned listed = bare_column_list(PyTuple_GET_ITEM(row, 3));
            if (!listed) {
                return PyErr_Occurred() ? -1 : 0;
            }
            const int same = compare(listed.get(), cols, Py_EQ);
            if (same <= 0) {
                return same;
            }
            ++seen[is_main_name];
        }
        return seen[0] == 1 && seen[1] == 1 ? 1 : 0;
    }

    long count_at(int tag, Py_ssize_t column) {
        if (PyList_GET_SIZE(parts_[tag].get()) != 1) {
            return 1;
        }
        PyObject* value = PyTuple_GET_ITEM(PyList_GET_ITEM(parts_[tag].get(), 0), column);
        return PyLong_CheckExact(value) ? PyLong_AsLong(value) : 1;
    }

    Owned parts_[kTags];
};

}  // namespace

int read_table_profile(Cursor& cursor, PyObject* table, PyObject* cols, Profile& profile) {
    return read_table_profile(cursor, table, cols, profile, nullptr);
}

int read_table_profile(Cursor& cursor, PyObject* table, PyObject* cols, Profile& profile, ExtraRead* extra) {
    Owned staging = join_text({"temp_", table});
    const bool probe = profile.engine != Engine::other && numbers_exact_known(profile.engine) < 0;
    Owned sql = staging ? profile_sql(probe) : Owned();
    if (sql && extra != nullptr) {
        sql = join_text({sql, " UNION ALL ", extra->sql});
    }
    PyObject* t = table;
    PyObject* s = staging.get();
    // Plain "?" only: the dqlite driver counts every "?N" as a parameter of its own.
    Owned params = sql ? steal(PyTuple_Pack(14, t, s, t, t, s, t, s, t, s, s, t, t, s, t)) : Owned();
    if (params && extra != nullptr) {
        params = steal(PySequence_Concat(params.get(), extra->params));
    }
    Owned rows = params ? cursor.query(sql.get(), params.get()) : Owned();
    if (!rows) {
        return -1;
    }
    TableFacts facts;
    if (extra != nullptr) {
        extra->rows = facts.split_extra(rows.get());
        if (!extra->rows) {
            return -1;
        }
    }
    if (!facts.sort(rows.get())) {
        if (PyErr_Occurred()) {
            return -1;
        }
        for (Flag flag : {kPlainTables, kNoCollation, kDeclaredAlike, kTypesAsStored, kBareColumns, kNoTriggers,
                          kNoMainTriggers, kNoForeignKeys}) {
            set_flag(profile, flag, false);
        }
        return 0;
    }
    return facts.judge(cols, profile);
}

}  // namespace norvane
