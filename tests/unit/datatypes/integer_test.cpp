// integer!: arithmetic at the 32-bit boundaries, power, every rounding rule, conversions,
// text and comparison, each checked through the action functions in a real frame.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "runtime/error.h"
#include "runtime/memory.h"
#include "runtime/random.h"
#include "runtime/stack.h"
#include "runtime/throw.h"
#include "tests/unit/support.h"

using namespace kaz;
using test::call;
using test::Outcome;
using test::trapped;
using test::typed;

namespace {

Cell time_(double seconds) { return typed(TypeId::time, seconds); }
Cell percent(double fraction) { return typed(TypeId::percent, fraction); }
Cell char_(uint32_t code) { return cell::make(TypeId::char_, 0, code); }

class Integer : public testing::Test {
protected:
    void SetUp() override {
        test::reset_stacks();
        integer::init();
        float_::init();
        random::init();
    }
};

// An expected result: an integer, a number of another type, or an error.
struct Expect {
    TypeId type;
    double value;
    std::optional<ErrorId> error;
};
Expect I(int64_t v) { return {TypeId::integer, double(v), std::nullopt}; }
Expect F(double v) { return {TypeId::float_, v, std::nullopt}; }
Expect T(TypeId t, double v) { return {t, v, std::nullopt}; }
Expect E(ErrorId e) { return {TypeId::invalid, 0, e}; }

void check(const Outcome& o, const Expect& x) {
    if (x.error) {
        EXPECT_EQ(o.error, x.error);
        return;
    }
    ASSERT_FALSE(o.error) << error::info(*o.error).name;
    ASSERT_EQ(type_of(o.value), x.type);
    if (x.type == TypeId::integer) EXPECT_EQ(cell::get_integer(o.value), int64_t(x.value));
    else EXPECT_EQ(cell::get_float(o.value), x.value);
}

constexpr int32_t kMin = INT32_MIN;
constexpr int32_t kMax = INT32_MAX;

}  // namespace

TEST_F(Integer, ArithmeticOverflowGoesOverToFloat) {
    struct Case { FrameAction action; int32_t a, b; Expect expect; };
    const Case kCases[] = {
        {integer::add, kMax - 1, 1, I(kMax)},
        {integer::add, kMax, 1, F(2147483648.0)},
        {integer::add, kMin, -1, F(-2147483649.0)},
        {integer::add, kMax, kMax, F(4294967294.0)},
        {integer::subtract, kMin + 1, 1, I(kMin)},
        {integer::subtract, kMin, 1, F(-2147483649.0)},
        {integer::subtract, kMax, -1, F(2147483648.0)},
        {integer::subtract, 0, kMin, F(2147483648.0)},
        {integer::multiply, 46340, 46340, I(2147395600)},
        {integer::multiply, 46341, 46341, F(2147488281.0)},
        {integer::multiply, 65536, 65536, F(4294967296.0)},
        {integer::multiply, -65536, 32768, I(kMin)},
        {integer::multiply, kMin, -1, F(2147483648.0)},
        {integer::divide, 6, 3, I(2)},
        {integer::divide, 7, 2, F(3.5)},
        {integer::divide, -7, 2, F(-3.5)},
        {integer::divide, kMin, 2, I(kMin / 2)},
        {integer::divide, kMin, -1, E(ErrorId::math_overflow)},
        {integer::divide, 1, 0, E(ErrorId::math_zero_divide)},
        {integer::remainder, -7, 2, I(-1)},
        {integer::remainder, 7, -2, I(1)},
        {integer::remainder, kMin, 3, I(-2)},
        {integer::remainder, kMin, -1, E(ErrorId::math_overflow)},
        {integer::remainder, 1, 0, E(ErrorId::math_zero_divide)},
        {integer::or_, 12, 10, I(14)},
        {integer::and_, 12, 10, I(8)},
        {integer::xor_, 12, 10, I(6)},
        {integer::and_, -1, kMin, I(kMin)},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(testing::Message() << c.a << " op " << c.b);
        check(call(c.action, cell::integer(c.a), cell::integer(c.b)), c.expect);
    }
}

