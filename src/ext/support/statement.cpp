// The helpers every statement goes through: the call's cursor, parameter
// lists refilled in place, statement text, item access and host comparisons.
#include "statement.hpp"

#include "names.hpp"
#include "refs.hpp"

#include <cctype>
#include <string>

namespace norvane {
namespace {

// The host's own connection and cursor types, read from the sqlite3 module
// when the module is initialised.
Retained g_sqlite3;
Retained g_connection_type;
Retained g_cursor_type;
Retained g_error_type;

}  // namespace

bool remember_host_types(PyObject* sqlite3) {
    Owned connection_type = steal(PyObject_GetAttrString(sqlite3, "Connection"));
    Owned cursor_type = connection_type ? steal(PyObject_GetAttrString(sqlite3, "Cursor")) : Owned();
    Owned error_type = cursor_type ? steal(PyObject_GetAttrString(sqlite3, "Error")) : Owned();
    if (!error_type) {
        return false;
    }
    g_sqlite3.keep(share(sqlite3));
    g_connection_type.keep(std::move(connection_type));
    g_cursor_type.keep(std::move(cursor_type));
    g_error_type.keep(std::move(error_type));
    return true;
}

PyObject* host_sqlite3() { return g_sqlite3.get(); }

PyObject* host_sqlite3_error() { return g_error_type.get(); }

bool is_native_connection(PyObject* conn) {
    return g_connection_type && Py_IS_TYPE(conn, reinterpret_cast<PyTypeObject*>(g_connection_type.get()));
}

// ---------------------------------------------------------------- cursor ---

bool Cursor::open(PyObject* conn) {
    cursor_ = steal(PyObject_CallMethodNoArgs(conn, names().cursor));
    if (!cursor_) {
        return false;
    }
    native_ = g_cursor_type && Py_IS_TYPE(cursor_.get(), reinterpret_cast<PyTypeObject*>(g_cursor_type.get()));
    execute_.reset();
    fetchall_.reset();
    return true;
}

void Cursor::adopt(const Cursor& other) {
    cursor_ = share(other.cursor_.get());
    execute_ = share(other.execute_.get());
    fetchall_ = share(other.fetchall_.get());
    native_ = other.native_;
}

bool Cursor::execute(PyObject* sql, PyObject* params) {
    // Between statements is where a long call can answer Ctrl-C.
    if (PyErr_CheckSignals() < 0) {
        return false;
    }
    if (!execute_) {
        execute_ = steal(PyObject_GetAttr(cursor_.get(), names().execute));
        if (!execute_) {
            return false;
        }
    }
    PyObject* argv[] = {sql, params};
    return bool(steal(PyObject_Vectorcall(execute_.get(), argv, params ? 2 : 1, nullptr)));
}

Owned Cursor::fetch_all() {
    if (!fetchall_) {
        fetchall_ = steal(PyObject_GetAttr(cursor_.get(), names().fetchall));
        if (!fetchall_) {
            return {};
        }
    }
    return own_list(steal(PyObject_CallNoArgs(fetchall_.get())));
}

Owned Cursor::query(PyObject* sql, PyObject* params) {
    if (!execute(sql, params)) {
        return {};
    }
    return fetch_all();
}

Owned Cursor::next_row() { return steal(PyIter_Next(cursor_.get())); }

Py_ssize_t Cursor::rowcount() {
    Owned count = steal(PyObject_GetAttrString(cursor_.get(), "rowcount"));
    const Py_ssize_t n = count ? PyLong_AsSsize_t(count.get()) : -1;
    if (n < 0 && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "norvane: the cursor did not count the rows it inserted");
    }
    return n;
}

bool ParamList::prepare() {
    // The host's cursor binds the values during execute and keeps no
    // reference; anyone who does keep the list gets it to themselves.
    if (list_ && Py_REFCNT(list_.get()) == 1) {
        return true;
    }
    list_ = steal(PyList_New(size_));
    if (!list_) {
        return false;
    }
    for (Py_ssize_t i = 0; i < size_; ++i) {
        PyList_SET_ITEM(list_.get(), i, Py_NewRef(Py_None));
    }
    return true;
}

