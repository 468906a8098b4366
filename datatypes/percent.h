// percent! — a float! written with a percent sign (50%, 12.5%): a child of float! that keeps
// its double (1.0 meaning 100%) and all of its arithmetic; only the text forms are its own.
// The other number types take a percent! operand wherever they take a float!, as its fraction.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kaz::percent {

inline double get(const Cell& c) { return cell::get_float(c); }
void set_return(double value);
Cell& init_cell(Cell& c, double value);
// From the double's two 32-bit halves.
Cell& init_words(Cell& c, uint32_t high, uint32_t low);
Cell* make_in_block(Node block, uint32_t high, uint32_t low);
Cell* push(double value);

// ---- actions ----
// The value times 100 in the float formatter's percent style, then "%": 0.125 is 12.5%.
int32_t form(const Cell& value, Node string, const Cell* part, int32_t limit);
int32_t mold(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
             int32_t limit, int32_t indent);

// ---- registration ----
// float! must be registered first: percent! inherits its actions.
void init();

}  // namespace kaz::percent
