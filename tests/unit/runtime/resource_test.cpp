#include <gtest/gtest.h>

#include <vector>

#include "runtime/resource.h"

using namespace kaz;

namespace {
std::vector<uintptr_t> released;
void record_release(uintptr_t h) { released.push_back(h); }
std::vector<std::string> printed;
void text_hook(const char* text, size_t length, int) { printed.emplace_back(text, length); }
void other_hook(const char*, size_t, int) { printed.emplace_back("other"); }
}  // namespace

class Resources : public testing::Test {
protected:
    void SetUp() override {
        resource::init();
        released.clear();
    }
};

TEST_F(Resources, KindsAreNumberedFromOneAndLimited) {
    for (uint32_t i = 1; i <= resource::kKindCapacity; ++i)
        EXPECT_EQ(resource::register_kind("k", nullptr), i);
    EXPECT_STREQ(resource::kind_name(1), "k");
    EXPECT_EQ(resource::kind_name(21), nullptr);
}

TEST_F(Resources, The1000thRecordDoublesTheTableFirst) {
    uint32_t kind = resource::register_kind("image", record_release);
    for (int i = 0; i < 999; ++i) resource::add(uintptr_t(i + 1), kind);
    EXPECT_EQ(resource::capacity(), 1000u);
    int32_t last = resource::add(1000, kind);
    EXPECT_EQ(resource::capacity(), 2000u);
    EXPECT_EQ(last, 999);  // the last of the first table, taken after growing
    EXPECT_EQ(resource::live_count(), 1000u);
    EXPECT_EQ(resource::free_head(), 1000);
}

TEST_F(Resources, SweepReleasesWhatIsNotMarked) {
    uint32_t kind = resource::register_kind("font", record_release);
    uint32_t silent = resource::register_kind("silent", nullptr);
    int32_t a = resource::add(10, kind);
    int32_t b = resource::add(20, kind);
    int32_t c = resource::add(30, silent);
    EXPECT_TRUE(resource::mark(a, 0));
    EXPECT_FALSE(resource::mark(a, 11));  // already marked; the handle is replaced
    resource::sweep();
    EXPECT_EQ(released, std::vector<uintptr_t>{20});  // the silent kind is dropped quietly
    EXPECT_EQ(resource::live_count(), 1u);
    EXPECT_EQ(resource::record(a).handle, 11u);
    EXPECT_EQ(resource::record(a).kind, kind);  // mark cleared
    EXPECT_EQ(resource::record(b).kind, resource::kFreeWord);
    EXPECT_EQ(resource::record(c).kind, resource::kFreeWord);
    resource::sweep();
    EXPECT_EQ(released, (std::vector<uintptr_t>{20, 11}));
}

TEST_F(Resources, SetHandleAndRemove) {
    uint32_t kind = resource::register_kind("window", record_release);
    int32_t a = resource::add(5, kind);
    resource::set_handle(a, 5);
    EXPECT_TRUE(released.empty());
    resource::set_handle(a, 6);
    EXPECT_EQ(released, std::vector<uintptr_t>{5});
    int32_t b = resource::add(7, kind);
    resource::remove(a, true);
    EXPECT_EQ(released, (std::vector<uintptr_t>{5, 6}));
    EXPECT_EQ(resource::free_head(), a);
    EXPECT_EQ(resource::live_head(), b);
    std::vector<uintptr_t> seen;
    static std::vector<uintptr_t>* out;
    out = &seen;
    resource::for_each_of_kind(kind, [](uintptr_t h) { out->push_back(h); });
    EXPECT_EQ(seen, std::vector<uintptr_t>{7});
}

TEST(PrintHooks, AddCallRemoveAndGrow) {
    print_hooks::init();
    EXPECT_TRUE(print_hooks::ready());
    printed.clear();
    for (int i = 0; i < 6; ++i) print_hooks::add(nullptr, other_hook);  // grows past 5
    print_hooks::add(nullptr, text_hook);
    EXPECT_EQ(print_hooks::text_count(), 7u);
    print_hooks::call_text("hello", 5, 0);
    EXPECT_EQ(printed.size(), 7u);
    EXPECT_EQ(printed.back(), "hello");
    print_hooks::remove(nullptr, text_hook);
    print_hooks::remove(nullptr, other_hook);  // the first occurrence only
    EXPECT_EQ(print_hooks::text_count(), 5u);
    print_hooks::init();
}

TEST(ValueSlots, StoreReleaseAndGrow) {
    value_slots::init();
    for (int i = 1; i <= 100; ++i) EXPECT_EQ(value_slots::store(cell::integer(i)), uint32_t(i));
    EXPECT_EQ(value_slots::capacity(), 100u);
    EXPECT_EQ(value_slots::store(cell::integer(101)), 101u);
    EXPECT_EQ(value_slots::capacity(), 200u);
    EXPECT_EQ(cell::get_integer(*value_slots::cell_at(100)), 100);  // kept across the growth
    value_slots::release(0);
    value_slots::release(3);
    EXPECT_EQ(value_slots::store(cell::none()), 3u);
    EXPECT_TRUE(is(*value_slots::cell_at(3), TypeId::none));
    EXPECT_EQ(value_slots::store(cell::none()), 102u);
}
