#include "platform/bytes.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "platform/vm.h"

namespace kaz::platform {
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
