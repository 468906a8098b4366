#include "runtime/resource.h"

#include <cstring>

#include "runtime/error.h"
#include "runtime/heap.h"
#include "runtime/memory.h"

namespace kaz {
namespace resource {
namespace {

struct Kind {
    const char* name;
    Release release;
};

Kind* kinds = nullptr;
uint32_t kind_count = 0;
Record* records = nullptr;
uint32_t record_capacity = 0;
int32_t live = -1;
int32_t free_list = -1;
uint32_t live_records = 0;

// Chains records [from, to) as free, ending with `after`.
void chain_free(uint32_t from, uint32_t to, int32_t after) {
    for (uint32_t i = from; i < to; ++i) {
        records[i].kind = kFreeWord;
        records[i].handle = 0;
        records[i].next = i + 1 < to ? int32_t(i + 1) : after;
    }
}

void grow() {
    uint32_t old = record_capacity;
    record_capacity *= 2;
    records = static_cast<Record*>(heap::realloc(records, record_capacity * sizeof(Record)));
    chain_free(old, record_capacity, -1);
    records[free_list].next = int32_t(old);
}

}  // namespace

void init() {
    heap::free(kinds);
    heap::free(records);
    kinds = static_cast<Kind*>(heap::alloc_zeroed(kKindCapacity * sizeof(Kind)));
    kind_count = 0;
    record_capacity = kInitialRecords;
    records = static_cast<Record*>(heap::alloc(record_capacity * sizeof(Record)));
    chain_free(0, record_capacity, -1);
    live = -1;
    free_list = 0;
    live_records = 0;
}

uint32_t register_kind(const char* name, Release release_fn) {
    if (kind_count == kKindCapacity) error::raise(ErrorId::internal_limit_hit, cell::integer(int32_t(kKindCapacity)));
    kinds[kind_count] = Kind{name, release_fn};
    return ++kind_count;
}

const char* kind_name(uint32_t kind) {
    return kind >= 1 && kind <= kind_count ? kinds[kind - 1].name : nullptr;
}

int32_t add(uintptr_t handle, uint32_t kind) {
    // The last free record is never handed out before the table has grown behind it.
    if (records[free_list].next == -1) grow();
    int32_t i = free_list;
    free_list = records[i].next;
    records[i].kind = kind & 0xFF;
    records[i].handle = handle;
    records[i].next = live;
    live = i;
    ++live_records;
    return i;
}

void release_handle(uint32_t kind_word, uintptr_t handle) {
    uint32_t kind = kind_word & 0xFF;
    if (kind < 1 || kind > kind_count || !kinds[kind - 1].release) return;
    kinds[kind - 1].release(handle);
}

void release(int32_t index) { release_handle(records[index].kind, records[index].handle); }

void set_handle(int32_t index, uintptr_t handle) {
    uintptr_t old = records[index].handle;
    records[index].handle = handle;
    if (old != handle) release_handle(records[index].kind, old);
}

void remove(int32_t index, bool release_it) {
    if (release_it) release(index);
    for (int32_t* link = &live; *link != -1; link = &records[*link].next) {
        if (*link == index) {
            *link = records[index].next;
            --live_records;
            break;
        }
    }
    records[index] = Record{kFreeWord, free_list, 0};
    free_list = index;
}

bool mark(int32_t index, uintptr_t handle) {
    Record& r = records[index];
    bool fresh = (r.kind & kMarkBit) == 0;
    r.kind |= kMarkBit;
    if (handle) r.handle = handle;
    return fresh;
}

void for_each_of_kind(uint32_t kind, void (*callback)(uintptr_t handle)) {
    for (int32_t i = live; i != -1; i = records[i].next)
        if ((records[i].kind & 0xFF) == kind) callback(records[i].handle);
}

void sweep() {
    int32_t* link = &live;
    while (*link != -1) {
        int32_t i = *link;
        Record& r = records[i];
        if (r.kind & kMarkBit) {
            r.kind &= ~kMarkBit;
            link = &r.next;
            continue;
        }
        release(i);
        *link = r.next;
        --live_records;
        r = Record{kFreeWord, free_list, 0};
        free_list = i;
    }
}

const Record& record(int32_t index) { return records[index]; }
uint32_t capacity() { return record_capacity; }
uint32_t live_count() { return live_records; }
int32_t live_head() { return live; }
int32_t free_head() { return free_list; }

}  // namespace resource

// ---- print hooks ----

namespace print_hooks {
namespace {

template <typename Hook>
struct HookList {
    Hook* items = nullptr;
    uint32_t count = 0;
    uint32_t capacity = 0;

