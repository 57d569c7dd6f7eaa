// What the units of the extension share: the published callables, the calling
// conventions between them, and the small helpers every statement goes through.
#pragma once

#include "refs.hpp"

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <vector>

namespace norvane {

// The published callables, in the order the module binds them (the two
// methods of DB first, then the module functions).
enum class Fn : int {
    db_init,
    db_connection,
    insert_index,
    drop_index,
    active_table_index,
    drop_table_index,
    insert_unique,
    drop_unique,
    create_table,
    insert_temp,
    delete_row_main,
    temp_to_main,
    insert_main,
    drop_table,
    find,
    check_newest_unique,
};
inline constexpr int kFunctionCount = 16;

// Arguments after binding: one borrowed reference per parameter, in parameter
// order, defaults filled in.
using Args = PyObject* const*;
using Impl = Owned (*)(Args);

// Implementations, one per published callable.
Owned db_init(Args);               // self, name, address
Owned db_connection(Args);         // self
Owned insert_index(Args);          // conn, index, comm
Owned drop_index(Args);            // conn, table, name, comm
Owned active_table_index(Args);    // conn, table, comm
Owned drop_table_index(Args);      // conn, table, comm
Owned insert_unique(Args);         // conn, table, name, cols, cols_num, comm
Owned drop_unique(Args);           // conn, table, name, comm
Owned create_table(Args);          // conn, name, cols, index, unique, comm
Owned insert_temp(Args);           // conn, table, rows, comm
Owned delete_row_main(Args);       // conn, table, ids, comm
Owned temp_to_main(Args);          // conn, table, comm
Owned insert_main(Args);           // conn, table, rows, comm
Owned drop_table(Args);            // conn, table, comm
Owned find(Args);                  // conn, select, table, conditions
Owned check_newest_unique(Args);   // conn, table, rowid, row, uniques, cols, total_select, eqivalent_set

// find with `params` (null for none) bound to both candidate statements. A
// null `select` returns whole rows, rowid first; `staged`, when given,
// receives how many of the returned rows (they come first) are staged ones.
Owned run_find(PyObject* conn, PyObject* select, PyObject* table, PyObject* conditions,
               PyObject* params, Py_ssize_t* staged = nullptr);

// ---------------------------------------------------------------- calls ----

// Looks the callee up among the module globals now and calls it with every
// argument by keyword (values in parameter order). When the global still holds
// our own function object, its C++ body runs directly, with the same traceback
// entry on failure.
Owned call_module_function(Fn callee, std::initializer_list<PyObject*> values);

// Calls `target` (a stand-in for `fn`) with every argument by keyword.
Owned call_by_keyword(PyObject* target, Fn fn, std::initializer_list<PyObject*> values);

// The current value of the module global that publishes `fn` (NameError when
// it has been deleted), and whether an object is our own function for `fn`.
Owned lookup_function(Fn fn);
Owned lookup_global(const char* name);
bool is_own_function(PyObject* obj, Fn fn);

// Adds the traceback entry of `fn` to the pending exception.
void add_traceback(Fn fn);
// The same for entries outside the published callables: the code object of
// an entry named `funcname` (build it once and keep it), and adding its
// entry to the pending exception.
Owned traceback_code(const char* funcname);
void add_traceback_entry(PyObject* code);


// The truth of `a <op> b` as the host decides it: 1 or 0, -1 on error.
int compare(PyObject* a, PyObject* b, int op);

// Interned names used for attribute access and keyword matching.
struct Names {
    PyObject* cursor;
    PyObject* execute;
    PyObject* fetchall;
    PyObject* commit;
    PyObject* close;
    PyObject* connect;
    PyObject* split;
    PyObject* index;
    PyObject* add;
    PyObject* name;
    PyObject* address;
    PyObject* table;
    PyObject* cols;
    PyObject* comma;
    PyObject* star;
    PyObject* empty;
    PyObject* in_transaction;
    PyObject* autocommit;
    PyObject* rollback;
    PyObject* row_factory;
    PyObject* text_factory;
    PyObject* adapters;
    PyObject* converters;
    PyObject* lower;
};
const Names& names();

// ---------------------------------------------------------------- cursor ---

// One cursor of a call, with its bound `execute` and `fetchall` looked up once.
class Cursor {
public:
    // conn.cursor(); false on error.
    bool open(PyObject* conn);
    // Reuses an open cursor (for a nested step that may share it).
    void adopt(const Cursor& other);

    // cursor.execute(sql[, params]); the cursor it returns is dropped.
    bool execute(PyObject* sql, PyObject* params = nullptr);
    // cursor.fetchall(), as a list.
    Owned fetch_all();
    // execute then fetchall.
    Owned query(PyObject* sql, PyObject* params = nullptr);
    // The next row of the last statement, one at a time; null at the end, or
    // on error with the error set.
    Owned next_row();
    // cursor.rowcount: the rows the last INSERT, UPDATE or DELETE changed; -1
    // with an error set on failure.
    Py_ssize_t rowcount();

