// The newest_by walk in integers (sequential_walk.hpp). Rows are nodes: a
// staged row by its index in rowid order, a main row by -1 - its index.
// Every current row is listed under each of its (rule, group) keys; a staged
// row meets the rows listed under its own keys.
#include "sequential_walk.hpp"

#include <algorithm>
#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

namespace norvane {
namespace {

using Key = std::uint64_t;
constexpr std::int64_t kNoGroup = -1;

class Walk {
public:
    explicit Walk(std::int64_t rules) : rules_(rules) {}

    // Reads one row; false with an error set.
    bool read(PyObject* row, PyObject* others) {
        // The host's cursors give tuples, the dqlite driver's may give lists.
        if (!(PyTuple_Check(row) || PyList_Check(row)) || PySequence_Fast_GET_SIZE(row) < 4 ||
            !PyLong_Check(PySequence_Fast_GET_ITEM(row, 0))) {
            return PyList_Append(others, row) == 0;
        }
        std::int64_t v[4];
        for (Py_ssize_t i = 0; i < 4; ++i) {
            PyObject* item = PySequence_Fast_GET_ITEM(row, i);
            if (!PyLong_Check(item)) {
                return PyList_Append(others, row) == 0;
            }
            v[i] = PyLong_AsLongLong(item);
            if (v[i] == -1 && PyErr_Occurred()) {
                return false;
            }
        }
        if (v[0] == 0 && v[1] >= 0 && v[1] < rules_) {
            keys_[staged(v[2]) * rules_ + v[1]] = v[3];
        } else if (v[0] == 1 && v[1] >= 0 && v[1] < rules_) {
            pairs_.push_back({v[1], v[2], v[3]});
        } else if (v[0] == 2 && v[1] == 0) {
            ranks_[staged(v[2])] = v[3];
        } else if (v[0] == 2) {
            main_rank_[v[2]] = v[3];
        } else {
            return PyList_Append(others, row) == 0;
        }
        return true;
    }

    void run() {
        // Main rows take the group of a staged row SQL found equal to them.
        std::vector<std::int64_t> main_ids;
        std::unordered_map<std::int64_t, std::size_t> main_index;
        std::vector<std::int64_t> main_keys;  // rules_ per main row
        for (const Pair& p : pairs_) {
            auto [it, added] = main_index.try_emplace(p.main, main_ids.size());
            if (added) {
                main_ids.push_back(p.main);
                main_keys.resize(main_keys.size() + rules_, kNoGroup);
            }
            const auto found = staged_index_.find(p.staged);
            if (found != staged_index_.end()) {
                main_keys[it->second * rules_ + p.rule] = keys_[found->second * rules_ + p.rule];
            }
        }
        for (std::size_t m = 0; m < main_ids.size(); ++m) {
            for (std::int64_t r = 0; r < rules_; ++r) {
                const std::int64_t group = main_keys[m * rules_ + r];
                if (group != kNoGroup) {
                    holders_[key(r, group)].push_back(-1 - static_cast<std::int64_t>(m));
                }
            }
        }
        std::vector<std::size_t> order(staged_ids_.size());
        for (std::size_t i = 0; i < order.size(); ++i) {
            order[i] = i;
        }
        std::sort(order.begin(), order.end(),
                  [this](std::size_t a, std::size_t b) { return staged_ids_[a] < staged_ids_[b]; });
        std::vector<bool> current(staged_ids_.size(), false);
        std::vector<bool> hidden(main_ids.size(), false);
        std::vector<std::int64_t> met;
        for (const std::size_t s : order) {
            met.clear();
            for (std::int64_t r = 0; r < rules_; ++r) {
                const std::int64_t group = keys_[s * rules_ + r];
                if (group == kNoGroup) {
                    continue;
                }
                const auto found = holders_.find(key(r, group));
                if (found != holders_.end()) {
                    met.insert(met.end(), found->second.begin(), found->second.end());
                }
            }
            std::sort(met.begin(), met.end());
            met.erase(std::unique(met.begin(), met.end()), met.end());
            const std::int64_t own = ranks_[s];
            bool beaten = false;
            for (const std::int64_t node : met) {
                const std::int64_t rank = node < 0 ? main_rank_[main_ids[static_cast<std::size_t>(-1 - node)]]
                                                   : ranks_[static_cast<std::size_t>(node)];
                if (rank > own) {
                    beaten = true;
                    break;
                }
            }
            if (beaten) {
                ++stale_;
                lost_.push_back(staged_ids_[s]);
                continue;
            }
            for (const std::int64_t node : met) {
                const bool is_main = node < 0;
                const std::size_t at = is_main ? static_cast<std::size_t>(-1 - node) : static_cast<std::size_t>(node);
                for (std::int64_t r = 0; r < rules_; ++r) {
                    const std::int64_t group = is_main ? main_keys[at * rules_ + r] : keys_[at * rules_ + r];
                    if (group != kNoGroup) {
                        auto& list = holders_[key(r, group)];
                        list.erase(std::remove(list.begin(), list.end(), node), list.end());
                    }
                }
                if (is_main) {
                    hidden[at] = true;
                    hidden_.push_back(main_ids[at]);
                } else {
                    current[at] = false;
                    ++superseded_;
                    lost_.push_back(staged_ids_[at]);
                }
            }
            current[s] = true;
            for (std::int64_t r = 0; r < rules_; ++r) {
                const std::int64_t group = keys_[s * rules_ + r];
                if (group != kNoGroup) {
                    holders_[key(r, group)].push_back(static_cast<std::int64_t>(s));
                }
            }
        }
        for (std::size_t s = 0; s < current.size(); ++s) {
            if (current[s]) {
                current_.push_back(staged_ids_[s]);
            }
        }
    }

