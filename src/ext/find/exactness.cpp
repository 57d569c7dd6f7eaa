// The guards of find's newest groups: what must hold of the connection, the
// names and the tables for keys to compare as the walk's statements do.
#include "exactness.hpp"

#include "keywords.hpp"
#include "profile.hpp"
#include "refs.hpp"
#include "statement.hpp"

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

namespace norvane {

bool is_plain_identifier(const char* s) {
    if (!(std::isalpha(static_cast<unsigned char>(*s)) || *s == '_')) {
        return false;
    }
    for (++s; *s; ++s) {
        if (!(std::isalnum(static_cast<unsigned char>(*s)) || *s == '_')) {
            return false;
        }
    }
    return true;
}

bool is_keyword(const char* s) {
    // Beside the keywords, the literals and the rowid's names read as
    // something other than a column in a search.
    static const char* const also[] = {"TRUE", "FALSE", "ROWID", "OID", "_ROWID_"};
    for (size_t i = 0; i < kKeywordCount; ++i) {
        if (PyOS_stricmp(s, kKeywords[i]) == 0) {
            return true;
        }
    }
    for (const char* w : also) {
        if (PyOS_stricmp(s, w) == 0) {
            return true;
        }
    }
    return false;
}

// Whether every candidate row of these conditions is a stored row as it is:
// a plain WHERE, ORDER BY or LIMIT (or nothing) over the table alone.
bool selects_stored_rows(const char* conditions) {
    const std::string text = upper(conditions);
    const size_t start = text.find_first_not_of(" \t\r\n");
    if (start == std::string::npos) {
        return true;
    }
    bool plain = false;
    for (const char* lead : {"WHERE", "ORDER", "LIMIT"}) {
        const size_t n = std::strlen(lead);
        if (text.compare(start, n, lead) == 0 &&
            (start + n == text.size() ||
             !(std::isalnum(static_cast<unsigned char>(text[start + n])) || text[start + n] == '_'))) {
            plain = true;
        }
    }
    for (const char* word : {"UNION", "INTERSECT", "EXCEPT", "GROUP", "HAVING", "JOIN"}) {
        plain = plain && text.find(word) == std::string::npos;
    }
    return plain;
}

bool is_rowid_name(const char* s) {
    return PyOS_stricmp(s, "rowid") == 0 || PyOS_stricmp(s, "oid") == 0 || PyOS_stricmp(s, "_rowid_") == 0;
}

namespace {

// The connection's flags and the table's, as the profile splits them.
constexpr unsigned kConnectionFlags =
    (1U << kKnownEngine) | (1U << kNoRowFactory) | (1U << kStrTextFactory) | (1U << kNoPlainAdapter);
constexpr unsigned kTableFlags = (1U << kNumbersExact) | (1U << kPlainTables) | (1U << kNoCollation) |
                                 (1U << kDeclaredAlike) | (1U << kTypesAsStored);

}  // namespace

int reads_values_as_stored(PyObject* conn) {
    Profile profile;
    if (read_connection_profile(conn, profile) < 0) {
        return -1;
    }
    return profile.allows(Path::find_groups, kConnectionFlags) ? 1 : 0;
}

int compares_numbers_exactly(Cursor& cursor) {
    return compares_numbers_exactly(cursor, cursor.native() ? Engine::host : Engine::dqlite);
}

int tables_read_alike(Cursor& cursor, PyObject* table, bool remote) {
    Profile profile;
    profile.engine = remote ? Engine::dqlite : Engine::host;
    if (read_table_profile(cursor, table, nullptr, profile) < 0) {
        return -1;
    }
    return profile.allows(Path::find_groups, kTableFlags) ? 1 : 0;
}

int tables_read_alike(Cursor& cursor, PyObject* table, bool remote, ExtraRead& extra) {
    Profile profile;
    profile.engine = remote ? Engine::dqlite : Engine::host;
    if (read_table_profile(cursor, table, nullptr, profile, &extra) < 0) {
        return -1;
    }
    return profile.allows(Path::find_groups, kTableFlags) ? 1 : 0;
}

}  // namespace norvane
