// Ctrl-C during a long statement. The host runs signal handlers only between
// bytecodes, and an exception raised in a progress handler is swallowed by the
// connection, which reports "interrupted" instead. So a handler of our own,
// installed for the duration of a few long statements, runs the signal
// handlers itself, keeps what they raise and stops the statement; the kept
// exception then replaces the connection's report.
#pragma once

#include "refs.hpp"

namespace norvane {

class Interruptible {
public:
    explicit Interruptible(PyObject* conn) : conn_(conn) {}
    Interruptible(const Interruptible&) = delete;
    Interruptible& operator=(const Interruptible&) = delete;
    // Removes the handler (a caller's own handler is not restored: the
    // connection cannot tell which one it had).
    ~Interruptible();

    // conn.set_progress_handler(<ours>, n). False on error.
    bool install();
    // After the statements: true when no signal handler raised; otherwise
    // false with what it raised set, replacing any pending error.
    bool settle();

private:
    PyObject* conn_;
    Owned handler_;
    Owned capsule_;  // holds what a signal handler raised
};

}  // namespace norvane
