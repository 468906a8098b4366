// Ownership: series (and objects) held in the fields of an object with a deep-change hook are
// marked, and recorded in a table keyed by their node, so that a modifying action can tell the
// owner before and after the change.
#pragma once

#include <cstdint>

#include "runtime/cell.h"
#include "runtime/memory.h"

namespace kaz::ownership {

// The table: 1000 records of three cells (the owned value, the owner, the field word).
void init();
extern Node table;

// Marks a value (deeply for blocks and objects) as owned by `owner` through `word`.
void set_deep(const Cell& value, const Cell& owner, const Cell& word);
// set_deep, then marks the owner's context as an owner.
void set_owner(const Cell& value, const Cell& owner, const Cell& word);
void unset_deep(const Cell& value);
void unset_range(const Cell& block, uint32_t index, uint32_t count);
// The owner cell of a node, followed by the owning word's cell; null when not owned.
const Cell* owner_of(Node node);

// True when the value's series carries the ownership mark: the cheap test before notifying.
inline bool owned_q(const Cell& value) {
    Node n = is(value, TypeId::object) ? kNoNode : series_cell::node(value);
    return n && (memory::buffer_of(n)->flags & series_flag::owned) != 0;
}

// Tells the owner of a string whose case changed in place (one notice for the range).
void case_changed(const Cell& string, bool upper, int32_t index, int32_t count);

// Tells the owner of the value's series about a change: `action` is the word naming it
// (words::append before, words::appended after...), `new_value` what is put in (null: none!),
// `index` where (0-based) and `part` how many items. Returns true when a handler was called.
bool notify_change(const Cell& value, const Cell& action, const Cell* new_value, int32_t index,
                   int32_t part);

}  // namespace kaz::ownership
