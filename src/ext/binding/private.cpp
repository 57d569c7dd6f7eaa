// norvane._native: entries that go beside the published module, never into
// its namespace. It is the same shared object as norvane.norvane, loaded under
// a second name (see src/norvane/_native.py), so it shares the module's state:
// it must be loaded after norvane.norvane.
#include "binder.hpp"
#include "current_rows.hpp"
#include "driver_limits.hpp"
#include "exactness.hpp"
#include "grouped_staging.hpp"
#include "json_staging.hpp"
#include "keywords.hpp"
#include "merge_indexes.hpp"
#include "merge_report.hpp"
#include "module.hpp"
#include "newest_plan.hpp"
#include "newest_play.hpp"
#include "profile.hpp"
#include "query.hpp"
#include "refs.hpp"
#include "schema.hpp"
#include "semantic_calls.hpp"
#include "sequential_walk.hpp"
#include "set_merge.hpp"
#include "statement.hpp"
#include "temp_to_main.hpp"

#include <cstring>
#include <new>

namespace norvane {
namespace {

Retained g_find_code;   // traceback entry of find
Retained g_merge_code;  // traceback entry of merge

PyObject* none_as_null(PyObject* value) { return value == Py_None ? nullptr : value; }

// find(conn, select, table, conditions, params) -> (rows, staged)
//
// The module's find with `params` bound to both candidate statements. A
// `select` of None returns whole rows, rowid first; `staged` counts the
// leading rows that come from the staging table.
//
// traced_find(conn, select, table, conditions, params) -> (rows, staged,
// plans): the same for tests, with the plans that answered its newest tests
// (a tuple of names out of "lookups", "rounds", "scan" and "walk").
PyObject* run_native_find(PyObject* const* args, Py_ssize_t nargs, bool traced) {
    if (nargs != 5) {
        PyErr_Format(PyExc_TypeError, "%s() takes exactly 5 positional arguments (%zd given)",
                     traced ? "traced_find" : "find", nargs);
        return nullptr;
    }
    Owned answer;
    try {
        Py_ssize_t staged = 0;
        Owned plans;
        Owned rows = !params_fit_driver(args[0], args[2], none_as_null(args[4]))
                         ? Owned()
                         : run_find(args[0], none_as_null(args[1]), args[2], args[3], none_as_null(args[4]), &staged,
                                    traced ? &plans : nullptr);
        Owned count = rows ? steal(PyLong_FromSsize_t(staged)) : Owned();
        answer = !count   ? Owned()
                 : traced ? steal(PyTuple_Pack(3, rows.get(), count.get(), plans.get()))
                          : pair(rows.get(), count.get());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    if (!answer) {
        add_traceback_entry(g_find_code.get());
    }
    return answer.release();
}

PyObject* native_find(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return run_native_find(args, nargs, false);
}

PyObject* traced_find(PyObject*, PyObject* const* args, Py_ssize_t nargs) { return run_native_find(args, nargs, true); }

// merge(conn, table, comm, progress) -> (staged, inserted, replaced, superseded)
//
// temp_to_main that tells what it did, and reports progress(done, total) on
// the way (progress may be None).
//
// traced_merge(conn, table, comm, progress, fail_before) -> (path, staged,
// inserted, replaced, superseded): the same for tests, with the merge's
// options of this call (fail_before: the set-based merge raises RuntimeError
// before that step, 0 never) and the path it took, "sets" or "statements".
PyObject* run_merge(PyObject* const* args, Py_ssize_t nargs, bool traced) {
    const Py_ssize_t expected = traced ? 5 : 4;
    if (nargs != expected) {
        PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd positional arguments (%zd given)",
                     traced ? "traced_merge" : "merge", expected, nargs);
        return nullptr;
    }
    if (args[3] != Py_None && !PyCallable_Check(args[3])) {
        PyErr_Format(PyExc_TypeError, "progress must be callable or None, not %.100s", Py_TYPE(args[3])->tp_name);
        return nullptr;
    }
    MergeOptions options;
    if (traced) {
        options.fail_before = PyLong_AsLong(args[4]);
        if (options.fail_before == -1 && PyErr_Occurred()) {
            return nullptr;
        }
    }
    Owned answer;
    try {
        MergeReport report(args[3]);
        MergeOutcome outcome;
        PyObject* const merge_args[] = {args[0], args[1], args[2]};
        if (merge_with(merge_args, options, outcome)) {
            const MergeCounts& c = report.counts();
            answer = traced ? steal(Py_BuildValue("(snnnn)", outcome.in_sets ? "sets" : "statements", c.staged,
                                                  c.inserted, c.replaced, c.superseded))
                            : steal(Py_BuildValue("(nnnn)", c.staged, c.inserted, c.replaced, c.superseded));
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    if (!answer) {
        add_traceback_entry(g_merge_code.get());
    }
    return answer.release();
}

PyObject* native_merge(PyObject*, PyObject* const* args, Py_ssize_t nargs) { return run_merge(args, nargs, false); }

PyObject* traced_merge(PyObject*, PyObject* const* args, Py_ssize_t nargs) { return run_merge(args, nargs, true); }

// find_plan(name): how find gathers rows for its newest test, by name:
// "automatic", "lookups", "grouped", "scan" or "rounds".
PyObject* find_plan(PyObject*, PyObject* name) {
    static const char* const plans[] = {"automatic", "lookups", "grouped", "scan", "rounds"};
    const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8(name) : nullptr;
    for (int i = 0; text != nullptr && i < 5; ++i) {
        if (std::strcmp(text, plans[i]) == 0) {
            set_find_plan(static_cast<FindPlan>(i));
            Py_RETURN_NONE;
        }
    }
    if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_ValueError, "unknown find plan: %R", name);
    }
    return nullptr;
}

// prepare_catalog(conn): the catalog tables over any DB-API connection, then
// conn.commit(). Unlike DB(), it sets no journal mode: that is the file's
// owner's business (a replicated engine keeps its own).
PyObject* prepare_catalog(PyObject*, PyObject* conn) {
    Cursor cursor;
    if (!cursor.open(conn) || !create_catalog(cursor)) {
        return nullptr;
    }
    Owned done = steal(PyObject_CallMethodNoArgs(conn, names().commit));
    return done ? Py_NewRef(Py_None) : nullptr;
}

// create_catalog(conn): the catalog tables over any DB-API connection, inside
// whatever transaction is open; the caller decides when they commit.
PyObject* create_catalog_tables(PyObject*, PyObject* conn) {
    Cursor cursor;
    if (!cursor.open(conn) || !create_catalog(cursor)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

constexpr const char* kPolicyNames[] = {"auto", "keep", "rebuild"};

// merge_indexes(policy) -> the policy it replaces. "auto" lets the merge keep
// indexes when that is cheaper; "keep" and "rebuild" force one way.
PyObject* merge_indexes(PyObject*, PyObject* policy) {
    const IndexPolicy previous = merge_index_policy();
    for (int i = 0; i < 3; ++i) {
        const int equal = PyUnicode_Check(policy) ? PyUnicode_CompareWithASCIIString(policy, kPolicyNames[i]) : 1;
        if (equal == 0) {
            set_merge_index_policy(static_cast<IndexPolicy>(i));
            return PyUnicode_FromString(kPolicyNames[static_cast<int>(previous)]);
        }
    }
    PyErr_Format(PyExc_ValueError, "merge_indexes: expected 'auto', 'keep' or 'rebuild', got %R", policy);
    return nullptr;
}

constexpr const char* kPathNames[] = {"auto", "statements"};

// merge_path(name) -> the path it replaces. "auto" merges in a few set-based
// statements wherever the guards allow; "statements" always one per row.
PyObject* merge_path_switch(PyObject*, PyObject* name) {
    const MergePath previous = merge_path();
    for (int i = 0; i < 2; ++i) {
        if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, kPathNames[i]) == 0) {
            set_merge_path(static_cast<MergePath>(i));
            return PyUnicode_FromString(kPathNames[static_cast<int>(previous)]);
        }
    }
    PyErr_Format(PyExc_ValueError, "merge_path: expected 'auto' or 'statements', got %R", name);
    return nullptr;
}

// staging_path(name) -> the path it replaces. "auto" stages on a dqlite
// connection as JSON in a few statements wherever the values allow; "statements"
// always one statement per row.
PyObject* staging_path_switch(PyObject*, PyObject* name) {
    const StagingPath previous = staging_path();
    for (int i = 0; i < 2; ++i) {
        if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, kPathNames[i]) == 0) {
            set_staging_path(static_cast<StagingPath>(i));
            return PyUnicode_FromString(kPathNames[static_cast<int>(previous)]);
        }
    }
    PyErr_Format(PyExc_ValueError, "staging_path: expected 'auto' or 'statements', got %R", name);
    return nullptr;
}

