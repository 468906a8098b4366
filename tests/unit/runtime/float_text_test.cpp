#include "runtime/float_text.h"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace kaz::float_text {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

uint64_t bits(double x) { return std::bit_cast<uint64_t>(x); }

double parse_all(std::string_view text, int extra = 0, size_t* left_out = nullptr) {
    size_t left = 12345;
    double v = parse(text.data(), text.data() + text.size(), extra, left);
    if (left_out) *left_out = left;
    return v;
}

// The digits and decimal-point position that std::to_chars gives: its shortest form, or
// `precision` significant digits; trailing zeros dropped as ours are.
struct Reference {
    char buf[64];
    size_t length;
    int point;
    std::string_view digits() const { return {buf, length}; }
};

Reference reference(double x, int precision) {
    Reference ref;
    char raw[64];
    auto r = precision <= 0
                 ? std::to_chars(raw, raw + sizeof raw, x, std::chars_format::scientific)
                 : std::to_chars(raw, raw + sizeof raw, x, std::chars_format::scientific,
                                 precision - 1);
    const char* p = raw + (raw[0] == '-');
    size_t n = 0;
    for (; *p != 'e'; ++p)
        if (*p != '.') ref.buf[n++] = *p;
    while (n > 1 && ref.buf[n - 1] == '0') --n;
    ref.length = n;
    int exponent = 0;
    std::from_chars(p + 1 + (p[1] == '+'), r.ptr, exponent);
    ref.point = exponent + 1;
    return ref;
}

double from_chars_all(std::string_view text) {
    double v = 0;
    auto r = std::from_chars(text.data(), text.data() + text.size(), v);
    EXPECT_EQ(r.ptr, text.data() + text.size()) << text;
    return v;
}

// ---- layout ----

struct FormCase {
    double value;
    int precision;
    bool keep_point;
    std::string_view text;
};

const FormCase kForms[] = {
    {0.1, 0, true, "0.1"},
    {1.0, 0, true, "1.0"},
    {1.0, 0, false, "1"},
    {100.0, 0, true, "100.0"},
    {100.0, 0, false, "100"},
    {123.45, 0, true, "123.45"},
    {1e16, 0, true, "10000000000000000.0"},
    {1e17, 0, true, "1.0e17"},
    {1e17, 0, false, "1e17"},
    {1e20, 0, false, "1e20"},
    {1.5e20, 0, true, "1.5e20"},
    {-1.5e-20, 0, true, "-1.5e-20"},
    {1e-7, 0, true, "0.0000001"},
    {0.001234, 0, true, "0.001234"},
    {1e-8, 0, true, "1.0e-8"},
    {1e-8, 0, false, "1e-8"},
    {0.1 + 0.2, 0, true, "0.30000000000000004"},
    {1e23, 0, true, "1.0e23"},
    {-0.0, 0, true, "-0.0"},
    {0.0, 0, true, "0.0"},
    {-0.0, 0, false, "-0"},
    {0.0, 6, false, "0"},
    {kInf, 0, true, "1.#INF"},
    {-kInf, 0, false, "-1.#INF"},
    {std::numeric_limits<double>::quiet_NaN(), 0, true, "1.#NaN"},
    {-std::numeric_limits<double>::quiet_NaN(), 0, true, "1.#NaN"},
    {5e-324, 0, true, "5.0e-324"},
    {1.7976931348623157e308, 0, true, "1.7976931348623157e308"},
    {2.2250738585072014e-308, 0, true, "2.2250738585072014e-308"},
    {123456789012345678.0, 0, true, "1.2345678901234568e17"},
    {12345678901234567.0, 0, true, "12345678901234568.0"},
    {1.0 / 3, 6, false, "0.333333"},
    {2.0 / 3, 6, false, "0.666667"},
    {5.5, 6, false, "5.5"},
    {2.5, 1, false, "2"},      // a tie goes to the even digit
    {3.5, 1, false, "4"},
    {0.125, 2, false, "0.12"},
    {9.9999996, 6, false, "10"},  // rounding carries into a new digit
    {1234567.0, 3, false, "1230000"},
    {1e21, 17, true, "1.0e21"},
    {0.1, 17, false, "0.10000000000000001"},
    {0.1, 30, false, "0.100000000000000005551"},  // capped at 21 digits
    // the longest layout: sign, "0.", six zeros and 21 digits
    {-1.2345678901234567e-7, 21, false, "-0.000000123456789012345657958"},
};

