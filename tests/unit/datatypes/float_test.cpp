// float! and the core it shares with percent! and time!: result types of mixed arithmetic,
// IEEE edge results, equality with tolerance, every rounding rule, text forms, conversions.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/symbol.h"
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
using test::unbound_word;

namespace {

Cell time_(double seconds) { return typed(TypeId::time, seconds); }
Cell percent(double fraction) { return typed(TypeId::percent, fraction); }
Cell char_(uint32_t code) { return cell::make(TypeId::char_, 0, code); }

uint64_t bits(double x) {
    uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}
double from_bits(uint64_t b) {
    double x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}
// x moved by n units in the last place.
double ulps(double x, int64_t n) { return from_bits(uint64_t(int64_t(bits(x)) + n)); }

class Float : public testing::Test {
protected:
    void SetUp() override {
        test::reset_stacks();
        integer::init();
        float_::init();
        random::init();
        float_::pretty_print_q = true;
    }
    void TearDown() override { float_::pretty_print_q = true; }
};

struct Expect {
    TypeId type;
    double value;
    std::optional<ErrorId> error;
};
Expect F(double v) { return {TypeId::float_, v, std::nullopt}; }
Expect I(int32_t v) { return {TypeId::integer, double(v), std::nullopt}; }
Expect T(TypeId t, double v) { return {t, v, std::nullopt}; }
Expect E(ErrorId e) { return {TypeId::invalid, 0, e}; }

// Values compare by bits: NaN matches NaN, and -0.0 does not match 0.0.
void check(const Outcome& o, const Expect& x) {
    if (x.error) {
        EXPECT_EQ(o.error, x.error);
        return;
    }
    ASSERT_FALSE(o.error) << error::info(*o.error).name;
    ASSERT_EQ(type_of(o.value), x.type);
    if (x.type == TypeId::integer) {
        EXPECT_EQ(cell::get_integer(o.value), int32_t(x.value));
    } else {
        double got = cell::get_float(o.value);
        if (std::isnan(x.value)) EXPECT_TRUE(std::isnan(got)) << got;
        else EXPECT_EQ(bits(got), bits(x.value)) << got << " expected " << x.value;
    }
}

// What the comparison natives make of a compare result.
bool holds(CompareOp op, int32_t r) {
    switch (op) {
        case CompareOp::not_equal: return r != 0;
        case CompareOp::lesser: return r < 0;
        case CompareOp::lesser_or_equal: return r <= 0;
        case CompareOp::greater: return r > 0;
        case CompareOp::greater_or_equal: return r >= 0;
        default: return r == 0;
    }
}

}  // namespace

