#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <string_view>

#include "datatypes/decimal.h"
#include "runtime/error.h"
#include "runtime/random.h"
#include "tests/unit/support.h"

using namespace kaz;

namespace {

struct MathCase { char op; const char* a; const char* b; const char* result; };
struct RoundCase { const char* value; const char* scale; char mode; const char* result; };
struct FloatCase { double x; bool strict; const char* result; };
struct ToFloatCase { const char* amount; double x; };
struct ToIntegerCase { const char* amount; const char* result; };
#include "tests/unit/datatypes/decimal_cases.inc"

// "-123.45000" as a money! cell, through the digit-text loader.
Cell money_of(std::string_view text, uint8_t currency = 0) {
    bool negative = !text.empty() && text[0] == '-';
    if (negative) text.remove_prefix(1);
    size_t point = text.find('.');
    std::string_view whole = text.substr(0, point);
    std::string_view fraction = point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
    Cell c = cell::none();
    EXPECT_TRUE(money::init_from_digits(c, negative, currency, whole, fraction)) << text;
    return c;
}

// The amount with all 22 digits read through the digit accessors: "-123.45000".
std::string text_of(const Cell& c) {
    const uint8_t* area = money::digits_of(c);
    std::string whole, fraction;
    for (int32_t i = 1; i <= money::kIntegerDigits; ++i) {
        int32_t d = money::get_digit(area, i);
        if (d || !whole.empty() || i == money::kIntegerDigits) whole += char('0' + d);
    }
    for (int32_t i = money::kIntegerDigits + 1; i <= money::kDigits; ++i) fraction += char('0' + money::get_digit(area, i));
    return (money::get_sign(c) ? "-" : "") + whole + "." + fraction;
}

// What an operation made: the amount's text, or the id of the error it raised.
template <typename F>
std::string outcome(F body) {
    test::Outcome o = test::trapped([&] { return body(); });
    if (!o.error) return text_of(o.value);
    switch (*o.error) {
        case ErrorId::script_type_limit: return "limit";
        case ErrorId::math_zero_divide: return "zero-divide";
        case ErrorId::script_bad_make_arg: return "bad";
        default: return "error " + std::to_string(int(*o.error));
    }
}

Cell apply(char op, Cell a, const Cell& b) {
    switch (op) {
        case '+': money::add_amounts(a, b); break;
        case '-': money::subtract_amounts(a, b); break;
        case '*': money::multiply_amounts(a, b); break;
        case '/': money::divide_amounts(a, b, false); break;
        default: money::divide_amounts(a, b, true); break;
    }
    return a;
}

money::Rounding mode_of(char m) {
    switch (m) {
        case 'd': return money::Rounding::down;
        case 'f': return money::Rounding::floor;
        case 'c': return money::Rounding::ceiling;
        case 'e': return money::Rounding::even;
        case 'h': return money::Rounding::half_down;
        case 'H': return money::Rounding::half_ceiling;
        default: return money::Rounding::nearest;
    }
}

class Decimal : public testing::Test {
protected:
    void SetUp() override { test::clear_stacks(); }
    void TearDown() override { test::clear_stacks(); }
};

TEST_F(Decimal, ArithmeticAgreesWithTheOracle) {
    for (const MathCase& c : kMath) {
        SCOPED_TRACE(std::string(c.a) + " " + c.op + " " + c.b);
        Cell a = money_of(c.a), b = money_of(c.b);
        const Cell a_before = a;
        EXPECT_EQ(outcome([&] { return apply(c.op, a, b); }), c.result);
        // The operation works on its own copy: a failure leaves nothing half done.
        Cell in_place = a;
        test::trapped([&] {
            in_place = apply(c.op, in_place, b);
            return cell::none();
        });
        if (std::string_view(c.result) == "limit" || std::string_view(c.result) == "zero-divide") {
            EXPECT_EQ(std::memcmp(&in_place, &a_before, sizeof(Cell)), 0);
        }
    }
}

TEST_F(Decimal, RoundingAgreesWithTheOracle) {
    for (const RoundCase& c : kRounds) {
        SCOPED_TRACE(std::string(c.value) + " to " + c.scale + " mode " + c.mode);
        Cell v = money_of(c.value, 7), s = money_of(c.scale);
        EXPECT_EQ(outcome([&] {
                      money::round_amount(v, s, mode_of(c.mode));
                      return v;
                  }),
                  c.result);
        EXPECT_EQ(money::currency_of(v), 7);
    }
}

TEST_F(Decimal, FloatsBecomeAmountsFromTheirShortestDigits) {
    for (const FloatCase& c : kFloats) {
        SCOPED_TRACE(std::to_string(c.x) + (c.strict ? " strict" : ""));
        test::Outcome o = test::trapped([&] { return money::from_float(c.x, c.strict); });
        if (std::string_view(c.result) == "bad") {
            ASSERT_TRUE(o.error);
            EXPECT_EQ(*o.error, ErrorId::script_bad_make_arg);
            Cell arg = error::field(o.raised, error::arg1);
            EXPECT_TRUE(is(arg, TypeId::datatype) && arg.data1 == uint32_t(TypeId::money));
        } else {
            ASSERT_FALSE(o.error);
            EXPECT_EQ(text_of(o.value), c.result);
            EXPECT_TRUE(is(o.value, TypeId::money));
        }
    }
}

TEST_F(Decimal, AmountsBecomeTheNearestFloatAndTheirIntegerPart) {
    for (const ToFloatCase& c : kToFloats) {
        SCOPED_TRACE(c.amount);
        EXPECT_EQ(money::to_float(money_of(c.amount)), c.x);
    }
    for (const ToIntegerCase& c : kToIntegers) {
        SCOPED_TRACE(c.amount);
        test::Outcome o = test::trapped([&] { return cell::integer(money::to_integer(money_of(c.amount))); });
        if (std::string_view(c.result) == "limit") {
            ASSERT_TRUE(o.error);
            EXPECT_EQ(*o.error, ErrorId::script_type_limit);
            Cell arg = error::field(o.raised, error::arg1);
            EXPECT_TRUE(is(arg, TypeId::datatype) && arg.data1 == uint32_t(TypeId::integer));
        } else {
            ASSERT_FALSE(o.error);
            EXPECT_EQ(std::to_string(cell::get_integer(o.value)), c.result);
        }
    }
}

TEST_F(Decimal, TheCellHoldsPackedDigitsSignAndCurrency) {
    Cell c = money_of("-1234.5", 3);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&c);
    EXPECT_TRUE(is(c, TypeId::money));
    EXPECT_EQ(c.header & money::kSignBit, money::kSignBit);
    EXPECT_EQ(bytes[4], 3);  // the currency
    // Digits 14-17 are 1234 and 18 is 5: bytes 11 (digits 13, 14) to 13 (digits 17, 18).
    const uint8_t kDigits[11] = {0, 0, 0, 0, 0, 0, 0x01, 0x23, 0x45, 0, 0};
    EXPECT_EQ(std::memcmp(bytes + 5, kDigits, 11), 0);
    EXPECT_EQ(money::significant_digits(money::digits_of(c)), 9);
    EXPECT_EQ(money::get_digit(money::digits_of(c), 17), 4);

