// handle! — an opaque native handle (a file descriptor, a monitor, a window, a font, a text
// layout) carried as a value, so that the services and the GUI back-end can hand it through Kaz
// code. It can be shown and compared, nothing else: it cannot be made, converted or computed.
#pragma once

#include <cstdint>

#include "runtime/cell.h"
#include "runtime/compare.h"

namespace kaz::handle {

// ORDER HANDLE-KIND: the numbers are the cells' (and the text forms' names, in this order).
enum class Kind : int32_t { none = 0, fd = 1, monitor = 2, window = 3, font = 4, rich_text = 5 };

// A handle! of `kind`; `resource` names the external-resource record that releases the native
// handle when no value holds it any more (-1: none does).
Cell make(uint32_t value, Kind kind, int32_t resource = -1);

// ---- actions ----
// The handle as eight upper-case hexadecimal digits and "h".
int32_t form(const Cell& value, Node string, const Cell* part, int32_t limit);
// "handle!"; with /all "#[handle! " the form, the kind's name when it has one, and "]".
int32_t mold(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
             int32_t limit, int32_t indent);
// By the handles as signed numbers, whatever their kinds; a value of another type is unequal
// (1), never incomparable.
int32_t compare(const Cell& a, const Cell& b, CompareOp op);

// ---- registration ----
void init();

}  // namespace kaz::handle
