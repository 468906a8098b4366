#include "runtime/sort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "runtime/array.h"
#include "runtime/error.h"
#include "runtime/gc.h"
#include "runtime/heap.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/throw.h"
#include "tests/unit/support.h"

using namespace kaz;
using test::trap;

namespace {

// An item of up to 32 bytes: a key, the item's place in the input, and filler derived from
// both, so that an item torn or mixed with another is seen.
struct Item {
    uint32_t key;
    uint32_t seq;
    uint32_t fill[6];
};

uint32_t filler(const Item& it, int i) { return it.key * 2654435761u ^ it.seq * 40503u ^ uint32_t(i); }

std::vector<uint8_t> pack(const std::vector<Item>& items, uint32_t width) {
    std::vector<uint8_t> bytes(items.size() * width);
    for (size_t i = 0; i < items.size(); ++i) {
        Item it = items[i];
        for (int f = 0; f < 6; ++f) it.fill[f] = filler(it, f);
        std::memcpy(bytes.data() + i * width, &it, width);
    }
    return bytes;
}

std::vector<Item> unpack(const uint8_t* bytes, size_t count, uint32_t width) {
    std::vector<Item> items(count);
    for (size_t i = 0; i < count; ++i) {
        Item it{};
        std::memcpy(&it, bytes + i * width, width);
        for (uint32_t f = 0; f + 2 < width / 4; ++f) EXPECT_EQ(it.fill[f], filler(it, int(f))) << "item torn";
        items[i] = it;
    }
    return items;
}

// Comparison counting, and a log of which input items met, for the tests that watch the
// sorts at work.
int64_t comparisons = 0;
std::vector<std::pair<uint32_t, uint32_t>> met;
bool logging = false;

int32_t by_key(const uint8_t* a, const uint8_t* b, int32_t, int32_t) {
    ++comparisons;
    uint32_t ka, kb;
    std::memcpy(&ka, a, 4);
    std::memcpy(&kb, b, 4);
    if (logging) {
        uint32_t sa, sb;
        std::memcpy(&sa, a + 4, 4);
        std::memcpy(&sb, b + 4, 4);
        met.emplace_back(sa, sb);
    }
    return ka < kb ? -1 : ka > kb ? 1 : 0;
}

// The operation and flags arrive as given; a sort by key reversed through the flags.
int32_t by_key_flagged(const uint8_t* a, const uint8_t* b, int32_t op, int32_t flags) {
    EXPECT_EQ(op, 7);
    int32_t r = by_key(a, b, op, flags);
    return flags & 1 ? -r : r;
}

std::vector<Item> items_of(const std::vector<uint32_t>& keys) {
    std::vector<Item> items(keys.size());
    for (size_t i = 0; i < keys.size(); ++i) items[i] = Item{keys[i], uint32_t(i), {}};
    return items;
}

std::vector<Item> merge_sorted(std::vector<Item> items, uint32_t width) {
    auto bytes = pack(items, width);
    sort::merge_sort(sort::fixed(bytes.data()), uint32_t(items.size()), width, 7, 0, by_key);
    return unpack(bytes.data(), items.size(), width);
}

std::vector<Item> quick_sorted(std::vector<Item> items, uint32_t width) {
    auto bytes = pack(items, width);
    sort::quick_sort(sort::fixed(bytes.data()), uint32_t(items.size()), width, 7, 0, by_key);
    return unpack(bytes.data(), items.size(), width);
}

std::vector<uint32_t> random_keys(std::mt19937& rng, size_t n, uint32_t range) {
    std::vector<uint32_t> keys(n);
    for (auto& k : keys) k = rng() % range;
    return keys;
}

}  // namespace

TEST(MergeSort, MatchesStableSortForEveryWidthAndSize) {
    std::mt19937 rng(20240611);
    const size_t kSizes[] = {0, 1, 2, 3, 23, 24, 25, 47, 48, 49, 100, 511, 1000, 4099, 30000};
    for (uint32_t width : {4u, 8u, 16u, 32u})
        for (size_t n : kSizes)
            for (uint32_t range : {3u, 1000u, 0xFFFFFFFFu}) {
                SCOPED_TRACE(testing::Message() << "width " << width << " n " << n << " range " << range);
                auto items = items_of(random_keys(rng, n, range));
                auto expected = items;
                std::stable_sort(expected.begin(), expected.end(),
                                 [](const Item& a, const Item& b) { return a.key < b.key; });
                auto got = merge_sorted(items, width);
                for (size_t i = 0; i < n; ++i) {
                    ASSERT_EQ(got[i].key, expected[i].key) << i;
                    // Width 4 carries no sequence number to check the order of equal keys by.
                    if (width >= 8) {
                        ASSERT_EQ(got[i].seq, expected[i].seq) << i;
                    }
                }
            }
}

