#include "runtime/sort.h"

#include <bit>
#include <cstring>

#include "runtime/error.h"
#include "runtime/heap.h"
#include "runtime/memory.h"

namespace kaz::sort {
namespace {

uint8_t* fetch_fixed(const void* context, size_t) {
    return static_cast<uint8_t*>(const_cast<void*>(context));
}

uint8_t* fetch_items(const void* context, size_t bytes) {
    auto* spot = static_cast<const SeriesSpot*>(context);
    SeriesBuffer* b = memory::buffer_of(spot->node);
    if (!b || size_t(b->tail - b->head) < size_t(spot->offset) + bytes) return nullptr;
    return b->head + spot->offset;
}

uint8_t* fetch_work(const void* context, size_t bytes) {
    auto* spot = static_cast<const SeriesSpot*>(context);
    SeriesBuffer* b = memory::buffer_of(spot->node);
    if (!b || size_t(b->end() - b->head) < size_t(spot->offset) + bytes) return nullptr;
    return b->head + spot->offset;
}

// Runs shorter than this are extended by insertion sort before merging.
constexpr uint32_t kMinRun = 24;
// Quicksort parts of at most this many items are finished by insertion sort.
constexpr uint32_t kSmallPart = 7;
// The order estimate samples one neighbouring pair in this many.
constexpr uint32_t kSampleStep = 97;

// The state both sorts share. Items are named by index, never by address, across a
// comparison: `compare` fetches the addresses again once the comparator returns, and sets
// `stopped` when the items (or the work area) are no longer there. Every caller of `compare`
// leaves at once when `stopped` is set.
class Sorter {
public:
    Sorter(Place items, uint32_t count, uint32_t width, int32_t op, int32_t flags, Compare cmp)
        : items_(items), count_(count), width_(width), op_(op), flags_(flags), cmp_(cmp) {}

    bool start(const Place* work, size_t work_bytes) {
        work_ = work;
        work_bytes_ = work_bytes;
        refetch();
        return !stopped_;
    }

    void merge_sort();
    void quick_sort();

private:
    uint8_t* at(size_t i) const { return base_ + i * width_; }
    uint8_t* tmp(size_t i) const { return buf_ + i * width_; }
    void copy(uint8_t* to, const uint8_t* from) const { std::memcpy(to, from, width_); }
    void swap(size_t i, size_t j) const { swap_items(at(i), at(j), width_); }

    void refetch() {
        base_ = items_.fetch(items_.context, size_t(count_) * width_);
        buf_ = work_ ? work_->fetch(work_->context, work_bytes_) : nullptr;
        if (!base_ || (work_ && !buf_)) stopped_ = true;
    }

    int32_t compare(const uint8_t* a, const uint8_t* b) {
        int32_t r = cmp_(a, b, op_, flags_);
        refetch();
        return r;
    }
    // Item i must come after item j.
    bool after(size_t i, size_t j) { return compare(at(i), at(j)) > 0; }

    void reverse(size_t lo, size_t hi) const {
        while (hi - lo > 1) swap(lo++, --hi);
    }
    // Sorts [lo, hi) by insertion, items [lo, from) being in order already.
    void insertion(size_t lo, size_t from, size_t hi);

    size_t next_run(size_t s);
    void merge(size_t lo, size_t mid, size_t hi);

    size_t order_estimate(int& direction);
    size_t repair(size_t from, size_t budget);
    size_t median_of(size_t a, size_t b, size_t c);
    void pivot_to_front(size_t lo, size_t hi);
    size_t partition(size_t lo, size_t hi);
    void heap_sort(size_t lo, size_t hi);
    void sift_down(size_t lo, size_t root, size_t n);
    void quick(size_t lo, size_t hi, int depth);

