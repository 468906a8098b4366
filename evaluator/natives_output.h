// The natives that print, compare, reduce and compose, report memory, bind words and compute
// set operations, with the small numeric predicates and converters beside them.
#pragma once

#include "runtime/cell.h"

namespace kaz::natives {

// Registers these natives in the natives table.
void init_output();

// The print core of print and prin: a block is reduced first, the value formed (a string!
// is taken as it is) and written to the console and every value print hook, with a line feed
// after it for `new_line`. Returns false when the reduction left an unwind pending.
bool print_value(const Cell& value, bool new_line);
// Whether the last text printed ended its line.
extern bool last_output_new_line;

// The max/min core: the larger (`max`) or smaller of the current frame's first two arguments,
// left in the return slot. Pairs, points and tuples against a number or one of their own kind
// are compared component by component; everything else through the comparison core, where
// values that cannot be ordered raise script invalid-compare. Ties give the first value for
// max and the second for min.
void max_min(bool max);

}  // namespace kaz::natives
