// What the runtime calls in the layers above it. boot::install_hooks fills every member once,
// at start-up; until then (early start-up, or a test of the runtime alone) a member is null
// and each caller does what its comment says.
#pragma once

#include <cstdint>
#include <string>

#include "runtime/cell.h"
#include "runtime/compare.h"
#include "runtime/error.h"

namespace kaz {

struct RuntimeHooks {
    // How two key cells of a hash table compare: -1, 0 or 1, or -2 when they cannot be
    // compared (the compare action of the first cell's type). Null: no two keys are equal.
    int32_t (*compare_cells)(const Cell& a, const Cell& b, CompareOp op);
    // The canonical symbol of a symbol id, the earliest case variant of its name (the symbol
    // table). Null: each id is its own canonical symbol.
    uint32_t (*canonical_symbol)(uint32_t id);

    // error! values (the error! datatype). Null: an error is a bare record of its ten
    // fields (data1 0, data2 the record's node), as in early start-up.
    Cell (*make_error)(ErrorId id, const Cell* a1, const Cell* a2, const Cell* a3);
    Cell* (*error_field)(const Cell& error, error::Field f);
    std::string (*error_report)(const Cell& error);
    // Told after case_::change_string changed a string in place (`count` code points from
    // `index`), so that its owner hears of it (ownership). Null: nothing.
    void (*case_changed)(const Cell& string, bool upper, int32_t index, int32_t count);

    // Told of every error being raised, before it is thrown: the interpreter fills `near`
    // with the expression it was evaluating and fires its trace event. Null: nothing.
    void (*raising)(Cell& error);
};
extern RuntimeHooks runtime_hooks;

}  // namespace kaz
