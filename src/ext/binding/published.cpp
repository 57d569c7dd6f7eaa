// The published callables' table of signatures: name, docstring, parameters
// and typed core of each, in publishing order.
#include "published.hpp"

#include "binder.hpp"
#include "db_handle.hpp"
#include "query.hpp"
#include "schema.hpp"
#include "storage.hpp"
#include "temp_to_main.hpp"

#include <array>

namespace norvane {
namespace {

// The published table's ids are its Fn values.
constexpr int id(Fn fn) { return static_cast<int>(fn); }

constexpr const char* kInsertIndexDoc =
    "\n    Insert index for fast search."
    "\n    index = {"
    "\n    'table': 'homes',"
    "\n    'name': 'index_0',"
    "\n    'cols': 'name,type,address'"
    "\n    }"
    "\n    ";

constexpr const char* kInsertUniqueDoc =
    "\n    Insert uniques of table, the last one with unique features replaces old ones."
    "\n    table = 'homes'   # table ('name', 'type', 'address', 'age')"
    "\n    name = 'unique_0'"
    "\n    cols = 'name,address'"
    "\n    cols_num = '0,2'"
    "\n    ";

constexpr const char* kCreateTableDoc =
    "\n    Create table with indexes and uniques."
    "\n    name = 'homes'"
    "\n    cols = ['name', 'type', 'address', 'age']"
    "\n    index = ["
    "\n        {"
    "\n            'name': 'index_0',"
    "\n            'cols': 'name,type,address'"
    "\n        },"
    "\n        {"
    "\n            'name': 'index_1',"
    "\n            'cols': 'age'"
    "\n        }"
    "\n    ]"
    "\n    unique = ["
    "\n        {"
    "\n            'name': 'unique_0',"
    "\n            'cols': [0, 1]     # 'name, type'"
    "\n        },"
    "\n        {"
    "\n            'name': 'unique_1',"
    "\n            'cols': [2]     #'address'"
    "\n        }"
    "\n    ]"
    "\n    ";

constexpr const char* kFindDoc =
    "\n    Find rows from temp and main tables."
    "\n    select = '*' or 'name,age'"
    "\n    table = 'persons'"
    "\n    conditions = '''"
    "\n        where (id, city) = (1093, 'Tehran')"
    "\n        order by age desc"
    "\n    '''"
    "\n    ";

// In publishing order: DB's methods, then the module functions.
constexpr std::array<FunctionSpec, kFunctionCount> kSpecs = {{
    {id(Fn::db_init),
     "__init__",
     "DB.__init__",
     nullptr,
     "(self, name, address)",
     {"self", "name", "address"},
     3,
     TrailingDefault::none,
     kCore<db_init>},
    {id(Fn::db_connection),
     "connection",
     "DB.connection",
     nullptr,
     "(self)",
     {"self"},
     1,
     TrailingDefault::none,
     kCore<db_connection>},
    {id(Fn::insert_index),
     "insert_index",
     "insert_index",
     kInsertIndexDoc,
     "(conn, index, comm=True)",
     {"conn", "index", "comm"},
     3,
     TrailingDefault::true_value,
     kCore<insert_index>},
    {id(Fn::drop_index),
     "drop_index",
     "drop_index",
     "\n    Drop one index of table.\n    ",
     "(conn, table, name, comm=True)",
     {"conn", "table", "name", "comm"},
     4,
     TrailingDefault::true_value,
     kCore<drop_index>},
    {id(Fn::active_table_index),
     "active_table_index",
     "active_table_index",
     "\n    Activate indexes of table after drooping them for fast insertion.\n    ",
     "(conn, table, comm=True)",
     {"conn", "table", "comm"},
     3,
     TrailingDefault::true_value,
     kCore<active_table_index>},
    {id(Fn::drop_table_index),
     "drop_table_index",
     "drop_table_index",
     "\n    Drop index of table for fast insert rows.\n    ",
     "(conn, table, comm=True)",
     {"conn", "table", "comm"},
     3,
     TrailingDefault::true_value,
     kCore<drop_table_index>},
    {id(Fn::insert_unique),
     "insert_unique",
     "insert_unique",
     kInsertUniqueDoc,
     "(conn, table, name, cols, cols_num, comm=True)",
     {"conn", "table", "name", "cols", "cols_num", "comm"},
     6,
     TrailingDefault::true_value,
     kCore<insert_unique>},
    {id(Fn::drop_unique),
     "drop_unique",
     "drop_unique",
     "\n    Delete one unique of table.\n    ",
     "(conn, table, name, comm=True)",
     {"conn", "table", "name", "comm"},
     4,
     TrailingDefault::true_value,
     kCore<drop_unique>},
    {id(Fn::create_table),
     "create_table",
     "create_table",
     kCreateTableDoc,
     "(conn, name, cols, index, unique, comm=True)",
     {"conn", "name", "cols", "index", "unique", "comm"},
     6,
     TrailingDefault::true_value,
     kCore<create_table>},
    {id(Fn::insert_temp),
     "insert_temp",
     "insert_temp",
     "\n    Fast temp_table insertion.\n    ",
     "(conn, table, rows, comm=True)",
     {"conn", "table", "rows", "comm"},
     4,
     TrailingDefault::true_value,
     kCore<insert_temp>},
    {id(Fn::delete_row_main),
     "delete_row_main",
     "delete_row_main",
     "\n    Fast delete selcted rows from main_table.\n    ",
     "(conn, table, ids, comm=True)",
     {"conn", "table", "ids", "comm"},
     4,
     TrailingDefault::true_value,
     kCore<delete_row_main>},
    {id(Fn::temp_to_main),
     "temp_to_main",
     "temp_to_main",
     "\n    Fast temp to main insertion.\n    ",
     "(conn, table, comm=True)",
     {"conn", "table", "comm"},
     3,
     TrailingDefault::true_value,
     kCore<temp_to_main>},
    {id(Fn::insert_main),
     "_insert_main",
     "_insert_main",
     nullptr,
     "(conn, table, rows, comm=True)",
     {"conn", "table", "rows", "comm"},
     4,
     TrailingDefault::true_value,
     kCore<insert_main>},
    {id(Fn::drop_table),
     "drop_table",
     "drop_table",
     "\n    Drop table with indexes and uniques.\n    ",
     "(conn, table, comm=True)",
     {"conn", "table", "comm"},
     3,
     TrailingDefault::true_value,
     kCore<drop_table>},
    {id(Fn::find),
     "find",
     "find",
     kFindDoc,
     "(conn, select, table, conditions)",
     {"conn", "select", "table", "conditions"},
     4,
     TrailingDefault::none,
     kCore<find>},
    {id(Fn::check_newest_unique),
     "_check_newest_unique",
     "_check_newest_unique",
     nullptr,
     "(conn, table, rowid, row, uniques, cols, total_select, eqivalent_set)",
     {"conn", "table", "rowid", "row", "uniques", "cols", "total_select", "eqivalent_set"},
     8,
     TrailingDefault::none,
     kCore<check_newest_unique>},
}};

// Besides what every table holds (binder.hpp), the published callables
// with a default take `comm` last, defaulting to True, and their parameter
// counts are those nested calls are checked against.
constexpr bool published_entry_holds(const FunctionSpec& spec) {
    return (spec.trailing_default == TrailingDefault::none ||
            (spec.trailing_default == TrailingDefault::true_value && defaulted_count(spec) == 1 &&
             same_text(spec.params[spec.nparams - 1], "comm"))) &&
           kParamCounts[spec.id] == spec.nparams;
}

constexpr bool published_entries_hold() {
    for (const FunctionSpec& spec : kSpecs) {
        if (!published_entry_holds(spec)) {
            return false;
        }
    }
    return true;
}
static_assert(static_cast<int>(Fn::check_newest_unique) + 1 == kFunctionCount, "one entry per Fn");
static_assert(entries_hold(kSpecs), "kSpecs: an entry out of its id's place, or its parameters and signature disagree");
static_assert(published_entries_hold(), "kSpecs: comm not last, or a parameter count differs from kParamCounts");
static_assert(arities_match(kSpecs), "kSpecs: a core takes other than the parameters its entry names");

}  // namespace

std::span<const FunctionSpec> published_specs() { return kSpecs; }

}  // namespace norvane
