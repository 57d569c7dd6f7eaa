// Union-find over the rows of both tables (see components.hpp).
#include "components.hpp"

#include <algorithm>
#include <utility>

namespace norvane {

// --------------------------------------------------------- lazily found ---

uint32_t LazyComponents::node(uint8_t source, int64_t rowid, const unsigned char* keys, size_t size) {
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

void LazyComponents::join(uint32_t a, uint32_t b) {
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

uint32_t LazyComponents::take_pending(uint32_t r) {
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

void LazyComponents::put_back(uint32_t r, uint32_t n) {
    const uint32_t last = pending_last_[r];
    if (last == kNone) {
        pending_next_[n] = n;
        pending_last_[r] = n;
    } else {
        pending_next_[n] = pending_next_[last];
        pending_next_[last] = n;
    }
}

void LazyComponents::grow() {
    grow_slots(slots_, static_cast<uint32_t>(rowid_.size()),
               [this](uint32_t n) { return slot_of(source_[n], rowid_[n]); });
}

// ------------------------------------------------------------- scanned ---

uint32_t ScannedComponents::find(long source, int64_t rowid) const {
    const auto begin = rowids_.begin() + (source ? static_cast<std::ptrdiff_t>(staged_from_) : 0);
    const auto end = source ? rowids_.end() : rowids_.begin() + static_cast<std::ptrdiff_t>(staged_from_);
    const auto at = std::lower_bound(begin, end, rowid);
    return at != end && *at == rowid ? static_cast<uint32_t>(at - rowids_.begin()) : kNone;
}

}  // namespace norvane
