// Schema and catalog: the catalog tables index_table and unique_table, the
// physical indexes they describe, uniqueness rules, and the creation and
// removal of managed tables.
//
// Catalog values (table, index and rule names) are always bound as statement
// parameters, so any name round-trips exactly. Identifiers in DDL are spliced
// as given: callers rely on index column lists such as "name DESC".
#include "schema.hpp"

#include "binder.hpp"
#include "call_scope.hpp"
#include "driver_requests.hpp"
#include "names.hpp"
#include "refs.hpp"
#include "statement.hpp"

#include <string_view>
#include <vector>

namespace norvane {
namespace {

constexpr const char* kCreateIndexCatalog = "CREATE TABLE IF NOT EXISTS index_table (table_name, index_name, columns)";
constexpr const char* kCreateUniqueCatalog =
    "CREATE TABLE IF NOT EXISTS unique_table (table_name, unique_name, columns, col_num)";
constexpr const char* kDeleteIndexRow = "DELETE FROM index_table WHERE table_name = ? AND index_name = ?";
constexpr const char* kInsertIndexRow = "INSERT INTO index_table Values (?,?,?)";
constexpr const char* kSelectIndexRows = "SELECT * FROM index_table WHERE table_name = ?";
// The same rows between a tag and a NULL, five columns as sqlite_master has.
constexpr const char* kSelectTaggedIndexRows = "SELECT 'catalog', *, NULL FROM index_table WHERE table_name = ?";
static_assert(std::string_view(kSelectTaggedIndexRows).substr(8, 7) == kCatalogRowTag);
constexpr const char* kDeleteTableIndexRows = "DELETE FROM index_table WHERE table_name = ?";
constexpr const char* kDeleteUniqueRow = "DELETE FROM unique_table WHERE table_name = ? AND unique_name = ?";
constexpr const char* kInsertUniqueRow = "INSERT INTO unique_table Values (?,?,?,?)";
constexpr const char* kSelectUniqueRows = "SELECT * FROM unique_table WHERE table_name = ?";
constexpr const char* kDeleteTableUniqueRows = "DELETE FROM unique_table WHERE table_name = ?";
constexpr const char* kSelectSchemaIndexes = "SELECT * FROM sqlite_master WHERE type = 'index'";

// ------------------------------------------------------ statement shapes ---

Owned list_of(std::initializer_list<PyObject*> values) {
    Owned list = steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) {
        return {};
    }
    Py_ssize_t i = 0;
    for (PyObject* value : values) {
        PyList_SET_ITEM(list.get(), i++, Py_NewRef(value));
    }
    return list;
}

// A fixed statement, with its values bound.
bool run_fixed(Cursor& cursor, const char* statement, std::initializer_list<PyObject*> params = {}) {
    Owned sql = steal(PyUnicode_FromString(statement));
    if (!sql) {
        return false;
    }
    if (params.size() == 0) {
        return cursor.execute(sql.get());
    }
    Owned bound = list_of(params);
    return bound && cursor.execute(sql.get(), bound.get());
}

Owned query_fixed(Cursor& cursor, const char* statement, std::initializer_list<PyObject*> params) {
    Owned sql = steal(PyUnicode_FromString(statement));
    Owned bound = sql ? list_of(params) : Owned();
    return bound ? cursor.query(sql.get(), bound.get()) : Owned();
}

}  // namespace

Owned physical_index_name(PyObject* table, PyObject* name) {
    Owned table_text = str_of(table);
    Owned name_text = table_text ? str_of(name) : Owned();
    return name_text ? join_text({table_text, "_", name_text}) : Owned();
}

Owned drop_index_sql(PyObject* index_name) {
    Owned text = str_of(index_name);
    return text ? join_text({"DROP INDEX if exists ", text}) : Owned();
}

bool run_all(Cursor& cursor, PyObject* conn, const std::vector<Owned>& statements) {
    if (statements.size() > 1) {
        const int together = run_together(conn, statements);
        if (together != 0) {
            return together > 0;
        }
    }
    for (const Owned& sql : statements) {
        if (!cursor.execute(sql.get())) {
            return false;
        }
    }
    return true;
}