TEST_F(Float, ArithmeticResultTypesAndIeeeEdges) {
    struct Case { FrameAction action; Cell left, right; Expect expect; };
    const Case kCases[] = {
        {float_::add, cell::float_(0.1), cell::float_(0.2), F(0.30000000000000004)},
        {float_::add, cell::float_(1.5), cell::integer(2), F(3.5)},
        {float_::add, cell::float_(1.5), char_('A'), F(66.5)},
        {float_::divide, cell::float_(1.0), cell::integer(0), F(INFINITY)},
        {float_::divide, cell::float_(-1.0), cell::float_(0.0), F(-INFINITY)},
        {float_::divide, cell::float_(0.0), cell::integer(0), F(NAN)},
        {float_::remainder, cell::float_(5.5), cell::integer(2), F(1.5)},
        {float_::remainder, cell::float_(-5.5), cell::integer(2), F(-1.5)},
        {float_::remainder, cell::float_(5.0), cell::float_(0.0), F(NAN)},
        {float_::remainder, cell::float_(5.0), cell::float_(INFINITY), F(5.0)},
        {float_::remainder, cell::float_(5.0), cell::float_(-INFINITY), F(5.0)},
        {float_::remainder, cell::float_(INFINITY), cell::float_(INFINITY), F(NAN)},
        {float_::remainder, cell::float_(5.0), cell::float_(NAN), F(NAN)},
        {float_::multiply, cell::float_(1e308), cell::integer(10), F(INFINITY)},
        // percent! with a plain number stays percent!; a time! with anything is a time!.
        {float_::add, percent(0.5), cell::integer(1), T(TypeId::percent, 1.5)},
        {float_::add, percent(0.5), percent(0.25), T(TypeId::percent, 0.75)},
        {float_::multiply, percent(0.5), cell::float_(3.0), T(TypeId::percent, 1.5)},
        {float_::add, cell::float_(1.5), percent(0.5), F(2.0)},
        {float_::add, cell::float_(1.5), time_(1.0), T(TypeId::time, 2.5)},
        {float_::add, time_(1.0), cell::float_(1.5), T(TypeId::time, 2.5)},
        {float_::add, time_(1.0), time_(2.0), T(TypeId::time, 3.0)},
        {float_::add, time_(60.0), percent(0.5), T(TypeId::time, 60.5)},
        {float_::add, percent(0.5), time_(1.0), T(TypeId::time, 1.5)},
        {float_::add, time_(1.0), char_('A'), E(ErrorId::script_invalid_type)},
        {float_::add, percent(0.5), char_('A'), E(ErrorId::script_invalid_type)},
        {float_::add, cell::float_(1.0), cell::none(), E(ErrorId::script_invalid_type)},
        {float_::add, time_(1.0), cell::make(TypeId::pair), E(ErrorId::script_invalid_type)},
        // A number on the left of a pair or tuple only scales or shifts it.
        {float_::subtract, cell::float_(1.0), cell::make(TypeId::pair), E(ErrorId::script_not_related)},
        {float_::divide, cell::float_(1.0), cell::make(TypeId::tuple), E(ErrorId::script_not_related)},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(testing::Message() << "types " << int(type_of(c.left)) << ", " << int(type_of(c.right)));
        check(call(c.action, c.left, c.right), c.expect);
    }
    // The integer core hands float operands over: 1 + 50% is a float!.
    check(call(integer::add, cell::integer(1), percent(0.5)), F(1.5));
    check(call(integer::subtract, cell::integer(1), time_(0.5)), T(TypeId::time, 0.5));
    EXPECT_EQ(float_::do_math(7.0, 2.0, MathOp::divide), 3.5);
}

TEST_F(Float, BitwiseOperationsNameTheRunningAction) {
    Outcome o = call(integer::or_, cell::integer(1), cell::float_(2.0));
    ASSERT_EQ(o.error, ErrorId::script_cannot_use);
    const Cell& action = error::field(o.raised, error::arg1);
    EXPECT_TRUE(is(action, TypeId::word));
    EXPECT_EQ(action.data2, unbound_word().data2);
    EXPECT_EQ(error::field(o.raised, error::arg2).data1, uint32_t(TypeId::float_));
}

TEST_F(Float, NegateAbsolutePowerParity) {
    auto negate = [](Cell v) {
        float_::negate(v);
        return v;
    };
    EXPECT_EQ(bits(cell::get_float(negate(cell::float_(0.0)))), bits(0.0));
    EXPECT_EQ(bits(cell::get_float(negate(cell::float_(-0.0)))), bits(0.0));
    EXPECT_EQ(cell::get_float(negate(cell::float_(2.5))), -2.5);
    EXPECT_TRUE(is(negate(percent(0.5)), TypeId::percent));
    check(call(float_::absolute, cell::float_(-0.0), cell::none()), F(0.0));
    check(call(float_::absolute, cell::float_(-INFINITY), cell::none()), F(INFINITY));
    check(call(float_::absolute, percent(-0.5), cell::none()), T(TypeId::percent, 0.5));

    check(call(float_::power, cell::float_(2.0), cell::integer(3)), F(8.0));
    check(call(float_::power, cell::float_(4.0), cell::float_(0.5)), F(2.0));
    check(call(float_::power, cell::float_(-8.0), cell::float_(1.0 / 3)), F(NAN));
    check(call(float_::power, percent(0.5), cell::integer(2)), T(TypeId::percent, 0.25));
    check(call(float_::power, cell::float_(2.0), cell::none()), E(ErrorId::script_expect_arg));

    struct Parity { double value; bool even, odd; };
    const Parity kParity[] = {
        {2.0, true, false}, {3.5, false, true}, {-3.0, false, true}, {-0.5, true, false},
        {4294967297.0, false, true}, {-4294967298.0, true, false}, {1e300, true, false},
        {INFINITY, false, false}, {NAN, false, false},
    };
    for (const Parity& p : kParity) {
        SCOPED_TRACE(p.value);
        EXPECT_EQ(float_::even_q(cell::float_(p.value)), p.even);
        EXPECT_EQ(float_::odd_q(cell::float_(p.value)), p.odd);
    }
}

