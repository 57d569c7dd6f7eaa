// Union-find over the rows of a table and its staging twin, for find's
// newest test: a row is superseded exactly when its component (the rows
// linked through chains of equal rule keys, in both tables) holds a newer
// row. Pure data structures: they run no statements and call no Python code
// beyond PyMem.
#pragma once

#include "keys.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace norvane {

// Nodes gathered lazily, key by key, with the keys each node still has to
// follow on a pending list per component. A node is (source, rowid), source 1
// for the staging table, which is newer than any main row.
class LazyComponents {
public:
    // The node for (source, rowid), created with its keys when new.
    uint32_t node(uint8_t source, int64_t rowid, const unsigned char* keys, size_t size);
    // How many nodes there are: a new node takes this number.
    uint32_t count() const { return static_cast<uint32_t>(rowid_.size()); }

    uint32_t root(uint32_t n) {
        while (parent_[n] != n) {
            parent_[n] = parent_[parent_[n]];
            n = parent_[n];
        }
        return n;
    }
    void join(uint32_t a, uint32_t b);

    // Whether node a is a newer row than node b.
    bool newer(uint32_t a, uint32_t b) const {
        return source_[a] > source_[b] || (source_[a] == source_[b] && rowid_[a] > rowid_[b]);
    }
    // The newest node of n's component.
    uint32_t newest(uint32_t n) { return newest_[root(n)]; }

    // A node of the component (by root) whose keys are yet to be followed,
    // or kNone; and putting one back.
    uint32_t take_pending(uint32_t r);
    void put_back(uint32_t r, uint32_t n);

    // The keys node n was created with; valid until the next new node.
    KeyCursor keys(uint32_t n) const { return {keys_.data() + keys_at_[n]}; }

private:
    static size_t slot_of(uint8_t source, int64_t rowid) {
        uint64_t h = (static_cast<uint64_t>(rowid) << 1 | source) * 0x9e3779b97f4a7c15ull;
        return static_cast<size_t>(h ^ (h >> 31));
    }
    void grow();

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
    // The rows added from now on are the staging table's.
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
    uint32_t find(long source, int64_t rowid) const;

private:
    Vec<int64_t> rowids_;
    Vec<uint32_t> parent_;
    size_t staged_from_ = 0;
    size_t table_start_ = 0;
};

}  // namespace norvane
