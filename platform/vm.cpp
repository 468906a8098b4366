#include "platform/vm.h"

#include <sys/mman.h>

#include <cstdint>

#if defined(KAZ_SANITIZE)
#include <sanitizer/asan_interface.h>
#endif

namespace kaz::platform {

void ask_for_huge_pages(void* block, size_t size) {
    constexpr size_t kHugeFrom = 4u << 20, kHuge = 2u << 20;
    if (size < kHugeFrom) return;
    uintptr_t from = (reinterpret_cast<uintptr_t>(block) + kHuge - 1) & ~(kHuge - 1);
    uintptr_t to = (reinterpret_cast<uintptr_t>(block) + size) & ~(kHuge - 1);
    // A hint only: where the system gives no huge pages, nothing changes.
    if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
}

void* alloc_pages(size_t bytes, bool executable, bool populate) {
    int prot = PROT_READ | PROT_WRITE | (executable ? PROT_EXEC : 0);
    void* p = mmap(nullptr, bytes, prot, MAP_PRIVATE | MAP_ANONYMOUS | (populate ? MAP_POPULATE : 0), -1, 0);
    if (p == MAP_FAILED) return nullptr;
    // A region of many megabytes is a big buffer (a file or a response read whole).
    ask_for_huge_pages(p, bytes);
    return p;
}

bool free_pages(void* address, size_t bytes) { return munmap(address, bytes) == 0; }

void* reserve_lazy(size_t bytes) {
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                   -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

void discard_pages(void* address, size_t bytes) {
    // Only whole pages inside the range can be given back.
    auto start = (reinterpret_cast<uintptr_t>(address) + kPageSize - 1) & ~(kPageSize - 1);
    auto end = (reinterpret_cast<uintptr_t>(address) + bytes) & ~(kPageSize - 1);
    if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTNEED);
}

#if defined(KAZ_SANITIZE)
void mark_unusable(void* address, size_t bytes) { ASAN_POISON_MEMORY_REGION(address, bytes); }
void mark_usable(void* address, size_t bytes) { ASAN_UNPOISON_MEMORY_REGION(address, bytes); }
#endif

}  // namespace kaz::platform
