// The series, set and context natives: reduce, compose, bind and in, the set operations, extend,
// construct, the new-line marker, unset, context?, as and size?.
#pragma once

#include <cstdint>

#include <span>

#include "evaluator/routines.h"
#include "runtime/cell.h"

namespace kaz::natives {

// Registers these natives in the natives table.
void init_series();

namespace series_natives {
// Reduces `block` into `out` (a block! at its tail); false when an evaluation left an unwind
// pending.
bool reduce_into(const Cell& block, const Cell& out);
}  // namespace series_natives

// The routines of this subject, global words: set-quiet and set-slot-quiet.
std::span<const routines::Definition> series_routines();

}  // namespace kaz::natives