TEST(FloatText, FormsEdgeCases) {
    for (const auto& c : kForms) {
        SCOPED_TRACE(c.text);
        Text t = form(c.value, c.precision, c.keep_point);
        EXPECT_EQ(t.view(), c.text);
        EXPECT_EQ(std::strlen(t.c_str()), t.length);
    }
}

TEST(FloatText, DigitsGiveConstantsTheirPoints) {
    Digits inf = digits(-kInf, 0, true);
    EXPECT_EQ(inf.view(), "-1.#INF");
    EXPECT_EQ(inf.point, kSpecialPoint);
    EXPECT_TRUE(inf.negative);
    Digits nan = digits(std::numeric_limits<double>::quiet_NaN(), 0, true);
    EXPECT_EQ(nan.view(), "1.#NaN");
    EXPECT_EQ(nan.point, kSpecialPoint);
    Digits zero = digits(-0.0, 0, false);
    EXPECT_EQ(zero.view(), "-0");
    EXPECT_EQ(zero.point, kZeroPoint);
    EXPECT_TRUE(zero.negative);

    Digits tiny = digits(5e-324, 0, true);  // the least subnormal: one digit
    EXPECT_EQ(tiny.view(), "5");
    EXPECT_EQ(tiny.point, -323);
    Digits third = digits(-1.0 / 3, 6, true);
    EXPECT_EQ(third.view(), "333333");
    EXPECT_EQ(third.point, 0);
    EXPECT_TRUE(third.negative);
}

// A rounding boundary that is itself a short decimal belongs to the interval only when the
// mantissa is even: reading it back rounds to the even neighbour.
struct BoundaryCase {
    double value;
    std::string_view digits;
    int point;
};

const BoundaryCase kBoundaries[] = {
    {1e23, "1", 24},                                         // even: the upper boundary 1e23
    {std::nextafter(1e23, kInf), "10000000000000001", 24},  // odd: its lower boundary 1e23
    {18014398509481988.0, "18014398509481988", 17},          // odd: not ...990 above
    {18014398509482000.0, "18014398509482", 17},
};

TEST(FloatText, BoundariesBelongToEvenMantissas) {
    for (const auto& c : kBoundaries) {
        SCOPED_TRACE(c.digits);
        for (const Digits& d : {digits(c.value, 0, true), digits_exact(c.value, 0, true)}) {
            EXPECT_EQ(d.view(), c.digits);
            EXPECT_EQ(d.point, c.point);
        }
    }
}

// ---- reading ----

struct ParseCase {
    std::string_view text;
    int extra;
    double value;
    size_t left;
};

const ParseCase kParses[] = {
    {"0.1", 0, 0.1, 0},
    {"1e309", 0, kInf, 0},
    {"-1e309", 0, -kInf, 0},
    {"1e-400", 0, 0.0, 0},
    {"50", -2, 0.5, 0},
    {"12.5", -2, 0.125, 0},
    {"1.2.3", 0, 1.2, 2},
    {"+7", 0, 7.0, 0},
    {"00012.50", 0, 12.5, 0},
    {".5", 0, 0.5, 0},
    {"5.", 0, 5.0, 0},
    {"1E5", 0, 1e5, 0},
    {"1e", 0, 1.0, 1},       // an e at the end is not an exponent mark
    {"1e+", 0, 1.0, 2},      // nor one without digits
    {"1ex", 0, 1.0, 2},
    {"1.5e-3x", 0, 1.5e-3, 1},
    {"12.#INF", 0, 12.0, 4},  // the special forms need exactly one significant digit
    {"0.#INF", 0, 0.0, 4},
    {"1.#", 0, 1.0, 1},
    {"1.#INF", 0, kInf, 0},
    {"-1.#INF", 0, -kInf, 0},
    {"001.#inf", 0, kInf, 0},
    {"2.#Ixyz", 0, kInf, 0},  // only the letter after # is examined
    {"", 0, 0.0, 0},
    {".", 0, 0.0, 1},
    {"-", 0, 0.0, 1},
    {"e5", 0, 0.0, 2},
    {"x1", 0, 0.0, 2},
    {"1e99999999999999999999", 0, kInf, 0},
    {"1e-99999999999999999999", 0, 0.0, 0},
    {"0e999999999", 0, 0.0, 0},
    {"4.9406564584124654e-324", 0, 5e-324, 0},
    {"2.4703282292062328e-324", 0, 5e-324, 0},  // just above half the least subnormal
    {"2.4703282292062327e-324", 0, 0.0, 0},
    {"1.7976931348623158e308", 0, 1.7976931348623157e308, 0},
    {"1.7976931348623159e308", 0, kInf, 0},  // past the halfway point above the greatest
    {"9007199254740993", 0, 9007199254740992.0, 0},  // a tie: to the even mantissa
    {"9007199254740995", 0, 9007199254740996.0, 0},
};

