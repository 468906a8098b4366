// The tracked heap: every block taken from the system allocator for the runtime's own
// tables, listed so that all of them can be freed when the process ends.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kaz::heap {

// A block of `size` bytes, 16-byte aligned. The system refusing memory is fatal: runtime
// error 94 "out of memory" at the caller's address.
void* alloc(size_t size);
void* alloc_zeroed(size_t size);
// Null `p` allocates; size 0 frees and returns null; otherwise resizes, keeping the content.
void* realloc(void* p, size_t size);
// Frees a block; a pointer that is not a live tracked block is ignored (the list is searched,
// newest first: the tracked heap holds few, long-lived blocks).
void free(void* p);
// Frees every block (process exit).
void free_all();

// The requested size of a live block.
size_t size_of(const void* p);
// Number of live blocks and the bytes they take from the system (with their headers).
size_t block_count();
size_t bytes_held();

// Writes the block list: "-- Heap-allocations --", "Asked   Real", one line per block,
// then "-- Sum: <total> --".
void dump();

}  // namespace kaz::heap

namespace kaz::memory {

// (value + alignment - 1) rounded down to a multiple of the power-of-two alignment.
constexpr uint32_t align(uint32_t value, uint32_t alignment) {
    return (value + alignment - 1) & ~(alignment - 1);
}
// The next multiple strictly above a value that already is one.
constexpr uint32_t align_next(uint32_t value, uint32_t alignment) {
    return (value + alignment) & ~(alignment - 1);
}

}  // namespace kaz::memory

namespace kaz::math {

// Folds an angle in degrees into the range where the function of `kind` (0 tangent,
// 1 cosine, 2 sine) is computed most exactly, and converts it to radians.
double degrees_to_radians(double degrees, int kind);

}  // namespace kaz::math
