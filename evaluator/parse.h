// PARSE: the dialect engine that matches a block of rules against a block, a string or a
// binary, its single-value matching and searching, and the commands that gather values out of
// the input (collect, keep) or change it (remove, insert, change).
//
// The engine is one loop over a state variable. Nested rule blocks and commands are frames of
// three cells on the rule stack, so rule nesting is bounded by that stack, never by the machine
// stack. The rule stack and the input stack are process globals shared by nested runs (a paren
// action or the trace callback may parse again): a nested run moves both heads past what the
// runs below it hold and puts them back when it ends, however it ends.
#pragma once

#include <cstdint>

#include "datatypes/actions.h"
#include "runtime/cell.h"

namespace kaz::parse {

// A frame is refused once either stack holds this many cells, every nested run counted.
inline constexpr uint32_t kStackLimit = 10'001;

// The command codes of rule frames, seen by a trace callback in the x of a frame's pair!.
enum Command : int32_t {
    repeat = -1,  // any, some, opt, counts and ranges
    to = -2,
    thru = -3,
    copy = -4,
    set = -5,
    not_ = -6,
    into = -7,
    remove = -9,
    while_ = -11,
    collect = -12,
    keep = -13,
    keep_paren = -14,
    ahead = -16,
    change = -17,
    change_only = -18,
    case_ = -19,
};

// Makes the input stack and the rule stack inside the root block (start-up; a second call
// changes nothing).
void init(Node root);

// The engine. `input` from its position against `rules` from theirs; `mode` is
// CompareOp::equal, or CompareOp::strict_equal for case-sensitive matching; `limit` an
// absolute position of the input that ends it early, 0 for none; `callback` a function!
// receiving the trace events, or null. Returns a logic!, or the block that an outermost
// collect produced. Errors and unwinds from paren actions and the callback leave both stacks
// as they were on entry.
Cell parse_rules(const Cell& input, const Cell& rules, CompareOp mode, uint32_t limit,
                 const Cell* callback);

// The shared stacks as block! values at their current heads (what a trace callback is given
// as the rule stack).
Cell input_stack();
Cell rule_stack();

}  // namespace kaz::parse

namespace kaz::natives {

// Registers the parse native. Needs parse::init first.
void init_parse();

}  // namespace kaz::natives
