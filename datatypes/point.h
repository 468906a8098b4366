// point2D! and point3D! — points of two or three 32-bit float coordinates held in the cell,
// written (1.5, 2.0) and (1.0, 2.0, 3.5). One family: the same actions over two or three
// coordinates; point2D! also takes the results of pair! arithmetic that leave the integers.
#pragma once

#include <cstdint>

#include "datatypes/actions.h"
#include "datatypes/integer.h"
#include "runtime/cell.h"

namespace kaz::point2d {

Cell* push(float x, float y);
Cell* make_in_block(Node block, float x, float y);
// The arithmetic core (add, subtract, multiply, divide, remainder): the point2D! in argument 1
// of the current frame with an integer!, float!, percent!, pair! or point2D! in argument 2;
// the result is left in argument 1. Division by zero gives infinities or NaN, no error.
void do_math(MathOp op);

}  // namespace kaz::point2d

namespace kaz::point3d {

Cell* push(float x, float y, float z);
Cell* make_in_block(Node block, float x, float y, float z);
// As point2D!'s core, with an integer!, float!, percent! or point3D! operand.
void do_math(MathOp op);

}  // namespace kaz::point3d

namespace kaz::point {

// ---- actions of both types ----
// make and to are one function; `type` is point2D! or point3D!.
Cell make(const Cell& proto, const Cell& spec, TypeId type);
void random(Cell& value, bool seed, bool secure, bool only);
int32_t form(const Cell& value, Node string, const Cell* part, int32_t limit);
int32_t mold(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
             int32_t limit, int32_t indent);
Cell eval_path(const Cell& parent, const Cell& element, const Cell* value, const PathStep& step);
// Equal within 10 units in the last place of a 32-bit float; a pair! is taken as a point2D!.
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
Cell pick(const Cell& point, int32_t index, const Cell& index_value);
void reverse(Cell& point, const Cell* part, const Cell* skip);

// ---- registration ----
// Registers point2D! and point3D!.
void init();

}  // namespace kaz::point