    void init() {
        heap::free(items);
        capacity = 5;
        count = 0;
        items = static_cast<Hook*>(heap::alloc(capacity * sizeof(Hook)));
    }
    void add(Hook h) {
        if (count == capacity) {
            capacity += 5;
            items = static_cast<Hook*>(heap::realloc(items, capacity * sizeof(Hook)));
        }
        items[count++] = h;
    }
    void remove(Hook h) {
        for (uint32_t i = 0; i < count; ++i) {
            if (items[i] == h) {
                std::memmove(items + i, items + i + 1, (count - i - 1) * sizeof(Hook));
                --count;
                return;
            }
        }
    }
};

HookList<ValueHook> value_hooks;
HookList<TextHook> text_hooks;
bool is_ready = false;

}  // namespace

void init() {
    value_hooks.init();
    text_hooks.init();
    is_ready = true;
}

bool ready() { return is_ready; }

void add(ValueHook value, TextHook text) {
    if (value) value_hooks.add(value);
    if (text) text_hooks.add(text);
}

void remove(ValueHook value, TextHook text) {
    if (value) value_hooks.remove(value);
    if (text) text_hooks.remove(text);
}

// A hook may add or remove hooks while it runs: the count is read again at every step.
void call_value(const Cell& string, bool new_line) {
    for (uint32_t i = 0; i < value_hooks.count; ++i) value_hooks.items[i](string, new_line);
}

void call_text(const char* text, size_t length, int flag) {
    for (uint32_t i = 0; i < text_hooks.count; ++i) text_hooks.items[i](text, length, flag);
}

uint32_t value_count() { return value_hooks.count; }
uint32_t text_count() { return text_hooks.count; }

}  // namespace print_hooks

// ---- value slots ----

namespace value_slots {

Node block = kNoNode;

namespace {

int32_t free_head = -1;

SeriesBuffer* buffer() { return memory::buffer_of(block); }
uint32_t slot_capacity() { return buffer()->capacity / sizeof(Cell); }

void chain_free(uint32_t start) {
    SeriesBuffer* b = buffer();
    auto* cells = reinterpret_cast<Cell*>(b->data());
    uint32_t cap = slot_capacity();
    for (uint32_t i = start; i < cap; ++i)
        cells[i] = cell::make(TypeId::integer, 0, i + 1 < cap ? i + 1 : uint32_t(-1));
    free_head = int32_t(start);
    b->head = b->data();
    b->tail = b->data() + size_t(cap) * sizeof(Cell);
}

}  // namespace

void init() {
    block = series::alloc_cells(kInitialCapacity);
    chain_free(0);
}

uint32_t store(const Cell& value) {
    Cell copy = value;
    if (free_head == -1) {
        uint32_t old = slot_capacity();
        SeriesBuffer* b = series::expand(buffer(), old * 2 * sizeof(Cell));
        (void)b;
        chain_free(old);
    }
    auto* cells = reinterpret_cast<Cell*>(buffer()->data());
    int32_t slot = free_head;
    free_head = int32_t(cells[slot].data2);
    cells[slot] = copy;
    return uint32_t(slot) + 1;
}

Cell* cell_at(uint32_t slot) { return reinterpret_cast<Cell*>(buffer()->data()) + (slot - 1); }

void release(uint32_t slot) {
    if (slot == 0) return;
    Cell* c = cell_at(slot);
    *c = cell::make(TypeId::integer, 0, uint32_t(free_head));
    free_head = int32_t(slot - 1);
}

uint32_t capacity() { return slot_capacity(); }

}  // namespace value_slots
}  // namespace kaz
