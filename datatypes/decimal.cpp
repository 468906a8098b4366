// The decimal engine under money!. The digits stay packed in the cell; each operation reads
// them into a binary magnitude on the stack (22 digits need 74 bits), computes there with the
// limits the digit algorithm has, and packs the result back.
#include "datatypes/decimal.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "runtime/error.h"
#include "runtime/float_text.h"
#include "runtime/random.h"

namespace kaz::money {
namespace {

// ---- helpers ----

using u128 = unsigned __int128;

// A magnitude in units of 0.00001.
constexpr uint64_t pow10(int n) {
    uint64_t p = 1;
    while (n-- > 0) p *= 10;
    return p;
}
constexpr u128 kLimit = u128(pow10(11)) * pow10(11);  // 10^22: the first amount that does not fit
constexpr uint64_t kUnit = pow10(kFractionDigits);      // 1.00000

[[noreturn]] void raise_limit() { error::raise(ErrorId::script_type_limit, cell::datatype(TypeId::money)); }

// The 22 digits as a number: the first 10 and the last 12 each fit 64 bits.
u128 load(const Cell& c) {
    const uint8_t* d = digits_of(c);
    uint64_t high = 0, low = 0;
    for (int i = 0; i < 5; ++i) high = high * 100 + (d[i] >> 4) * 10 + (d[i] & 0xF);
    for (int i = 5; i < kDigitBytes; ++i) low = low * 100 + (d[i] >> 4) * 10 + (d[i] & 0xF);
    return u128(high) * pow10(12) + low;
}

// Writes a magnitude below kLimit back as digits, and the sign (none for zero).
void store(Cell& c, u128 magnitude, bool negative) {
    uint8_t* d = digits_of(c);
    auto high = uint64_t(magnitude / pow10(12));
    auto low = uint64_t(magnitude % pow10(12));
    for (int i = kDigitBytes - 1; i >= 5; --i, low /= 100) d[i] = uint8_t((low % 100 / 10) << 4 | low % 10);
    for (int i = 4; i >= 0; --i, high /= 100) d[i] = uint8_t((high % 100 / 10) << 4 | high % 10);
    set_sign(c, negative && magnitude != 0);
}

bool negative_bit(const Cell& c) { return get_sign(c) != 0; }

// a = sa|A| + sb|B| for signs given as negative flags; the magnitudes are below kLimit.
void add_signed(Cell& a, u128 x, bool x_negative, u128 y, bool y_negative) {
    if (x_negative == y_negative) {
        u128 sum = x + y;
        if (sum >= kLimit) raise_limit();
        store(a, sum, x_negative);
    } else if (x >= y) {
        store(a, x - y, x_negative);
    } else {
        store(a, y - x, y_negative);
    }
}

// The dividend's and divisor's significant digits decide whether a division may run: the
// digit algorithm's work area holds no more.
void check_division(const Cell& a, const Cell& b) {
    if (significant_digits(digits_of(a)) - significant_digits(digits_of(b)) + 6 > kDigits) raise_limit();
}

[[noreturn]] void raise_bad_float(double x) {
    error::raise(ErrorId::script_bad_make_arg, cell::datatype(TypeId::money), cell::float_(x));
}

uint32_t draw(bool secure) { return secure ? uint32_t(random::next_secure()) : random::next() & 0x7FFFFFFF; }

}  // namespace

Cell make_cell(uint8_t currency) { return cell::make(TypeId::money, currency); }

bool zero_q(const Cell& c) {
    static constexpr uint8_t kZero[kDigitBytes] = {};
    return std::memcmp(digits_of(c), kZero, kDigitBytes) == 0;
}

int32_t sign(const Cell& c) { return zero_q(c) ? 0 : negative_bit(c) ? -1 : 1; }

// ---- digits ----

int32_t get_digit(const uint8_t* area, int32_t position) {
    uint8_t byte = area[(position - 1) / 2];
    return (position & 1) ? byte >> 4 : byte & 0xF;
}

void set_digit(uint8_t* area, int32_t position, int32_t value) {
    uint8_t& byte = area[(position - 1) / 2];
    byte = (position & 1) ? uint8_t((byte & 0x0F) | value << 4) : uint8_t((byte & 0xF0) | value);
}

int32_t significant_digits(const uint8_t* area) {
    for (int32_t i = 0; i < kDigitBytes; ++i) {
        if (area[i] >> 4) return kDigits - 2 * i;
        if (area[i] & 0xF) return kDigits - 2 * i - 1;
    }
    return 1;
}

int32_t compare_magnitude(const Cell& a, const Cell& b) {
    int r = std::memcmp(digits_of(a), digits_of(b), kDigitBytes);
    return r < 0 ? -1 : r > 0 ? 1 : 0;
}

// ---- conversions ----

bool init_from_digits(Cell& c, bool negative, uint8_t currency, std::string_view integer_digits,
                      std::string_view fraction_digits) {
    u128 magnitude = 0;
    int32_t count = 0;
    for (char ch : integer_digits) {
        if (ch == '\'') continue;
        if (ch < '0' || ch > '9') return false;
        if (count == 0 && ch == '0') continue;
        if (++count > kIntegerDigits) return false;
        magnitude = magnitude * 10 + uint32_t(ch - '0');
    }
    magnitude *= kUnit;
    uint64_t place = kUnit;
    for (char ch : fraction_digits) {
        if (ch == '\'') continue;
        if (ch < '0' || ch > '9') return false;
        place /= 10;
        magnitude += u128(uint32_t(ch - '0')) * place;
    }
    Cell made = c;
    cell::set_type(made, TypeId::money);
    set_currency(made, currency);
    store(made, magnitude, negative);
    c = made;
    return true;
}

Cell from_integer(int32_t value) {
    Cell c = make_cell();
    uint64_t magnitude = value < 0 ? uint64_t(-int64_t(value)) : uint64_t(value);
    store(c, u128(magnitude) * kUnit, value < 0);
    return c;
}

bool float_overflow_q(double x) { return std::fabs(x) >= 1e17; }
bool float_underflow_q(double x) { return x != 0.0 && std::fabs(x) < 1e-5; }

Cell from_float(double x, bool strict) {
    if (!std::isfinite(x) || float_overflow_q(x) || float_underflow_q(x)) raise_bad_float(x);
    Cell c = make_cell();
    if (x == 0.0) return c;
    // The shortest digits read back to x: the digits a user wrote, never the binary noise
    // of its seventeenth place (0.1, not 0.10000000000000001).
    float_text::Digits digits = float_text::digits(x, 0, false);
    int32_t point = digits.point;  // the value is 0.d1d2...dn x 10^point
    if (strict && int32_t(digits.length) - point > kFractionDigits) raise_bad_float(x);
    // The digits down to the fifth after the point, then the places below the last of them.
    int32_t places = point + kFractionDigits;  // of the first digit's unit, counted in 0.00001
    int32_t kept = std::min<int32_t>(digits.length, places);
    u128 magnitude = 0;
    for (int32_t i = 0; i < kept; ++i) magnitude = magnitude * 10 + uint32_t(digits.text[i] - '0');
    for (int32_t i = std::max(kept, 0); i < places; ++i) magnitude *= 10;
    store(c, magnitude, x < 0.0);
    return c;
}

int32_t to_integer(const Cell& c) {
    u128 magnitude = load(c);
    bool negative = negative_bit(c);
    u128 limit = u128(negative ? 2147483648u : 2147483647u) * kUnit;
    if (magnitude > limit) error::raise(ErrorId::script_type_limit, cell::datatype(TypeId::integer));
    auto whole = int64_t(magnitude / kUnit);
    return int32_t(negative ? -whole : whole);
}

double to_float(const Cell& c) {
    u128 magnitude = load(c);
    double x;
    if (magnitude < (u128(1) << 53)) {
        // Both operands are exact, so the one rounding of the quotient is the decimal's own.
        x = double(uint64_t(magnitude)) / double(kUnit);
    } else {
        char text[kDigits + 1];
        auto low = uint64_t(magnitude % pow10(12));
        auto high = uint64_t(magnitude / pow10(12));
        for (int i = kDigits - 1; i >= 10; --i, low /= 10) text[i] = char('0' + low % 10);
        for (int i = 9; i >= 0; --i, high /= 10) text[i] = char('0' + high % 10);
        size_t left = 0;
        x = float_text::parse(text, text + kDigits, -kFractionDigits, left);
    }
    return negative_bit(c) ? -x : x;
}

// ---- comparison ----

int32_t compare_amounts(const Cell& a, const Cell& b) {
    int32_t sa = sign(a), sb = sign(b);
    if (sa != sb) return sa < sb ? -1 : 1;
    if (sa == 0) return 0;
    int32_t m = compare_magnitude(a, b);
    return sa < 0 ? -m : m;
}

int32_t compare_to_float(const Cell& money, double x) {
    if (std::isnan(x)) raise_bad_float(x);
    int32_t sm = sign(money);
    int32_t sx = x > 0.0 ? 1 : x < 0.0 ? -1 : 0;
    if (sm != sx) return sm < sx ? -1 : 1;
    if (sm == 0) return 0;
    if (float_underflow_q(x)) return sm;  // every amount is farther from zero
    if (float_overflow_q(x)) return -sm;  // and nearer to it
    Cell other = from_float(x, true);
    return compare_amounts(money, other);
}

// ---- arithmetic ----

void add_amounts(Cell& a, const Cell& b) {
    add_signed(a, load(a), negative_bit(a), load(b), negative_bit(b));
}

void subtract_amounts(Cell& a, const Cell& b) {
    add_signed(a, load(a), negative_bit(a), load(b), !negative_bit(b));
}

void multiply_amounts(Cell& a, const Cell& b) {
    if (zero_q(a) || zero_q(b)) {
        store(a, 0, false);
        return;
    }
    if (significant_digits(digits_of(a)) + significant_digits(digits_of(b)) > 28) raise_limit();
    // Below 10^28 after the check above: the product carries 10 fractional digits, 5 are cut.
    u128 product = load(a) * load(b) / kUnit;
    if (product >= kLimit) raise_limit();
    store(a, product, negative_bit(a) != negative_bit(b));
}

void divide_amounts(Cell& a, const Cell& b, bool remainder) {
    if (zero_q(b)) error::raise(ErrorId::math_zero_divide);
    if (zero_q(a)) {
        store(a, 0, false);
        return;
    }
    check_division(a, b);
    u128 x = load(a), y = load(b);
    // The quotient's dividend is scaled by 10^5 so that 5 fractional digits come out; the check
    // above keeps it below 10^27.
    u128 result = remainder ? x % y : x * kUnit / y;
    if (result >= kLimit) raise_limit();
    store(a, result, remainder ? negative_bit(a) : negative_bit(a) != negative_bit(b));
}

// ---- rounding ----

void round_amount(Cell& value, const Cell& scale, Rounding mode) {
    if (zero_q(value) || zero_q(scale)) return;
    bool negative = negative_bit(value);
    Cell r = value;
    set_sign(r, 0);
    divide_amounts(r, scale, true);
    u128 m = load(value), s = load(scale), rest = load(r);
    u128 q = m - rest;
    bool up;  // to the next multiple away from zero
    switch (mode) {
        case Rounding::down: up = false; break;
        case Rounding::floor: up = negative && rest != 0; break;
        case Rounding::ceiling: up = !negative && rest != 0; break;
        default: {
            u128 twice = 2 * rest;
            if (twice != s) {
                up = twice > s;
                break;
            }
            switch (mode) {
                case Rounding::even: up = (q / s) % 2 != 0; break;
                case Rounding::half_down: up = false; break;
                case Rounding::half_ceiling: up = !negative; break;
                default: up = true; break;
            }
        }
    }
    if (up) {
        q += s;
        if (q >= kLimit) raise_limit();
    }
    store(value, q, negative);
}

// ---- random ----

void random_amount(Cell& value, bool secure) {
    uint8_t* area = digits_of(value);
    bool bounded = true;
    for (int32_t position = kDigits - significant_digits(area) + 1; position <= kDigits; ++position) {
        if (!bounded) {
            set_digit(area, position, int32_t(draw(secure) % 10));
            continue;
        }
        uint32_t d = uint32_t(get_digit(area, position));
        for (;;) {
            uint32_t x = draw(secure) % (d + 1);
            if (x < d) {
                set_digit(area, position, int32_t(x));
                bounded = false;
                break;
            }
            // The top digit itself only as often as the digits below it allow.
            if (draw(secure) % 1000 == draw(secure) % 1000) break;
        }
    }
    if (zero_q(value)) set_sign(value, 0);
}

}  // namespace kaz::money
