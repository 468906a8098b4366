#include "runtime/memory.h"

#include <algorithm>
#include <cstring>

#include "platform/vm.h"
#include "runtime/error.h"
#include "runtime/gc.h"
#include "runtime/heap.h"
#include "runtime/throw.h"

namespace kaz {
namespace memory {

State state;
uint32_t allocation_flags = 0;
uintptr_t* node_table = nullptr;
uintptr_t node_slots = 0;
bool gc_enabled = false;
uint32_t stress_every = 0;
uint32_t node_limit = kMaxNodes;
HeapSeries heap_series{};

NodeFrame* frame_of_range[kRangeCount];

namespace {

// Node frames are fixed ranges of the node table; a released range is reused.
uint32_t ranges_used = 0;       // high-water mark
uint32_t free_ranges[kRangeCount];
uint32_t free_range_count = 0;

// Every region starts with its size, so that it can be released knowing only its address.
constexpr size_t kRegionPrefix = 16;

// Node frames held back until the others run out: the code that handles the no-memory error
// (a `try`, a report) still gets nodes. Held again once a collection gave enough back.
constexpr uint32_t kReserveFrames = 2;
bool reserve_held = true;
uint32_t frames_in_use() { return ranges_used - free_range_count; }

inline uintptr_t free_slot(Node next) { return (uintptr_t(next) << 1) | 1; }

}  // namespace

void init() {
    state = State{};
    state.series_frame_size = kSeriesFrameSize;
    state.next_series_frame_size = kSeriesFrameSize;
    state.cap = kSeriesFrameCap;
    if (!node_table) {
        node_table = static_cast<uintptr_t*>(platform::reserve_lazy(size_t(kMaxNodes) * sizeof(uintptr_t)));
        if (!node_table) error::raise(ErrorId::internal_no_memory);
        node_slots = uintptr_t(node_table) - uintptr_t(kNodeBase) * sizeof(uintptr_t);
    }
    std::memset(frame_of_range, 0, sizeof frame_of_range);
    ranges_used = 0;
    free_range_count = 0;
    reserve_held = true;
    heap_series.count = 0;
}

void free_all() {
    while (state.node_first) node_frame::free(state.node_first);
    while (state.series_first) {
        SeriesFrame* f = state.series_first;
        state.series_first = f->next;
        platform::mark_usable(f->start(), size_t(f->end - f->start()));
        free_virtual(f);
    }
    while (state.big_first) {
        BigFrame* f = state.big_first;
        state.big_first = f->next;
        free_virtual(f);
    }
    state.series_current = state.series_last = nullptr;
}

void* alloc_virtual(size_t size, bool executable, bool populate) {
    size_t bytes = (size + kRegionPrefix + platform::kPageSize - 1) & ~(platform::kPageSize - 1);
    auto* region = static_cast<uint8_t*>(platform::alloc_pages(bytes, executable, populate));
    if (!region) error::raise_no_memory();
    state.total += bytes;
    *reinterpret_cast<size_t*>(region) = bytes;
    return region + kRegionPrefix;
}

void free_virtual(void* address) {
    uint8_t* region = static_cast<uint8_t*>(address) - kRegionPrefix;
    size_t bytes = *reinterpret_cast<size_t*>(region);
    state.total -= bytes;
    if (!platform::free_pages(region, bytes)) error::raise(ErrorId::internal_wrong_mem);
}

Node alloc_node() {
    NodeFrame* f = state.node_current;
    if (!f || f->free_head == 0 || f->release) {
        f = state.node_first;
        while (f && (f->free_head == 0 || f->release)) f = f->next;
        if (!f) f = node_frame::alloc();
        state.node_current = f;
    }
    Node n = f->free_head;
    f->free_head = Node(node_table[n - kNodeBase] >> 1);
    node_table[n - kNodeBase] = 0;
    ++f->used;
    return n;
}

void fill(uint8_t* start, uint8_t* end, uint8_t byte) {
    if (end > start) std::memset(start, byte, size_t(end - start));
}

void clear_words(uint32_t* first, uint32_t* last) {
    if (last > first) std::memset(first, 0, size_t(last - first) * sizeof(uint32_t));
}

void collect_if_enabled() {
    if (gc_enabled) gc::collect();
}

uint8_t* replicate(uint8_t* buffer, size_t size, size_t count) {
    size_t total = size * count;
    size_t done = count > 0 ? size : 0;
    while (done < total) {
        size_t n = done <= total - done ? done : total - done;
        std::memcpy(buffer + done, buffer, n);
        done += n;
    }
    return buffer + total;
}

}  // namespace memory

// ---- node frames ----

namespace node_frame {

NodeFrame* alloc(uint32_t capacity) {
    using namespace memory;
    if (capacity == 0 || capacity > kNodesPerFrame) capacity = kNodesPerFrame;
    uint32_t limit = std::min(node_limit / kNodesPerFrame, kRangeCount);
    if (frames_in_use() + (reserve_held ? kReserveFrames : 0) >= limit) {
        // The reserve goes to whoever handles the error; past it there is nothing left.
        reserve_held = false;
        error::raise_no_memory();
    }
    uint32_t range = free_range_count > 0 ? free_ranges[--free_range_count] : ranges_used++;
    auto* f = static_cast<NodeFrame*>(heap::alloc_zeroed(sizeof(NodeFrame)));
    f->first = kNodeBase + range * kNodesPerFrame;
    f->capacity = capacity;
    // Chain every node into the free list, first node first.
    uintptr_t* slots = node_table + (f->first - kNodeBase);
    for (uint32_t i = 0; i + 1 < capacity; ++i) slots[i] = free_slot(f->first + i + 1);
    slots[capacity - 1] = free_slot(0);
    f->free_head = f->first;
    frame_of_range[range] = f;
    state.total += uint64_t(capacity) * sizeof(uintptr_t) + sizeof(NodeFrame);

    f->prev = state.node_last;
    if (state.node_last) state.node_last->next = f;
    else state.node_first = state.node_current = f;
    state.node_last = f;
    return f;
}

void free(NodeFrame* f) {
    using namespace memory;
    if (f->prev) f->prev->next = f->next; else state.node_first = f->next;
    if (f->next) f->next->prev = f->prev; else state.node_last = f->prev;
    if (state.node_current == f) state.node_current = state.node_last;
    uint32_t range = (f->first - kNodeBase) / kNodesPerFrame;
    frame_of_range[range] = nullptr;
    free_ranges[free_range_count++] = range;
    platform::discard_pages(node_table + (f->first - kNodeBase), size_t(f->capacity) * sizeof(uintptr_t));
    state.total -= uint64_t(f->capacity) * sizeof(uintptr_t) + sizeof(NodeFrame);
    heap::free(f);
}

void sweep() {
    using namespace memory;
    NodeFrame* current = nullptr;
    for (NodeFrame* f = state.node_first; f;) {
        NodeFrame* next = f->next;
        f->empty_sweeps = f->used == 0 ? f->empty_sweeps + 1 : 0;
        if (f->empty_sweeps > kEmptySweepsKept || f->release) {
            node_frame::free(f);
        } else {
            if (!current && f->used < f->capacity) current = f;
            f->history = (f->history << 1) | (f->used == f->used_at_last_gc ? 1 : 0);
            f->used_at_last_gc = f->used;
        }
        f = next;
    }
    if (current) state.node_current = current;
    uint32_t limit = std::min(node_limit / kNodesPerFrame, kRangeCount);
    if (!reserve_held && frames_in_use() + 2 * kReserveFrames <= limit) reserve_held = true;
}

}  // namespace node_frame

// ---- series frames ----

namespace series_frame {

SeriesFrame* alloc() {
    using namespace memory;
    uint32_t size = state.next_series_frame_size;
    if (size < state.cap) state.next_series_frame_size = size * 2 > state.cap ? state.cap : size * 2;
    // A series frame is filled from its start soon after it is made: its pages are made
    // present at once rather than faulted in one by one.
    auto* f = static_cast<SeriesFrame*>(alloc_virtual(SeriesFrame::kHeaderSize + size, false, true));
    f->size = SeriesFrame::kHeaderSize + size;
    f->idle = false;
    f->next_free = f->start();
    f->end = f->start() + size;
    platform::mark_unusable(f->start(), size);

    // Keep the list in ascending address order: compaction moves buffers downwards.
    if (!state.series_first) {
        f->prev = f->next = nullptr;
        state.series_first = state.series_last = state.series_current = f;
    } else if (f < state.series_first) {
        f->prev = nullptr;
        f->next = state.series_first;
        state.series_first->prev = f;
        state.series_first = f;
    } else {
        SeriesFrame* after = state.series_first;
        while (after->next && after->next < f) after = after->next;
        f->prev = after;
        f->next = after->next;
        if (after->next) after->next->prev = f; else state.series_last = f;
        after->next = f;
    }
    return f;
}

void free(SeriesFrame* f) {
    using namespace memory;
    if (f->prev) f->prev->next = f->next; else state.series_first = f->next;
    if (f->next) f->next->prev = f->prev; else state.series_last = f->prev;
    if (state.series_current == f) state.series_current = state.series_last;
    platform::mark_usable(f->start(), size_t(f->end - f->start()));
    free_virtual(f);
}

SeriesFrame* find_room(size_t bytes) {
    for (SeriesFrame* f = memory::state.series_first; f; f = f->next)
        if (f->next_free + bytes < f->end) return f;
    return nullptr;
}

void grow_after_collection() {
    size_t size = 0, room = 0;
    for (SeriesFrame* f = memory::state.series_first; f; f = f->next) {
        size += size_t(f->end - f->start());
        room += size_t(f->end - f->next_free);
    }
    while (room * 2 < size) {
        SeriesFrame* f = alloc();
        size += size_t(f->end - f->start());
        room += size_t(f->end - f->start());
    }
}

SeriesFrame* find_usable_room(size_t bytes) {
    for (SeriesFrame* f = memory::state.series_first; f; f = f->next)
        if (f->next_free + bytes < f->end && size_t(f->end - f->next_free) >= memory::kMinFreeInFrame)
            return f;
    return nullptr;
}

}  // namespace series_frame

// ---- big frames ----

namespace big_frame {

SeriesBuffer* alloc(size_t bytes) {
    using namespace memory;
    auto* f = static_cast<BigFrame*>(alloc_virtual(sizeof(BigFrame) + bytes));
    f->next = nullptr;
    f->zero = 0;
    f->size = sizeof(BigFrame) + bytes;
    BigFrame** link = &state.big_first;
    while (*link) link = &(*link)->next;
    *link = f;
    return f->buffer();
}

void free(SeriesBuffer* buffer) {
    using namespace memory;
    auto* f = reinterpret_cast<BigFrame*>(buffer) - 1;
    for (BigFrame** link = &state.big_first; *link; link = &(*link)->next) {
        if (*link == f) {
            *link = f->next;
            free_virtual(f);
            return;
        }
    }
}

}  // namespace big_frame

// ---- series ----

namespace series {

SeriesBuffer* alloc_buffer(uint32_t count, uint32_t unit, int32_t offset) {
    using namespace memory;
    uint64_t bytes = uint64_t(count) * unit;
    if (bytes > 0xFFFF'0000ULL) error::raise(ErrorId::internal_no_memory);
    uint32_t capacity = align(uint32_t(bytes), 16);
    size_t need = size_t(capacity) + kBufferOverhead;
    // The torture switch: a collection at every stress_every-th allocation.
    static uint32_t stress_count = 0;
    if (stress_every && ++stress_count >= stress_every) [[unlikely]] {
        stress_count = 0;
        collect_if_enabled();
    }

    SeriesBuffer* b;
    uint32_t placement = 0;
    if (need >= state.cap) {
        collect_if_enabled();
        b = big_frame::alloc(need);
        placement = series_flag::big;
    } else {
        SeriesFrame* f = state.series_current;
        if (!f || f->next_free + need >= f->end) {
            // A frame nearly full is passed over whether or not a collection ran first, so a gap
            // too small to be taken never stands in for the collection.
            f = series_frame::find_usable_room(need);
            if (!f) {
                collect_if_enabled();
                // A collection that gave back little would come again after as little
                // allocation, marking the same live data each time: the heap grows instead, so
                // collections stay in proportion to what is live.
                series_frame::grow_after_collection();
                f = series_frame::find_usable_room(need);
            }
            if (!f) {
                if (need >= state.next_series_frame_size) state.next_series_frame_size = state.cap;
                f = series_frame::alloc();
            }
            state.series_current = f;
        }
        b = reinterpret_cast<SeriesBuffer*>(f->next_free);
        platform::mark_usable(b, need);
        f->next_free += need;
    }

    b->capacity = capacity;
    b->flags = unit | series_flag::in_use | placement | series_flag::fresh | memory::allocation_flags;
    b->node = 0;
    b->reserved = 0;
    if (offset == -1) {
        b->flags |= series_flag::centered;
        offset = int32_t(capacity / 2);
    }
    b->head = b->tail = b->data() + offset;
    return b;
}

namespace {
// A node for a buffer just made; when none is left, the buffer is abandoned (so that compaction
// drops it) before the error goes on.
Node node_for(SeriesBuffer* b) {
    try {
        return memory::alloc_node();
    } catch (const Throw&) {
        if (b->flags & series_flag::in_heap) heap::free(b);
        else b->flags &= ~series_flag::in_use;
        throw;
    }
}
}  // namespace

Node alloc_general(uint32_t count, uint32_t unit, int32_t offset) {
    SeriesBuffer* b = alloc_buffer(count, unit, offset);
    Node n = node_for(b);
    memory::set_buffer(n, b);
    b->node = n;
    return n;
}

Node alloc_heap(uint32_t count, uint32_t unit, int32_t offset) {
    uint32_t capacity = memory::align(count * unit, 16);
    auto* b = static_cast<SeriesBuffer*>(heap::alloc(sizeof(SeriesBuffer) + capacity));
    b->capacity = capacity;
    b->flags = unit | series_flag::in_use | series_flag::fresh | series_flag::in_heap | memory::allocation_flags;
    b->reserved = 0;
    b->head = b->tail = b->data() + offset;
    Node n = node_for(b);
    memory::set_buffer(n, b);
    b->node = n;
    memory::HeapSeries& h = memory::heap_series;
    if (h.count == h.capacity) {
        h.capacity = h.capacity ? h.capacity * 2 : 64;
        h.nodes = static_cast<Node*>(heap::realloc(h.nodes, h.capacity * sizeof(Node)));
    }
    h.nodes[h.count++] = n;
    return n;
}

Node alloc_cells(uint32_t count) { return alloc(count, 16, 0); }

Node alloc_cells_unset(uint32_t count) {
    Node n = alloc(count, 16, 0);
    SeriesBuffer* b = memory::buffer_of(n);
    auto* c = reinterpret_cast<Cell*>(b->data());
    for (uint32_t i = 0; i < b->capacity / 16; ++i) c[i] = cell::unset();
    return n;
}

Node alloc_bytes(uint32_t size) { return alloc(size == 0 ? 16 : size, 1, 0); }

Node alloc_units(uint32_t count, uint32_t unit) {
    return alloc(count == 0 ? 16 / unit : count, unit, 0);
}

Node alloc_bytes_filled(uint32_t size, uint8_t byte) {
    Node n = alloc_bytes(size);
    SeriesBuffer* b = memory::buffer_of(n);
    std::memset(b->data(), byte, b->capacity);
    return n;
}

void set_flags(Node node, uint32_t bits) { memory::buffer_of(node)->flags |= bits; }

namespace {

// Moves a series to a new buffer; returns the new buffer and the old one, found again
// through its node since making the new one may have moved it.
struct Moved {
    SeriesBuffer* fresh;
    SeriesBuffer* old;
};

Moved move_to_new_buffer(SeriesBuffer* buffer, uint32_t capacity) {
    // Doubling an empty buffer gives room for one 16-byte unit.
    if (capacity == 0) capacity = buffer->capacity ? buffer->capacity * 2 : 16;
    if (capacity < 1) error::raise(ErrorId::internal_no_memory);
    Node node = buffer->node;
    uint32_t unit = buffer->unit();
    SeriesBuffer* fresh = alloc_buffer(capacity / unit, unit, 0);
    SeriesBuffer* old = memory::buffer_of(node);
    constexpr uint32_t placement = series_flag::big | series_flag::in_heap;
    fresh->flags = (old->flags & ~placement) | (fresh->flags & placement);
    fresh->node = node;
    fresh->tail = fresh->head + old->used();
    memory::set_buffer(node, fresh);
    old->node = 0;
    old->flags &= ~series_flag::in_use;
    return {fresh, old};
}

// A buffer abandoned outside the series frames is given back at once: nothing else
// would ever free a tracked-heap buffer. One in a series frame keeps its header, which the
// collector walks, until compaction reclaims it; its data may no longer be touched.
void drop_abandoned(SeriesBuffer* old) {
    if (old->flags & series_flag::in_heap) heap::free(old);
    else if (!(old->flags & series_flag::big)) platform::mark_unusable(old->data(), old->capacity);
}

}  // namespace

SeriesBuffer* reallocate(SeriesBuffer* buffer, uint32_t capacity) {
    Moved m = move_to_new_buffer(buffer, capacity);
    drop_abandoned(m.old);
    return m.fresh;
}

SeriesBuffer* expand(SeriesBuffer* buffer, uint32_t capacity) {
    Moved m = move_to_new_buffer(buffer, capacity);
    size_t n = size_t(m.old->end() - m.old->head);
    if (n > m.fresh->capacity) n = m.fresh->capacity;
    std::memcpy(m.fresh->head, m.old->head, n);
    drop_abandoned(m.old);
    return m.fresh;
}

SeriesBuffer* expand_filled(SeriesBuffer* buffer, uint32_t capacity, uint8_t byte) {
    uint32_t old_capacity = buffer->capacity;
    SeriesBuffer* b = expand(buffer, capacity);
    if (b->capacity > old_capacity) std::memset(b->data() + old_capacity, byte, b->capacity - old_capacity);
    return b;
}

uint8_t* reserve_bytes(SeriesBuffer*& buffer, uint32_t n) {
    if (buffer->tail + n > buffer->end()) {
        uint64_t want = n > buffer->capacity ? uint64_t(n) * 2 : uint64_t(buffer->capacity) * 2;
        if (want > 0xFFFF'0000ULL) error::raise(ErrorId::internal_no_memory);
        buffer = expand(buffer, uint32_t(want));
    }
    uint8_t* old_tail = buffer->tail;
    buffer->tail += n;
    return old_tail;
}

Node clone_buffer(SeriesBuffer* buffer) {
    Node source = buffer->node;
    Node n = alloc(buffer->capacity, 1, 0);
    buffer = memory::buffer_of(source);
    SeriesBuffer* b = memory::buffer_of(n);
    constexpr uint32_t placement = series_flag::big | series_flag::in_heap;
    b->flags = (buffer->flags & ~placement) | (b->flags & placement);
    b->tail = b->head + buffer->used();
    std::memcpy(b->head, buffer->head, size_t(buffer->end() - buffer->head));
    return n;
}

Cell* reserve_cell(SeriesBuffer*& buffer) {
    if (buffer->tail + sizeof(Cell) > buffer->end()) buffer = expand(buffer, 0);
    auto* c = reinterpret_cast<Cell*>(buffer->tail);
    *c = cell::unset();
    buffer->tail += sizeof(Cell);
    return c;
}

Node copy_range(Node source, uint32_t start, uint32_t count) {
    uint32_t unit = memory::buffer_of(source)->unit();
    Node n = alloc(count, unit, 0);
    SeriesBuffer* from = memory::buffer_of(source);
    SeriesBuffer* to = memory::buffer_of(n);
    memory::copy_bytes(to->head, from->head + size_t(start) * unit, size_t(count) * unit);
    to->tail = to->head + size_t(count) * unit;
    to->flags = (from->flags & ~(series_flag::owned | series_flag::big | series_flag::in_heap)) |
                (to->flags & (series_flag::big | series_flag::in_heap));
    return n;
}

}  // namespace series
}  // namespace kaz
