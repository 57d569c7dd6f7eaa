// Query: reading staging and main tables together, and the check that a row
// is the newest of the rows linked to it through the uniqueness rules.
//
// The linkage closure is walked with an explicit stack of frames that mirrors
// the recursive walk step by step (same statements, same order, same visited
// set), so a chain of any length costs heap, never C stack.
#include "query.hpp"

#include "binder.hpp"
#include "names.hpp"
#include "newest_groups.hpp"
#include "newest_plan.hpp"
#include "refs.hpp"
#include "schema.hpp"
#include "statement.hpp"
#include "transaction.hpp"

#include <optional>
#include <vector>

namespace norvane {
namespace {

constexpr long kStaged = 1;
constexpr long kMain = 0;

// An index as item_at takes it: a plain number, or an index object.
Py_ssize_t as_index(Py_ssize_t i) { return i; }
PyObject* as_index(const Owned& i) { return i.get(); }

// row[i] for each index, as a new tuple or list.
template <bool AsTuple, typename Index>
Owned values_at(PyObject* row, const std::vector<Index>& indexes) {
    const auto n = static_cast<Py_ssize_t>(indexes.size());
    Owned values = steal(AsTuple ? PyTuple_New(n) : PyList_New(n));
    if (!values) {
        return {};
    }
    for (Py_ssize_t k = 0; k < n; ++k) {
        Owned value = item_at(row, as_index(indexes[static_cast<size_t>(k)]));
        if (!value) {
            return {};
        }
        if constexpr (AsTuple) {
            PyTuple_SET_ITEM(values.get(), k, value.release());
        } else {
            PyList_SET_ITEM(values.get(), k, value.release());
        }
    }
    return values;
}

// A uniqueness rule as the newest check uses it: the row-tuple indexes of its
// columns and its two searches, built when the rule is first needed.
struct LinkRule {
    Owned columns;  // column numbers, as the caller gave them
    bool ready = false;
    std::vector<Owned> value_indexes;  // column number + 1
    Owned staged_search;
    Owned main_search;
};

// What one newest check (or a whole find) shares across rows and frames.
class LinkContext {
public:
    LinkContext(PyObject* conn, PyObject* table, PyObject* cols, PyObject* total_select)
        : conn_(conn), table_(table), cols_(cols), total_select_(total_select) {}

    // The rules in the mapping's iteration order.
    bool load_rules(PyObject* uniques) {
        Owned keys = steal(PyObject_GetIter(uniques));
        if (!keys) {
            return false;
        }
        while (Owned key = steal(PyIter_Next(keys.get()))) {
            Owned columns = steal(PyObject_GetItem(uniques, key.get()));
            Owned column_list = columns ? as_list(columns.get()) : Owned();
            if (!column_list) {
                return false;
            }
            LinkRule rule;
            rule.columns = std::move(column_list);
            rules_.push_back(std::move(rule));
        }
        return !PyErr_Occurred();
    }

    // Shares one cursor across all frames when nothing can observe it.
    void share_cursor(const Cursor& cursor) {
        shared_.adopt(cursor);
        sharing_ = true;
    }
    bool open_cursor(Cursor& cursor) {
        if (sharing_) {
            cursor.adopt(shared_);
            return true;
        }
        if (!cursor.open(conn_)) {
            return false;
        }
        if (is_native_connection(conn_)) {
            share_cursor(cursor);
        }
        return true;
    }

    std::vector<LinkRule>& rules() { return rules_; }

