// The fixed-width decimal engine under money!: 22 packed decimal digits held in the value
// cell, 17 before the point and 5 after it, with a sign and a currency index. Nothing here
// allocates; the operations work on the cell and a work area on the C++ stack.
//
// A money! cell, by byte: 0-3 the header (type id 49 in bits 0-7, the sign in bit 14, 1 for
// negative); 4 the currency index (0 for none, else a 1-based position in the currency list
// the money! datatype keeps); 5-15 the digits, most significant first, two to a byte, the
// first of each pair in the high nibble. Digit positions run 1 to 22: 1-17 the integer part,
// 18-22 the fraction in steps of 0.00001.
//
// An amount whose digits are all 0 is zero whatever its sign bit says. The results this engine
// makes never carry the sign bit on a zero amount. Amounts go from -99999999999999999.99999 to
// 99999999999999999.99999; a result beyond them raises script type-limit with money!, and
// every failing operation leaves its operands as they were.
#pragma once

#include <cstdint>
#include <string_view>

#include "runtime/cell.h"

namespace kaz::money {

inline constexpr int32_t kDigits = 22;
inline constexpr int32_t kIntegerDigits = 17;
inline constexpr int32_t kFractionDigits = 5;
inline constexpr int32_t kDigitBytes = 11;
inline constexpr uint32_t kSignBit = 1u << 14;

// ---- the cell ----
inline uint8_t* digits_of(Cell& c) { return reinterpret_cast<uint8_t*>(&c) + 5; }
inline const uint8_t* digits_of(const Cell& c) { return reinterpret_cast<const uint8_t*>(&c) + 5; }
inline uint8_t currency_of(const Cell& c) { return uint8_t(c.data1 & 0xFF); }
inline void set_currency(Cell& c, uint8_t index) { c.data1 = (c.data1 & ~0xFFu) | index; }
// Header bit 14 as it is, 1 for negative.
inline uint32_t get_sign(const Cell& c) { return (c.header & kSignBit) ? 1 : 0; }
inline void set_sign(Cell& c, uint32_t negative) { c.header = negative ? c.header | kSignBit : c.header & ~kSignBit; }

// A zero amount of money!, with the currency given.
Cell make_cell(uint8_t currency = 0);

bool zero_q(const Cell& c);
// -1, 0 or 1: 0 for a zero amount whatever the sign bit.
int32_t sign(const Cell& c);
inline bool negative_q(const Cell& c) { return sign(c) < 0; }
inline bool positive_q(const Cell& c) { return sign(c) > 0; }

// ---- digits (position 1 is the most significant) ----
int32_t get_digit(const uint8_t* area, int32_t position);
void set_digit(uint8_t* area, int32_t position, int32_t value);
// The digits from the first that is not 0 down to position 22; 1 when all are 0.
int32_t significant_digits(const uint8_t* area);
// -1, 0 or 1 by the digits alone: one comparison of the 11 bytes.
int32_t compare_magnitude(const Cell& a, const Cell& b);

// ---- conversions ----
// Fills `c` from digit text: `integer_digits` placed right-aligned to end at position 17,
// `fraction_digits` from position 18 on, apostrophes skipped in both, fraction digits past the
// fifth dropped. The sign bit follows `negative` (a zero amount has none) and the currency
// byte is `currency`, which the caller has looked up. False, with `c` untouched, when a byte
// is neither a digit nor an apostrophe or when more than 17 integer digits follow the leading
// zeros.
bool init_from_digits(Cell& c, bool negative, uint8_t currency, std::string_view integer_digits,
                      std::string_view fraction_digits);
Cell from_integer(int32_t value);
// |x| of 1e17 or more, beyond the 17 integer digits.
bool float_overflow_q(double x);
// 0 < |x| < 1e-5, below the 5 fractional digits.
bool float_underflow_q(double x);
// The amount of a float, from the shortest digits that read back to it: fraction digits past
// the fifth are dropped or, when `strict`, refused. Raises script bad-make-arg with money! and
// the float for a float that is not finite, that overflows or underflows (above), or that
// `strict` refuses.
Cell from_float(double x, bool strict);
// The integer part with the sign. Raises script type-limit with integer! when the whole amount,
// fraction included, is above 2147483647 or below -2147483648.
int32_t to_integer(const Cell& c);
// The double nearest to the amount; 0.0 for zero.
double to_float(const Cell& c);

// ---- comparison ----
// -1, 0 or 1 by sign, then by magnitude; zero equals zero whatever the sign bits. Currencies
// are not looked at.
int32_t compare_amounts(const Cell& a, const Cell& b);
// -1, 0 or 1 for the amount against a float, decided by the signs first. Of two same-signed
// values, a float below 1e-5 in magnitude is nearer zero than any amount and one of 1e17 or more
// farther; any other float is converted as from_float with `strict` (so NaN, and a float with
// more than 5 fraction digits, raise script bad-make-arg).
int32_t compare_to_float(const Cell& money, double x);

// ---- arithmetic: the result replaces `a`'s digits and sign; its currency byte stays ----
void add_amounts(Cell& a, const Cell& b);
void subtract_amounts(Cell& a, const Cell& b);
// The product cut (not rounded) to 5 fractional digits. Raises script type-limit when the
// significant digits of the two amounts count more than 28 together, or when the product does
// not fit.
void multiply_amounts(Cell& a, const Cell& b);
// The quotient cut to 5 fractional digits, negative when the signs differ; or, with
// `remainder`, what is left of |a| after taking whole multiples of |b|, with a's sign. Raises
// math zero-divide for a zero divisor, and script type-limit when the dividend's significant
// digits less the divisor's, plus 6, pass 22 (whether or not the result would fit).
void divide_amounts(Cell& a, const Cell& b, bool remainder);

// ---- rounding ----
enum class Rounding : uint8_t {
    nearest,       // ties away from zero
    down,          // toward zero
    floor,         // toward minus infinity
    ceiling,       // toward plus infinity
    even,          // ties to the even multiple of the scale
    half_down,     // ties toward zero
    half_ceiling,  // ties toward plus infinity
};
// Rounds `value` to a multiple of |scale|, keeping its sign and currency. A zero value or a
// zero scale leaves the value as it is. The remainder is taken as divide_amounts takes it (and
// raises as it does); a tie is a remainder of exactly half the scale, whatever the scale. A
// value already on a multiple stays on it in every mode.
void round_amount(Cell& value, const Cell& scale, Rounding mode);

// ---- random ----
// Replaces the digits with an amount drawn between 0 and the amount, digit by digit from the
// most significant one: each digit is drawn in 0..d, d its own digit (a draw of d stands only
// when two further draws agree modulo 1000, else the digit is drawn again); after the first
// digit drawn below its own, the digits are drawn in 0..9. Every draw is a 31-bit value: the
// generator's output with its top bit cleared, or a secure draw with `secure`. The currency
// stays, and the sign unless the draw is zero.
void random_amount(Cell& value, bool secure);

}  // namespace kaz::money