TEST(FloatText, ParsesEdgeCases) {
    for (const auto& c : kParses) {
        SCOPED_TRACE(c.text);
        size_t left = 0;
        double v = parse_all(c.text, c.extra, &left);
        EXPECT_EQ(bits(v), bits(c.value));
        EXPECT_EQ(left, c.left);
    }
}

TEST(FloatText, ParsesSignedZeroAndNaN) {
    EXPECT_EQ(bits(parse_all("-0")), bits(-0.0));
    EXPECT_EQ(bits(parse_all("-0.0e5")), bits(-0.0));
    EXPECT_EQ(bits(parse_all("-1e-999")), bits(-0.0));
    EXPECT_EQ(bits(parse_all("1.#NaN")), 0x7FF8000000000000u);
    EXPECT_EQ(bits(parse_all("-1.#nan")), 0x7FF8000000000000u);  // the sign is ignored
}

TEST(FloatText, ReadsOnlyItsRange) {
    // A digit, an e or the special form just past the end must not be looked at.
    const std::string text = "1.5e7#";
    EXPECT_EQ(parse_all(std::string_view(text).substr(0, 3)), 1.5);
    size_t left = 0;
    EXPECT_EQ(parse_all(std::string_view(text).substr(0, 4), 0, &left), 1.5);
    EXPECT_EQ(left, 1u);
    EXPECT_EQ(parse_all(std::string_view("1.#I").substr(0, 3), 0, &left), 1.0);
    EXPECT_EQ(left, 1u);
}

// ---- against the standard library ----

// Random doubles of every kind: any bit pattern, subnormals, whole numbers and short
// decimals, which are the ones exact cases and ties come from.
std::vector<double> sample(size_t count, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<double> out;
    out.reserve(count);
    while (out.size() < count) {
        double x;
        switch (out.size() % 8) {
        case 0:
            x = std::bit_cast<double>(rng() & 0x800FFFFFFFFFFFFF);
            break;
        case 1:
            x = double(int64_t(rng()) >> (rng() % 64));
            break;
        case 2: {
            std::string text = std::to_string(rng() % 100000) + "e" +
                               std::to_string(int(rng() % 60) - 30);
            x = from_chars_all(text);
            break;
        }
        default:
            x = std::bit_cast<double>(rng());
        }
        if (std::isfinite(x) && x != 0) out.push_back(x);
    }
    return out;
}

TEST(FloatText, ShortestMatchesToCharsAndReadsBack) {
    size_t failures = 0;
    for (double x : sample(1'500'000, 20240601)) {
        Digits d = digits(x, 0, true);
        Reference ref = reference(x, 0);
        Text t = form(x, 0, true);
        size_t left = 1;
        double back = parse(t.text, t.text + t.length, 0, left);
        double standard = 0;
        auto r = std::from_chars(t.text, t.text + t.length, standard);
        bool ok = d.view() == ref.digits() && d.point == ref.point && bits(back) == bits(x) &&
                  left == 0 && r.ptr == t.text + t.length && bits(standard) == bits(x);
        if (!ok && ++failures <= 5)
            ADD_FAILURE() << std::hexfloat << x << ": " << t.c_str() << " vs " << ref.digits()
                          << " point " << ref.point << ", read back " << back;
    }
    EXPECT_EQ(failures, 0u);
}

