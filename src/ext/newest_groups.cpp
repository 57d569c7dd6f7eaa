// find's newest test answered from a pass over the rows.
//
// A row is superseded exactly when its linkage component (the rows reachable
// through chains of equal rule values, in both tables) holds a newer row. So
// instead of one statement walk per candidate, the rows are gathered into
// components with a union-find over (source, rowid) nodes: lazily, one rule
// key at a time through the indexed searches of the main table while few
// candidates need it, or all at once from one scan of each table when that is
// cheaper (without conditions, the rows of find's own candidate statements
// serve as that scan). Keys hold the values as SQL `=` compares them (NULL
// links nothing, 1 = 1.0, '1' != 1, b'1' != '1'), so a component is the one
// the walk meets.
//
// Only where that holds is this used: an exact host connection without row
// factory, text factory, adapters or converters that could change a value,
// plain names, matching staging and main declarations without collations.
// Everything else, and any sqlite3 error on the way, leaves the answer to the
// walk. The big structures live in PyMem, so tracemalloc sees them.
#include "norvane.hpp"
#include "driver_limits.hpp"
#include "set_guards.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <cctype>
#include <new>
#include <string>
#include <vector>

namespace norvane {
namespace {

// ------------------------------------------------------------- storage ----

template <typename T>
struct PyMemAllocator {
    using value_type = T;
    PyMemAllocator() noexcept = default;
    template <typename U>
    PyMemAllocator(const PyMemAllocator<U>&) noexcept {}  // NOLINT: rebinding
    T* allocate(size_t n) {
        void* p = n > std::numeric_limits<size_t>::max() / sizeof(T) ? nullptr : PyMem_Malloc(n * sizeof(T));
        if (p == nullptr) {
            throw std::bad_alloc();
        }
        return static_cast<T*>(p);
    }
    void deallocate(T* p, size_t) noexcept { PyMem_Free(p); }
    template <typename U>
    bool operator==(const PyMemAllocator<U>&) const noexcept {
        return true;
    }
};

template <typename T>
using Vec = std::vector<T, PyMemAllocator<T>>;
using Bytes = Vec<unsigned char>;

constexpr uint32_t kNone = std::numeric_limits<uint32_t>::max();

// ------------------------------------------------------------------ keys ---

// Value tags: numbers share one class (an integral float is written as the
// integer it equals), text and blobs each their own.
constexpr unsigned char kInteger = 1;
constexpr unsigned char kReal = 2;
constexpr unsigned char kText = 3;
constexpr unsigned char kBlob = 4;

void put_varint(Bytes& out, uint64_t v) {
    while (v >= 0x80) {
        out.push_back(static_cast<unsigned char>(v | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<unsigned char>(v));
}

uint64_t get_varint(const unsigned char*& p) {
    uint64_t v = 0;
    for (int shift = 0;; shift += 7) {
        const unsigned char b = *p++;
        v |= static_cast<uint64_t>(b & 0x7f) << shift;
        if (!(b & 0x80)) {
            return v;
        }
    }
}

void put_integer(Bytes& out, int64_t i) {
    out.push_back(kInteger);
    const uint64_t u = static_cast<uint64_t>(i);
    put_varint(out, (u << 1) ^ (i < 0 ? ~uint64_t{0} : 0));  // zigzag: small magnitudes stay short
}

void put_chunk(Bytes& out, unsigned char tag, const char* data, Py_ssize_t size) {
    out.push_back(tag);
    put_varint(out, static_cast<uint64_t>(size));
    out.insert(out.end(), data, data + size);
}

enum class Encoded { value, null, foreign };

// Appends a value as SQL `=` tells values apart. `foreign` for anything a
// stored row cannot hold here (no error is left set).
Encoded encode_value(PyObject* v, Bytes& out) {
    if (v == Py_None) {
        return Encoded::null;
    }
    if (PyLong_CheckExact(v)) {
        int overflow = 0;
        const long long i = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow || (i == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            return Encoded::foreign;
        }
        put_integer(out, i);
        return Encoded::value;
    }
    if (PyFloat_CheckExact(v)) {
        const double d = PyFloat_AS_DOUBLE(v);
        if (std::isnan(d)) {
            return Encoded::foreign;
        }
        // -2**63 <= d < 2**63 and integral: equal to exactly one integer.
        if (d >= -9223372036854775808.0 && d < 9223372036854775808.0 && d == std::floor(d)) {
            put_integer(out, static_cast<int64_t>(d));
            return Encoded::value;
        }
        out.push_back(kReal);
        unsigned char raw[sizeof d];
        std::memcpy(raw, &d, sizeof d);
        out.insert(out.end(), raw, raw + sizeof d);
        return Encoded::value;
    }
    if (PyUnicode_CheckExact(v)) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(v, &size);
        if (text == nullptr) {
            PyErr_Clear();
            return Encoded::foreign;
        }
        put_chunk(out, kText, text, size);
        return Encoded::value;
    }
    if (PyBytes_CheckExact(v)) {
        put_chunk(out, kBlob, PyBytes_AS_STRING(v), PyBytes_GET_SIZE(v));
        return Encoded::value;
    }
    return Encoded::foreign;
}

// The value back as the host object to bind for it.
Owned decode_value(const unsigned char*& p) {
    const unsigned char tag = *p++;
    switch (tag) {
        case kInteger: {
            const uint64_t z = get_varint(p);
            const uint64_t u = (z >> 1) ^ (~(z & 1) + 1);
            return steal(PyLong_FromLongLong(static_cast<long long>(u)));
        }
        case kReal: {
            double d = 0;
            std::memcpy(&d, p, sizeof d);
            p += sizeof d;
            return steal(PyFloat_FromDouble(d));
        }
        default: {
            const auto size = static_cast<Py_ssize_t>(get_varint(p));
            const char* data = reinterpret_cast<const char*>(p);
            p += size;
            return steal(tag == kText ? PyUnicode_DecodeUTF8(data, size, nullptr)
                                      : PyBytes_FromStringAndSize(data, size));
        }
    }
}

uint32_t hash_bytes(const unsigned char* p, size_t n) {
    uint64_t h = 1469598103934665603ull;
    for (size_t i = 0; i < n; ++i) {
        h = (h ^ p[i]) * 1099511628211ull;
    }
    h ^= h >> 29;
    h *= 0xbf58476d1ce4e5b9ull;
    return static_cast<uint32_t>(h ^ (h >> 32));
}

// The slots of an open-addressing table twice as large (64 at first), with
// entry i placed by hash_of(i); linear probing, kNone for an empty slot.
template <typename HashOf>
void grow_slots(Vec<uint32_t>& slots, uint32_t entries, HashOf hash_of) {
    Vec<uint32_t> grown(slots.empty() ? 64 : slots.size() * 2, kNone);
    const size_t mask = grown.size() - 1;
    for (uint32_t i = 0; i < entries; ++i) {
        size_t s = hash_of(i) & mask;
        while (grown[s] != kNone) {
            s = (s + 1) & mask;
        }
        grown[s] = i;
    }
    slots.swap(grown);
}

// A hash map from key bytes to one node, keeping its own copy of each key.
class KeyTable {
public:
    // The node stored for the key, or kNone after storing `node` for it.
    uint32_t find_or_add(const unsigned char* key, size_t size, uint32_t node) {
        const uint32_t h = hash_bytes(key, size);
        if ((entries_.size() + 1) * 4 > slots_.size() * 3) {
            grow();
        }
        const size_t mask = slots_.size() - 1;
        for (size_t s = h & mask;; s = (s + 1) & mask) {
            const uint32_t e = slots_[s];
            if (e == kNone) {
                slots_[s] = static_cast<uint32_t>(entries_.size());
                entries_.push_back({static_cast<uint32_t>(arena_.size()), h, node});
                put_varint(arena_, size);
                arena_.insert(arena_.end(), key, key + size);
                return kNone;
            }
            if (entries_[e].hash == h && same(entries_[e], key, size)) {
                return entries_[e].node;
            }
        }
    }

    uint32_t find(const unsigned char* key, size_t size) const {
        if (slots_.empty()) {
            return kNone;
        }
        const uint32_t h = hash_bytes(key, size);
        const size_t mask = slots_.size() - 1;
        for (size_t s = h & mask;; s = (s + 1) & mask) {
            const uint32_t e = slots_[s];
            if (e == kNone) {
                return kNone;
            }
            if (entries_[e].hash == h && same(entries_[e], key, size)) {
                return entries_[e].node;
            }
        }
    }

private:
    struct Entry {
        uint32_t offset;
        uint32_t hash;
        uint32_t node;
    };

    bool same(const Entry& e, const unsigned char* key, size_t size) const {
        const unsigned char* p = arena_.data() + e.offset;
        return get_varint(p) == size && std::memcmp(p, key, size) == 0;
    }

    void grow() {
        grow_slots(slots_, static_cast<uint32_t>(entries_.size()),
                   [this](uint32_t e) { return static_cast<size_t>(entries_[e].hash); });
    }

    Vec<uint32_t> slots_;
    Vec<Entry> entries_;
    Bytes arena_;
};

// ----------------------------------------------------------- row values ---

// A rule as this unit reads it: positions into the key columns it selects.
struct GroupRule {
    std::vector<size_t> picks;  // index into the key-column list, per rule column
    Owned staged_lookup;        // SELECT <key cols> FROM temp_<t> WHERE <rule search>
    Owned main_lookup;          // the same on <t>
};

// The keys of one row, all rules: per rule a length (0: holds a NULL) and the
// bytes. `foreign` when a value is none of the stored types.
bool encode_keys(const std::vector<GroupRule>& rules, PyObject* row, Py_ssize_t first,
                 const std::vector<Py_ssize_t>& columns, Bytes& out) {
    Bytes one;
    for (const GroupRule& rule : rules) {
        one.clear();
        bool null = false;
        for (size_t pick : rule.picks) {
            const Py_ssize_t at = first + columns[pick];
            PyObject* value = PyTuple_GET_ITEM(row, at);
            const Encoded e = encode_value(value, one);
            if (e == Encoded::foreign) {
                return false;
            }
            null = null || e == Encoded::null;
        }
        if (null) {
            put_varint(out, 0);
        } else {
            put_varint(out, one.size());
            out.insert(out.end(), one.begin(), one.end());
        }
    }
    return true;
}

// Steps through the per-rule keys written by encode_keys.
struct KeyCursor {
    const unsigned char* p;
    // The next rule's key; size 0 when it holds a NULL.
    void next(const unsigned char*& key, size_t& size) {
        size = get_varint(p);
        key = p;
        p += size;
    }
};

// ------------------------------------------------------------ statements ---

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

// Words SQLite reads as something other than a column name.
bool is_keyword(const char* s) {
    static const char* const words[] = {
        "ABORT", "ACTION", "ADD", "AFTER", "ALL", "ALTER", "ALWAYS", "ANALYZE", "AND", "AS", "ASC",
        "ATTACH", "AUTOINCREMENT", "BEFORE", "BEGIN", "BETWEEN", "BY", "CASCADE", "CASE", "CAST",
        "CHECK", "COLLATE", "COLUMN", "COMMIT", "CONFLICT", "CONSTRAINT", "CREATE", "CROSS",
        "CURRENT", "CURRENT_DATE", "CURRENT_TIME", "CURRENT_TIMESTAMP", "DATABASE", "DEFAULT",
        "DEFERRABLE", "DEFERRED", "DELETE", "DESC", "DETACH", "DISTINCT", "DO", "DROP", "EACH",
        "ELSE", "END", "ESCAPE", "EXCEPT", "EXCLUDE", "EXCLUSIVE", "EXISTS", "EXPLAIN", "FAIL",
        "FALSE", "FILTER", "FIRST", "FOLLOWING", "FOR", "FOREIGN", "FROM", "FULL", "GENERATED", "GLOB",
        "GROUP", "GROUPS", "HAVING", "IF", "IGNORE", "IMMEDIATE", "IN", "INDEX", "INDEXED",
        "INITIALLY", "INNER", "INSERT", "INSTEAD", "INTERSECT", "INTO", "IS", "ISNULL", "JOIN", "KEY",
        "LAST", "LEFT", "LIKE", "LIMIT", "MATCH", "MATERIALIZED", "NATURAL", "NO", "NOT", "NOTHING",
        "NOTNULL", "NULL", "NULLS", "OF", "OFFSET", "OID", "ON", "OR", "ORDER", "OTHERS", "OUTER",
        "OVER", "PARTITION", "PLAN", "PRAGMA", "PRECEDING", "PRIMARY", "QUERY", "RAISE", "RANGE",
        "RECURSIVE", "REFERENCES", "REGEXP", "REINDEX", "RELEASE", "RENAME", "REPLACE", "RESTRICT",
        "RETURNING", "RIGHT", "ROLLBACK", "ROW", "ROWID", "ROWS", "SAVEPOINT", "SELECT", "SET",
        "TABLE", "TEMP", "TEMPORARY", "THEN", "TIES", "TO", "TRANSACTION", "TRIGGER", "TRUE",
        "UNBOUNDED", "UNION", "UNIQUE", "UPDATE", "USING", "VACUUM", "VALUES", "VIEW", "VIRTUAL",
        "WHEN", "WHERE", "WINDOW", "WITH", "WITHOUT", "_ROWID_",
    };
    for (const char* w : words) {
        if (PyOS_stricmp(s, w) == 0) {
            return true;
        }
    }
    return false;
}

// A fetched row as the host returns it without a row factory: a tuple of at
// least n values.
bool is_row(PyObject* row, Py_ssize_t n) { return PyTuple_Check(row) && PyTuple_GET_SIZE(row) >= n; }

// The UTF-8 text of a str, or null (no error set) for anything else.
const char* utf8_of(PyObject* obj) {
    if (!PyUnicode_Check(obj)) {
        return nullptr;
    }
    const char* text = PyUnicode_AsUTF8(obj);
    if (text == nullptr) {
        PyErr_Clear();
    }
    return text;
}

std::string upper(const char* s) {
    std::string out(s);
    for (char& c : out) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return out;
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
            (start + n == text.size() || !(std::isalnum(static_cast<unsigned char>(text[start + n])) ||
                                           text[start + n] == '_'))) {
            plain = true;
        }
    }
    for (const char* word : {"UNION", "INTERSECT", "EXCEPT", "GROUP", "HAVING", "JOIN"}) {
        plain = plain && text.find(word) == std::string::npos;
    }
    return plain;
}

// Whether this SQLite compares integers with reals exactly (2**53 + 1 is not
// 2.0**53); asked once per process.
int compares_numbers_exactly(Cursor& cursor) {
    static int answer = -1;
    if (answer < 0) {
        Owned sql = steal(PyUnicode_FromString("SELECT 9007199254740993 = 9007199254740992.0"));
        Owned rows = sql ? cursor.query(sql.get()) : Owned();
        if (!rows) {
            return -1;
        }
        Owned row = PyList_GET_SIZE(rows.get()) == 1 ? item_at(PyList_GET_ITEM(rows.get(), 0), Py_ssize_t{0})
                                                       : Owned();
        answer = row && row.get() != Py_None && PyLong_Check(row.get()) && PyLong_AsLong(row.get()) == 0;
        PyErr_Clear();
    }
    return answer;
}

// ------------------------------------------------------------ components ---

// Nodes gathered lazily, key by key, with the keys each node still has to
// follow on a pending list per component.
class LazyComponents {
public:
    // The node for (source, rowid), created with its keys when new.
    uint32_t node(uint8_t source, int64_t rowid, const unsigned char* keys, size_t size) {
        if ((rowid_.size() + 1) * 2 > slots_.size()) {
            grow();
        }
        const size_t mask = slots_.size() - 1;
        size_t s = slot_of(source, rowid) & mask;
        for (;; s = (s + 1) & mask) {
            const uint32_t n = slots_[s];
            if (n == kNone) {
                break;
            }
            if (rowid_[n] == rowid && source_[n] == source) {
                return n;
            }
        }
        const auto n = static_cast<uint32_t>(rowid_.size());
        slots_[s] = n;
        rowid_.push_back(rowid);
        source_.push_back(source);
        parent_.push_back(n);
        size_.push_back(1);
        newest_.push_back(n);
        pending_next_.push_back(n);  // its own keys are yet to be followed
        pending_last_.push_back(n);
        keys_at_.push_back(static_cast<uint32_t>(keys_.size()));
        keys_.insert(keys_.end(), keys, keys + size);
        return n;
    }

