// tuple! — 3 to 12 unsigned bytes held in the cell, written with dots (1.2.3, 255.0.0.128):
// colours, versions, IPv4 addresses. Arithmetic works byte by byte and saturates at 0 and 255.
#pragma once

#include <cstdint>

#include "datatypes/actions.h"
#include "datatypes/integer.h"
#include "runtime/cell.h"

namespace kaz::tuple {

// A tuple of `count` bytes (3 to 12) from the three data words, the first byte lowest in the
// first word.
Cell* push(uint32_t count, uint32_t data1, uint32_t data2, uint32_t data3);
// A tuple of the low bytes of `count` integers (at most 12), padded with zero bytes to 3.
Cell from_ints(uint32_t count, const int32_t* values);
// The bytes of a binary! from its position, at most 12, padded with zero bytes to 3.
Cell from_binary(const Cell& binary);
// R.G.B, or R.G.B.A when `alpha` is not -1; each component's low byte.
Cell from_colour(int32_t red, int32_t green, int32_t blue, int32_t alpha);
// True when each of its bytes is 0.
bool zero_q(const Cell& tuple);
// The arithmetic core. Argument 1 of the current frame is the tuple, or a number whose place
// it takes (the two change places; subtract and divide raise script not-related then);
// argument 2 an integer!, float!, percent! or tuple!. The result is left in argument 1.
void do_math(MathOp op);

// ---- actions ----
// make and to are one function.
Cell make(const Cell& proto, const Cell& spec, TypeId type);
void random(Cell& value, bool seed, bool secure, bool only);
int32_t form(const Cell& value, Node string, const Cell* part, int32_t limit);
int32_t mold(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
             int32_t limit, int32_t indent);
// Reads byte i; with an integer, stores it clamped to 0..255; with none, cuts the tuple
// before byte i (never below 3 bytes).
Cell eval_path(const Cell& parent, const Cell& element, const Cell* value, const PathStep& step);
// Byte by byte from the first, missing bytes counting as 0: 1.2.3 equals 1.2.3.0.
int32_t compare(const Cell& a, const Cell& b, CompareOp op);
void add();
void divide();
void multiply();
void remainder();
void subtract();
void and_();
Cell complement(const Cell& value);
void or_();
void xor_();
int32_t length_q(const Cell& tuple);
Cell pick(const Cell& tuple, int32_t index, const Cell& index_value);
// In place, over the first /part bytes; /skip swaps groups of that many bytes end for end.
void reverse(Cell& tuple, const Cell* part, const Cell* skip);

// ---- registration ----
void init();

}  // namespace kaz::tuple
