// The process-wide random generator behind every `random` action: a Mersenne Twister
// (MT19937) for plain draws, the operating system's cryptographic source for /secure ones.
#pragma once

#include <cstdint>

namespace kaz::random {

// The seed the generator starts from.
inline constexpr uint32_t kDefaultSeed = 19'650'218;

// Allocates the state and seeds it with kDefaultSeed. Must run before any draw.
void init();
// Restarts the sequence from `value`; the next draw regenerates the whole state first.
void seed(uint32_t value);
// The next 32-bit output (callers may take it as a signed integer).
uint32_t next();
// A 31-bit value (0 to 0x7FFFFFFF) from the cryptographic source. A source that keeps
// refusing raises internal feature-na: a failed draw is never passed off as a number.
int32_t next_secure();
// A uniform integer: 1..n for n > 0, n..-1 for n < 0, 0 for n = 0 (without drawing); for the
// smallest integer, -1 minus one raw draw. Raw draws are 31 bits, from next_secure with
// `secure`, else next() masked; draws at or above the largest multiple of |n| are redrawn.
int32_t int_(bool secure, int32_t n);

}  // namespace kaz::random
