// The environment's routines: C++ functions made into routine! values at start-up.
#pragma once

#include "runtime/cell.h"

namespace kaz::startup {

// Registers the routines and sets their global words (before the operators made from them).
void define_routines();
// Fills the fields of the system object that hold routines or values of the build: the
// collector's routines, interpreted?, the float switches' handler, the version and the
// repository the build came from.
void fill_routine_fields();
// Gives `trace` the interpreter's tracing switch (once the tools are defined).
void fill_tool_routines();
// Binds the image codecs' encode and decode in the codec objects of system/codecs.
void fill_codecs(const Cell& codecs);

}  // namespace kaz::startup
