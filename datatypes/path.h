// path!, lit-path!, set-path!, get-path! and paren!: blocks with another type id. They share
// the block! cell layout and actions and differ in their text forms: a path molds its values
// joined by "/", with a prefix or suffix per kind; a paren molds as a block between "(" and ")".
#pragma once

#include <cstdint>

#include "datatypes/actions.h"
#include "runtime/cell.h"

namespace kaz::path {

// Turns `c` into an empty path! with room for `capacity` cells (below 1 counts as 1).
Cell& init_cell(Cell& c, int32_t capacity);
// Gives the cell the type and pushes a copy of it on the data stack.
Cell* push(Cell& c);

// ---- actions ----
Cell make(const Cell& proto, const Cell& spec, TypeId type);
Cell to(const Cell& proto, const Cell& spec, TypeId type);
int32_t form(const Cell& value, Node string, const Cell* part, int32_t limit);
int32_t mold(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
             int32_t limit, int32_t indent);
void copy(const Cell& value, Cell& result, const Cell* part, bool deep, const Cell* types);

// Registers path! and its three kinds (after block!).
void init();

}  // namespace kaz::path

namespace kaz::lit_path {
Cell* push(Cell& c);
int32_t mold(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
             int32_t limit, int32_t indent);
}  // namespace kaz::lit_path

namespace kaz::set_path {
Cell* push(Cell& c);
int32_t mold(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
             int32_t limit, int32_t indent);
}  // namespace kaz::set_path

namespace kaz::get_path {
Cell* push(Cell& c);
int32_t mold(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
             int32_t limit, int32_t indent);
}  // namespace kaz::get_path

namespace kaz::paren {
Cell* push(Cell& c);
int32_t mold(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
             int32_t limit, int32_t indent);
// Registers paren! (after block!).
void init();
}  // namespace kaz::paren