TEST_F(Integer, MixedOperandsFollowTheirTypes) {
    struct Case { FrameAction action; Cell right; Expect expect; };
    const Case kCases[] = {
        {integer::add, char_('A'), I(68)},
        {integer::add, cell::float_(0.5), F(3.5)},
        {integer::divide, cell::float_(0.0), F(INFINITY)},
        {integer::add, percent(0.5), F(3.5)},
        {integer::multiply, time_(1.5), T(TypeId::time, 4.5)},
        {integer::and_, cell::float_(1.0), E(ErrorId::script_cannot_use)},
        {integer::add, cell::none(), E(ErrorId::script_invalid_type)},
        {integer::add, cell::logic(true), E(ErrorId::script_invalid_type)},
        {integer::divide, cell::make(TypeId::pair), E(ErrorId::script_not_related)},
        {integer::subtract, cell::make(TypeId::tuple), E(ErrorId::script_not_related)},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(int(type_of(c.right)));
        check(call(c.action, cell::integer(3), c.right), c.expect);
    }
    // Without a result cell a division truncates.
    EXPECT_EQ(integer::math_op(7, 2, MathOp::divide, nullptr), 3);
    EXPECT_EQ(integer::math_op(-7, 2, MathOp::divide, nullptr), -3);
}

TEST_F(Integer, NegateAbsoluteComplementParity) {
    auto negate = [](int32_t v) {
        return trapped([&] {
            Cell c = cell::integer(v);
            integer::negate(c);
            return c;
        });
    };
    check(negate(5), I(-5));
    check(negate(kMax), I(-kMax));
    check(negate(kMin), E(ErrorId::math_overflow));
    check(call(integer::absolute, cell::integer(-5), cell::none()), I(5));
    check(call(integer::absolute, cell::integer(kMin + 1), cell::none()), I(kMax));
    check(call(integer::absolute, cell::integer(kMin), cell::none()), E(ErrorId::math_overflow));
    EXPECT_EQ(cell::get_integer(integer::complement(cell::integer(0))), -1);
    EXPECT_EQ(cell::get_integer(integer::complement(cell::integer(kMax))), kMin);
    for (int32_t v : {-4, -2, 0, 2, kMin}) EXPECT_TRUE(integer::even_q(cell::integer(v)) && !integer::odd_q(cell::integer(v))) << v;
    for (int32_t v : {-3, -1, 1, kMax}) EXPECT_TRUE(integer::odd_q(cell::integer(v)) && !integer::even_q(cell::integer(v))) << v;
}

TEST_F(Integer, PowerStaysIntegerUntilItOverflows) {
    struct Case { int32_t base; Cell exponent; Expect expect; };
    const Case kCases[] = {
        {2, cell::integer(10), I(1024)},
        {2, cell::integer(30), I(1 << 30)},
        {2, cell::integer(31), F(2147483648.0)},
        {-2, cell::integer(31), I(kMin)},
        {0, cell::integer(0), I(1)},
        {-1, cell::integer(kMax), I(-1)},
        {65536, cell::integer(1), I(65536)},       // the unused last squaring overflows: ignored
        {65536, cell::integer(3), F(281474976710656.0)},  // a squaring still needed overflows
        {7, cell::integer(12), F(13841287201.0)},  // the result multiplication overflows
        {46341, cell::integer(2), F(2147488281.0)},
        {2, cell::integer(-1), F(0.5)},
        {4, cell::float_(0.5), F(2.0)},
        {2, cell::none(), E(ErrorId::script_expect_arg)},
        {2, percent(0.5), E(ErrorId::script_expect_arg)},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(testing::Message() << c.base << " ** type " << int(type_of(c.exponent)));
        check(call(integer::power, cell::integer(c.base), c.exponent), c.expect);
    }
}

namespace {

enum Rule : unsigned { kNone = 0, kEven = 1, kDown = 2, kHalfDown = 4, kFloor = 8, kCeiling = 16, kHalfCeiling = 32 };

}  // namespace

