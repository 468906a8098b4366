// money! — an exact decimal amount with an optional currency, written $12.50, -$3,
// USD$1'000.25 or EUR$0.99. This module makes, forms, compares and rounds amounts, runs the
// arithmetic across types and reads their fields; the digits and their arithmetic are the
// decimal engine (decimal.h), in the same namespace.
//
// Currencies: a cell's currency index is the 1-based position of its code in the block
// system/locale/currencies/list, found by the words' canonical symbols (case is ignored).
// The index is a byte: codes past the 255th cannot be given to an amount.
#pragma once

#include <cstdint>
#include <string_view>

#include "datatypes/actions.h"
#include "datatypes/decimal.h"
#include "datatypes/integer.h"
#include "runtime/cell.h"

namespace kaz::money {

inline constexpr int32_t kMaxCurrencies = 255;

// The index of the currency code named by a symbol, 0 when the list does not hold it.
uint8_t currency_index(uint32_t symbol);
// The index of a code given as text ("USD", any case), 0 when the list does not hold it.
uint8_t currency_index(std::string_view code);
// The code's word!, or none! for no currency (or for an index past the list's end).
Cell currency_word(uint8_t index);

Cell* push(bool negative, uint8_t currency, const uint8_t* digits);
// The amount of a money text (an optional sign, currency code and "$", digits with apostrophe
// separators, one point), from a string's head to its tail. False when the text is none, its
// code unknown or its amount too large.
bool from_text(const Cell& string, Cell& out);

// The arithmetic core: the operands in arguments 0 and 1, either one money! and the other an
// integer!, float!, percent! or money!; the result in argument 0. Two currencies must agree;
// the result has the right one's, else the left one's. Money divided by money is the float!
// of the quotient.
void do_math(MathOp op);

// ---- actions ----
Cell make(const Cell& proto, const Cell& spec, TypeId type);
Cell to(const Cell& proto, const Cell& spec, TypeId type);
void random(Cell& value, bool seed, bool secure, bool only);
// form groups the integer digits by three with "'" and writes system/options/money-digits
// fraction digits (2 when that is no integer!, at most 5); mold writes no groups, and all five
// fraction digits with /all. The fraction is cut, not rounded.
int32_t form(const Cell& value, Node string, const Cell* part, int32_t limit);
int32_t mold(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
             int32_t limit, int32_t indent);
Cell eval_path(const Cell& parent, const Cell& element, const Cell* value, const PathStep& step);
// By sign, then magnitude, against a money!, integer! or float!; currencies keep amounts in
// different ones unequal, refuse to order them, and sort them by code.
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
// By the last integer digit: the fraction is not looked at.
bool even_q(const Cell& value);
bool odd_q(const Cell& value);
Cell pick(const Cell& money, int32_t index, const Cell& index_value);

// ---- registration ----
void init();

}  // namespace kaz::money
