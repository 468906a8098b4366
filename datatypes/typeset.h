// typeset! — a set of datatypes packed as 96 bits inside one cell.
//
// The bit of type id t lies in byte t / 8 counted from the first byte of data1, under the mask
// 0x80 >> (t mod 8). Compiled argument checks read it that way: keep the layout.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "datatypes/actions.h"
#include "datatypes/integer.h"
#include "runtime/cell.h"

namespace kaz::typeset {

void clear(Cell& ts);
void init_cell(Cell& ts, uint32_t d1, uint32_t d2, uint32_t d3);
bool has_q(const Cell& ts, TypeId t);
void set_bit(Cell& ts, TypeId t);
// The typeset of an argument declared without types: every bit but unset!'s.
Cell* make_default_in_block(Node block);
// The typeset a type block of a function spec describes.
Cell* make_from_spec_in_block(Node block, const Cell& spec);
// Adds one element of a `make typeset!` block: a datatype, a typeset, or a word naming one.
void add_type(Cell& ts, const Cell& value);
// Set bits among the registered ids.
uint32_t count(const Cell& ts);
// Appends the datatype! of each member, in id order.
void to_block(const Cell& ts, Node block);
// The set core over the frame's first two arguments, result in the first: or~, and~, xor~
// and the set operations unique, union, intersect, exclude and difference.
void set_operation(MathOp op);

// The standard typesets, in the order the environment defines their words (later ones are
// unions of earlier ones).
inline constexpr std::string_view kStandardNames[] = {
    "internal!",  "external!",  "number!",       "planar!",     "any-point!", "scalar!",
    "any-word!",  "all-word!",  "any-list!",     "any-path!",   "any-block!", "any-function!",
    "any-object!", "any-string!", "series!",     "immediate!",  "default!",   "any-type!",
};
// The standard typeset of that name; nothing for another name.
std::optional<Cell> standard(std::string_view name);

// ---- actions ----
Cell make(const Cell& proto, const Cell& spec, TypeId type);
int32_t form(const Cell& value, Node string, const Cell* part, int32_t limit);
int32_t mold(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
             int32_t limit, int32_t indent);
int32_t compare(const Cell& a, const Cell& b, CompareOp op);
void and_();
Cell complement(const Cell& value);
void or_();
void xor_();
// True when the value, a datatype!, is a member.
Cell find(const Cell& ts, const Cell& value, const FindOptions& options);

void init();

}  // namespace kaz::typeset
