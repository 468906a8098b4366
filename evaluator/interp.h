// The interpreter: evaluates blocks of values expression by expression, over the data stack
// and the call-frame stack.
//
// Positions are cell indexes into the block being evaluated (its buffer may move while code
// runs). Every evaluation leaves one result: pushed as the newest value of the current frame,
// or stored in the frame's return slot (stack::base[0]).
//
// Unwinds (break, continue, return, exit, throw) travel as pending state: after anything
// that evaluates code, interpreter-aware code checks `frame::unwinding` and, when it is set,
// returns at once without touching the stacks (the unwinder has already set them), until the
// frame it targets takes it. Errors always travel as the C++ exception Throw. C++ code that
// cannot check for a pending unwind calls the entry points at the end of this header, which
// raise it as Throw.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kaz::interp {

// Argument kinds of an argument table typeset (header bits 20-21).
enum ArgKind : uint32_t { normal = 0, get = 1, literal = 2, return_type = 3 };
constexpr ArgKind arg_kind(const Cell& ts) { return ArgKind((ts.header >> 20) & 3); }

// The most refinements a native, action or routine takes, and the most arguments a routine
// takes: their calls keep them in fixed arrays. A spec past either raises internal limit-hit
// when its argument table is built.
inline constexpr uint32_t kMaxRefinements = 32;
inline constexpr uint32_t kMaxRoutineArguments = 32;

// Apply flags of eval_code.
enum ApplyFlags : uint32_t { from_block = 1, refinements_as_values = 2, single_values = 4 };

struct State {
    bool tracing;          // events are delivered while set
    Cell tracer;           // the trace callback, a function!, or unset!
    uint32_t mask;         // the events the tracer wants
    uint32_t tracer_locals;
    bool trace_enable;     // what functions marked `trace` switch tracing to
    Cell current_block;    // the block being evaluated, its index at the expression
    const char* stack_floor;  // nesting that reaches this C++ stack address overflows (null: none)
};
extern State state;

void init();
// Told of every error being raised, before it is thrown: fills the error's `near` with the
// expression being evaluated, and fires the error event when tracing.
void on_raising(Cell& error);

// Evaluates every expression of the block from its index; unset! for an empty block. The
// result is copied into the caller's return slot with `into_return`, else left as the
// caller's newest value.
void eval_block(const Cell& block, bool into_return);
// eval_block into the return slot for a block run again and again (a loop's condition or
// body): its leading expressions that can neither fail nor run code (literals and words'
// values with operators computed in place, set-words given one) are done without the block's
// steps. `quick` is the caller's, kept for the loop: cleared once the block's first expression
// needs the evaluator, so that later turns go to eval_block at once. True when the whole block
// was done so: nothing can be pending then.
bool eval_body(const Cell& block, bool& quick);
// Evaluates the next expression of the block into the return slot; returns the new index
// (the same index, with unset!, at the tail).
uint32_t eval_next(const Cell& block);
// Evaluates one expression of `code` from `pos` (before `end`); returns the position after it.
uint32_t eval_expression(Node code, uint32_t pos, uint32_t end, bool no_infix, bool push,
                         bool callables_as_values);
// Applies the infix operators that follow a value, strictly from the left; the value is the
// newest cell, at `left`, and the result replaces it. Returns the position after the last.
uint32_t eval_infix(Node code, uint32_t pos, uint32_t end, Cell* left);
// Calls a function! whose arguments are on the data stack in the current frame.
void call_function(const Cell& fn, const Cell& name);
// Evaluates a path (set mode: the value to assign is the frame's first argument cell);
// returns the position after it and whatever a called function consumed.
uint32_t eval_path(const Cell& path, Node code, uint32_t pos, uint32_t end, bool set, bool get,
                   bool push, bool case_);
// Calls a callable met in code, fetching its arguments from `pos`; returns the position after
// its last argument.
uint32_t eval_code(const Cell& callable, Node code, uint32_t pos, uint32_t end,
                   const Cell* path, const Cell& name, const Cell* defining_object,
                   uint32_t apply_flags, bool infix);
// The argument table of a callable, built and cached on first use.
Node argument_table(const Cell& callable);
// Pushes the cells of a refinement that was not used: false, then n - 1 none!.
void push_inactive_refinement(uint32_t n);

// ---- truth ----
// False for none! and false; every other value is true. With `check_unset`, unset! raises
// script no-value... (the truth check of either, while, until and case).
[[noreturn]] void raise_no_value(const Cell& value);
inline bool true_q(const Cell& value, bool check_unset) {
    switch (type_of(value)) {
        case TypeId::none: return false;
        case TypeId::logic: return value.data1 != 0;
        case TypeId::unset:
            if (check_unset) raise_no_value(value);
            return true;
        default: return true;
    }
}

// ---- entry points for C++ callers ----
// Evaluates a block; the result is returned. A pending unwind is raised as Throw.
Cell do_block(const Cell& block);
// Calls a function-like value with `n` argument values, in order (those past its arguments are
// not used); returns its result. A pending unwind is raised as Throw.
Cell call(const Cell& callable, const Cell* args, uint32_t n);

// ---- tracing ----
enum Event : uint32_t {
#define KAZ_EVENT(bit, cname, word) cname = bit,
#include "evaluator/trace_events.def"
#undef KAZ_EVENT
};
// The events a tracer wants: the words of a block at the head of its body, else all.
uint32_t event_mask(const Cell& tracer);
// Delivers one event to the tracer (code 0 and position -1 for none).
void fire_event(Event event, Node code, int32_t pos, const Cell* ref, const Cell* value);

}  // namespace kaz::interp