    // True for the host's own cursor type: it binds the values of a parameter
    // container and keeps nothing, so a caller's tuple or list row may go to
    // it as it is.
    bool native() const noexcept { return native_; }
    explicit operator bool() const noexcept { return bool(cursor_); }

private:
    Owned cursor_;
    Owned execute_;
    Owned fetchall_;
    bool native_ = false;
};

// True when `conn` is exactly the host's connection type: its cursors are then
// plain host cursors and one may serve several steps unobserved.
bool is_native_connection(PyObject* conn);
// Remembers the sqlite3 module, sqlite3.Connection, sqlite3.Cursor and
// sqlite3.Error; called once at import. The getters return borrowed references.
bool remember_host_types(PyObject* sqlite3);
PyObject* host_sqlite3();
PyObject* host_sqlite3_error();

// A parameter list that is refilled in place while nobody else holds it.
class ParamList {
public:
    explicit ParamList(Py_ssize_t size) : size_(size) {}
    // Makes the list ready for the next statement: the same list when only we
    // hold it, a new one when a cursor kept the last one. False on error.
    bool prepare();
    // Element i of the prepared list (the value is borrowed; the list keeps its own).
    void set(Py_ssize_t i, PyObject* value);
    PyObject* get() const noexcept { return list_.get(); }

private:
    Py_ssize_t size_;
    Owned list_;
};

// Ctrl-C and other signals: long loops call this once per row; every few
// thousand calls it runs the host's signal handlers. False with the handler's
// exception (KeyboardInterrupt) set.
class SignalPoll {
public:
    bool tick() { return ++count_ % kEvery != 0 || PyErr_CheckSignals() == 0; }

private:
    static constexpr unsigned kEvery = 4096;
    unsigned count_ = 0;
};

// ----------------------------------------------------------- transaction ---

// The transaction of one call. `begin` runs right before the call's first
// statement: when `conn.in_transaction` is False it executes BEGIN on the
// call's cursor, and everything after runs in that transaction; inside the
// caller's transaction (or on a connection without `in_transaction`) it does
// nothing. A writing call ends with `finish`; a transaction it opened and did
// not finish (it failed) is rolled back when this object goes, leaving the
// pending exception as it was. A snapshot (find) is always rolled back.
class CallTransaction {
public:
    enum class Kind { deferred, immediate, snapshot };
    CallTransaction(PyObject* conn, Kind kind) : conn_(conn), kind_(kind) {}
    CallTransaction(const CallTransaction&) = delete;
    CallTransaction& operator=(const CallTransaction&) = delete;
    ~CallTransaction();

    bool begin(Cursor& cursor);
    // Commits when `comm == True` holds (conn.commit(), then COMMIT if what we
    // opened is still open); what we opened on a connection that commits by
    // itself is committed whatever `comm` says. Returns None, null on error.
    Owned finish(PyObject* comm);

private:
    bool commit_if_open();

    PyObject* conn_;
    Kind kind_;
    Cursor cursor_;  // the call's cursor, for COMMIT and ROLLBACK
    bool checked_ = false;
    bool opened_ = false;
    bool finished_ = false;
};

// ------------------------------------------------------ newest groups ----

// find's newest test answered from a pass over the rows of both tables
// instead of one statement walk per candidate, on the find's own cursor.
// Where only the walk is exact (an observable connection, value factories,
// adapters, converters, collations, odd names, rows that are not stored
// rows, a sqlite3 error on the way), `answer` says so and the walk decides.
class NewestGroups {
public:
    static constexpr int kWalk = 2;

    NewestGroups(Cursor& cursor, PyObject* conn, PyObject* table, PyObject* cols, PyObject* uniques,
                 PyObject* conditions);
    ~NewestGroups();
    NewestGroups(const NewestGroups&) = delete;
    NewestGroups& operator=(const NewestGroups&) = delete;

