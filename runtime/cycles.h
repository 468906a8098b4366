// The cycle stack: the series and contexts that mold, form, binding, ownership marking and
// deep copies are visiting, so that a value containing itself is met as a marker instead of
// recursing forever. Also the small text helpers of molding.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kaz::cycles {

inline constexpr uint32_t kCapacity = 1000;

void init();
// Records a node being visited; a full stack resets itself and raises internal too-deep, so
// at most 999 entries are held.
void push(Node node);
void pop();
void pop_n(uint32_t n);
void reset();
bool find_q(Node node);
uint32_t depth();

// When the value's series (its context for an object!) is being visited, appends the
// marker molding or forming writes for it to `string`, lowers `limit` by its length and
// returns true.
bool mold_marker(const Cell& value, Node string, int32_t& limit, bool mold);

}  // namespace kaz::cycles

namespace kaz::mold {

// Appends count x four spaces to `string`; returns limit - 4 x count.
int32_t indent(Node string, int32_t count, int32_t limit);
// A line end, then the indentation of `indent` levels.
int32_t new_line(Node string, int32_t indent, int32_t limit);

}  // namespace kaz::mold
