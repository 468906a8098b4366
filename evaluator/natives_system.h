// The system natives: output, memory statistics and the collector, the process environment,
// local files, waiting and the desktop.
#pragma once

#include <cstdint>

#include <span>

#include "evaluator/routines.h"
#include "runtime/cell.h"

namespace kaz::natives {

// Registers these natives in the natives table.
void init_system();
// Registers what the natives' modules keep outside series with the collector: the symbol
// table, the global context, the ownership table (weakly), the interpreter's state and the
// running lexer scans.
void register_gc_roots();

// The print core of print and prin: a block is reduced first, the value formed (a string!
// is taken as it is) and written to the console and every value print hook, with a line feed
// after it for `new_line`. Returns false when the reduction left an unwind pending.
bool print_value(const Cell& value, bool new_line);
// Whether the last text printed ended its line.
extern bool last_output_new_line;

// The routines of system/state/GC: active?, series-cycles and nodes-cycles.
std::span<const routines::Definition> collector_routines();

}  // namespace kaz::natives
