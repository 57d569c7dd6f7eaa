// The binder (see binder.hpp): the function objects that bind arguments to a
// table of signatures, their traceback entries, and calls between the
// published callables through the module globals.
#include "binder.hpp"

#include "published.hpp"
#include "refs.hpp"

#include <frameobject.h>  // PyFrame_New

#include <array>
#include <cstddef>
#include <new>
#include <utility>

namespace norvane {
namespace {

constexpr const char* kSourcePath = "src/norvane/norvane";

// The published table's ids are its Fn values.
constexpr int id(Fn fn) { return static_cast<int>(fn); }

const FunctionSpec& spec_of(Fn fn) { return published_specs()[id(fn)]; }

// ------------------------------------------------------ process state ------

PyObject* g_globals = nullptr;  // the module's dict
Retained g_function_type;

// Per published callable: the function object, its parameter names as
// interned str objects, the same names as a kwnames tuple, and the code
// object of its traceback entries.
std::array<FunctionRuntime, kFunctionCount> g_runtime;

FunctionRuntime& runtime_of(Fn fn) { return g_runtime[id(fn)]; }

}  // namespace

// --------------------------------------------------------- tracebacks ------

// Adds a traceback entry for `code` to the pending exception. The frame is
// built with no exception pending: with one pending, a globals dict without
// __builtins__ makes frame creation fail.
void add_traceback_entry(PyObject* code) {
    if (code == nullptr || !PyErr_Occurred()) {
        return;
    }
    PyObject* exc = PyErr_GetRaisedException();
    Owned globals = g_globals ? share(g_globals) : steal(PyDict_New());
    Owned frame;
    if (globals) {
        frame = steal(reinterpret_cast<PyObject*>(
            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), globals.get(), nullptr)));
    }
    PyErr_SetRaisedException(exc);  // replaces any error of the frame creation
    if (frame) {
        (void)PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
    }
}

Owned traceback_code(const char* funcname) {
    return steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(kSourcePath, funcname, 1)));
}

namespace {

// ------------------------------------------------------ argument binding ---

int required_count(const FunctionSpec& spec) { return spec.nparams - defaulted_count(spec); }

bool raise_arity(const FunctionSpec& spec, bool too_many, Py_ssize_t given) {
    const int required = required_count(spec);
    const bool exact = required == spec.nparams;
    const Py_ssize_t bound = too_many ? spec.nparams : required;
    const char* more_or_less = exact ? "exactly" : (too_many ? "at most" : "at least");
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", spec.name,
                 more_or_less, bound, bound == 1 ? "" : "s", given);
    return false;
}

int parameter_index(const FunctionSpec& spec, const FunctionRuntime& runtime, PyObject* keyword) {
    const auto& params = runtime.params;
    for (int i = 0; i < spec.nparams; ++i) {
        if (params[i].get() == keyword) {
            return i;
        }
    }
    for (int i = 0; i < spec.nparams; ++i) {
        if (PyUnicode_Compare(params[i].get(), keyword) == 0) {
            return i;
        }
    }
    return -1;
}

// Matches one keyword argument to its parameter.
bool bind_keyword(const FunctionSpec& spec, const FunctionRuntime& runtime, PyObject* keyword, PyObject* value,
                  Py_ssize_t npos, std::array<PyObject*, kMaxParams>& bound) {
    if (!PyUnicode_Check(keyword)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", spec.name);
        return false;
    }
    const int i = parameter_index(spec, runtime, keyword);
    if (i < 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec.name, keyword);
        return false;
    }
    if (i < npos || bound[i] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", spec.name, keyword);
        return false;
    }
    bound[i] = value;
    return true;
}

