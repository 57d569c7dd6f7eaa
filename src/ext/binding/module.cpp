// The module as the interpreter sees it: its creation and initialisation
// (one module object in one interpreter per process).

#include "binder.hpp"
#include "db_handle.hpp"
#include "names.hpp"
#include "refs.hpp"
#include "statement.hpp"

#include <new>

namespace norvane {
namespace {

// The module supports one interpreter per process and one module object;
// both are remembered for the life of the process.
int64_t g_interpreter_id = -1;
Retained g_module;

}  // namespace

// ------------------------------------------------------------------ init ---

namespace {

// Copies one attribute of the import spec onto the module; a missing one is
// skipped, and so is None where it has no meaning.
bool copy_spec_attribute(PyObject* spec, PyObject* moddict, const char* from, const char* to, bool allow_none) {
    Owned value = steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return false;
        }
        PyErr_Clear();
        return true;
    }
    if (!allow_none && value.get() == Py_None) {
        return true;
    }
    return PyDict_SetItemString(moddict, to, value.get()) == 0;
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    if (g_interpreter_id == -1) {
        g_interpreter_id = id;
    } else if (id != g_interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (g_module) {
        return Py_NewRef(g_module.get());
    }
    Owned name = steal(PyObject_GetAttrString(spec, "name"));
    if (!name) {
        return nullptr;
    }
    Owned module = steal(PyModule_NewObject(name.get()));
    if (!module) {
        return nullptr;
    }
    PyObject* moddict = PyModule_GetDict(module.get());
    if (!copy_spec_attribute(spec, moddict, "loader", "__loader__", true) ||
        !copy_spec_attribute(spec, moddict, "origin", "__file__", true) ||
        !copy_spec_attribute(spec, moddict, "parent", "__package__", true) ||
        !copy_spec_attribute(spec, moddict, "submodule_search_locations", "__path__", false)) {
        return nullptr;
    }
    return module.release();
}

bool enter_loaded_modules(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();
    const int present = PyDict_ContainsString(modules, kModuleName);
    if (present != 0) {
        return present > 0;
    }
    return PyDict_SetItemString(modules, kModuleName, module) == 0;
}

// from norvane import norvane_state
Owned import_state_module(PyObject* globals) {
    Owned fromlist = steal(Py_BuildValue("(s)", "norvane_state"));
    if (!fromlist) {
        return {};
    }
    Owned package = steal(PyImport_ImportModuleLevel("norvane", globals, nullptr, fromlist.get(), 0));
    if (!package) {
        return {};
    }
    Owned state = steal(PyObject_GetAttrString(package.get(), "norvane_state"));
    if (state || !PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return state;
    }
    PyErr_Clear();
    PyObject* found = nullptr;
    if (PyDict_GetItemStringRef(PyImport_GetModuleDict(), "norvane.norvane_state", &found) < 0) {
        return {};
    }
    if (found == nullptr) {
        Owned wanted = steal(PyUnicode_FromString("norvane_state"));
        if (wanted) {
            PyErr_Format(PyExc_ImportError, "cannot import name %S", wanted.get());
        }
        return {};
    }
    return steal(found);
}

bool import_sqlite3(PyObject* module) {
    Owned sqlite3 = steal(PyImport_ImportModule("sqlite3"));
    if (!sqlite3) {
        return false;
    }
    if (!remember_host_types(sqlite3.get())) {
        return false;
    }
    return PyModule_AddObjectRef(module, "sqlite3", sqlite3.get()) == 0;
}

bool create_shared_objects() { return intern_names() && prepare_functions(); }

bool populate_module(PyObject* module) {
    PyObject* globals = PyModule_GetDict(module);
    remember_globals(globals);
    if (!enter_loaded_modules(module) || !remember_print()) {
        return false;
    }
    Owned state = import_state_module(globals);
    if (!state || PyModule_AddObjectRef(module, "norvane_state", state.get()) < 0) {
        return false;
    }
    return import_sqlite3(module) && create_shared_objects() && create_db_class(module) && publish_functions(module);
}

int module_exec(PyObject* module) {
    if (g_module) {
        if (g_module.get() == module) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'norvane' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    g_module.keep(share(module));
    bool ok = false;
    try {
        ok = populate_module(module);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    if (ok) {
        return 0;
    }
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_ImportError, "init norvane.norvane");
    }
    Owned code = traceback_code("init norvane.norvane");
    if (code) {
        add_traceback_entry(code.get());
    }
    g_module.clear();
    remember_globals(nullptr);
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "norvane",
    nullptr,  // no docstring
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace norvane

PyMODINIT_FUNC PyInit_norvane() { return PyModuleDef_Init(&norvane::module_def); }
