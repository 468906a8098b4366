// CRC-32 by carry-less multiplication: the processor's polynomial multiply folds 64 bytes of
// input a step into a 512-bit remainder, an order of magnitude faster than any table.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kaz::platform {

// Whether this processor multiplies polynomials over GF(2) (x86-64 PCLMULQDQ with SSE4.1).
// Asked once; the answer is kept.
bool has_carryless_multiply();

// Advances a CRC-32 register (the reflected polynomial 0xEDB88320, the register as the
// table-driven loop holds it: not complemented) over data[0, length). `length` must be a
// multiple of 16 and at least 64, and has_carryless_multiply() must be true.
uint32_t crc32_fold(uint32_t reg, const uint8_t* data, size_t length);

}  // namespace kaz::platform
