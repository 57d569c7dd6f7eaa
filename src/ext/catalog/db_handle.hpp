// The database handle class DB: the registry of names, the catalog created
// when a handle is set up, and connecting to its file.
#pragma once

#include "refs.hpp"

namespace norvane {

// Bodies of DB.__init__ and DB.connection; their parameters, in order, are the
// binder's table of signatures.
Owned db_init(PyObject* self, PyObject* name, PyObject* address);
Owned db_connection(PyObject* self);

// Remembers builtins.print, which announces a name that is taken.
bool remember_print();
// Adds the class DB, over the binder's function objects, to the module.
bool create_db_class(PyObject* module);

}  // namespace norvane
