// The environment's start-up, after the runtime boot: the natives and actions from their spec
// data, the standard typesets and words, then the environment sources in order.
#pragma once

#include "runtime/cell.h"

namespace kaz::startup {

void run();
// Puts the process command line, as one string, in system/script/args.
void set_command_line(int argc, char** argv);
// The slot of the field `name` of an object the environment sources made (system and its
// sub-objects), to fill with what only the runtime knows.
Cell* field(const Cell& object, const char* name);

}  // namespace kaz::startup