    bool prepare(LinkRule& rule) {
        if (rule.ready) {
            return true;
        }
        std::vector<Owned> names;
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(rule.columns.get()); ++k) {
            PyObject* number = PyList_GET_ITEM(rule.columns.get(), k);
            Owned name = item_at(cols_, number);
            Owned one = name ? steal(PyLong_FromLong(1)) : Owned();
            Owned index = one ? steal(PyNumber_Add(number, one.get())) : Owned();
            if (!index) {
                return false;
            }
            names.push_back(std::move(name));
            rule.value_indexes.push_back(std::move(index));
        }
        if (!names.empty()) {
            Owned where = column_search(names);
            Owned select = where ? str_of(total_select_) : Owned();
            Owned table = select ? str_of(table_) : Owned();
            rule.staged_search =
                table ? join_text({"SELECT ", select, " FROM temp_", table, " WHERE ", where}) : Owned();
            rule.main_search =
                rule.staged_search ? join_text({"SELECT ", select, " FROM ", table, " WHERE ", where}) : Owned();
            if (!rule.main_search) {
                return false;
            }
        }
        rule.ready = true;
        return true;
    }

private:
    PyObject* conn_;
    PyObject* table_;
    PyObject* cols_;
    PyObject* total_select_;
    std::vector<LinkRule> rules_;
    Cursor shared_;
    bool sharing_ = false;
};

// The candidate's row reference, read once.
struct Reference {
    Owned source;
    Owned rowid;
};

// One level of the walk: the row being expanded and where it stands.
struct Frame {
    Owned row;
    Cursor cursor;
    size_t rule = 0;
    int phase = 0;  // 0: next rule, 1: staged results, 2: main results
    Owned values;   // the rule's values of `row`, bound to both searches
    Owned results;
    Py_ssize_t next = 0;
};

enum class Verdict { newest, superseded, error };

class NewestWalk {
public:
    NewestWalk(LinkContext& context, PyObject* candidate, PyObject* visited) : context_(context), visited_(visited) {
        candidate_ = share(candidate);
    }

    Verdict run(PyObject* row) {
        if (!read_candidate() || !push(row)) {
            return Verdict::error;
        }
        SignalPoll poll;
        while (!stack_.empty()) {
            if (!poll.tick()) {
                return Verdict::error;
            }
            const Verdict step = advance(stack_.back());
            if (step != Verdict::newest) {
                return step;
            }
        }
        return Verdict::newest;
    }

private:
    bool read_candidate() {
        reference_.source = item_at(candidate_.get(), Py_ssize_t{0});
        reference_.rowid = reference_.source ? item_at(candidate_.get(), Py_ssize_t{1}) : Owned();
        return bool(reference_.rowid);
    }

    bool push(PyObject* row) {
        Frame frame;
        frame.row = share(row);
        if (!context_.open_cursor(frame.cursor)) {
            return false;
        }
        stack_.push_back(std::move(frame));
        return true;
    }

    // Runs one step of the frame on top: a search, or one fetched row.
    Verdict advance(Frame& frame) {
        auto& rules = context_.rules();
        if (frame.phase == 0) {
            if (frame.rule == rules.size()) {
                stack_.pop_back();
                return Verdict::newest;
            }
            LinkRule& rule = rules[frame.rule];
            if (!context_.prepare(rule)) {
                return Verdict::error;
            }
            if (rule.value_indexes.empty()) {
                ++frame.rule;
                return Verdict::newest;
            }
            frame.values = values_at<false>(frame.row.get(), rule.value_indexes);
            frame.results = frame.values ? frame.cursor.query(rule.staged_search.get(), frame.values.get()) : Owned();
            frame.phase = 1;
            frame.next = 0;
            return frame.results ? Verdict::newest : Verdict::error;
        }
        if (frame.next == PyList_GET_SIZE(frame.results.get())) {
            if (frame.phase == 1) {
                frame.results = frame.cursor.query(rules[frame.rule].main_search.get(), frame.values.get());
                frame.phase = 2;
                frame.next = 0;
                return frame.results ? Verdict::newest : Verdict::error;
            }
            ++frame.rule;
            frame.phase = 0;
            return Verdict::newest;
        }
        PyObject* found = PyList_GET_ITEM(frame.results.get(), frame.next++);
        return visit(found, frame.phase == 1 ? kStaged : kMain);
    }