    uint8_t area[11] = {};
    EXPECT_EQ(money::significant_digits(area), 1);
    money::set_digit(area, 1, 9);
    money::set_digit(area, 22, 7);
    money::set_digit(area, 2, 3);
    EXPECT_EQ(area[0], 0x93);
    EXPECT_EQ(area[10], 0x07);
    EXPECT_EQ(money::significant_digits(area), 22);
    money::set_digit(area, 1, 0);
    EXPECT_EQ(area[0], 0x03);
    EXPECT_EQ(money::significant_digits(area), 21);

    // A zero amount is zero whatever its sign bit says.
    Cell zero = money::make_cell(2);
    money::set_sign(zero, 1);
    EXPECT_TRUE(money::zero_q(zero));
    EXPECT_EQ(money::sign(zero), 0);
    EXPECT_FALSE(money::negative_q(zero));
    EXPECT_EQ(money::get_sign(zero), 1u);
    EXPECT_EQ(money::compare_amounts(zero, money::make_cell()), 0);
    EXPECT_EQ(money::sign(money_of("-0.00001")), -1);
    EXPECT_TRUE(money::positive_q(money_of("0.00001")));
}

TEST_F(Decimal, DigitTextIsLoadedOrRefused) {
    struct Load { std::string_view whole, fraction; const char* result; };
    const Load kLoads[] = {
        {"1'000'000", "25", "1000000.25000"},
        {"000000000000000000000012", "", "12.00000"},   // leading zeros do not count
        {"99999999999999999", "99999", "99999999999999999.99999"},
        {"0", "1234567", "0.12345"},                     // fraction digits past the fifth dropped
        {"", "5", "0.50000"},
        {"123456789012345678", "", nullptr},             // 18 integer digits
        {"12a", "", nullptr},
        {"1", "2.5", nullptr},
    };
    for (const Load& l : kLoads) {
        SCOPED_TRACE(std::string(l.whole) + "." + std::string(l.fraction));
        Cell c = cell::integer(42);
        c.header |= cell_flag::new_line;
        const Cell before = c;
        bool loaded = money::init_from_digits(c, false, 0, l.whole, l.fraction);
        if (!l.result) {
            EXPECT_FALSE(loaded);
            EXPECT_EQ(std::memcmp(&c, &before, sizeof c), 0);
        } else {
            EXPECT_TRUE(loaded);
            EXPECT_EQ(text_of(c), l.result);
            EXPECT_TRUE(cell::new_line_q(c));  // the flags stay
        }
    }
    Cell c = cell::none();
    ASSERT_TRUE(money::init_from_digits(c, true, 0, "0", "000"));
    EXPECT_EQ(money::get_sign(c), 0u);  // no sign on zero
}

