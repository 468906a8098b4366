// char!: conversions from every accepted type, arithmetic that must stay a code point, and
// comparison, through the action functions in a real frame.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "datatypes/char.h"
#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "runtime/error.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/text.h"
#include "runtime/throw.h"
#include "tests/unit/support.h"

using namespace kaz;
using test::binary;
using test::call;
using test::Outcome;
using test::str;
using test::trapped;

namespace {

Cell ch(uint32_t cp) { return char_::cell_of(cp); }
class Char : public testing::Test {
protected:
    void SetUp() override {
        test::reset_stacks();
        integer::init();
        float_::init();
        series_::init();
        string::init();
        char_::init();
    }
};

TEST_F(Char, ArithmeticStaysACodePoint) {
    struct Case {
        FrameAction action;
        Cell left, right;
        std::optional<uint32_t> result;
        std::optional<ErrorId> error;
    };
    const Case kCases[] = {
        {char_::add, ch('a'), cell::integer(1), 'b', {}},
        {char_::add, ch('a'), ch(1), 'b', {}},
        {char_::subtract, ch('a'), ch('a'), 0, {}},
        {char_::subtract, ch('a'), cell::integer(98), {}, ErrorId::math_overflow},
        {char_::add, ch(0x10FFFF), cell::integer(1), {}, ErrorId::math_overflow},
        {char_::multiply, ch(2), cell::float_(3.9), 6, {}},
        {char_::divide, ch(9), cell::integer(3), 3, {}},
        {char_::divide, ch(9), cell::integer(2), 4, {}},
        {char_::divide, ch('e'), cell::integer(2), '2', {}},
        {char_::divide, ch('e'), cell::float_(2.9), '2', {}},
        {char_::divide, ch('e'), cell::integer(-1), {}, ErrorId::math_overflow},
        {char_::divide, ch(9), cell::integer(0), {}, ErrorId::math_zero_divide},
        {char_::remainder, ch(9), cell::integer(4), 1, {}},
        {char_::and_, ch('a'), cell::integer(0xDF), 'A', {}},
        {char_::or_, ch('A'), cell::integer(0x20), 'a', {}},
        {char_::xor_, ch('a'), ch(0x20), 'A', {}},
        {char_::add, ch('a'), str("x"), {}, ErrorId::script_invalid_type},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.left.data2);
        Outcome o = call(c.action, c.left, c.right);
        EXPECT_EQ(o.error, c.error);
        if (c.result) {
            EXPECT_EQ(type_of(o.value), TypeId::char_);
            EXPECT_EQ(o.value.data2, *c.result);
        }
    }
}

TEST_F(Char, ConvertsFromEveryAcceptedType) {
    struct Case {
        Cell spec;
        std::optional<uint32_t> result;
        std::optional<ErrorId> error;
    };
    const Case kCases[] = {
        {cell::float_(65.9), 'A', {}},
        {cell::integer(-1), {}, ErrorId::script_out_of_range},
        {cell::integer(1114112), {}, ErrorId::script_out_of_range},
        {cell::integer(0x10FFFF), 0x10FFFF, {}},
        {cell::float_(-0.5), 0, {}},  // truncated toward zero first
        {cell::float_(-1.0), {}, ErrorId::script_out_of_range},
        {str(""), {}, ErrorId::script_bad_to_arg},
        {str("abc"), 'a', {}},
        {str("\xE2\x82\xAC"), 0x20AC, {}},
        {ch('q'), 'q', {}},
        {binary({0xF0, 0x9F, 0x98, 0x80, 'x'}), 0x1F600, {}},
        {binary({0xC3}), {}, ErrorId::access_invalid_utf8},
        {binary({0xFF}), {}, ErrorId::access_invalid_utf8},
        {binary({}), {}, ErrorId::script_bad_to_arg},
        {cell::none(), {}, ErrorId::script_bad_to_arg},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(int(type_of(c.spec)));
        Outcome o =
            trapped([&] { return char_::make(cell::datatype(TypeId::char_), c.spec, TypeId::char_); });
        EXPECT_EQ(o.error, c.error);
        if (c.result) {
            EXPECT_EQ(o.value.data2, *c.result);
        }
    }
}

TEST_F(Char, ComparesWithIntegersButIsNotStrictlyEqualToThem) {
    EXPECT_EQ(char_::compare(ch('a'), cell::integer(97), CompareOp::equal), 0);
    EXPECT_EQ(char_::compare(ch('a'), cell::integer(97), CompareOp::strict_equal), 1);
    EXPECT_EQ(char_::compare(ch('a'), ch('A'), CompareOp::equal), 1);
    EXPECT_EQ(char_::compare(ch('a'), ch('b'), CompareOp::lesser), -1);
    EXPECT_EQ(char_::compare(ch('a'), str("a"), CompareOp::equal), kNotComparable);
    EXPECT_EQ(char_::compare(ch('a'), str("a"), CompareOp::find), 1);
}

TEST_F(Char, InheritsTheIntegerPredicates) {
    const ActionTable& a = registry::actions(TypeId::char_);
    ASSERT_NE(a.even_q, nullptr);
    EXPECT_TRUE(a.even_q(ch('b')));
    EXPECT_TRUE(a.odd_q(ch('a')));
    EXPECT_EQ(a.negate, nullptr);
    EXPECT_EQ(a.to, char_::make);
}

}  // namespace
