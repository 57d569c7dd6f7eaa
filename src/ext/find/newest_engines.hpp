// The two ways find's newest groups answer a candidate: from components
// gathered key by key through the rules' lookups (few candidates), or from
// one read of both tables whole (many). Both run the plan's statements on
// find's own cursor.
#pragma once

#include "components.hpp"
#include "keys.hpp"
#include "newest_plan.hpp"
#include "refs.hpp"
#include "statement.hpp"

#include <vector>

namespace norvane {

// What an engine says of a candidate.
enum class Answer {
    newest,
    superseded,
    unknown,  // not a row this engine read: the walk decides
    scan,     // both tables are to be read whole first
    failed,   // an error is set, or none for a row it cannot key
};

// Components grown from the candidate outwards, one rule key at a time:
// staged rows first (by lookups, then from the staging table read into
// groups once lookups add up), then the main table's indexed searches.
class LazyEngine {
public:
    LazyEngine(Cursor& cursor, const NewestPlan& plan, Progress& progress, SignalPoll& poll)
        : cursor_(cursor),
          plan_(plan),
          progress_(progress),
          poll_(poll),
          done_(plan.rules().size()),
          staged_groups_(plan.rules().size()) {}

    // The candidate (source, rowid) with its keys; `scan` as soon as the
    // progress says both tables are to be read whole.
    Answer answer(long source, int64_t rowid, const Bytes& keys);

private:
    bool superseded(uint32_t candidate) { return lazy_.newer(lazy_.newest(candidate), candidate); }
    int follow_keys(uint32_t candidate, uint32_t u);
    int follow_key(uint32_t candidate, uint32_t u, size_t r, const unsigned char* key, size_t size);
    bool join_rows(uint32_t u, PyObject* rows, uint8_t source);
    bool join_staged(uint32_t u, size_t r, const unsigned char* key, size_t size);
    bool join_main(uint32_t u, size_t r, const unsigned char* key, size_t size);
    bool load_staged();

    Cursor& cursor_;
    const NewestPlan& plan_;
    Progress& progress_;
    SignalPoll& poll_;
    LazyComponents lazy_;
    std::vector<KeyTable> done_;           // per rule: keys whose rows are all joined
    std::vector<KeyTable> staged_groups_;  // per rule: key -> a staged node holding it
    long staged_lookups_ = 0;
    bool staged_loaded_ = false;
};

// Components of every row of both tables, joined through each rule's keys.
class ScanEngine {
public:
    ScanEngine(const NewestPlan& plan, SignalPoll& poll) : plan_(plan), poll_(poll) {}

    // Reads both tables (by source): `rows[source]`, when given, are find's
    // own candidate rows of that table, all of them in rowid order; else the
    // plan's scan reads it. False on error, or without one for a row it
    // cannot key.
    bool read(Cursor& cursor, const Owned (&rows)[2]);
    Answer answer(long source, int64_t rowid);

private:
    Py_ssize_t count(Cursor& cursor, long source);
    bool read_both(Cursor& cursor, std::vector<KeyTable>& holders);
    bool add_row(PyObject* row, const std::vector<Py_ssize_t>& columns, std::vector<KeyTable>& holders);

    const NewestPlan& plan_;
    SignalPoll& poll_;
    ScannedComponents scanned_;
    Bytes keys_;  // the keys of the row being added
};

}  // namespace norvane
