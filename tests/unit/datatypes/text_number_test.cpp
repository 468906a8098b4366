// Text to number: integers, floats and money amounts read from strings of every unit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "datatypes/text_number.h"
#include "runtime/unicode.h"

using namespace kaz;

namespace {

// The code points of a UTF-32 text laid out in a buffer of `unit` bytes.
std::vector<uint8_t> units(std::u32string_view text, uint32_t unit) {
    std::vector<uint8_t> out(text.size() * unit);
    for (size_t i = 0; i < text.size(); ++i) string::put_char(out.data() + i * unit, unit, text[i]);
    return out;
}

TEST(TextNumber, ReadsIntegers) {
    struct Case {
        std::u32string_view text;
        int32_t value;
        int32_t error;  // 0: none
    };
    const Case kCases[] = {
        {U"123", 123, 0},          {U"+123", 123, 0},        {U"-123", -123, 0},
        {U"1'000'000", 1000000, 0}, {U"-2147483648", INT32_MIN, 0}, {U"2147483647", INT32_MAX, 0},
        {U"2147483648", 0, -2},    {U"-2147483649", 0, -2},  {U"-21474836480", 0, -2},
        {U"99999999999x", 0, -1},  {U"12a", 0, -1},          {U"", 0, -1},
        {U"-", 0, -1},             {U"'", 0, -1},            {U"1 2", 0, -1},
        {U"\u0131", 0, -1},        {U"1\u0130", 0, -1},     {U"\U00010031", 0, -1},
        {U"+-1", 0, -1},
    };
    for (const Case& c : kCases) {
        for (uint32_t unit : {1u, 2u, 4u}) {
            // A code point that the unit cannot hold is left to the wider units.
            uint32_t widest = 0;
            for (char32_t cp : c.text) widest = std::max<uint32_t>(widest, cp);
            if (widest > (unit == 1 ? 0xFFu : unit == 2 ? 0xFFFFu : 0x10FFFFu)) continue;
            SCOPED_TRACE(std::to_string(unit) + " " + std::to_string(c.text.size()));
            std::vector<uint8_t> t = units(c.text, unit);
            int32_t error = 0;
            int32_t v = text_number::string_to_integer(t.data(), uint32_t(c.text.size()), unit, error);
            EXPECT_EQ(error, c.error);
            if (c.error == 0) {
                EXPECT_EQ(v, c.value);
            }
        }
    }
}

TEST(TextNumber, ReadsFloats) {
    struct Case {
        std::u32string_view text;
        double value;
        bool ok;
    };
    const Case kCases[] = {
        {U"1,5", 1.5, true},     {U"1e3", 1000.0, true},   {U"-0.25", -0.25, true},
        {U"1'000.5", 1000.5, true}, {U".5", 0.5, true},    {U"1.", 1.0, true},
        {U"0.1", 0.1, true},     {U"1.2.3", 0, false},     {U"1e", 0, false},
        {U"1.e5", 0, false},     {U"abc", 0, false},       {U"", 0, false},
        {U"+-1", 0, false},      {U"\u0131.5", 0, false},  {U"1\u00B2", 0, false},
    };
    for (const Case& c : kCases) {
        for (uint32_t unit : {2u, 4u}) {
            SCOPED_TRACE(std::to_string(unit) + " " + std::to_string(c.text.size()));
            std::vector<uint8_t> t = units(c.text, unit);
            int32_t error = 0;
            double d = text_number::string_to_float(t.data(), uint32_t(c.text.size()), unit, error);
            if (c.ok) {
                EXPECT_EQ(error, 0);
                EXPECT_EQ(d, c.value);
            } else {
                EXPECT_EQ(error, -1);
                EXPECT_TRUE(std::isnan(d));
            }
        }
    }
    std::u32string digits(400, U'1');
    std::vector<uint8_t> t = units(digits, 1);
    int32_t error = 0;
    EXPECT_TRUE(std::isnan(text_number::string_to_float(t.data(), 400, 1, error)));
    EXPECT_EQ(error, -1);
    std::u32string longest = U"0." + std::u32string(310, U'1');
    t = units(longest, 1);
    error = 0;
    EXPECT_EQ(text_number::string_to_float(t.data(), 312, 1, error), 1.0 / 9.0);
    EXPECT_EQ(error, 0);
}

struct MoneyParts {
    bool negative;
    std::string currency, integer, fraction;
};

TEST(TextNumber, ReadsMoney) {
    struct Case {
        std::u32string_view text;
        std::optional<MoneyParts> parts;
    };
    const Case kCases[] = {
        {U"USD$1'234.50", MoneyParts{false, "USD", "1'234", "50"}},
        {U"-$12.5", MoneyParts{true, "", "12", "5"}},
        {U"12.5", MoneyParts{false, "", "12", "5"}},
        {U"+eur$7", MoneyParts{false, "eur", "7", ""}},
        {U"USD12", std::nullopt},
        {U"US$1", std::nullopt},
        {U"$", std::nullopt},
        {U"", std::nullopt},
        {U"1''2", std::nullopt},
        {U"1.'5", std::nullopt},
        {U"1.5.", std::nullopt},
        {U"1.5.2", std::nullopt},
        {U"'1", std::nullopt},
        {U"1'", std::nullopt},
        {U".5", std::nullopt},
        {U"1'.5", std::nullopt},
        {U"1x", std::nullopt},
        {U"U\u0131D$1", std::nullopt},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.text.size());
        std::vector<uint8_t> t = units(c.text, 4);
        text_number::MoneyText parts;
        bool read = text_number::parse_money(t.data(), uint32_t(c.text.size()), 4, parts);
        ASSERT_EQ(read, c.parts.has_value());
        if (!read) continue;
        EXPECT_EQ(parts.negative, c.parts->negative);
        EXPECT_EQ(parts.currency, c.parts->currency);
        EXPECT_EQ(parts.integer, c.parts->integer);
        EXPECT_EQ(parts.fraction, c.parts->fraction);
    }
}

TEST(TextNumber, FloatSyntax) {
    for (std::string_view ok : {"1", "-1", "1.5", ".5", "1.", ".", "1e5", "1E-5", "1'000", "1.5'5", "+-1"})
        EXPECT_TRUE(text_number::float_syntax_q(ok)) << ok;
    for (std::string_view bad : {"", "e5", "1e", "1e+", "1.e5", "1..2", "'1", "1''2", "1x"})
        EXPECT_FALSE(text_number::float_syntax_q(bad)) << bad;
}

}  // namespace
