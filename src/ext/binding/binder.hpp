// The binder of the published callables and of the private entries: the
// shape of a table of signatures, the adapters from bound arguments to each
// callable's typed core, the function objects that bind arguments to a
// signature, their traceback entries, and calls between the published
// callables through the module globals, so that a caller who replaces a
// module function sees the replacement called.
#pragma once

#include "refs.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <initializer_list>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

namespace norvane {

inline constexpr const char* kModuleName = "norvane.norvane";

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

// ------------------------------------------------------------- adapters ---

// A callable's body is a typed core: `Owned core(PyObject* conn, PyObject*
// table, ...)`, one named parameter per parameter of its signature. Its
// adapter unpacks bound arguments into those parameters in order, converting
// the ones a core takes as a number with the conversion (and the error) of
// PyLong_AsSsize_t or PyLong_AsLongLong, first parameter first.
template <typename T>
struct Converter;
template <>
struct Converter<PyObject*> {
    static bool from(PyObject* value, PyObject*& out) {
        out = value;
        return true;
    }
};
template <>
struct Converter<Py_ssize_t> {
    static bool from(PyObject* value, Py_ssize_t& out) {
        out = PyLong_AsSsize_t(value);
        return !(out == -1 && PyErr_Occurred());
    }
};
template <>
struct Converter<long long> {
    static bool from(PyObject* value, long long& out) {
        out = PyLong_AsLongLong(value);
        return !(out == -1 && PyErr_Occurred());
    }
};

template <typename Core>
struct CoreTraits;
template <typename... P>
struct CoreTraits<Owned (*)(P...)> {
    static constexpr int arity = static_cast<int>(sizeof...(P));