    uint32_t root(uint32_t n) {
        while (parent_[n] != n) {
            parent_[n] = parent_[parent_[n]];
            n = parent_[n];
        }
        return n;
    }

    void join(uint32_t a, uint32_t b) {
        a = root(a);
        b = root(b);
        if (a == b) {
            return;
        }
        if (size_[a] > size_[b]) {
            std::swap(a, b);
        }
        parent_[a] = b;
        size_[b] += size_[a];
        if (newer(newest_[a], newest_[b])) {
            newest_[b] = newest_[a];
        }
        // Both pending lists are circular: swapping two successors splices them.
        const uint32_t la = pending_last_[a];
        const uint32_t lb = pending_last_[b];
        if (la != kNone) {
            if (lb != kNone) {
                std::swap(pending_next_[la], pending_next_[lb]);
            }
            pending_last_[b] = la;
        }
    }

    bool newer(uint32_t a, uint32_t b) const {
        return source_[a] > source_[b] || (source_[a] == source_[b] && rowid_[a] > rowid_[b]);
    }
    uint32_t newest(uint32_t n) { return newest_[root(n)]; }

    // A node of the component whose keys are yet to be followed, or kNone.
    uint32_t take_pending(uint32_t r) {
        const uint32_t last = pending_last_[r];
        if (last == kNone) {
            return kNone;
        }
        const uint32_t first = pending_next_[last];
        if (first == last) {
            pending_last_[r] = kNone;
        } else {
            pending_next_[last] = pending_next_[first];
        }
        return first;
    }
    void put_back(uint32_t r, uint32_t n) {
        const uint32_t last = pending_last_[r];
        if (last == kNone) {
            pending_next_[n] = n;
            pending_last_[r] = n;
        } else {
            pending_next_[n] = pending_next_[last];
            pending_next_[last] = n;
        }
    }

