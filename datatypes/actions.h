// The action table: one function per action slot for each datatype.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kaz {

// The operation every compare action receives.
enum class CompareOp : uint8_t {
    equal = 0,
    not_equal = 1,
    strict_equal = 2,  // case-sensitive for text
    lesser = 3,
    lesser_or_equal = 4,
    greater = 5,
    greater_or_equal = 6,
    sort = 7,
    case_sort = 8,
    same = 9,           // identity
    match_case = 10,    // literal match: a word! matches a lit-word! of the same symbol
    match = 11,
    find = 12,          // the equality of find, select, put and remove
};
// What a compare action answers for values that cannot be compared.
inline constexpr int32_t kNotComparable = -2;

// An action that reads its arguments from the current frame and writes the return slot.
using FrameAction = void (*)();
// Appends the formed text of `value` to `string` within `limit` characters; returns the
// limit left (every writer subtracts exactly what it writes).
using FormAction = int32_t (*)(const Cell& value, Node string, const Cell* part, int32_t limit);
using MoldAction = int32_t (*)(const Cell& value, Node string, bool only, bool all, bool flat,
                               const Cell* part, int32_t limit, int32_t indent);
// -1, 0 or 1, or kNotComparable.
using CompareAction = int32_t (*)(const Cell& a, const Cell& b, CompareOp op);
// make and to: the prototype (or the datatype named), the spec, and the target type id.
using MakeAction = Cell (*)(const Cell& proto, const Cell& spec, TypeId type);
// The value with its refinements /seed, /secure, /only; the result replaces the value.
using RandomAction = void (*)(Cell& value, bool seed, bool secure, bool only);
// The value and the symbol id of the field word.
using ReflectAction = Cell (*)(const Cell& value, uint32_t field);
// The result replaces the value (negate).
using InPlaceAction = void (*)(Cell& value);
// round: the value, the /to scale (null when absent) and the flags /even, /down, /half-down,
// /floor, /ceiling, /half-ceiling; the result replaces the value.
using RoundAction = void (*)(Cell& value, const Cell* scale, bool even, bool down, bool half_down,
                             bool floor, bool ceiling, bool half_ceiling);
using PredicateAction = bool (*)(const Cell& value);
using UnaryAction = Cell (*)(const Cell& value);

// One member per action slot, in slot order: a type's table is written with designated
// initializers, which the compiler checks against this order. A member left out is an
// action the type lacks; `inherit` takes the parent's entry.
struct ActionTable {
#define KAZ_ACTION(slot, cname, name, signature) signature cname;
#include "datatypes/actions.def"
#undef KAZ_ACTION
};

inline constexpr int kActionCount = 62;
static_assert(sizeof(ActionTable) == kActionCount * sizeof(void*), "one member per action slot");

// The entry that stands for "copy the parent's entry at registration".
inline constexpr uintptr_t kInheritSentinel = ~uintptr_t(0);
struct Inherit {
    template <typename F>
    operator F*() const {
        return reinterpret_cast<F*>(kInheritSentinel);
    }
};
inline constexpr Inherit inherit{};

}  // namespace kaz
