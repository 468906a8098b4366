// Writing text into string buffers (units of 1, 2 or 4 bytes per code point).
#pragma once

#include <string_view>

#include "runtime/cell.h"

namespace kaz::text {

// Appends ASCII text at the tail of a string series of any unit; may move its buffer.
void append_ascii(Node string, std::string_view ascii);

}  // namespace kaz::text