    KeyCursor keys(uint32_t n) const { return {keys_.data() + keys_at_[n]}; }

private:
    static size_t slot_of(uint8_t source, int64_t rowid) {
        uint64_t h = (static_cast<uint64_t>(rowid) << 1 | source) * 0x9e3779b97f4a7c15ull;
        return static_cast<size_t>(h ^ (h >> 31));
    }

    void grow() {
        grow_slots(slots_, static_cast<uint32_t>(rowid_.size()),
                   [this](uint32_t n) { return slot_of(source_[n], rowid_[n]); });
    }

    Vec<uint32_t> slots_;
    Vec<int64_t> rowid_;
    Vec<uint8_t> source_;
    Vec<uint32_t> parent_;
    Vec<uint32_t> size_;
    Vec<uint32_t> newest_;
    Vec<uint32_t> pending_next_;
    Vec<uint32_t> pending_last_;  // per component root
    Vec<uint32_t> keys_at_;
    Bytes keys_;
};

// Every row of both tables, from one scan of each: main rows first, then
// staged rows, each in rowid order, so a node's number is its age and a
// component's root is its newest row.
class ScannedComponents {
public:
    void reserve(size_t rows) {
        rowids_.reserve(rows);
        parent_.reserve(rows);
    }
    // Adds the next row (rowids ascending within a table); false when not.
    bool add(int64_t rowid) {
        const size_t n = rowids_.size();
        if (n > table_start_ && rowid <= rowids_.back()) {
            return false;
        }
        rowids_.push_back(rowid);
        parent_.push_back(static_cast<uint32_t>(n));
        return true;
    }
    void start_staged() { staged_from_ = table_start_ = rowids_.size(); }
    uint32_t last() const { return static_cast<uint32_t>(rowids_.size() - 1); }

