// integer! — the 32-bit signed integer.
#include "datatypes/integer.h"
#include "datatypes/issue.h"
#include "datatypes/vector.h"

#include <algorithm>
#include <utility>

#include "datatypes/date.h"
#include "datatypes/float.h"
#include "datatypes/internal.h"
#include "datatypes/money.h"
#include "datatypes/pair.h"
#include "datatypes/point.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/text_number.h"
#include "datatypes/tuple.h"
#include "runtime/error.h"
#include "runtime/memory.h"
#include "runtime/number.h"
#include "runtime/random.h"
#include "runtime/stack.h"
#include "runtime/text.h"
#include "runtime/throw.h"

namespace kaz {

void swap_operands() {
    Cell& left = stack::base[0];
    Cell& right = stack::base[1];
    const bool new_line = cell::new_line_q(left);
    std::swap(left, right);
    left.header = new_line ? left.header | cell_flag::new_line : left.header & ~cell_flag::new_line;
}

}  // namespace kaz

namespace kaz::integer {
namespace {

// ---- helpers ----

// Stops at the limit and subtracts exactly what it wrote.
constexpr auto& write = text::write_within;

// Turns `result` into a float! holding `value`; the 32-bit result is `wrapped`.
int32_t become_float(Cell* result, double value, int32_t wrapped) {
    if (result) {
        cell::set_type(*result, TypeId::float_);
        cell::put_float(*result, value);
    }
    return wrapped;
}

[[noreturn]] void bad_to_arg(const Cell& spec) {
    error::raise(ErrorId::script_bad_to_arg, cell::datatype(TypeId::integer), spec);
}

// A float's truncation, the range checked first.
int32_t truncate(double d) {
    const Cell type = cell::datatype(TypeId::integer);
    if (!(d <= 2147483647.0 && d >= -2147483648.0)) error::raise(ErrorId::script_type_limit, type);
    return number::to_int32(d, ErrorId::script_type_limit, type);
}

// The first min(4, length) bytes of a binary! from its head, big-endian.
int32_t from_binary(const Cell& binary) {
    SeriesBuffer* b = memory::buffer_of(binary.data2);
    uint32_t used = b->used();
    uint32_t head = std::min(binary.data1, used);
    uint32_t n = std::min(4u, used - head);
    uint32_t v = 0;
    for (uint32_t i = 0; i < n; ++i) v = v << 8 | b->head[head + i];
    return int32_t(v);
}

// The value of a hexadecimal digit, -1 for any other character.
constexpr int hex_digit(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

int32_t get_return() { return get(stack::base[0]); }
int32_t get_return_or_zero() { return is(stack::base[0], TypeId::integer) ? get(stack::base[0]) : 0; }
Cell* set_return(int32_t value) { return &init_cell(stack::base[0], value); }

Cell& init_cell(Cell& c, int32_t value) {
    cell::set_type(c, TypeId::integer);
    c.data2 = uint32_t(value);
    return c;
}

Cell* make_in_block(Node block, int32_t value) {
    SeriesBuffer* b = memory::buffer_of(block);
    Cell* c = series::reserve_cell(b);
    *c = cell::integer(value);
    return c;
}

Cell* push(int32_t value) { return stack::push(cell::integer(value)); }

int32_t abs_checked(int32_t value) {
    if (value == INT32_MIN) error::raise(ErrorId::math_overflow);
    return value < 0 ? -value : value;
}

bool float_out_of_range_q(const Cell& c) {
    double d = cell::get_float(c);
    return !(d <= 2147483647.0 && d >= -2147483648.0);
}

Decimal format_decimal(int32_t value) {
    Decimal d{};
    d.length = uint8_t(decimal_size(value));
    write_decimal(d.text, value, d.length);
    return d;
}

int32_t math_op(int32_t left, int32_t right, MathOp op, Cell* result) {
    int32_t v = 0;
    switch (op) {
        case MathOp::add:
            if (__builtin_add_overflow(left, right, &v))
                return become_float(result, double(left) + double(right), v);
            break;
        case MathOp::subtract:
            if (__builtin_sub_overflow(left, right, &v))
                return become_float(result, double(left) - double(right), v);
            break;
        case MathOp::multiply:
            if (__builtin_mul_overflow(left, right, &v))
                return become_float(result, double(left) * double(right), v);
            break;
        case MathOp::divide:
            if (right == 0) error::raise(ErrorId::math_zero_divide);
            if (left == INT32_MIN && right == -1) error::raise(ErrorId::math_overflow);
            v = left / right;
            if (result && left % right != 0) return become_float(result, double(left) / double(right), v);
            break;
        case MathOp::remainder:
            if (right == 0) error::raise(ErrorId::math_zero_divide);
            if (left == INT32_MIN && right == -1) error::raise(ErrorId::math_overflow);
            v = left % right;
            break;
        case MathOp::or_: v = left | right; break;
        case MathOp::and_: v = left & right; break;
        case MathOp::xor_: v = left ^ right; break;
        default: runtime::no_switch_matched(KAZ_CALLER_ADDRESS());
    }
    if (result) result->data2 = uint32_t(v);
    return v;
}

namespace {

// A pair or point on the right takes the left place, where its own core runs: the integer
// applies to each coordinate, so a difference is the negated value plus the integer.
void coordinates_right(MathOp op) {
    if (op == MathOp::divide)
        error::raise(ErrorId::script_not_related, words::divide, cell::datatype(TypeId::integer));
    swap_operands();
    Cell& value = stack::base[0];
    if (op == MathOp::subtract) {
        registry::actions(type_of(value)).negate(value);
        op = MathOp::add;
    }
    switch (type_of(value)) {
        case TypeId::pair: pair::do_math(op); return;
        case TypeId::point2d: point2d::do_math(op); return;
        default: point3d::do_math(op); return;
    }
}

}  // namespace

void do_math(MathOp op) {
    Cell& left = stack::base[0];
    const Cell& right = stack::base[1];
    switch (type_of(right)) {
        case TypeId::char_:
        case TypeId::integer: math_op(get(left), get(right), op, &left); return;
        case TypeId::float_:
        case TypeId::percent:
        case TypeId::time: float_::math_core(op); return;
        case TypeId::vector: vector::scalar_math(op); return;
        case TypeId::pair:
        case TypeId::point2d:
        case TypeId::point3d: coordinates_right(op); return;
        case TypeId::tuple: tuple::do_math(op); return;
        case TypeId::date:
            // Days added to a date: the date's core, the date first.
            if (op != MathOp::add)
                error::raise(ErrorId::script_not_related, words::subtract, cell::datatype(TypeId::integer));
            std::swap(left, stack::base[1]);
            date::do_math(op);
            return;
        case TypeId::money: money::do_math(op); return;
        default: error::raise(ErrorId::script_invalid_type, cell::datatype(type_of(right)));
    }
}

int32_t issue_to_integer(std::string_view utf8_name, const Cell& issue) {
    if (utf8_name.size() > 8) error::raise(ErrorId::script_invalid_data, issue);
    uint32_t v = 0;
    for (unsigned char c : utf8_name) {
        int digit = hex_digit(c);
        if (digit < 0) error::raise(ErrorId::script_invalid_data, issue);
        v = v << 4 | uint32_t(digit);
    }
    return int32_t(v);
}

// ---- actions ----

Cell make(const Cell& proto, const Cell& spec, TypeId type) {
    if (is(spec, TypeId::logic)) return cell::integer(spec.data1 ? 1 : 0);
    return to(proto, spec, type);
}

Cell to(const Cell&, const Cell& spec, TypeId) {
    switch (type_of(spec)) {
        case TypeId::integer: return spec;
        case TypeId::char_: return cell::integer(get(spec));
        case TypeId::float_:
        case TypeId::percent: return cell::integer(truncate(cell::get_float(spec)));
        case TypeId::time: return cell::integer(truncate(cell::get_float(spec) + 0.5));
        case TypeId::binary: return cell::integer(from_binary(spec));
        case TypeId::issue: return cell::integer(issue::to_integer(spec));
        case TypeId::string:
        case TypeId::file:
        case TypeId::url:
        case TypeId::tag:
        case TypeId::email:
        case TypeId::ref: {
            Cell text = spec;
            uint32_t count = string::length_from_head(text);
            int32_t failed = 0;
            int32_t v = text_number::string_to_integer(string::head_pointer(text), count,
                                                       memory::buffer_of(text.data2)->unit(), failed);
            if (failed) bad_to_arg(spec);
            return cell::integer(v);
        }
        case TypeId::date: return cell::integer(date::to_integer(spec));
        case TypeId::money: return cell::integer(money::to_integer(spec));
        default: bad_to_arg(spec);
    }
}

int32_t form(const Cell& value, Node string, const Cell*, int32_t limit) {
    return write(string, format_decimal(get(value)).view(), limit);
}

int32_t mold(const Cell& value, Node string, bool, bool, bool, const Cell* part, int32_t limit,
             int32_t) {
    return form(value, string, part, limit);
}

int32_t compare(const Cell& a, const Cell& b, CompareOp op) {
    bool exact = op == CompareOp::strict_equal || op == CompareOp::same || op == CompareOp::find;
    if (exact && !is(b, TypeId::integer)) return 1;
    switch (type_of(b)) {
        case TypeId::char_:
        case TypeId::integer: {
            int32_t x = get(a), y = get(b);
            return x < y ? -1 : x > y ? 1 : 0;
        }
        case TypeId::float_:
        case TypeId::percent:
        case TypeId::time: return float_::compare_doubles(double(get(a)), cell::get_float(b), op);
        case TypeId::money: return money::compare(money::from_integer(get(a)), b, op);
        default: return kNotComparable;
    }
}

void random(Cell& value, bool seed, bool secure, bool) {
    if (seed) {
        kaz::random::seed(uint32_t(get(value)));
        value = cell::unset();
        return;
    }
    value.data2 = uint32_t(kaz::random::int_(secure, get(value)));
}

void absolute() { stack::base[0].data2 = uint32_t(abs_checked(get(stack::base[0]))); }
void add() { do_math(MathOp::add); }
void divide() { do_math(MathOp::divide); }
void multiply() { do_math(MathOp::multiply); }
void remainder() { do_math(MathOp::remainder); }
void subtract() { do_math(MathOp::subtract); }
void and_() { do_math(MathOp::and_); }
void or_() { do_math(MathOp::or_); }
void xor_() { do_math(MathOp::xor_); }

void negate(Cell& value) {
    if (get(value) == INT32_MIN) error::raise(ErrorId::math_overflow);
    value.data2 = uint32_t(-get(value));
}

void power() {
    Cell& base = stack::base[0];
    const Cell& exponent = stack::base[1];
    float_::check_exponent(exponent);
    const int32_t b = get(base);
    if (is(exponent, TypeId::integer) && get(exponent) >= 0) {
        // By squaring; an overflow leaves the integers for the float computation below.
        int32_t result = 1, square = b;
        bool overflow = false;
        for (uint32_t n = uint32_t(get(exponent)); n > 0 && !overflow;) {
            if (n & 1) overflow = __builtin_mul_overflow(result, square, &result);
            n >>= 1;
            if (n > 0 && !overflow) overflow = __builtin_mul_overflow(square, square, &square);
        }
        if (!overflow) {
            base.data2 = uint32_t(result);
            return;
        }
    }
    cell::set_type(base, TypeId::float_);
    cell::put_float(base, double(b));
    float_::power();
}

void round(Cell& value, const Cell* scale, bool even, bool down, bool half_down, bool floor,
           bool ceiling, bool half_ceiling) {
    int64_t s = 1;
    if (scale) {
        if (is(*scale, TypeId::money))
            error::raise(ErrorId::script_not_related, cell::datatype(TypeId::money));
        if (!is(*scale, TypeId::integer)) {
            double v = double(get(value));
            cell::set_type(value, TypeId::float_);
            cell::put_float(value, v);
            float_::round(value, scale, even, down, half_down, floor, ceiling, half_ceiling);
            return;
        }
        s = abs_checked(get(*scale));
    }
    if (s == 0) return;
    // In 64 bits, so that the smallest integer rounds like any other.
    const int32_t v = get(value);
    const bool negative = v < 0;
    const int64_t a = negative ? -int64_t(v) : int64_t(v);
    const int64_t q = a / s, r = a % s;
    if (r == 0) return;
    const int64_t lower = a - r, upper = a + (s - r);
    // Every rule that may pick the upper multiple fails when it lies outside the range,
    // whichever way the sign then takes it.
    auto check_upper = [&] {
        if (upper > INT32_MAX) error::raise(ErrorId::math_overflow);
    };
    int64_t m;  // the signed result
    if (down) {
        m = lower;
    } else if (floor) {
        check_upper();
        m = negative ? upper : lower;
    } else if (ceiling) {
        check_upper();
        m = negative ? lower : upper;
    } else if (r < s - r) {
        m = lower;
    } else if (r > s - r) {
        check_upper();
        m = upper;
    } else if (even) {
        if (q & 1) check_upper();
        m = q & 1 ? upper : lower;
    } else if (half_down) {
        m = lower;
    } else if (half_ceiling) {
        check_upper();
        m = negative ? lower : upper;
    } else {
        check_upper();
        m = upper;
    }
    value.data2 = uint32_t(int32_t(negative ? -m : m));
}

bool even_q(const Cell& value) { return (value.data2 & 1) == 0; }
bool odd_q(const Cell& value) { return (value.data2 & 1) != 0; }

Cell complement(const Cell& value) {
    Cell c = value;
    c.data2 = ~value.data2;
    return c;
}

// ---- registration ----

void init() {
    registry::define(TypeId::integer, {.make = make, .random = random, .to = to, .form = form,
                                       .mold = mold, .compare = compare, .absolute = absolute,
                                       .add = add, .divide = divide, .multiply = multiply,
                                       .negate = negate, .power = power, .remainder = remainder,
                                       .round = round, .subtract = subtract, .even_q = even_q,
                                       .odd_q = odd_q, .and_ = and_, .complement = complement,
                                       .or_ = or_, .xor_ = xor_});
}

}  // namespace kaz::integer
