// The environment's start-up, after the runtime boot: the natives and actions from their spec
// data, the standard typesets and words, then the environment sources in order.
#pragma once

namespace kaz::startup {

void run();
// Puts the process command line, as one string, in system/script/args.
void set_command_line(int argc, char** argv);

}  // namespace kaz::startup
