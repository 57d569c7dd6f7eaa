// The database handle class DB (see db_handle.hpp).
#include "db_handle.hpp"

#include "binder.hpp"
#include "names.hpp"
#include "refs.hpp"
#include "schema.hpp"
#include "statement.hpp"

#include <utility>

namespace norvane {
namespace {

Retained g_print;

// The registry, looked up afresh: norvane_state.DB_dict.
Owned registry() {
    Owned state = lookup_global("norvane_state");
    if (!state) {
        return {};
    }
    return steal(PyObject_GetAttrString(state.get(), "DB_dict"));
}

bool print_exists_line(PyObject* name) {
    Owned text = formatted(name);
    if (!text) {
        return false;
    }
    Owned line = join_text({"DB ", text, " exists!"});
    if (!line) {
        return false;
    }
    return bool(steal(PyObject_CallOneArg(g_print.get(), line.get())));
}

// sqlite3.connect(self.address), with the module global `sqlite3` as it is now.
Owned connect(PyObject* self) {
    Owned sqlite3 = lookup_global("sqlite3");
    Owned connect_fn = sqlite3 ? steal(PyObject_GetAttr(sqlite3.get(), names().connect)) : Owned();
    Owned address = connect_fn ? steal(PyObject_GetAttr(self, names().address)) : Owned();
    return address ? steal(PyObject_CallOneArg(connect_fn.get(), address.get())) : Owned();
}

// Opens the file once to create the catalog, commits and closes again.
bool prepare_database(PyObject* self) {
    Owned prc = connect(self);
    if (!prc) {
        return false;
    }
    Cursor cursor;
    if (!cursor.open(prc.get())) {
        return false;
    }
    Owned journal = steal(PyUnicode_FromString("PRAGMA journal_mode=JOURNAL;"));
    if (!journal || !cursor.execute(journal.get()) || !create_catalog(cursor)) {
        return false;
    }
    if (!steal(PyObject_CallMethodNoArgs(prc.get(), names().commit))) {
        return false;
    }
    return bool(steal(PyObject_CallMethodNoArgs(prc.get(), names().close)));
}

// After a failed preparation the name is released again, so a corrected retry
// under the same name works. Only our own entry is removed.
void forget_registration(PyObject* self) {
    PendingError pending;
    Owned dict = registry();
    Owned name = dict ? steal(PyObject_GetAttr(self, names().name)) : Owned();
    Owned entry = name ? steal(PyObject_GetItem(dict.get(), name.get())) : Owned();
    if (entry && entry.get() == self) {
        (void)PyObject_DelItem(dict.get(), name.get());
    }
    if (PyErr_Occurred()) {
        PyErr_WriteUnraisable(self);
    }
}

// Handles whose constructor found their name registered and so set nothing
// up, under their address: (weak reference to the handle, the name). The
// handle itself stays an empty instance; its entry goes when it does.
Retained g_unset_handles;

PyObject* forget_unset_handle(PyObject* key, PyObject* /*reference*/) {
    return PyDict_Pop(g_unset_handles.get(), key, nullptr) < 0 ? nullptr : Py_NewRef(Py_None);
}

PyMethodDef g_forget_unset_handle = {"forget_unset_handle", forget_unset_handle, METH_O, nullptr};

bool remember_unset_handle(PyObject* self, PyObject* name) {
    if (!g_unset_handles) {
        Owned handles = steal(PyDict_New());
        if (!handles) {
            return false;
        }
        g_unset_handles.keep(std::move(handles));
    }
    Owned key = steal(PyLong_FromVoidPtr(self));
    Owned forget = key ? steal(PyCFunction_New(&g_forget_unset_handle, key.get())) : Owned();
    if (!forget) {
        return false;
    }
    Owned reference = steal(PyWeakref_NewRef(self, forget.get()));
    if (!reference) {
        // An object that takes no weak references just keeps the plain error.
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) {
            return false;
        }
        PyErr_Clear();
        return true;
    }
    Owned entry = steal(PyTuple_Pack(2, reference.get(), name));
    return entry && PyDict_SetItem(g_unset_handles.get(), key.get(), entry.get()) == 0;
}

// The name a handle without an address was refused under; null when it is
// no such handle.
Owned unset_handle_name(PyObject* self) {
    Owned key = g_unset_handles ? steal(PyLong_FromVoidPtr(self)) : Owned();
    PyObject* found = nullptr;
    if (!key || PyDict_GetItemRef(g_unset_handles.get(), key.get(), &found) <= 0) {
        return {};
    }
    Owned entry = steal(found);
    PyObject* target = nullptr;
    if (PyWeakref_GetRef(PyTuple_GET_ITEM(entry.get(), 0), &target) <= 0) {
        return {};
    }
    Owned handle = steal(target);
    PyObject* address = nullptr;
    const int has_address = handle.get() == self ? PyObject_GetOptionalAttr(self, names().address, &address) : -1;
    Py_XDECREF(address);
    return has_address == 0 ? share(PyTuple_GET_ITEM(entry.get(), 1)) : Owned();
}

// The pending AttributeError of a handle that was never set up becomes one
// that says why.
void explain_unset_handle(PyObject* self) {
    Owned name;
    {
        PendingError pending;
        name = unset_handle_name(self);
    }
    if (name) {
        PyErr_Format(PyExc_AttributeError,
                     "DB handle %R was not set up: the name %R is already registered; "
                     "use norvane_state.DB_dict[%R]",
                     name.get(), name.get(), name.get());
    }
}

}  // namespace