TEST(MergeSort, KeepsTheInputOrderOfEqualKeys) {
    // Runs, reversals and merges all meet equal keys: blocks of ascending, descending and
    // constant stretches.
    std::vector<uint32_t> keys;
    for (int block = 0; block < 40; ++block)
        for (int i = 0; i < 37; ++i)
            keys.push_back(block % 3 == 0 ? i % 5 : block % 3 == 1 ? 5 - i % 6 : 2);
    auto got = merge_sorted(items_of(keys), 8);
    for (size_t i = 1; i < got.size(); ++i) {
        ASSERT_LE(got[i - 1].key, got[i].key);
        if (got[i - 1].key == got[i].key) {
            ASSERT_LT(got[i - 1].seq, got[i].seq) << i;
        }
    }
}

TEST(MergeSort, DescendingInputIsOneReversalAndNoMerge) {
    for (uint32_t n : {2u, 24u, 25u, 1000u, 100000u}) {
        SCOPED_TRACE(n);
        std::vector<uint32_t> keys(n);
        for (uint32_t i = 0; i < n; ++i) keys[i] = n - i;
        comparisons = 0;
        auto got = merge_sorted(items_of(keys), 8);
        EXPECT_EQ(comparisons, int64_t(n) - 1);
        for (uint32_t i = 0; i < n; ++i) ASSERT_EQ(got[i].key, i + 1);
    }
}

TEST(MergeSort, ExtendsAShortRunToExactly24Items) {
    // 23 ascending items, one that breaks the run, then a descending run from item 24.
    std::vector<uint32_t> keys;
    for (uint32_t i = 0; i < 23; ++i) keys.push_back(2 * i + 10);
    keys.push_back(1);
    for (uint32_t i = 0; i < 24; ++i) keys.push_back(1000 - i);
    met.clear();
    logging = true;
    auto got = merge_sorted(items_of(keys), 8);
    logging = false;
    // Item 24 first meets item 25, finding the next run: the first run ended at 24 (had it
    // ended at 23, item 23 would start the next run; past 24, item 24 would be inserted).
    auto first = std::find_if(met.begin(), met.end(), [](auto p) { return p.first == 24 || p.second == 24; });
    ASSERT_NE(first, met.end());
    EXPECT_EQ(std::min(first->first, first->second), 24u);
    EXPECT_EQ(std::max(first->first, first->second), 25u);
    // Item 23 went into the first run before any merge.
    EXPECT_TRUE(std::any_of(met.begin(), met.begin() + (first - met.begin()),
                            [](auto p) { return p.first == 23 || p.second == 23; }));
    for (size_t i = 1; i < got.size(); ++i) ASSERT_LE(got[i - 1].key, got[i].key);
}

TEST(Sorts, PassTheOperationAndFlagsThrough) {
    std::mt19937 rng(7);
    auto items = items_of(random_keys(rng, 300, 50));
    for (bool stable : {false, true}) {
        auto bytes = pack(items, 8);
        if (stable) sort::merge_sort(sort::fixed(bytes.data()), 300, 8, 7, 1, by_key_flagged);
        else sort::quick_sort(sort::fixed(bytes.data()), 300, 8, 7, 1, by_key_flagged);
        auto got = unpack(bytes.data(), 300, 8);
        for (size_t i = 1; i < got.size(); ++i) ASSERT_GE(got[i - 1].key, got[i].key);
    }
}

TEST(QuickSort, MatchesSortForEveryWidthAndSize) {
    std::mt19937 rng(99);
    const size_t kSizes[] = {0, 1, 2, 3, 7, 8, 9, 63, 64, 511, 512, 513, 1000, 4099, 30000};
    for (uint32_t width : {4u, 8u, 16u, 32u})
        for (size_t n : kSizes)
            for (uint32_t range : {2u, 1000u, 0xFFFFFFFFu}) {
                SCOPED_TRACE(testing::Message() << "width " << width << " n " << n << " range " << range);
                auto items = items_of(random_keys(rng, n, range));
                auto got = quick_sorted(items, width);
                std::vector<uint32_t> want, have;
                for (auto& it : items) want.push_back(it.key);
                std::sort(want.begin(), want.end());
                for (auto& it : got) have.push_back(it.key);
                ASSERT_EQ(have, want);
                if (width >= 8) {
                    // A permutation of the input: every item is still there, whole.
                    std::vector<uint32_t> seqs;
                    for (auto& it : got) seqs.push_back(it.seq);
                    std::sort(seqs.begin(), seqs.end());
                    for (size_t i = 0; i < n; ++i) ASSERT_EQ(seqs[i], i);
                }
            }
}