// Fills `bound` from a vectorcall argument vector.
bool bind_arguments(const FunctionSpec& spec, const FunctionRuntime& runtime, PyObject* const* args, Py_ssize_t npos,
                    PyObject* kwnames, std::array<PyObject*, kMaxParams>& bound) {
    const int required = required_count(spec);
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (npos > spec.nparams) {
        return raise_arity(spec, true, npos);
    }
    if (nkw == 0 && npos < required) {
        return raise_arity(spec, false, npos);
    }
    for (Py_ssize_t i = 0; i < npos; ++i) {
        bound[i] = args[i];
    }
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (!bind_keyword(spec, runtime, PyTuple_GET_ITEM(kwnames, k), args[npos + k], npos, bound)) {
            return false;
        }
    }
    for (int i = 0; i < required; ++i) {
        if (bound[i] == nullptr) {
            return raise_arity(spec, false, i);
        }
    }
    for (int i = required; i < spec.nparams; ++i) {
        if (bound[i] == nullptr) {
            bound[i] = spec.trailing_default == TrailingDefault::true_value ? Py_True : Py_None;
        }
    }
    return true;
}

// ------------------------------------------------------ function objects ---

struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    const FunctionRuntime* runtime;
    const char* module;
};

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

// Runs the C++ body with bound arguments; every failure leaving it gains the
// function's traceback entry.
PyObject* invoke(const FunctionSpec& spec, const FunctionRuntime& runtime, Args args) {
    Owned result;
    try {
        result = spec.core.impl(args);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    if (!result) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_SystemError, "%s failed without setting an exception", spec.qualname);
        }
        add_traceback_entry(runtime.code.get());
    }
    return result.release();
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const FunctionSpec& spec = *as_function(self)->spec;
    const FunctionRuntime& runtime = *as_function(self)->runtime;
    std::array<PyObject*, kMaxParams> bound{};
    if (!bind_arguments(spec, runtime, args, PyVectorcall_NARGS(nargsf), kwnames, bound)) {
        add_traceback_entry(runtime.code.get());
        return nullptr;
    }
    return invoke(spec, runtime, bound.data());
}

void function_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// Binds as a method when stored in a class, like a Python function.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %s at %p>", as_function(self)->spec->qualname, self);
}

PyObject* get_name(PyObject* self, void*) { return PyUnicode_FromString(as_function(self)->spec->name); }
PyObject* get_qualname(PyObject* self, void*) { return PyUnicode_FromString(as_function(self)->spec->qualname); }
PyObject* get_module(PyObject* self, void*) { return PyUnicode_FromString(as_function(self)->module); }
PyObject* get_doc(PyObject* self, void*) {
    const char* doc = as_function(self)->spec->doc;
    return doc ? PyUnicode_FromString(doc) : Py_NewRef(Py_None);
}
PyObject* get_defaults(PyObject* self, void*) {
    const FunctionSpec& spec = *as_function(self)->spec;
    const int count = defaulted_count(spec);
    if (count == 0) {
        return Py_NewRef(Py_None);
    }
    Owned defaults = steal(PyTuple_New(count));
    if (!defaults) {
        return nullptr;
    }
    for (int i = 0; i < count; ++i) {
        PyTuple_SET_ITEM(defaults.get(), i,
                         Py_NewRef(spec.trailing_default == TrailingDefault::true_value ? Py_True : Py_None));
    }
    return defaults.release();
}
PyObject* get_text_signature(PyObject* self, void*) {
    return PyUnicode_FromString(as_function(self)->spec->text_signature);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_type_spec = {
    "norvane.norvane.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

Owned new_function(const FunctionSpec& spec, const FunctionRuntime& runtime, const char* module) {
    auto* type = reinterpret_cast<PyTypeObject*>(g_function_type.get());
    Owned self = steal(type->tp_alloc(type, 0));
    if (!self) {
        return {};
    }
    as_function(self.get())->vectorcall = function_vectorcall;
    as_function(self.get())->spec = &spec;
    as_function(self.get())->runtime = &runtime;
    as_function(self.get())->module = module;
    return self;
}

// The type of the function objects, once per process.
bool prepare_shared() {
    if (!g_function_type) {
        Owned type = steal(PyType_FromSpec(&function_type_spec));
        if (!type) {
            return false;
        }
        g_function_type.keep(std::move(type));
    }
    return true;
}

}  // namespace

// Interned parameter names, kwnames tuple and traceback code of one callable.
bool prepare_function(const FunctionSpec& spec, const char* module, FunctionRuntime& rt) {
    if (rt.function) {
        return true;
    }
    if (!prepare_shared()) {
        return false;
    }
    Owned kwnames = steal(PyTuple_New(spec.nparams));
    if (!kwnames) {
        return false;
    }
    for (int i = 0; i < spec.nparams; ++i) {
        Owned param = steal(PyUnicode_InternFromString(spec.params[i]));
        if (!param) {
            return false;
        }
        PyTuple_SET_ITEM(kwnames.get(), i, param.new_ref());
        rt.params[i].keep(std::move(param));
    }
    rt.kwnames.keep(std::move(kwnames));
    Owned funcname = steal(PyUnicode_FromFormat("%s.%s", module, spec.qualname));
    if (!funcname) {
        return false;
    }
    Owned code = traceback_code(PyUnicode_AsUTF8(funcname.get()));
    if (!code) {
        return false;
    }
    rt.code.keep(std::move(code));
    Owned function = new_function(spec, rt, module);
    if (!function) {
        return false;
    }
    rt.function.keep(std::move(function));
    return true;
}

// ---------------------------------------------------------------- calls ----

void add_traceback(Fn fn) { add_traceback_entry(runtime_of(fn).code.get()); }

Owned lookup_global(const char* name) {
    if (g_globals == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "norvane.norvane is not initialised");
        return {};
    }
    PyObject* value = nullptr;
    const int found = PyDict_GetItemStringRef(g_globals, name, &value);
    if (found == 0) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    }
    return steal(value);
}