void ParamList::set(Py_ssize_t i, PyObject* value) {
    PyObject* old = PyList_GET_ITEM(list_.get(), i);
    PyList_SET_ITEM(list_.get(), i, Py_NewRef(value));
    Py_DECREF(old);
}

// ---------------------------------------------------------------- text -----

Owned join_text(std::initializer_list<Piece> pieces) {
    Owned parts = steal(PyTuple_New(static_cast<Py_ssize_t>(pieces.size())));
    if (!parts) {
        return {};
    }
    Py_ssize_t i = 0;
    for (const Piece& piece : pieces) {
        Owned text = piece.fixed ? steal(PyUnicode_FromString(piece.fixed)) : share(piece.text);
        if (!text) {
            return {};
        }
        PyTuple_SET_ITEM(parts.get(), i++, text.release());
    }
    return steal(PyUnicode_Join(names().empty, parts.get()));
}

Owned str_of(PyObject* value) { return steal(PyObject_Str(value)); }

Owned formatted(PyObject* value) { return steal(PyObject_Format(value, nullptr)); }

// ---------------------------------------------------------------- items ----

Owned item_at(PyObject* seq, Py_ssize_t i) {
    if (PyTuple_CheckExact(seq)) {
        const Py_ssize_t n = PyTuple_GET_SIZE(seq);
        const Py_ssize_t k = i < 0 ? i + n : i;
        if (k >= 0 && k < n) {
            return share(PyTuple_GET_ITEM(seq, k));
        }
    } else if (PyList_CheckExact(seq)) {
        const Py_ssize_t n = PyList_GET_SIZE(seq);
        const Py_ssize_t k = i < 0 ? i + n : i;
        if (k >= 0 && k < n) {
            return share(PyList_GET_ITEM(seq, k));
        }
    }
    Owned key = steal(PyLong_FromSsize_t(i));
    return key ? steal(PyObject_GetItem(seq, key.get())) : Owned();
}

Owned item_at(PyObject* seq, PyObject* key) {
    if (PyLong_CheckExact(key) && (PyTuple_CheckExact(seq) || PyList_CheckExact(seq))) {
        int overflow = 0;
        const long long i = PyLong_AsLongLongAndOverflow(key, &overflow);
        if (!overflow && !(i == -1 && PyErr_Occurred())) {
            return item_at(seq, static_cast<Py_ssize_t>(i));
        }
        PyErr_Clear();
    }
    return steal(PyObject_GetItem(seq, key));
}

Owned item_named(PyObject* obj, const char* key) {
    Owned k = steal(PyUnicode_FromString(key));
    return k ? steal(PyObject_GetItem(obj, k.get())) : Owned();
}

Owned as_list(PyObject* iterable) { return steal(PySequence_List(iterable)); }

Owned own_list(Owned value) {
    if (!value || (PyList_CheckExact(value.get()) && Py_REFCNT(value.get()) == 1)) {
        return value;
    }
    return as_list(value.get());
}

Owned pair(PyObject* a, PyObject* b) { return steal(PyTuple_Pack(2, a, b)); }

// ---------------------------------------------------------- comparisons --

bool is_row(PyObject* row, Py_ssize_t n) { return PyTuple_Check(row) && PyTuple_GET_SIZE(row) >= n; }

const char* utf8_of(PyObject* obj) {
    if (!PyUnicode_Check(obj)) {
        return nullptr;
    }
    const char* text = PyUnicode_AsUTF8(obj);
    if (text == nullptr) {
        PyErr_Clear();
    }
    return text;
}

std::string upper(const char* s) {
    std::string out(s);
    for (char& c : out) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return out;
}

int compare(PyObject* a, PyObject* b, int op) {
    Owned result = steal(PyObject_RichCompare(a, b, op));
    return result ? PyObject_IsTrue(result.get()) : -1;
}

}  // namespace norvane
