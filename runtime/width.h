// Display width of a code point in a text console's cells.
#pragma once

#include <cstdint>

namespace kaz::text {

// 0 for code point 0 and for combining and format characters, 1 for the controls below 32
// and from 127 to 159, 2 for East Asian wide and fullwidth characters, else 1.
int char_width(uint32_t cp);
// The same where East Asian ambiguous-width characters take two cells.
int char_width_cjk(uint32_t cp);

}  // namespace kaz::text
