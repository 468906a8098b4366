// char! — one Unicode code point, an integer-like scalar.
#include "datatypes/char.h"

#include <cmath>

#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/vector.h"
#include "runtime/error.h"
#include "runtime/number.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"

namespace kaz::char_ {


namespace {

// A number truncated toward zero, which must then be a code point.
uint32_t checked(double value, const Cell& spec) {
    double t = std::trunc(value);
    if (!(t >= 0.0 && t <= double(kMaxCodePoint))) error::raise(ErrorId::script_out_of_range, spec);
    return uint32_t(t);
}

}  // namespace

Cell* make_in_block(Node block, uint32_t cp) {
    SeriesBuffer* b = memory::buffer_of(block);
    Cell* c = series::reserve_cell(b);
    *c = cell_of(cp);
    return c;
}

Cell* push(uint32_t cp) { return stack::push(cell_of(cp)); }

// ---- actions ----

Cell make(const Cell&, const Cell& spec, TypeId) {
    TypeId t = type_of(spec);
    if (string::any_string_q(t)) {
        Cell s = spec;
        if (string::length_from_head(s) == 0)
            error::raise(ErrorId::script_bad_to_arg, cell::datatype(TypeId::char_), spec);
        return cell_of(string::char_at(s, s.data1));
    }
    switch (t) {
        case TypeId::char_:
        case TypeId::integer:
            return cell_of(checked(double(int32_t(spec.data2)), spec));
        case TypeId::float_:
        case TypeId::percent:
            return cell_of(checked(cell::get_float(spec), spec));
        case TypeId::binary: {
            Cell b = spec;
            uint32_t n = string::length_from_head(b);
            if (n == 0) error::raise(ErrorId::script_bad_to_arg, cell::datatype(TypeId::char_), spec);
            SeriesBuffer* buf = memory::buffer_of(b.data2);
            uint32_t used = n;
            int32_t cp = utf8::decode_char_checked(buf->head + b.data1, used);
            if (cp < 0) {
                // A sequence cut by the end of the binary is as undecodable as a bad one.
                Node rest = series::copy_range(b.data2, b.data1, n);
                error::raise(ErrorId::access_invalid_utf8, cell::make(TypeId::binary, 0, rest, 0));
            }
            return cell_of(uint32_t(cp));
        }
        default:
            error::raise(ErrorId::script_bad_to_arg, cell::datatype(TypeId::char_), spec);
    }
}

int32_t form(const Cell& value, Node string, const Cell*, int32_t limit) {
    string::add_code_point(memory::buffer_of(string), value.data2);
    return limit - 1;
}

int32_t mold(const Cell& value, Node string, bool, bool all, bool, const Cell*, int32_t limit, int32_t) {
    string::add_code_point(memory::buffer_of(string), '#');
    string::add_code_point(memory::buffer_of(string), '"');
    uint32_t n = string::mold_char(string, value.data2, all);
    string::add_code_point(memory::buffer_of(string), '"');
    return limit - int32_t(n) - 3;
}

int32_t compare(const Cell& a, const Cell& b, CompareOp op) {
    if ((op == CompareOp::strict_equal || op == CompareOp::find) && !is(b, TypeId::char_)) return 1;
    if (!is(b, TypeId::char_) && !is(b, TypeId::integer)) return kNotComparable;
    auto x = int32_t(a.data2), y = int32_t(b.data2);
    return x < y ? -1 : x > y ? 1 : 0;
}

void math_op(MathOp op) {
    Cell& left = stack::base[0];
    const Cell& right = stack::base[1];
    int32_t r;
    switch (type_of(right)) {
        case TypeId::char_:
        case TypeId::integer:
            r = int32_t(right.data2);
            break;
        case TypeId::float_:
            r = number::to_int32(cell::get_float(right), ErrorId::math_overflow, right);
            break;
        case TypeId::vector:
            vector::scalar_math(op);
            return;
        default:
            error::raise(ErrorId::script_invalid_type, cell::datatype(type_of(right)));
    }
    // Without a result cell a division truncates, as a code point must: #"e" / 2 is #"2".
    Cell result = cell::integer(0);
    int32_t v = integer::math_op(int32_t(left.data2), r, op, op == MathOp::divide ? nullptr : &result);
    // An overflow turned the result into a float!.
    if (!is(result, TypeId::integer) || v < 0 || uint32_t(v) > kMaxCodePoint)
        error::raise(ErrorId::math_overflow);
    left.data2 = uint32_t(v);
}

void add() { math_op(MathOp::add); }
void divide() { math_op(MathOp::divide); }
void multiply() { math_op(MathOp::multiply); }
void remainder() { math_op(MathOp::remainder); }
void subtract() { math_op(MathOp::subtract); }
void and_() { math_op(MathOp::and_); }
void or_() { math_op(MathOp::or_); }
void xor_() { math_op(MathOp::xor_); }

// ---- registration ----

void init() {
    registry::define(TypeId::char_, {.make = make, .to = make, .form = form, .mold = mold,
                                     .compare = compare, .add = add, .divide = divide,
                                     .multiply = multiply, .negate = lacks, .power = lacks,
                                     .remainder = remainder, .round = lacks, .subtract = subtract,
                                     .and_ = and_, .complement = lacks, .or_ = or_, .xor_ = xor_});
}

}  // namespace kaz::char_