bool drop_physical_index(Cursor& cursor, PyObject* index_name) {
    Owned sql = drop_index_sql(index_name);
    return sql && cursor.execute(sql.get());
}

Owned index_body(PyObject* index_name, PyObject* table, PyObject* columns) {
    Owned table_text = str_of(table);
    Owned columns_text = table_text ? str_of(columns) : Owned();
    return columns_text ? join_text({index_name, " ON ", table_text, " (", columns_text, ")"}) : Owned();
}

namespace {

// "CREATE INDEX if not exists <index> ON <table> (<columns>)"
Owned create_index_sql(PyObject* index_name, PyObject* table, PyObject* columns) {
    Owned body = index_body(index_name, table, columns);
    return body ? join_text({"CREATE INDEX if not exists ", body}) : Owned();
}

bool create_physical_index(Cursor& cursor, PyObject* index_name, PyObject* table, PyObject* columns) {
    Owned sql = create_index_sql(index_name, table, columns);
    return sql && cursor.execute(sql.get());
}

// "DROP Table IF EXISTS <prefix><table>"
bool drop_sql_table(Cursor& cursor, const char* prefix, PyObject* table_text) {
    Owned sql = join_text({"DROP Table IF EXISTS ", prefix, table_text});
    return sql && cursor.execute(sql.get());
}

// "CREATE TABLE <prefix><table> (<columns>)"
bool create_sql_table(Cursor& cursor, const char* prefix, PyObject* table_text, PyObject* columns_text) {
    Owned sql = join_text({"CREATE TABLE ", prefix, table_text, " (", columns_text, ")"});
    return sql && cursor.execute(sql.get());
}

// --------------------------------------------------- table creation input --

// Everything create_table needs, built and checked before anything is dropped.
struct RuleSpec {
    Owned name;
    Owned columns;  // "name,address"
    Owned col_num;  // "0,2"
};

struct TablePlan {
    Owned column_list;  // "name,type,address,age"
    Owned cols;         // the column names, as a list
    Owned indexes;      // the caller's index entries, as a list
    std::vector<RuleSpec> rules;
};

// host concatenation: left + right
Owned concat(PyObject* left, PyObject* right) { return steal(PyNumber_Add(left, right)); }

// The column names joined by ",". The leading run of plain str names is
// joined in one go (linear in the text, whatever the column count); anything
// else goes through the host's concatenation, which raises its TypeError.
bool plan_columns(PyObject* cols, TablePlan& plan) {
    plan.cols = as_list(cols);
    if (!plan.cols) {
        return false;
    }
    PyObject* list = plan.cols.get();
    const Py_ssize_t n = PyList_GET_SIZE(list);
    Py_ssize_t plain = 0;
    while (plain < n && PyUnicode_CheckExact(PyList_GET_ITEM(list, plain))) {
        ++plain;
    }
    Owned text;
    if (plain > 0) {
        Owned head = steal(PyList_GetSlice(list, 0, plain));
        text = head ? steal(PyUnicode_Join(names().comma, head.get())) : Owned();
    } else {
        text = item_at(list, Py_ssize_t{0});
    }
    for (Py_ssize_t i = plain > 0 ? plain : 1; text && i < n; ++i) {
        Owned with_comma = concat(text.get(), names().comma);
        text = with_comma ? concat(with_comma.get(), PyList_GET_ITEM(list, i)) : Owned();
    }
    plan.column_list = std::move(text);
    return bool(plan.column_list);
}

// Each index entry gets its "table" key now, and must carry "name" and "cols".
bool plan_indexes(PyObject* index, PyObject* name, TablePlan& plan) {
    plan.indexes = as_list(index);
    if (!plan.indexes) {
        return false;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(plan.indexes.get()); ++i) {
        PyObject* entry = PyList_GET_ITEM(plan.indexes.get(), i);
        if (PyObject_SetItem(entry, names().table, name) < 0) {
            return false;
        }
        if (!item_named(entry, "name") || !item_named(entry, "cols")) {
            return false;
        }
    }
    return true;
}

// One rule's column names and positions as text: "name,address" and "0,2".
bool plan_rule(PyObject* entry, PyObject* cols, RuleSpec& rule) {
    Owned raw = item_named(entry, "cols");
    Owned positions = raw ? as_list(raw.get()) : Owned();
    if (!positions) {
        return false;
    }
    Owned first = item_at(positions.get(), Py_ssize_t{0});
    if (!first) {
        return false;
    }
    rule.columns = item_at(cols, first.get());
    rule.col_num = rule.columns ? str_of(first.get()) : Owned();
    for (Py_ssize_t i = 1; rule.col_num && i < PyList_GET_SIZE(positions.get()); ++i) {
        PyObject* position = PyList_GET_ITEM(positions.get(), i);
        Owned column = item_at(cols, position);
        Owned column_piece = column ? concat(names().comma, column.get()) : Owned();
        rule.columns = column_piece ? concat(rule.columns.get(), column_piece.get()) : Owned();
        Owned number = rule.columns ? str_of(position) : Owned();
        Owned number_piece = number ? concat(names().comma, number.get()) : Owned();
        rule.col_num = number_piece ? concat(rule.col_num.get(), number_piece.get()) : Owned();
    }
    if (!rule.col_num) {
        return false;
    }
    rule.name = item_named(entry, "name");
    return bool(rule.name);
}

bool plan_rules(PyObject* unique, TablePlan& plan) {
    Owned entries = as_list(unique);
    if (!entries) {
        return false;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); ++i) {
        RuleSpec rule;
        if (!plan_rule(PyList_GET_ITEM(entries.get(), i), plan.cols.get(), rule)) {
            return false;
        }
        plan.rules.push_back(std::move(rule));
    }
    return true;
}

}  // namespace