    void join(uint32_t a, uint32_t b) {
        a = root(a);
        b = root(b);
        if (a != b) {
            parent_[std::min(a, b)] = std::max(a, b);
        }
    }
    uint32_t root(uint32_t n) {
        while (parent_[n] != n) {
            parent_[n] = parent_[parent_[n]];
            n = parent_[n];
        }
        return n;
    }
    // The node of (source, rowid), or kNone.
    uint32_t find(long source, int64_t rowid) const {
        const auto begin = rowids_.begin() + (source ? static_cast<std::ptrdiff_t>(staged_from_) : 0);
        const auto end = source ? rowids_.end() : rowids_.begin() + static_cast<std::ptrdiff_t>(staged_from_);
        const auto at = std::lower_bound(begin, end, rowid);
        return at != end && *at == rowid ? static_cast<uint32_t>(at - rowids_.begin()) : kNone;
    }

private:
    Vec<int64_t> rowids_;
    Vec<uint32_t> parent_;
    size_t staged_from_ = 0;
    size_t table_start_ = 0;
};

FindPlan g_plan = FindPlan::automatic;

}  // namespace

void set_find_plan(FindPlan plan) { g_plan = plan; }

// ------------------------------------------------------------ the groups ---

struct NewestGroups::State {
    enum class Mode { unknown, off, lazy, scanned };

    Cursor& cursor;
    PyObject* conn;
    PyObject* table;
    PyObject* cols;
    PyObject* uniques;
    PyObject* conditions;
    Mode mode = Mode::unknown;
    bool check_stored = true;
    Owned error_type;  // sqlite3.Error, or the dqlite driver's Error
    bool remote = false;  // a dqlite connection: every statement is a round trip
    std::vector<GroupRule> rules;
    std::vector<Py_ssize_t> key_columns;  // column numbers the statements select, after rowid
    Owned by_rowid[2];                    // by source: SELECT <key cols> ... WHERE rowid = ?
    Owned scan[2];                        // by source: every row, in rowid order
    Owned count_rows[2];                  // by source: SELECT count(*)
    double table_rows[2] = {0, 0};        // max(rowid) by source, an estimate of the size
    Py_ssize_t expected[2] = {-1, -1};    // candidates of each pass, when known
    Py_ssize_t answered[2] = {0, 0};
    bool every_row = false;      // no conditions: the candidates are all rows, in rowid order
    PyObject* main_sql = nullptr;     // find's main candidate statement and its parameters
    PyObject* main_params = nullptr;
    Owned staged_candidates;     // the rows of the passes, while they run
    Owned main_candidates;
    long main_lookups = 0;
    long staged_lookups = 0;
    bool staged_loaded = false;
    bool scan_due = false;
    LazyComponents lazy;
    std::vector<KeyTable> done;           // per rule: keys whose rows are all joined
    std::vector<KeyTable> staged_groups;  // per rule: key -> a staged node holding it
    ScannedComponents scanned;
    SignalPoll poll;
    Bytes buffer;     // the candidate's keys
    Bytes scan_keys;  // the keys of a row being scanned

    State(Cursor& cursor, PyObject* conn, PyObject* table, PyObject* cols, PyObject* uniques,
          PyObject* conditions)
        : cursor(cursor), conn(conn), table(table), cols(cols), uniques(uniques), conditions(conditions) {}

    // ------------------------------------------------------------ setup --

    // 1: usable, 0: the walk decides everything, -1: error.
    int set_up() {
        const int usable = guards_hold();
        if (usable <= 0) {
            return usable;
        }
        return settle_errors(read_tables());
    }

    // A sqlite3 error inside this machinery only switches it off.
    int settle_errors(int status) {
        if (status < 0 && error_type && PyErr_ExceptionMatches(error_type.get())) {
            PyErr_Clear();
            return 0;
        }
        return status;
    }

    int guards_hold() {
        const int dqlite = is_native_connection(conn) ? 0 : is_dqlite_connection(conn);
        if (dqlite < 0 || (dqlite == 0 && !is_native_connection(conn))) {
            return dqlite < 0 ? -1 : 0;
        }
        remote = dqlite > 0;
        Owned row_factory = steal(PyObject_GetAttr(conn, names().row_factory));
        Owned text_factory = row_factory ? steal(PyObject_GetAttr(conn, names().text_factory)) : Owned();
        if (!text_factory) {
            return -1;
        }
        error_type = remote ? steal(PyObject_GetAttrString(conn, "Error")) : share(host_sqlite3_error());
        Owned sqlite3 = share(host_sqlite3());
        if (!error_type) {
            return -1;
        }
        if (row_factory.get() != Py_None || text_factory.get() != reinterpret_cast<PyObject*>(&PyUnicode_Type)) {
            return 0;
        }
        const int unchanged = remote ? passes_values_unchanged(conn) : 1;
        const int adapted = remote ? (unchanged < 0 ? -1 : !unchanged) : adapts_stored_types(sqlite3.get());
        if (adapted != 0) {
            return adapted < 0 ? -1 : 0;
        }
        const int rules_ok = build_rules();
        if (rules_ok <= 0) {
            return rules_ok;
        }
        const int exact = settle_errors(compares_numbers_exactly(cursor));
        return exact;
    }

    // Whether an adapter could change a value the walk binds.
    static int adapts_stored_types(PyObject* sqlite3) {
        Owned adapters = steal(PyObject_GetAttr(sqlite3, names().adapters));
        if (!adapters || !PyDict_Check(adapters.get())) {
            return adapters ? 1 : -1;
        }
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        Py_ssize_t pos = 0;
        while (PyDict_Next(adapters.get(), &pos, &key, &value)) {
            if (!PyTuple_Check(key) || PyTuple_GET_SIZE(key) < 1) {
                return 1;
            }
            PyObject* type = PyTuple_GET_ITEM(key, 0);
            for (PyTypeObject* stored : {&PyLong_Type, &PyFloat_Type, &PyUnicode_Type, &PyBytes_Type,
                                         &PyByteArray_Type, Py_TYPE(Py_None)}) {
                if (type == reinterpret_cast<PyObject*>(stored)) {
                    return 1;
                }
            }
        }
        return 0;
    }

