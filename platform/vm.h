// Virtual memory regions for the memory manager.
#pragma once

#include <cstddef>

namespace kaz::platform {

inline constexpr size_t kPageSize = 4096;

// Reserves and commits `bytes` of zeroed read-write memory (read-write-execute with
// `executable`); null when the system refuses.
void* alloc_pages(size_t bytes, bool executable = false);
// Returns a region from alloc_pages; false when the system refuses.
bool free_pages(void* address, size_t bytes);

// Reserves address space that is committed page by page as it is touched (the node table).
void* reserve_lazy(size_t bytes);
// Gives the pages of a range back to the system; they read as zero when touched again.
void discard_pages(void* address, size_t bytes);

}  // namespace kaz::platform
