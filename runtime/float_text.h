// Correctly rounded conversions between doubles and decimal text: the shortest digits that
// read back to a double, or a given number of significant digits; their layout as number
// text; and decimal text read back to the nearest double (ties to even).
//
// Results are returned by value: nothing is shared between calls, so the conversions may be
// re-entered from callbacks. Nothing depends on the C locale, and nothing is allocated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kaz::float_text {

// Decimal-point positions of the texts that are not digit strings.
inline constexpr int kSpecialPoint = 9999;  // "1.#INF", "-1.#INF", "1.#NaN"
inline constexpr int kZeroPoint = 9998;     // "0.0", "-0.0", "0", "-0"

// The most significant digits a conversion produces; a larger precision is taken as this.
// With 21 digits the longest layout, "-0.000000" and the digits, still fits a Text.
inline constexpr int kMaxPrecision = 21;

// A digit string d1 d2 ... dn standing for 0.d1...dn × 10^point, or one of the constant
// texts with its special point.
struct Digits {
    char text[kMaxPrecision + 2];  // NUL-terminated
    uint8_t length;
    int16_t point;
    bool negative;  // the sign bit of the value
    std::string_view view() const { return {text, length}; }
};

// Precision 0 or below: the shortest digits that read back to `value`, the nearest to it
// when several strings of that length do. A positive precision: that many significant
// digits, correctly rounded with ties to even, trailing zeros removed. Infinities and NaN
// give their constant text with kSpecialPoint; zero gives "0.0" or "-0.0" with
// `keep_point`, else "0" or "-0", with kZeroPoint.
Digits digits(double value, int precision, bool keep_point);

// NUL-terminated number text.
struct Text {
    char text[32];
    uint8_t length;
    const char* c_str() const { return text; }
    std::string_view view() const { return {text, length}; }
};

// The digits of `value` laid out as number text: plain for decimal-point positions -6 to 17
// (0.0000001, 123.45, 100.0), with an exponent otherwise (1.5e20, 1.0e-8). `keep_point`
// writes ".0" where the text would end in a bare point; without it the point is dropped
// (100, 1e-8). The constant texts of `digits` are returned as they are.
Text form(double value, int precision, bool keep_point);

// Reads a decimal number from [start, end): an optional sign, digits with an optional point,
// and an optional exponent (an e or E counts only when a byte follows it, and only when
// digits follow it, with an optional sign). `extra_exponent` is added to the decimal
// exponent before the single rounding (-2 reads a percent as its fraction). One significant
// digit, "." and "#" followed by I or i reads as an infinity, by N or n as the quiet NaN;
// only that letter is examined. `left` receives the count of bytes after the number (0 when
// the whole range was read); text with no digits reads as 0 with every byte left.
double parse(const char* start, const char* end, int extra_exponent, size_t& left);

// For tests: the same conversions through the big-number arithmetic alone, which the fast
// paths otherwise leave to ties, exact boundaries, subnormals and long inputs.
Digits digits_exact(double value, int precision, bool keep_point);
double parse_exact(const char* start, const char* end, int extra_exponent, size_t& left);

}  // namespace kaz::float_text
