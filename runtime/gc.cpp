#include "runtime/gc.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "runtime/hashtable.h"
#include "runtime/heap.h"
#include "runtime/memory.h"
#include "runtime/resource.h"
#include "runtime/stack.h"
#include "platform/os.h"
#include "platform/vm.h"

namespace kaz::gc {

Counters counters;

namespace {

using memory::buffer_of;
using memory::live_node_q;
namespace flag = series_flag;

// A growable array in the tracked heap, for the collector's own lists: allocating a series
// while collecting is not possible.
template <typename T>
struct List {
    T* items = nullptr;
    uint32_t count = 0;
    uint32_t capacity = 0;

    void reserve(uint32_t n) {
        if (n <= capacity) return;
        uint32_t c = capacity ? capacity : 64;
        while (c < n) c *= 2;
        items = static_cast<T*>(heap::realloc(items, size_t(c) * sizeof(T)));
        capacity = c;
    }
    void push(const T& item) {
        if (count == capacity) reserve(count + 1);
        items[count++] = item;
    }
    T* begin() { return items; }
    T* end() { return items + count; }
};

struct RootEntry {
    Node node;
    Root kind;
};

// A series whose cells still have to be marked; `min_bytes` makes the scan reach that far
// past the head even when the tail is nearer (the values of a context).
struct Work {
    Node node;
    uint32_t min_bytes;
};

// An address range the conservative scan recognises.
enum class RegionKind : uint8_t { series_frame, big_frame, heap_buffer, node_table };
struct Region {
    uintptr_t low;
    uintptr_t high;  // inclusive: a pointer just past a buffer's data still holds the buffer
    RegionKind kind;
    void* where;
};

Stats statistics;
bool in_collection = false;
const uint8_t* stack_high = nullptr;
Node ownership = kNoNode;
uint64_t newly_marked = 0;

List<RootEntry> roots;
// The mark callbacks in registration order (room for 100 at start), grown when full.
List<MarkCallback> callbacks;
List<Work> work;
List<Node> found_nodes;
List<uintptr_t> found_addresses;
List<Region> regions;
uintptr_t regions_low = 0, regions_high = 0;

// The buffer of a live node, or null: live_node_q and buffer_of in one read of the node's slot.
inline SeriesBuffer* live_buffer(Node n) {
    uint32_t i = n - memory::kNodeBase;
    uint32_t range = i / memory::kNodesPerFrame;
    if (i >= memory::kMaxNodes || range >= memory::kRangeCount || !memory::frame_of_range[range])
        return nullptr;
    uintptr_t slot = memory::node_table[i];
    return (slot & 1) ? nullptr : reinterpret_cast<SeriesBuffer*>(slot);
}
inline bool marked_q(Node n) {
    SeriesBuffer* b = live_buffer(n);
    return b && (b->flags & flag::mark);
}

// The mark of one series, inline for the loops that mark many (mark_series is the same).
inline bool mark_one(Node node) {
    SeriesBuffer* b = live_buffer(node);
    if (!b || (b->flags & flag::mark)) return false;
    b->flags |= flag::mark;
    ++newly_marked;
    return true;
}

// mark_block, inline: the series marked, and its cells queued when it holds cells.
inline void mark_block_inline(Node node) {
    SeriesBuffer* b = live_buffer(node);
    if (!b || (b->flags & flag::mark)) return;
    b->flags |= flag::mark;
    ++newly_marked;
    if (b->unit() == sizeof(Cell)) work.push(Work{node, 0});
}

// By type id; ids past the registered ones name nothing.
CellRefs type_refs[256];
// By type id, the same told in one byte for the marking loop: 0 when a cell of the type names
// nothing (numbers, logic, none... passed over at once); else bit w (0-2) when word w+1 names a
// series, bit 3+w when it names a block, and kMarkInFull when the type has a visit function or
// names a table, which take the whole description.
uint8_t type_marks[256];
constexpr uint8_t kMarkInFull = 1u << 6;

// A hash table record: 40 bytes in a byte series of its own, whose arrays are live series.
// Checked before a table is walked, so that a value found by the conservative scan that only
// looks like a reference to a table is never followed as one.
bool looks_like_table(Node n) {
    SeriesBuffer* b = live_buffer(n);
    if (!b || b->unit() != 1 || b->capacity < sizeof(hashtable::Table) ||
        b->used() != sizeof(hashtable::Table))
        return false;
    hashtable::Table t;
    std::memcpy(&t, b->head, sizeof t);
    if (t.kind > hashtable::kOwnership || t.buckets < 4 || (t.buckets & (t.buckets - 1)) != 0)
        return false;
    if (!live_node_q(t.slots) || !live_node_q(t.block)) return false;
    if (t.kind == hashtable::kHash) return live_node_q(t.index) && live_node_q(t.chain);
    if (t.kind >= hashtable::kIntegers) return t.index >= 16 && t.index % 16 == 0;
    return true;
}

void push_work(Node n, uint32_t min_bytes) { work.push(Work{n, min_bytes}); }

// The values of a context: every slot up to the word count is marked, even when the values
// series was shortened (through the block reflection returns), so that no field goes unmarked.
void mark_values(Node values, Node words_table) {
    uint32_t words = 0;
    if (looks_like_table(words_table)) words = buffer_of(hashtable::record(words_table).block)->length();
    bool fresh = mark_series(values);
    SeriesBuffer* b = live_buffer(values);
    if (!b || b->unit() != sizeof(Cell)) return;
    uint32_t want = words * uint32_t(sizeof(Cell));
    if (fresh || want > b->used()) push_work(values, want);
}

// The ownership table's record, arrays and block, not the records' cells: those are marked
// only for the records whose series and owner were reached another way.
void mark_ownership_weakly() {
    if (!looks_like_table(ownership)) return;
    mark_series(ownership);
    const hashtable::Table& t = hashtable::record(ownership);
    mark_series(t.slots);
    mark_series(t.block);
}

// Marks what a series found by the scan reaches: its cells, or a table's parts.
void mark_found(Node n) {
    SeriesBuffer* b = live_buffer(n);
    if (!b) return;
    if (b->unit() == sizeof(Cell)) mark_block(n);
    else if (looks_like_table(n)) mark_table(n);
    else mark_series(n);
}

// A cell's references described by its type: reported to the visitor, or each word given to
// `each` with its kind (the marker's and the heap checker's walks).
template <void (*each)(Ref, Node)>
inline void walk_refs(const Cell& c, const CellRefs& r, const RefVisitor& visitor) {
    if (r.visit) return r.visit(c, visitor);
    each(r.data1, c.data1);
    each(r.data2, c.data2);
    each(r.data3, c.data3);
}

inline void mark_ref(Ref kind, Node n) {
    if (kind == Ref::none) return;
    switch (kind) {
        case Ref::none: break;
        case Ref::series: case Ref::series_opt: mark_one(n); break;
        case Ref::block: case Ref::block_opt: mark_block_inline(n); break;
        case Ref::table: mark_table(n); break;
    }
}

const RefVisitor kMarker{
    [](Node n) { mark_series(n); },
    [](Node n) { mark_block(n); },
    [](Node n) { mark_table(n); },
    mark_values,
    [](int32_t index) {
        if (index >= 0 && uint32_t(index) < resource::capacity() &&
            !(resource::record(index).kind & resource::kFreeWord))
            resource::mark(index, 0);
    },
};


// What mark_cell does, inline for the loop over a block's cells.
inline void mark_cell_inline(const Cell& c) {
    size_t type = size_t(type_of(c));
    uint32_t m = type_marks[type];
    if (m == 0) return;
    if (m & kMarkInFull) [[unlikely]] return walk_refs<mark_ref>(c, type_refs[type], kMarker);
    // The shapes most cells have, each marked with no test of the other words: text (its
    // buffer and an optional cache), a block, a word (its optional context).
    switch (m) {
        case 2 | 4:
            mark_one(c.data2);
            if (c.data3) mark_one(c.data3);
            return;
        case 16: mark_block_inline(c.data2); return;
        case 8:
            if (c.data1) mark_block_inline(c.data1);
            return;
        default: break;
    }
    // An optional word holding 0 names no live node: marking it does nothing.
    if (m & 1) mark_one(c.data1);
    if (m & 2) mark_one(c.data2);
    if (m & 4) mark_one(c.data3);
    if (m & 8) mark_block_inline(c.data1);
    if (m & 16) mark_block_inline(c.data2);
    if (m & 32) mark_block_inline(c.data3);
}

void drain() {
    Node word_context = 0;  // the context the last word named, marked already
    while (work.count > 0) {
        Work w = work.items[--work.count];
        SeriesBuffer* b = buffer_of(w.node);
        uint8_t* first = b->head;
        uint8_t* last = b->tail;
        if (first < b->data() || first > b->end()) continue;
        if (last < first || last > b->end()) last = first;
        if (w.min_bytes > uint32_t(last - first))
            last = first + std::min<size_t>(w.min_bytes, size_t(b->end() - first));
        for (const uint8_t* p = first; p + sizeof(Cell) <= last; p += sizeof(Cell)) {
            Cell c;
            std::memcpy(&c, p, sizeof c);
            // The words of a body mostly name one context after another: one marked already
            // in this collection needs no second look.
            if (type_marks[size_t(type_of(c))] == 8) {
                if (c.data1 != word_context && c.data1) {
                    mark_block_inline(c.data1);
                    word_context = c.data1;
                }
                continue;
            }
            mark_cell_inline(c);
        }
    }
}

// ---- the roots ----

void mark_registered_roots() {
    for (const RootEntry& r : roots) {
        switch (r.kind) {
            case Root::series: mark_series(r.node); break;
            case Root::block: mark_block(r.node); break;
            case Root::table: mark_table(r.node); break;
        }
    }
}

void run_mark_callbacks() {
    for (uint32_t i = 0; i < callbacks.count; ++i)
        if (callbacks.items[i]) callbacks.items[i]();
}

void mark_data_stack() {
    if (stack::ready()) mark_cells(stack::data_begin, stack::data_top);
}

void mark_call_frames() {
    if (stack::ready()) frame::gc_mark();
}

// The precise roots, one line each. Resource records hold native handles, not values: they are
// marked through the handle! and image! values that name them, and swept afterwards.
void mark_roots() {
    mark_registered_roots();         // the root block, the symbol table, the global context
    mark_data_stack();               // every value from the data stack's begin to its top
    mark_call_frames();              // each call's word context, function context, saved values
    mark_block(value_slots::block);  // values that native windows refer to by number
    mark_ownership_weakly();         // the ownership table's parts, not its records
    run_mark_callbacks();            // the interpreter's state, running lexer scans, modules
}

// Records of the ownership table whose series and owner were both reached keep their cells
// (the owned value, the owner, the field word); marking them may reach further records' keys,
// so this repeats until nothing new is marked.
void keep_reached_ownership_records() {
    if (!looks_like_table(ownership)) return;
    uint64_t before;
    do {
        before = newly_marked;
        const hashtable::Table& t = hashtable::record(ownership);
        SeriesBuffer* b = buffer_of(t.block);
        uint32_t size = t.index;
        for (uint32_t offset = 0; uint64_t(offset) + size <= b->used(); offset += size) {
            const Cell* r = reinterpret_cast<const Cell*>(b->head + offset);
            if (r->header != uint32_t(TypeId::unset) || !marked_q(r->data1)) continue;
            if (size >= 3 * sizeof(Cell)) {
                TypeId owner_type = type_of(r[2]);
                bool object = owner_type == TypeId::object || owner_type == TypeId::error ||
                              owner_type == TypeId::port;
                Node owner = object ? r[2].data1 : r[2].data2;
                if (live_node_q(owner) && !marked_q(owner)) continue;
            }
            mark_cells(r + 1, r + size / sizeof(Cell));
        }
        drain();
    } while (newly_marked != before);
}

// A dropped record's value cells still name series that are about to be freed; they are reset
// so that nothing reads a freed node through them.
void clear_dropped_ownership_records() {
    if (!looks_like_table(ownership)) return;
    const hashtable::Table& t = hashtable::record(ownership);
    SeriesBuffer* b = buffer_of(t.block);
    uint32_t size = t.index;
    for (uint32_t offset = 0; uint64_t(offset) + size <= b->used(); offset += size) {
        Cell* r = reinterpret_cast<Cell*>(b->head + offset);
        if (r->header != 0) continue;
        for (uint32_t k = 1; k < size / sizeof(Cell); ++k) r[k] = cell::unset();
    }
}

// ---- the conservative scan ----

void add_region(uintptr_t low, uintptr_t high, RegionKind kind, void* where) {
    regions.push(Region{low, high, kind, where});
}

void build_regions() {
    regions.count = 0;
    using memory::state;
    for (SeriesFrame* f = state.series_first; f; f = f->next)
        add_region(uintptr_t(f->start()), uintptr_t(f->next_free), RegionKind::series_frame, f);
    for (BigFrame* f = state.big_first; f; f = f->next) {
        SeriesBuffer* b = f->buffer();
        add_region(uintptr_t(f), uintptr_t(b->end()), RegionKind::big_frame, b);
    }
    for (uint32_t i = 0; i < memory::heap_series.count; ++i) {
        SeriesBuffer* b = live_buffer(memory::heap_series.nodes[i]);
        if (b && (b->flags & flag::in_heap))
            add_region(uintptr_t(b), uintptr_t(b->end()), RegionKind::heap_buffer, b);
    }
    if (memory::node_table)
        add_region(uintptr_t(memory::node_table),
                   uintptr_t(memory::node_table + memory::kMaxNodes) - 1, RegionKind::node_table, nullptr);
    std::sort(regions.begin(), regions.end(), [](const Region& a, const Region& b) { return a.low < b.low; });
    regions_low = regions.count ? regions.items[0].low : 1;
    regions_high = 0;
    for (const Region& r : regions) regions_high = std::max(regions_high, r.high);
}

// Reads every aligned word from this function's frame up to the recorded high end of the
// stack: the 4-byte halves as node handles, the 8-byte words as addresses. Uninstrumented:
// the words read include the sanitizer's poisoned zones between locals.
__attribute__((noinline, no_sanitize("address"))) void scan_stack_words() {
    auto* p = static_cast<const uint8_t*>(__builtin_frame_address(0));
    p = reinterpret_cast<const uint8_t*>((uintptr_t(p) + 7) & ~uintptr_t(7));
    const uint8_t* high = stack_high;
    const uintptr_t low_address = uintptr_t(p), high_address = uintptr_t(high);
    for (; p + 8 <= high; p += 8) {
        uint64_t w;
        __builtin_memcpy(&w, p, sizeof w);
        uint32_t low_half = uint32_t(w), high_half = uint32_t(w >> 32);
        if (memory::valid_handle(low_half)) found_nodes.push(low_half);
        if (memory::valid_handle(high_half)) found_nodes.push(high_half);
        // A handle scaled to a slot offset, as optimised code keeps it to read the node table.
        if ((w & 7) == 0 && (w >> 35) == 0 && memory::valid_handle(uint32_t(w >> 3)))
            found_nodes.push(uint32_t(w >> 3));
        // Words pointing into the stack itself are frame links and locals' addresses.
        if (w >= 0x10000 && (w < low_address || w > high_address)) found_addresses.push(uintptr_t(w));
    }
}

// Spills the callee-saved registers into this frame, which lies within the scanned range.
__attribute__((noinline)) void scan_stack_and_registers() {
    __builtin_unwind_init();
    scan_stack_words();
}

size_t stride_at(const uint8_t* at) { return frame_stride(reinterpret_cast<const SeriesBuffer*>(at)); }

void pin(SeriesBuffer* b) {
    if (!(b->flags & flag::pinned)) ++statistics.buffers_pinned;
    b->flags |= flag::pinned;
    if ((b->flags & (flag::in_use | flag::pad)) == flag::in_use && live_node_q(b->node) &&
        buffer_of(b->node) == b)
        mark_found(b->node);
}

const Region* region_of(uintptr_t p) {
    const Region* first = regions.begin();
    const Region* last = regions.end();
    const Region* r =
        std::upper_bound(first, last, p, [](uintptr_t v, const Region& x) { return v < x.low; });
    if (r == first) return nullptr;
    --r;
    return p <= r->high ? r : nullptr;
}

// Marks what the scanned words name. Addresses are sorted, so that the ones inside one series
// frame are resolved in a single walk over its buffers.
void mark_found_words() {
    for (Node n : found_nodes) mark_found(n);
    uint32_t kept = 0;
    for (uintptr_t p : found_addresses)
        if (p >= regions_low && p <= regions_high) found_addresses.items[kept++] = p;
    found_addresses.count = kept;
    std::sort(found_addresses.begin(), found_addresses.end());
    uint32_t i = 0, n = found_addresses.count;
    const uintptr_t* a = found_addresses.items;
    while (i < n) {
        const Region* r = region_of(a[i]);
        if (!r) {
            ++i;
            continue;
        }
        switch (r->kind) {
            case RegionKind::series_frame: {
                auto* f = static_cast<SeriesFrame*>(r->where);
                uint8_t* cur = f->start();
                uint8_t* prev = nullptr;
                for (; i < n && a[i] <= r->high; ++i) {
                    uintptr_t p = a[i];
                    while (cur < f->next_free && uintptr_t(cur + stride_at(cur)) <= p) {
                        prev = cur;
                        cur += stride_at(cur);
                    }
                    if (cur < f->next_free) pin(reinterpret_cast<SeriesBuffer*>(cur));
                    // A pointer at a buffer's start is also the end pointer of the one before.
                    if (prev && p == uintptr_t(cur)) pin(reinterpret_cast<SeriesBuffer*>(prev));
                }
                break;
            }
            case RegionKind::big_frame:
            case RegionKind::heap_buffer: {
                auto* b = static_cast<SeriesBuffer*>(r->where);
                mark_found(b->node);
                for (; i < n && a[i] <= r->high; ++i) {}
                break;
            }
            case RegionKind::node_table:
                mark_found(memory::kNodeBase + Node((a[i] - r->low) / sizeof(uintptr_t)));
                ++i;
                break;
        }
    }
    found_nodes.count = 0;
    found_addresses.count = 0;
}

// ---- sweeping ----

void free_node(Node n) {
    memory::free_node(memory::node_frame_of(n), n);
    ++statistics.nodes_freed;
}

// Frees the node of a dead buffer; buffers abandoned by a reallocation have none (0, outside
// every frame). The node is the buffer's own when its slot points back at it.
void free_dead(SeriesBuffer* b) {
    Node n = b->node;
    uint32_t i = n - memory::kNodeBase;
    uint32_t range = i / memory::kNodesPerFrame;
    if (i >= memory::kMaxNodes || range >= memory::kRangeCount) return;
    NodeFrame* frame = memory::frame_of_range[range];
    if (frame && memory::node_table[i] == uintptr_t(b)) {
        memory::free_node(frame, n);
        ++statistics.nodes_freed;
    }
}

// Moves a run of buffers to a lower address. Most runs are a buffer or two of a short string:
// whole 16-byte units are copied in a loop of their own rather than by a library call. Moving
// down a unit at a time is safe however the two overlap.
void move_down(uint8_t* to, const uint8_t* from, size_t length) {
    if (length > 256) {
        std::memmove(to, from, length);
        return;
    }
    for (size_t k = 0; k < length; k += 16) {
        __uint128_t unit;
        __builtin_memcpy(&unit, from + k, 16);
        __builtin_memcpy(to + k, &unit, 16);
    }
}

// Marks the gap [from, to) left before a pinned buffer so that the frame can still be walked.
void fill_gap(uint8_t* from, uint8_t* to) {
    size_t gap = size_t(to - from);
    if (gap == 0) return;
    auto* b = reinterpret_cast<SeriesBuffer*>(from);
    platform::mark_usable(from, std::min(gap, sizeof(SeriesBuffer)));
    if (gap < sizeof(SeriesBuffer)) {
        b->flags = flag::pad;
        return;
    }
    platform::mark_unusable(b->data(), gap - sizeof(SeriesBuffer));
    b->flags = 0;
    b->node = 0;
    b->capacity = uint32_t(gap - sizeof(SeriesBuffer));
    b->reserved = 0;
    b->head = b->tail = b->data();
}

size_t free_room(const SeriesFrame* f) { return size_t(f->end - f->next_free); }

// Slides the live buffers of a frame down, or into the previous frame while that one has more
// than the minimum room left; pinned buffers stay where they are. Dead buffers free their node.
void compact_frame(SeriesFrame* f) {
    SeriesFrame* p = f->prev;
    bool into_prev = p && free_room(p) > memory::kMinFreeInFrame;
    uint8_t* dst = f->start();
    uint8_t* cur = f->start();
    uint8_t* end = f->next_free;
    while (cur < end) {
        auto* b = reinterpret_cast<SeriesBuffer*>(cur);
        size_t size = frame_stride(b);
        uint32_t fl = b->flags;
        if (fl & flag::pinned) {
            b->flags &= ~(flag::pinned | flag::mark);
            fill_gap(dst, cur);
            cur += size;
            dst = cur;
            continue;
        }
        if ((fl & (flag::in_use | flag::pad)) != flag::in_use) {  // a gap, or abandoned by a reallocation
            cur += size;
            continue;
        }
        if (!(fl & flag::mark)) {
            free_dead(b);
            cur += size;
            continue;
        }
        // A run of live buffers, limited to the previous frame's room when it goes there.
        size_t room = into_prev ? free_room(p) : 0;
        bool to_prev = into_prev && size <= room;
        // Each buffer's node, head and tail are pointed at where it is going while the run is
        // walked, before the move carries the headers there.
        uint8_t* run = cur;
        uint8_t* target = to_prev ? p->next_free : dst;
        ptrdiff_t distance = target - run;
        size_t length = 0;
        uint32_t moved = 0;
        while (cur < end) {
            b = reinterpret_cast<SeriesBuffer*>(cur);
            fl = b->flags;
            constexpr uint32_t state = flag::in_use | flag::pad | flag::pinned | flag::mark;
            if ((fl & state) != (flag::in_use | flag::mark)) break;
            size = frame_stride(b);
            if (to_prev && length + size > room) break;
            b->flags = fl & ~flag::mark;
            if (distance != 0) {
                memory::set_buffer(b->node, reinterpret_cast<SeriesBuffer*>(cur + distance));
                b->head += distance;
                b->tail += distance;
                ++moved;
            }
            length += size;
            cur += size;
        }
        if (distance != 0) {
            platform::mark_usable(target, length);
            move_down(target, run, length);
            statistics.buffers_moved += moved;
            statistics.bytes_moved += length;
        }
        if (to_prev) {
            p->next_free += length;
            into_prev = free_room(p) > memory::kMinFreeInFrame;
        } else {
            dst += length;
        }
    }
    platform::mark_unusable(dst, size_t(end - dst));
    f->next_free = dst;
}

void compact_series_frames() {
    using memory::state;
    size_t size = 0, room = 0;
    for (SeriesFrame* f = state.series_first; f; f = f->next) {
        f->idle = f->next_free == f->start();
        compact_frame(f);
        size += size_t(f->end - f->start());
        room += size_t(f->end - f->next_free);
    }
    // A frame that stayed empty through a whole cycle goes back to the system, except the first
    // and the last, while half of the frames' space stays free: the allocator would grow the
    // heap again at once otherwise. A frame the cycle allocated into is kept even when
    // compaction empties it: released, it would be made again, and emptied again, at every
    // collection.
    for (SeriesFrame* f = state.series_first; f;) {
        SeriesFrame* next = f->next;
        size_t frame = size_t(f->end - f->start());
        if (f->idle && f->next_free == f->start() && f->prev && f->next && (room - frame) * 2 >= size - frame) {
            series_frame::free(f);
            size -= frame;
            room -= frame;
            ++statistics.frames_released;
        }
        f = next;
    }
}

void sweep_big_frames() {
    for (BigFrame** link = &memory::state.big_first; *link;) {
        BigFrame* f = *link;
        SeriesBuffer* b = f->buffer();
        if (b->flags & flag::mark) {
            b->flags &= ~(flag::mark | flag::pinned);
            link = &f->next;
            continue;
        }
        free_dead(b);
        *link = f->next;
        memory::free_virtual(f);
        ++statistics.frames_released;
    }
}

// Frees the unreachable series whose buffers live in the tracked heap, then clears the marks
// of the others. Two passes, so that a node listed twice is never freed while marked.
void sweep_heap_series() {
    memory::HeapSeries& h = memory::heap_series;
    uint32_t kept = 0;
    for (uint32_t i = 0; i < h.count; ++i) {
        Node n = h.nodes[i];
        SeriesBuffer* b = live_buffer(n);
        if (!b || !(b->flags & flag::in_heap) || b->node != n) continue;
        if (!(b->flags & flag::mark)) {
            heap::free(b);
            free_node(n);
            continue;
        }
        h.nodes[kept++] = n;
    }
    h.count = kept;
    for (uint32_t i = 0; i < h.count; ++i) buffer_of(h.nodes[i])->flags &= ~(flag::mark | flag::pinned);
}

uint32_t node_frame_count() {
    uint32_t n = 0;
    for (NodeFrame* f = memory::state.node_first; f; f = f->next) ++n;
    return n;
}

uint32_t refresh_count() { return counters.refresh; }

}  // namespace

// ---- switches ----

const Stats& stats() { return statistics; }

void init() {
    counters = Counters{};
    hashtable::collector = hashtable::CollectorLink{refresh_count, collecting_q};
    if (!stack_high) stack_high = static_cast<const uint8_t*>(__builtin_frame_address(0));
    callbacks.reserve(100);
    // KAZ_GC_STRESS_EVERY=N collects at every N-th allocation, in any build; a KAZ_GC_STRESS
    // build collects at every one unless told otherwise.
#ifdef KAZ_GC_STRESS
    memory::stress_every = 1;
#endif
    if (auto every = platform::get_env("KAZ_GC_STRESS_EVERY")) {
        long n = std::strtol(every->c_str(), nullptr, 10);
        if (n > 0) memory::stress_every = uint32_t(n);
    }
}

void set_stack_high_end(const void* high) { stack_high = static_cast<const uint8_t*>(high); }
const void* stack_high_end() { return stack_high; }

bool enabled() { return memory::gc_enabled; }
void set_enabled(bool on) { memory::gc_enabled = on; }
bool collecting_q() { return in_collection; }

void collect() {
    if (in_collection || !memory::node_table) return;
    std::atomic_thread_fence(std::memory_order_seq_cst);
    in_collection = true;
    std::atomic_thread_fence(std::memory_order_seq_cst);
    // The stack is read first, before the collector's own work leaves its pointers in
    // registers and frames that the scan would take for the program's.
    if (stack_high) scan_stack_and_registers();
    uint64_t total = statistics.nodes_freed_total;
    statistics = Stats{};
    statistics.nodes_freed_total = total;
    uint32_t node_frames = node_frame_count();

    // Marking: what running C++ code holds, the precise roots, then the weak table.
    build_regions();
    mark_found_words();
    mark_roots();
    drain();
    keep_reached_ownership_records();

    // Sweeping: outside resources and weak records first, while the marks are still set.
    uint32_t live_resources = resource::capacity() ? resource::live_count() : 0;
    if (resource::capacity()) resource::sweep();
    statistics.resources_released = live_resources - (resource::capacity() ? resource::live_count() : 0);
    if (looks_like_table(ownership)) {
        hashtable::sweep_weak(ownership, marked_q);
        clear_dropped_ownership_records();
    }
    compact_series_frames();
    sweep_big_frames();
    sweep_heap_series();
    node_frame::sweep();
    statistics.frames_released += node_frames - node_frame_count();
    statistics.nodes_freed_total += statistics.nodes_freed;

    ++counters.collections;
    std::atomic_thread_fence(std::memory_order_seq_cst);
    in_collection = false;
    std::atomic_thread_fence(std::memory_order_seq_cst);
}

void collect_if_enabled() {
    if (memory::gc_enabled) collect();
}

uint64_t bytes_in_use() {
    using memory::state;
    uint64_t total = 0;
    for (NodeFrame* f = state.node_first; f; f = f->next) total += uint64_t(f->used) * sizeof(uintptr_t);
    for (SeriesFrame* f = state.series_first; f; f = f->next) total += uint64_t(f->next_free - f->start());
    for (BigFrame* f = state.big_first; f; f = f->next) total += f->size;
    return total;
}

// ---- roots ----

void add_root(Node node, Root kind) { roots.push(RootEntry{node, kind}); }

void remove_root(Node node) {
    uint32_t kept = 0;
    for (uint32_t i = 0; i < roots.count; ++i)
        if (roots.items[i].node != node) roots.items[kept++] = roots.items[i];
    roots.count = kept;
}

void set_ownership_table(Node table) { ownership = table; }

void add_mark_callback(MarkCallback callback) { callbacks.push(callback); }

void remove_mark_callback(MarkCallback callback) {
    for (uint32_t i = 0; i < callbacks.count; ++i) {
        if (callbacks.items[i] == callback) {
            callbacks.items[i] = nullptr;
            return;
        }
    }
}

// ---- marking ----

bool mark_series(Node node) { return mark_one(node); }

void mark_block(Node node) { mark_block_inline(node); }

// A context record is a block of two cells (the context! cell and the owner), so marking it as
// a block reaches its word table, its values and its owner; words bound through `self` name
// the same record and need nothing else.
void mark_context(Node node) { mark_block(node); }

void mark_table(Node table) {
    if (table == ownership) {
        mark_ownership_weakly();
        return;
    }
    if (!looks_like_table(table) || !mark_series(table)) return;
    static const hashtable::Marker marker{[](Node n) { mark_series(n); }, [](Node n) { mark_block(n); }};
    hashtable::mark(table, marker);
}


void define_refs(TypeId type, const CellRefs& refs) {
    type_refs[size_t(type)] = refs;
    uint32_t m = refs.visit ? kMarkInFull : 0;
    const Ref words[3] = {refs.data1, refs.data2, refs.data3};
    for (uint32_t w = 0; w < 3; ++w) {
        switch (words[w]) {
            case Ref::none: break;
            case Ref::series: case Ref::series_opt: m |= 1u << w; break;
            case Ref::block: case Ref::block_opt: m |= 8u << w; break;
            case Ref::table: m |= kMarkInFull; break;
        }
    }
    type_marks[size_t(type)] = uint8_t(m);
}

void mark_cell(const Cell& c) { mark_cell_inline(c); }

void mark_cells(const Cell* first, const Cell* end) {
    for (const Cell* c = first; c < end; ++c) mark_cell_inline(*c);
}

// ---- checking ----

namespace {

std::string fault(const char* what, int64_t where) {
    return std::string(what) + " (" + std::to_string(where) + ")";
}

// The heap check's view of a cell's references: each named node must be live, a table must
// look like one, a resource index must name a record in use.
struct RefCheck {
    Node holder;
    std::string problem;
};
RefCheck* ref_check = nullptr;

void check_node(Node n, bool table) {
    RefCheck& c = *ref_check;
    if (!c.problem.empty()) return;
    if (!live_node_q(n)) c.problem = fault("a value names a freed series", c.holder);
    else if (table && !looks_like_table(n)) c.problem = fault("a value names a broken hash table", c.holder);
}

const RefVisitor kChecker{
    [](Node n) { check_node(n, false); },
    [](Node n) { check_node(n, false); },
    [](Node n) { check_node(n, true); },
    [](Node values, Node) { check_node(values, false); },
    [](int32_t index) {
        RefCheck& c = *ref_check;
        if (!c.problem.empty() || index < 0) return;
        if (uint32_t(index) >= resource::capacity() ||
            (resource::record(index).kind & resource::kFreeWord))
            c.problem = fault("a handle! names a released resource", c.holder);
    },
};

void check_ref(Ref kind, Node n) {
    switch (kind) {
        case Ref::none: break;
        case Ref::series: case Ref::block: check_node(n, false); break;
        case Ref::series_opt: case Ref::block_opt: if (n) check_node(n, false); break;
        case Ref::table: check_node(n, true); break;
    }
}

void check_cell(const Cell& c) { walk_refs<check_ref>(c, type_refs[size_t(type_of(c))], kChecker); }

std::string check_node_frames() {
    for (NodeFrame* f = memory::state.node_first; f; f = f->next) {
        uint32_t free_count = 0;
        for (Node n = f->free_head; n; n = Node(memory::node_table[n - memory::kNodeBase] >> 1)) {
            if (n < f->first || n >= f->first + f->capacity)
                return fault("free list leaves its node frame", n);
            if (!(memory::node_table[n - memory::kNodeBase] & 1))
                return fault("free list holds a node in use", n);
            if (++free_count > f->capacity) return fault("free list loops", f->first);
        }
        if (f->used + free_count != f->capacity)
            return fault("node frame count disagrees with its free list", f->first);
        for (uint32_t i = 0; i < f->capacity; ++i) {
            Node n = f->first + i;
            uintptr_t slot = memory::node_table[n - memory::kNodeBase];
            if (slot == 0) return fault("node handed out without a buffer", n);
            if (slot & 1) continue;
            SeriesBuffer* b = buffer_of(n);
            if (b->node != n) return fault("buffer does not point back to its node", n);
            if (!(b->flags & flag::in_use)) return fault("node holds an abandoned buffer", n);
            if (b->flags & (flag::mark | flag::pinned)) return fault("collector bit left on a buffer", n);
            if (b->head < b->data() || b->tail < b->head || b->tail > b->end())
                return fault("head or tail outside the data area", n);
        }
    }
    return {};
}

std::string check_series_frames() {
    SeriesFrame* before = nullptr;
    for (SeriesFrame* f = memory::state.series_first; f; before = f, f = f->next) {
        if (f->prev != before) return fault("series frame list broken", uintptr_t(f));
        if (before && before > f) return fault("series frames out of address order", uintptr_t(f));
        if (f->next_free < f->start() || f->next_free > f->end)
            return fault("series frame fill outside it", uintptr_t(f));
        for (uint8_t* p = f->start(); p < f->next_free;) {
            auto* b = reinterpret_cast<SeriesBuffer*>(p);
            size_t size = frame_stride(b);
            if (p + size > f->next_free) return fault("buffer runs past its frame's fill", uintptr_t(p));
            if (b->flags & (flag::mark | flag::pinned))
                return fault("collector bit left in a frame", uintptr_t(p));
            if ((b->flags & (flag::in_use | flag::pad)) == flag::in_use) {
                if (!live_node_q(b->node) || buffer_of(b->node) != b)
                    return fault("buffer in use without its node", uintptr_t(p));
            }
            p += size;
        }
    }
    return {};
}

std::string check_references() {
    RefCheck check{};
    ref_check = &check;
    for (NodeFrame* f = memory::state.node_first; f && check.problem.empty(); f = f->next) {
        for (uint32_t i = 0; i < f->capacity && check.problem.empty(); ++i) {
            Node n = f->first + i;
            if (!live_node_q(n)) continue;
            SeriesBuffer* b = buffer_of(n);
            if (b->unit() != sizeof(Cell)) continue;
            check.holder = n;
            for (const Cell* c = b->cells(); c + 1 <= b->cells_end() && check.problem.empty(); ++c)
                check_cell(*c);
        }
    }
    ref_check = nullptr;
    return check.problem;
}

std::string check_resources() {
    uint32_t capacity = resource::capacity();
    if (capacity == 0) return {};
    uint32_t live = 0, free = 0;
    for (int32_t i = resource::live_head(); i != -1; i = resource::record(i).next) {
        if (i < 0 || uint32_t(i) >= capacity) return fault("live resource list leaves the table", i);
        uint32_t kind = resource::record(i).kind;
        if (kind & resource::kFreeWord) return fault("free record on the live list", i);
        if (kind & resource::kMarkBit) return fault("resource mark left set", i);
        if (++live > capacity) return fault("live resource list loops", i);
    }
    for (int32_t i = resource::free_head(); i != -1; i = resource::record(i).next) {
        if (i < 0 || uint32_t(i) >= capacity) return fault("free resource list leaves the table", i);
        if (resource::record(i).kind != resource::kFreeWord)
            return fault("record in use on the free list", i);
        if (++free > capacity) return fault("free resource list loops", i);
    }
    if (live != resource::live_count()) return fault("live resource count disagrees with its list", live);
    if (live + free != capacity) return fault("resource records lost", live + free);
    return {};
}

}  // namespace

std::string check_heap() {
    collect();
    for (auto check : {check_node_frames, check_series_frames, check_references, check_resources}) {
        std::string problem = check();
        if (!problem.empty()) return problem;
    }
    return {};
}

}  // namespace kaz::gc