Owned lookup_function(Fn fn) { return lookup_global(spec_of(fn).name); }

bool is_own_function(PyObject* obj, Fn fn) { return obj == runtime_of(fn).function.get(); }

int global_is_own(Fn fn) {
    Owned target = lookup_function(fn);
    if (!target) {
        if (!PyErr_ExceptionMatches(PyExc_NameError)) {
            return -1;
        }
        PyErr_Clear();
        return 0;
    }
    return is_own_function(target.get(), fn) ? 1 : 0;
}

Owned call_module_function(Fn callee, std::initializer_list<PyObject*> values) {
    const FunctionSpec& spec = spec_of(callee);
    if (static_cast<int>(values.size()) != spec.nparams) {
        PyErr_SetString(PyExc_SystemError, "norvane: nested call with a wrong argument count");
        return {};
    }
    Owned target = lookup_function(callee);
    if (!target) {
        return {};
    }
    if (is_own_function(target.get(), callee)) {
        return steal(invoke(spec, runtime_of(callee), values.begin()));
    }
    return call_by_keyword(target.get(), callee, values);
}

Owned call_by_keyword(PyObject* target, Fn fn, std::initializer_list<PyObject*> values) {
    return steal(PyObject_Vectorcall(target, values.begin(), 0, runtime_of(fn).kwnames.get()));
}

// ----------------------------------------------------------------- setup ---

void remember_globals(PyObject* globals) { g_globals = globals; }

bool prepare_functions() {
    for (const FunctionSpec& spec : published_specs()) {
        if (!prepare_function(spec, kModuleName, runtime_of(static_cast<Fn>(spec.id)))) {
            return false;
        }
    }
    return true;
}

PyObject* function_object(Fn fn) { return runtime_of(fn).function.get(); }

bool publish_functions(PyObject* module) {
    for (const FunctionSpec& spec : published_specs()) {
        if (spec.id == id(Fn::db_init) || spec.id == id(Fn::db_connection)) {
            continue;
        }
        if (PyModule_AddObjectRef(module, spec.name, runtime_of(static_cast<Fn>(spec.id)).function.get()) < 0) {
            return false;
        }
    }
    return true;
}

}  // namespace norvane
