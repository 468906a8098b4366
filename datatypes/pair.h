// pair! — two 32-bit integers held in the cell, written 10x20: sizes, offsets, dimensions.
// Arithmetic that leaves the integers (a fractional factor, an overflow, an inexact division)
// goes over to point2D!, the pair's floating-point twin.
#pragma once

#include <cstdint>

#include "datatypes/actions.h"
#include "datatypes/integer.h"
#include "runtime/cell.h"

namespace kaz::pair {

Cell* push(int32_t x, int32_t y);
Cell* make_in_block(Node block, int32_t x, int32_t y);
// Turns the pair in argument `index` (0 or 1) of the current frame into a point2D! of the
// same coordinates as 32-bit floats, in place.
void to_point2D(uint32_t index);
// The arithmetic core: the pair in argument 1 of the current frame with an integer!, float!,
// percent!, pair! or point2D! in argument 2; the result (a pair!, or a point2D! when the
// integers do not hold it) is left in argument 1.
void do_math(MathOp op);

// ---- actions ----
// make and to are one function.
Cell make(const Cell& proto, const Cell& spec, TypeId type);
void random(Cell& value, bool seed, bool secure, bool only);
int32_t form(const Cell& value, Node string, const Cell* part, int32_t limit);
int32_t mold(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
             int32_t limit, int32_t indent);
// Reads x or y; with a value, sets it in the pair the path reached and answers the value.
Cell eval_path(const Cell& parent, const Cell& element, const Cell* value, const PathStep& step);
int32_t compare(const Cell& a, const Cell& b, CompareOp op);
void absolute();
void add();
void divide();
void multiply();
void negate(Cell& value);
void remainder();
void round(Cell& value, const Cell* scale, bool even, bool down, bool half_down, bool floor,
           bool ceiling, bool half_ceiling);
void subtract();
void and_();
void or_();
void xor_();
Cell pick(const Cell& pair, int32_t index, const Cell& index_value);
void reverse(Cell& pair, const Cell* part, const Cell* skip);

// ---- registration ----
void init();

}  // namespace kaz::pair
