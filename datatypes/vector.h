// vector! — a series of packed machine numbers of one element type and one width.
//
// A vector cell: data1 the head index in elements, data2 the buffer node, data3 the element
// type id (char!, integer!, float! or percent!). The buffer's unit is the element width in
// bytes: 1, 2 or 4 for char! and integer!, 4 or 8 for float!, 8 for percent!. Elements lie
// packed, little-endian, from the buffer's first used byte. Integer elements are read back
// sign-extended, char elements as unsigned code points; float and percent elements are doubles
// (width 8) or single-precision floats (width 4), a percent holding its fraction (50% is 0.5).
//
// vector! is a child of string!: navigation, copy, find, pick, poke, remove, sort, take and the
// other position and byte actions are string!'s, reaching the elements through the readers
// below.
#pragma once

#include <cstdint>

#include "datatypes/actions.h"
#include "datatypes/integer.h"
#include "runtime/cell.h"
#include "runtime/memory.h"

namespace kaz::vector {

// ---- helpers ----

inline TypeId element_type(const Cell& vector) { return TypeId(vector.data3); }
inline uint32_t width_of(const Cell& vector) { return memory::buffer_of(vector.data2)->unit(); }
// The width a vector of the element type gets when none is given: 4 bytes for char! and
// integer!, 8 for float! and percent!.
constexpr uint32_t default_width(TypeId element) {
    return element == TypeId::char_ || element == TypeId::integer ? 4 : 8;
}

// Elements from the head to the tail; a head past the tail is first lowered to the tail.
uint32_t length_from_head(Cell& vector);
// Sets the tail to the head.
void clear_from_head(Cell& vector);
// Makes `c` a new empty vector with room for `count` elements (at least one) of `width` bytes.
// A byte size beyond 32 bits raises internal no-memory.
Cell& init_cell(Cell& c, uint32_t count, TypeId element, uint32_t width);
// Reserves one element at the tail and stores a 32-bit integer there (integer vectors).
void append_int32(const Cell& vector, int32_t value);

// The element at `p`: integers sign-extended to 32 bits; char elements as unsigned code points;
// floats as doubles (width 4 read as single precision).
int32_t get_int(const uint8_t* p, uint32_t width);
uint32_t get_char(const uint8_t* p, uint32_t width);
double get_float(const uint8_t* p, uint32_t width);
// The element at `p` as a value of the vector's element type.
Cell element_to_cell(const Cell& vector, const uint8_t* p);
// Stores a value at `p`: an integer! or char! truncated to the width (its low bytes), a float!
// or percent! as a double (width 8) or rounded to single precision (width 4); any other type
// raises script invalid-type. The caller checks that the value's class suits the vector.
void set_element(uint8_t* p, const Cell& value, uint32_t width);
// Appends one value, whose type must be the element type (else script invalid-arg).
void append_value(const Cell& vector, const Cell& value);
// append_value for each value of a block from its head.
void append_values(const Cell& vector, const Cell& block);
// A new block! of the elements from the head.
Cell to_block(const Cell& vector);

// One operation on two integer elements: integer! arithmetic where it fits, wrapping modulo
// 2^32 where integer! would turn to float!; division truncates. Division or remainder by zero
// raises math zero-divide, -2147483648 / -1 math overflow.
int32_t int_op(int32_t a, int32_t b, MathOp op);
// A vector and a scalar (integer!, float! or percent!; a float is truncated for char and integer
// elements), element op scalar for each element, in place from the head. Other scalar types
// raise internal not-done.
void math_scalar(MathOp op, Cell& vector, const Cell& scalar);
// The arithmetic core: argument 0 of the current frame a vector, argument 1 a scalar (in place)
// or a vector of the same element type (a new vector as long as the shorter one, at the wider
// width; neither operand changes). The result is left in argument 0.
void do_math(MathOp op);
// The same with the scalar in argument 0 and the vector in argument 1 (an integer!, char!,
// float!, percent! or time! action meeting a vector). The operands keep the vector's order,
// element op scalar, so 10 - v changes v as v - 10 does; the vector is left in argument 0.
void scalar_math(MathOp op);

// The elements' text from the head, separated by spaces; `mold` writes char elements as
// #"x". Stops once the limit is used up; returns the limit left.
int32_t mold_core(const Cell& vector, Node string, bool mold, bool all, int32_t limit);

// ---- actions ----
Cell make(const Cell& proto, const Cell& spec, TypeId type);
int32_t form(const Cell& value, Node string, const Cell* part, int32_t limit);
int32_t mold(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
             int32_t limit, int32_t indent);
int32_t compare(const Cell& a, const Cell& b, CompareOp op);
void add();
void divide();
void multiply();
void remainder();
void subtract();
void and_();
void or_();
void xor_();
Cell append(const Cell& series, const Cell& value, int32_t part, bool only, int32_t dup, bool append);
Cell change(const Cell& series, const Cell& value, int32_t part, bool only, int32_t dup, bool append);

// ---- registration ----
void init();

}  // namespace kaz::vector