    // A linked row: skipped when seen, recorded, compared, then expanded.
    Verdict visit(PyObject* found, long source) {
        Owned rowid = item_at(found, Py_ssize_t{0});
        Owned source_obj = rowid ? steal(PyLong_FromLong(source)) : Owned();
        Owned reference = source_obj ? pair(source_obj.get(), rowid.get()) : Owned();
        if (!reference) {
            return Verdict::error;
        }
        const int seen = PySequence_Contains(visited_, reference.get());
        if (seen != 0) {
            return seen < 0 ? Verdict::error : Verdict::newest;
        }
        if (!add_visited(reference.get())) {
            return Verdict::error;
        }
        const int newer = is_newer(source_obj.get(), rowid.get());
        if (newer != 0) {
            return newer < 0 ? Verdict::error : Verdict::superseded;
        }
        Owned row = share(found);  // the frame's results list keeps it alive
        return push(row.get()) ? Verdict::newest : Verdict::error;
    }

    bool add_visited(PyObject* reference) {
        if (PySet_Check(visited_)) {
            return PySet_Add(visited_, reference) == 0;
        }
        return bool(steal(PyObject_CallMethodOneArg(visited_, names().add, reference)));
    }

    // (source, rowid) newer than the candidate: a larger source, or the same
    // source and a larger rowid.
    int is_newer(PyObject* source, PyObject* rowid) {
        const int greater_source = compare(source, reference_.source.get(), Py_GT);
        if (greater_source != 0) {
            return greater_source;
        }
        const int same_source = compare(source, reference_.source.get(), Py_EQ);
        if (same_source <= 0) {
            return same_source;
        }
        return compare(rowid, reference_.rowid.get(), Py_GT);
    }

    LinkContext& context_;
    PyObject* visited_;
    Owned candidate_;
    Reference reference_;
    std::vector<Frame> stack_;
};

Owned newest_result(Verdict verdict, PyObject* visited) {
    if (verdict == Verdict::error) {
        return {};
    }
    if (verdict == Verdict::superseded) {
        return pair(Py_False, Py_None);
    }
    return pair(Py_True, visited);
}

// ---------------------------------------------------------------- find -----

// A rule as find's duplicate test uses it.
struct FindRule {
    std::vector<Py_ssize_t> value_indexes;  // column number + 1
    Owned seen;                             // key tuples of returned rows
};

class Find {
public:
    Find(PyObject* conn, PyObject* select, PyObject* table, PyObject* conditions, PyObject* params,
         const FindOptions& options, Py_ssize_t* staged, Owned* plans)
        : conn_(conn),
          select_(select),
          table_(table),
          conditions_(conditions),
          params_(params),
          options_(options),
          staged_(staged),
          plans_(plans),
          snapshot_(conn, CallTransaction::Kind::snapshot) {}

    // Every read of the call, newest tests included, sees one snapshot.
    Owned run() {
        if (!cursor_.open(conn_) || !snapshot_.begin(cursor_) || !read_columns() ||
            !read_rules(cursor_, table_, uniques_) || !build_rules() || !output_columns()) {
            return {};
        }
        docs_ = steal(PyList_New(0));
        if (!docs_) {
            return {};
        }
        link_.emplace(conn_, table_, cols_.get(), total_select_.get());
        if (!link_->load_rules(uniques_.get())) {
            return {};
        }
        if (is_native_connection(conn_)) {
            link_->share_cursor(cursor_);
        }
        Owned table_text = str_of(table_);
        Owned conditions_text = table_text ? str_of(conditions_) : Owned();
        Owned staged = conditions_text
                           ? join_text({"SELECT ", total_select_, " FROM temp_", table_text, " ", conditions_text})
                           : Owned();
        Owned main =
            staged ? join_text({"SELECT ", total_select_, " FROM ", table_text, " ", conditions_text}) : Owned();
        if (!main) {
            return {};
        }
        groups_.emplace(cursor_, conn_, table_text.get(), cols_.get(), uniques_.get(), conditions_text.get(), options_);
        groups_->reuse(main.get(), params_);
        if (!pass(staged.get(), kStaged)) {
            return {};
        }
        if (staged_ != nullptr) {
            *staged_ = PyList_GET_SIZE(docs_.get());
        }
        if (!pass(main.get(), kMain)) {
            return {};
        }
        if (plans_ != nullptr) {
            *plans_ = groups_->plans_taken();
            if (!*plans_) {
                return {};
            }
        }
        return std::move(docs_);
    }

private:
    // cols and total_select ("rowid,<col>,<col>...") from the table's columns.
    bool read_columns() {
        cols_ = table_columns(cursor_, table_);
        total_select_ = cols_ ? steal(PyUnicode_FromString("rowid")) : Owned();
        for (Py_ssize_t i = 0; total_select_ && i < PyList_GET_SIZE(cols_.get()); ++i) {
            Owned name = str_of(PyList_GET_ITEM(cols_.get(), i));
            Owned piece = name ? join_text({",", name}) : Owned();
            total_select_ = piece ? steal(PyUnicode_Concat(total_select_.get(), piece.get())) : Owned();
        }
        return bool(total_select_);
    }

