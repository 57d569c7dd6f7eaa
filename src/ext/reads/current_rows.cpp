// Current rows (see current_rows.hpp). The keys are written by encode_value,
// so they compare as a UNIQUE index compares stored values (1 = 1.0, '1' <>
// 1); a tuple holding a NULL equals nothing, so it enters no key table. The
// caller uses this only where fetched values are the stored ones and text
// compares by its bytes.
#include "current_rows.hpp"

#include "keys.hpp"
#include "statement.hpp"

#include <new>

namespace norvane {
namespace {

struct RuleKeys {
    Vec<Py_ssize_t> key_picks;  // where the rule's values stand in a staging-pass row
    Vec<Py_ssize_t> row_picks;  // where they stand in a candidate row
    KeyTable table;             // key -> index into State::newest
};

struct State {
    Vec<RuleKeys> rules;
    Vec<long long> newest;  // per staged key: the largest rowid holding it
    Vec<long long> rowids;  // every staged row added, with its key per rule:
    Vec<uint32_t> nodes;    // rules.size() entries per row (kNone: it holds a NULL)
    Bytes key;              // scratch
};

struct CurrentRowsObject {
    PyObject_HEAD State* state;
};

// The tuple indexes of every rule, from a list of sequences of ints.
bool read_picks(PyObject* picks, State& state, bool for_keys) {
    Owned list = as_list(picks);
    if (!list) {
        return false;
    }
    const Py_ssize_t n = PyList_GET_SIZE(list.get());
    if (for_keys) {
        state.rules.resize(static_cast<size_t>(n));
    } else if (static_cast<size_t>(n) != state.rules.size()) {
        PyErr_SetString(PyExc_ValueError, "CurrentRows: key and row picks name different rules");
        return false;
    }
    for (Py_ssize_t r = 0; r < n; ++r) {
        Owned indexes = as_list(PyList_GET_ITEM(list.get(), r));
        if (!indexes) {
            return false;
        }
        RuleKeys& rule = state.rules[static_cast<size_t>(r)];
        Vec<Py_ssize_t>& out = for_keys ? rule.key_picks : rule.row_picks;
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(indexes.get()); ++k) {
            const Py_ssize_t at = PyNumber_AsSsize_t(PyList_GET_ITEM(indexes.get(), k), PyExc_IndexError);
            if (at == -1 && PyErr_Occurred()) {
                return false;
            }
            if (at < 0) {
                PyErr_SetString(PyExc_ValueError, "CurrentRows: negative pick");
                return false;
            }
            out.push_back(at);
        }
    }
    return true;
}

// A fetched row: a tuple wide enough for every pick.
bool check_row(PyObject* row, Py_ssize_t width) {
    if (!PyTuple_Check(row) || PyTuple_GET_SIZE(row) < width) {
        PyErr_SetString(PyExc_TypeError, "CurrentRows: rows must be tuples holding every picked column");
        return false;
    }
    return true;
}

Py_ssize_t widest(const State& state, bool for_keys) {
    Py_ssize_t width = 1;  // the rowid
    for (const RuleKeys& rule : state.rules) {
        for (Py_ssize_t at : for_keys ? rule.key_picks : rule.row_picks) {
            width = at + 1 > width ? at + 1 : width;
        }
    }
    return width;
}

// The key of `row` under a rule into state.key: 1 written, 0 it holds a NULL
// (and so equals nothing), -1 error.
int write_key(State& state, PyObject* row, const Vec<Py_ssize_t>& picks) {
    state.key.clear();
    for (Py_ssize_t at : picks) {
        const Encoded e = encode_value(PyTuple_GET_ITEM(row, at), state.key);
        if (e == Encoded::foreign) {
            PyErr_Format(PyExc_TypeError, "CurrentRows: cannot compare a %.100s value",
                         Py_TYPE(PyTuple_GET_ITEM(row, at))->tp_name);
            return -1;
        }
        if (e == Encoded::null) {
            return 0;
        }
    }
    return 1;
}

bool rowid_of(PyObject* row, long long& rowid) {
    rowid = PyLong_AsLongLong(PyTuple_GET_ITEM(row, 0));
    return !(rowid == -1 && PyErr_Occurred());
}

// add_staged(rows): rows of the staging pass (rowid first); each key keeps
// the largest rowid that holds it.
PyObject* add_staged(PyObject* self, PyObject* rows) {
    State& state = *reinterpret_cast<CurrentRowsObject*>(self)->state;
    Owned list = own_list(share(rows));
    if (!list) {
        return nullptr;
    }
    const Py_ssize_t width = widest(state, true);
    try {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
            PyObject* row = PyList_GET_ITEM(list.get(), i);
            long long rowid = 0;
            if (!check_row(row, width) || !rowid_of(row, rowid)) {
                return nullptr;
            }
            for (RuleKeys& rule : state.rules) {
                const int written = write_key(state, row, rule.key_picks);
                if (written < 0) {
                    return nullptr;
                }
                if (written == 0) {
                    state.nodes.push_back(kNone);
                    continue;
                }
                const auto next = static_cast<uint32_t>(state.newest.size());
                const uint32_t node = rule.table.find_or_add(state.key.data(), state.key.size(), next);
                if (node == kNone) {
                    state.newest.push_back(rowid);
                } else if (state.newest[node] < rowid) {
                    state.newest[node] = rowid;
                }
                state.nodes.push_back(node == kNone ? next : node);
            }
            state.rowids.push_back(rowid);
        }
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    Py_RETURN_NONE;
}

// current_staged() -> int: how many of the staged rows added are current
// (each row counted once per time it was added).
PyObject* current_staged(PyObject* self, PyObject*) {
    const State& state = *reinterpret_cast<CurrentRowsObject*>(self)->state;
    const size_t per_row = state.rules.size();
    Py_ssize_t count = 0;
    for (size_t i = 0; i < state.rowids.size(); ++i) {
        bool current = true;
        for (size_t r = 0; r < per_row && current; ++r) {
            const uint32_t node = state.nodes[i * per_row + r];
            current = node == kNone || state.newest[node] == state.rowids[i];
        }
        count += current ? 1 : 0;
    }
    return PyLong_FromSsize_t(count);
}

// 1 when the candidate is current, 0 when not, -1 on error.
int is_current(State& state, PyObject* row, bool staged) {
    long long rowid = 0;
    if (staged && !rowid_of(row, rowid)) {
        return -1;
    }
    for (RuleKeys& rule : state.rules) {
        const int written = write_key(state, row, rule.row_picks);
        if (written <= 0) {
            if (written < 0) {
                return -1;
            }
            continue;  // a tuple holding a NULL equals nothing
        }
        const uint32_t node = rule.table.find(state.key.data(), state.key.size());
        if (staged ? node == kNone || state.newest[node] != rowid : node != kNone) {
            return 0;
        }
    }
    return 1;
}

// The output row: row[i] for each i of `out`; for a staged row, index 0 (its
// rowid, which addresses no main row) gives None.
Owned project(PyObject* row, PyObject* out, bool staged) {
    const Py_ssize_t n = PyTuple_GET_SIZE(out);
    Owned result = steal(PyTuple_New(n));
    if (!result) {
        return {};
    }
    const Py_ssize_t width = PyTuple_GET_SIZE(row);
    for (Py_ssize_t k = 0; k < n; ++k) {
        const Py_ssize_t at = PyLong_AsSsize_t(PyTuple_GET_ITEM(out, k));
        if (at == -1 && PyErr_Occurred()) {
            return {};
        }
        if (at < 0 || at >= width) {
            PyErr_SetString(PyExc_IndexError, "CurrentRows: output index outside the row");
            return {};
        }
        PyObject* value = staged && at == 0 ? Py_None : PyTuple_GET_ITEM(row, at);
        PyTuple_SET_ITEM(result.get(), k, Py_NewRef(value));
    }
    return result;
}

// The current rows of `rows`, each as `out` picks it (null: the row as
// fetched).
PyObject* keep_current(State& state, PyObject* batch, bool staged, PyObject* out) {
    Owned rows = own_list(share(batch));
    Owned kept = rows ? steal(PyList_New(0)) : Owned();
    if (!kept) {
        return nullptr;
    }
    const Py_ssize_t width = widest(state, false);
    try {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows.get()); ++i) {
            PyObject* row = PyList_GET_ITEM(rows.get(), i);
            if (!check_row(row, width)) {
                return nullptr;
            }
            const int current = is_current(state, row, staged);
            if (current < 0) {
                return nullptr;
            }
            if (!current) {
                continue;
            }
            Owned shaped = out ? project(row, out, staged) : share(row);
            if (!shaped || PyList_Append(kept.get(), shaped.get()) < 0) {
                return nullptr;
            }
        }
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    return kept.release();
}

