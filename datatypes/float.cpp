// float! — the 64-bit IEEE 754 number; its core also serves percent! and time!.
#include "datatypes/float.h"
#include "datatypes/vector.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include "datatypes/internal.h"
#include "datatypes/money.h"
#include "datatypes/pair.h"
#include "datatypes/point.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/text_number.h"
#include "datatypes/tuple.h"
#include "datatypes/word.h"
#include "runtime/error.h"
#include "runtime/float_text.h"
#include "runtime/memory.h"
#include "runtime/number.h"
#include "runtime/random.h"
#include "runtime/stack.h"
#include "runtime/text.h"
#include "runtime/throw.h"

namespace kaz::float_ {

bool pretty_print_q = true;
bool full_support_q = false;

namespace {

// ---- helpers ----

constexpr double kEpsilon = 2.220446049250313e-16;  // 2^-52

uint64_t bits_of(double x) {
    uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

double from_bits(uint64_t b) {
    double x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}

// Stops at the limit and subtracts exactly what it wrote.
constexpr auto& write = text::write_within;

Cell error_word(const char* name) { return word::from_c_string(name); }

[[noreturn]] void bad_to_arg(TypeId type, const Cell& spec) {
    error::raise(ErrorId::script_bad_to_arg, cell::datatype(type), spec);
}

// The double of an integer!, char!, float!, percent! or time! cell.
double number_of(const Cell& c) {
    TypeId t = type_of(c);
    return t == TypeId::integer || t == TypeId::char_ ? double(integer::get(c)) : get(c);
}

Text text_of(std::string_view s) {
    Text t{};
    t.length = uint8_t(std::min(s.size(), sizeof t.text));
    std::memcpy(t.text, s.data(), t.length);
    return t;
}

// printf's "%.<precision>g", without the locale.
Text general(double x, int precision) {
    Text t{};
    auto r = std::to_chars(t.text, t.text + sizeof t.text, x, std::chars_format::general, precision);
    t.length = uint8_t(r.ptr - t.text);
    return t;
}

Text first_text(double x, FormatKind kind, bool again) {
    switch (kind) {
        case FormatKind::float32:
        case FormatKind::point: return general(x, again ? 5 : 7);
        case FormatKind::percent32: return general(x, again ? 14 : 7);
        case FormatKind::percent: return general(x, again ? 14 : 13);
        case FormatKind::float_: return general(x, again ? 14 : 16);
        case FormatKind::time:
            return again ? general(x, 5) : text_of(float_text::form(x, 6, false).view());
    }
    return general(x, 16);
}

// Digits that end in 01 or 99 at full precision are taken for the noise of a binary
// fraction and the number is formatted again with fewer digits.
bool noisy(std::string_view s) {
    size_t e = s.find('e');
    size_t end = e == std::string_view::npos ? s.size() : e;
    bool long_enough;
    if (e == std::string_view::npos) {
        size_t first = s.size() > 0 && s[0] == '-' ? 1 : 0;
        long_enough = (s.size() > 16 && first < s.size() && s[first] != '0') || s.size() > 17;
    } else {
        long_enough = e > 16;
    }
    if (!long_enough || end < 2) return false;
    std::string_view last = s.substr(end - 2, 2);
    return last == "01" || last == "99";
}

// "1e+20" becomes "1e20" and "1e-07" becomes "1e-7".
void trim_exponent(Text& t) {
    char* e = static_cast<char*>(std::memchr(t.text, 'e', t.length));
    if (!e) return;
    char* end = t.text + t.length;
    char* out = e + 1;
    char* p = e + 1;
    if (p < end && *p == '-') *out++ = *p;
    while (p < end && (*p == '+' || *p == '-' || *p == '0')) ++p;
    while (p < end) *out++ = *p++;
    t.length = uint8_t(out - t.text);
}

void insert_point(Text& t) {
    if (std::memchr(t.text, '.', t.length)) return;
    char* e = static_cast<char*>(std::memchr(t.text, 'e', t.length));
    size_t at = e ? size_t(e - t.text) : t.length;
    std::memmove(t.text + at + 2, t.text + at, t.length - at);
    t.text[at] = '.';
    t.text[at + 1] = '0';
    t.length = uint8_t(t.length + 2);
}

void append_char(Text& t, char c) { t.text[t.length++] = c; }

// The ordered key of a double's bits: keys of consecutive doubles differ by 1.
uint64_t ordered_key(double x) {
    uint64_t b = bits_of(x);
    return b >> 63 ? 0 - b : b | 0x8000000000000000u;
}

// The multiple of `sc` nearest to x by the rounding rule; sc > 0.
double round_to_scale(double x, double sc, bool even, bool down, bool half_down, bool floor,
                      bool ceiling, bool half_ceiling) {
    // A scale so small that its reciprocal overflows: scale the value by the scale's binary
    // exponent instead and undo that at the end.
    int exponent = 0;
    double mantissa = std::frexp(sc, &exponent);
    int rescale = 0;
    if (exponent <= -1022) {
        x = std::ldexp(x, -exponent);
        sc = mantissa;
        rescale = exponent;
    }
    double y, reciprocal = 0.0;
    if (sc >= 1.0) {
        y = x / sc;
    } else {
        reciprocal = 1.0 / sc;
        y = x * reciprocal;
    }
    const double t = std::fabs(y), h = std::floor(t) + 0.5;
    auto with_sign = [&](double v) { return y < 0 ? -v : v; };
    double d;
    if (down) d = with_sign(std::floor(t));
    else if (floor) d = std::floor(y);
    else if (ceiling) d = std::ceil(y);
    else if (h < t) d = with_sign(std::ceil(t));
    else if (h > t) d = with_sign(std::floor(t));
    else if (even) d = with_sign(std::fmod(t, 2.0) >= 1.0 ? std::ceil(t) : std::floor(t));
    else if (half_down) d = with_sign(std::floor(t));
    else if (half_ceiling) d = std::ceil(y);
    else d = with_sign(std::ceil(t));
    double result = sc >= 1.0 ? d * sc : d / reciprocal;
    return rescale ? std::ldexp(result, rescale) : result;
}

// A pair or point on the right takes the left place, where its own core runs; a number can
// only scale or shift it.
void coordinates_right(MathOp op) {
    const TypeId rt = type_of(stack::base[1]);
    if (op == MathOp::subtract || op == MathOp::divide)
        error::raise(ErrorId::script_not_related, op == MathOp::subtract ? words::subtract : words::divide,
                     cell::datatype(rt));
    swap_operands();
    switch (rt) {
        case TypeId::pair: pair::do_math(op); return;
        case TypeId::point2d: point2d::do_math(op); return;
        default: point3d::do_math(op); return;
    }
}

}  // namespace

// ---- cell and number helpers ----

void set_return(double value) { stack::base[0] = cell::float_(value); }

Cell* make_in_block(Node block, uint32_t high, uint32_t low) {
    SeriesBuffer* b = memory::buffer_of(block);
    Cell* c = series::reserve_cell(b);
    *c = cell::make(TypeId::float_, 0, low, high);
    return c;
}

Cell* push_halves(uint32_t high, uint32_t low) {
    return stack::push(cell::make(TypeId::float_, 0, low, high));
}

Cell* push(double value) { return stack::push(cell::float_(value)); }

double abs(double x) { return from_bits(bits_of(x) & ~(uint64_t(1) << 63)); }

int32_t round_to_integer(double x) {
    return number::to_int32(x + 0.49999999999999994, ErrorId::script_type_limit,
                            cell::datatype(TypeId::integer));
}

bool nan_q(double x) {
    uint64_t b = bits_of(x);
    return (b & 0x7FF0000000000000u) == 0x7FF0000000000000u && (b & 0x000FFFFFFFFFFFFFu) != 0;
}

bool not_finite_q(double x) { return (bits_of(x) & 0x7FF0000000000000u) == 0x7FF0000000000000u; }

bool nan32_q(float x) { return x != x; }

bool almost_equal_q(double x, double y) {
    if (nan_q(x) || nan_q(y)) return false;
    if (x == y) return true;
    if (std::fabs(x - y) < kEpsilon) return true;
    uint64_t a = ordered_key(x), b = ordered_key(y);
    uint64_t distance = a > b ? a - b : b - a;
    uint32_t ha = uint32_t(a >> 32), hb = uint32_t(b >> 32);
    uint32_t high_distance = ha > hb ? ha - hb : hb - ha;
    return high_distance <= 1 && distance <= 10;
}

bool almost_equal32_q(float x, float y) {
    if (nan32_q(x) || nan32_q(y)) return false;
    if (x == y) return true;
    uint32_t bx, by;
    std::memcpy(&bx, &x, sizeof bx);
    std::memcpy(&by, &y, sizeof by);
    uint32_t a = bx >> 31 ? 0 - bx : bx | 0x80000000u;
    uint32_t b = by >> 31 ? 0 - by : by | 0x80000000u;
    return (a > b ? a - b : b - a) <= 10;
}

int32_t compare_doubles(double v, double o, CompareOp op) {
    switch (op) {
        case CompareOp::equal:
        case CompareOp::not_equal: return almost_equal_q(v, o) ? 0 : 1;
        case CompareOp::strict_equal: return v == o ? 0 : 1;
        case CompareOp::same: return bits_of(v) == bits_of(o) ? 0 : 1;
        default: break;
    }
    if (nan_q(v) || nan_q(o)) {
        switch (op) {
            case CompareOp::lesser:
            case CompareOp::lesser_or_equal: return 1;
            case CompareOp::greater:
            case CompareOp::greater_or_equal: return -1;
            // NaN equals nothing, not even under the equalities of searching and matching.
            case CompareOp::match_case:
            case CompareOp::match:
            case CompareOp::find: return 1;
            default: return 0;
        }
    }
    return v < o ? -1 : v > o ? 1 : 0;
}

Text format(double x, FormatKind kind) {
    if (nan_q(x)) return text_of("1.#NaN");
    if (not_finite_q(x)) return text_of(x < 0 ? "-1.#INF" : "1.#INF");
    const bool percent = kind == FormatKind::percent32 || kind == FormatKind::percent;
    if (pretty_print_q && std::fabs(x) < kEpsilon)
        return text_of(percent ? "0%" : kind == FormatKind::point ? "0" : "0.0");
    Text t = first_text(x, kind, false);
    if (pretty_print_q && noisy(t.view())) t = first_text(x, kind, true);
    trim_exponent(t);
    if (percent) append_char(t, '%');
    else if (kind == FormatKind::float32 || kind == FormatKind::float_) insert_point(t);
    return t;
}

double do_math(double x, double y, MathOp op) {
    switch (op) {
        case MathOp::add: return x + y;
        case MathOp::subtract: return x - y;
        case MathOp::multiply: return x * y;
        case MathOp::divide: return x / y;
        case MathOp::remainder:
            if (y * 0.0 == 0.0) return std::fmod(x, y);
            if (nan_q(y)) return y;
            return not_finite_q(x) ? std::nan("") : x;
        default:
            error::raise(ErrorId::script_cannot_use, frame::function_word(),
                         cell::datatype(TypeId::float_));
    }
}

void math_core(MathOp op) {
    Cell& left = stack::base[0];
    const Cell& right = stack::base[1];
    const TypeId lt = type_of(left), rt = type_of(right);
    switch (rt) {
        case TypeId::tuple: tuple::do_math(op); return;
        case TypeId::money: money::do_math(op); return;
        case TypeId::vector: vector::scalar_math(op); return;
        case TypeId::pair:
        case TypeId::point2d:
        case TypeId::point3d:
            if (lt != TypeId::time) return coordinates_right(op);
            break;
        default: break;
    }
    bool accepted = rt == TypeId::integer || rt == TypeId::char_ || rt == TypeId::float_ ||
                    rt == TypeId::percent || rt == TypeId::time;
    if (rt == TypeId::char_ && (lt == TypeId::time || lt == TypeId::percent)) accepted = false;
    if (!accepted) error::raise(ErrorId::script_invalid_type, cell::datatype(rt));

    const double d = do_math(number_of(left), number_of(right), op);
    // A percent with a plain number stays a percent; a time with anything else is a time.
    TypeId result;
    if ((lt == TypeId::time) != (rt == TypeId::time)) result = TypeId::time;
    else if (lt == TypeId::integer) result = TypeId::float_;
    else if (lt == TypeId::percent && rt != TypeId::percent && rt != TypeId::time) result = TypeId::percent;
    else result = lt;
    cell::set_type(left, result);
    cell::put_float(left, d);
}

double random_value(double max, bool secure) {
    if (!secure) {
        // 31 bits, so that the result lies between 0 and max like the secure one.
        uint32_t n = kaz::random::next() & 0x7FFFFFFF;
        return n / 2147483647.0 * max;
    }
    double a = kaz::random::next_secure();
    double b = kaz::random::next_secure();
    return (b + a / 2147483647.0) * max / 2147483648.0;
}

void check_exponent(const Cell& exponent) {
    if (!is(exponent, TypeId::integer) && !is(exponent, TypeId::float_))
        error::raise(ErrorId::script_expect_arg, error_word("power"),
                     cell::datatype(type_of(exponent)), error_word("exponent"));
}

// ---- actions ----

Cell make(const Cell&, const Cell& spec, TypeId type) {
    double d = 0.0;
    switch (type_of(spec)) {
        case TypeId::block:
        case TypeId::paren:
        case TypeId::hash: {
            // [mantissa exponent]: mantissa x 10^exponent
            SeriesBuffer* b = memory::buffer_of(spec.data2);
            uint32_t cells = b->used() / sizeof(Cell);
            uint32_t head = std::min(spec.data1, cells);
            if (cells - head != 2) bad_to_arg(type, spec);
            const Cell m = b->cells()[head], e = b->cells()[head + 1];
            for (const Cell* c : {&m, &e})
                if (!is(*c, TypeId::integer) && !is(*c, TypeId::float_)) bad_to_arg(TypeId::float_, spec);
            d = number_of(m) * std::pow(10.0, std::trunc(number_of(e)));
            break;
        }
        case TypeId::char_:
        case TypeId::integer: d = double(integer::get(spec)); break;
        case TypeId::float_:
        case TypeId::percent:
        case TypeId::time: d = get(spec); break;
        case TypeId::binary: {
            // Up to 8 bytes from the head, big-endian: the double's bit pattern.
            SeriesBuffer* b = memory::buffer_of(spec.data2);
            uint32_t used = b->used();
            uint32_t head = std::min(spec.data1, used);
            uint32_t n = std::min(8u, used - head);
            uint64_t bits = 0;
            for (uint32_t i = 0; i < n; ++i) bits = bits << 8 | b->head[head + i];
            d = from_bits(bits);
            break;
        }
        case TypeId::string:
        case TypeId::file:
        case TypeId::url:
        case TypeId::tag:
        case TypeId::email:
        case TypeId::ref: {
            if (type == TypeId::percent) {
                // Read as source, so that "50%" is 50% and "50" is 5000%.
                Cell first = string::scan_first(spec);
                switch (type_of(first)) {
                    case TypeId::integer: d = double(integer::get(first)); break;
                    case TypeId::float_:
                    case TypeId::percent: d = get(first); break;
                    default: bad_to_arg(type, spec);
                }
                break;
            }
            Cell text = spec;
            uint32_t count = string::length_from_head(text);
            int32_t failed = 0;
            d = text_number::string_to_float(string::head_pointer(text), count,
                                             memory::buffer_of(text.data2)->unit(), failed);
            if (failed || count == 0) bad_to_arg(type, spec);
            break;
        }
        case TypeId::money: d = money::to_float(spec); break;
        default: bad_to_arg(type, spec);
    }
    Cell c = cell::make(type);
    cell::put_float(c, d);
    return c;
}

void random(Cell& value, bool seed, bool secure, bool) {
    if (seed) {
        kaz::random::seed(value.data2 ^ value.data3);
        value = cell::unset();
        return;
    }
    cell::put_float(value, random_value(get(value), secure));
}

int32_t form(const Cell& value, Node string, const Cell*, int32_t limit) {
    return write(string, format(get(value), FormatKind::float_).view(), limit);
}

int32_t mold(const Cell& value, Node string, bool, bool, bool, const Cell*, int32_t limit, int32_t) {
    return write(string, float_text::form(get(value), 0, true).view(), limit);
}

int32_t compare(const Cell& a, const Cell& b, CompareOp op) {
    bool exact = op == CompareOp::strict_equal || op == CompareOp::same || op == CompareOp::find;
    if (exact && type_of(a) != type_of(b)) return 1;
    switch (type_of(b)) {
        case TypeId::integer:
        case TypeId::float_:
        case TypeId::percent:
        case TypeId::time: return compare_doubles(get(a), number_of(b), op);
        case TypeId::money: return -money::compare_to_float(b, get(a));
        default: return kNotComparable;
    }
}

void absolute() { cell::put_float(stack::base[0], abs(get(stack::base[0]))); }
void add() { math_core(MathOp::add); }
void divide() { math_core(MathOp::divide); }
void multiply() { math_core(MathOp::multiply); }
void remainder() { math_core(MathOp::remainder); }
void subtract() { math_core(MathOp::subtract); }

void negate(Cell& value) { cell::put_float(value, 0.0 - get(value)); }

void power() {
    Cell& base = stack::base[0];
    const Cell& exponent = stack::base[1];
    check_exponent(exponent);
    cell::put_float(base, std::pow(get(base), number_of(exponent)));
}

void round(Cell& value, const Cell* scale, bool even, bool down, bool half_down, bool floor,
           bool ceiling, bool half_ceiling) {
    const bool percent = is(value, TypeId::percent);
    const double x = get(value);
    double sc = percent ? 0.01 : 1.0;
    TypeId result = type_of(value);
    if (scale) {
        switch (type_of(*scale)) {
            case TypeId::money:
                error::raise(ErrorId::script_not_related, cell::datatype(TypeId::money));
            case TypeId::integer:
            case TypeId::float_:
            case TypeId::percent:
            case TypeId::time: sc = std::fabs(number_of(*scale)); break;
            default: error::raise(ErrorId::script_invalid_type, cell::datatype(type_of(*scale)));
        }
        if (percent) sc /= 100.0;
        result = type_of(*scale);
    }
    if (sc == 0.0) return;  // nothing to round to
    double d;
    if (std::ldexp(std::fabs(x), -53) > sc) {
        // The scale lies below the value's precision: nothing to round, and far beyond
        // what a 32-bit integer holds.
        if (result == TypeId::integer) error::raise(ErrorId::math_overflow);
        return;
    }
    d = round_to_scale(x, sc, even, down, half_down, floor, ceiling, half_ceiling);
    if (std::isinf(d)) error::raise(ErrorId::math_overflow);
    if (result == TypeId::integer) {
        if (!number::fits_int32(d)) error::raise(ErrorId::math_overflow);
        integer::init_cell(value, number::to_int32(d, ErrorId::math_overflow));
        return;
    }
    cell::set_type(value, result);
    cell::put_float(value, d);
}

// Parity of the value truncated toward zero; values too large for 32 bits are even or odd
// like any integer, and infinities and NaN are neither.
bool even_q(const Cell& value) { return std::fmod(std::trunc(get(value)), 2.0) == 0.0; }
bool odd_q(const Cell& value) { return std::fabs(std::fmod(std::trunc(get(value)), 2.0)) == 1.0; }

// ---- registration ----

void init() {
    registry::define(TypeId::float_, {.make = make, .random = random, .to = make, .form = form,
                                      .mold = mold, .compare = compare, .absolute = absolute,
                                      .add = add, .divide = divide, .multiply = multiply,
                                      .negate = negate, .power = power, .remainder = remainder,
                                      .round = round, .subtract = subtract, .even_q = even_q,
                                      .odd_q = odd_q});
}

}  // namespace kaz::float_
