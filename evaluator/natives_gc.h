// The collector's native and the evaluator's part of the collector's roots.
#pragma once

namespace kaz::natives {

// Registers `recycle` in the natives table (before natives::init fills the rest).
void init_gc();

// Registers with the collector what the layers above the runtime keep outside the root block:
// the symbol table, the global context, the ownership table (weakly), the interpreter's state
// and the running lexer scans. Start-up, once the ownership table exists.
void register_gc_roots();

}  // namespace kaz::natives