TEST(FloatText, FixedDigitsMatchToChars) {
    size_t failures = 0;
    int precision = 0;
    for (double x : sample(300'000, 77)) {
        precision = precision % kMaxPrecision + 1;
        Digits d = digits(x, precision, false);
        Reference ref = reference(x, precision);
        if ((d.view() != ref.digits() || d.point != ref.point) && ++failures <= 5)
            ADD_FAILURE() << std::hexfloat << x << " precision " << precision << ": "
                          << d.text << " vs " << ref.digits();
    }
    EXPECT_EQ(failures, 0u);
}

// The big-number arithmetic alone must give the same digits: the fast paths leave it only
// the rare cases, so it is checked on a sample of its own.
TEST(FloatText, ExactDigitsMatchToChars) {
    size_t failures = 0;
    int fixed = 0;
    for (double x : sample(120'000, 99)) {
        fixed = fixed % kMaxPrecision + 1;
        for (int precision : {0, fixed}) {
            Digits d = digits_exact(x, precision, false);
            Reference ref = reference(x, precision);
            if ((d.view() != ref.digits() || d.point != ref.point) && ++failures <= 5)
                ADD_FAILURE() << std::hexfloat << x << " precision " << precision << ": "
                              << d.text << " vs " << ref.digits();
        }
    }
    EXPECT_EQ(failures, 0u);
}

// The power of ten of the leading digit of a signed decimal without exponent.
int magnitude(std::string_view text) {
    if (text[0] == '-') text.remove_prefix(1);
    size_t point = text.find('.');
    int whole = int(point == std::string_view::npos ? text.size() : point);
    int leading = 0;
    for (char c : text) {
        if (c == '.') continue;
        if (c != '0') break;
        ++leading;
    }
    return whole - leading - 1;
}

// Decimal texts of up to 40 digits (and a few of hundreds), anywhere in the exponent range,
// with and without an extra exponent, through both the fast and the exact reading.
TEST(FloatText, ParseMatchesFromChars) {
    std::mt19937_64 rng(31337);
    size_t failures = 0;
    for (int i = 0; i < 200'000; ++i) {
        std::string text;
        if (rng() % 2) text += '-';
        int count = 1 + int(rng() % (i % 50 == 0 ? 1200 : 40));
        for (int k = 0; k < count; ++k) text += char('0' + rng() % 10);
        if (rng() % 2) text.insert(text.size() - rng() % count, 1, '.');
        int extra = i % 7 == 0 ? -2 : 0;
        std::string body = text;
        int exponent = int(rng() % 700) - 350;
        text += "e" + std::to_string(exponent);
        std::string standard_text = body + "e" + std::to_string(exponent + extra);
        double standard = 0;
        auto r = std::from_chars(standard_text.data(), standard_text.data() + standard_text.size(),
                                 standard);
        if (r.ec == std::errc::result_out_of_range)
            standard = std::copysign(magnitude(body) + exponent + extra > 0 ? kInf : 0.0,
                                     text[0] == '-' ? -1.0 : 1.0);
        size_t left = 1, left_exact = 1;
        double fast = parse(text.data(), text.data() + text.size(), extra, left);
        double exact = parse_exact(text.data(), text.data() + text.size(), extra, left_exact);
        if ((bits(fast) != bits(standard) || bits(exact) != bits(standard) || left ||
             left_exact) &&
            ++failures <= 5)
            ADD_FAILURE() << text.substr(0, 60) << " extra " << extra << ": " << std::hexfloat
                          << fast << " / " << exact << " vs " << standard;
    }
    EXPECT_EQ(failures, 0u);
}

// The exact halfway points between neighbouring doubles, and texts just above and below
// them: the cases that only exact arithmetic decides. A long double holds each halfway
// point exactly, and prints all its digits.
TEST(FloatText, ParseRoundsHalfwayPointsToEven) {
    std::mt19937_64 rng(4242);
    size_t failures = 0;
    for (int i = 0; i < 6'000; ++i) {
        uint64_t pattern = rng() & 0x7FFFFFFFFFFFFFFF;
        if (i % 3 == 0) pattern &= 0x000FFFFFFFFFFFFF;
        if (i % 3 == 1) pattern = (pattern & 0x000FFFFFFFFFFFFF) | uint64_t(1075 + i % 40) << 52;
        double x = std::bit_cast<double>(pattern);
        double next = std::nextafter(x, kInf);
        if (!std::isfinite(next)) continue;
        long double half = (static_cast<long double>(x) + next) / 2;
        char buf[1000];
        auto r = std::to_chars(buf, buf + sizeof buf, half, std::chars_format::scientific, 800);
        std::string all(buf, r.ptr);
        size_t e = all.find('e');
        std::string mantissa = all.substr(0, e), exponent = all.substr(e);
        while (mantissa.back() == '0') mantissa.pop_back();
        std::string below = mantissa;
        size_t j = below.size() - 1;
        for (; below[j] == '0'; --j) below[j] = '9';
        --below[j];
        for (const std::string& text :
             {mantissa + exponent, mantissa + "1" + exponent, below + "99" + exponent}) {
            double standard = from_chars_all(text);
            size_t left = 1, left_exact = 1;
            double fast = parse(text.data(), text.data() + text.size(), 0, left);
            double exact = parse_exact(text.data(), text.data() + text.size(), 0, left_exact);
            if ((bits(fast) != bits(standard) || bits(exact) != bits(standard)) && ++failures <= 5)
                ADD_FAILURE() << text.substr(0, 40) << ": " << std::hexfloat << fast << " / "
                              << exact << " vs " << standard;
        }
    }
    EXPECT_EQ(failures, 0u);
}

}  // namespace
}  // namespace kaz::float_text