    // Rules with their columns checked, and the statements over them.
    int build_rules() {
        const Py_ssize_t ncols = PyList_GET_SIZE(cols);
        for (Py_ssize_t i = 0; i < ncols; ++i) {
            const char* name = utf8_of(PyList_GET_ITEM(cols, i));
            if (name == nullptr || PyOS_stricmp(name, "rowid") == 0 || PyOS_stricmp(name, "oid") == 0 ||
                PyOS_stricmp(name, "_rowid_") == 0) {
                return 0;
            }
        }
        const char* table_name = utf8_of(table);
        if (table_name == nullptr || !is_plain_identifier(table_name)) {
            return 0;
        }
        PyObject* key = nullptr;
        PyObject* positions = nullptr;
        Py_ssize_t pos = 0;
        std::vector<std::vector<Py_ssize_t>> columns_of;
        while (PyDict_Next(uniques, &pos, &key, &positions)) {
            std::vector<Py_ssize_t> columns;
            for (Py_ssize_t k = 0; k < PyList_GET_SIZE(positions); ++k) {
                const Py_ssize_t c = PyLong_AsSsize_t(PyList_GET_ITEM(positions, k));
                if (c == -1 && PyErr_Occurred()) {
                    PyErr_Clear();
                    return 0;
                }
                if (c < 0 || c >= ncols) {
                    return 0;
                }
                const char* name = utf8_of(PyList_GET_ITEM(cols, c));
                if (name == nullptr || !is_plain_identifier(name) || is_keyword(name)) {
                    return 0;
                }
                columns.push_back(c);
            }
            if (!columns.empty()) {
                columns_of.push_back(std::move(columns));
            }
        }
        for (const auto& columns : columns_of) {
            for (Py_ssize_t c : columns) {
                if (std::find(key_columns.begin(), key_columns.end(), c) == key_columns.end()) {
                    key_columns.push_back(c);
                }
            }
        }
        Owned select = steal(PyUnicode_FromString("rowid"));
        for (Py_ssize_t c : key_columns) {
            select = select ? join_text({select, ",", PyList_GET_ITEM(cols, c)}) : Owned();
        }
        Owned staged_from = select ? join_text({"SELECT ", select, " FROM temp_", table}) : Owned();
        Owned main_from = staged_from ? join_text({"SELECT ", select, " FROM ", table}) : Owned();
        if (!main_from) {
            return -1;
        }
        for (const auto& columns : columns_of) {
            GroupRule rule;
            std::vector<Owned> names;
            for (Py_ssize_t c : columns) {
                const auto at = std::find(key_columns.begin(), key_columns.end(), c);
                rule.picks.push_back(static_cast<size_t>(at - key_columns.begin()));
                names.push_back(share(PyList_GET_ITEM(cols, c)));
            }
            Owned where = column_search(names);
            rule.staged_lookup = where ? join_text({staged_from, " WHERE ", where}) : Owned();
            rule.main_lookup = rule.staged_lookup ? join_text({main_from, " WHERE ", where}) : Owned();
            if (!rule.main_lookup) {
                return -1;
            }
            rules.push_back(std::move(rule));
        }
        by_rowid[1] = join_text({staged_from, " WHERE rowid = ?"});
        by_rowid[0] = by_rowid[1] ? join_text({main_from, " WHERE rowid = ?"}) : Owned();
        scan[1] = by_rowid[0] ? join_text({staged_from, " ORDER BY rowid"}) : Owned();
        scan[0] = scan[1] ? join_text({main_from, " ORDER BY rowid"}) : Owned();
        count_rows[1] = scan[0] ? join_text({"SELECT count(*) FROM temp_", table}) : Owned();
        count_rows[0] = count_rows[1] ? join_text({"SELECT count(*) FROM ", table}) : Owned();
        const char* conditions_text = utf8_of(conditions);
        check_stored = conditions_text == nullptr || !selects_stored_rows(conditions_text);
        every_row = conditions_text != nullptr &&
                    std::string(conditions_text).find_first_not_of(" \t\r\n") == std::string::npos &&
                    main_params == nullptr;
        done.resize(rules.size());
        staged_groups.resize(rules.size());
        return count_rows[0] ? 1 : -1;
    }

    // Both tables: ordinary rowid tables without collations, declared alike,
    // no converter on a declared type; then their sizes and search plans.
    int read_tables() {
        Owned staged_name = join_text({"temp_", table});
        if (!staged_name) {
            return -1;
        }
        for (PyObject* name : {staged_name.get(), table}) {
            const int plain = is_plain_table(name);
            if (plain <= 0) {
                return plain;
            }
        }
        Owned staged_info = table_info(staged_name.get());
        Owned main_info = staged_info ? table_info(table) : Owned();
        if (!main_info) {
            return -1;
        }
        const int same = PyObject_RichCompareBool(staged_info.get(), main_info.get(), Py_EQ);
        if (same <= 0) {
            return same;
        }
        // The dqlite driver turns values of some declared types into other
        // objects by itself: there only undeclared columns are plain.
        const int converted = remote ? declares_types(main_info.get()) : converts_declared_type(main_info.get());
        if (converted != 0) {
            return converted < 0 ? -1 : 0;
        }
        for (long source : {0L, 1L}) {
            Owned sql = join_text({"SELECT max(rowid) FROM ", source ? "temp_" : "", table});
            Owned rows = sql ? cursor.query(sql.get()) : Owned();
            Owned top = rows && PyList_GET_SIZE(rows.get()) == 1 ? item_at(PyList_GET_ITEM(rows.get(), 0), Py_ssize_t{0})
                                                                  : Owned();
            if (!top) {
                return rows ? 0 : -1;
            }
            table_rows[source] = top.get() == Py_None ? 0 : PyFloat_AsDouble(top.get());
            if (table_rows[source] == -1 && PyErr_Occurred()) {
                return -1;
            }
        }
        mode = Mode::lazy;
        for (const GroupRule& rule : rules) {
            const int indexed = is_indexed(rule);
            if (indexed < 0) {
                return -1;
            }
            if (!indexed && g_plan == FindPlan::automatic) {
                scan_due = true;
            }
        }
        return 1;
    }

