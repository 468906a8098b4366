// integer! — the 32-bit signed integer, whose add, subtract and multiply go over to float!
// when they overflow; and the operation codes every arithmetic core shares.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#include "datatypes/actions.h"
#include "runtime/cell.h"

namespace kaz {

// The operation handed to the arithmetic and set cores of every scalar, vector and set type.
enum class MathOp : uint8_t {
    add = 0,
    subtract = 1,
    multiply = 2,
    divide = 3,
    remainder = 4,
    or_ = 5,
    and_ = 6,
    xor_ = 7,
    unique = 8,
    union_ = 9,
    intersect = 10,
    exclude = 11,
    difference = 12,
};

// Exchanges arguments 1 and 2 of the current frame, for a core that takes its own type on the
// left only. The new-line flag stays with the return slot, where every result keeps it.
void swap_operands();

}  // namespace kaz

namespace kaz::integer {

// ---- cell helpers (compiled code and other datatypes use them unchecked) ----
inline int32_t get(const Cell& c) { return int32_t(c.data2); }
int32_t get_return();
// The return slot's value when it holds an integer!, else 0.
int32_t get_return_or_zero();
Cell* set_return(int32_t value);
// Makes `c` an integer! (type byte only; the flags above it stay) holding `value`.
Cell& init_cell(Cell& c, int32_t value);
Cell* make_in_block(Node block, int32_t value);
Cell* push(int32_t value);

constexpr int32_t sign(int32_t value) { return value > 0 ? 1 : value < 0 ? -1 : 0; }
// |value|; the smallest integer raises math overflow.
int32_t abs_checked(int32_t value);
// True when the double of a float!, percent! or time! cell does not truncate to a 32-bit
// integer: above 2147483647.0, below -2147483648.0, or NaN.
bool float_out_of_range_q(const Cell& c);

// The decimal text of a value, held by value (no shared buffer).
struct Decimal {
    char text[12];
    uint8_t length;
    std::string_view view() const { return {text, length}; }
};
Decimal format_decimal(int32_t value);

// The same text written in place: decimal_size gives the characters it takes (the sign
// included), write_decimal writes exactly that many at `out`. Inline: the appends of integers
// to text call them once a value.
inline constexpr char kDigitPairs[] =  // "00" to "99": two digits a division
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

inline uint32_t decimal_size(int32_t value) {
    // The magnitude as unsigned: the smallest integer has no positive counterpart. Setting its
    // lowest bit changes no digit count (10^k - 1 is odd) and gives 0 the one digit of 1.
    uint32_t m = (value < 0 ? 0u - uint32_t(value) : uint32_t(value)) | 1;
    static constexpr uint32_t kPowers[10] = {1,      10,      100,      1000,      10000,
                                             100000, 1000000, 10000000, 100000000, 1000000000};
    // The bit length times log10(2) (1233 / 4096) is the digit count or one more.
    uint32_t t = (uint32_t(32 - __builtin_clz(m)) * 1233) >> 12;
    return t + 1 - (m < kPowers[t] ? 1 : 0) + (value < 0 ? 1 : 0);
}

inline void write_decimal(char* out, int32_t value, uint32_t size) {
    uint32_t m = value < 0 ? 0u - uint32_t(value) : uint32_t(value);
    char* p = out + size;
    while (m >= 100) {
        uint32_t pair = m % 100;
        m /= 100;
        p -= 2;
        std::memcpy(p, kDigitPairs + pair * 2, 2);
    }
    if (m >= 10) {
        p -= 2;
        std::memcpy(p, kDigitPairs + m * 2, 2);
    } else {
        *--p = char('0' + m);
    }
    if (value < 0) out[0] = '-';
}

// One operation on two payloads. Add, subtract and multiply that overflow, and a divide that
// is not exact, turn `result` (when given) into a float! with the result computed in
// floating point; otherwise the 32-bit result is also stored in result's data2. Dividing by
// zero raises math zero-divide; -2147483648 divided or remaindered by -1, math overflow.
int32_t math_op(int32_t left, int32_t right, MathOp op, Cell* result);
// The arithmetic core: the integer! in argument 1 of the current frame with argument 2 of
// any number type; the result is left in argument 1.
void do_math(MathOp op);

// The UTF-8 name of an issue! read as hexadecimal: at most 8 characters, each an ASCII hex
// digit; anything else (a non-ASCII character too) raises script invalid-data with `issue`.
int32_t issue_to_integer(std::string_view utf8_name, const Cell& issue);

// ---- actions ----
Cell make(const Cell& proto, const Cell& spec, TypeId type);
void random(Cell& value, bool seed, bool secure, bool only);
Cell to(const Cell& proto, const Cell& spec, TypeId type);
int32_t form(const Cell& value, Node string, const Cell* part, int32_t limit);
int32_t mold(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
             int32_t limit, int32_t indent);
int32_t compare(const Cell& a, const Cell& b, CompareOp op);
void absolute();
void add();
void divide();
void multiply();
void negate(Cell& value);
void power();
void remainder();
void round(Cell& value, const Cell* scale, bool even, bool down, bool half_down, bool floor,
           bool ceiling, bool half_ceiling);
void subtract();
bool even_q(const Cell& value);
bool odd_q(const Cell& value);
void and_();
Cell complement(const Cell& value);
void or_();
void xor_();

// ---- registration ----
void init();

}  // namespace kaz::integer
