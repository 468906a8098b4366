// pair! — two 32-bit integers in the cell; what the integers cannot hold goes to point2D!.
#include "datatypes/pair.h"

#include <algorithm>
#include <cmath>
#include <string_view>
#include <utility>

#include "datatypes/cells.h"
#include "datatypes/float.h"
#include "datatypes/internal.h"
#include "datatypes/point.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "runtime/error.h"
#include "runtime/memory.h"
#include "runtime/number.h"
#include "runtime/random.h"
#include "runtime/stack.h"
#include "runtime/text.h"

namespace kaz::pair {
namespace {

// ---- helpers ----

using pair_cell::x;
using pair_cell::y;

// Appends ASCII text within the limit; returns the limit less what was written.
// Stops at the limit and subtracts exactly what it wrote.
constexpr auto& write = text::write_within;

bool word_q(const Cell& c) { return type_of(c) >= TypeId::word && type_of(c) <= TypeId::get_word; }

// 1 for x, 2 for y, 0 for anything else: the word x or y in any case, or the integer 1 or 2.
int32_t coordinate_of(const Cell& element) {
    if (is(element, TypeId::integer)) {
        int32_t i = cell::get_integer(element);
        return i == 1 || i == 2 ? i : 0;
    }
    if (word_q(element)) {
        uint32_t id = symbol::canonical_id(element.data2);
        if (id == symbol::canonical_id(sym::x)) return 1;
        if (id == symbol::canonical_id(sym::y)) return 2;
    }
    return 0;
}

int32_t get(const Cell& pair, int32_t coordinate) { return coordinate == 1 ? x(pair) : y(pair); }

// Makes `c` a point2D! of (px, py), its flags kept.
void become_point(Cell& c, float px, float py) {
    cell::set_type(c, TypeId::point2d);
    c.data1 = point_cell::put(px);
    c.data2 = point_cell::put(py);
    c.data3 = 0;
}

// The pair in argument 1 gives way to a point2D! computed by point2D!'s core: the pair gets
// back its coordinates and the operand (ox, oy) becomes a point too.
void redo_as_points(MathOp op, int32_t ox, int32_t oy) {
    to_point2D(0);
    stack::base[1] = point_cell::make2(float(ox), float(oy));
    point2d::do_math(op);
}

// The block form [x y ...]: two numbers first, floats truncated toward zero.
Cell from_block(const Cell& spec) {
    SeriesBuffer* b = memory::buffer_of(spec.data2);
    uint32_t length = b->length();
    uint32_t head = std::min(spec.data1, length);
    if (length - head < 2) error::raise(ErrorId::syntax_malconstruct, spec);
    int32_t v[2];
    for (uint32_t i = 0; i < 2; ++i) {
        const Cell& c = b->cells()[head + i];
        if (is(c, TypeId::integer)) v[i] = cell::get_integer(c);
        else if (is(c, TypeId::float_)) v[i] = number::to_int32(cell::get_float(c), ErrorId::syntax_malconstruct, spec);
        else error::raise(ErrorId::syntax_malconstruct, spec);
    }
    return pair_cell::make(v[0], v[1]);
}

}  // namespace

Cell* push(int32_t px, int32_t py) { return stack::push(pair_cell::make(px, py)); }

Cell* make_in_block(Node block, int32_t px, int32_t py) {
    SeriesBuffer* b = memory::buffer_of(block);
    Cell* c = series::reserve_cell(b);
    *c = pair_cell::make(px, py);
    return c;
}

void to_point2D(uint32_t index) {
    Cell& c = stack::base[index];
    become_point(c, float(x(c)), float(y(c)));
}

void do_math(MathOp op) {
    Cell& left = stack::base[0];
    const Cell right = stack::base[1];
    int32_t ox, oy;
    switch (type_of(right)) {
        case TypeId::integer: ox = oy = cell::get_integer(right); break;
        case TypeId::pair: ox = x(right); oy = y(right); break;
        case TypeId::float_:
        case TypeId::percent: {
            const double f = cell::get_float(right);
            if (op == MathOp::multiply || op == MathOp::divide) {
                // A factor scales into a point, whole or not; an infinite divisor is allowed.
                if (op == MathOp::multiply ? !std::isfinite(f) : std::isnan(f))
                    error::raise(ErrorId::script_invalid_arg, right);
                const double lx = x(left), ly = y(left);
                if (op == MathOp::multiply) become_point(left, float(lx * f), float(ly * f));
                else become_point(left, float(lx / f), float(ly / f));
                return;
            }
            ox = oy = number::to_int32(f, ErrorId::script_invalid_arg, right);
            break;
        }
        case TypeId::point2d:
            to_point2D(0);
            point2d::do_math(op);
            return;
        default: error::raise(ErrorId::script_invalid_type, cell::datatype(type_of(right)));
    }
    // Each coordinate through the integer operation; one that leaves the integers (an overflow,
    // a division with a remainder) turns the whole operation into point arithmetic.
    Cell rx = cell::integer(0), ry = cell::integer(0);
    int32_t vx = integer::math_op(x(left), ox, op, &rx);
    int32_t vy = integer::math_op(y(left), oy, op, &ry);
    if (!is(rx, TypeId::integer) || !is(ry, TypeId::integer)) return redo_as_points(op, ox, oy);
    pair_cell::set_x(left, vx);
    pair_cell::set_y(left, vy);
}

// ---- actions ----

Cell make(const Cell&, const Cell& spec, TypeId) {
    switch (type_of(spec)) {
        case TypeId::pair: return spec;
        case TypeId::integer: return pair_cell::make(cell::get_integer(spec), cell::get_integer(spec));
        case TypeId::float_: {
            int32_t n = number::to_int32(cell::get_float(spec), ErrorId::script_invalid_arg, spec);
            return pair_cell::make(n, n);
        }
        case TypeId::block: return from_block(spec);
        case TypeId::string: {
            Cell first = string::scan_first(spec);
            if (!is(first, TypeId::pair)) error::raise(ErrorId::script_bad_to_arg, cell::datatype(TypeId::pair), spec);
            cell::clear_new_line(first);
            return first;
        }
        case TypeId::point2d: {
            float fx = point_cell::coordinate(spec, 0), fy = point_cell::coordinate(spec, 1);
            return pair_cell::make(number::to_int32(fx, ErrorId::script_invalid_arg, spec),
                                   number::to_int32(fy, ErrorId::script_invalid_arg, spec));
        }
        default: error::raise(ErrorId::script_bad_to_arg, cell::datatype(TypeId::pair), spec);
    }
}

void random(Cell& value, bool seed, bool secure, bool) {
    if (seed) {
        kaz::random::seed(uint32_t(x(value)) ^ uint32_t(y(value)));
        value = cell::unset();
        return;
    }
    // random::int_ leaves a zero coordinate at 0 without drawing.
    pair_cell::set_x(value, kaz::random::int_(secure, x(value)));
    pair_cell::set_y(value, kaz::random::int_(secure, y(value)));
}

int32_t form(const Cell& value, Node string, const Cell*, int32_t limit) {
    limit = write(string, integer::format_decimal(x(value)).view(), limit);
    limit = write(string, "x", limit);
    return write(string, integer::format_decimal(y(value)).view(), limit);
}

int32_t mold(const Cell& value, Node string, bool, bool, bool, const Cell* part, int32_t limit, int32_t) {
    return form(value, string, part, limit);
}

Cell eval_path(const Cell& parent, const Cell& element, const Cell* value, const PathStep& step) {
    int32_t coordinate = coordinate_of(element);
    if (!coordinate) error::raise(ErrorId::script_invalid_path, step.path ? *step.path : cell::none(), element);
    if (!value) return cell::integer(get(parent, coordinate));
    if (!is(*value, TypeId::integer)) error::raise(ErrorId::script_invalid_type, cell::datatype(type_of(*value)));
    // The path walk hands over the cell the pair lives in; it writes the changed pair back to
    // its holder, which notifies as any set does.
    Cell& pair = const_cast<Cell&>(parent);
    if (coordinate == 1) pair_cell::set_x(pair, cell::get_integer(*value));
    else pair_cell::set_y(pair, cell::get_integer(*value));
    return *value;
}

int32_t compare(const Cell& a, const Cell& b, CompareOp op) {
    if (is(b, TypeId::point2d)) {
        Cell point = point_cell::make2(float(x(a)), float(y(a)));
        return point::compare(point, b, op);
    }
    if (!is(b, TypeId::pair)) return kNotComparable;
    // x decides, then y, by their signed order, whatever the operation.
    int32_t ax = x(a), bx = x(b);
    if (ax != bx) return ax < bx ? -1 : 1;
    int32_t ay = y(a), by = y(b);
    return ay < by ? -1 : ay > by ? 1 : 0;
}

void absolute() {
    Cell& p = stack::base[0];
    pair_cell::set_x(p, integer::abs_checked(x(p)));
    pair_cell::set_y(p, integer::abs_checked(y(p)));
}

void negate(Cell& value) {
    // Two's complement: the smallest integer stays itself.
    pair_cell::set_x(value, int32_t(0u - uint32_t(x(value))));
    pair_cell::set_y(value, int32_t(0u - uint32_t(y(value))));
}

void add() { do_math(MathOp::add); }
void subtract() { do_math(MathOp::subtract); }
void multiply() { do_math(MathOp::multiply); }
void divide() { do_math(MathOp::divide); }
void remainder() { do_math(MathOp::remainder); }
void or_() { do_math(MathOp::or_); }
void and_() { do_math(MathOp::and_); }
void xor_() { do_math(MathOp::xor_); }

void round(Cell& value, const Cell* scale, bool even, bool down, bool half_down, bool floor,
           bool ceiling, bool half_ceiling) {
    if (scale && is(*scale, TypeId::money))
        error::raise(ErrorId::script_not_related, word::from_c_string("round"), cell::datatype(TypeId::money));
    int32_t result[2];
    for (int32_t i = 1; i <= 2; ++i) {
        // A pair or point scale gives each coordinate its own; any other applies to both.
        Cell own_scale;
        const Cell* s = scale;
        if (scale && is(*scale, TypeId::pair)) {
            own_scale = cell::integer(get(*scale, i));
            s = &own_scale;
        } else if (scale && (is(*scale, TypeId::point2d) || is(*scale, TypeId::point3d))) {
            own_scale = cell::float_(point_cell::coordinate(*scale, i - 1));
            s = &own_scale;
        }
        Cell c = cell::integer(get(value, i));
        integer::round(c, s, even, down, half_down, floor, ceiling, half_ceiling);
        result[i - 1] = is(c, TypeId::integer) ? cell::get_integer(c)
                                               : number::to_int32(cell::get_float(c), ErrorId::math_overflow);
    }
    pair_cell::set_x(value, result[0]);
    pair_cell::set_y(value, result[1]);
}

Cell pick(const Cell& pair, int32_t index, const Cell& index_value) {
    if (word_q(index_value)) {
        int32_t coordinate = coordinate_of(index_value);
        if (!coordinate) error::raise(ErrorId::script_cannot_use, index_value, pair);
        return cell::integer(get(pair, coordinate));
    }
    if (index != 1 && index != 2) error::raise(ErrorId::script_out_of_range, index_value);
    return cell::integer(get(pair, index));
}

void reverse(Cell& pair, const Cell*, const Cell*) { std::swap(pair.data2, pair.data3); }

// ---- registration ----

void init() {
    registry::define(TypeId::pair, {.make = make, .random = random, .to = make, .form = form,
                                    .mold = mold, .eval_path = eval_path, .compare = compare,
                                    .absolute = absolute, .add = add, .divide = divide,
                                    .multiply = multiply, .negate = negate, .remainder = remainder,
                                    .round = round, .subtract = subtract, .and_ = and_, .or_ = or_,
                                    .xor_ = xor_, .pick = pick, .reverse = reverse});
}

}  // namespace kaz::pair
