// play_newest (see newest_play.hpp). Rows are numbered main first, then
// staged; every tuple of a row becomes a key node of its rule's table, and
// each key node lists the rows that hold it. Removed rows stay in those
// lists, marked dead, so a removal costs nothing; each row enters each list
// once, so the lists stay as long as the rows.
#include "newest_play.hpp"

#include "keys.hpp"
#include "statement.hpp"

#include <cstring>
#include <new>

namespace norvane {
namespace {

struct Play {
    Vec<Vec<Py_ssize_t>> picks;  // per rule, where its values stand in a row
    Vec<Py_ssize_t> rank_picks;  // where the newest_by values stand
    Vec<KeyTable> tables;        // per rule: key -> key node
    Vec<Vec<uint32_t>> holders;  // per key node: rows holding it (some dead)
    Vec<uint32_t> keys_of;       // per row: its key node per rule (kNone: a NULL)
    Vec<unsigned char> alive;    // per row
    Vec<uint32_t> seen;          // per row: the last arrival that met it
    Bytes key;                   // scratch
};

// A list of ints, each past the rowid, into `out`.
bool read_positions(PyObject* positions, Vec<Py_ssize_t>& out) {
    Owned indexes = as_list(positions);
    if (!indexes) {
        return false;
    }
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(indexes.get()); ++k) {
        const Py_ssize_t at = PyNumber_AsSsize_t(PyList_GET_ITEM(indexes.get(), k), PyExc_IndexError);
        if (at == -1 && PyErr_Occurred()) {
            return false;
        }
        if (at < 1) {
            PyErr_SetString(PyExc_ValueError, "play_newest: picks start after the rowid");
            return false;
        }
        out.push_back(at);
    }
    return true;
}

bool read_picks(PyObject* picks, PyObject* rank_picks, Play& play) {
    Owned list = as_list(picks);
    if (!list) {
        return false;
    }
    for (Py_ssize_t r = 0; r < PyList_GET_SIZE(list.get()); ++r) {
        Vec<Py_ssize_t> rule;
        if (!read_positions(PyList_GET_ITEM(list.get(), r), rule)) {
            return false;
        }
        play.picks.push_back(std::move(rule));
    }
    play.tables.resize(play.picks.size());
    return read_positions(rank_picks, play.rank_picks);
}

// SQLite's class of a stored value in ORDER BY order; -1 for any other.
int value_class(PyObject* v) {
    if (v == Py_None) {
        return 0;
    }
    if (PyLong_CheckExact(v) || PyFloat_CheckExact(v)) {
        return 1;
    }
    if (PyUnicode_CheckExact(v)) {
        return 2;
    }
    return PyBytes_CheckExact(v) ? 3 : -1;
}

// Whether row a's newest_by tuple orders after row b's (SQLite's ORDER BY
// order: NULL, numbers by value, text by code point, which is the byte
// order of its UTF-8, blobs by bytes): 1, 0, or -1 on error.
int ranks_above(const Play& play, PyObject* a, PyObject* b) {
    for (Py_ssize_t at : play.rank_picks) {
        if (at >= PyTuple_GET_SIZE(a) || at >= PyTuple_GET_SIZE(b)) {
            PyErr_SetString(PyExc_IndexError, "play_newest: a rank pick outside the row");
            return -1;
        }
        PyObject* x = PyTuple_GET_ITEM(a, at);
        PyObject* y = PyTuple_GET_ITEM(b, at);
        const int cx = value_class(x);
        const int cy = value_class(y);
        if (cx < 0 || cy < 0) {
            PyErr_SetString(PyExc_TypeError, "play_newest: cannot order a value of that type");
            return -1;
        }
        if (cx != cy) {
            return cx > cy ? 1 : 0;
        }
        int order = 0;
        if (cx == 1) {
            const int gt = PyObject_RichCompareBool(x, y, Py_GT);
            const int lt = gt == 0 ? PyObject_RichCompareBool(x, y, Py_LT) : 0;
            if (gt < 0 || lt < 0) {
                return -1;
            }
            order = gt ? 1 : (lt ? -1 : 0);
        } else if (cx == 2) {
            order = PyUnicode_Compare(x, y);
            if (order == -1 && PyErr_Occurred()) {
                return -1;
            }
        } else if (cx == 3) {
            const Py_ssize_t nx = PyBytes_GET_SIZE(x);
            const Py_ssize_t ny = PyBytes_GET_SIZE(y);
            const int c =
                std::memcmp(PyBytes_AS_STRING(x), PyBytes_AS_STRING(y), static_cast<size_t>(nx < ny ? nx : ny));
            order = c != 0 ? c : (nx > ny) - (nx < ny);
        }
        if (order != 0) {
            return order > 0 ? 1 : 0;
        }
    }
    return 0;  // equal: the arriving row wins
}

// The key nodes of `row` (number `n`) into play.keys_of: -1 on error.
int add_keys(Play& play, PyObject* row, uint32_t n) {
    if (!PyTuple_Check(row)) {
        PyErr_SetString(PyExc_TypeError, "play_newest: rows must be tuples");
        return -1;
    }
    for (size_t r = 0; r < play.picks.size(); ++r) {
        play.key.clear();
        bool null = false;
        for (Py_ssize_t at : play.picks[r]) {
            if (at >= PyTuple_GET_SIZE(row)) {
                PyErr_SetString(PyExc_IndexError, "play_newest: a pick outside the row");
                return -1;
            }
            PyObject* value = PyTuple_GET_ITEM(row, at);
            const Encoded e = encode_value(value, play.key);
            if (e == Encoded::foreign) {
                PyErr_Format(PyExc_TypeError, "play_newest: cannot compare a %.100s value", Py_TYPE(value)->tp_name);
                return -1;
            }
            null = null || e == Encoded::null;
        }
        if (null) {
            play.keys_of.push_back(kNone);
            continue;
        }
        const auto next = static_cast<uint32_t>(play.holders.size());
        uint32_t node = play.tables[r].find_or_add(play.key.data(), play.key.size(), next);
        if (node == kNone) {
            node = next;
            play.holders.emplace_back();
        }
        play.keys_of.push_back(node);
    }
    (void)n;
    return 0;
}

void hold(Play& play, uint32_t n) {
    const size_t rules = play.picks.size();
    for (size_t r = 0; r < rules; ++r) {
        const uint32_t node = play.keys_of[n * rules + r];
        if (node != kNone) {
            play.holders[node].push_back(n);
        }
    }
}

}  // namespace