    static bool row_index(PyObject* number, Py_ssize_t& out) {
        Owned one = steal(PyLong_FromLong(1));
        Owned index = one ? steal(PyNumber_Add(number, one.get())) : Owned();
        out = index ? PyNumber_AsSsize_t(index.get(), PyExc_IndexError) : -1;
        return !(out == -1 && PyErr_Occurred());
    }

    bool build_rules() {
        PyObject* key = nullptr;
        PyObject* numbers = nullptr;
        Py_ssize_t pos = 0;
        while (PyDict_Next(uniques_.get(), &pos, &key, &numbers)) {
            FindRule rule;
            rule.seen = steal(PySet_New(nullptr));
            if (!rule.seen) {
                return false;
            }
            for (Py_ssize_t k = 0; k < PyList_GET_SIZE(numbers); ++k) {
                Py_ssize_t index = 0;
                if (!row_index(PyList_GET_ITEM(numbers, k), index)) {
                    return false;
                }
                rule.value_indexes.push_back(index);
            }
            rules_.push_back(std::move(rule));
        }
        return true;
    }

    // The row-tuple indexes of the output columns, from `select`; no select
    // means the whole row, rowid first.
    bool output_columns() {
        if (select_ == nullptr) {
            for (Py_ssize_t i = 0; i <= PyList_GET_SIZE(cols_.get()); ++i) {
                output_.push_back(i);
            }
            return true;
        }
        const int all = compare(select_, names().star, Py_EQ);
        if (all < 0) {
            return false;
        }
        if (all) {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cols_.get()); ++i) {
                output_.push_back(i + 1);
            }
            return true;
        }
        Owned pieces = steal(PyObject_CallMethodOneArg(select_, names().split, names().comma));
        Owned piece_list = own_list(std::move(pieces));
        if (!piece_list) {
            return false;
        }
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(piece_list.get()); ++i) {
            Owned position =
                steal(PyObject_CallMethodOneArg(cols_.get(), names().index, PyList_GET_ITEM(piece_list.get(), i)));
            Py_ssize_t index = 0;
            if (!position || !row_index(position.get(), index)) {
                return false;
            }
            output_.push_back(index);
        }
        return true;
    }

    // The newest test, through the module global. Our own function answers
    // from the rows gathered for this find when it can, and otherwise walks
    // in place with the rules and cursor of this find.
    int is_newest(PyObject* row, long source) {
        Owned rowid = item_at(row, Py_ssize_t{0});
        Owned source_obj = rowid ? steal(PyLong_FromLong(source)) : Owned();
        Owned reference = source_obj ? pair(source_obj.get(), rowid.get()) : Owned();
        Owned check = reference ? lookup_function(Fn::check_newest_unique) : Owned();
        if (!check) {
            return -1;
        }
        const bool own = is_own_function(check.get(), Fn::check_newest_unique);
        const int answer = own ? groups_->answer(row, source) : NewestGroups::kWalk;
        if (answer != NewestGroups::kWalk) {
            if (answer < 0) {
                add_traceback(Fn::check_newest_unique);
            }
            return answer;
        }
        Owned visited = steal(PySet_New(nullptr));
        if (!visited || PySet_Add(visited.get(), reference.get()) < 0) {
            return -1;
        }
        if (own) {
            const Verdict verdict = NewestWalk(*link_, reference.get(), visited.get()).run(row);
            if (verdict == Verdict::error) {
                add_traceback(Fn::check_newest_unique);
                return -1;
            }
            return verdict == Verdict::newest ? 1 : 0;
        }
        Owned result =
            call_by_keyword<Fn::check_newest_unique>(check.get(), conn_, table_, reference.get(), row, uniques_.get(),
                                                     cols_.get(), total_select_.get(), visited.get());
        Owned verdict = result ? item_at(result.get(), Py_ssize_t{0}) : Owned();
        return verdict ? PyObject_IsTrue(verdict.get()) : -1;
    }

    bool emit(PyObject* row) {
        Owned out = values_at<false>(row, output_);
        return out && PyList_Append(docs_.get(), out.get()) == 0;
    }

    // A row repeating a key tuple of a returned row is dropped; otherwise it
    // is returned when it is the newest, and only then claims its tuples.
    bool pass(PyObject* sql, long source) {
        Owned rows = groups_->take_candidates(source);
        if (!rows) {
            rows = cursor_.query(sql, params_);
        }
        if (!rows) {
            return false;
        }
        groups_->expect(source, rows.get());
        std::vector<Owned> keys;
        SignalPoll poll;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows.get()); ++i) {
            if (!poll.tick()) {
                return false;
            }
            PyObject* row = PyList_GET_ITEM(rows.get(), i);
            keys.clear();
            bool duplicate = false;
            for (const FindRule& rule : rules_) {
                Owned key = values_at<true>(row, rule.value_indexes);
                const int seen = key ? PySet_Contains(rule.seen.get(), key.get()) : -1;
                if (seen < 0) {
                    return false;
                }
                duplicate = duplicate || seen;
                keys.push_back(std::move(key));
            }
            if (duplicate) {
                continue;
            }
            const int newest = is_newest(row, source);
            if (newest < 0) {
                return false;
            }
            if (!newest) {
                continue;
            }
            for (size_t r = 0; r < rules_.size(); ++r) {
                if (PySet_Add(rules_[r].seen.get(), keys[r].get()) < 0) {
                    return false;
                }
            }
            if (!emit(row)) {
                return false;
            }
        }
        return true;
    }

    PyObject* conn_;
    PyObject* select_;
    PyObject* table_;
    PyObject* conditions_;
    PyObject* params_;  // bound to both candidate statements; null for none
    FindOptions options_;
    Py_ssize_t* staged_;  // receives how many returned rows are staged ones
    Owned* plans_;        // receives the plans that answered the newest tests
    CallTransaction snapshot_;
    Cursor cursor_;
    Owned cols_;
    Owned total_select_;
    Owned uniques_;
    Owned docs_;
    std::vector<FindRule> rules_;
    std::vector<Py_ssize_t> output_;
    std::optional<LinkContext> link_;
    std::optional<NewestGroups> groups_;
};

}  // namespace

Owned check_newest_unique(PyObject* conn, PyObject* table, PyObject* rowid, PyObject* row, PyObject* uniques,
                          PyObject* cols, PyObject* total_select, PyObject* visited) {
    LinkContext context(conn, table, cols, total_select);
    if (!context.load_rules(uniques)) {
        return {};
    }
    return newest_result(NewestWalk(context, rowid, visited).run(row), visited);
}

Owned run_find(PyObject* conn, PyObject* select, PyObject* table, PyObject* conditions, PyObject* params,
               const FindOptions& options, Py_ssize_t* staged, Owned* plans) {
    return Find(conn, select, table, conditions, params, options, staged, plans).run();
}

Owned find(PyObject* conn, PyObject* select, PyObject* table, PyObject* conditions) {
    return run_find(conn, select, table, conditions, nullptr);
}

}  // namespace norvane