TEST_F(Float, EqualityAllowsTenUnitsInTheLastPlace) {
    struct Case { double a, b; bool equal; };
    const Case kCases[] = {
        {0.1 + 0.2, 0.3, true},
        {1.0, ulps(1.0, 10), true},
        {1.0, ulps(1.0, 11), false},
        {1e300, ulps(1e300, 10), true},
        {1e300, ulps(1e300, 11), false},
        {-1.0, ulps(-1.0, 10), true},
        {-1.0, ulps(-1.0, 11), false},
        {0.0, -0.0, true},
        {1e-300, 3e-300, true},  // absolutely closer than 2^-52
        {1e-15, 2e-15, false},
        {5e-324, -5e-324, true},
        {INFINITY, INFINITY, true},
        {INFINITY, -INFINITY, false},
        {NAN, NAN, false},
        {NAN, 1.0, false},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(testing::Message() << c.a << " vs " << c.b);
        EXPECT_EQ(float_::almost_equal_q(c.a, c.b), c.equal);
        EXPECT_EQ(float_::almost_equal_q(c.b, c.a), c.equal);
    }
    EXPECT_TRUE(float_::almost_equal32_q(1.0f, std::nextafter(1.0f, 2.0f)));
    EXPECT_FALSE(float_::almost_equal32_q(1.0f, 1.00001f));
    EXPECT_FALSE(float_::almost_equal32_q(NAN, NAN));
}

TEST_F(Float, CompareByOperation) {
    struct Case { Cell a, b; CompareOp op; bool holds; };
    const Case kCases[] = {
        {cell::float_(0.1 + 0.2), cell::float_(0.3), CompareOp::equal, true},
        {cell::float_(0.1 + 0.2), cell::float_(0.3), CompareOp::not_equal, false},
        {cell::float_(0.1 + 0.2), cell::float_(0.3), CompareOp::strict_equal, false},
        {cell::float_(0.1 + 0.2), cell::float_(0.3), CompareOp::lesser, false},
        {cell::float_(0.1 + 0.2), cell::float_(0.3), CompareOp::greater, true},
        {cell::float_(1.0), cell::integer(1), CompareOp::equal, true},
        {cell::float_(1.0), cell::integer(1), CompareOp::strict_equal, false},
        {cell::float_(0.5), percent(0.5), CompareOp::equal, true},
        {cell::float_(0.5), percent(0.5), CompareOp::find, false},
        {cell::float_(0.0), cell::float_(-0.0), CompareOp::equal, true},
        {cell::float_(0.0), cell::float_(-0.0), CompareOp::strict_equal, true},
        {cell::float_(0.0), cell::float_(-0.0), CompareOp::same, false},
        {cell::float_(NAN), cell::float_(NAN), CompareOp::equal, false},
        {cell::float_(NAN), cell::float_(NAN), CompareOp::strict_equal, false},
        {cell::float_(NAN), cell::float_(NAN), CompareOp::find, false},
        {cell::float_(NAN), cell::float_(1.0), CompareOp::lesser, false},
        {cell::float_(NAN), cell::float_(1.0), CompareOp::lesser_or_equal, false},
        {cell::float_(NAN), cell::float_(1.0), CompareOp::greater, false},
        {cell::float_(NAN), cell::float_(1.0), CompareOp::greater_or_equal, false},
        {cell::float_(NAN), cell::float_(1.0), CompareOp::not_equal, true},
        {cell::float_(-INFINITY), cell::integer(INT32_MIN), CompareOp::lesser, true},
        {time_(2.0), cell::float_(2.0), CompareOp::equal, true},
        {time_(2.0), cell::float_(2.0), CompareOp::strict_equal, false},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(testing::Message() << cell::get_float(c.a) << " op " << int(c.op));
        EXPECT_EQ(holds(c.op, float_::compare(c.a, c.b, c.op)), c.holds);
    }
    EXPECT_EQ(float_::compare(cell::float_(1.0), char_('A'), CompareOp::equal), kNotComparable);
    EXPECT_EQ(float_::compare(cell::float_(1.0), cell::none(), CompareOp::lesser), kNotComparable);
}