// Inputs near an order, with a bound on the comparisons each may take: the ones the order
// estimate finds in order are finished in linear time by the repair pass, the others must
// stay within n log n (no quadratic pivot sequence).
TEST(QuickSort, NearlyOrderedInputs) {
    constexpr uint32_t n = 100000;
    std::mt19937 rng(5);
    struct Shape {
        const char* name;
        std::function<uint32_t(uint32_t)> key;
        double per_item;  // comparisons allowed per item
    };
    const double log_n = std::log2(double(n));
    std::vector<uint32_t> noise(n);
    for (auto& v : noise) v = rng() % 100;
    const Shape kShapes[] = {
        {"ascending", [](uint32_t i) { return i; }, 3},
        {"descending", [](uint32_t i) { return n - i; }, 3},
        {"all equal", [](uint32_t) { return 7u; }, 3},
        {"ascending, neighbours swapped", [](uint32_t i) { return i % 97 == 0 ? i + 1 : i % 97 == 1 ? i - 1 : i; }, 3},
        {"descending, neighbours swapped", [](uint32_t i) { return i % 89 == 0 ? n - i - 1 : i % 89 == 1 ? n - i + 1 : n - i; }, 3},
        {"short descending lead, then ascending", [](uint32_t i) { return i < 20 ? 100 - i : i; }, 3},
        {"ascending with noise", [&](uint32_t i) { return i + noise[i]; }, 3 * log_n},
        {"ascending, far swaps", [](uint32_t i) { return i == 10 ? n - 10 : i == n - 10 ? 10 : i; }, 3 * log_n},
        {"organ pipe", [](uint32_t i) { return i < n / 2 ? i : n - i; }, 3 * log_n},
        {"sawtooth", [](uint32_t i) { return i % 1000; }, 3 * log_n},
        {"two interleaved runs", [](uint32_t i) { return i % 2 ? i : n - i; }, 3 * log_n},
    };
    for (const Shape& shape : kShapes) {
        SCOPED_TRACE(shape.name);
        std::vector<uint32_t> keys(n);
        for (uint32_t i = 0; i < n; ++i) keys[i] = shape.key(i);
        comparisons = 0;
        auto got = quick_sorted(items_of(keys), 8);
        EXPECT_LE(double(comparisons), shape.per_item * n);
        std::sort(keys.begin(), keys.end());
        for (uint32_t i = 0; i < n; ++i) ASSERT_EQ(got[i].key, keys[i]) << i;
    }
}

// A comparator that answers at random must not make either sort leave the items' bounds,
// lose an item or loop forever.
TEST(Sorts, SurviveAnInconsistentComparator) {
    static std::mt19937 coin(3);
    auto random_answer = [](const uint8_t*, const uint8_t*, int32_t, int32_t) -> int32_t {
        return int32_t(coin() % 3) - 1;
    };
    for (uint32_t n : {10u, 100u, 5000u})
        for (bool stable : {false, true}) {
            std::vector<uint32_t> values(n);
            for (uint32_t i = 0; i < n; ++i) values[i] = i;
            if (stable) sort::merge_sort(sort::fixed(reinterpret_cast<uint8_t*>(values.data())), n, 4, 0, 0, random_answer);
            else sort::quick_sort(sort::fixed(reinterpret_cast<uint8_t*>(values.data())), n, 4, 0, 0, random_answer);
            std::sort(values.begin(), values.end());
            for (uint32_t i = 0; i < n; ++i) ASSERT_EQ(values[i], i);
        }
}

// ---- items in series that a comparator moves ----

