// Writing text into string buffers (units of 1, 2 or 4 bytes per code point).
#pragma once

#include <string_view>

#include "runtime/cell.h"

namespace kaz::text {

// Appends ASCII text at the tail of a string series of any unit; may move its buffer.
void append_ascii(Node string, std::string_view ascii);

}  // namespace kaz::text

namespace kaz::text {

// Appends UTF-8 text at the tail of a string series, widening its unit when a code point
// needs it; returns the number of code points written. `utf8` must not lie in a series buffer.
uint32_t append_utf8(Node string, std::string_view utf8);

}  // namespace kaz::text
