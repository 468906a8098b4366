// Virtual memory regions for the memory manager.
#pragma once

#include <cstddef>

namespace kaz::platform {

inline constexpr size_t kPageSize = 4096;

// Asks that the pages of a block of a few megabytes or more, not yet touched, come 2 MB at a
// time: filling 100 MB then takes 50 page faults instead of 25,600, which cost several times
// the copy of the bytes. A hint only; smaller blocks are left as they are.
void ask_for_huge_pages(void* block, size_t size);
// Reserves and commits `bytes` of zeroed read-write memory (read-write-execute with
// `executable`); null when the system refuses. With `populate` every page is made present at
// once: one system call in place of a page fault at the first touch of each page.
void* alloc_pages(size_t bytes, bool executable = false, bool populate = false);
// Returns a region from alloc_pages; false when the system refuses.
bool free_pages(void* address, size_t bytes);

// Reserves address space that is committed page by page as it is touched (the node table).
void* reserve_lazy(size_t bytes);
// Gives the pages of a range back to the system; they read as zero when touched again.
void discard_pages(void* address, size_t bytes);

// In the sanitizer build, marks a range of a region the program must not touch (free frame
// space, a buffer left behind by a move), so that a pointer kept past the move is reported where
// it is used; and gives it back. Nothing in other builds.
#if defined(KAZ_SANITIZE)
void mark_unusable(void* address, size_t bytes);
void mark_usable(void* address, size_t bytes);
#else
inline void mark_unusable(void*, size_t) {}
inline void mark_usable(void*, size_t) {}
#endif

}  // namespace kaz::platform