TEST_F(Integer, RoundEveryRule) {
    struct Case { int32_t value; std::optional<Cell> scale; unsigned rules; Expect expect; };
    const Cell money = cell::make(TypeId::money);
    const Case kCases[] = {
        {17, std::nullopt, kNone, I(17)},
        {17, cell::integer(5), kNone, I(15)},
        {18, cell::integer(5), kNone, I(20)},
        {25, cell::integer(10), kNone, I(30)},
        {-25, cell::integer(10), kNone, I(-30)},
        {25, cell::integer(-10), kNone, I(30)},
        {25, cell::integer(10), kEven, I(20)},
        {35, cell::integer(10), kEven, I(40)},
        {-35, cell::integer(10), kEven, I(-40)},
        {25, cell::integer(10), kHalfDown, I(20)},
        {-25, cell::integer(10), kHalfDown, I(-20)},
        {26, cell::integer(10), kHalfDown, I(30)},
        {25, cell::integer(10), kHalfCeiling, I(30)},
        {-25, cell::integer(10), kHalfCeiling, I(-20)},
        {-29, cell::integer(10), kDown, I(-20)},
        {29, cell::integer(10), kDown, I(20)},
        {-21, cell::integer(10), kFloor, I(-30)},
        {21, cell::integer(10), kFloor, I(20)},
        {-21, cell::integer(10), kCeiling, I(-20)},
        {21, cell::integer(10), kCeiling, I(30)},
        {17, cell::integer(0), kNone, I(17)},
        // /down outranks /floor and /ceiling, which outrank the half rules.
        {-29, cell::integer(10), kDown | kFloor, I(-20)},
        {25, cell::integer(10), kFloor | kHalfCeiling, I(20)},
        // At the edges of the range.
        {kMax, cell::integer(10), kNone, E(ErrorId::math_overflow)},
        {kMax, cell::integer(10), kDown, I(2147483640)},
        {kMax - 8, cell::integer(10), kNone, I(2147483640)},
        {kMax, cell::integer(10), kFloor, E(ErrorId::math_overflow)},
        {-kMax, cell::integer(2), kFloor, E(ErrorId::math_overflow)},
        {kMin, std::nullopt, kNone, I(kMin)},
        {kMin, cell::integer(2), kNone, I(kMin)},
        {kMin, cell::integer(10), kDown, I(-2147483640)},
        {kMin, cell::integer(10), kNone, E(ErrorId::math_overflow)},
        {5, cell::integer(kMin), kNone, E(ErrorId::math_overflow)},
        // Any other scale rounds the value as a float!.
        {7, cell::float_(2.5), kNone, F(7.5)},
        {kMin, cell::float_(1.5), kNone, F(-2147483647.5)},
        {kMax, cell::float_(2.0), kNone, F(2147483648.0)},
        {5, money, kNone, E(ErrorId::script_not_related)},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(testing::Message() << "round " << c.value << " rules " << c.rules);
        check(trapped([&] {
                  Cell v = cell::integer(c.value);
                  integer::round(v, c.scale ? &*c.scale : nullptr, c.rules & kEven, c.rules & kDown,
                                 c.rules & kHalfDown, c.rules & kFloor, c.rules & kCeiling,
                                 c.rules & kHalfCeiling);
                  return v;
              }),
              c.expect);
    }
}