    Place items_;
    const Place* work_ = nullptr;
    size_t work_bytes_ = 0;
    uint32_t count_;
    uint32_t width_;
    int32_t op_;
    int32_t flags_;
    Compare cmp_;
    uint8_t* base_ = nullptr;
    uint8_t* buf_ = nullptr;
    bool stopped_ = false;
};

void Sorter::insertion(size_t lo, size_t from, size_t hi) {
    for (size_t i = from; i < hi; ++i)
        for (size_t j = i; j > lo; --j) {
            bool out_of_order = after(j - 1, j);
            if (stopped_) return;
            if (!out_of_order) break;
            swap(j - 1, j);
        }
}

// ---- merge sort ----

// The end of the run starting at s: a non-descending or strictly descending stretch (the
// latter reversed), extended to kMinRun items by insertion.
size_t Sorter::next_run(size_t s) {
    size_t n = count_;
    size_t e = s + 1;
    if (e < n) {
        bool descending = after(s, e);
        if (stopped_) return n;
        ++e;
        while (e < n) {
            bool next_after = after(e - 1, e);
            if (stopped_) return n;
            if (next_after != descending) break;
            ++e;
        }
        if (descending) reverse(s, e);
    }
    if (e - s < kMinRun && e < n) {
        size_t end = s + kMinRun < n ? s + kMinRun : n;
        insertion(s, e, end);
        e = end;
    }
    return e;
}

// The depth at which the boundary between [s1, e1) and [e1, e2) sits in the binary split of
// [0, n) by run midpoints: the first bit at which the two midpoints (scaled to [0, 1)) differ.
int node_power(uint64_t s1, uint64_t e1, uint64_t e2, uint64_t n) {
    uint64_t l = s1 + e1, r = e1 + e2;
    int power = 1;
    for (;;) {
        bool l_low = l < n, r_low = r < n;
        if (l_low != r_low) return power;
        ++power;
        if (!l_low) {
            l -= n;
            r -= n;
        }
        l *= 2;
        r *= 2;
    }
}

// Merges [lo, mid) and [mid, hi) through the work area, the shorter run being copied there.
// The left item is taken first whenever the two compare equal, so equal items keep their order.
void Sorter::merge(size_t lo, size_t mid, size_t hi) {
    if (hi - mid < mid - lo) {
        size_t j = hi - mid;
        std::memcpy(buf_, at(mid), j * width_);
        size_t i = mid, k = hi;
        while (i > lo && j > 0) {
            bool left_after = compare(at(i - 1), tmp(j - 1)) > 0;
            if (stopped_) return;
            --k;
            if (left_after) copy(at(k), at(--i));
            else copy(at(k), tmp(--j));
        }
        std::memcpy(at(lo), buf_, j * width_);
    } else {
        size_t left = mid - lo;
        std::memcpy(buf_, at(lo), left * width_);
        size_t i = 0, j = mid, k = lo;
        while (i < left && j < hi) {
            bool left_after = compare(tmp(i), at(j)) > 0;
            if (stopped_) return;
            if (left_after) copy(at(k++), at(j++));
            else copy(at(k++), tmp(i++));
        }
        std::memcpy(at(k), tmp(i), (left - i) * width_);
    }
}

void Sorter::merge_sort() {
    struct Pending {
        size_t start;
        int power;
    };
    // Powers on the stack increase from bottom to top and stay below 40, so a full stack is
    // never met; merging early would be harmless anyway.
    Pending stack[64];
    int top = 0;
    size_t n = count_;
    size_t s1 = 0, e1 = next_run(0);
    while (e1 < n && !stopped_) {
        size_t e2 = next_run(e1);
        if (stopped_) return;
        int power = node_power(s1, e1, e2, n);
        while (top > 0 && (stack[top - 1].power > power || top == 64)) {
            merge(stack[top - 1].start, s1, e1);
            if (stopped_) return;
            s1 = stack[--top].start;
        }
        stack[top++] = {s1, power};
        s1 = e1;
        e1 = e2;
    }
    while (top > 0 && !stopped_) {
        merge(stack[top - 1].start, s1, e1);
        s1 = stack[--top].start;
    }
}

// ---- quicksort ----

// Measures the leading run: its direction (+1 ascending, -1 descending) is set by the first
// pair of neighbours that differ, and it goes on while neighbours are equal or follow that
// direction. Returns its length.
size_t Sorter::order_estimate(int& direction) {
    size_t n = count_;
    direction = 0;
    size_t e = 1;
    for (; e < n; ++e) {
        int32_t c = compare(at(e - 1), at(e));
        if (stopped_) return 0;
        if (direction == 0) {
            if (c != 0) direction = c > 0 ? -1 : 1;
        } else if (direction > 0 ? c > 0 : c < 0) {
            break;
        }
    }
    if (direction == 0) direction = 1;
    return e;
}

// Insertion from `from` on, for input found nearly in order: each item out of place is moved
// back to where it belongs. Gives up once `budget` moves are spent; returns the length of the
// prefix now in order (the whole array when it finished).
size_t Sorter::repair(size_t from, size_t budget) {
    size_t n = count_;
    size_t moves = 0;
    for (size_t i = from < 1 ? 1 : from; i < n; ++i) {
        for (size_t j = i; j > 0; --j) {
            bool out_of_order = after(j - 1, j);
            if (stopped_) return n;
            if (!out_of_order) break;
            swap(j - 1, j);
            ++moves;
        }
        if (moves > budget) return i + 1;
    }
    return n;
}

// The index of the median of three items.
size_t Sorter::median_of(size_t a, size_t b, size_t c) {
    bool ab = after(a, b);
    if (stopped_) return b;
    bool bc = after(b, c);
    if (stopped_ || ab == bc) return b;
    bool ac = after(a, c);
    if (ab) return ac ? c : a;  // b is the smallest: the smaller of a and c
    return ac ? a : c;          // b is the largest: the larger of a and c
}

// Moves the pivot to the front of [lo, hi): the median of the first, middle and last items,
// or of three such medians spread over a large part, so that no common shape of input
// (ordered, reversed, organ pipe, interleaved runs) keeps getting extreme pivots.
void Sorter::pivot_to_front(size_t lo, size_t hi) {
    size_t n = hi - lo, mid = lo + n / 2, last = hi - 1;
    size_t m;
    if (n > 511) {
        size_t d = n / 8;
        size_t m1 = median_of(lo, lo + d, lo + 2 * d);
        size_t m2 = stopped_ ? mid : median_of(mid - d, mid, mid + d);
        size_t m3 = stopped_ ? mid : median_of(last - 2 * d, last - d, last);
        m = stopped_ ? mid : median_of(m1, m2, m3);
    } else {
        m = median_of(lo, mid, last);
    }
    if (stopped_) return;
    swap(lo, m);
}

// Partitions [lo, hi) around the pivot at lo: returns the pivot's final place; items before
// it sort no later, items after it no earlier. Both scans stop at items equal to the pivot,
// which splits runs of equal items evenly, and are bounded by each other, so an inconsistent
// comparator cannot make them run off the part.
size_t Sorter::partition(size_t lo, size_t hi) {
    size_t p = lo;
    size_t i = lo + 1, j = hi - 1;
    for (;;) {
        while (i <= j) {
            bool below = compare(at(p), at(i)) > 0;
            if (stopped_) return p;
            if (!below) break;
            ++i;
        }
        while (i <= j) {
            bool above = compare(at(j), at(p)) > 0;
            if (stopped_) return p;
            if (!above) break;
            --j;
        }
        if (i >= j) break;
        swap(i++, j--);
    }
    swap(p, j);
    return j;
}

void Sorter::sift_down(size_t lo, size_t root, size_t n) {
    for (;;) {
        size_t child = 2 * root + 1;
        if (child >= n) return;
        if (child + 1 < n) {
            bool right = after(lo + child + 1, lo + child);
            if (stopped_) return;
            if (right) ++child;
        }
        bool below = after(lo + child, lo + root);
        if (stopped_ || !below) return;
        swap(lo + root, lo + child);
        root = child;
    }
}

// The fallback for parts that partitioning keeps splitting badly: O(n log n) whatever the
// input.
void Sorter::heap_sort(size_t lo, size_t hi) {
    size_t n = hi - lo;
    for (size_t i = n / 2; i-- > 0;) {
        sift_down(lo, i, n);
        if (stopped_) return;
    }
    for (size_t end = n; end-- > 1;) {
        swap(lo, lo + end);
        sift_down(lo, 0, end);
        if (stopped_) return;
    }
}

// Sorts [lo, hi): the smaller side of each partition recursively, the larger in this loop, so
// the recursion stays within log2(count) levels.
void Sorter::quick(size_t lo, size_t hi, int depth) {
    while (hi - lo > kSmallPart) {
        if (depth-- == 0) {
            heap_sort(lo, hi);
            return;
        }
        pivot_to_front(lo, hi);
        if (stopped_) return;
        size_t p = partition(lo, hi);
        if (stopped_) return;
        if (p - lo < hi - p - 1) {
            quick(lo, p, depth);
            lo = p + 1;
        } else {
            quick(p + 1, hi, depth);
            hi = p;
        }
        if (stopped_) return;
    }
    insertion(lo, lo + 1, hi);
}

void Sorter::quick_sort() {
    size_t n = count_;
    int direction;
    size_t run = order_estimate(direction);
    if (stopped_) return;
    // The order estimate: the run's signed length, plus one for each sampled pair of
    // neighbours further on in ascending order, minus one for each in descending order.
    int64_t score = direction * int64_t(run);
    for (size_t i = run - 1 + kSampleStep; i + 1 < n; i += kSampleStep) {
        int32_t c = compare(at(i), at(i + 1));
        if (stopped_) return;
        score += c < 0 ? 1 : c > 0 ? -1 : 0;
    }

    // Input found nearly in order is repaired by insertion, in linear time when it was;
    // partitioning takes over from a repair that finds too much out of place.
    bool nearly = (score < 0 ? -score : score) > int64_t(n / 512);
    if (nearly) {
        // The repair runs in ascending order: input found descending is reversed first, and
        // a leading run against the sampled order counts for nothing.
        size_t from = run;
        if ((score > 0) != (direction > 0)) {
            direction = -direction;
            from = 0;
        }
        if (direction < 0) {
            reverse(0, n);
            from = 0;
        }
        if (repair(from, n + 64) >= n || stopped_) return;
    }
    quick(0, n, 2 * int(std::bit_width(n)) + 4);
}

}  // namespace

Place fixed(uint8_t* base) { return Place{fetch_fixed, base}; }
Place items_in(const SeriesSpot& spot) { return Place{fetch_items, &spot}; }
Place work_in(const SeriesSpot& spot) { return Place{fetch_work, &spot}; }

void swap_items(uint8_t* a, uint8_t* b, uint32_t width) {
    if (width % 4 == 0) {
        for (uint32_t i = 0; i < width; i += 4) {
            uint32_t x, y;
            std::memcpy(&x, a + i, 4);
            std::memcpy(&y, b + i, 4);
            std::memcpy(a + i, &y, 4);
            std::memcpy(b + i, &x, 4);
        }
    } else {
        for (uint32_t i = 0; i < width; ++i) {
            uint8_t t = a[i];
            a[i] = b[i];
            b[i] = t;
        }
    }
}

void merge_sort(Place items, uint32_t count, uint32_t width, int32_t op, int32_t flags,
                Compare compare, const Place* work) {
    if (count < 2 || width == 0) return;
    uint64_t work_bytes = uint64_t(count / 2) * width;
    if (work_bytes > 0x7FFFFFFF) error::raise(ErrorId::script_too_long);
    struct HeapWork {
        uint8_t* p = nullptr;
        ~HeapWork() { heap::free(p); }
    } own;
    Place heap_place;
    if (!work) {
        own.p = static_cast<uint8_t*>(heap::alloc(size_t(work_bytes)));
        heap_place = fixed(own.p);
        work = &heap_place;
    }
    Sorter s(items, count, width, op, flags, compare);
    if (s.start(work, size_t(work_bytes))) s.merge_sort();
}

void quick_sort(Place items, uint32_t count, uint32_t width, int32_t op, int32_t flags,
                Compare compare) {
    if (count < 2 || width == 0) return;
    Sorter s(items, count, width, op, flags, compare);
    if (s.start(nullptr, 0)) s.quick_sort();
}

}  // namespace kaz::sort
