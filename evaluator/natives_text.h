// The text natives: case, percent and base encodings, hexadecimal, and transcode.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kaz::natives {

// Registers these natives in the natives table.
void init_text();

}  // namespace kaz::natives