namespace {

Node moving = kNoNode;  // the series the comparator below grows
Node work = kNoNode;    // a work area it moves too

// Moves a series to a new buffer, as the collector's compaction would (the whole buffer,
// used or not), then spoils the old one, so that a sort still reading it sees garbage.
void force_move(Node n) {
    SeriesBuffer* old = memory::buffer_of(n);
    size_t head = size_t(old->head - old->data()), used = old->used();
    std::vector<uint8_t> bytes(old->data(), old->data() + old->capacity);
    SeriesBuffer* fresh = series::reallocate(old, old->capacity);
    std::memcpy(fresh->data(), bytes.data(), bytes.size());
    fresh->head = fresh->data() + head;
    fresh->tail = fresh->head + used;
#if !defined(KAZ_SANITIZE)  // there, the old buffer may not be touched at all: a read is reported
    std::memset(old->data(), 0xEE, old->capacity);
#endif
}

// Reads its items first, as a comparator that runs code must, then moves the buffers.
int32_t moving_compare(const uint8_t* a, const uint8_t* b, int32_t op, int32_t flags) {
    int32_t r = by_key(a, b, op, flags);
    if (comparisons % 50 == 0) {
        force_move(moving);
        if (work) force_move(work);
    }
    return r;
}

int32_t shrinking_compare(const uint8_t* a, const uint8_t* b, int32_t op, int32_t flags) {
    if (comparisons == 499) memory::buffer_of(moving)->tail = memory::buffer_of(moving)->head;
    return by_key(a, b, op, flags);
}

Node series_of(const std::vector<Item>& items, uint32_t width) {
    auto bytes = pack(items, width);
    Node n = series::alloc_bytes(uint32_t(bytes.size()));
    SeriesBuffer* b = memory::buffer_of(n);
    // Two bytes in front, so that the items lie at an offset from the head.
    b->tail = b->head + 2;
    std::memcpy(series::reserve_bytes(b, uint32_t(bytes.size())), bytes.data(), bytes.size());
    return n;
}

}  // namespace

TEST(Sorts, FollowBuffersThatAComparatorMoves) {
    std::mt19937 rng(11);
    const uint32_t n = 3000;
    auto items = items_of(random_keys(rng, n, 200));
    for (int which = 0; which < 3; ++which) {
        SCOPED_TRACE(which);
        moving = series_of(items, 8);
        sort::SeriesSpot spot{moving, 2};
        sort::SeriesSpot work_spot{kNoNode, 0};
        sort::Place work_place = sort::work_in(work_spot);
        work = kNoNode;
        comparisons = 0;
        if (which == 0) {
            sort::quick_sort(sort::items_in(spot), n, 8, 0, 0, moving_compare);
        } else {
            // The merge sort's work area: from the tracked heap, or a series that moves too.
            if (which == 2) work = work_spot.node = series::alloc_bytes(n / 2 * 8);
            sort::merge_sort(sort::items_in(spot), n, 8, 0, 0, moving_compare, which == 2 ? &work_place : nullptr);
        }
        EXPECT_GT(comparisons, 1000);
        auto got = unpack(memory::buffer_of(moving)->head + 2, n, 8);
        for (size_t i = 1; i < n; ++i) ASSERT_LE(got[i - 1].key, got[i].key);
        if (which > 0)
            for (size_t i = 1; i < n; ++i)
                if (got[i - 1].key == got[i].key) {
                    ASSERT_LT(got[i - 1].seq, got[i].seq);
                }
    }
    work = kNoNode;
}

TEST(Sorts, StopWhenAComparatorEmptiesTheSeries) {
    std::mt19937 rng(12);
    auto items = items_of(random_keys(rng, 4000, 1000));
    for (bool stable : {false, true}) {
        moving = series_of(items, 8);
        sort::SeriesSpot spot{moving, 2};
        comparisons = 0;
        size_t blocks = heap::block_count();
        if (stable) sort::merge_sort(sort::items_in(spot), 4000, 8, 0, 0, shrinking_compare);
        else sort::quick_sort(sort::items_in(spot), 4000, 8, 0, 0, shrinking_compare);
        EXPECT_EQ(comparisons, 500) << "the sort went on after its items were gone";
        EXPECT_EQ(heap::block_count(), blocks);
    }
}

TEST(MergeSort, TooLongAWorkAreaRaises) {
    uint8_t dummy[16] = {};
    Cell e = trap([&] { sort::merge_sort(sort::fixed(dummy), 0x10000000, 32, 0, 0, by_key); });
    EXPECT_EQ(error::id_of(e), ErrorId::script_too_long);
}

TEST(MergeSort, AnErrorInTheComparatorFreesTheWorkArea) {
    gc::set_enabled(false);  // the test counts tracked-heap blocks, which a collection also takes
    auto raising = [](const uint8_t*, const uint8_t*, int32_t, int32_t) -> int32_t {
        error::raise(ErrorId::internal_no_memory);
    };
    std::vector<uint32_t> values(100, 1);
    size_t blocks = heap::block_count();
    Cell e = trap([&] {
        sort::merge_sort(sort::fixed(reinterpret_cast<uint8_t*>(values.data())), 100, 4, 0, 0, raising);
    });
    EXPECT_EQ(error::id_of(e), ErrorId::internal_no_memory);
    EXPECT_EQ(heap::block_count(), blocks);
    gc::set_enabled(true);
}