namespace {

enum Rule : unsigned { kNone = 0, kEven = 1, kDown = 2, kHalfDown = 4, kFloor = 8, kCeiling = 16, kHalfCeiling = 32 };
constexpr double kTiny = 4.9406564584124654e-324;  // 2^-1074

}  // namespace

TEST_F(Float, RoundEveryRule) {
    struct Case { Cell value; std::optional<Cell> scale; unsigned rules; Expect expect; };
    const Case kCases[] = {
        {cell::float_(2.5), std::nullopt, kNone, F(3.0)},
        {cell::float_(-2.5), std::nullopt, kNone, F(-3.0)},
        {cell::float_(2.4), std::nullopt, kNone, F(2.0)},
        {cell::float_(2.6), std::nullopt, kNone, F(3.0)},
        {cell::float_(2.5), std::nullopt, kEven, F(2.0)},
        {cell::float_(3.5), std::nullopt, kEven, F(4.0)},
        {cell::float_(-3.5), std::nullopt, kEven, F(-4.0)},
        {cell::float_(2.5), std::nullopt, kHalfDown, F(2.0)},
        {cell::float_(-2.5), std::nullopt, kHalfDown, F(-2.0)},
        {cell::float_(2.5), std::nullopt, kHalfCeiling, F(3.0)},
        {cell::float_(-2.5), std::nullopt, kHalfCeiling, F(-2.0)},
        {cell::float_(-2.7), std::nullopt, kDown, F(-2.0)},
        {cell::float_(2.7), std::nullopt, kDown, F(2.0)},
        {cell::float_(-2.1), std::nullopt, kFloor, F(-3.0)},
        {cell::float_(2.9), std::nullopt, kFloor, F(2.0)},
        {cell::float_(-2.9), std::nullopt, kCeiling, F(-2.0)},
        {cell::float_(2.1), std::nullopt, kCeiling, F(3.0)},
        {cell::float_(-2.7), std::nullopt, kDown | kCeiling, F(-2.0)},
        {cell::float_(NAN), std::nullopt, kNone, F(NAN)},
        {cell::float_(INFINITY), std::nullopt, kNone, F(INFINITY)},
        {cell::float_(1e300), std::nullopt, kNone, F(1e300)},
        // /to: the result's type follows the scale.
        {cell::float_(3.14159), cell::float_(0.01), kNone, F(3.14)},
        {cell::float_(1.26), cell::float_(-0.1), kNone, F(1.3)},
        {cell::float_(7.0), cell::float_(2.5), kNone, F(7.5)},
        {cell::float_(2.5), cell::integer(1), kNone, I(3)},
        {cell::float_(-2.5), cell::integer(1), kDown, I(-2)},
        {cell::float_(17.0), cell::integer(5), kNone, I(15)},
        {cell::float_(2147483647.4), cell::integer(1), kNone, I(INT32_MAX)},
        {cell::float_(-2147483648.4), cell::integer(1), kNone, I(INT32_MIN)},
        {cell::float_(0.25), percent(0.1), kNone, T(TypeId::percent, 0.3)},
        {cell::float_(5.5), cell::float_(0.0), kNone, F(5.5)},
        {cell::float_(1e300), cell::float_(0.5), kNone, F(1e300)},
        // A scale below the smallest normal double.
        {cell::float_(15 * kTiny), cell::float_(2 * kTiny), kNone, F(16 * kTiny)},
        {cell::float_(13 * kTiny), cell::float_(2 * kTiny), kEven, F(12 * kTiny)},
        // A percent! rounds in hundredths.
        {percent(0.125), std::nullopt, kNone, T(TypeId::percent, 0.13)},
        {percent(0.125), std::nullopt, kEven, T(TypeId::percent, 0.12)},
        // An integer! result must fit, and a rounded result must be finite.
        {cell::float_(2147483647.6), cell::integer(1), kNone, E(ErrorId::math_overflow)},
        {cell::float_(-2147483648.6), cell::integer(1), kNone, E(ErrorId::math_overflow)},
        {cell::float_(1e10), cell::integer(1), kNone, E(ErrorId::math_overflow)},
        {cell::float_(1e300), cell::integer(1), kNone, E(ErrorId::math_overflow)},
        {cell::float_(INFINITY), cell::integer(1), kNone, E(ErrorId::math_overflow)},
        {cell::float_(NAN), cell::integer(1), kNone, E(ErrorId::math_overflow)},
        {cell::float_(1.7e308), cell::float_(1e308), kNone, E(ErrorId::math_overflow)},
        {cell::float_(1.0), cell::make(TypeId::money), kNone, E(ErrorId::script_not_related)},
        {cell::float_(1.0), cell::none(), kNone, E(ErrorId::script_invalid_type)},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(testing::Message() << "round " << cell::get_float(c.value) << " rules " << c.rules);
        check(trapped([&] {
                  Cell v = c.value;
                  float_::round(v, c.scale ? &*c.scale : nullptr, c.rules & kEven, c.rules & kDown,
                                c.rules & kHalfDown, c.rules & kFloor, c.rules & kCeiling,
                                c.rules & kHalfCeiling);
                  return v;
              }),
              c.expect);
    }
    EXPECT_EQ(float_::round_to_integer(2.5), 3);
    EXPECT_EQ(float_::round_to_integer(-2.5), -2);
    EXPECT_EQ(float_::round_to_integer(0.49999999999999994), 0);
    EXPECT_EQ(trapped([] { return cell::integer(float_::round_to_integer(3e9)); }).error,
              ErrorId::script_type_limit);
}

