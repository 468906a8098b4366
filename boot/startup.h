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
// Gives system/console/size the size of the terminal standard output goes to, read again for
// each line the console runs, as the terminal may have been resized. Output to a file or pipe
// leaves it alone (0x0 from the start: a console of no known width).
void take_terminal_size();

}  // namespace kaz::startup
