#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "runtime/heap.h"

using namespace kaz;

TEST(Heap, AllocReallocFreeKeepTheList) {
    size_t blocks = heap::block_count();
    void* p = heap::realloc(nullptr, 16);  // null behaves as alloc
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(heap::size_of(p), 16u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
    std::memset(p, 0xAB, 16);
    p = heap::realloc(p, 100000);  // moves, keeps content
    EXPECT_EQ(static_cast<uint8_t*>(p)[15], 0xAB);
    EXPECT_EQ(heap::size_of(p), 100000u);
    EXPECT_EQ(heap::block_count(), blocks + 1);
    EXPECT_EQ(heap::realloc(p, 0), nullptr);  // size 0 frees
    EXPECT_EQ(heap::block_count(), blocks);
}

TEST(Heap, FreeIgnoresWhatItDidNotHandOut) {
    size_t blocks = heap::block_count();
    alignas(16) static uint8_t not_ours[64] = {};
    heap::free(not_ours + 32);
    heap::free(nullptr);
    void* p = heap::alloc_zeroed(40);
    EXPECT_EQ(static_cast<uint8_t*>(p)[39], 0);
    heap::free(p);
    heap::free(p);  // a second free is ignored
    EXPECT_EQ(heap::block_count(), blocks);
}

TEST(Heap, DumpListsEveryBlockAndTheSum) {
    testing::internal::CaptureStdout();
    heap::dump();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("-- Heap-allocations --\nAsked   Real\n", 0), 0u) << out;
    EXPECT_NE(out.find("-- Sum: " + std::to_string(heap::bytes_held()) + " --\n"), std::string::npos);
}

TEST(Align, RoundsToPowersOfTwo) {
    struct Case { uint32_t value, alignment, align, next; };
    constexpr Case kCases[] = {{17, 16, 32, 32}, {32, 16, 32, 48}, {0, 16, 0, 16}, {1, 4, 4, 4}};
    for (auto c : kCases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(memory::align(c.value, c.alignment), c.align);
        EXPECT_EQ(memory::align_next(c.value, c.alignment), c.next);
    }
}

TEST(AngleFolding, FoldsIntoTheRangeOfEachFunction) {
    struct Case { double degrees; int kind; double folded; };
    constexpr Case kCases[] = {
        {270, 2, -90}, {135, 0, -45}, {200, 1, -160}, {-200, 1, 160}, {100, 2, 80},
        {-100, 2, -80}, {-135, 0, 45}, {720, 1, 0}, {45, 0, 45},
    };
    for (auto c : kCases) {
        SCOPED_TRACE(c.degrees);
        EXPECT_DOUBLE_EQ(math::degrees_to_radians(c.degrees, c.kind), c.folded * M_PI / 180.0);
    }
    EXPECT_DOUBLE_EQ(std::sin(math::degrees_to_radians(270, 2)), -1.0);
}
