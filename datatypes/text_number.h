// Text to number for `to` and `make`: the characters of a string buffer of any unit read as an
// integer, a float or a money amount. Failures are reported through an error code, never raised:
// the callers raise script bad-to-arg with the target type and the value.
//
// Only ASCII counts as digits, signs or points: a code point above 0x7F is always invalid.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/cell.h"

namespace kaz::text_number {

// Error codes: left unchanged on success.
inline constexpr int32_t kInvalid = -1;
inline constexpr int32_t kOverflow = -2;

// An optional sign, then decimal digits with apostrophes skipped anywhere. An overflow of the
// 32 bits sets kOverflow (the result is then 0); any other character, or no digit at all, sets
// kInvalid. -2147483648 is read exactly.
int32_t string_to_integer(const uint8_t* text, uint32_t count, uint32_t unit, int32_t& error);

// A decimal number, with "," read as the decimal point and apostrophes as digit separators;
// NaN with kInvalid for anything else, or for a text of 313 characters or more.
double string_to_float(const uint8_t* text, uint32_t count, uint32_t unit, int32_t& error);

// Whether bytes have the float syntax numbers are loaded with: signs, digits with apostrophe
// separators, one point, an exponent; at most 312 bytes.
bool float_syntax_q(std::string_view text);

// The parts of a money amount's text: the sign, the currency code (empty when none), and the
// digits of the integer part and of the fraction, apostrophes included.
struct MoneyText {
    bool negative = false;
    std::string currency, integer, fraction;
};
// Reads a money amount: an optional sign, an optional three-letter currency code followed by
// "$" (a "$" alone is optional), digits with apostrophe separators and at most one point.
// False when the text is not a money amount.
bool parse_money(const uint8_t* text, uint32_t count, uint32_t unit, MoneyText& out);

// "A" to "Z" and "a" to "z".
constexpr bool letter_q(uint32_t cp) { return (cp >= 'A' && cp <= 'Z') || (cp >= 'a' && cp <= 'z'); }

}  // namespace kaz::text_number
