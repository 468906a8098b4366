// char! — one Unicode code point (0 to 0x10FFFF in data2). An integer-like scalar whose own
// arithmetic keeps its result a code point; random, absolute, even? and odd? come from integer!.
#pragma once

#include <cstdint>

#include "datatypes/actions.h"
#include "datatypes/integer.h"
#include "runtime/cell.h"

namespace kaz::char_ {

constexpr uint32_t kMaxCodePoint = 0x10FFFF;

constexpr Cell cell_of(uint32_t cp) { return cell::make(TypeId::char_, 0, cp, 0); }
Cell* make_in_block(Node block, uint32_t cp);
Cell* push(uint32_t cp);

// The arithmetic core: the char! in argument 0 of the current frame with the char!, integer!
// or float! in argument 1 (a vector! hands the operation to vector!); the result, which must be
// a code point, replaces argument 0.
void math_op(MathOp op);


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

// ---- registration ----
void init();

}  // namespace kaz::char_
