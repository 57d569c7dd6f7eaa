// The connection profile (see profile.hpp): the connection's facts, read once
// per call, and the one table of which fast path requires which flags. The
// table's facts are read by table_profile.cpp.
#include "profile.hpp"

#include "binder.hpp"
#include "driver_limits.hpp"
#include "names.hpp"
#include "refs.hpp"
#include "statement.hpp"

#include <cstring>
#include <initializer_list>
#include <span>

namespace norvane {
namespace {

constexpr const char* kFlagNames[kFlagCount] = {
    "known_engine",    "cluster_engine", "no_row_factory", "str_text_factory", "no_plain_adapter",
    "callees_own",     "numbers_exact",  "plain_tables",   "no_collation",     "declared_alike",
    "types_as_stored", "bare_columns",   "no_triggers",    "no_main_triggers", "no_foreign_keys",
};

constexpr const char* kPathNames[] = {"find_groups", "exact_reads", "set_merge", "json_staging", "json_delete"};

// Which flags each path requires: the one place a path's guard is decided.
// Each path's header says why it needs each of its flags.
constexpr Flag kReadsAsStored[] = {kKnownEngine, kNoRowFactory, kStrTextFactory, kNoPlainAdapter, kNumbersExact,
                                   kPlainTables, kNoCollation,  kDeclaredAlike,  kTypesAsStored};
constexpr Flag kSetMerge[] = {kKnownEngine,  kNoRowFactory, kStrTextFactory, kNoPlainAdapter, kCalleesOwn,
                              kNumbersExact, kBareColumns,  kNoTriggers,     kNoForeignKeys};
constexpr Flag kJsonStaging[] = {kClusterEngine, kNoRowFactory, kStrTextFactory, kNoPlainAdapter};
constexpr Flag kJsonDelete[] = {kClusterEngine, kNoMainTriggers};

struct PathFlags {
    Path path;
    std::span<const Flag> flags;
};
constexpr PathFlags kPathFlags[] = {
    {Path::find_groups, kReadsAsStored}, {Path::exact_reads, kReadsAsStored}, {Path::set_merge, kSetMerge},
    {Path::json_staging, kJsonStaging},  {Path::json_delete, kJsonDelete},
};

unsigned g_ignored = kFlagCount;  // a test's switch: this flag holds whatever is read

// The answer of each engine to the number probe, asked once each: the host's
// SQLite and the cluster's may differ, so one never stands in for the other.
int g_numbers_exact[2] = {-1, -1};

// Whether the host's sqlite3.adapters holds a plain value type: 1, 0, -1.
int host_adapts_plain_values() {
    Owned adapters = steal(PyObject_GetAttr(host_sqlite3(), names().adapters));
    if (!adapters || !PyDict_Check(adapters.get())) {
        return adapters ? 1 : -1;
    }
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(adapters.get(), &pos, &key, &value)) {
        if (!PyTuple_Check(key) || PyTuple_GET_SIZE(key) < 1 || is_plain_value_type(PyTuple_GET_ITEM(key, 0))) {
            return 1;
        }
    }
    return 0;
}

// The dqlite driver keeps its adapters in a dict keyed by exact type.
int driver_adapts_plain_values() {
    Owned types = steal(PyImport_ImportModule("dqlitedbapi.types"));
    Owned adapters = types ? steal(PyObject_GetAttrString(types.get(), "_ADAPTERS")) : Owned();
    if (!adapters) {
        // A driver we do not know: assume it adapts. Other errors stay raised.
        return clear_if_expected({PyExc_ImportError, PyExc_AttributeError}) ? 1 : -1;
    }
    if (!PyDict_Check(adapters.get())) {
        return 1;
    }
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(adapters.get(), &pos, &key, &value)) {
        if (is_plain_value_type(key)) {
            return 1;
        }
    }
    return 0;
}

}  // namespace

const char* flag_name(Flag flag) noexcept { return flag < kFlagCount ? kFlagNames[flag] : "?"; }

void set_flag(Profile& profile, Flag flag, bool holds) {
    if (holds || flag == g_ignored) {
        profile.holds |= 1U << flag;
    } else {
        profile.holds &= ~(1U << flag);
    }
}

int numbers_exact_known(Engine engine) noexcept {
    return engine == Engine::other ? 0 : g_numbers_exact[static_cast<int>(engine)];
}

bool note_numbers_answer(Engine engine, PyObject* value) {
    if (PyErr_Occurred()) {
        return false;
    }
    const long answer = value != nullptr && PyLong_CheckExact(value) ? PyLong_AsLong(value) : 1;
    if (answer == -1 && PyErr_Occurred() && !clear_if_expected({PyExc_OverflowError})) {
        return false;
    }
    g_numbers_exact[static_cast<int>(engine)] = answer == 0;
    return true;
}

