// norvane._native: entries that go beside the published module, never into
// its namespace. It is the same shared object as norvane.norvane, loaded under
// a second name (see src/norvane/_native.py), so it shares the module's state:
// it must be loaded after norvane.norvane.
#include "binder.hpp"
#include "current_rows.hpp"
#include "driver_limits.hpp"
#include "grouped_staging.hpp"
#include "keywords.hpp"
#include "merge_indexes.hpp"
#include "merge_report.hpp"
#include "names.hpp"
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
#include "storage.hpp"
#include "temp_to_main.hpp"

#include <array>

namespace norvane {
namespace {

constexpr const char* kNativeModule = "norvane._native";

PyObject* none_as_null(PyObject* value) { return value == Py_None ? nullptr : value; }

// find with `params` (None for none) bound to both candidate statements and
// this call's options; `staged` receives how many leading rows are staged
// ones, `plans` (when given) the plans that answered the newest tests.
Owned find_bound(PyObject* conn, PyObject* select, PyObject* table, PyObject* conditions, PyObject* params,
                 const FindOptions& options, Py_ssize_t& staged, Owned* plans) {
    if (!params_fit_driver(conn, table, none_as_null(params))) {
        return {};
    }
    return run_find(conn, none_as_null(select), table, conditions, none_as_null(params), options, &staged, plans);
}

// find(conn, select, table, conditions, params) -> (rows, staged)
//
// The module's find with `params` bound to both candidate statements. A
// `select` of None returns whole rows, rowid first; `staged` counts the
// leading rows that come from the staging table.
Owned native_find(PyObject* conn, PyObject* select, PyObject* table, PyObject* conditions, PyObject* params) {
    Py_ssize_t staged = 0;
    Owned rows = find_bound(conn, select, table, conditions, params, FindOptions{}, staged, nullptr);
    Owned count = rows ? steal(PyLong_FromSsize_t(staged)) : Owned();
    return count ? pair(rows.get(), count.get()) : Owned();
}

// Where `name` stands among `choices`: None is the first; -1 (no error set)
// for anything that is not one of them.
template <size_t N>
int choice_named(PyObject* name, const char* const (&choices)[N]) {
    for (size_t i = 0; i < N; ++i) {
        if (name == Py_None || (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, choices[i]) == 0)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// The find plan named "automatic" (also None), "lookups", "grouped", "scan"
// or "rounds"; otherwise a ValueError naming the choices.
bool find_plan_named(PyObject* name, FindPlan& plan) {
    static const char* const plans[] = {"automatic", "lookups", "grouped", "scan", "rounds"};
    const int at = choice_named(name, plans);
    if (at < 0) {
        PyErr_Format(PyExc_ValueError,
                     "traced_find: plan: expected 'automatic', 'lookups', 'grouped', 'scan' or 'rounds', got %R", name);
        return false;
    }
    plan = static_cast<FindPlan>(at);
    return true;
}

// traced_find(conn, select, table, conditions, params, plan=None,
// folded=None) -> (rows, staged, plans): the same for tests and benchmarks,
// with this call's plan (None: "automatic") and, on a dqlite connection, its
// reads folded into a few statements or not (None: folded), telling the
// plans that answered its newest tests (a tuple of names out of "lookups",
// "rounds", "scan" and "walk").
Owned traced_find(PyObject* conn, PyObject* select, PyObject* table, PyObject* conditions, PyObject* params,
                  PyObject* plan, PyObject* folded) {
    FindOptions options;
    if (!find_plan_named(plan, options.plan)) {
        return {};
    }
    if (folded != Py_None && !PyBool_Check(folded)) {
        PyErr_Format(PyExc_TypeError, "traced_find: folded: expected True, False or None, got %R", folded);
        return {};
    }
    options.fold_reads = folded != Py_False;
    Py_ssize_t staged = 0;
    Owned plans;
    Owned rows = find_bound(conn, select, table, conditions, params, options, staged, &plans);
    Owned count = rows ? steal(PyLong_FromSsize_t(staged)) : Owned();
    return count ? steal(PyTuple_Pack(3, rows.get(), count.get(), plans.get())) : Owned();
}

bool check_progress(PyObject* progress) {
    if (progress != Py_None && !PyCallable_Check(progress)) {
        PyErr_Format(PyExc_TypeError, "progress must be callable or None, not %.100s", Py_TYPE(progress)->tp_name);
        return false;
    }
    return true;
}

// merge(conn, table, comm, progress) -> (staged, inserted, replaced, superseded)
//
// temp_to_main that tells what it did, and reports progress(done, total) on
// the way (progress may be None).
Owned native_merge(PyObject* conn, PyObject* table, PyObject* comm, PyObject* progress) {
    if (!check_progress(progress)) {
        return {};
    }
    MergeReport report(progress);
    MergeOutcome outcome;
    if (!merge_with(conn, table, comm, MergeOptions{}, &report, outcome)) {
        return {};
    }
    const MergeCounts& c = report.counts();
    return steal(Py_BuildValue("(nnnn)", c.staged, c.inserted, c.replaced, c.superseded));
}

// The merge path named "auto" (also None) or "statements"; otherwise a
// ValueError naming the choices.
bool merge_path_named(PyObject* name, MergePath& path) {
    static const char* const names[] = {"auto", "statements"};
    const int at = choice_named(name, names);
    if (at < 0) {
        PyErr_Format(PyExc_ValueError, "traced_merge: path: expected 'auto' or 'statements', got %R", name);
        return false;
    }
    path = static_cast<MergePath>(at);
    return true;
}

// traced_merge(conn, table, comm, progress, fail_before, path=None,
// indexes=None) -> (path, staged, inserted, replaced, superseded): the same
// for tests, with the merge's options of this call (fail_before: the
// set-based merge raises RuntimeError before that step, 0 never; path: "auto"
// or "statements", one per row; indexes: "auto", "keep" or "rebuild"; None
// is "auto") and the path it took, "sets" or "statements".
Owned traced_merge(PyObject* conn, PyObject* table, PyObject* comm, PyObject* progress, PyObject* fail_before,
                   PyObject* path, PyObject* indexes) {
    if (!check_progress(progress)) {
        return {};
    }
    MergeOptions options;
    options.fail_before = PyLong_AsLong(fail_before);
    if ((options.fail_before == -1 && PyErr_Occurred()) || !merge_path_named(path, options.path) ||
        (indexes != Py_None && !index_policy_named(indexes, "traced_merge: indexes", options.indexes))) {
        return {};
    }
    MergeReport report(progress);
    MergeOutcome outcome;
    if (!merge_with(conn, table, comm, options, &report, outcome)) {
        return {};
    }
    const MergeCounts& c = report.counts();
    return steal(Py_BuildValue("(snnnn)", outcome.in_sets ? "sets" : "statements", c.staged, c.inserted, c.replaced,
                               c.superseded));
}

// prepare_catalog(conn): the catalog tables over any DB-API connection, then
// conn.commit(). Unlike DB(), it sets no journal mode: that is the file's
// owner's business (a replicated engine keeps its own).
Owned prepare_catalog(PyObject* conn) {
    Cursor cursor;
    if (!cursor.open(conn) || !create_catalog(cursor)) {
        return {};
    }
    Owned done = steal(PyObject_CallMethodNoArgs(conn, names().commit));
    return done ? share(Py_None) : Owned();
}

// create_catalog(conn): the catalog tables over any DB-API connection, inside
// whatever transaction is open; the caller decides when they commit.
Owned create_catalog_tables(PyObject* conn) {
    Cursor cursor;
    if (!cursor.open(conn) || !create_catalog(cursor)) {
        return {};
    }
    return share(Py_None);
}

// traced_stage(conn, table, rows, comm, path, grouped, width=None) -> the way
// the rows went, "grouped", "json" or "statements": stage_rows (width None)
// or stage_values for tests and benchmarks, with the staging options of this
// call (path: "auto", as JSON on a dqlite connection wherever the values
// allow, or "statements", one per row; grouped: many rows per INSERT on the
// host's own connection).
Owned traced_stage(PyObject* conn, PyObject* table, PyObject* rows, PyObject* comm, PyObject* path, PyObject* grouped,
                   PyObject* width) {
    StagingOptions options;
    const int automatic = PyUnicode_Check(path) ? PyUnicode_CompareWithASCIIString(path, "auto") : 1;
    if (automatic != 0 && !(PyUnicode_Check(path) && PyUnicode_CompareWithASCIIString(path, "statements") == 0)) {
        PyErr_Format(PyExc_ValueError, "traced_stage: path: expected 'auto' or 'statements', got %R", path);
        return {};
    }
    if (!PyBool_Check(grouped)) {
        PyErr_Format(PyExc_TypeError, "traced_stage: grouped: expected True or False, got %R", grouped);
        return {};
    }
    options.as_json = automatic == 0;
    options.grouped = grouped == Py_True;
    const Py_ssize_t per_row = width == Py_None ? 0 : PyLong_AsSsize_t(width);
    if (per_row == -1 && PyErr_Occurred()) {
        return {};
    }
    if (width != Py_None && per_row <= 0) {
        PyErr_SetString(PyExc_ValueError, "stage_values: values must be a list of whole rows");
        return {};
    }
    StagedBy by = StagedBy::statements;
    if (!stage_with(conn, table, rows, per_row, comm, options, by)) {
        return {};
    }
    static const char* const ways[] = {"statements", "json", "grouped"};
    return steal(PyUnicode_FromString(ways[static_cast<int>(by)]));
}

// ignore_guard(name or None) -> previous name or None.
Owned ignore_guard_entry(PyObject* name) { return steal(ignore_guard(name)); }

// The private entries, bound as the published callables are: keyword
// arguments, defaults, and a traceback entry on every failure.
constexpr int kNativeCount = 15;
constexpr std::array<FunctionSpec, kNativeCount> kNativeSpecs = {{
    {0,
     "traced_merge",
     "traced_merge",
     "traced_merge(conn, table, comm, progress, fail_before, path=None, indexes=None) -> (path, staged, inserted, "
     "replaced, superseded)\n\nFor tests: merge with this call's options (the set-based merge raises "
     "RuntimeError before step\nfail_before: 1 search, 2 drop indexes, 3 delete, 4 insert, 5 purge, 6 rebuild; "
     "0 never;\npath 'auto' or 'statements', one per row; indexes 'auto', 'keep' or 'rebuild'; None is 'auto'),\n"
     "telling the path it took, 'sets' or 'statements'.",
     "(conn, table, comm, progress, fail_before, path=None, indexes=None)",
     {"conn", "table", "comm", "progress", "fail_before", "path", "indexes"},
     7,
     TrailingDefault::none_value,
     kCore<traced_merge>},
    {1,
     "find",
     "find",
     "find(conn, select, table, conditions, params) -> (rows, staged)\n\n"
     "find with parameters bound to both candidate statements; select None gives\n"
     "whole rows, rowid first, and staged counts the leading staged rows.",
     "(conn, select, table, conditions, params)",
     {"conn", "select", "table", "conditions", "params"},
     5,
     TrailingDefault::none,
     kCore<native_find>},
    {2,
     "merge",
     "merge",
     "merge(conn, table, comm, progress) -> (staged, inserted, replaced, superseded)\n\n"
     "temp_to_main that returns its counts and calls progress(done, total) on the way.",
     "(conn, table, comm, progress)",
     {"conn", "table", "comm", "progress"},
     4,
     TrailingDefault::none,
     kCore<native_merge>},
    {3,
     "interruptible",
     "interruptible",
     "interruptible(conn, fn) -> fn(): Ctrl-C stops a long statement of fn with KeyboardInterrupt.",
     "(conn, fn)",
     {"conn", "fn"},
     2,
     TrailingDefault::none,
     kCore<interruptible_call>},
    {4,
     "sequential_walk",
     "sequential_walk",
     "sequential_walk(rows, rule_count) -> (lost, hidden, current, stale, superseded, others).",
     "(rows, rule_count)",
     {"rows", "rule_count"},
     2,
     TrailingDefault::none,
     kCore<sequential_walk>},
    {5,
     "with_index_plan",
     "with_index_plan",
     "with_index_plan(conn, table, at_least, at_most, count, schema_rows, largest_rowid, prepare, write, "
     "indexes) -> write(): the main table's indexes kept or rebuilt around a merge's writes, as the policy "
     "'auto', 'keep' or 'rebuild' says.",
     "(conn, table, at_least, at_most, count, schema_rows, largest_rowid, prepare, write, indexes)",
     {"conn", "table", "at_least", "at_most", "count", "schema_rows", "largest_rowid", "prepare", "write", "indexes"},
     10,
     TrailingDefault::none,
     kCore<with_index_plan>},
    {6,
     "prepare_catalog",
     "prepare_catalog",
     "Creates the catalog tables over conn and commits.",
     "(conn)",
     {"conn"},
     1,
     TrailingDefault::none,
     kCore<prepare_catalog>},
    {7,
     "create_catalog",
     "create_catalog",
     "Creates the catalog tables over conn without committing.",
     "(conn)",
     {"conn"},
     1,
     TrailingDefault::none,
     kCore<create_catalog_tables>},
    {8,
     "stage_rows",
     "stage_rows",
     "stage_rows(conn, table, rows, comm)\n\nChecked rows (a list of tuples as wide as the table) into "
     "its staging table,\nmany per statement on the host's own connection type.",
     "(conn, table, rows, comm)",
     {"conn", "table", "rows", "comm"},
     4,
     TrailingDefault::none,
     kCore<stage_rows>},
    {9,
     "stage_values",
     "stage_values",
     "stage_values(conn, table, values, width, comm)\n\nstage_rows from one flat list of values, "
     "row after row.",
     "(conn, table, values, width, comm)",
     {"conn", "table", "values", "width", "comm"},
     5,
     TrailingDefault::none,
     kCore<stage_values>},
    {10,
     "play_newest",
     "play_newest",
     "play_newest(main, staged, picks, rank_picks) -> (current staged rowids, hidden main rowids)",
     "(main, staged, picks, rank_picks)",
     {"main", "staged", "picks", "rank_picks"},
     4,
     TrailingDefault::none,
     kCore<play_newest>},
    {11,
     "connection_profile",
     "connection_profile",
     "connection_profile(conn, table=None) -> dict\n\nThe facts the fast paths decide by: the engine, the\n"
     "parameter limit, each flag and whether each path may run.",
     "(conn, table=None)",
     {"conn", "table"},
     2,
     TrailingDefault::none_value,
     kCore<connection_profile>},
    {12,
     "ignore_guard",
     "ignore_guard",
     "ignore_guard(name or None) -> previous name or None\n\nFor tests: the named flag holds whatever is read.",
     "(name)",
     {"name"},
     1,
     TrailingDefault::none,
     kCore<ignore_guard_entry>},
    {13,
     "traced_stage",
     "traced_stage",
     "traced_stage(conn, table, rows, comm, path, grouped, width=None) -> 'grouped', 'json' or 'statements'\n\n"
     "For tests: stage_rows (width None) or stage_values with this call's options (path 'auto' or\n"
     "'statements', one per row; grouped: many rows per INSERT on the host's connection), telling\n"
     "the way the rows went.",
     "(conn, table, rows, comm, path, grouped, width=None)",
     {"conn", "table", "rows", "comm", "path", "grouped", "width"},
     7,
     TrailingDefault::none_value,
     kCore<traced_stage>},
    {14,
     "traced_find",
     "traced_find",
     "traced_find(conn, select, table, conditions, params, plan=None, folded=None) -> (rows, staged, plans)\n\n"
     "For tests: find as above with this call's plan ('automatic', 'lookups', 'grouped', 'scan'\n"
     "or 'rounds') and, on a dqlite connection, its reads folded or not, telling the plans\n"
     "that answered its newest tests, a tuple of names out of 'lookups', 'rounds', 'scan' and 'walk'.",
     "(conn, select, table, conditions, params, plan=None, folded=None)",
     {"conn", "select", "table", "conditions", "params", "plan", "folded"},
     7,
     TrailingDefault::none_value,
     kCore<traced_find>},
}};
static_assert(entries_hold(kNativeSpecs),
              "kNativeSpecs: an entry out of its place, or its parameters and signature disagree");
static_assert(arities_match(kNativeSpecs), "kNativeSpecs: a core takes other than the parameters its entry names");

std::array<FunctionRuntime, kNativeCount> g_native_runtime;

// Adds the private entries to the module, their function objects made once
// per process.
bool add_native_functions(PyObject* module) {
    for (const FunctionSpec& spec : kNativeSpecs) {
        FunctionRuntime& runtime = g_native_runtime[spec.id];
        if (!prepare_function(spec, kNativeModule, runtime) ||
            PyModule_AddObjectRef(module, spec.name, runtime.function.get()) < 0) {
            return false;
        }
    }
    return true;
}

PyModuleDef native_def = {
    PyModuleDef_HEAD_INIT,
    "norvane._native_ext",
    "Private entries of norvane; not a public interface.",
    0,
    nullptr,
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
    Owned module = steal(PyModule_Create(&native_def));
    Owned keywords = module ? keyword_set() : Owned();
    if (!keywords || !add_native_functions(module.get()) || !add_current_rows_type(module.get()) ||
        !add_profile_entries(module.get()) || PyModule_AddObjectRef(module.get(), "KEYWORDS", keywords.get()) < 0 ||
        PyModule_AddStringConstant(module.get(), "MERGE_SCHEMA_ROWS", MergeIndexes::schema_and_catalog_rows_sql()) <
            0) {
        return nullptr;
    }
    return module.release();
}