// --------------------------------------------------------- catalog tables --

bool create_catalog(Cursor& cursor) {
    return run_fixed(cursor, kCreateIndexCatalog) && run_fixed(cursor, kCreateUniqueCatalog);
}

// ---------------------------------------------------------- catalog reads --

bool read_rules(Cursor& cursor, PyObject* table, Owned& rules_dict) {
    Owned rows = query_fixed(cursor, kSelectUniqueRows, {table});
    rules_dict = rows ? steal(PyDict_New()) : Owned();
    if (!rules_dict) {
        return false;
    }
    for (Py_ssize_t r = 0; r < PyList_GET_SIZE(rows.get()); ++r) {
        PyObject* row = PyList_GET_ITEM(rows.get(), r);
        Owned col_num = item_at(row, Py_ssize_t{3});
        Owned pieces =
            col_num ? steal(PyObject_CallMethodOneArg(col_num.get(), names().split, names().comma)) : Owned();
        Owned piece_list = own_list(std::move(pieces));
        if (!piece_list) {
            return false;
        }
        const Py_ssize_t n = PyList_GET_SIZE(piece_list.get());
        Owned positions = steal(PyList_New(n));
        if (!positions) {
            return false;
        }
        for (Py_ssize_t i = 0; i < n; ++i) {
            Owned number = steal(PyNumber_Long(PyList_GET_ITEM(piece_list.get(), i)));
            if (!number) {
                return false;
            }
            PyList_SET_ITEM(positions.get(), i, number.release());
        }
        Owned name = item_at(row, Py_ssize_t{1});
        if (!name || PyObject_SetItem(rules_dict.get(), name.get(), positions.get()) < 0) {
            return false;
        }
    }
    return true;
}

Owned catalogued_indexes(Cursor& cursor, PyObject* table) { return query_fixed(cursor, kSelectIndexRows, {table}); }

Owned schema_indexes(Cursor& cursor) { return query_fixed(cursor, kSelectSchemaIndexes, {}); }

// tbl_name compared with the table as values, so a name in another letter
// case, or of another type, is another table.
int index_is_on(PyObject* schema_row, PyObject* table) {
    Owned owner = item_at(schema_row, Py_ssize_t{2});
    return owner ? compare(owner.get(), table, Py_EQ) : -1;
}

Owned table_columns(Cursor& cursor, PyObject* table) {
    Owned table_text = str_of(table);
    Owned sql = table_text ? join_text({"PRAGMA table_info(", table_text, ")"}) : Owned();
    Owned rows = sql ? cursor.query(sql.get()) : Owned();
    if (!rows) {
        return {};
    }
    const Py_ssize_t n = PyList_GET_SIZE(rows.get());
    Owned cols = steal(PyList_New(n));
    if (!cols) {
        return {};
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        Owned name = item_at(PyList_GET_ITEM(rows.get(), i), Py_ssize_t{1});
        if (!name) {
            return {};
        }
        PyList_SET_ITEM(cols.get(), i, name.release());
    }
    return cols;
}

