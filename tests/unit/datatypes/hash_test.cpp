// hash!: making and converting, the "make hash!" mold, copies that clone or rebuild the table,
// and the table kept in step with the cells by the block actions, sort and trim.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/hash.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "runtime/hooks.h"
#include "runtime/error.h"
#include "runtime/hashtable.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/text.h"
#include "runtime/throw.h"
#include "tests/unit/support.h"

using namespace kaz;
using test::error_of;
using test::utf8_of;

namespace {

Cell B(std::initializer_list<Cell> cells) { return test::blk(cells); }
Cell I(int32_t v) { return cell::integer(v); }
Cell H(std::initializer_list<Cell> cells) { return hash::make(cell::none(), B(cells), TypeId::hash); }

std::string mold(const Cell& v, bool only = false) {
    Cell out = string::make_cell(16);
    int32_t left = registry::actions(type_of(v)).mold(v, out.data2, only, false, false, nullptr, 1000, 0);
    std::string t = utf8_of(out);
    EXPECT_EQ(left, 1000 - int32_t(t.size()));
    return t;
}

// Where the table finds each integer from the buffer start (-1: not found).
std::vector<int32_t> positions(const Cell& h, std::initializer_list<int32_t> keys) {
    std::vector<int32_t> out;
    for (int32_t k : keys) {
        Cell* c = hashtable::find(h.data3, I(k), 0, 1, CompareOp::equal, false, false);
        out.push_back(c ? int32_t(c - memory::buffer_of(h.data2)->cells()) : -1);
    }
    return out;
}
using V = std::vector<int32_t>;

class Hash : public testing::Test {
protected:
    void SetUp() override {
        test::reset_stacks();
        integer::init();
        none::init();
        logic::init();
        series_::init();
        block::init();
        string::init();
        word::init();
        hash::init();
        if (!runtime_hooks.compare_cells)
            runtime_hooks.compare_cells = [](const Cell& a, const Cell& b, CompareOp op) {
                CompareAction c = registry::actions(type_of(a)).compare;
                return c ? c(a, b, op) : kNotComparable;
            };
    }
};

TEST_F(Hash, MakesIndexedCopiesAndMoldsAsMakeHash) {
    Cell spec = B({I(10), I(20), I(30)});
    spec.data1 = 1;
    Cell h = hash::make(cell::none(), spec, TypeId::hash);
    EXPECT_TRUE(is(h, TypeId::hash));
    EXPECT_NE(h.data2, spec.data2);
    EXPECT_EQ(mold(h), "make hash! [20 30]");
    EXPECT_EQ(mold(h, true), "20 30");
    EXPECT_EQ(positions(h, {20, 30, 10}), (V{0, 1, -1}));
    Cell nested = B({h});
    EXPECT_EQ(mold(nested), "[make hash! [20 30]]");

    for (Cell size : {I(5), I(-3), cell::float_(2.9)}) {
        Cell empty = hash::make(cell::none(), size, TypeId::hash);
        EXPECT_TRUE(is(empty, TypeId::hash));
        EXPECT_EQ(series_::total_length(empty), 0u);
        EXPECT_EQ(hashtable::record(empty.data3).block, empty.data2);
    }
    EXPECT_EQ(error_of([] { hash::make(cell::none(), cell::float_(1e10), TypeId::hash); }),
              ErrorId::script_out_of_range);

    // Other values become a block first.
    Cell single = hash::to(cell::none(), I(7), TypeId::hash);
    EXPECT_EQ(mold(single), "make hash! [7]");
    EXPECT_EQ(positions(single, {7}), (V{0}));
    Cell from_make = hash::make(cell::none(), I(7), TypeId::hash);
    EXPECT_EQ(series_::total_length(from_make), 0u);
    Cell again = hash::to(cell::none(), h, TypeId::hash);
    EXPECT_NE(again.data2, h.data2);
    EXPECT_EQ(mold(again), "make hash! [20 30]");
}

TEST_F(Hash, AWholeCopyClonesTheTableAndAPartialOneBuildsItsOwn) {
    Cell h = H({I(1), I(2), I(3)});
    Cell copy = cell::unset();
    hash::copy(h, copy, nullptr, false, nullptr);
    EXPECT_TRUE(is(copy, TypeId::hash));
    EXPECT_NE(copy.data3, h.data3);
    registry::actions(TypeId::hash).append(copy, I(4), -1, false, 1, true);
    EXPECT_EQ(positions(copy, {4, 1}), (V{3, 0}));
    EXPECT_EQ(positions(h, {4, 1}), (V{-1, 0}));  // the original's table is its own
    EXPECT_EQ(series_::total_length(h), 3u);

    Cell from_second = h;
    from_second.data1 = 1;
    Cell part_copy = cell::unset();
    hash::copy(from_second, part_copy, nullptr, false, nullptr);
    EXPECT_EQ(mold(part_copy), "make hash! [2 3]");
    EXPECT_EQ(positions(part_copy, {2, 3, 1}), (V{0, 1, -1}));

    Cell deep = cell::unset();
    hash::copy(H({B({I(1)})}), deep, nullptr, true, nullptr);
    EXPECT_TRUE(is(deep, TypeId::hash));
    EXPECT_EQ(hashtable::record(deep.data3).block, deep.data2);
}

TEST_F(Hash, BlockActionsKeepTheTableInStep) {
    const ActionTable& a = registry::actions(TypeId::hash);
    Cell h = H({I(1), I(2), I(3)});
    Cell at_two = h;
    at_two.data1 = 1;
    a.append(at_two, I(9), -1, false, 1, false);  // insert before 2
    EXPECT_EQ(positions(h, {1, 9, 2, 3}), (V{0, 1, 2, 3}));
    Cell removed = at_two;
    a.remove(removed, nullptr, nullptr);
    EXPECT_EQ(positions(h, {9, 2}), (V{-1, 1}));
    EXPECT_TRUE(a.random == nullptr);
}

TEST_F(Hash, SortAndTrimIndexTheNewPositions) {
    Cell h = H({I(3), I(1), I(2)});
    hash::sort(h, SortOptions{});
    EXPECT_EQ(mold(h), "make hash! [1 2 3]");
    EXPECT_EQ(positions(h, {1, 2, 3}), (V{0, 1, 2}));

    // From a head: only the cells after it move.
    Cell t = H({I(9), I(8), I(7)});
    Cell tail_part = t;
    tail_part.data1 = 1;
    hash::sort(tail_part, SortOptions{});
    EXPECT_EQ(positions(t, {9, 7, 8}), (V{0, 1, 2}));

    Cell n = H({I(5), cell::none(), I(6), cell::none(), I(7)});
    hash::trim(n, TrimOptions{});
    EXPECT_EQ(mold(n), "make hash! [5 6 7]");
    EXPECT_EQ(positions(n, {5, 6, 7}), (V{0, 1, 2}));
    EXPECT_EQ(hashtable::find(n.data3, cell::none(), 0, 1, CompareOp::equal, false, false), nullptr);
    EXPECT_EQ(hashtable::record(n.data3).count, 3u);
}

TEST_F(Hash, TakesTheBlockActionsExceptItsOwn) {
    const ActionTable& h = registry::actions(TypeId::hash);
    const ActionTable& b = registry::actions(TypeId::block);
    EXPECT_TRUE(h.find == b.find && h.select == b.select && h.put == b.put && h.append == b.append);
    EXPECT_TRUE(h.form == b.form && h.compare == b.compare && h.take == b.take);
    EXPECT_TRUE(h.make == hash::make && h.to == hash::to && h.copy == hash::copy);
    EXPECT_TRUE(h.sort == hash::sort && h.trim == hash::trim && h.mold == hash::mold);
    EXPECT_TRUE(h.random == nullptr);
}

}  // namespace
