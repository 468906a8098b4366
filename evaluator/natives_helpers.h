// The inner loops of the environment's helper functions (extract, split, replace/all): the
// language-level functions keep their specs and checks and hand the common cases to these.
#pragma once

#include <span>

#include "evaluator/routines.h"

namespace kaz::natives {

std::span<const routines::Definition> helper_routines();

}  // namespace kaz::natives