Owned db_init(PyObject* self, PyObject* name, PyObject* address) {
    Owned dict = registry();
    if (!dict) {
        return {};
    }
    const int known = PySequence_Contains(dict.get(), name);
    if (known < 0) {
        return {};
    }
    if (known) {
        return remember_unset_handle(self, name) && print_exists_line(name) ? share(Py_None) : Owned();
    }
    if (PyObject_SetAttr(self, names().name, name) < 0 || PyObject_SetAttr(self, names().address, address) < 0) {
        return {};
    }
    dict = registry();
    Owned key = dict ? steal(PyObject_GetAttr(self, names().name)) : Owned();
    if (!key || PyObject_SetItem(dict.get(), key.get(), self) < 0) {
        return {};
    }
    if (!prepare_database(self)) {
        forget_registration(self);
        return {};
    }
    return share(Py_None);
}

Owned db_connection(PyObject* self) {
    Owned connection = connect(self);
    if (!connection && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        explain_unset_handle(self);
    }
    return connection;
}

bool remember_print() {
    Owned builtins = steal(PyImport_ImportModule("builtins"));
    Owned print = builtins ? steal(PyObject_GetAttrString(builtins.get(), "print")) : Owned();
    if (!print) {
        return false;
    }
    g_print.keep(std::move(print));
    return true;
}

// DB = type("DB", (), {"__module__": ..., "__qualname__": "DB", "__init__": ..., "connection": ...})
bool create_db_class(PyObject* module) {
    Owned ns = steal(PyDict_New());
    if (!ns) {
        return false;
    }
    Owned module_name = steal(PyUnicode_FromString(kModuleName));
    Owned qualname = module_name ? steal(PyUnicode_FromString("DB")) : Owned();
    if (!qualname || PyDict_SetItemString(ns.get(), "__module__", module_name.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__qualname__", qualname.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__init__", function_object(Fn::db_init)) < 0 ||
        PyDict_SetItemString(ns.get(), "connection", function_object(Fn::db_connection)) < 0) {
        return false;
    }
    Owned bases = steal(PyTuple_New(0));
    Owned cls = bases ? steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "sOO", "DB", bases.get(),
                                                    ns.get()))
                      : Owned();
    return cls && PyModule_AddObjectRef(module, "DB", cls.get()) == 0;
}

}  // namespace norvane