    template <auto Core, size_t... I>
    static Owned unpack(Args args, std::index_sequence<I...>) {
        std::tuple<P...> values;
        if (!(Converter<P>::from(args[I], std::get<I>(values)) && ...)) {
            return {};
        }
        return Core(std::get<I>(values)...);
    }
};

template <auto Core>
Owned adapter(Args args) {
    using Traits = CoreTraits<decltype(Core)>;
    return Traits::template unpack<Core>(args, std::make_index_sequence<Traits::arity>());
}

// A core with its adapter and arity: a table of signatures checks the arity
// against the count of parameters it names.
struct Binding {
    Impl impl;
    int arity;
};
template <auto Core>
inline constexpr Binding kCore{adapter<Core>, CoreTraits<decltype(Core)>::arity};

// ------------------------------------------------------------ signatures ---

inline constexpr int kMaxParams = 10;

// What the parameters that have a default default to: True (the published
// callables' comm) or None. The text signature says which have one, "=True"
// or "=None" after each; they come last, as in a def.
enum class TrailingDefault { none, true_value, none_value };

// One callable's signature and core. `id` is its place in its table.
struct FunctionSpec {
    int id;
    const char* name;
    const char* qualname;
    const char* doc;             // nullptr: no docstring
    const char* text_signature;  // for inspect.signature()
    std::array<const char*, kMaxParams> params;
    int nparams;
    TrailingDefault trailing_default;
    Binding core;
};

// Each entry stands at its id, names between one and kMaxParams parameters,
// its text signature says exactly that (with the last parameter's default),
// and its core takes as many parameters as it names: the places a parameter
// order is written agree.
constexpr bool same_text(const char* a, const char* b) { return std::string_view(a) == std::string_view(b); }

// Whether `text` begins with `word` at `at`; moves `at` past it when it does.
constexpr bool take(const char* text, size_t& at, const char* word) {
    const std::string_view rest = std::string_view(text).substr(std::min(at, std::string_view(text).size()));
    const std::string_view w(word);
    if (rest.substr(0, w.size()) != w) {
        return false;
    }
    at += w.size();
    return true;
}

// How many parameters have a default: the "=" of each in the text signature.
constexpr int defaulted_count(const FunctionSpec& spec) {
    int count = 0;
    for (const char* c = spec.text_signature; *c != '\0'; ++c) {
        count += *c == '=' ? 1 : 0;
    }
    return count;
}

constexpr bool signature_matches(const FunctionSpec& spec) {
    const bool any = spec.trailing_default != TrailingDefault::none;
    const char* shown = spec.trailing_default == TrailingDefault::true_value ? "=True" : "=None";
    size_t at = 0;
    if (!take(spec.text_signature, at, "(")) {
        return false;
    }
    bool defaulted = false;
    for (int i = 0; i < spec.nparams; ++i) {
        if ((i > 0 && !take(spec.text_signature, at, ", ")) || !take(spec.text_signature, at, spec.params[i])) {
            return false;
        }
        const bool has = any && take(spec.text_signature, at, shown);
        if (defaulted && !has) {
            return false;  // a parameter without a default after one with
        }
        defaulted = has;
    }
    return defaulted == any && take(spec.text_signature, at, ")") && at == std::string_view(spec.text_signature).size();
}

constexpr bool entry_holds(const FunctionSpec& spec, int at) {
    if (spec.id != at || spec.nparams < 1 || spec.nparams > kMaxParams) {
        return false;
    }
    for (int i = 0; i < kMaxParams; ++i) {
        if ((spec.params[i] != nullptr) != (i < spec.nparams)) {
            return false;
        }
    }
    return signature_matches(spec);
}

template <size_t N, size_t... I>
constexpr bool entries_hold(const std::array<FunctionSpec, N>& specs, std::index_sequence<I...>) {
    return (entry_holds(specs[I], static_cast<int>(I)) && ...);
}
template <size_t N>
constexpr bool entries_hold(const std::array<FunctionSpec, N>& specs) {
    return entries_hold(specs, std::make_index_sequence<N>());
}

// Whether every core takes exactly the parameters its entry names.
template <size_t N>
constexpr bool arities_match(const std::array<FunctionSpec, N>& specs) {
    for (const FunctionSpec& spec : specs) {
        if (spec.core.arity != spec.nparams) {
            return false;
        }
    }
    return true;
}

// The parameter count of each published callable, in Fn order; the table of
// signatures is checked against it, and nested calls are checked against it.
inline constexpr std::array<int, kFunctionCount> kParamCounts = {3, 1, 3, 4, 3, 3, 6, 4, 6, 4, 4, 3, 4, 3, 4, 8};

// ---------------------------------------------------------------- calls ----

// Looks the callee up among the module globals now and calls it with every
// argument by keyword (values in parameter order). When the global still holds
// our own function object, its C++ body runs directly, with the same traceback
// entry on failure.
Owned call_module_function(Fn callee, std::initializer_list<PyObject*> values);

// The same with the argument count checked when it compiles.
template <Fn callee, typename... V>
Owned call_module(V... values) {
    static_assert(static_cast<int>(sizeof...(V)) == kParamCounts[static_cast<int>(callee)],
                  "a nested call passes one value per parameter of its callee");
    static_assert((std::is_convertible_v<V, PyObject*> && ...), "a nested call passes objects");
    return call_module_function(callee, {static_cast<PyObject*>(values)...});
}

// Calls `target` (a stand-in for `fn`) with every argument by keyword.
Owned call_by_keyword(PyObject* target, Fn fn, std::initializer_list<PyObject*> values);

// The same with the argument count checked when it compiles.
template <Fn fn, typename... V>
Owned call_by_keyword(PyObject* target, V... values) {
    static_assert(static_cast<int>(sizeof...(V)) == kParamCounts[static_cast<int>(fn)],
                  "a call by keyword passes one value per parameter of its callee");
    static_assert((std::is_convertible_v<V, PyObject*> && ...), "a call by keyword passes objects");
    return call_by_keyword(target, fn, {static_cast<PyObject*>(values)...});
}

// The current value of the module global that publishes `fn` (NameError when
// it has been deleted), and whether an object is our own function for `fn`.
Owned lookup_function(Fn fn);
Owned lookup_global(const char* name);
bool is_own_function(PyObject* obj, Fn fn);
// 1 when the module global that publishes `fn` still holds our own function,
// 0 when it was replaced or deleted (a call through it raises the NameError
// later, where it always did), -1 on error.
int global_is_own(Fn fn);

// Adds the traceback entry of `fn` to the pending exception.
void add_traceback(Fn fn);
// The same for entries outside the published callables: the code object of
// an entry named `funcname` (build it once and keep it), and adding its
// entry to the pending exception.
Owned traceback_code(const char* funcname);
void add_traceback_entry(PyObject* code);

// ------------------------------------------------------- other tables ----

// The process state of one callable of a table: its function object, its
// parameter names as interned str objects, the same names as a kwnames
// tuple, and the code object of its traceback entries. The binder keeps
// those of the published table; another table keeps its own.
struct FunctionRuntime {
    Retained function;
    std::array<Retained, kMaxParams> params;
    Retained kwnames;
    Retained code;
};

// Creates the function object of `spec`, published in `module` (its
// __module__, and its traceback entries' prefix), once per process.
bool prepare_function(const FunctionSpec& spec, const char* module, FunctionRuntime& runtime);

// ----------------------------------------------------------------- setup ---

// The module's dict, where calls look the callees up (null: not initialised).
void remember_globals(PyObject* globals);
// Creates the function objects, once per process.
bool prepare_functions();
// The function object of `fn` (borrowed).
PyObject* function_object(Fn fn);
// Adds the module functions (not DB's methods) to the module.
bool publish_functions(PyObject* module);

}  // namespace norvane