bool Profile::allows(Path path, unsigned only) const noexcept {
    for (const PathFlags& entry : kPathFlags) {
        if (entry.path == path) {
            for (Flag flag : entry.flags) {
                if (((only >> flag) & 1U) != 0 && !has(flag)) {
                    return false;
                }
            }
            return true;
        }
    }
    return false;
}

bool is_plain_value_type(PyObject* type) noexcept {
    for (PyTypeObject* plain : {&PyLong_Type, &PyFloat_Type, &PyUnicode_Type, &PyBytes_Type, &PyByteArray_Type,
                                &PyMemoryView_Type, Py_TYPE(Py_None), &PyBool_Type}) {
        if (type == reinterpret_cast<PyObject*>(plain)) {
            return true;
        }
    }
    return false;
}

int engine_of(PyObject* conn, Engine& out) {
    if (is_native_connection(conn)) {
        out = Engine::host;
        return 0;
    }
    const int dqlite = is_dqlite_connection(conn);
    out = dqlite > 0 ? Engine::dqlite : Engine::other;
    return dqlite < 0 ? -1 : 0;
}

int read_connection_profile(PyObject* conn, Profile& out, bool callees) {
    if (engine_of(conn, out.engine) < 0) {
        return -1;
    }
    const bool known = out.engine != Engine::other;
    set_flag(out, kKnownEngine, known);
    set_flag(out, kClusterEngine, out.engine == Engine::dqlite);
    out.max_parameters = out.engine == Engine::dqlite ? kDqliteMaxParameters : PY_SSIZE_T_MAX;
    if (known) {
        Owned row_factory = steal(PyObject_GetAttr(conn, names().row_factory));
        Owned text_factory = row_factory ? steal(PyObject_GetAttr(conn, names().text_factory)) : Owned();
        if (!text_factory) {
            return -1;
        }
        set_flag(out, kNoRowFactory, row_factory.get() == Py_None);
        set_flag(out, kStrTextFactory, text_factory.get() == reinterpret_cast<PyObject*>(&PyUnicode_Type));
        const int adapted = out.engine == Engine::dqlite ? driver_adapts_plain_values() : host_adapts_plain_values();
        if (adapted < 0) {
            return -1;
        }
        set_flag(out, kNoPlainAdapter, adapted == 0);
    } else {
        for (Flag flag : {kNoRowFactory, kStrTextFactory, kNoPlainAdapter}) {
            set_flag(out, flag, false);
        }
    }
    if (callees) {
        int own = 1;
        for (Fn fn : {Fn::drop_table_index, Fn::delete_row_main, Fn::insert_main, Fn::active_table_index}) {
            own = own > 0 ? global_is_own(fn) : own;
        }
        if (own < 0) {
            return -1;
        }
        set_flag(out, kCalleesOwn, own > 0);
    }
    if (out.engine != Engine::other && g_numbers_exact[static_cast<int>(out.engine)] >= 0) {
        set_flag(out, kNumbersExact, g_numbers_exact[static_cast<int>(out.engine)] > 0);
    }
    return 0;
}

int compares_numbers_exactly(Cursor& cursor, Engine engine) {
    if (engine == Engine::other) {
        return 0;
    }
    int& known = g_numbers_exact[static_cast<int>(engine)];
    if (known < 0) {
        Owned sql = join_text({"SELECT ", kNumbersProbe});
        Owned rows = sql ? cursor.query(sql.get()) : Owned();
        if (!rows) {
            return -1;
        }
        Owned row = PyList_GET_SIZE(rows.get()) == 1 ? item_at(PyList_GET_ITEM(rows.get(), 0), Py_ssize_t{0}) : Owned();
        if (!note_numbers_answer(engine, row.get())) {
            return -1;
        }
    }
    return known > 0 || g_ignored == kNumbersExact ? 1 : 0;
}

std::span<const Flag> path_flags(Path path) noexcept {
    for (const PathFlags& entry : kPathFlags) {
        if (entry.path == path) {
            return entry.flags;
        }
    }
    return {};
}

const char* path_name(Path path) noexcept { return path < Path::count ? kPathNames[static_cast<int>(path)] : "?"; }

PyObject* ignore_guard(PyObject* name) {
    const unsigned previous = g_ignored;
    if (name == nullptr || name == Py_None) {
        g_ignored = kFlagCount;
    } else {
        const char* text = utf8_of(name);
        unsigned found = kFlagCount;
        for (unsigned i = 0; text != nullptr && i < kFlagCount; ++i) {
            found = std::strcmp(text, kFlagNames[i]) == 0 ? i : found;
        }
        if (found == kFlagCount) {
            PyErr_Format(PyExc_ValueError, "ignore_guard: no flag named %R", name);
            return nullptr;
        }
        g_ignored = found;
    }
    if (previous == kFlagCount) {
        Py_RETURN_NONE;
    }
    return PyUnicode_FromString(kFlagNames[previous]);
}

}  // namespace norvane
