#include "platform/bytes.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace kaz::platform {
namespace {

// From a few megabytes on.
constexpr size_t kHugeFrom = 4u << 20;

}  // namespace

void ask_for_huge_pages(void* block, size_t size) {
    if (size < kHugeFrom) return;
    constexpr uintptr_t kHuge = 2u << 20;
    uintptr_t from = (reinterpret_cast<uintptr_t>(block) + kHuge - 1) & ~(kHuge - 1);
    uintptr_t to = (reinterpret_cast<uintptr_t>(block) + size) & ~(kHuge - 1);
    // A hint only: where the system gives no huge pages, nothing changes.
    if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
}

Bytes& Bytes::operator=(Bytes&& other) noexcept {
    if (this != &other) {
        std::free(data_);
        data_ = other.data_;
        size_ = other.size_;
        capacity_ = other.capacity_;
        other.data_ = nullptr;
        other.size_ = other.capacity_ = 0;
    }
    return *this;
}

Bytes::~Bytes() { std::free(data_); }

char* Bytes::room(size_t n) {
    if (capacity_ - size_ < n) {
        size_t capacity = std::max(capacity_ * 2, size_ + n);
        // Large blocks are mapped pages: growing them remaps the pages, it copies no byte.
        auto* grown = static_cast<char*>(std::realloc(data_, capacity));
        if (!grown) return nullptr;
        data_ = grown;
        capacity_ = capacity;
        ask_for_huge_pages(grown, capacity);
    }
    return data_ + size_;
}

}  // namespace kaz::platform