TEST_F(Float, FormatKinds) {
    struct Case { double value; float_::FormatKind kind; bool pretty; const char* text; };
    using K = float_::FormatKind;
    const Case kCases[] = {
        {0.1, K::float_, true, "0.1"},
        {0.1 + 0.2, K::float_, true, "0.3"},
        {100.0, K::float_, true, "100.0"},
        {-2.5, K::float_, true, "-2.5"},
        {1e-7, K::float_, true, "1.0e-7"},
        {1e20, K::float_, true, "1.0e20"},
        {1.5e300, K::float_, true, "1.5e300"},
        {1.0 / 3, K::float_, true, "0.3333333333333333"},
        {1.2345678901234568e17, K::float_, true, "1.234567890123457e17"},
        {INFINITY, K::float_, true, "1.#INF"},
        {-INFINITY, K::percent, true, "-1.#INF"},
        {NAN, K::float_, true, "1.#NaN"},
        // The noise of binary fractions is removed only with pretty?.
        {2.675 * 3, K::float_, true, "8.025"},
        {2.675 * 3, K::float_, false, "8.024999999999999"},
        {0.1 + 0.7, K::float_, true, "0.8"},
        {4.35 * 100, K::float_, true, "435.0"},
        {1.000000000000001e20, K::float_, true, "1.0e20"},
        {1.000000000000001e20, K::float_, false, "1.000000000000001e20"},
        {1e-20, K::float_, true, "0.0"},
        {1e-20, K::float_, false, "9.999999999999999e-21"},
        {-1e-17, K::float_, true, "0.0"},
        // The other kinds.
        {50.0, K::percent, true, "50%"},
        {12.5, K::percent, true, "12.5%"},
        {1e-20, K::percent, true, "0%"},
        {1e-20, K::point, true, "0"},
        {0.1f, K::float32, true, "0.1"},
        {3.0f, K::float32, true, "3.0"},
        {2.5f, K::point, true, "2.5"},
        {12.5, K::percent32, true, "12.5%"},
        {1.0 / 3, K::percent, true, "0.3333333333333%"},
        {5.0, K::time, true, "5"},
        {1.5, K::time, true, "1.5"},
        {1.0 / 3, K::time, true, "0.333333"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.text);
        float_::pretty_print_q = c.pretty;
        EXPECT_EQ(float_::format(c.value, c.kind).view(), c.text);
    }
}

