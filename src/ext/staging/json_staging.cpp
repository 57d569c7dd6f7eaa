// Staging rows as JSON text through json_each.
#include "json_staging.hpp"

#include "profile.hpp"

#include <climits>
#include <cmath>
#include <string>
#include <vector>

namespace norvane {
namespace {

// About a MiB of JSON per statement: large enough that the round trips do not
// count, small enough for the driver's message limit.
constexpr size_t kChunkBytes = size_t{1} << 20;

// Appends the JSON form of `value`; false (no error set) when JSON cannot
// carry it exactly, false with an error set on failure.
bool append_value(std::string& out, PyObject* value) {
    if (value == Py_None) {
        out += "null";
        return true;
    }
    if (PyBool_Check(value)) {
        out += value == Py_True ? "true" : "false";
        return true;
    }
    if (PyLong_CheckExact(value)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow != 0) {
            return false;  // beyond 64 bits: the statement path reports it
        }
        if (v == -1 && PyErr_Occurred()) {
            return false;
        }
        out += std::to_string(v);
        return true;
    }
    if (PyFloat_CheckExact(value)) {
        const double d = PyFloat_AS_DOUBLE(value);
        if (!std::isfinite(d) || (d == 0.0 && std::signbit(d))) {
            return false;
        }
        char* text = PyOS_double_to_string(d, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
        if (text == nullptr) {
            return false;  // out of memory: raised
        }
        out += text;
        PyMem_Free(text);
        return true;
    }
    if (PyUnicode_CheckExact(value)) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(value, &size);
        if (text == nullptr) {
            // Not encodable (a lone surrogate): the statement path reports
            // it. Anything else, out of memory say, stays raised.
            if (PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
                PyErr_Clear();
            }
            return false;
        }
        out += '"';
        for (Py_ssize_t i = 0; i < size; ++i) {
            const auto c = static_cast<unsigned char>(text[i]);
            if (c == 0) {
                return false;
            }
            if (c == '"' || c == '\\') {
                out += '\\';
                out += static_cast<char>(c);
            } else if (c < 0x20) {
                static const char hex[] = "0123456789abcdef";
                out += "\\u00";
                out += hex[c >> 4];
                out += hex[c & 15];
            } else {
                out += static_cast<char>(c);
            }
        }
        out += '"';
        return true;
    }
    return false;
}

// Whether iterating `obj` can start (what PyObject_GetIter accepts), asked
// without calling any of its code.
bool is_iterable(PyObject* obj) { return Py_TYPE(obj)->tp_iter != nullptr || PySequence_Check(obj); }

class JsonStaging {
public:
    JsonStaging(Cursor& cursor, PyObject* table_text) : cursor_(cursor), table_text_(table_text) {}

    // 1 when every row was written into a chunk, 0 when one cannot be, -1 on
    // error. An exception raised by the caller's rows (Ctrl-C, out of memory,
    // a failing generator) propagates at once: the rows are read only once,
    // and nothing is staged. Only what is not iterable at all is left to the
    // statement path, which reports it in its own words.
    int encode(PyObject* rows) {
        if (!is_iterable(rows)) {
            return 0;
        }
        Owned iterator = steal(PyObject_GetIter(rows));
        if (!iterator) {
            return -1;
        }
        std::string chunk;
        while (Owned row = steal(PyIter_Next(iterator.get()))) {
            const bool as_is = PyList_CheckExact(row.get()) || PyTuple_CheckExact(row.get());
            if (!as_is && !is_iterable(row.get())) {
                return 0;
            }
            Owned values = as_is ? std::move(row) : steal(PySequence_List(row.get()));
            if (!values) {
                return -1;
            }
            const Py_ssize_t n = PySequence_Fast_GET_SIZE(values.get());
            if (width_ < 0) {
                width_ = n;
            }
            if (n != width_ || n == 0) {
                return 0;
            }
            chunk += chunk.empty() ? "[[" : ",[";
            for (Py_ssize_t k = 0; k < n; ++k) {
                if (k) {
                    chunk += ',';
                }
                if (!append_value(chunk, PySequence_Fast_GET_ITEM(values.get(), k))) {
                    return PyErr_Occurred() ? -1 : 0;
                }
            }
            chunk += ']';
            if (chunk.size() >= kChunkBytes) {
                chunks_.push_back(chunk + "]");
                chunk.clear();
            }
        }
        if (PyErr_Occurred()) {
            return -1;
        }
        if (!chunk.empty()) {
            chunks_.push_back(chunk + "]");
        }
        return 1;
    }

    // "INSERT INTO temp_<t> SELECT value->>0, ..., value->>(n-1) FROM json_each(?) ORDER BY key"
    bool insert(CallTransaction& transaction) {
        std::string columns;
        for (Py_ssize_t k = 0; k < width_; ++k) {
            columns += (k ? ", value->>" : "value->>") + std::to_string(k);
        }
        Owned select = steal(PyUnicode_FromStringAndSize(columns.data(), static_cast<Py_ssize_t>(columns.size())));
        Owned sql =
            select
                ? join_text({"INSERT INTO temp_", table_text_, " SELECT ", select, " FROM json_each(?) ORDER BY key"})
                : Owned();
        if (!sql) {
            return false;
        }
        for (std::string& chunk : chunks_) {
            Owned text = steal(PyUnicode_FromStringAndSize(chunk.data(), static_cast<Py_ssize_t>(chunk.size())));
            std::string().swap(chunk);
            Owned params = text ? steal(PyTuple_Pack(1, text.get())) : Owned();
            if (!params || !transaction.begin(cursor_) || !cursor_.execute(sql.get(), params.get())) {
                return false;
            }
        }
        return true;
    }

private:
    Cursor& cursor_;
    PyObject* table_text_;
    Py_ssize_t width_ = -1;
    std::vector<std::string> chunks_;
};

}  // namespace

int stage_as_json(PyObject* conn, Cursor& cursor, CallTransaction& transaction, PyObject* table_text, PyObject* rows) {
    Profile profile;
    if (read_connection_profile(conn, profile) < 0) {
        return -1;
    }
    if (!profile.allows(Path::json_staging)) {
        return 0;
    }
    JsonStaging staging(cursor, table_text);
    const int encoded = staging.encode(rows);
    if (encoded <= 0) {
        return encoded;
    }
    return staging.insert(transaction) ? 1 : -1;
}

}  // namespace norvane