Owned column_search(const std::vector<Owned>& column_names) {
    Owned text = steal(PyUnicode_FromString(""));
    bool first = true;
    for (const Owned& column : column_names) {
        Owned name = str_of(column.get());
        Owned piece = name ? join_text({first ? "" : "AND ", name, " = ? "}) : Owned();
        Owned joined = (piece && text) ? steal(PyUnicode_Concat(text.get(), piece.get())) : Owned();
        if (!joined) {
            return {};
        }
        text = std::move(joined);
        first = false;
    }
    return text;
}

// ------------------------------------------------------ index management ---

Owned insert_index(PyObject* conn, PyObject* index, PyObject* comm) {
    CallScope call(conn);
    if (!call.open_and_begin() || !run_fixed(call.cursor, kCreateIndexCatalog)) {
        return {};
    }
    Owned table = item_named(index, "table");
    Owned name = table ? item_named(index, "name") : Owned();
    Owned index_name = name ? physical_index_name(table.get(), name.get()) : Owned();
    if (!index_name || !run_fixed(call.cursor, kDeleteIndexRow, {table.get(), name.get()}) ||
        !drop_physical_index(call.cursor, index_name.get())) {
        return {};
    }
    Owned cols = item_named(index, "cols");
    if (!cols || !run_fixed(call.cursor, kInsertIndexRow, {table.get(), name.get(), cols.get()}) ||
        !create_physical_index(call.cursor, index_name.get(), table.get(), cols.get())) {
        return {};
    }
    return call.finish(comm);
}

Owned drop_index(PyObject* conn, PyObject* table, PyObject* name, PyObject* comm) {
    CallScope call(conn);
    if (!call.open_and_begin() || !run_fixed(call.cursor, kCreateIndexCatalog)) {
        return {};
    }
    Owned index_name = physical_index_name(table, name);
    if (!index_name || !run_fixed(call.cursor, kDeleteIndexRow, {table, name}) ||
        !drop_physical_index(call.cursor, index_name.get())) {
        return {};
    }
    return call.finish(comm);
}

bool create_catalogued_indexes(Cursor& cursor, PyObject* conn, PyObject* rows) {
    std::vector<Owned> creates;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows); ++i) {
        PyObject* row = PyList_GET_ITEM(rows, i);
        Owned row_table = item_at(row, Py_ssize_t{0});
        Owned row_name = row_table ? item_at(row, Py_ssize_t{1}) : Owned();
        Owned row_cols = row_name ? item_at(row, Py_ssize_t{2}) : Owned();
        Owned index_name = row_cols ? physical_index_name(row_table.get(), row_name.get()) : Owned();
        Owned sql = index_name ? create_index_sql(index_name.get(), row_table.get(), row_cols.get()) : Owned();
        if (!sql) {
            return false;
        }
        creates.push_back(std::move(sql));
    }
    return run_all(cursor, conn, creates);
}

const char* tagged_catalogued_indexes_sql() noexcept { return kSelectTaggedIndexRows; }

Owned active_table_index(PyObject* conn, PyObject* table, PyObject* comm) {
    CallScope call(conn);
    if (!call.open_and_begin()) {
        return {};
    }
    Owned rows = catalogued_indexes(call.cursor, table);
    if (!rows || !create_catalogued_indexes(call.cursor, conn, rows.get())) {
        return {};
    }
    return call.finish(comm);
}

