// The natives table and the action-natives table: the built-in functions reached by number.
//
// Calling convention (natives and action entries alike): the arguments are the current frame's
// cells, stack::base[0], [1]...; the result is left in stack::base[0], the return slot. The
// machine arguments are one position per refinement, in spec order: -1 when the refinement is
// absent, else the index of its first argument among the frame's cells.
#pragma once

#include <cstdint>

#include "datatypes/actions.h"
#include "datatypes/function.h"
#include "runtime/cell.h"

namespace kaz::natives {

using NativeFn = void (*)(const int32_t* refinements);

inline constexpr uint32_t kSlots = native::kTableSlots;

enum Number : uint32_t {
#define KAZ_NATIVE(number, cname, ...) cname = number,
#include "evaluator/natives.def"
#undef KAZ_NATIVE
};
// The numbers in the order natives.def lists them.
inline constexpr uint32_t kNumbers[] = {
#define KAZ_NATIVE(number, ...) number,
#include "evaluator/natives.def"
#undef KAZ_NATIVE
};
static_assert(numbered_from_one(kNumbers), "natives.def numbers the natives from 1 without gaps");
inline constexpr uint32_t kNatives = uint32_t(std::size(kNumbers));
static_assert(kNatives <= kSlots);

// The function of native `number` (1-based); a native not built yet raises internal not-done.
// Inline: the interpreter makes every native call through it.
extern NativeFn table[kSlots + 1];
void not_built(const int32_t* refinements);
inline NativeFn at(uint32_t number) {
    NativeFn fn = table[number <= kSlots ? number : 0];
    return fn ? fn : not_built;
}
const char* name_of(uint32_t number);
// Installs the function of one native; the modules that build natives call it from their init.
void define(uint32_t number, NativeFn fn);
// Fills the natives table: each subject's natives (comparison, control, math, series and sets,
// system, text, PARSE).
void init();

// The checks every native makes of its refinement positions.
inline bool given(const int32_t* refinements, int i) { return refinements[i] >= 0; }

}  // namespace kaz::natives

namespace kaz::actions {

inline constexpr uint32_t kSlots = kActionCount;

// The entry function of action slot `slot` (1-based); slot 8 (set-path) has none.
extern natives::NativeFn table[kSlots + 1];
inline natives::NativeFn at(uint32_t slot) {
    natives::NativeFn fn = table[slot <= kSlots ? slot : 0];
    return fn ? fn : natives::not_built;
}
void define(uint32_t slot, natives::NativeFn fn);

}  // namespace kaz::actions