// keep(rows, staged, out) -> list: the current rows of a batch, each as
// `out` picks it (None: the row as fetched).
PyObject* keep(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* rows = nullptr;
    PyObject* staged = nullptr;
    PyObject* out = nullptr;
    static const char* keywords[] = {"rows", "staged", "out", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:keep", const_cast<char**>(keywords), &rows, &staged, &out)) {
        return nullptr;
    }
    const int is_staged = PyObject_IsTrue(staged);
    if (is_staged < 0) {
        return nullptr;
    }
    if (out != Py_None && !PyTuple_Check(out)) {
        PyErr_SetString(PyExc_TypeError, "keep: out must be a tuple of ints or None");
        return nullptr;
    }
    return keep_current(*reinterpret_cast<CurrentRowsObject*>(self)->state, rows, is_staged != 0,
                        out == Py_None ? nullptr : out);
}

PyObject* current_rows_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* key_picks = nullptr;
    PyObject* row_picks = nullptr;
    static const char* keywords[] = {"key_picks", "row_picks", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:CurrentRows", const_cast<char**>(keywords), &key_picks,
                                     &row_picks)) {
        return nullptr;
    }
    Owned self = steal(type->tp_alloc(type, 0));
    if (!self) {
        return nullptr;
    }
    auto* object = reinterpret_cast<CurrentRowsObject*>(self.get());
    void* memory = PyMem_Malloc(sizeof(State));
    if (memory == nullptr) {
        return PyErr_NoMemory();
    }
    object->state = new (memory) State();
    try {
        if (!read_picks(key_picks, *object->state, true) || !read_picks(row_picks, *object->state, false)) {
            return nullptr;
        }
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    return self.release();
}

