#include "runtime/array.h"

#include <cstring>

#include "runtime/memory.h"

namespace kaz::array {
namespace {

SeriesBuffer* buffer(Node array) { return memory::buffer_of(array); }

// The 32-bit item n (from 1), or null when the array does not hold it.
uint8_t* word_at(Node array, uint32_t n) {
    SeriesBuffer* b = buffer(array);
    if (n < 1 || uint64_t(n) * 4 > b->used()) return nullptr;
    return b->head + size_t(n - 1) * 4;
}

uint32_t read_word(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

void append_word(Node array, uint32_t value) {
    SeriesBuffer* b = buffer(array);
    std::memcpy(series::reserve_bytes(b, 4), &value, 4);
}

int32_t find_word(Node array, uint32_t value) {
    SeriesBuffer* b = buffer(array);
    uint32_t words = b->used() / 4;
    for (uint32_t i = 0; i < words; ++i)
        if (read_word(b->head + size_t(i) * 4) == value) return int32_t(i * 4);
    return -1;
}

}  // namespace

Node make(uint32_t count, uint32_t unit) { return series::alloc_units(count, unit); }

uint32_t length(Node array) { return buffer(array)->length(); }

void clear(Node array) {
    SeriesBuffer* b = buffer(array);
    b->tail = b->head;
}

void truncate(Node array, uint32_t n) {
    SeriesBuffer* b = buffer(array);
    uint32_t keep = n == 0 ? 0 : n - 1;
    if (keep < b->length()) b->tail = b->head + size_t(keep) * b->unit();
}

uint8_t* start(Node array) { return buffer(array)->head; }

void append_byte(Node array, uint8_t value) {
    SeriesBuffer* b = buffer(array);
    *series::reserve_bytes(b, 1) = value;
}

void append_int(Node array, int32_t value) { append_word(array, uint32_t(value)); }

void append_ptr(Node array, uint32_t value) { append_word(array, value); }

uint8_t* append_bytes(Node array, const void* source, uint32_t n) {
    SeriesBuffer* b = buffer(array);
    // A source inside the array moves with it when the buffer grows: keep its offset.
    auto* from = static_cast<const uint8_t*>(source);
    bool inside = from >= b->data() && from < b->end();
    size_t offset = inside ? size_t(from - b->data()) : 0;
    uint8_t* at = series::reserve_bytes(b, n);
    if (inside) from = b->data() + offset;
    std::memmove(at, from, n);
    return at;
}

uint8_t pick_byte(Node array, uint32_t n) {
    SeriesBuffer* b = buffer(array);
    if (n < 1 || n > b->used()) return 0;
    return b->head[n - 1];
}

int32_t pick_int(Node array, uint32_t n) {
    const uint8_t* p = word_at(array, n);
    return p ? int32_t(read_word(p)) : 0;
}

uint32_t pick_ptr(Node array, uint32_t n) {
    const uint8_t* p = word_at(array, n);
    return p ? read_word(p) : 0;
}

void poke_ptr(Node array, uint32_t n, uint32_t value) {
    if (uint8_t* p = word_at(array, n)) std::memcpy(p, &value, 4);
}

void insert_int(Node array, int32_t value, uint32_t index) {
    SeriesBuffer* b = buffer(array);
    uint32_t words = b->used() / 4;
    if (index > words) index = words;
    series::reserve_bytes(b, 4);
    uint8_t* at = b->head + size_t(index) * 4;
    std::memmove(at + 4, at, size_t(words - index) * 4);
    std::memcpy(at, &value, 4);
}

int32_t find_int(Node array, int32_t value) { return find_word(array, uint32_t(value)); }

int32_t find_ptr(Node array, uint32_t value) { return find_word(array, value); }

void remove_ptr(Node array, uint32_t value) {
    int32_t at = find_word(array, value);
    if (at >= 0) remove_bytes(array, uint32_t(at), 4);
}

void remove_bytes(Node array, uint32_t offset, uint32_t n) {
    SeriesBuffer* b = buffer(array);
    uint32_t used = b->used();
    if (offset >= used) return;
    if (n > used - offset) n = used - offset;
    std::memmove(b->head + offset, b->head + offset + n, used - offset - n);
    b->tail -= n;
}

Node copy(Node array) { return series::clone_buffer(buffer(array)); }

}  // namespace kaz::array