TEST_F(Float, FormAndMoldWithinTheLimit) {
    struct Case { double value; bool mold; int32_t limit; const char* text; int32_t left; };
    const Case kCases[] = {
        {0.1 + 0.2, false, 100, "0.3", 97},
        {0.1 + 0.2, true, 100, "0.30000000000000004", 81},
        {1.0, true, 100, "1.0", 97},
        {100.0, false, 100, "100.0", 95},
        {1e-7, true, 100, "0.0000001", 91},
        {-0.0, true, 100, "-0.0", 96},
        {0.1 + 0.2, true, 5, "0.300", 0},
        {0.1 + 0.2, false, 0, "", 0},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.text);
        Node s = series::alloc_bytes(16);
        Cell v = cell::float_(c.value);
        int32_t left = c.mold ? float_::mold(v, s, false, false, false, nullptr, c.limit, 0)
                              : float_::form(v, s, nullptr, c.limit);
        EXPECT_EQ(test::byte_text(s), c.text);
        EXPECT_EQ(left, c.left);
    }
}

TEST_F(Float, MakeAndToConvert) {
    auto block = [](std::vector<Cell> cells) {
        Node n = series::alloc_cells(4);
        SeriesBuffer* b = memory::buffer_of(n);
        for (const Cell& c : cells) *series::reserve_cell(b) = c;
        return cell::make(TypeId::block, 0, n, 0);
    };
    auto binary = [](std::vector<uint8_t> bytes) {
        Node n = series::alloc_bytes(16);
        SeriesBuffer* b = memory::buffer_of(n);
        uint8_t* p = series::reserve_bytes(b, uint32_t(bytes.size()));
        for (uint8_t byte : bytes) *p++ = byte;
        return cell::make(TypeId::binary, 0, n, 0);
    };
    Cell at_second = block({cell::integer(9), cell::integer(3), cell::integer(2)});
    at_second.data1 = 1;
    struct Case { Cell spec; TypeId type; Expect expect; };
    const Case kCases[] = {
        {block({cell::integer(3), cell::integer(2)}), TypeId::float_, F(300.0)},
        {block({cell::float_(25.0), cell::integer(-1)}), TypeId::float_, F(2.5)},
        {block({cell::integer(3), cell::float_(2.9)}), TypeId::float_, F(300.0)},
        {at_second, TypeId::float_, F(300.0)},
        {block({cell::integer(3)}), TypeId::float_, E(ErrorId::script_bad_to_arg)},
        {block({cell::integer(3), cell::none()}), TypeId::float_, E(ErrorId::script_bad_to_arg)},
        {cell::integer(5), TypeId::float_, F(5.0)},
        {char_('A'), TypeId::float_, F(65.0)},
        {percent(0.5), TypeId::float_, F(0.5)},
        {time_(90.0), TypeId::float_, F(90.0)},
        {cell::float_(0.5), TypeId::percent, T(TypeId::percent, 0.5)},
        {cell::integer(30), TypeId::time, T(TypeId::time, 30.0)},
        {binary({0x3F, 0xF0, 0, 0, 0, 0, 0, 0}), TypeId::float_, F(1.0)},
        {binary({0x3F, 0xF0, 0, 0, 0, 0, 0, 0, 0xAA}), TypeId::float_, F(1.0)},
        {binary({0x3F, 0xF0}), TypeId::float_, F(from_bits(0x3FF0))},
        {binary({}), TypeId::float_, F(0.0)},
        {cell::none(), TypeId::float_, E(ErrorId::script_bad_to_arg)},
        {cell::logic(true), TypeId::float_, E(ErrorId::script_bad_to_arg)},
    };
    const Cell proto = cell::datatype(TypeId::float_);
    for (const Case& c : kCases) {
        SCOPED_TRACE(int(type_of(c.spec)));
        check(trapped([&] { return float_::make(proto, c.spec, c.type); }), c.expect);
    }
    // A block of the wrong length names the requested type; a wrong value in it, float!.
    Outcome o = trapped([&] { return float_::make(proto, block({cell::integer(1)}), TypeId::percent); });
    EXPECT_EQ(error::field(o.raised, error::arg1).data1, uint32_t(TypeId::percent));
    o = trapped([&] { return float_::make(proto, block({cell::none(), cell::integer(1)}), TypeId::percent); });
    EXPECT_EQ(error::field(o.raised, error::arg1).data1, uint32_t(TypeId::float_));
}

