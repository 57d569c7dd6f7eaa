// A merge's counts recorded for its caller, and the calls into the caller's
// progress callable.
#include "merge_report.hpp"

namespace norvane {

void ReportClaim::record(const MergeCounts& counts) {
    if (report_ != nullptr) {
        report_->counts_ = counts;
        report_->recorded_ = true;
    }
}

bool ReportClaim::report(Py_ssize_t done, Py_ssize_t total) {
    if (report_ == nullptr || report_->progress_ == nullptr) {
        return true;
    }
    Owned done_obj = steal(PyLong_FromSsize_t(done));
    Owned total_obj = total < 0 ? share(Py_None) : steal(PyLong_FromSsize_t(total));
    if (!done_obj || !total_obj) {
        return false;
    }
    PyObject* args[] = {done_obj.get(), total_obj.get()};
    Owned result = steal(PyObject_Vectorcall(report_->progress_, args, 2, nullptr));
    return bool(result);
}

}  // namespace norvane
