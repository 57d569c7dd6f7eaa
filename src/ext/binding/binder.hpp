// The binder of the published callables: their table of signatures, the
// function objects that bind arguments to it, their traceback entries, and
// calls between them through the module globals, so that a caller who
// replaces a module function sees the replacement called.
#pragma once

#include "refs.hpp"

#include <initializer_list>

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
