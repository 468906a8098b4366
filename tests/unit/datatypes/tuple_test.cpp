// tuple! from the values scripts cannot write yet (binary! bytes) and from the helpers other
// modules build colours and addresses with.
#include <gtest/gtest.h>

#include "datatypes/cells.h"
#include "datatypes/tuple.h"
#include "runtime/stack.h"
#include "tests/unit/support.h"

using namespace kaz;

namespace {

std::string text_of(const Cell& t) { return test::mold_text(t); }

class Tuples : public testing::Test {
protected:
    void SetUp() override { test::clear_stacks(); }
};

}  // namespace

TEST_F(Tuples, FromBinaryTakesUpToTwelveBytesFromThePositionPaddedToThree) {
    struct Case { std::vector<uint8_t> bytes; uint32_t head; const char* expect; };
    const Case kCases[] = {
        {{}, 0, "0.0.0"},
        {{7}, 0, "7.0.0"},
        {{1, 2, 3, 4}, 1, "2.3.4"},
        {{1, 2, 3, 4}, 9, "0.0.0"},  // a position past the tail reads nothing
        {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}, 0, "1.2.3.4.5.6.7.8.9.10.11.12"},
    };
    for (const Case& c : kCases) {
        Cell b = test::binary(c.bytes);
        b.data1 = c.head;
        EXPECT_EQ(text_of(tuple::make(cell::none(), b, TypeId::tuple)), c.expect);
    }
}

TEST_F(Tuples, ColoursAndIntegersKeepTheLowBytes) {
    EXPECT_EQ(text_of(tuple::from_colour(255, 136, 0, -1)), "255.136.0");
    EXPECT_EQ(text_of(tuple::from_colour(1, 2, 3, 0)), "1.2.3.0");
    const int32_t values[] = {256 + 9, -1};
    Cell t = tuple::from_ints(2, values);
    EXPECT_EQ(text_of(t), "9.255.0");
    EXPECT_EQ(tuple_cell::count(t), 3u);
    EXPECT_TRUE(tuple::zero_q(tuple::from_ints(0, values)));
}
