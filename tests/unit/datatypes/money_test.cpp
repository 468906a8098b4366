#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

#include "boot/startup.h"
#include "datatypes/float.h"
#include "datatypes/money.h"
#include "datatypes/object.h"
#include "datatypes/registry.h"
#include "datatypes/symbol.h"
#include "runtime/error.h"
#include "tests/unit/support.h"

using namespace kaz;

namespace {

struct FormCase { const char* amount; uint8_t currency; int32_t digits; const char* form; const char* mold; const char* mold_all; };
struct MixedCase { char op; const char* amount; TypeId kind; double operand; bool money_first; const char* result; };
#include "tests/unit/datatypes/money_cases.inc"

constexpr const char* kCurrencies[] = {"", "USD", "EUR", "JPY"};

class Money : public testing::Test {
protected:
    void SetUp() override { test::clear_stacks(); }
    void TearDown() override {
        set_money_digits(cell::integer(2));
        test::clear_stacks();
    }
    static void set_money_digits(const Cell& v) {
        *startup::field(object::system_field({"options"}), "money-digits") = v;
    }
};

// "-123.45000" as an amount in the currency named (none for "").
Cell money_of(std::string_view text, std::string_view code = "") {
    bool negative = !text.empty() && text[0] == '-';
    if (negative) text.remove_prefix(1);
    size_t point = text.find('.');
    uint8_t currency = code.empty() ? 0 : money::currency_index(code);
    Cell c = money::make_cell();
    EXPECT_TRUE(money::init_from_digits(c, negative, currency, text.substr(0, point),
                                        point == std::string_view::npos ? "" : text.substr(point + 1)));
    return c;
}

// An amount's sign and all its digits, as the cases write them.
std::string amount_text(const Cell& c) {
    Cell all = c;
    money::set_currency(all, 0);
    std::string t = test::mold_text(all, false, true);  // -$123.45000
    size_t dollar = t.find('$');
    return t.substr(0, dollar) + t.substr(dollar + 1);
}

FrameAction action_of(TypeId t, char op) {
    const ActionTable& a = registry::actions(t);
    switch (op) {
        case '+': return a.add;
        case '-': return a.subtract;
        case '*': return a.multiply;
        case '/': return a.divide;
        default: return a.remainder;
    }
}

TEST_F(Money, FormsAgreeWithTheOracle) {
    for (const FormCase& c : kForms) {
        Cell m = money_of(c.amount, kCurrencies[c.currency]);
        SCOPED_TRACE(std::string(c.amount) + " " + kCurrencies[c.currency] + " digits " + std::to_string(c.digits));
        set_money_digits(cell::integer(c.digits));
        EXPECT_EQ(test::form_text(m), c.form);
        EXPECT_EQ(test::mold_text(m), c.mold);
        EXPECT_EQ(test::mold_text(m, false, true), c.mold_all);
    }
}

TEST_F(Money, MoneyDigitsOutsideTheirRangeAreBounded) {
    Cell m = money_of("1234.56789");
    const struct { Cell digits; const char* form; } kCases[] = {
        {cell::integer(9), "$1'234.56789"}, {cell::integer(-3), "$1'234"},
        {cell::none(), "$1'234.56"},        {cell::float_(4.0), "$1'234.56"},
    };
    for (const auto& c : kCases) {
        set_money_digits(c.digits);
        EXPECT_EQ(test::form_text(m), c.form);
    }
}

TEST_F(Money, ArithmeticWithNumbersAgreesWithTheOracle) {
    for (const MixedCase& c : kMixed) {
        Cell m = money_of(c.amount, "EUR");
        Cell n = c.kind == TypeId::integer ? cell::integer(int32_t(c.operand)) : cell::float_(c.operand);
        const Cell& left = c.money_first ? m : n;
        const Cell& right = c.money_first ? n : m;
        SCOPED_TRACE(test::mold_text(left, false, true) + " " + c.op + " " + test::mold_text(right, false, true));
        test::Outcome o = test::call(action_of(type_of(left), c.op), left, right);
        std::string got;
        if (!o.error) {
            ASSERT_TRUE(is(o.value, TypeId::money));
            // The currency goes with the result, whichever side held it.
            EXPECT_EQ(money::currency_of(o.value), money::currency_index("EUR"));
            got = amount_text(o.value);
        } else if (*o.error == ErrorId::script_type_limit) {
            got = "limit";
        } else if (*o.error == ErrorId::math_zero_divide) {
            got = "zero-divide";
        } else if (*o.error == ErrorId::script_bad_make_arg) {
            got = "bad";
        } else if (*o.error == ErrorId::script_invalid_type) {
            got = "invalid-type";
        } else {
            got = "error " + std::to_string(int(*o.error));
        }
        EXPECT_EQ(got, c.result);
    }
}

TEST_F(Money, PercentOperandsCountAsTheirFraction) {
    // A percent! holds its fraction: 50% of $3 is $1.50; the money keeps its type either side.
    Cell half = test::typed(TypeId::percent, 0.5);
    test::Outcome product = test::call(money::multiply, money_of("3", "USD"), half);
    ASSERT_FALSE(product.error);
    EXPECT_EQ(test::mold_text(product.value), "USD$1.50");
    test::Outcome sum = test::call(float_::add, half, money_of("1"));
    ASSERT_FALSE(sum.error);
    EXPECT_EQ(test::mold_text(sum.value), "$1.50");
    EXPECT_EQ(test::call(float_::divide, half, money_of("1")).error, ErrorId::script_invalid_type);
}

TEST_F(Money, CurrenciesAreFoundWithoutCaseAndOnlyInTheList) {
    EXPECT_EQ(money::currency_index("AED"), 1);
    EXPECT_EQ(money::currency_index("usd"), money::currency_index("USD"));
    EXPECT_EQ(money::currency_index("ZMW"), 170);
    EXPECT_EQ(money::currency_index("XYZ"), 0);
    EXPECT_EQ(test::mold_text(money::currency_word(money::currency_index("eur"))), "EUR");
    EXPECT_TRUE(is(money::currency_word(0), TypeId::none));
    // An index the list no longer reaches names no currency: the amount still forms.
    EXPECT_TRUE(is(money::currency_word(250), TypeId::none));
    Cell stray = money_of("1.5");
    money::set_currency(stray, 250);
    EXPECT_EQ(test::form_text(stray), "$1.50");
}

TEST_F(Money, ComparedWithFloatsBySignFirst) {
    // A float too small or too large for money still compares by its sign; a negative amount
    // is below every positive float, however tiny.
    const struct { const char* amount; double x; int32_t order; } kCases[] = {
        {"-1", 1e-9, -1},   {"1", -1e-9, 1},     {"0.00001", 1e-9, 1}, {"-0.00001", -1e-9, -1},
        {"1", 1e20, -1},    {"-1", -1e20, 1},    {"-1", 1e20, -1},     {"0", 1e-9, -1},
        {"0", -1e20, 1},    {"0", 0.0, 0},       {"2.5", 2.5, 0},      {"0.1", 0.1, 0},
        {"-0.3", -0.3, 0},  {"99999999999999999.99999", 1e17, -1},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(std::string(c.amount) + " vs " + std::to_string(c.x));
        Cell m = money_of(c.amount), x = cell::float_(c.x);
        EXPECT_EQ(money::compare(m, x, CompareOp::lesser), c.order);
        // The float seen from its own side gives the opposite order.
        EXPECT_EQ(registry::actions(TypeId::float_).compare(x, m, CompareOp::lesser), -c.order);
    }
}

}  // namespace