    Owned result(PyObject* others) const {
        Owned lost = ids(lost_);
        Owned hidden = lost ? ids(hidden_) : Owned();
        Owned current = hidden ? ids(current_) : Owned();
        if (!current) {
            return {};
        }
        return steal(Py_BuildValue("(OOOnnO)", lost.get(), hidden.get(), current.get(), static_cast<Py_ssize_t>(stale_),
                                   static_cast<Py_ssize_t>(superseded_), others));
    }

private:
    struct Pair {
        std::int64_t rule;
        std::int64_t main;
        std::int64_t staged;
    };

    Key key(std::int64_t rule, std::int64_t group) const {
        return static_cast<Key>(group) * static_cast<Key>(rules_) + static_cast<Key>(rule);
    }

    // The index of a staged row, added on first sight.
    std::size_t staged(std::int64_t rowid) {
        auto [it, added] = staged_index_.try_emplace(rowid, staged_ids_.size());
        if (added) {
            staged_ids_.push_back(rowid);
            ranks_.push_back(0);
            keys_.resize(keys_.size() + static_cast<std::size_t>(rules_), kNoGroup);
        }
        return it->second;
    }

    static Owned ids(const std::vector<std::int64_t>& values) {
        Owned list = steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
        for (std::size_t i = 0; list && i < values.size(); ++i) {
            PyObject* number = PyLong_FromLongLong(values[i]);
            if (number == nullptr) {
                return {};
            }
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), number);
        }
        return list;
    }

    std::int64_t rules_;
    std::unordered_map<std::int64_t, std::size_t> staged_index_;
    std::vector<std::int64_t> staged_ids_;
    std::vector<std::int64_t> ranks_;
    std::vector<std::int64_t> keys_;  // rules_ per staged row
    std::vector<Pair> pairs_;
    std::unordered_map<std::int64_t, std::int64_t> main_rank_;
    std::unordered_map<Key, std::vector<std::int64_t>> holders_;
    std::vector<std::int64_t> lost_;
    std::vector<std::int64_t> hidden_;
    std::vector<std::int64_t> current_;
    std::int64_t stale_ = 0;
    std::int64_t superseded_ = 0;
};

}  // namespace

Owned sequential_walk(PyObject* rows, long long rule_count) {
    if (rule_count < 1) {
        PyErr_SetString(PyExc_ValueError, "sequential_walk: rule_count must be at least 1");
        return {};
    }
    Owned iterator = steal(PyObject_GetIter(rows));
    Owned others = iterator ? steal(PyList_New(0)) : Owned();
    if (!others) {
        return {};
    }
    Walk walk(rule_count);
    unsigned polled = 0;
    while (Owned row = steal(PyIter_Next(iterator.get()))) {
        if (!walk.read(row.get(), others.get()) || (++polled % 4096 == 0 && PyErr_CheckSignals() < 0)) {
            return {};
        }
    }
    if (PyErr_Occurred()) {
        return {};
    }
    walk.run();
    return walk.result(others.get());
}

}  // namespace norvane
