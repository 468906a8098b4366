// The control natives: conditionals, loops, switch, case, do, get, set and the control
// transfers.
#pragma once

#include "runtime/cell.h"

namespace kaz::natives {

// Registers the control natives in the natives table.
void init_control();

// How `do` loads text and runs a script file; installed by the lexer and the environment.
extern Cell (*load_text)(const Cell& string);
extern void (*do_file)(const Cell& file, const Cell& args);

}  // namespace kaz::natives
