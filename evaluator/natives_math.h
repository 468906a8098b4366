// The math natives: trigonometry, logarithms and roots, NaN?, and shift.
#pragma once

#include <cstdint>

#include <span>

#include "evaluator/routines.h"
#include "runtime/cell.h"

namespace kaz::natives {

// Registers these natives in the natives table.
void init_math();

// ---- numeric arguments ----

// An integer! as it is; a float! (or percent!) truncated toward zero, where a value outside
// the 32-bit range or not finite raises script type-limit naming integer!.
int32_t number_to_integer(const Cell& number);
double number_to_double(const Cell& number);
// Turns the current frame's first argument into a float! in place (an integer! converted, a
// percent! relabelled with its double kept) and returns its value.
double float_arg();

// The folding kinds of the direct functions, as the degree conversion numbers them.
enum class Trig : int { tangent = 0, cosine = 1, sine = 2 };
// The first argument as a float, in radians: converted from degrees, folded for `kind`,
// unless `radians`.
double trig_arg(bool radians, Trig kind);

enum class InverseTrig : uint32_t { arc_tangent = 0, arc_cosine = 1, arc_sine = 2 };
// The inverse function of the first argument (as a float); in degrees unless `radians`.
double inverse_trig(bool radians, InverseTrig op);

// The routines of this subject, global words: shift-right, shift-left and shift-logical.
std::span<const routines::Definition> math_routines();

}  // namespace kaz::natives