Owned drop_table_index(PyObject* conn, PyObject* table, PyObject* comm) {
    CallScope call(conn);
    if (!call.open_and_begin()) {
        return {};
    }
    Owned rows = schema_indexes(call.cursor);
    if (!rows) {
        return {};
    }
    // The whole list is collected before the first DROP.
    std::vector<Owned> doomed;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows.get()); ++i) {
        PyObject* row = PyList_GET_ITEM(rows.get(), i);
        const int truth = index_is_on(row, table);
        if (truth < 0) {
            return {};
        }
        if (truth) {
            Owned index_name = item_at(row, Py_ssize_t{1});
            if (!index_name) {
                return {};
            }
            Owned sql = drop_index_sql(index_name.get());
            if (!sql) {
                return {};
            }
            doomed.push_back(std::move(sql));
        }
    }
    return run_all(call.cursor, conn, doomed) ? call.finish(comm) : Owned();
}

// ----------------------------------------------------- uniqueness rules ----

// A rule's backing index carries the rule's own name: catalog row
// (table, name, cols), physical index <table>_<name>.
Owned insert_unique(PyObject* conn, PyObject* table, PyObject* name, PyObject* cols, PyObject* cols_num,
                    PyObject* comm) {
    CallScope call(conn);
    if (!call.open_and_begin() || !run_fixed(call.cursor, kCreateUniqueCatalog) ||
        !run_fixed(call.cursor, kDeleteUniqueRow, {table, name}) ||
        !call_module<Fn::drop_index>(conn, table, name, Py_False) ||
        !run_fixed(call.cursor, kInsertUniqueRow, {table, name, cols, cols_num})) {
        return {};
    }
    Owned index = steal(PyDict_New());
    if (!index || PyDict_SetItemString(index.get(), "table", table) < 0 ||
        PyDict_SetItemString(index.get(), "name", name) < 0 || PyDict_SetItemString(index.get(), "cols", cols) < 0 ||
        !call_module<Fn::insert_index>(conn, index.get(), Py_False)) {
        return {};
    }
    return call.finish(comm);
}

Owned drop_unique(PyObject* conn, PyObject* table, PyObject* name, PyObject* comm) {
    CallScope call(conn);
    if (!call.open_and_begin() || !run_fixed(call.cursor, kCreateUniqueCatalog) ||
        !run_fixed(call.cursor, kDeleteUniqueRow, {table, name}) ||
        !call_module<Fn::drop_index>(conn, table, name, Py_False)) {
        return {};
    }
    return call.finish(comm);
}

// ------------------------------------------------ table creation/removal ---

// Every argument is checked and every text built before the old table is
// dropped: a bad argument must not cost the caller the table it replaces.
Owned create_table(PyObject* conn, PyObject* name, PyObject* cols, PyObject* index, PyObject* unique, PyObject* comm) {
    CallScope call(conn);
    if (!call.open()) {
        return {};
    }
    TablePlan plan;
    if (!plan_columns(cols, plan) || !plan_indexes(index, name, plan) || !plan_rules(unique, plan)) {
        return {};
    }
    Owned table_text = formatted(name);
    Owned columns_text = table_text ? formatted(plan.column_list.get()) : Owned();
    if (!columns_text || !call.begin() || !call_module<Fn::drop_table>(conn, name, Py_False) ||
        !create_sql_table(call.cursor, "", table_text.get(), columns_text.get()) ||
        !create_sql_table(call.cursor, "temp_", table_text.get(), columns_text.get())) {
        return {};
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(plan.indexes.get()); ++i) {
        PyObject* entry = PyList_GET_ITEM(plan.indexes.get(), i);
        if (!call_module<Fn::insert_index>(conn, entry, Py_False)) {
            return {};
        }
    }
    for (const RuleSpec& rule : plan.rules) {
        if (!call_module<Fn::insert_unique>(conn, name, rule.name.get(), rule.columns.get(), rule.col_num.get(),
                                            Py_False)) {
            return {};
        }
    }
    return call.finish(comm);
}

Owned drop_table(PyObject* conn, PyObject* table, PyObject* comm) {
    CallScope call(conn);
    if (!call.open()) {
        return {};
    }
    Owned table_text = formatted(table);
    if (!table_text || !call.begin() || !drop_sql_table(call.cursor, "", table_text.get()) ||
        !run_fixed(call.cursor, kDeleteTableIndexRows, {table}) ||
        !run_fixed(call.cursor, kDeleteTableUniqueRows, {table}) ||
        !drop_sql_table(call.cursor, "temp_", table_text.get())) {
        return {};
    }
    return call.finish(comm);
}

}  // namespace norvane