TEST_F(Decimal, IntegersBecomeAmounts) {
    const int32_t kValues[] = {0, 1, -1, 12, INT32_MAX, INT32_MIN};
    for (int32_t v : kValues) {
        SCOPED_TRACE(v);
        Cell m = money::from_integer(v);
        EXPECT_EQ(text_of(m), std::to_string(v) + ".00000");
        EXPECT_EQ(money::to_integer(m), v);
    }
}

TEST_F(Decimal, EdgeCasesAndLimitsOfTheEngine) {
    struct Edge { char op; const char* a; const char* b; const char* result; };
    const Edge kEdges[] = {
        // The largest amount and one more.
        {'+', "99999999999999999", "1", "limit"},
        {'-', "-99999999999999999", "1", "limit"},
        {'+', "99999999999999999.99998", "0.00001", "99999999999999999.99999"},
        {'/', "1", "3", "0.33333"},
        {'/', "-2", "3", "-0.66666"},
        {'%', "-7", "2", "-1.00000"},
        {'%', "7", "-2", "1.00000"},
        {'*', "0.00001", "0.5", "0.00000"},
        {'*', "-0.00001", "0.5", "0.00000"},    // a zero product has no sign
        {'-', "5", "5", "0.00000"},
        // The product check counts significant digits: 22 and 7 pass 28.
        {'*', "10000000000000000", "0.00001", "100000000000.00000"},
        {'*', "12345678901234567.89012", "10", "limit"},
        {'*', "99999999999.99999", "1000000", "99999999999999990.00000"},
        // The division check counts significant digits: 22 - 5 + 6 passes 22, although the
        // quotient 20000000000000000 would fit; 22 - 6 + 6 does not.
        {'/', "10000000000000000", "0.5", "limit"},
        {'/', "10000000000000000", "1", "10000000000000000.00000"},
        {'%', "10000000000000000", "0.5", "limit"},
        {'%', "10000000000000000", "3", "1.00000"},
        {'/', "1", "0", "zero-divide"},
        {'%', "1", "0", "zero-divide"},
        {'/', "0", "0", "zero-divide"},
        {'/', "0", "7", "0.00000"},
    };
    for (const Edge& e : kEdges) {
        SCOPED_TRACE(std::string(e.a) + " " + e.op + " " + e.b);
        Cell a = money_of(e.a), b = money_of(e.b);
        EXPECT_EQ(outcome([&] { return apply(e.op, a, b); }), e.result);
    }
    // The currency byte of the left operand stays; the right one's is not taken.
    Cell a = money_of("1", 5), b = money_of("2", 9);
    money::add_amounts(a, b);
    EXPECT_EQ(money::currency_of(a), 5);
    EXPECT_EQ(text_of(a), "3.00000");
    a = money_of("0", 5);
    money::add_amounts(a, money_of("-2", 9));
    EXPECT_EQ(money::currency_of(a), 5);
    EXPECT_EQ(text_of(a), "-2.00000");
}

