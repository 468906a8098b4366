// The CSV codec's loops: reading a whole CSV text into rows of fields, and writing records as
// CSV lines, for the environment's load-csv and to-csv, which keep their specs and do the rest.
#pragma once

#include <span>

#include "evaluator/routines.h"

namespace kaz::csv {

std::span<const routines::Definition> routines();

}  // namespace kaz::csv
