// issue! — a word written with a "#" prefix: a word cell of type issue!, bound to the global
// context (data1), naming its symbol (data2), its position not yet looked up (data3 -1).
#pragma once

#include <cstdint>

#include "datatypes/actions.h"
#include "runtime/cell.h"

namespace kaz::issue {

// Issues named by NUL-terminated UTF-8 text: in a new cell at the tail of `block`, in `c`, or
// as a value.
Cell* make_in_block(Node block, const char* name);
Cell& init_cell(Cell& c, const char* name);
Cell from_c_string(const char* name);
// Pushes the word cell as an issue!.
Cell* push(const Cell& word);

// The name read as hexadecimal, as `to integer!` reads an issue: at most 8 hex digits, else
// script invalid-data with the issue.
int32_t to_integer(const Cell& issue);

// ---- actions ----
// make and to.
Cell make(const Cell& proto, const Cell& spec, TypeId type);
int32_t mold(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
             int32_t limit, int32_t indent);
int32_t compare(const Cell& a, const Cell& b, CompareOp op);

// ---- registration ----
void init();

}  // namespace kaz::issue