TEST_F(Decimal, RoundingTiesOfEveryScale) {
    struct Tie { const char* value; const char* scale; char mode; const char* result; };
    const Tie kTies[] = {
        {"2.5", "1", 'e', "2.00000"},   {"3.5", "1", 'e', "4.00000"},    {"2.5", "1", 'n', "3.00000"},
        {"-2.5", "1", 'n', "-3.00000"}, {"-2.5", "1", 'H', "-2.00000"},  {"2.5", "1", 'h', "2.00000"},
        // Ties of scales other than 1 are ties too.
        {"0.25", "0.1", 'n', "0.30000"}, {"0.25", "0.1", 'e', "0.20000"}, {"0.35", "0.1", 'e', "0.40000"},
        {"0.25", "0.1", 'h', "0.20000"}, {"-0.25", "0.1", 'H', "-0.20000"}, {"0.25", "0.1", 'H', "0.30000"},
        {"25", "10", 'e', "20.00000"},   {"1.5", "3", 'n', "3.00000"},    {"1.5", "3", 'h', "0.00000"},
        // A value on a multiple stays in every mode; floor and ceiling move only what is between.
        {"-2", "1", 'f', "-2.00000"},    {"2", "1", 'c', "2.00000"},      {"-2.1", "1", 'f', "-3.00000"},
        {"2.1", "1", 'c', "3.00000"},    {"-2.9", "1", 'd', "-2.00000"},  {"-2.9", "1", 'c', "-2.00000"},
        // The scale's sign does not count; the largest amount cannot go up.
        {"2.6", "-1", 'n', "3.00000"},   {"99999999999999999.5", "1", 'n', "limit"},
        // The remainder is taken under the division's digit check.
        {"10000000000000000", "0.00001", 'n', "limit"},
    };
    for (const Tie& t : kTies) {
        SCOPED_TRACE(std::string(t.value) + " to " + t.scale + " mode " + t.mode);
        Cell v = money_of(t.value), s = money_of(t.scale);
        EXPECT_EQ(outcome([&] {
                      money::round_amount(v, s, mode_of(t.mode));
                      return v;
                  }),
                  t.result);
    }
    // A zero value or a zero scale leaves the value as it is, sign bit and all.
    Cell zero = money::make_cell();
    money::set_sign(zero, 1);
    money::round_amount(zero, money_of("1"), money::Rounding::ceiling);
    EXPECT_EQ(money::get_sign(zero), 1u);
    Cell v = money_of("-1.23456");
    money::round_amount(v, money::make_cell(), money::Rounding::nearest);
    EXPECT_EQ(text_of(v), "-1.23456");
}