TEST_F(Integer, MakeAndToConvert) {
    auto binary = [](std::vector<uint8_t> bytes, uint32_t index) {
        Node n = series::alloc_bytes(16);
        SeriesBuffer* b = memory::buffer_of(n);
        uint8_t* p = series::reserve_bytes(b, uint32_t(bytes.size()));
        for (uint8_t byte : bytes) *p++ = byte;
        return cell::make(TypeId::binary, index, n, 0);
    };
    struct Case { Cell spec; Expect expect; };
    const Case kCases[] = {
        {cell::integer(-9), I(-9)},
        {char_(0x20AC), I(0x20AC)},
        {cell::float_(2.9), I(2)},
        {cell::float_(-2.9), I(-2)},
        {cell::float_(-2147483648.0), I(kMin)},
        {cell::float_(2147483647.0), I(kMax)},
        {cell::float_(2147483647.5), E(ErrorId::script_type_limit)},
        {cell::float_(-2147483648.5), E(ErrorId::script_type_limit)},
        {cell::float_(1e10), E(ErrorId::script_type_limit)},
        {cell::float_(NAN), E(ErrorId::script_type_limit)},
        {percent(0.75), I(0)},
        {time_(1.5), I(2)},
        {time_(-1.7), I(-1)},
        {time_(3e9), E(ErrorId::script_type_limit)},
        {time_(-3e9), E(ErrorId::script_type_limit)},
        {binary({0, 0, 1, 2}, 0), I(258)},
        {binary({0, 0, 1, 2, 3}, 0), I(258)},
        {binary({9, 1, 2}, 1), I(258)},
        {binary({0xFF, 0xFF, 0xFF, 0xFF}, 0), I(-1)},
        {binary({}, 0), I(0)},
        {binary({1, 2}, 5), I(0)},
        {cell::none(), E(ErrorId::script_bad_to_arg)},
        {cell::logic(true), E(ErrorId::script_bad_to_arg)},
    };
    const Cell proto = cell::datatype(TypeId::integer);
    for (const Case& c : kCases) {
        SCOPED_TRACE(int(type_of(c.spec)));
        check(trapped([&] { return integer::to(proto, c.spec, TypeId::integer); }), c.expect);
    }
    check(trapped([&] { return integer::make(proto, cell::logic(true), TypeId::integer); }), I(1));
    check(trapped([&] { return integer::make(proto, cell::logic(false), TypeId::integer); }), I(0));
    check(trapped([&] { return integer::make(proto, cell::float_(-7.9), TypeId::integer); }), I(-7));

    // The errors name the target type, and the value where there is one.
    Outcome o = trapped([&] { return integer::to(proto, cell::logic(false), TypeId::integer); });
    ASSERT_TRUE(o.error);
    EXPECT_EQ(error::field(o.raised, error::arg1).data1, uint32_t(TypeId::integer));
    EXPECT_TRUE(is(error::field(o.raised, error::arg2), TypeId::logic));
    o = trapped([&] { return integer::to(proto, cell::float_(1e10), TypeId::integer); });
    ASSERT_TRUE(o.error);
    EXPECT_TRUE(is(error::field(o.raised, error::arg1), TypeId::datatype));
    EXPECT_EQ(error::field(o.raised, error::arg1).data1, uint32_t(TypeId::integer));
}

TEST_F(Integer, IssueNamesReadAsHexadecimal) {
    const Cell issue = cell::make(TypeId::issue, 0, 77, 0xFFFFFFFF);
    struct Case { std::string_view name; Expect expect; };
    const Case kCases[] = {
        {"FF", I(255)},
        {"ff", I(255)},
        {"0", I(0)},
        {"", I(0)},
        {"7FFFFFFF", I(kMax)},
        {"80000000", I(kMin)},
        {"FFFFFFFF", I(-1)},
        {"000000001", E(ErrorId::script_invalid_data)},  // nine characters
        {"FG", E(ErrorId::script_invalid_data)},
        {"1 2", E(ErrorId::script_invalid_data)},
        {"\x01", E(ErrorId::script_invalid_data)},
        // Non-ASCII characters whose low 7 bits would read as digits: U+00C1, U+00B0, U+0141.
        {"\xC3\x81", E(ErrorId::script_invalid_data)},
        {"1\xC2\xB0", E(ErrorId::script_invalid_data)},
        {"\xC5\x81", E(ErrorId::script_invalid_data)},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(std::string(c.name));
        check(trapped([&] { return cell::integer(integer::issue_to_integer(c.name, issue)); }), c.expect);
    }
    // The error carries the issue.
    Outcome o = trapped([&] { return cell::integer(integer::issue_to_integer("XYZ", issue)); });
    ASSERT_TRUE(o.error);
    const Cell& arg = error::field(o.raised, error::arg1);
    EXPECT_TRUE(is(arg, TypeId::issue) && arg.data2 == 77);
}

