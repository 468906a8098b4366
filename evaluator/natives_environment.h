// The environment's general routines: process exit, the current directory and file tests,
// tuple builders, counting UTF-8 characters, data-stack and call-stack inspection, standard
// output, and the hidden routines the system object's functions call.
#pragma once

#include <span>

#include "evaluator/routines.h"

namespace kaz::natives {

// The global routines of this subject, each named by its global word.
std::span<const routines::Definition> environment_routines();

// system/state/interpreted?: whether any frame from the top down was entered by the interpreter.
extern const routines::Definition kInterpretedRoutine;
// What the on-change* of system/options/float calls: sets the float module's switch named by
// the word (pretty? or full?) to the truth of the value; other words are ignored.
extern const routines::Definition kFloatSwitchRoutine;

}  // namespace kaz::natives