TEST_F(Decimal, FloatsCompareBySignFirst) {
    struct Compare { const char* amount; double x; int32_t result; };
    const Compare kCompares[] = {
        {"-5", 1e-6, -1}, {"5", -1e-6, 1},   {"5", 1e-6, 1},     {"-5", -1e-6, -1},
        {"5", 1e20, -1},  {"-5", -1e20, 1},  {"-5", 1e20, -1},   {"5", -1e20, 1},
        {"0", 1e-6, -1},  {"0", -1e-6, 1},   {"0", -0.0, 0},     {"0.1", 0.1, 0},
        {"19.99", 19.99, 0}, {"1", 1.5, -1}, {"-1", -1.5, 1},    {"5", INFINITY, -1},
        {"-5", -INFINITY, 1},
    };
    for (const Compare& c : kCompares) {
        SCOPED_TRACE(std::string(c.amount) + " vs " + std::to_string(c.x));
        EXPECT_EQ(money::compare_to_float(money_of(c.amount), c.x), c.result);
    }
    // A float that no amount can hold is refused as the conversion refuses it.
    EXPECT_EQ(test::raised([] { money::compare_to_float(money_of("1"), NAN); }).first, ErrorId::script_bad_make_arg);
    EXPECT_EQ(test::raised([] { money::compare_to_float(money_of("1"), 1.123456); }).first,
              ErrorId::script_bad_make_arg);

    struct Amounts { const char* a; const char* b; int32_t result; };
    const Amounts kAmounts[] = {
        {"1", "2", -1}, {"-1", "-2", 1}, {"-1", "1", -1}, {"0", "-0.00001", 1}, {"3.5", "3.5", 0}, {"-3.5", "-3.5", 0},
    };
    for (const Amounts& c : kAmounts) {
        SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
        EXPECT_EQ(money::compare_amounts(money_of(c.a), money_of(c.b)), c.result);
    }
    EXPECT_EQ(money::compare_magnitude(money_of("-3"), money_of("2")), 1);
    EXPECT_TRUE(money::float_overflow_q(-1e17));
    EXPECT_FALSE(money::float_overflow_q(9.999999999999998e16));
    EXPECT_TRUE(money::float_underflow_q(-9.99999e-6));
    EXPECT_FALSE(money::float_underflow_q(0.0));
    EXPECT_FALSE(money::float_underflow_q(1e-5));
}

TEST_F(Decimal, RandomAmountsStayBetweenZeroAndTheAmount) {
    // Values from 0 to the amount come out, and nothing beyond it (the amount itself only
    // rarely), over seeds whose outputs have their top bit set as often as not.
    std::set<std::string> seen;
    for (uint32_t seed = 1; seed <= 400; ++seed) {
        random::seed(seed);
        Cell m = money_of("-0.00003", 4);
        money::random_amount(m, false);
        seen.insert(text_of(m));
        EXPECT_EQ(money::currency_of(m), 4);
    }
    seen.erase("-0.00003");
    EXPECT_EQ(seen, (std::set<std::string>{"0.00000", "-0.00001", "-0.00002"}));

    // A digit is drawn from the output with its top bit cleared: 2^31 is not a multiple of 6,
    // so an output with the bit set would draw another digit from 0.00005.
    uint32_t top_bit_seed = 1, output = 0;
    for (;; ++top_bit_seed) {
        random::seed(top_bit_seed);
        output = random::next();
        if ((output & 0x80000000u) && (output & 0x7FFFFFFFu) % 6 < 5) break;
    }
    random::seed(top_bit_seed);
    Cell five = money_of("0.00005");
    money::random_amount(five, false);
    EXPECT_EQ(money::get_digit(money::digits_of(five), money::kDigits), int32_t((output & 0x7FFFFFFFu) % 6));

    for (uint32_t seed = 1; seed <= 200; ++seed) {
        random::seed(seed * 7919);
        Cell limit = money_of("1234.5");
        Cell m = limit;
        money::random_amount(m, seed % 2 == 0);
        EXPECT_LE(money::compare_amounts(m, limit), 0) << text_of(m);
        EXPECT_GE(money::sign(m), 0);
        for (int32_t i = 1; i <= money::kDigits; ++i) EXPECT_LE(money::get_digit(money::digits_of(m), i), 9);
    }
    // The same seed draws the same amount.
    random::seed(99);
    Cell a = money_of("98765.4321");
    money::random_amount(a, false);
    random::seed(99);
    Cell b = money_of("98765.4321");
    money::random_amount(b, false);
    EXPECT_EQ(text_of(a), text_of(b));
}

}  // namespace