TEST_F(Integer, FormAndMoldWithinTheLimit) {
    struct Case { int32_t value; int32_t limit; const char* text; int32_t left; };
    const Case kCases[] = {
        {0, 100, "0", 99},
        {-5, 100, "-5", 98},
        {kMax, 100, "2147483647", 90},
        {kMin, 100, "-2147483648", 89},
        {123456, 3, "123", 0},
        {-42, 1, "-", 0},
        {7, 0, "", 0},
        {7, -4, "", -4},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.text);
        Node formed = series::alloc_bytes(16), molded = series::alloc_bytes(16);
        EXPECT_EQ(integer::form(cell::integer(c.value), formed, nullptr, c.limit), c.left);
        EXPECT_EQ(integer::mold(cell::integer(c.value), molded, false, true, false, nullptr, c.limit, 0), c.left);
        EXPECT_EQ(test::byte_text(formed), c.text);
        EXPECT_EQ(test::byte_text(molded), c.text);
    }
    EXPECT_EQ(integer::format_decimal(-1000000000).view(), "-1000000000");
}

// Every digit count, both sides of each power of ten, and both ends of the range.
TEST_F(Integer, FormatDecimalAgreesWithTheLibrary) {
    std::vector<int32_t> values = {0, kMin, kMax, kMin + 1, kMax - 1};
    for (int64_t p = 1; p <= 1000000000; p *= 10)
        for (int64_t v : {p - 1, p, p + 1, 2 * p + 7, -p, -(p - 1), -(p + 1)})
            if (v >= kMin && v <= kMax) values.push_back(int32_t(v));
    for (int32_t v : values) {
        integer::Decimal d = integer::format_decimal(v);
        EXPECT_EQ(d.view(), std::to_string(v));
        EXPECT_EQ(std::string(d.text), std::to_string(v)) << "the text ends with a zero byte";
    }
}

TEST_F(Integer, CompareByOperation) {
    struct Case { int32_t value; Cell other; CompareOp op; int32_t result; };
    const Case kCases[] = {
        {3, cell::integer(3), CompareOp::equal, 0},
        {3, cell::integer(4), CompareOp::lesser, -1},
        {kMin, cell::integer(kMax), CompareOp::lesser, -1},
        {5, cell::integer(4), CompareOp::greater, 1},
        {65, char_('A'), CompareOp::equal, 0},
        {65, char_('A'), CompareOp::strict_equal, 1},
        {1, cell::float_(1.0000000000000002), CompareOp::equal, 0},  // float tolerance
        {1, cell::float_(1.0), CompareOp::strict_equal, 1},
        {1, cell::float_(1.0), CompareOp::find, 1},
        {1, cell::float_(1.5), CompareOp::lesser, -1},
        {2, cell::float_(NAN), CompareOp::greater, -1},  // no order with NaN
        {1, percent(1.0), CompareOp::equal, 0},
        {60, time_(60.0), CompareOp::equal, 0},
        {1, cell::none(), CompareOp::equal, kNotComparable},
        {1, cell::none(), CompareOp::strict_equal, 1},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(testing::Message() << c.value << " op " << int(c.op) << " type " << int(type_of(c.other)));
        EXPECT_EQ(integer::compare(cell::integer(c.value), c.other, c.op), c.result);
    }
}

TEST_F(Integer, RandomDrawsAndSeeds) {
    auto draw = [](Cell v, bool seed, bool secure) {
        integer::random(v, seed, secure, false);
        return v;
    };
    Cell seeded = draw(cell::integer(1234), true, false);
    EXPECT_TRUE(is(seeded, TypeId::unset));
    std::vector<int32_t> first;
    for (int i = 0; i < 20; ++i) first.push_back(cell::get_integer(draw(cell::integer(1000), false, false)));
    draw(cell::integer(1234), true, false);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(cell::get_integer(draw(cell::integer(1000), false, false)), first[size_t(i)]);

    EXPECT_EQ(cell::get_integer(draw(cell::integer(0), false, false)), 0);
    for (int i = 0; i < 200; ++i) {
        int32_t n = cell::get_integer(draw(cell::integer(-5), false, false));
        ASSERT_TRUE(n >= -5 && n <= -1) << n;
        int32_t s = cell::get_integer(draw(cell::integer(10), false, true));
        ASSERT_TRUE(s >= 1 && s <= 10) << s;
    }
    // char! inherits this action: the result stays a char!.
    Cell c = draw(char_(100), false, false);
    EXPECT_TRUE(is(c, TypeId::char_));
    EXPECT_TRUE(cell::get_integer(c) >= 1 && cell::get_integer(c) <= 100);
}
