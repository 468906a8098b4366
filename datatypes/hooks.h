// What the datatypes call in the layers above them (the evaluator and the lexer).
// boot::install_hooks fills every member once, at start-up; until then (early start-up, or a
// unit test that replaces one) a member may be null, and each caller says what it does then.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kaz {

struct DatatypeHooks {
    // Calls a Kaz function (a sort or compare callback) with `count` arguments and returns
    // its result. Null: the call raises internal not-done.
    Cell (*call_function)(const Cell& function, const Cell* args, int count);
    // Calls the change handler `handler` of the object whose context is `context`, named by
    // `name`, in the function frame the caller pushed with the arguments. A pending unwind
    // leaves as Throw. Null: a notification raises internal not-done.
    void (*call_handler)(const Cell& handler, Node context, const Cell& name);
    // Evaluates a block (an object spec after binding); the result is not used. Null: making
    // an object from a block raises internal not-done.
    Cell (*eval_block)(const Cell& block);
    // Loads source text into a block of values (`to block!` of a string). Null: internal
    // not-done.
    Cell (*load_text)(const Cell& string);
    // The first value loaded from UTF-8 text, unset! for none. Null: unset!.
    Cell (*load_first)(const char* utf8, uint32_t length);
    // Builds a callable's argument table into its more-block (the interpreter's), so that a
    // built-in is checked once, when it is made. Null: the table is built on the first call.
    Node (*build_argument_table)(const Cell& callable);
    // How many calling functions the "*** Stack:" line of a report names (0: no line).
    // Null: 0.
    int32_t (*stack_trace_depth)();
};
extern DatatypeHooks datatype_hooks;

}  // namespace kaz
