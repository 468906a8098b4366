// hash! — a block whose cells are indexed by a hash table of kind hash! (data3 of the cell), so
// that searches need no linear scan. It is a block in every other respect: the block and series
// actions that change cells keep the table in step through rehash, and the actions that
// reorder cells wholesale index them again.
//
// The table indexes every cell of the buffer from index 0, not only those after the head.
#pragma once

#include <cstdint>

#include "datatypes/actions.h"
#include "runtime/cell.h"

namespace kaz::hash {

// `block` (its cells in a buffer of its own, head 0) as a hash! with a new table over it.
Cell indexed(const Cell& block);
// Indexes the cells again from position `from`; `old_total` is the cell count before a change
// that removed cells, whose positions are dropped too.
void reindex(const Cell& hash, uint32_t from, uint32_t old_total);
// Rebuilds the table of a hash! whose cells the block and series actions changed.
void rehash(const Cell& hash);

// ---- actions ----
Cell make(const Cell& proto, const Cell& spec, TypeId type);
Cell to(const Cell& proto, const Cell& spec, TypeId type);
int32_t mold(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
             int32_t limit, int32_t indent);
void copy(const Cell& value, Cell& result, const Cell* part, bool deep, const Cell* types);
Cell sort(const Cell& series, const SortOptions& options);
void trim(Cell& series, const TrimOptions& options);

// ---- registration ----
void init();

}  // namespace kaz::hash