    // A name that resolves (temp schema first) to an ordinary rowid table
    // whose CREATE statement names no collation.
    int is_plain_table(PyObject* name) {
        for (const char* schema : {"sqlite_temp_master", "main.sqlite_master"}) {
            Owned sql = join_text({"SELECT type, sql FROM ", schema, " WHERE name = ? COLLATE NOCASE"});
            Owned params = sql ? steal(PyTuple_Pack(1, name)) : Owned();
            Owned rows = params ? cursor.query(sql.get(), params.get()) : Owned();
            if (!rows) {
                return -1;
            }
            if (PyList_GET_SIZE(rows.get()) == 0) {
                continue;
            }
            if (PyList_GET_SIZE(rows.get()) != 1) {
                return 0;
            }
            PyObject* row = PyList_GET_ITEM(rows.get(), 0);
            if (!is_row(row, 2)) {
                return 0;
            }
            const char* type = utf8_of(PyTuple_GET_ITEM(row, 0));
            const char* create = utf8_of(PyTuple_GET_ITEM(row, 1));
            if (type == nullptr || create == nullptr || std::strcmp(type, "table") != 0) {
                return 0;
            }
            const std::string text = upper(create);
            return text.find("COLLATE") == std::string::npos && text.find("WITHOUT") == std::string::npos &&
                   text.find("VIRTUAL") == std::string::npos;
        }
        return 0;
    }

    // (name, declared type) of every column, as a list.
    Owned table_info(PyObject* name) {
        Owned sql = join_text({"PRAGMA table_info(", name, ")"});
        Owned rows = sql ? cursor.query(sql.get()) : Owned();
        if (!rows) {
            return {};
        }
        Owned info = steal(PyList_New(PyList_GET_SIZE(rows.get())));
        for (Py_ssize_t i = 0; info && i < PyList_GET_SIZE(rows.get()); ++i) {
            PyObject* row = PyList_GET_ITEM(rows.get(), i);
            Owned name_type = is_row(row, 3) ? pair(PyTuple_GET_ITEM(row, 1), PyTuple_GET_ITEM(row, 2))
                                                        : Owned();
            if (!name_type) {
                return {};
            }
            PyList_SET_ITEM(info.get(), i, name_type.release());
        }
        return info;
    }

