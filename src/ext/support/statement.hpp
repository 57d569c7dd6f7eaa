// The helpers every statement goes through: the call's cursor, parameter
// lists refilled in place, statement text, item access and host comparisons.
#pragma once

#include "refs.hpp"

#include <initializer_list>
#include <string>

namespace norvane {

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

// ---------------------------------------------------------------- text -----

// A piece of statement text: a fixed fragment or a str object.
struct Piece {
    Piece(const char* fixed) : fixed(fixed) {}      // NOLINT: implicit by design
    Piece(PyObject* text) : text(text) {}           // NOLINT
    Piece(const Owned& text) : text(text.get()) {}  // NOLINT
    const char* fixed = nullptr;
    PyObject* text = nullptr;
};
// The pieces joined into one str.
Owned join_text(std::initializer_list<Piece> pieces);

// str(value), and format(value, '') as an f-string field gives it.
Owned str_of(PyObject* value);
Owned formatted(PyObject* value);

// --------------------------------------------------------------- values ----

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

// A fetched row as the host returns it without a row factory: a tuple of at
// least n values.
bool is_row(PyObject* row, Py_ssize_t n);
// The UTF-8 text of a str, or null (no error set) for anything else.
const char* utf8_of(PyObject* obj);
// `s` with its ASCII letters upper-cased, as SQLite reads keywords and type names.
std::string upper(const char* s);

// The truth of `a <op> b` as the host decides it: 1 or 0, -1 on error.
int compare(PyObject* a, PyObject* b, int op);

}  // namespace norvane
