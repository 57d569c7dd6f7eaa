// Names interned once at import, for attribute access and keyword matching
// in every unit.
#pragma once

#include "refs.hpp"

namespace norvane {

// Interned names used for attribute access and keyword matching.
struct Names {
    PyObject* cursor;
    PyObject* execute;
    PyObject* fetchall;
    PyObject* commit;
    PyObject* close;
    PyObject* connect;
    PyObject* split;
    PyObject* index;
    PyObject* add;
    PyObject* name;
    PyObject* address;
    PyObject* table;
    PyObject* cols;
    PyObject* comma;
    PyObject* star;
    PyObject* empty;
    PyObject* in_transaction;
    PyObject* autocommit;
    PyObject* rollback;
    PyObject* row_factory;
    PyObject* text_factory;
    PyObject* adapters;
    PyObject* converters;
    PyObject* set_progress_handler;
};
const Names& names();
// Interns them (once per process; they live as long as the process).
bool intern_names();

}  // namespace norvane
