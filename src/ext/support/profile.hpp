// The connection profile: every fact a fast path needs about a connection
// and a table, read once per call, so that each path decides from the same
// facts and no two checks of one fact can disagree.
//
// A path may run when every flag it requires holds (kPathFlags in
// profile.cpp, published as _native.PATH_FLAGS); each path's header lists
// its flags with the reason for each. Words used here:
//   host      the interpreter's own sqlite3 module and its exact
//             sqlite3.Connection type;
//   engine    the SQLite that runs the statements: the host's, or the one
//             behind the pinned dqlite driver's connection (a cluster);
//   plain pair  a table and its staging twin temp_<table> as create_table
//             makes them: ordinary rowid tables listing bare column names.
#pragma once

#include "refs.hpp"
#include "statement.hpp"

#include <span>

namespace norvane {

// The most parameters the pinned dqlite driver binds correctly to one
// statement; from 256 on it stores NULLs or garbage without an error.
inline constexpr Py_ssize_t kDqliteMaxParameters = 255;

enum class Engine { host = 0, dqlite = 1, other = 2 };

// One fact each; a flag "holds" when the fact allows a fast path.
enum Flag : unsigned {
    // of the connection
    kKnownEngine,     // exactly the host's connection type or the dqlite driver's
    kClusterEngine,   // exactly the dqlite driver's connection type
    kNoRowFactory,    // rows come back as tuples
    kStrTextFactory,  // text comes back as str
    kNoPlainAdapter,  // no adapter registered on a plain value type
    kCalleesOwn,      // the module globals a merge calls still hold our own functions
    kNumbersExact,    // this engine compares integers with reals exactly
    // of a table and its staging twin
    kPlainTables,     // both resolve (temp schema first) to ordinary rowid tables
    kNoCollation,     // neither definition names a collation
    kDeclaredAlike,   // same column names and declared types in both
    kTypesAsStored,   // no declared type (or column name) makes a driver convert values
    kBareColumns,     // both definitions in the main schema list exactly the given bare names
    kNoTriggers,      // no trigger on either table
    kNoMainTriggers,  // no trigger on the main table
    kNoForeignKeys,   // no enforced foreign key refers to either table
    kFlagCount
};

// The fast paths that read the profile.
enum class Path { find_groups, exact_reads, set_merge, json_staging, json_delete, count };

const char* flag_name(Flag flag) noexcept;
const char* path_name(Path path) noexcept;
// The flags a path requires, from the one table of them.
std::span<const Flag> path_flags(Path path) noexcept;

// The profile of one call. Without a table only the connection's flags are
// read; the table's then do not hold.
struct Profile {
    Engine engine = Engine::other;
    unsigned holds = 0;  // bit (1 << flag) per flag that holds
    Py_ssize_t max_parameters = PY_SSIZE_T_MAX;

    bool has(Flag flag) const noexcept { return (holds >> flag) & 1U; }
    // Whether every flag the path requires holds (of those in `only`, when
    // a caller has checked the others already).
    bool allows(Path path, unsigned only = ~0U) const noexcept;
};

// The plain value types: the types the host stores as they are (int, float,
// str, bytes, bytearray, memoryview, None, bool). An adapter registered on
// one of them changes what a statement binds.
bool is_plain_value_type(PyObject* type) noexcept;

// The engine of `conn`: 0 with `out` set, -1 on error.
int engine_of(PyObject* conn, Engine& out);

// Reads the connection's flags (no statement; kCalleesOwn only when
// `callees` says so). 0, or -1 on error.
int read_connection_profile(PyObject* conn, Profile& out, bool callees = false);

// Whether the engine of this cursor compares integers with reals exactly
// (2**53 + 1 is not 2.0**53): 1 or 0, -1 on error; asked once per engine.
int compares_numbers_exactly(Cursor& cursor, Engine engine);

// Reads the flags of `table` and temp_<table> in one statement (a round trip
// on a cluster), with the engine's number comparison when it is not known
// yet; kBareColumns compares with `cols` (the catalog's columns), or when
// null with the main table's own. 0, or -1 on error (a failing read included).
int read_table_profile(Cursor& cursor, PyObject* table, PyObject* cols, Profile& profile);

// Rows a caller reads in the same statement as the table's flags (one round
// trip for both): `sql` is further "SELECT <tag>, a, b, c ..." parts joined
// by UNION ALL, their tags kFirstExtraTag and on, `params` their parameters
// (a tuple); their rows land in `rows` (a list), whatever the flags.
inline constexpr long kFirstExtraTag = 7;
struct ExtraRead {
    PyObject* sql = nullptr;
    PyObject* params = nullptr;
    Owned rows;
};
int read_table_profile(Cursor& cursor, PyObject* table, PyObject* cols, Profile& profile, ExtraRead* extra);

// Shared by the connection's half of the profile and the table's
// (table_profile.cpp). The number probe, a SELECT's column:
inline constexpr const char* kNumbersProbe = "9007199254740993 = 9007199254740992.0";
// Sets or clears `flag` (one that ignore_guard names always holds).
void set_flag(Profile& profile, Flag flag, bool holds);
// What the engine answered to the probe: 1 exact, 0 not, -1 not asked yet.
int numbers_exact_known(Engine engine) noexcept;
// Notes the probe's answer for `engine`: 0 (not equal) means exact, anything
// but an int 0 inexact. False with an error raised.
bool note_numbers_answer(Engine engine, PyObject* value);

// For tests: the flag of this name is taken to hold whatever is read, so a
// test can show that its differential test fails without that guard. Null
// restores every guard. Returns the name it replaces (or None); -1 / null on
// error (an unknown name raises ValueError).
PyObject* ignore_guard(PyObject* name);

// _native.connection_profile(conn, table=None) -> {"engine",
// "max_parameters", "flags": {name: bool}, "paths": {name: bool}}: the facts
// the fast paths decide by (profile_entries.cpp).
Owned connection_profile(PyObject* conn, PyObject* table_or_none);

// _native.PATH_FLAGS and CLUSTER_MAX_PARAMETERS, added to the private module.
bool add_profile_entries(PyObject* module);

}  // namespace norvane