// play_newest(main, staged, picks, rank_picks) -> (current staged rowids,
// hidden main rowids), both sets. Rows are tuples, rowid first; staged rows
// in rowid order; picks[r] and rank_picks say where the values of rule r and
// of the newest_by columns stand.
Owned play_newest(PyObject* main_rows, PyObject* staged_rows, PyObject* picks, PyObject* rank_picks) {
    Owned main = own_list(share(main_rows));
    Owned staged = main ? own_list(share(staged_rows)) : Owned();
    if (!staged) {
        return {};
    }
    const Py_ssize_t m = PyList_GET_SIZE(main.get());
    const Py_ssize_t s = PyList_GET_SIZE(staged.get());
    if (m + s >= static_cast<Py_ssize_t>(kNone)) {
        PyErr_SetString(PyExc_OverflowError, "play_newest: too many rows");
        return {};
    }
    Owned current = steal(PySet_New(nullptr));
    Owned hidden = current ? steal(PySet_New(nullptr)) : Owned();
    if (!hidden) {
        return {};
    }
    try {
        Play play;
        if (!read_picks(picks, rank_picks, play)) {
            return {};
        }
        const auto total = static_cast<size_t>(m + s);
        play.keys_of.reserve(total * play.picks.size());
        play.alive.assign(total, 0);
        play.seen.assign(total, kNone);
        auto row_at = [&](uint32_t n) {
            return n < m ? PyList_GET_ITEM(main.get(), n) : PyList_GET_ITEM(staged.get(), n - m);
        };
        for (uint32_t n = 0; n < static_cast<uint32_t>(m); ++n) {
            if (add_keys(play, row_at(n), n) < 0) {
                return {};
            }
            play.alive[n] = 1;
            hold(play, n);
        }
        const size_t rules = play.picks.size();
        Vec<uint32_t> met;
        for (uint32_t n = static_cast<uint32_t>(m); n < total; ++n) {
            if (add_keys(play, row_at(n), n) < 0) {
                return {};
            }
            met.clear();
            for (size_t r = 0; r < rules; ++r) {
                const uint32_t node = play.keys_of[n * rules + r];
                if (node == kNone) {
                    continue;
                }
                for (uint32_t other : play.holders[node]) {
                    if (play.alive[other] && play.seen[other] != n) {
                        play.seen[other] = n;
                        met.push_back(other);
                    }
                }
            }
            bool dropped = false;
            for (uint32_t other : met) {
                const int above = ranks_above(play, row_at(other), row_at(n));
                if (above < 0) {
                    return {};
                }
                if (above) {
                    dropped = true;
                    break;
                }
            }
            if (dropped) {
                continue;  // it removes nothing and never becomes current
            }
            for (uint32_t other : met) {
                play.alive[other] = 0;
            }
            play.alive[n] = 1;
            hold(play, n);
        }
        for (uint32_t n = 0; n < total; ++n) {
            const bool is_main = n < static_cast<uint32_t>(m);
            if (is_main == (play.alive[n] != 0)) {
                continue;  // a current main row, or a staged row that is not
            }
            PyObject* row = row_at(n);
            if (PyTuple_GET_SIZE(row) < 1) {
                PyErr_SetString(PyExc_ValueError, "play_newest: a row without its rowid");
                return {};
            }
            if (PySet_Add(is_main ? hidden.get() : current.get(), PyTuple_GET_ITEM(row, 0)) < 0) {
                return {};
            }
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return {};
    }
    return steal(PyTuple_Pack(2, current.get(), hidden.get()));
}

}  // namespace norvane
