// Typed reference holders for PyObject pointers.
//
// `Owned` holds a strong reference and releases it when it goes out of scope;
// `Borrowed` documents a reference someone else keeps alive. Every C-API result
// that returns a new reference goes straight into an `Owned`, so a forgotten
// decref or a double decref cannot be written by accident.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <initializer_list>
#include <utility>

namespace norvane {

class Borrowed {
public:
    constexpr Borrowed() noexcept = default;
    constexpr Borrowed(PyObject* p) noexcept : p_(p) {}  // NOLINT: implicit by design

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

class Owned {
public:
    constexpr Owned() noexcept = default;
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    Owned(Owned&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Owned& operator=(Owned&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Owned() { Py_XDECREF(p_); }

    // Takes over a new reference (a C-API result); null stays null.
    static Owned steal(PyObject* p) noexcept { return Owned(p); }
    // Adds a reference of our own to an object someone else keeps alive.
    static Owned share(Borrowed b) noexcept {
        Py_XINCREF(b.get());
        return Owned(b.get());
    }

    PyObject* get() const noexcept { return p_; }
    Borrowed borrow() const noexcept { return Borrowed(p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    operator Borrowed() const noexcept { return Borrowed(p_); }  // NOLINT

    // Hands the reference over to a function that steals it.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    // A new reference for returning to the interpreter; the holder keeps its own.
    [[nodiscard]] PyObject* new_ref() const noexcept {
        Py_XINCREF(p_);
        return p_;
    }
    void reset() noexcept { Py_CLEAR(p_); }

private:
    explicit Owned(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

inline Owned steal(PyObject* p) noexcept { return Owned::steal(p); }
inline Owned share(Borrowed b) noexcept { return Owned::share(b); }

// A strong reference kept for the life of the process. The module cannot be
// unloaded, and releasing a reference from a static destructor would run after
// the interpreter has finalised, so these are deliberately never released.
class Retained {
public:
    constexpr Retained() noexcept = default;
    Retained(const Retained&) = delete;
    Retained& operator=(const Retained&) = delete;

    // Keeps `value` (stealing it), dropping what was kept before.
    void keep(Owned value) noexcept { Py_XSETREF(p_, value.release()); }
    void clear() noexcept { Py_CLEAR(p_); }
    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    operator Borrowed() const noexcept { return Borrowed(p_); }  // NOLINT

private:
    PyObject* p_ = nullptr;
};

// Holds the pending exception while cleanup code runs, and puts it back after.
class PendingError {
public:
    PendingError() noexcept : exc_(PyErr_GetRaisedException()) {}
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;
    ~PendingError() { PyErr_SetRaisedException(exc_); }

private:
    PyObject* exc_;
};

// Clears the pending exception when it is one a check expects (a probe that
// answers "no" by raising one of these types) and answers true; any other
// exception (Ctrl-C, out of memory) stays raised and the answer is false.
inline bool clear_if_expected(std::initializer_list<PyObject*> expected) noexcept {
    for (PyObject* type : expected) {
        if (PyErr_ExceptionMatches(type)) {
            PyErr_Clear();
            return true;
        }
    }
    return false;
}

}  // namespace norvane