Retained g_stage_rows_code;  // traceback entry of stage_rows

// stage_rows(conn, table, rows, comm): checked rows into the staging table,
// many per statement on the host's own connection type (grouped_staging.hpp).
PyObject* native_stage_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 4) {
        PyErr_Format(PyExc_TypeError, "stage_rows() takes exactly 4 positional arguments (%zd given)", nargs);
        return nullptr;
    }
    Owned answer;
    try {
        answer = stage_rows(args);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    if (!answer) {
        add_traceback_entry(g_stage_rows_code.get());
    }
    return answer.release();
}

// stage_values(conn, table, values, width, comm): the same from one flat list
// of values, row after row (what a frame's columns interleave into).
PyObject* native_stage_values(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 5) {
        PyErr_Format(PyExc_TypeError, "stage_values() takes exactly 5 positional arguments (%zd given)", nargs);
        return nullptr;
    }
    const Py_ssize_t width = PyLong_AsSsize_t(args[3]);
    if (width == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    PyObject* const forwarded[] = {args[0], args[1], args[2], args[4]};
    Owned answer;
    try {
        answer = stage_values(forwarded, width);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    if (!answer) {
        add_traceback_entry(g_stage_rows_code.get());
    }
    return answer.release();
}

// folded_find_reads(flag) -> the flag it replaces: whether find's plan on a
// dqlite connection folds its reads into a few statements.
PyObject* folded_find_reads(PyObject*, PyObject* flag) {
    if (!PyBool_Check(flag)) {
        PyErr_Format(PyExc_TypeError, "folded_find_reads: expected True or False, got %R", flag);
        return nullptr;
    }
    const bool previous = fold_remote_reads();
    set_fold_remote_reads(flag == Py_True);
    return PyBool_FromLong(previous);
}

// grouped_staging(flag) -> the flag it replaces: whether stage_rows groups
// rows into statements (True) or executes one per row as insert_temp does.
PyObject* grouped_staging(PyObject*, PyObject* flag) {
    if (!PyBool_Check(flag)) {
        PyErr_Format(PyExc_TypeError, "grouped_staging: expected True or False, got %R", flag);
        return nullptr;
    }
    return PyBool_FromLong(set_grouped_staging(flag == Py_True));
}

PyMethodDef native_methods[] = {
    {"merge_path", merge_path_switch, METH_O,
     "merge_path(name) -> previous name\n\nHow temp_to_main applies its result: 'auto' (in a few "
     "set-based statements wherever that is exact) or 'statements' (one per row)."},
    {"staging_path", staging_path_switch, METH_O,
     "staging_path(name) -> previous name\n\nHow insert_temp stages on a dqlite connection: 'auto' "
     "(JSON in a few statements wherever the values allow) or 'statements' (one per row)."},
    {"traced_merge", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(traced_merge)), METH_FASTCALL,
     "traced_merge(conn, table, comm, progress, fail_before) -> (path, staged, inserted, replaced, "
     "superseded)\n\nFor tests: merge with this call's options (the set-based merge raises RuntimeError "
     "before step\nfail_before: 1 search, 2 drop indexes, 3 delete, 4 insert, 5 purge, 6 rebuild; 0 never),\n"
     "telling the path it took, 'sets' or 'statements'."},
    {"find", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(native_find)), METH_FASTCALL,
     "find(conn, select, table, conditions, params) -> (rows, staged)\n\n"
     "find with parameters bound to both candidate statements; select None gives\n"
     "whole rows, rowid first, and staged counts the leading staged rows."},
    {"traced_find", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(traced_find)), METH_FASTCALL,
     "traced_find(conn, select, table, conditions, params) -> (rows, staged, plans)\n\n"
     "For tests: find as above, telling the plans that answered its newest tests,\n"
     "a tuple of names out of 'lookups', 'rounds', 'scan' and 'walk'."},
    {"merge", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(native_merge)), METH_FASTCALL,
     "merge(conn, table, comm, progress) -> (staged, inserted, replaced, superseded)\n\n"
     "temp_to_main that returns its counts and calls progress(done, total) on the way."},
    {"interruptible", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(interruptible_call)), METH_FASTCALL,
     "interruptible(conn, fn) -> fn(): Ctrl-C stops a long statement of fn with KeyboardInterrupt."},
    {"sequential_walk", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(sequential_walk)), METH_FASTCALL,
     "sequential_walk(rows, rule_count) -> (lost, hidden, current, stale, superseded, others)."},
    {"with_index_plan", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(with_index_plan)), METH_FASTCALL,
     "with_index_plan(conn, table, at_least, at_most, count, schema_rows, largest_rowid, prepare, write) "
     "-> write(): the main table's indexes kept or rebuilt around a merge's writes."},
    {"find_plan", find_plan, METH_O, "find_plan(name): how find gathers rows for its newest test."},
    {"prepare_catalog", prepare_catalog, METH_O,
     "prepare_catalog(conn)\n--\n\nCreates the catalog tables over conn and commits."},
    {"create_catalog", create_catalog_tables, METH_O,
     "create_catalog(conn)\n--\n\nCreates the catalog tables over conn without committing."},
    {"merge_indexes", merge_indexes, METH_O,
     "merge_indexes(policy) -> previous policy\n\nHow temp_to_main treats the main table's indexes: "
     "'auto' (keep them when that is cheaper), 'keep' or 'rebuild'."},
    {"stage_rows", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(native_stage_rows)), METH_FASTCALL,
     "stage_rows(conn, table, rows, comm)\n\nChecked rows (a list of tuples as wide as the table) into "
     "its staging table,\nmany per statement on the host's own connection type."},
    {"stage_values", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(native_stage_values)), METH_FASTCALL,
     "stage_values(conn, table, values, width, comm)\n\nstage_rows from one flat list of values, "
     "row after row."},
    {"folded_find_reads", folded_find_reads, METH_O,
     "folded_find_reads(flag) -> previous flag\n\nWhether find's plan on a dqlite connection folds its reads."},
    {"grouped_staging", grouped_staging, METH_O,
     "grouped_staging(flag) -> previous flag\n\nWhether stage_rows groups rows into statements."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef native_def = {
    PyModuleDef_HEAD_INIT,
    "norvane._native_ext",
    "Private entries of norvane; not a public interface.",
    0,
    native_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// KEYWORDS: SQLite's keywords, upper case, as a frozenset of str.
Owned keyword_set() {
    Owned words = steal(PyList_New(static_cast<Py_ssize_t>(kKeywordCount)));
    for (size_t i = 0; words && i < kKeywordCount; ++i) {
        PyObject* word = PyUnicode_FromString(kKeywords[i]);
        if (word == nullptr) {
            return {};
        }
        PyList_SET_ITEM(words.get(), static_cast<Py_ssize_t>(i), word);
    }
    return words ? steal(PyFrozenSet_New(words.get())) : Owned();
}

}  // namespace
}  // namespace norvane

PyMODINIT_FUNC PyInit__native_ext() {
    using namespace norvane;
    if (!g_find_code) {
        Owned code = traceback_code("norvane._native.find");
        if (!code) {
            return nullptr;
        }
        g_find_code.keep(std::move(code));
    }
    if (!g_merge_code) {
        Owned code = traceback_code("norvane._native.merge");
        if (!code) {
            return nullptr;
        }
        g_merge_code.keep(std::move(code));
    }
    if (!g_stage_rows_code) {
        Owned code = traceback_code("norvane._native.stage_rows");
        if (!code) {
            return nullptr;
        }
        g_stage_rows_code.keep(std::move(code));
    }
    Owned module = steal(PyModule_Create(&native_def));
    Owned keywords = module ? keyword_set() : Owned();
    if (!keywords || !add_current_rows_type(module.get()) || !add_newest_play(module.get()) ||
        !add_profile_entries(module.get()) || PyModule_AddObjectRef(module.get(), "KEYWORDS", keywords.get()) < 0 ||
        PyModule_AddStringConstant(module.get(), "MERGE_SCHEMA_ROWS", MergeIndexes::schema_rows_sql()) < 0) {
        return nullptr;
    }
    return module.release();
}
