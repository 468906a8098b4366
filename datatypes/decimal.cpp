// The decimal engine under money!. The digits stay packed in the cell. Addition and
// subtraction run on them directly, all 22 digits at once in one 128-bit word; products and
// quotients are computed in binary on the stack (22 digits need 74 bits) and packed back. Both
// keep the limits of the digit algorithm.
#include "datatypes/decimal.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "runtime/error.h"
#include "runtime/float_text.h"
#include "runtime/random.h"

namespace kaz::money {
namespace {

// ---- helpers ----

using u128 = unsigned __int128;
static_assert(std::endian::native == std::endian::little);

constexpr uint64_t pow10(int n) {
    uint64_t p = 1;
    while (n-- > 0) p *= 10;
    return p;
}
constexpr uint64_t kUnit = pow10(kFractionDigits);  // 1.00000 in units of 0.00001

// ---- the digits as one word ----
// The 22 digits as the nibbles of one integer, most significant first: ordered as the
// magnitudes are, and added digit by digit without unpacking. Bit 88, just above the top digit,
// receives the carry of a sum that does not fit.

constexpr u128 nibbles(uint32_t value, int first, int count) {
    u128 r = 0;
    for (int i = first; i < first + count; ++i) r |= u128(value) << (4 * i);
    return r;
}
constexpr u128 kSixes = nibbles(6, 0, kDigits);
constexpr u128 kNines = nibbles(9, 0, kDigits);
constexpr u128 kDigitCarries = nibbles(1, 1, kDigits);  // the lowest bit of every nibble above the first
constexpr u128 kOverflow = u128(1) << (4 * kDigits);

u128 load_bcd(const Cell& c) {
    const uint8_t* d = digits_of(c);
    uint64_t low;
    std::memcpy(&low, d + 3, 8);
    return u128(uint32_t(d[0]) << 16 | uint32_t(d[1]) << 8 | d[2]) << 64 | __builtin_bswap64(low);
}

// Writes the digits back, and the sign (none on zero).
void store_bcd(Cell& c, u128 bcd, bool negative) {
    uint8_t* d = digits_of(c);
    auto high = uint32_t(bcd >> 64);
    uint64_t low = __builtin_bswap64(uint64_t(bcd));
    d[0] = uint8_t(high >> 16);
    d[1] = uint8_t(high >> 8);
    d[2] = uint8_t(high);
    std::memcpy(d + 3, &low, 8);
    set_sign(c, negative && bcd != 0);
}

// a + b + carry digit by digit: each digit is biased by 6 so that a decimal carry is a binary
// one, and the bias is taken back from the digits that did not carry.
u128 bcd_add(u128 a, u128 b, uint32_t carry) {
    u128 biased = a + kSixes;
    u128 sum = biased + b + carry;
    u128 carried = sum ^ biased ^ b;  // the bits a carry came into
    u128 kept = ~carried & kDigitCarries;
    return sum - ((kept >> 2) | (kept >> 3));
}

// a - b for a >= b: a plus the nines' complement of b plus one, less the carry.
u128 bcd_subtract(u128 a, u128 b) { return bcd_add(a, kNines - b, 1) & (kOverflow - 1); }

// ---- digits and binary ----

// 16 digits to their value: nibbles to bytes of 0-99, to 16-bit lanes of 0-9999, to 32-bit
// lanes of 0-99999999, to one number.
[[gnu::always_inline]] inline uint64_t bcd16_to_binary(uint64_t x) {
    x = (x >> 4 & 0x0F0F0F0F0F0F0F0Full) * 10 + (x & 0x0F0F0F0F0F0F0F0Full);
    x = (x >> 8 & 0x00FF00FF00FF00FFull) * 100 + (x & 0x00FF00FF00FF00FFull);
    x = (x >> 16 & 0x0000FFFF0000FFFFull) * 10000 + (x & 0x0000FFFF0000FFFFull);
    return (x >> 32) * 100000000 + (x & 0xFFFFFFFFull);
}

// A value below 10^8 to 8 digits: two lanes of 4 digits, four of 2, eight of 1 (each quotient by
// a multiply and shift that is exact in its range), then the digits gathered into nibbles.
[[gnu::always_inline]] inline uint32_t binary_to_bcd8(uint32_t n) {
    uint64_t x = uint64_t(n / 10000) << 32 | n % 10000;
    uint64_t q = (x * 10486 >> 20) & 0x0000007F0000007Full;
    x = q << 16 | (x - q * 100);
    q = (x * 103 >> 10) & 0x000F000F000F000Full;
    x = q << 8 | (x - q * 10);
    x = (x | x >> 4) & 0x00FF00FF00FF00FFull;
    x = (x | x >> 8) & 0x0000FFFF0000FFFFull;
    return uint32_t(x | x >> 16);
}

uint64_t binary_to_bcd16(uint64_t n) {
    return uint64_t(binary_to_bcd8(uint32_t(n / 100000000))) << 32 | binary_to_bcd8(uint32_t(n % 100000000));
}

// The digits from the first that is not 0 to the last; 1 for zero.
int32_t significance(u128 bcd) {
    if (bcd == 0) return 1;
    auto high = uint64_t(bcd >> 64);
    int zeros = high ? std::countl_zero(high) : 64 + std::countl_zero(uint64_t(bcd));
    return kDigits - (zeros - (128 - 4 * kDigits)) / 4;
}

// The magnitude in units of 0.00001.
u128 to_binary(u128 bcd) {
    return u128(bcd16_to_binary(uint64_t(bcd >> 64))) * pow10(16) + bcd16_to_binary(uint64_t(bcd));
}
u128 load(const Cell& c) { return to_binary(load_bcd(c)); }

// Writes a magnitude below 10^22.
void store(Cell& c, u128 magnitude, bool negative) {
    // 10^16 is 2^16 x 152587890625: the quotient comes from 64-bit arithmetic alone.
    uint64_t high = uint64_t(magnitude >> 16) / 152587890625ull;  // below 10^6
    uint64_t low = uint64_t(magnitude) - high * pow10(16);
    store_bcd(c, u128(binary_to_bcd8(uint32_t(high))) << 64 | binary_to_bcd16(low), negative);
}

constexpr u128 kLimit = u128(pow10(6)) * pow10(16);  // 10^22: the first magnitude that does not fit

[[noreturn]] void raise_limit() { error::raise(ErrorId::script_type_limit, cell::datatype(TypeId::money)); }

bool negative_bit(const Cell& c) { return get_sign(c) != 0; }

// a = x + y for signed magnitudes given as digits and negative flags.
void add_signed(Cell& a, u128 x, bool x_negative, u128 y, bool y_negative) {
    if (x_negative == y_negative) {
        u128 sum = bcd_add(x, y, 0);
        if (sum & kOverflow) raise_limit();
        store_bcd(a, sum, x_negative);
    } else if (x >= y) {
        store_bcd(a, bcd_subtract(x, y), x_negative);
    } else {
        store_bcd(a, bcd_subtract(y, x), y_negative);
    }
}

[[noreturn]] void raise_bad_float(double x) {
    error::raise(ErrorId::script_bad_make_arg, cell::datatype(TypeId::money), cell::float_(x));
}

uint32_t draw(bool secure) { return secure ? uint32_t(random::next_secure()) : random::next() & 0x7FFFFFFF; }

}  // namespace

Cell make_cell(uint8_t currency) { return cell::make(TypeId::money, currency); }

bool zero_q(const Cell& c) { return load_bcd(c) == 0; }

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
    add_signed(a, load_bcd(a), negative_bit(a), load_bcd(b), negative_bit(b));
}

