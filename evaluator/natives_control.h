// The control natives: conditionals, loops, functions, switch, case, do, get, set, apply and the
// control transfers.
#pragma once

#include "runtime/cell.h"

namespace kaz::natives {

// Registers the control natives in the natives table.
void init_control();

}  // namespace kaz::natives