TEST(SwapItems, ExchangesWholeItemsOfAnyWidth) {
    for (uint32_t width : {1u, 3u, 4u, 12u, 13u}) {
        std::vector<uint8_t> a(width), b(width);
        for (uint32_t i = 0; i < width; ++i) a[i] = uint8_t(i), b[i] = uint8_t(100 + i);
        auto a0 = a, b0 = b;
        sort::swap_items(a.data(), b.data(), width);
        EXPECT_EQ(a, b0);
        EXPECT_EQ(b, a0);
    }
}

// ---- dynamic arrays ----

TEST(DynamicArray, IntegersAppendFindInsertRemove) {
    Node a = array::make(2, 4);
    EXPECT_EQ(array::length(a), 0u);
    for (int32_t v : {10, 20, 30}) array::append_int(a, v);  // grows past its first capacity
    EXPECT_EQ(array::length(a), 3u);
    EXPECT_EQ(array::find_int(a, 10), 0);
    EXPECT_EQ(array::find_int(a, 30), 8);
    EXPECT_EQ(array::find_int(a, 99), -1);
    array::insert_int(a, 15, 1);
    array::insert_int(a, 5, 0);
    array::insert_int(a, 40, 99);  // past the end: appended
    const int32_t kAfterInserts[] = {5, 10, 15, 20, 30, 40};
    ASSERT_EQ(array::length(a), 6u);
    for (uint32_t i = 0; i < 6; ++i) EXPECT_EQ(array::pick_int(a, i + 1), kAfterInserts[i]);
    EXPECT_EQ(array::pick_int(a, 0), 0);
    EXPECT_EQ(array::pick_int(a, 7), 0);
    array::remove_ptr(a, 20);
    array::remove_ptr(a, 77);
    array::poke_ptr(a, 1, 6);
    array::poke_ptr(a, 9, 1);  // outside: nothing
    const int32_t kAfterRemoves[] = {6, 10, 15, 30, 40};
    ASSERT_EQ(array::length(a), 5u);
    for (uint32_t i = 0; i < 5; ++i) EXPECT_EQ(array::pick_ptr(a, i + 1), uint32_t(kAfterRemoves[i]));
    array::remove_bytes(a, 4, 8);
    EXPECT_EQ(array::length(a), 3u);
    EXPECT_EQ(array::pick_int(a, 2), 30);
    array::remove_bytes(a, 8, 100);  // clipped at the end
    EXPECT_EQ(array::length(a), 2u);

    Node c = array::copy(a);
    array::append_int(c, 1);
    EXPECT_EQ(array::length(a), 2u);
    EXPECT_EQ(array::length(c), 3u);
    EXPECT_EQ(array::pick_int(c, 2), 30);
}

TEST(DynamicArray, TruncateKeepsNMinusOne) {
    struct Case { uint32_t n; uint32_t left; };
    const Case kCases[] = {{0, 0}, {1, 0}, {2, 1}, {4, 3}, {5, 4}, {9, 4}};
    for (auto [n, left] : kCases) {
        SCOPED_TRACE(n);
        Node a = array::make(0, 4);
        for (int32_t v = 1; v <= 4; ++v) array::append_int(a, v);
        array::truncate(a, n);
        EXPECT_EQ(array::length(a), left);
    }
    Node a = array::make(0, 4);
    array::append_int(a, 1);
    array::clear(a);
    EXPECT_EQ(array::length(a), 0u);
}

TEST(DynamicArray, BytesAppendedFromTheArrayItself) {
    Node a = array::make(4, 1);
    for (uint8_t c : {'a', 'b', 'c'}) array::append_byte(a, c);
    EXPECT_EQ(array::pick_byte(a, 2), 'b');
    EXPECT_EQ(array::pick_byte(a, 4), 0);
    // The source lies in the buffer, which moves as the array grows past its capacity.
    for (int i = 0; i < 6; ++i) {
        uint32_t n = array::length(a);
        uint8_t* written = array::append_bytes(a, array::start(a), n);
        EXPECT_EQ(written, array::start(a) + n);
    }
    ASSERT_EQ(array::length(a), 3u * 64);
    for (uint32_t i = 0; i < array::length(a); ++i) ASSERT_EQ(array::pick_byte(a, i + 1), "abc"[i % 3]);
}
