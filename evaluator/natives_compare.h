// The comparison natives: equality and order, identity, type, sign, zero, max and min.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kaz::natives {

// Registers these natives in the natives table.
void init_compare();

// The max/min core: the larger (`max`) or smaller of the current frame's first two arguments,
// left in the return slot. Pairs, points and tuples against a number or one of their own kind
// are compared component by component; everything else through the comparison core, where
// values that cannot be ordered raise script invalid-compare. Ties give the first value for
// max and the second for min.
void max_min(bool max);

}  // namespace kaz::natives
