// The natives table and the action-natives table: the built-in functions reached by number.
//
// Calling convention (natives and action entries alike): the arguments are the current frame's
// cells, stack::base[0], [1]...; the result is left in stack::base[0], the return slot. The
// machine arguments are one position per refinement, in spec order: -1 when the refinement is
// absent, else the index of its first argument among the frame's cells.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kaz::natives {

using NativeFn = void (*)(const int32_t* refinements);

inline constexpr uint32_t kSlots = 120;
inline constexpr uint32_t kNatives = 107;

enum Number : uint32_t {
#define KAZ_NATIVE(number, cname, name) cname = number,
#include "evaluator/natives.def"
#undef KAZ_NATIVE
};

// The function of native `number` (1-based); a native not built yet raises internal not-done.
NativeFn at(uint32_t number);
const char* name_of(uint32_t number);
// Fills the table (start-up).
void init();
// Installs the function of one native; the modules that build natives call it from init().
void define(uint32_t number, NativeFn fn);

// The checks every native makes of its refinement positions.
inline bool given(const int32_t* refinements, int i) { return refinements[i] >= 0; }

}  // namespace kaz::natives

namespace kaz::actions {

inline constexpr uint32_t kSlots = 62;

// The entry function of action slot `slot` (1-based); slot 8 (set-path) has none.
natives::NativeFn at(uint32_t slot);
void init();
void define(uint32_t slot, natives::NativeFn fn);

}  // namespace kaz::actions
