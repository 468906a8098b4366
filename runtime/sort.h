// The two generic sorts behind the `sort` actions (a quicksort, and a stable merge sort), over
// arrays of fixed-width items driven by a comparison callback.
//
// A comparator may run Kaz code, and any allocation moves series buffers; the comparator may
// even change the series being sorted. So the sorts never keep an address across a call of
// the comparator: they find their items (and the merge sort its work area) through a Place,
// asked again after every comparison.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/cell.h"

namespace kaz::sort {

// Above 0 when item `a` must come after item `b`; 0 or below keeps their order. The operation
// and flags are the sort caller's, passed through unchanged.
using Compare = int32_t (*)(const uint8_t* a, const uint8_t* b, int32_t op, int32_t flags);

// Where a run of bytes is now. `fetch` answers the current address of the first byte, or null
// when fewer than `bytes` bytes are there any more (a comparator shrank the series): the sort
// then stops where it is, writing nothing more.
struct Place {
    uint8_t* (*fetch)(const void* context, size_t bytes);
    const void* context;
};

// Items at an address that nothing moves while the sort runs (C++ memory, a heap buffer).
Place fixed(uint8_t* base);

// Bytes `offset` past the head of a series, reached through its node. The spot must outlive
// the sort.
struct SeriesSpot {
    Node node;
    uint32_t offset;
};
// The items of a series: they must lie before its tail.
Place items_in(const SeriesSpot& spot);
// A work area in a series: it may use the buffer up to its capacity.
Place work_in(const SeriesSpot& spot);

// Stable sort: equal items keep their order. Needs a work area of (count / 2) x width bytes:
// `work` when given, else one taken from the tracked heap. Items held in the work area are
// out of the series during a merge, so a caller sorting cells with a comparator that may
// collect passes a series the collector sees. A work area that does not fit in 31 bits
// raises script too-long.
void merge_sort(Place items, uint32_t count, uint32_t width, int32_t op, int32_t flags,
                Compare compare, const Place* work = nullptr);

// In-place sort, not stable; needs no work area.
void quick_sort(Place items, uint32_t count, uint32_t width, int32_t op, int32_t flags,
                Compare compare);

// Exchanges two items: 32 bits at a time when the width is a multiple of 4, else byte by byte.
void swap_items(uint8_t* a, uint8_t* b, uint32_t width);

}  // namespace kaz::sort