void current_rows_dealloc(PyObject* self) {
    auto* object = reinterpret_cast<CurrentRowsObject*>(self);
    if (object->state != nullptr) {
        object->state->~State();
        PyMem_Free(object->state);
        object->state = nullptr;
    }
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef current_rows_methods[] = {
    {"add_staged", add_staged, METH_O, "add_staged(rows): rows of the staging pass, rowid first, into the key tables."},
    {"current_staged", current_staged, METH_NOARGS, "current_staged() -> int: how many staged rows added are current."},
    {"keep", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(keep)), METH_VARARGS | METH_KEYWORDS,
     "keep(rows, staged, out) -> list: the current rows of a batch, shaped by out."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot current_rows_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(current_rows_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(current_rows_dealloc)},
    {Py_tp_methods, current_rows_methods},
    {Py_tp_doc, const_cast<char*>("CurrentRows(key_picks, row_picks): which fetched rows a merge would leave.")},
    {0, nullptr},
};

PyType_Spec current_rows_spec = {
    "norvane._native_ext.CurrentRows",
    sizeof(CurrentRowsObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    current_rows_slots,
};

}  // namespace

bool add_current_rows_type(PyObject* module) {
    Owned type = steal(PyType_FromModuleAndSpec(module, &current_rows_spec, nullptr));
    return type && PyModule_AddObjectRef(module, "CurrentRows", type.get()) == 0;
}

}  // namespace norvane