void subtract_amounts(Cell& a, const Cell& b) {
    add_signed(a, load_bcd(a), negative_bit(a), load_bcd(b), !negative_bit(b));
}

void multiply_amounts(Cell& a, const Cell& b) {
    u128 x = load_bcd(a), y = load_bcd(b);
    if (x == 0 || y == 0) {
        store_bcd(a, 0, false);
        return;
    }
    if (significance(x) + significance(y) > 28) raise_limit();
    // Below 10^28 after the check above: the product carries 10 fractional digits, 5 are cut.
    u128 product = to_binary(x) * to_binary(y) / kUnit;
    if (product >= kLimit) raise_limit();
    store(a, product, negative_bit(a) != negative_bit(b));
}

void divide_amounts(Cell& a, const Cell& b, bool remainder) {
    u128 x = load_bcd(a), y = load_bcd(b);
    if (y == 0) error::raise(ErrorId::math_zero_divide);
    if (x == 0) {
        store_bcd(a, 0, false);
        return;
    }
    // The digit algorithm's work area holds no more than this.
    if (significance(x) - significance(y) + 6 > kDigits) raise_limit();
    // The quotient's dividend is scaled by 10^5 so that 5 fractional digits come out; the check
    // above keeps it below 10^27.
    u128 dividend = to_binary(x), divisor = to_binary(y);
    u128 result = remainder ? dividend % divisor : dividend * kUnit / divisor;
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
