// The callables: native!, action!, op!, function! and routine!. Each owns a context made from
// its spec (one word per argument, refinement and local, the values on the data stack while it
// runs) and a more-block of auxiliary cells.
//
// native! and action!: data1 the 1-based number of the native in the natives table, or of the
// action slot; data2 the spec block's node; data3 a 2-cell more-block: (0) a copy of the
// context! cell of its context, whose data3 holds the context's node, (1) none!, the
// interpreter's argument-table cache.
//
// function!: header bit 9 (0x200) no-trace, bit 10 (0x400) trace; data1 the context's node;
// data2 the spec's node; data3 the more-block of five cells, in the order of `More`.
//
// routine!: as function!, header bit 15 (0x8000) the variant flag and bits 25-29 the number of
// word! entries of its spec; more-block cell 4 holds the return type id.
//
// op!: a copy of the wrapped callable (data1-data3) with header 23 + (its type id << 16); the
// more-block of a wrapped function! or routine! keeps a copy of it in cell 3.
#pragma once

#include <cstdint>

#include "datatypes/actions.h"
#include "runtime/cell.h"

namespace kaz::function {

// Header flags of function! values.
inline constexpr uint32_t kNoTrace = 0x200;
inline constexpr uint32_t kTrace = 0x400;
inline constexpr uint32_t kTraceFlags = kNoTrace | kTrace;

// The cells of a more-block. A native's or action's has only the first two: its cell 0 is the
// copy of its context! cell, and cell 1 the argument-table cache.
enum More : uint32_t {
    more_body = 0,              // the body block, or none!
    more_arg_table = 1,         // the interpreter's argument-table cache (unset! until built)
    more_code = 2,              // integer! the compiled body's code, else unset!
    more_op_source = 3,         // the function! or routine! an op! wraps
    more_defining_context = 4,  // integer! the node of the defining object's context, else unset!
                                // (a routine!: its return type id)
};
inline constexpr uint32_t kMoreCells = more_defining_context + 1;
inline constexpr uint32_t kNativeMoreCells = more_arg_table + 1;

// ---- what the interpreter reads ----

// The more-block cell `index` of a callable (an op! reads its wrapped value's); null past the
// block's end. Valid until the next allocation.
Cell* more_cell(const Cell& callable, uint32_t index);
// The context of a callable: data1 for function! and routine! (and an op! wrapping one), the
// node kept in the more-block's context! cell for native! and action!.
Node context_of(const Cell& callable);
// The type id an op! wraps (header bits 16-23).
constexpr TypeId op_source_type(const Cell& op) { return TypeId((op.header >> 16) & 0xFF); }
// The callable an op! wraps: the stored copy for a function! or routine!, else the op! cell
// retyped.
Cell unwrap_op(const Cell& op);

// ---- making ----

// Makes a function! and pushes it on the data stack; returns its context. Without a context,
// a new one is made from a private copy of the spec (see own_spec) and the body's deep copy is
// bound to it; a given context is used as it stands with the spec it was made from (the body is
// not bound), a spec not at its head copied from its index.
// `code` 0 means interpreted; `defining_context` 0 means none. `flags`: kTrace, kNoTrace.
// Without `copy_body` the body given is kept as it is (a copy the caller just made).
Node make_value(const Cell& spec, const Cell* body, Node context, uint32_t code,
                Node defining_context, uint32_t flags, bool copy_body = true);
// A copy of a spec from its index, with a copy of each block in it (type blocks, the attribute
// block): what a callable keeps, so that nothing a script holds can change the words and types
// its calls rely on.
Node own_spec(const Cell& spec);
// Checks a function spec; returns the header flags its attribute block asks for. Raises
// script bad-func-def, invalid-type-spec, dup-vars (and no-value for an unset type word).
uint32_t validate_spec(const Cell& spec);
// From `start`: 1 for the /local refinement plus 1 per word! after it; without /local, 0, or
// -1 when `strict`.
int32_t count_local_slots(Node spec, uint32_t start, bool strict);
// Pushes the cells of a refinement that was not used: false, then n - 1 none!.
void push_inactive_refinement(uint32_t n);
// Completes a frame built by hand for a call of the function of context `ctx`, its arguments
// pushed from the frame's base: none! for each argument not given, then the cells of its local
// group of `locals` slots (count_local_slots). A change handler or tracer whose spec asks more
// than it is given must not read or write the stack past its frame.
void fill_frame(Node ctx, uint32_t locals);
// The local-word collection of the `function` native: returns a new spec, a copy of `spec`
// (cut at /extern) followed, when the body sets or loops over words it does not name, by
// /local and those words. Raises script bad-func-extern for an unfit entry in a spec with
// /extern.
Cell collect_locals(const Cell& spec, const Cell& body);

// ---- actions ----
Cell make(const Cell& proto, const Cell& spec, TypeId type);
// Shared by all five types.
Cell reflect(const Cell& value, uint32_t field);
int32_t form(const Cell& value, Node string, const Cell* part, int32_t limit);
int32_t mold(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
             int32_t limit, int32_t indent);
int32_t compare(const Cell& a, const Cell& b, CompareOp op);

// Registers native!, action!, op!, function! and routine! (function! after context!).
void init();

}  // namespace kaz::function

namespace kaz::native {
// The slots of the natives table: the numbers a native! may carry (an action! carries an
// action slot, up to kActionCount).
inline constexpr uint32_t kTableSlots = 120;
// A built-in native (type native!) or action (type action!) of table number `number`, made
// from its own spec at start-up: its argument table is what every later make of that number
// must agree with.
Cell define(const Cell& spec, uint32_t number, TypeId type);
// The argument table of that built-in (the interpreter's form of its spec), 0 before it is made.
Node builtin_arguments(TypeId type, uint32_t number);
// make of native! and action!: [spec-block index]; the type chosen by `type`. The spec must
// give the arguments, refinements and types of the built-in of that number, since the built-in
// reads its arguments without checking them; anything else raises script bad-make-arg.
Cell make(const Cell& proto, const Cell& spec, TypeId type);
}  // namespace kaz::native

namespace kaz::op {
// make op! from a native!, action!, function! or routine! of exactly two arguments.
Cell make(const Cell& proto, const Cell& spec, TypeId type);
}  // namespace kaz::op

namespace kaz::routine {

inline constexpr uint32_t kVariant = 0x8000;
inline constexpr uint32_t kArityShift = 25;
inline constexpr uint32_t kArityMask = 0x1Fu << kArityShift;

// Makes a routine! (its body, when a block, deep-copied and bound to its new context) and
// pushes it; `code` is the number of its C++ function, `return_type` a type id or 0.
Cell* make_value(const Cell& spec, const Cell* body, uint32_t code, uint32_t return_type,
                 bool variant);
uint32_t arity(const Cell& routine);
// Counts the word! entries of the spec into header bits 25-29 (at most 31).
void set_arity(Cell& routine);

}  // namespace kaz::routine
