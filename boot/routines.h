// The environment's routines: C++ functions made into routine! values at start-up.
#pragma once

#include "runtime/cell.h"

namespace kaz::startup {

// Registers the routines and sets their global words (before the operators made from them).
void define_routines();
// Fills the fields of system/state/GC with the collector's routines.
void fill_gc_object(const Cell& gc_object);
// Binds the image codecs' encode and decode in the codec objects of system/codecs.
void fill_codecs(const Cell& codecs);

}  // namespace kaz::startup
