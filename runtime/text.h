// Writing text into string buffers (units of 1, 2 or 4 bytes per code point).
#pragma once

#include <algorithm>
#include <string_view>

#include "runtime/cell.h"

namespace kaz::text {

// Appends ASCII text at the tail of a string series of any unit; may move its buffer.
void append_ascii(Node string, std::string_view ascii);

// The writers of molded and formed text: each appends ASCII text and returns `limit` lowered
// by what it wrote. write appends all of it; write_within stops at the limit.
inline int32_t write(Node string, std::string_view ascii, int32_t limit) {
    append_ascii(string, ascii);
    return limit - int32_t(ascii.size());
}
inline int32_t write_within(Node string, std::string_view ascii, int32_t limit) {
    size_t n = std::min(ascii.size(), size_t(std::max(limit, 0)));
    append_ascii(string, ascii.substr(0, n));
    return limit - int32_t(n);
}

}  // namespace kaz::text

namespace kaz::text {

// Appends UTF-8 text at the tail of a string series, widening its unit when a code point
// needs it; returns the number of code points written. `utf8` must not lie in a series buffer.
uint32_t append_utf8(Node string, std::string_view utf8);

}  // namespace kaz::text
