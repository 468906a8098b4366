#include "runtime/heap.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/process.h"
#include "runtime/throw.h"

namespace kaz::heap {
namespace {

// In front of every block.
struct alignas(16) Header {
    Header* prev;
    Header* next;
    size_t size;
    size_t reserved;
};
static_assert(sizeof(Header) == 32);

Header* first = nullptr;
Header* last = nullptr;
size_t count = 0;

// The header of a live block, found by searching the list: a pointer that is not a live
// block (one freed already, or never ours) is never read through.
Header* live_header(const void* p) {
    if (p == nullptr) return nullptr;
    for (Header* h = last; h; h = h->prev)
        if (h + 1 == p) return h;
    return nullptr;
}

void link(Header* h, size_t size) {
    h->size = size;
    h->next = nullptr;
    h->prev = last;
    if (last) last->next = h; else first = h;
    last = h;
    ++count;
}

void unlink(Header* h) {
    if (h->prev) h->prev->next = h->next; else first = h->next;
    if (h->next) h->next->prev = h->prev; else last = h->prev;
    --count;
}

[[noreturn]] void out_of_memory(uint32_t address) { runtime::quit(94, address); }

}  // namespace

void* alloc(size_t size) {
    auto* h = static_cast<Header*>(std::malloc(size + sizeof(Header)));
    if (!h) out_of_memory(KAZ_CALLER_ADDRESS());
    link(h, size);
    return h + 1;
}

void* alloc_zeroed(size_t size) {
    void* p = alloc(size);
    std::memset(p, 0, size);
    return p;
}

void* realloc(void* p, size_t size) {
    if (p == nullptr) return alloc(size);
    if (size == 0) {
        free(p);
        return nullptr;
    }
    Header* h = live_header(p);
    if (!h) return nullptr;
    Header* prev = h->prev;
    Header* next = h->next;
    auto* moved = static_cast<Header*>(std::realloc(h, size + sizeof(Header)));
    if (!moved) out_of_memory(KAZ_CALLER_ADDRESS());
    moved->size = size;
    if (prev) prev->next = moved; else first = moved;
    if (next) next->prev = moved; else last = moved;
    return moved + 1;
}

void free(void* p) {
    Header* h = live_header(p);
    if (!h) return;
    unlink(h);
    std::free(h);
}

void free_all() {
    while (first) {
        Header* h = first;
        unlink(h);
        std::free(h);
    }
}

size_t size_of(const void* p) {
    Header* h = live_header(p);
    return h ? h->size : 0;
}

size_t block_count() { return count; }

size_t bytes_held() {
    size_t total = 0;
    for (Header* h = first; h; h = h->next) total += h->size + sizeof(Header);
    return total;
}

void dump() {
    auto line = [](const char* text) {
        platform::write_fd(1, text, std::strlen(text));
        platform::write_fd(1, "\n", 1);
    };
    line("-- Heap-allocations --");
    line("Asked   Real");
    char buf[64];
    for (Header* h = first; h; h = h->next) {
        std::snprintf(buf, sizeof buf, "%zu\t%zu", h->size, h->size + sizeof(Header));
        line(buf);
    }
    std::snprintf(buf, sizeof buf, "-- Sum: %zu --", bytes_held());
    line(buf);
}

}  // namespace kaz::heap

namespace kaz::math {

double degrees_to_radians(double degrees, int kind) {
    double a = std::fmod(degrees, 360.0);
    if (a > 180.0 || a < -180.0) a += a < 0.0 ? 360.0 : -360.0;
    if (a > 90.0 || a < -90.0) {
        if (kind == 0) a += a < 0.0 ? 180.0 : -180.0;
        else if (kind == 2) a = a >= 0.0 ? 180.0 - a : -180.0 - a;
    }
    return a * 3.141592653589793 / 180.0;
}

}  // namespace kaz::math
