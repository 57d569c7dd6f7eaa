// The interned names (names.hpp).
#include "names.hpp"

#include "refs.hpp"

namespace norvane {
namespace {

Names g_names{};

}  // namespace

const Names& names() { return g_names; }

bool intern_names() {
    struct Entry {
        PyObject** slot;
        const char* text;
    };
    const Entry entries[] = {
        {&g_names.cursor, "cursor"},
        {&g_names.execute, "execute"},
        {&g_names.fetchall, "fetchall"},
        {&g_names.commit, "commit"},
        {&g_names.close, "close"},
        {&g_names.connect, "connect"},
        {&g_names.split, "split"},
        {&g_names.index, "index"},
        {&g_names.add, "add"},
        {&g_names.name, "name"},
        {&g_names.address, "address"},
        {&g_names.table, "table"},
        {&g_names.cols, "cols"},
        {&g_names.comma, ","},
        {&g_names.star, "*"},
        {&g_names.empty, ""},
        {&g_names.in_transaction, "in_transaction"},
        {&g_names.autocommit, "autocommit"},
        {&g_names.rollback, "rollback"},
        {&g_names.row_factory, "row_factory"},
        {&g_names.text_factory, "text_factory"},
        {&g_names.adapters, "adapters"},
        {&g_names.converters, "converters"},
        {&g_names.set_progress_handler, "set_progress_handler"},
    };
    for (const Entry& e : entries) {
        if (*e.slot == nullptr) {
            // Kept for the life of the process, like the module itself.
            *e.slot = PyUnicode_InternFromString(e.text);
            if (*e.slot == nullptr) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace norvane
