// Rule keys: the values of a row's rule columns written as bytes that are
// equal exactly when SQL `=` finds the values equal (NULL links nothing,
// 1 = 1.0, '1' != 1, b'1' != '1'), and hash tables over such keys. The big
// structures live in PyMem, so tracemalloc sees them.
#pragma once

#include "refs.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <vector>

namespace norvane {

// ------------------------------------------------------------- storage ----

// std::allocator over PyMem: memory the interpreter accounts for.
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

// No node, no entry, an empty slot.
inline constexpr uint32_t kNone = std::numeric_limits<uint32_t>::max();

// ------------------------------------------------------------- varints ----

// Seven bits a byte, low first: lengths and small integers stay one byte.
inline void put_varint(Bytes& out, uint64_t v) {
    while (v >= 0x80) {
        out.push_back(static_cast<unsigned char>(v | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<unsigned char>(v));
}

inline uint64_t get_varint(const unsigned char*& p) {
    uint64_t v = 0;
    for (int shift = 0;; shift += 7) {
        const unsigned char b = *p++;
        v |= static_cast<uint64_t>(b & 0x7f) << shift;
        if (!(b & 0x80)) {
            return v;
        }
    }
}

// --------------------------------------------------------------- values ---

enum class Encoded { value, null, foreign };

// Appends a value as SQL `=` tells values apart. `foreign` for anything a
// stored row cannot hold here (no error is left set).
Encoded encode_value(PyObject* v, Bytes& out);

// The value back as the host object to bind for it; advances `p` past it.
Owned decode_value(const unsigned char*& p);

// ---------------------------------------------------------- key tables ---

inline uint32_t hash_bytes(const unsigned char* p, size_t n) {
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
// Defined here so the per-row probes inline into their loops.
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

    // The node stored for the key, or kNone.
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

// ----------------------------------------------------------- row keys ----

// A uniqueness rule as the key readers see it: positions into the key
// columns it selects, and its lookups on either table.
struct GroupRule {
    std::vector<size_t> picks;  // index into the key-column list, per rule column
    Owned staged_lookup;        // SELECT <key cols> FROM temp_<t> WHERE <rule search>
    Owned main_lookup;          // the same on <t>
};

// The keys of one row, all rules: per rule a length (0: holds a NULL) and the
// bytes. Rule column `pick` is read at `first + columns[pick]` of the tuple
// `row`. False when a value is none of the stored types.
bool encode_keys(const std::vector<GroupRule>& rules, PyObject* row, Py_ssize_t first,
                 const std::vector<Py_ssize_t>& columns, Bytes& out);

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

// Calls visit(r, key, size) for the key of each of `rules` rules in turn, as
// encode_keys wrote them from `keys`, while it returns true. Returns the end
// of the keys when every rule was visited, null when visit stopped.
template <typename Visit>
const unsigned char* each_key(const unsigned char* keys, size_t rules, Visit visit) {
    KeyCursor at{keys};
    for (size_t r = 0; r < rules; ++r) {
        const unsigned char* key = nullptr;
        size_t size = 0;
        at.next(key, size);
        if (!visit(r, key, size)) {
            return nullptr;
        }
    }
    return at.p;
}

// The values of one rule's key, as a list: the parameters of its lookups.
Owned key_values(const unsigned char* key, size_t size);

// Appends the values of one rule's key as a JSON array whose elements SQLite
// reads back (json_each, ->>) as the same values of the same types: false,
// with `out` unchanged, for a value JSON text cannot carry that exactly (a
// blob, a real that is not a whole number, text holding a NUL, the one
// integer JSON readers may take for a real).
bool key_as_json(const unsigned char* key, size_t size, std::string& out);

}  // namespace norvane
