// The memory manager: node handles, series buffers, and the frames they live in.
//
// Every value that needs more than a cell keeps its payload in a series buffer reached
// through a node. A node is a 32-bit handle: an index into one node table reserved once, so
// nodes never move; buffers do (the collector compacts series frames), so code keeps
// nodes, never buffer addresses, across an allocation.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/cell.h"
#include "platform/vm.h"

namespace kaz {

// The header in front of every buffer's data.
// Invariant: data() <= head <= tail <= data() + capacity.
struct SeriesBuffer {
    uint32_t flags;
    Node node;          // the owning node; 0 once a reallocation abandoned this buffer
    uint32_t capacity;  // bytes, a multiple of 16
    uint32_t reserved;
    uint8_t* head;      // first used byte
    uint8_t* tail;      // just past the last used byte

    uint8_t* data() { return reinterpret_cast<uint8_t*>(this + 1); }
    const uint8_t* data() const { return reinterpret_cast<const uint8_t*>(this + 1); }
    uint8_t* end() { return data() + capacity; }
    uint32_t unit() const { return flags & 0x1F; }
    uint32_t used() const { return uint32_t(tail - head); }
    // Units are powers of two: a shift, not a division, on this hot path.
    uint32_t length() const { return used() >> __builtin_ctz(unit()); }
    Cell* cells() { return reinterpret_cast<Cell*>(head); }
    Cell* cells_end() { return reinterpret_cast<Cell*>(tail); }
};
static_assert(sizeof(SeriesBuffer) == 32, "keeps buffer data 16-byte aligned");

namespace series_flag {
inline constexpr uint32_t unit_mask = 0x1F;
inline constexpr uint32_t context_mark = 1u << 16;  // ownership mark of contexts
inline constexpr uint32_t owned = 1u << 17;         // owned by an object; cleared on copy
inline constexpr uint32_t environment = 1u << 18;   // made while the environment loaded, or copied from such
inline constexpr uint32_t complement = 1u << 19;    // complemented bitset
inline constexpr uint32_t in_heap = 1u << 20;       // buffer lives in the tracked heap: never moves
inline constexpr uint32_t big = 1u << 24;           // buffer lives alone in a big frame
inline constexpr uint32_t pinned = 1u << 26;        // a raw pointer holds it: stays put this collection
inline constexpr uint32_t mark = 1u << 27;          // collector mark
inline constexpr uint32_t centered = 1u << 28;      // head placed in the middle at allocation
inline constexpr uint32_t fresh = 1u << 29;         // set on every allocation
inline constexpr uint32_t pad = 1u << 30;           // a 16-byte gap left by compaction, not a buffer
inline constexpr uint32_t in_use = 1u << 31;        // cleared when a reallocation abandons it
}  // namespace series_flag

// Bytes a buffer or gap takes in its series frame: the header and the data area, or 16 for a
// gap too small to hold a header.
inline size_t frame_stride(const SeriesBuffer* b) {
    return (b->flags & series_flag::pad) ? 16 : sizeof(SeriesBuffer) + b->capacity;
}

// A node frame is a range of the node table with its own free list.
struct NodeFrame {
    NodeFrame* next;
    NodeFrame* prev;
    Node first;          // handle of the frame's first node
    uint32_t capacity;   // nodes
    Node free_head;      // first free node, 0 when none
    uint32_t used;
    uint32_t created_at;      // collections done when the frame was made
    uint32_t used_at_last_gc;
    uint32_t history;         // bit 0 set when used did not change since the previous collection
    uint32_t release;         // never chosen for allocation; released at the next sweep
    uint32_t empty_sweeps;    // sweeps in a row that found the frame empty
};

// A series frame: one virtual region whose buffer area is carved in sequence.
struct SeriesFrame {
    SeriesFrame* next;
    SeriesFrame* prev;
    size_t size;         // region size in bytes, header included
    uint8_t* next_free;
    uint8_t* end;        // end of the buffer area
    bool idle;           // held nothing when the last collection began
    uint8_t* start() { return reinterpret_cast<uint8_t*>(this) + kHeaderSize; }
    static constexpr size_t kHeaderSize = 48;
};

// A big frame: one virtual region holding exactly one buffer.
struct BigFrame {
    BigFrame* next;
    uint64_t zero;
    uint64_t size;       // region size in bytes
    uint64_t reserved;
    SeriesBuffer* buffer() { return reinterpret_cast<SeriesBuffer*>(this + 1); }
};
static_assert(sizeof(BigFrame) % 16 == 0);

namespace memory {

// Flags every new buffer gets (series_flag::environment while the environment loads).
extern uint32_t allocation_flags;

inline constexpr uint32_t kNodesPerFrame = 10'000;
inline constexpr uint32_t kSeriesFrameSize = 1'048'576;
inline constexpr uint32_t kSeriesFrameCap = 2'097'152;  // largest series frame; big-buffer threshold
inline constexpr uint32_t kMinFreeInFrame = 0xCCCC;     // a frame with less room is passed over
inline constexpr uint32_t kBufferOverhead = sizeof(SeriesBuffer);

// Handles are offset from a large base so that a small count on the C++ stack is never taken
// for a node by the collector's conservative scan.
inline constexpr Node kNodeBase = 0x6E000000;
inline constexpr uint32_t kMaxNodes = 1u << 25;

struct State {
    uint64_t total;  // bytes held in virtual regions
    NodeFrame* node_first;
    NodeFrame* node_last;
    NodeFrame* node_current;
    SeriesFrame* series_first;  // list in ascending address order
    SeriesFrame* series_current;
    SeriesFrame* series_last;
    uint32_t series_frame_size;
    uint32_t next_series_frame_size;
    uint32_t cap;
    BigFrame* big_first;
};
extern State state;

// The node table: slot i holds the buffer of node kNodeBase + i. A free slot holds
// (next free node << 1) | 1; a slot handed out and not yet given a buffer holds 0.
extern uintptr_t* node_table;

void init();
void free_all();

// Regions of virtual memory, counted in state.total. Failure raises internal no-memory.
void* alloc_virtual(size_t size, bool executable = false, bool populate = false);
void free_virtual(void* address);

Node alloc_node();

// The node table's address less kNodeBase slots: a node's slot is read with no arithmetic on
// the handle but the scaling, so that optimised code keeps the handle itself (or 8 times it)
// where the collector's stack scan recognises it, never a small index it would not.
extern uintptr_t node_slots;

inline bool valid_handle(Node n) { return n - kNodeBase < kMaxNodes; }
inline SeriesBuffer* buffer_of(Node n) {
    return *reinterpret_cast<SeriesBuffer**>(node_slots + uintptr_t(n) * sizeof(uintptr_t));
}
inline void set_buffer(Node n, SeriesBuffer* b) {
    *reinterpret_cast<SeriesBuffer**>(node_slots + uintptr_t(n) * sizeof(uintptr_t)) = b;
}
// Node frames are fixed ranges of the node table: the frame of each range, null for none.
inline constexpr uint32_t kRangeCount = kMaxNodes / kNodesPerFrame;
extern NodeFrame* frame_of_range[kRangeCount];

// Inline: the collector frees every dead node through these.
inline void free_node(NodeFrame* frame, Node node) {
    node_table[node - kNodeBase] = (uintptr_t(frame->free_head) << 1) | 1;
    frame->free_head = node;
    --frame->used;
}

// The frame a node belongs to (null for a handle outside every frame). The last few handles
// below kMaxNodes make no whole frame and belong to none.
inline NodeFrame* node_frame_of(Node node) {
    if (!valid_handle(node)) return nullptr;
    uint32_t range = (node - kNodeBase) / kNodesPerFrame;
    return range < kRangeCount ? frame_of_range[range] : nullptr;
}

// True when `n` names a node in use (one that holds a buffer). Inline: the collector asks it
// of every reference it follows. Only slots of a frame are read: the table's edges of a
// released frame keep old contents.
inline bool live_node_q(Node n) {
    uint32_t i = n - kNodeBase;
    if (i >= kMaxNodes) return false;
    uint32_t range = i / kNodesPerFrame;
    if (range >= kRangeCount || !frame_of_range[range]) return false;
    uintptr_t slot = node_table[i];
    return slot != 0 && (slot & 1) == 0;
}

void fill(uint8_t* start, uint8_t* end, uint8_t byte);
void clear_words(uint32_t* first, uint32_t* last);

// Whether the allocator runs the collector when it finds no room (gc::set_enabled).
extern bool gc_enabled;
void collect_if_enabled();
// A collection at every `stress_every`-th buffer allocation (0: never): the torture switch of
// the tests, set from KAZ_GC_STRESS_EVERY.
extern uint32_t stress_every;
// The most nodes handed out at once (kMaxNodes; lowered by tests to reach it). Reaching it raises
// internal no-memory, with the last frames kept back for the code that handles the error.
extern uint32_t node_limit;

// The series whose buffers live in the tracked heap, so that the collector can free the
// unreachable ones and clear the marks of the others. An entry may name a node that has
// since moved to a frame buffer or been freed; the collector drops such entries.
struct HeapSeries {
    Node* nodes;
    uint32_t count;
    uint32_t capacity;
};
extern HeapSeries heap_series;

}  // namespace memory

namespace node_frame {
// Sweeps an empty frame survives before it is released: the allocation between two collections
// that filled it would otherwise make it again at once, page by page.
inline constexpr uint32_t kEmptySweepsKept = 4;
NodeFrame* alloc(uint32_t capacity = memory::kNodesPerFrame);
void free(NodeFrame* frame);
// After a collection: releases frames that are empty or flagged, updates the history.
void sweep();
}  // namespace node_frame

namespace series_frame {
SeriesFrame* alloc();
void free(SeriesFrame* frame);
SeriesFrame* find_room(size_t bytes);
// Adds frames until at least half of the series frames' space is free (after a collection).
void grow_after_collection();
// The first frame with room for `bytes` that also has at least kMinFreeInFrame free.
SeriesFrame* find_usable_room(size_t bytes);
}  // namespace series_frame

namespace big_frame {
SeriesBuffer* alloc(size_t bytes);
void free(SeriesBuffer* buffer);
}  // namespace big_frame

namespace series {

// A buffer of count units of `unit` bytes; offset is the head's place in bytes, -1 for the
// middle. The node word is left to the caller. May collect.
SeriesBuffer* alloc_buffer(uint32_t count, uint32_t unit, int32_t offset);
// The whole allocation, for any size and state: may collect, grow the heap, or raise.
Node alloc_general(uint32_t count, uint32_t unit, int32_t offset);
// Most buffers are small and fit in the current series frame, and the current node frame has
// a free node: those are served inline, where nothing can collect; the rest take the general
// path. Either way the result is the same buffer and node.
inline Node alloc(uint32_t count, uint32_t unit, int32_t offset = 0) {
    using namespace memory;
    constexpr uint64_t kSmall = 1u << 16;  // far below any frame size: no big buffer
    uint64_t bytes = uint64_t(count) * unit;
    SeriesFrame* f = state.series_current;
    NodeFrame* nodes = state.node_current;
    if (stress_every == 0 && bytes <= kSmall && f && nodes && nodes->free_head != 0 &&
        !nodes->release) [[likely]] {
        uint32_t capacity = (uint32_t(bytes) + 15) & ~15u;
        size_t need = size_t(capacity) + kBufferOverhead;
        if (f->next_free + need < f->end) [[likely]] {
            auto* b = reinterpret_cast<SeriesBuffer*>(f->next_free);
            platform::mark_usable(b, need);
            f->next_free += need;
            Node n = nodes->free_head;
            nodes->free_head = Node(node_table[n - kNodeBase] >> 1);
            ++nodes->used;
            b->capacity = capacity;
            b->flags = unit | series_flag::in_use | series_flag::fresh | allocation_flags;
            b->node = n;
            b->reserved = 0;
            if (offset == -1) {
                b->flags |= series_flag::centered;
                offset = int32_t(capacity / 2);
            }
            b->head = b->tail = b->data() + offset;
            set_buffer(n, b);
            return n;
        }
    }
    return alloc_general(count, unit, offset);
}
// A buffer in the tracked heap, which never moves (the root block and the stacks).
Node alloc_heap(uint32_t count, uint32_t unit, int32_t offset = 0);
Node alloc_cells(uint32_t count);
Node alloc_cells_unset(uint32_t count);
Node alloc_bytes(uint32_t size);
Node alloc_units(uint32_t count, uint32_t unit);
Node alloc_bytes_filled(uint32_t size, uint8_t byte);
void set_flags(Node node, uint32_t bits);

// Moves the series to a new buffer of `capacity` bytes (0 doubles) without copying its data;
// returns the new buffer. The old one is abandoned.
SeriesBuffer* reallocate(SeriesBuffer* buffer, uint32_t capacity);
// The same, copying the old data from its head to the end of the old data area.
SeriesBuffer* expand(SeriesBuffer* buffer, uint32_t capacity);
SeriesBuffer* expand_filled(SeriesBuffer* buffer, uint32_t capacity, uint8_t byte);
// Makes room for n more bytes at the tail, advances the tail and returns the old tail.
// `buffer` is updated when the series had to move.
uint8_t* reserve_bytes(SeriesBuffer*& buffer, uint32_t n);
// A new byte series of the same capacity and flags holding a copy of the data.
Node clone_buffer(SeriesBuffer* buffer);
// Appends a new unset! cell at the tail and returns it; may move the series.
Cell* reserve_cell(SeriesBuffer*& buffer);
// Appends n new unset! cells at the tail and returns the first; may move the series. Inline: a
// series mostly has the room, and then nothing is called.
inline Cell* reserve_cells(SeriesBuffer*& buffer, uint32_t n) {
    if (buffer->tail + size_t(n) * sizeof(Cell) > buffer->end()) [[unlikely]] {
        uint32_t at = buffer->used() / sizeof(Cell);
        for (uint32_t k = 0; k < n; ++k) reserve_cell(buffer);
        return buffer->cells() + at;
    }
    Cell* first = buffer->cells_end();
    for (uint32_t k = 0; k < n; ++k) first[k] = cell::unset();
    buffer->tail += size_t(n) * sizeof(Cell);
    return first;
}
// A new series holding `count` units copied from `start` units past the source's head; the
// ownership mark is not copied.
Node copy_range(Node source, uint32_t start, uint32_t count);

}  // namespace series

namespace memory {
// memcpy, with the short spans of most strings copied inline: a library call costs more than
// the copy itself.
inline void copy_bytes(uint8_t* to, const uint8_t* from, size_t n) {
    if (n > 16) {
        __builtin_memcpy(to, from, n);
    } else if (n >= 8) {  // two 8-byte words, overlapping when n < 16
        uint64_t a, b;
        __builtin_memcpy(&a, from, 8);
        __builtin_memcpy(&b, from + n - 8, 8);
        __builtin_memcpy(to, &a, 8);
        __builtin_memcpy(to + n - 8, &b, 8);
    } else if (n >= 4) {
        uint32_t a, b;
        __builtin_memcpy(&a, from, 4);
        __builtin_memcpy(&b, from + n - 4, 4);
        __builtin_memcpy(to, &a, 4);
        __builtin_memcpy(to + n - 4, &b, 4);
    } else if (n > 0) {
        uint8_t a = from[0], b = from[n / 2], c = from[n - 1];
        to[0] = a;
        to[n / 2] = b;
        to[n - 1] = c;
    }
}

// Fills size x count bytes from `buffer` with copies of its first `size` bytes, doubling the
// copied span each time (`append/dup`); returns buffer + size x count.
uint8_t* replicate(uint8_t* buffer, size_t size, size_t count);
}  // namespace memory

}  // namespace kaz
