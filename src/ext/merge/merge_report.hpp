// What a merge did and how far it has got, for a caller that asks: the counts
// of one merge, and a progress(done, total) callable reported to from the
// loops that already poll for signals.
#pragma once

#include "refs.hpp"

namespace norvane {

// One merge's counts, filled by whichever merge path runs.
struct MergeCounts {
    Py_ssize_t staged = 0;      // staged rows read
    Py_ssize_t inserted = 0;    // staged rows inserted into the main table
    Py_ssize_t replaced = 0;    // main rows removed
    Py_ssize_t superseded = 0;  // staged rows dropped for a newer staged row
};

// A request for a merge's counts and progress, made by a private entry for
// the duration of one call and passed to the merge it runs. Calls nested
// inside that merge (a replaced module function, the progress callable
// itself) are passed none.
class MergeReport {
public:
    // `progress`: a callable, or None for none (borrowed; the caller keeps it).
    explicit MergeReport(PyObject* progress) : progress_(progress == Py_None ? nullptr : progress) {}
    MergeReport(const MergeReport&) = delete;
    MergeReport& operator=(const MergeReport&) = delete;

    const MergeCounts& counts() const noexcept { return counts_; }
    // Whether a merge recorded its counts here.
    bool recorded() const noexcept { return recorded_; }

private:
    friend class ReportClaim;
    PyObject* progress_;
    MergeCounts counts_;
    bool recorded_ = false;
};

// A merge's hold on the report it was passed (null when nobody asked).
class ReportClaim {
public:
    explicit ReportClaim(MergeReport* report) : report_(report) {}
    ReportClaim(const ReportClaim&) = delete;
    ReportClaim& operator=(const ReportClaim&) = delete;

    void record(const MergeCounts& counts);
    // progress(done, total), total None when negative; false with the
    // callable's exception set. Without a callable it does nothing.
    bool report(Py_ssize_t done, Py_ssize_t total);

private:
    MergeReport* report_;
};

// A long loop's per-row poll: every few thousand rows (never more often than
// once per 1,000) the host's signal handlers run and then the claimed
// progress callable hears (rows so far, total). False with the exception set.
class ProgressPoll {
public:
    ProgressPoll(ReportClaim& claim, Py_ssize_t total) : claim_(claim), total_(total) {}
    bool tick() { return ++done_ % kEvery != 0 || (PyErr_CheckSignals() == 0 && claim_.report(done_, total_)); }

private:
    static constexpr Py_ssize_t kEvery = 4096;
    ReportClaim& claim_;
    Py_ssize_t total_;
    Py_ssize_t done_ = 0;
};

}  // namespace norvane
