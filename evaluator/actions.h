// The action dispatch layer: the entry of every action slot, which finds the function of the
// first argument's datatype and hands it the arguments in the form its slot takes; the
// comparison core every comparison goes through; typed dispatchers for C++ callers that hold
// values in variables; and the fast paths for arithmetic, comparison, series queries and
// path indexes.
//
// Entries follow the natives' calling convention (evaluator/natives.h): arguments in the
// current frame's cells, one position per refinement, the result in stack::base[0].
#pragma once

#include <cstdint>

#include "datatypes/actions.h"
#include "datatypes/integer.h"
#include "runtime/cell.h"

namespace kaz::actions {

// ORDER ACTION: the action slots, numbered as datatypes/actions.def numbers them.
enum class Slot : uint32_t {
#define KAZ_ACTION(slot, cname, name, signature, ...) cname = slot,
#include "datatypes/actions.def"
#undef KAZ_ACTION
};

// Registers the entries of every slot but set-path and compare (compare is `compare` below:
// it takes the operation as a machine argument and no action! value names it).
void init_entries();

// Raises script expect-arg for a type that lacks the action: the word of the current frame,
// the datatype, and the name of the action's first argument.
[[noreturn]] void raise_lacks(TypeId type, Slot slot);

// The index argument of pick and poke as an integer: an integer! its value, a char! its code
// point, true 1 and false 2, a float! truncated (out of range raises script type-limit);
// 0 for the kinds of index the type reads from the cell itself.
int32_t index_argument(const Cell& index);

// ---- typed dispatchers ----
// Each looks up the function of the value's type (raising as raise_lacks does) and calls it.
int32_t form(const Cell& value, Node string, const Cell* part, int32_t limit);
int32_t mold(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
             int32_t limit, int32_t indent);
void copy(const Cell& value, Cell& result, const Cell* part, bool deep, const Cell* kind);
Cell find(const Cell& series, const Cell& value, const FindOptions& options);
Cell poke(const Cell& series, const Cell& index, const Cell& value);
// A type without eval-path raises script bad-path-type (the path, the datatype, the path cut
// after the failing element) when the step names its path, else bad-path-type2 (the element,
// the datatype).
Cell eval_path(const Cell& parent, const Cell& element, const Cell* value, const PathStep& step);

// ---- comparison ----
// The compare action of a's type: -1, 0 or 1, or kNotComparable. native!, action! and op!
// values compare by the code they run, function! and routine! by their more-block, so two of
// them are equal only when they are the same function.
int32_t compare(const Cell& a, const Cell& b, CompareOp op);
// The comparison core: compare's answer as a truth for the operation. Values that cannot be
// compared raise script invalid-compare for an ordering, and are unequal for the equality
// tests. Operations 7 and 8 (sorting) end the process with runtime error 101.
bool compare_values(const Cell& a, const Cell& b, CompareOp op);
// The body of the comparison natives: the frame's first two arguments compared, the logic!
// result in the return slot.
void compare_to_logic(CompareOp op);

// ---- fast paths ----
// Each pushes its result and returns its address. Where the fast case does not apply, the
// action entry runs in a native frame named by `name` (a word).

// add, subtract, multiply, or~, and~, xor~: integer! pairs in 32 bits (an overflowing add,
// subtract or multiply gives the exact float!), float! pairs in doubles. Another operation
// ends the process with runtime error 101.
Cell* math_op(MathOp op, const Cell& name, const Cell& left, const Cell& right);
// A logic! for the operations 0-6 and 9-12; integer! pairs are compared inline.
Cell* compare_op(CompareOp op, const Cell& name, const Cell& left, const Cell& right);

enum class SeriesOp : uint8_t { length_q = 1, index_q, head_q, tail_q, next, back, head, tail };
// The eight series queries and moves; a block! is served inline.
Cell* series_op(SeriesOp op, const Cell& value, const Cell& name);
// value/n: a block!'s item n counted from its index (none! below 1 or past the tail).
Cell* eval_path_index(const Cell& value, int32_t n, const Cell& name);

}  // namespace kaz::actions
