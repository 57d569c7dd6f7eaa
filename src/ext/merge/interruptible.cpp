// A progress handler that turns Ctrl-C into KeyboardInterrupt within a long
// statement.
#include "interruptible.hpp"

#include "names.hpp"

namespace norvane {
namespace {

// SQLite virtual-machine steps between two calls: a few hundred microseconds
// of work, so a signal acts well within a tenth of a second while the calls
// cost nothing measurable.
constexpr int kSteps = 20000;

// Installs `handler` (None removes it) every kSteps steps, through an
// interned method name: a fresh one per call would pile up in the
// interpreter's lookup caches.
Owned set_handler(PyObject* conn, PyObject* handler) {
    Owned steps = steal(PyLong_FromLong(kSteps));
    return steps ? steal(PyObject_CallMethodObjArgs(conn, names().set_progress_handler, handler, steps.get(), nullptr))
                 : Owned();
}

constexpr const char* kCapsuleName = "norvane.interruptible";

// What a signal handler raised, kept by the handler's capsule: the connection
// may hold the handler longer than the statements that installed it.
Owned* raised_slot(PyObject* capsule) { return static_cast<Owned*>(PyCapsule_GetPointer(capsule, kCapsuleName)); }

void free_slot(PyObject* capsule) { delete raised_slot(capsule); }

PyObject* on_progress(PyObject* self, PyObject*) {
    Owned* raised = raised_slot(self);
    if (raised == nullptr) {
        return nullptr;
    }
    if (PyErr_CheckSignals() < 0) {
        *raised = steal(PyErr_GetRaisedException());
        Py_RETURN_TRUE;
    }
    Py_RETURN_FALSE;
}

PyMethodDef on_progress_def = {"merge_progress", on_progress, METH_NOARGS, nullptr};

}  // namespace

Interruptible::~Interruptible() {
    if (!handler_) {
        return;
    }
    PendingError pending;
    Owned none = set_handler(conn_, Py_None);
    if (!none) {
        PyErr_Clear();
    }
}

bool Interruptible::install() {
    auto* slot = new Owned();
    Owned capsule = steal(PyCapsule_New(slot, kCapsuleName, free_slot));
    if (!capsule) {
        delete slot;
        return false;
    }
    Owned handler = steal(PyCFunction_New(&on_progress_def, capsule.get()));
    Owned done = handler ? set_handler(conn_, handler.get()) : Owned();
    if (!done) {
        return false;
    }
    handler_ = std::move(handler);
    capsule_ = std::move(capsule);
    return true;
}

bool Interruptible::settle() {
    Owned* raised = capsule_ ? raised_slot(capsule_.get()) : nullptr;
    if (raised == nullptr || !*raised) {
        return true;
    }
    PyErr_SetRaisedException(raised->release());
    return false;
}

}  // namespace norvane