    // Whether any column declares a type.
    static int declares_types(PyObject* info) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(info); ++i) {
            PyObject* declared = PyTuple_GET_ITEM(PyList_GET_ITEM(info, i), 1);
            if (!PyUnicode_Check(declared) || PyUnicode_GET_LENGTH(declared) != 0) {
                return 1;
            }
        }
        return 0;
    }

    // Whether a converter is registered under the first word of a declared
    // type (the connection's detect_types cannot be read, so any counts).
    static int converts_declared_type(PyObject* info) {
        Owned converters = steal(PyObject_GetAttr(host_sqlite3(), names().converters));
        if (!converters) {
            return -1;
        }
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(info); ++i) {
            const char* declared = utf8_of(PyTuple_GET_ITEM(PyList_GET_ITEM(info, i), 1));
            if (declared == nullptr) {
                return 1;
            }
            std::string word = upper(declared);
            word = word.substr(0, word.find_first_of(" (\t\r\n"));
            if (word.empty()) {
                continue;
            }
            Owned key = steal(PyUnicode_FromString(word.c_str()));
            const int found = key ? PyMapping_HasKeyWithError(converters.get(), key.get()) : -1;
            if (found != 0) {
                return found;
            }
        }
        return 0;
    }

    // Whether SQLite searches the main table through an index for the rule.
    int is_indexed(const GroupRule& rule) {
        Owned sql = join_text({"EXPLAIN QUERY PLAN ", rule.main_lookup});
        Owned nulls = sql ? steal(PyList_New(static_cast<Py_ssize_t>(rule.picks.size()))) : Owned();
        for (Py_ssize_t i = 0; nulls && i < PyList_GET_SIZE(nulls.get()); ++i) {
            PyList_SET_ITEM(nulls.get(), i, Py_NewRef(Py_None));
        }
        Owned rows = nulls ? cursor.query(sql.get(), nulls.get()) : Owned();
        if (!rows) {
            return -1;
        }
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows.get()); ++i) {
            PyObject* row = PyList_GET_ITEM(rows.get(), i);
            const char* detail = is_row(row, 4) ? utf8_of(PyTuple_GET_ITEM(row, 3)) : nullptr;
            if (detail == nullptr || std::strncmp(detail, "SCAN", 4) == 0) {
                return 0;
            }
        }
        return 1;
    }

    // Whether to read both tables whole instead of following keys one by one.
    // A main lookup through the host module costs about what reading eight
    // rows of a scan does (measured on the find benchmarks).
    static constexpr double kLookupRows = 8;
    // Over the dqlite driver a lookup is a round trip, about what reading 50
    // rows of a scan costs there (measured on the cluster benchmark).
    static constexpr double kRemoteLookupRows = 50;
    void plan_scan() {
        if (scan_due || mode != Mode::lazy || g_plan == FindPlan::lookups || g_plan == FindPlan::grouped) {
            return;
        }
        if (g_plan == FindPlan::scan) {
            scan_due = true;
            return;
        }
        const auto nrules = static_cast<double>(rules.size());
        double candidates = 0;  // still to answer
        if (expected[0] >= 0) {
            candidates = static_cast<double>(expected[0] - answered[0]);
        } else if (expected[1] >= 0) {
            // the main pass likely selects the same share of its table
            const double share = table_rows[1] > 0 ? static_cast<double>(expected[1]) / table_rows[1] : 1;
            candidates = static_cast<double>(expected[1] - answered[1]) + std::min(share, 1.0) * table_rows[0];
        }
        const double lookups = static_cast<double>(main_lookups) + nrules * candidates;
        scan_due = lookups * (remote ? kRemoteLookupRows : kLookupRows) > table_rows[0] + table_rows[1];
    }

    // ------------------------------------------------------------ reads --

    // The rowid of a fetched row, when it is an exact integer.
    static bool rowid_of(PyObject* row, int64_t& rowid) {
        if (!is_row(row, 1) || !PyLong_CheckExact(PyTuple_GET_ITEM(row, 0))) {
            return false;
        }
        int overflow = 0;
        rowid = PyLong_AsLongLongAndOverflow(PyTuple_GET_ITEM(row, 0), &overflow);
        if (overflow || (rowid == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            return false;
        }
        return true;
    }

    // The keys of a row read by this unit's statements (rowid, key columns).
    bool read_keys(PyObject* row, Bytes& out) {
        out.clear();
        return PyTuple_Check(row) && PyTuple_GET_SIZE(row) == static_cast<Py_ssize_t>(key_columns.size()) + 1 &&
               encode_keys(rules, row, 1, identity_columns(), out);
    }
    const std::vector<Py_ssize_t>& identity_columns() {
        if (identity.size() != key_columns.size()) {
            identity.clear();
            for (size_t i = 0; i < key_columns.size(); ++i) {
                identity.push_back(static_cast<Py_ssize_t>(i));
            }
        }
        return identity;
    }
    std::vector<Py_ssize_t> identity;

    // The parameters of a rule's lookup: the values of one key.
    Owned key_values(const unsigned char* key, size_t size) {
        Owned values = steal(PyList_New(0));
        const unsigned char* p = key;
        while (values && p < key + size) {
            Owned value = decode_value(p);
            if (!value || PyList_Append(values.get(), value.get()) < 0) {
                return {};
            }
        }
        return values;
    }

    // ----------------------------------------------------------- answers --

    // 1 newest, 0 superseded, kWalk for the walk, -1 error.
    int answer(PyObject* row, long source) {
        if (mode == Mode::unknown) {
            const int usable = has_linking_rule() ? set_up() : 0;
            if (usable < 0) {
                return -1;
            }
            mode = usable ? mode : Mode::off;
        }
        if (mode == Mode::off) {
            return kWalk;
        }
        const int result = answer_on(row, source);
        if (result < 0 && (PyErr_Occurred() == nullptr || PyErr_ExceptionMatches(error_type.get()))) {
            // A sqlite3 error or a row it cannot key: the walk decides from
            // now on, and raises its own error where it should.
            PyErr_Clear();
            mode = Mode::off;
            return kWalk;
        }
        return result;
    }

    // Without a rule that has columns the walk runs no statement at all.
    bool has_linking_rule() const {
        PyObject* key = nullptr;
        PyObject* positions = nullptr;
        Py_ssize_t pos = 0;
        while (PyDict_Next(uniques, &pos, &key, &positions)) {
            if (PyList_GET_SIZE(positions) > 0) {
                return true;
            }
        }
        return false;
    }

    int answer_on(PyObject* row, long source) {
        ++answered[source];
        int64_t rowid = 0;
        Bytes& keys = buffer;
        keys.clear();
        if (!rowid_of(row, rowid) || PyTuple_GET_SIZE(row) != PyList_GET_SIZE(cols) + 1 ||
            !encode_keys(rules, row, 1, key_columns, keys)) {
            return kWalk;
        }
        if (check_stored) {
            const int stored = is_stored(row, source, keys);
            if (stored <= 0) {
                return stored < 0 ? -1 : kWalk;
            }
        }
        plan_scan();
        if (scan_due && mode == Mode::lazy && !scan_all()) {
            return -1;
        }
        return mode == Mode::scanned ? answer_scanned(source, rowid) : answer_lazy(source, rowid, keys);
    }

    // The candidate is the stored row of its rowid, with the same keys.
    int is_stored(PyObject* row, long source, const Bytes& keys) {
        Owned params = steal(PyTuple_Pack(1, PyTuple_GET_ITEM(row, 0)));
        Owned rows = params ? cursor.query(by_rowid[source].get(), params.get()) : Owned();
        if (!rows) {
            return -1;
        }
        if (PyList_GET_SIZE(rows.get()) != 1) {
            return 0;
        }
        Bytes stored;
        if (!read_keys(PyList_GET_ITEM(rows.get(), 0), stored)) {
            return 0;
        }
        return stored == keys;
    }

    int answer_scanned(long source, int64_t rowid) {
        const uint32_t n = scanned.find(source, rowid);
        if (n == kNone) {
            return kWalk;
        }
        return scanned.root(n) == n ? 1 : 0;
    }

    int answer_lazy(long source, int64_t rowid, const Bytes& keys) {
        const uint32_t candidate = lazy.node(static_cast<uint8_t>(source), rowid, keys.data(), keys.size());
        for (;;) {
            if (scan_due) {
                return scan_all() ? answer_scanned(source, rowid) : -1;
            }
            if (lazy.newer(lazy.newest(candidate), candidate)) {
                return 0;
            }
            const uint32_t u = lazy.take_pending(lazy.root(candidate));
            if (u == kNone) {
                return 1;
            }
            // A copy: reading rows may move the node storage that holds them.
            const KeyCursor stored = lazy.keys(u);
            KeyCursor end = stored;
            for (size_t r = 0; r < rules.size(); ++r) {
                const unsigned char* key = nullptr;
                size_t size = 0;
                end.next(key, size);
            }
            const Bytes own(stored.p, end.p);
            KeyCursor at{own.data()};
            for (size_t r = 0; r < rules.size(); ++r) {
                const unsigned char* key = nullptr;
                size_t size = 0;
                at.next(key, size);
                if (size == 0 || done[r].find(key, size) != kNone) {
                    continue;
                }
                // Staged rows first, as the walk searches: a newer one ends
                // the test before the main table is searched. The key counts
                // as done once both tables are joined; until then u, which may
                // hold keys still to follow, stays pending.
                if (!join_staged(u, r, key, size)) {
                    return -1;
                }
                if (lazy.newer(lazy.newest(candidate), candidate)) {
                    lazy.put_back(lazy.root(candidate), u);
                    return 0;
                }
                if (!join_main(u, r, key, size)) {
                    return -1;
                }
                done[r].find_or_add(key, size, u);
                if (lazy.newer(lazy.newest(candidate), candidate)) {
                    lazy.put_back(lazy.root(candidate), u);
                    return 0;
                }
            }
        }
    }

    // Joins every row that a lookup returns with node u.
    bool join_rows(uint32_t u, PyObject* rows, uint8_t source) {
        Bytes keys;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows); ++i) {
            PyObject* row = PyList_GET_ITEM(rows, i);
            int64_t rowid = 0;
            if (!poll.tick()) {
                return false;
            }
            if (!rowid_of(row, rowid) || !read_keys(row, keys)) {
                return foreign_row();
            }
            lazy.join(u, lazy.node(source, rowid, keys.data(), keys.size()));
        }
        return true;
    }

    // A row this unit cannot key: false without an error, and the walk takes over.
    static bool foreign_row() { return false; }

    bool join_staged(uint32_t u, size_t r, const unsigned char* key, size_t size) {
        const long before_groups = g_plan == FindPlan::grouped  ? 0
                                   : g_plan == FindPlan::lookups ? std::numeric_limits<long>::max()
                                   : remote                      ? kRemoteStagedLookups
                                                                 : kStagedLookups;
        if (!staged_loaded && ++staged_lookups > before_groups && !load_staged()) {
            return false;
        }
        if (staged_loaded) {
            const uint32_t holder = staged_groups[r].find(key, size);
            if (holder != kNone) {
                lazy.join(u, holder);
            }
            return true;
        }
        Owned values = key_values(key, size);
        Owned rows = values ? cursor.query(rules[r].staged_lookup.get(), values.get()) : Owned();
        return rows && join_rows(u, rows.get(), 1);
    }

    bool join_main(uint32_t u, size_t r, const unsigned char* key, size_t size) {
        Owned values = key_values(key, size);
        Owned rows = values ? cursor.query(rules[r].main_lookup.get(), values.get()) : Owned();
        if (!rows) {
            return false;
        }
        ++main_lookups;
        plan_scan();
        return join_rows(u, rows.get(), 0);
    }

    // After a few scans of the staging table for one key each, it is read
    // once into per-rule groups of the rows sharing a key.
    static constexpr long kStagedLookups = 64;
    static constexpr long kRemoteStagedLookups = 4;  // each a round trip
    bool load_staged() {
        if (!cursor.execute(scan[1].get())) {
            return false;
        }
        Bytes keys;
        while (Owned row = cursor.next_row()) {
            int64_t rowid = 0;
            if (!poll.tick()) {
                return false;
            }
            if (!rowid_of(row.get(), rowid) || !read_keys(row.get(), keys)) {
                return foreign_row();
            }
            const uint32_t n = lazy.node(1, rowid, keys.data(), keys.size());
            KeyCursor at{keys.data()};
            for (size_t r = 0; r < rules.size(); ++r) {
                const unsigned char* key = nullptr;
                size_t size = 0;
                at.next(key, size);
                if (size == 0) {
                    continue;
                }
                const uint32_t holder = staged_groups[r].find_or_add(key, size, n);
                if (holder != kNone) {
                    lazy.join(n, holder);
                }
            }
        }
        if (PyErr_Occurred()) {
            return false;
        }
        staged_loaded = true;
        return true;
    }

    // Reads both tables whole and joins every pair of rows sharing a key.
    bool scan_all() {
        lazy = LazyComponents();
        done.clear();
        staged_groups.clear();
        // Without conditions find's own candidate statements read every row,
        // in rowid order: their rows serve instead of a scan of each table
        // (the main pass then takes the main rows fetched here).
        Owned rows[2];
        if (every_row) {
            rows[1] = std::move(staged_candidates);
            rows[0] = main_candidates ? share(main_candidates.get())
                      : main_sql      ? cursor.query(main_sql, main_params)
                                      : Owned();
            if (main_sql && !rows[0]) {
                return false;
            }
            main_candidates = share(rows[0].get());
        }
        // Exactly as much room as there are rows: no spare capacity from growth.
        size_t total = 0;
        for (long source : {0L, 1L}) {
            const Py_ssize_t n = rows[source] ? PyList_GET_SIZE(rows[source].get()) : count(source);
            if (n < 0) {
                return false;
            }
            total += static_cast<size_t>(n);
        }
        scanned.reserve(total);
        std::vector<KeyTable> holders(rules.size());
        for (long source : {0L, 1L}) {
            if (source) {
                scanned.start_staged();
            }
            if (rows[source]) {
                for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows[source].get()); ++i) {
                    if (!scan_row(PyList_GET_ITEM(rows[source].get(), i), key_columns, holders)) {
                        return false;
                    }
                }
                continue;
            }
            if (!cursor.execute(scan[source].get())) {
                return false;
            }
            while (Owned row = cursor.next_row()) {
                if (!scan_row(row.get(), identity_columns(), holders)) {
                    return false;
                }
            }
            if (PyErr_Occurred()) {
                return false;
            }
        }
        mode = Mode::scanned;
        scan_due = false;
        return true;
    }

    // The number of rows of a table, or -1 on error.
    Py_ssize_t count(long source) {
        Owned rows = cursor.query(count_rows[source].get());
        Owned value = rows && PyList_GET_SIZE(rows.get()) == 1 ? item_at(PyList_GET_ITEM(rows.get(), 0), Py_ssize_t{0})
                                                               : Owned();
        return value ? PyLong_AsSsize_t(value.get()) : -1;
    }

    // Adds one row of a scan (rowid first, then `columns` hold the key
    // columns) and joins it with the earlier holders of its keys.
    bool scan_row(PyObject* row, const std::vector<Py_ssize_t>& columns, std::vector<KeyTable>& holders) {
        int64_t rowid = 0;
        if (!poll.tick()) {
            return false;
        }
        Bytes& keys = scan_keys;
        keys.clear();
        if (!rowid_of(row, rowid) || !encode_keys(rules, row, 1, columns, keys) || !scanned.add(rowid)) {
            return foreign_row();
        }
        const uint32_t n = scanned.last();
        KeyCursor at{keys.data()};
        for (size_t r = 0; r < rules.size(); ++r) {
            const unsigned char* key = nullptr;
            size_t size = 0;
            at.next(key, size);
            const uint32_t holder = size ? holders[r].find_or_add(key, size, n) : kNone;
            if (holder != kNone) {
                scanned.join(n, holder);
            }
        }
        return true;
    }
};

NewestGroups::NewestGroups(Cursor& cursor, PyObject* conn, PyObject* table, PyObject* cols,
                           PyObject* uniques, PyObject* conditions)
    : state_(new State(cursor, conn, table, cols, uniques, conditions)) {}

NewestGroups::~NewestGroups() { delete state_; }

void NewestGroups::reuse(PyObject* main_sql, PyObject* params) {
    state_->main_sql = main_sql;
    state_->main_params = params;
}

void NewestGroups::expect(long source, PyObject* candidates) {
    State& s = *state_;
    s.expected[source ? 1 : 0] = PyList_GET_SIZE(candidates);
    // Rows of the pass, for a scan that may come while it runs; the main
    // pass's own reading ends any use of rows fetched before.
    (source ? s.staged_candidates : s.main_candidates) = share(candidates);
    if (!source) {
        s.staged_candidates.reset();
    }
}

Owned NewestGroups::take_candidates(long source) {
    return source ? Owned() : std::move(state_->main_candidates);
}

int NewestGroups::answer(PyObject* row, long source) {
    try {
        return state_->answer(row, source);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
}

}  // namespace norvane
