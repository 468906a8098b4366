// block! — the series of value cells on which code and data are built: its cell helpers, its
// construction, mold and form, comparison, searching, insertion, sorting and the set
// operations. paren!, the path types and hash! reuse all of it through their action tables.
//
// A block cell: data1 the head index in cells, data2 the buffer node (unit 16), data3 the
// hash table of a hash!, unused otherwise. Any allocation may move any buffer: the helpers
// that return cell addresses return addresses valid only until the next allocation.
#pragma once

#include <cstdint>
#include <optional>

#include "datatypes/actions.h"
#include "datatypes/integer.h"
#include "runtime/cell.h"

namespace kaz::block {

// ---- cell helpers ----

// Cells from the head to the tail (no clamping: 0 when the head lies past the tail).
uint32_t length_from_head(const Cell& block);
// Advances the head by one cell unless that passes the tail; answers whether the head is then
// at the tail.
bool step_next(Cell& block);
// Clamps the head to the tail and returns the head cell's address.
Cell* head_cell(Cell& block);
Cell* tail_cell(const Cell& block);
bool at_tail_q(const Cell& block);
// The cell at an absolute index from the buffer start.
Cell* cell_at(const Cell& block, uint32_t index);
void clear_from_head(const Cell& block);
void clear_from_index(const Cell& block, uint32_t index);
// Appends a copy of `value` at the tail; returns the new cell. `value` may lie in any buffer.
Cell* append_cell(const Cell& block, const Cell& value);
// Drops the last cell, if any, and clamps the head to the new tail.
void remove_last(Cell& block);
// Appends a copy of every cell of `source` from its head; returns the target.
const Cell& append_all(const Cell& target, const Cell& source);
// Inserts a copy of the value at the head (or at the buffer start); with `advance_head` the
// head moves past the new cell.
void insert_value(Cell& block, const Cell& value, bool advance_head, bool at_start);
// Inserts every cell of `source` at the target's head, advancing the head each time.
void insert_all(Cell& target, const Cell& source);
// The same on fixed cells of the current frame, for compiled code: the return slot inserted
// into or appended to `block`; the second argument appended to the block in the first.
void insert_return_value(Cell& block);
void append_return_value(const Cell& block);
void append_second_arg();
// The cell after the first cell equal to `value` (operation find), or none! when absent or
// when the match is the last cell.
Cell select_value(const Cell& block, const Cell& value);
// Removes the first cell equal to `value`, searching from the buffer start or from the head.
// Nothing when absent; else whether the removed cell lay before the head.
std::optional<bool> remove_value(Cell& block, const Cell& value, bool from_start);
// The cell after the first word of any word kind with the same symbol (`exact`) or the same
// canonical symbol; none! when absent or when the match is the last cell.
Cell select_word(const Cell& block, const Cell& word, bool exact);
// Pushes a new block of the same type holding a copy of the cells from the head (capacity at
// least 1); with `deep` every nested block! is duplicated again, and with `any_block` also every
// nested paren! and path. Returns the pushed cell.
Cell* duplicate(const Cell& block, bool deep, bool any_block);
// Turns `c` into an empty block! of `capacity` cells (below 1 counts as 1).
Cell& init_cell(Cell& c, int32_t capacity);
// The same; `fixed` takes the buffer from the tracked heap (it never moves), otherwise every
// cell of the capacity is preset to unset!.
Cell& init_cell_fixed(Cell& c, int32_t capacity, bool fixed);
// init_cell / init_cell_fixed on a new cell at the tail of `parent`, or on a spare cell when
// the parent is 0.
Cell* make_in(Node parent, int32_t capacity);
Cell* make_fixed_in(Node parent, int32_t capacity, bool fixed);
Cell* push(const Cell& block);
Cell* push_new(int32_t capacity);

// Molds the cells from the head: the loop every any-block mold shares (new-line flags,
// indentation, spaces, the cycle stack). Returns the limit left.
int32_t mold_cells(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
                   int32_t limit, int32_t indent);


// ---- actions ----
Cell make(const Cell& proto, const Cell& spec, TypeId type);
Cell to(const Cell& proto, const Cell& spec, TypeId type);
int32_t form(const Cell& value, Node string, const Cell* part, int32_t limit);
int32_t mold(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
             int32_t limit, int32_t indent);
Cell eval_path(const Cell& parent, const Cell& element, const Cell* value, const PathStep& step);
int32_t compare(const Cell& a, const Cell& b, CompareOp op);
// append and insert (the flag tells which).
Cell append(const Cell& series, const Cell& value, int32_t part, bool only, int32_t dup, bool append);
Cell change(const Cell& series, const Cell& value, int32_t part, bool only, int32_t dup, bool append);
void copy(const Cell& value, Cell& result, const Cell* part, bool deep, const Cell* types);
Cell find(const Cell& series, const Cell& value, const FindOptions& options);
Cell put(const Cell& series, const Cell& key, const Cell& value, bool case_);
Cell select(const Cell& series, const Cell& value, const FindOptions& options);
Cell sort(const Cell& series, const SortOptions& options);
void swap(Cell& series1, const Cell& series2);
Cell take(const Cell& series, const Cell* part, bool deep, bool last);
void trim(Cell& series, const TrimOptions& options);

// The set operations (unique, union, intersect, exclude, difference) on the first two
// arguments of the current frame; the result replaces the first. `skip` may be null.
void set_operation(MathOp op, bool case_, const Cell* skip);

// ---- registration ----
void init();

}  // namespace kaz::block