    // find's statement for the main candidates and its parameters (null for
    // none): without conditions, a scan during the staging pass may run it
    // early and hand its rows on through take_candidates.
    void reuse(PyObject* main_sql, PyObject* params);
    // The candidate rows (a list) of the pass over `source` that starts now:
    // how many there are chooses between key lookups and one scan of each
    // table, and without conditions they are the rows such a scan reads.
    void expect(long source, PyObject* candidates);
    // The rows of `source`'s candidate statement when they were read already
    // (null when not): the statement must then not run again.
    Owned take_candidates(long source);
    // For the fetched candidate `row` of `source`: 1 newest, 0 superseded,
    // kWalk when the walk must decide, -1 with an error set.
    int answer(PyObject* row, long source);

private:
    struct State;
    State* state_;
};

// How NewestGroups gathers rows: on its own judgement, or (for tests and
// benchmarks) always by key lookups, by lookups with the staging table read
// into groups at once, or by one scan of each table.
enum class FindPlan { automatic, lookups, grouped, scan };
void set_find_plan(FindPlan plan);

// ---------------------------------------------------------------- text -----

// A piece of statement text: a fixed fragment or a str object.
struct Piece {
    Piece(const char* fixed) : fixed(fixed) {}  // NOLINT: implicit by design
    Piece(PyObject* text) : text(text) {}  // NOLINT
    Piece(const Owned& text) : text(text.get()) {}  // NOLINT
    const char* fixed = nullptr;
    PyObject* text = nullptr;
};
// The pieces joined into one str.
Owned join_text(std::initializer_list<Piece> pieces);

// str(value), and format(value, '') as an f-string field gives it.
Owned str_of(PyObject* value);
Owned formatted(PyObject* value);

// ---------------------------------------------------------------- items ----

// seq[i] with the host's indexing rules and errors; fast for tuples and lists.
Owned item_at(PyObject* seq, Py_ssize_t i);
// seq[key] where key is any index object (an int most of the time).
Owned item_at(PyObject* seq, PyObject* key);
// obj[key] for a str key.
Owned item_named(PyObject* obj, const char* key);
// The elements of an iterable, as a new list nobody else holds: borrowed
// items of it stay valid whatever the caller's code does meanwhile.
Owned as_list(PyObject* iterable);
// The same for a call's result: taken as it is when it is a list that only we hold.
Owned own_list(Owned value);
// A new tuple (a, b).
Owned pair(PyObject* a, PyObject* b);

// ---------------------------------------------------------------- rules ----

// A uniqueness rule as the catalog holds it: name and column positions.
struct Rule {
    Owned name;
    Owned positions;  // list of int
};
// Creates index_table and unique_table where they do not exist yet.
bool create_catalog(Cursor& cursor);
// Reads the rules of `table` from unique_table, in catalog order; a name seen
// twice keeps its first place and takes its last positions.
bool read_rules(Cursor& cursor, PyObject* table, Owned& rules_dict);
// The column names of a table, in table order (empty for no table).
Owned table_columns(Cursor& cursor, PyObject* table);

// One SELECT per rule: "<name> = ? AND <name> = ? " for the given columns.
Owned column_search(const std::vector<Owned>& column_names);

// ---------------------------------------------------------------- indexes --

// The SQLite name of a catalogued index: "<table>_<name>".
Owned physical_index_name(PyObject* table, PyObject* name);
// "<index> ON <table> (<columns>)": what follows "CREATE INDEX if not exists "
// when an index is built from the catalog, and what SQLite then stores after
// "CREATE INDEX " in sqlite_master.
Owned index_body(PyObject* index_name, PyObject* table, PyObject* columns);
// "DROP INDEX if exists <index>"
bool drop_physical_index(Cursor& cursor, PyObject* index_name);
// The catalog rows (table_name, index_name, columns) of a table, in catalog order.
Owned catalogued_indexes(Cursor& cursor, PyObject* table);
// Every index row of sqlite_master: (type, name, tbl_name, rootpage, sql).
Owned schema_indexes(Cursor& cursor);
// Whether a sqlite_master row is an index of `table`: 1 or 0, -1 on error.
int index_is_on(PyObject* schema_row, PyObject* table);

// How a merge treats the main table's indexes: chosen by cost, or forced
// either way (a private switch for tests and benchmarks).
enum class IndexPolicy { automatic, keep, rebuild };
IndexPolicy merge_index_policy() noexcept;
void set_merge_index_policy(IndexPolicy policy) noexcept;

// Which indexes of the main table a merge leaves in place instead of dropping
// and rebuilding them. Planned before the writes; when it keeps nothing the
// merge drops and rebuilds through the module functions as always.
class MergeIndexes {
public:
    // `changes`: main rows the merge deletes plus staged rows it inserts.
    bool plan(Cursor& cursor, PyObject* table, Py_ssize_t changes);
    // The same when only bounds of the changes are known: `count` is asked
    // for the exact number only when the bounds lie on both sides of the
    // break-even (it sets the number, false on error).
    bool plan(Cursor& cursor, PyObject* table, Py_ssize_t at_least, Py_ssize_t at_most,
              const std::function<bool(Py_ssize_t&)>& count);
    bool keeps_any() const noexcept { return keeps_any_; }
    // Whether the rebuild after the writes would find every catalogued index
    // in place (all kept) and so create nothing.
    bool rebuilds_nothing() const noexcept { return keeps_any_ && all_kept_; }
    // The main table's largest rowid (None when empty) when the caller read it
    // already: the plan then does not read it again.
    void know_largest_rowid(Owned largest) { largest_rowid_ = std::move(largest); }
    // Drops every index of the table that is not kept, in schema order.
    bool drop_the_rest(Cursor& cursor);

private:
    bool read_schema(Cursor& cursor, PyObject* table);
    bool cheaper_to_keep(Cursor& cursor, PyObject* table, Py_ssize_t at_least, Py_ssize_t at_most,
                         const std::function<bool(Py_ssize_t&)>& count, bool& keep);
    bool match_catalog(Cursor& cursor, PyObject* table);

    std::vector<Owned> names_;        // the table's indexes, in schema order
    std::vector<Owned> definitions_;  // their stored sql (None for an automatic index)
    std::vector<bool> kept_;
    bool keeps_any_ = false;
    bool all_kept_ = false;
    Owned largest_rowid_;
};

}  // namespace norvane
