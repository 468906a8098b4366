// The environment's general routines: process exit, the current directory and file tests,
// tuple builders, counting UTF-8 characters, data-stack and call-stack inspection, standard
// output, and the hidden routines the system object's functions call.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "evaluator/routines.h"

namespace kaz::natives {

// The global routines of this subject, each named by its global word.
std::span<const routines::Definition> environment_routines();

// A routine that takes its arguments as cells, unchecked, and leaves its result in the
// return slot.
struct CellRoutine {
    std::string name;
    std::string spec;
    routines::CellFn fn;
};
// The type predicates, in the order the environment defines them: one per datatype (is the
// value of that type?) and one per standard typeset (does the typeset the global word holds at
// the call take the value's type?).
std::vector<CellRoutine> type_predicates();

// system/state/interpreted?: whether any frame from the top down was entered by the interpreter.
extern const routines::Definition kInterpretedRoutine;
// What the on-change* of system/options/float calls: sets the float module's switch named by
// the word (pretty? or full?) to the truth of the value; other words are ignored.
extern const routines::Definition kFloatSwitchRoutine;
// What `trace` calls with a logic! value: tracing goes on or off while a trace callback is
// installed (always off without one), and stays so when the function calling it returns.
extern const routines::Definition kTracingSwitchRoutine;

}  // namespace kaz::natives
