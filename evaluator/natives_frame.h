// What a native sees of its call: its arguments are the current frame's cells from the return
// slot on (stack::base[0], [1]...), its refinements arrive as positions (-1 when absent) and
// its result goes to the return slot.
#pragma once

#include <cstdint>

#include "runtime/cell.h"
#include "runtime/memory.h"
#include "runtime/stack.h"

namespace kaz::natives {

inline Cell& arg(uint32_t i) { return stack::base[i]; }
inline void result(const Cell& v) { stack::base[0] = v; }
// The argument of refinement k, or null when the refinement is absent.
inline Cell* ref_arg(const int32_t* refs, int k) { return refs[k] >= 0 ? &stack::base[refs[k]] : nullptr; }
// Whether an evaluation the native made left an unwind to pass on.
inline bool pending() { return frame::unwinding != 0; }

inline SeriesBuffer* buffer(Node n) { return memory::buffer_of(n); }
inline uint32_t length_of(Node n) { return buffer(n)->length(); }

constexpr bool callable_q(TypeId t) {
    return t == TypeId::native || t == TypeId::action || t == TypeId::op || t == TypeId::function ||
           t == TypeId::routine;
}
// The word types but refinement!.
constexpr bool plain_word_q(TypeId t) {
    return t == TypeId::word || t == TypeId::set_word || t == TypeId::lit_word || t == TypeId::get_word;
}

// Raises script expect-arg for `value` given as the argument named `argument` of the running
// native.
[[noreturn]] void raise_expect_arg(const Cell& value, const char* argument);

}  // namespace kaz::natives