TEST_F(Float, RandomStaysBetweenZeroAndTheValue) {
    auto draw = [](Cell v, bool seed, bool secure) {
        float_::random(v, seed, secure, false);
        return v;
    };
    for (bool secure : {false, true}) {
        SCOPED_TRACE(secure);
        int low = 0, high = 0;
        for (int i = 0; i < 1000; ++i) {
            double d = cell::get_float(draw(cell::float_(10.0), false, secure));
            ASSERT_TRUE(d >= 0.0 && d <= 10.0) << d;
            (d < 5.0 ? low : high)++;
        }
        EXPECT_GT(low, 400);
        EXPECT_GT(high, 400);
        double n = cell::get_float(draw(cell::float_(-2.0), false, secure));
        EXPECT_TRUE(n <= 0.0 && n >= -2.0) << n;
    }
    EXPECT_TRUE(is(draw(percent(1.0), false, false), TypeId::percent));

    EXPECT_TRUE(is(draw(cell::float_(1.5), true, false), TypeId::unset));
    double first = cell::get_float(draw(cell::float_(1.0), false, false));
    draw(cell::float_(1.5), true, false);
    EXPECT_EQ(cell::get_float(draw(cell::float_(1.0), false, false)), first);
    // The seed is the exclusive-or of the double's two halves.
    uint64_t b = bits(1.5);
    random::seed(uint32_t(b) ^ uint32_t(b >> 32));
    EXPECT_EQ(cell::get_float(draw(cell::float_(1.0), false, false)), first);
}

TEST_F(Float, ARefusedExponentNamesPowerAndItsArgument) {
    for (FrameAction power : {float_::power, integer::power}) {
        Cell base = power == float_::power ? cell::float_(2.0) : cell::integer(2);
        Outcome o = call(power, base, cell::logic(true));
        ASSERT_EQ(o.error, ErrorId::script_expect_arg);
        EXPECT_EQ(symbol::name(error::field(o.raised, error::arg1).data2), "power");
        EXPECT_EQ(error::field(o.raised, error::arg2).data1, uint32_t(TypeId::logic));
        EXPECT_EQ(symbol::name(error::field(o.raised, error::arg3).data2), "exponent");
    }
}
