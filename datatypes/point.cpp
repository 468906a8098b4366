// point2D! and point3D! — 32-bit float coordinates in the cell; one set of actions serves both,
// reading the coordinate count from the value's type.
#include "datatypes/point.h"

#include <algorithm>
#include <cmath>
#include <string_view>
#include <utility>

#include "datatypes/cells.h"
#include "datatypes/float.h"
#include "datatypes/internal.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "runtime/error.h"
#include "runtime/hashtable.h"
#include "runtime/memory.h"
#include "runtime/random.h"
#include "runtime/stack.h"
#include "runtime/text.h"

namespace kaz {
namespace {

// ---- helpers ----

using point_cell::coordinate;
using point_cell::set_coordinate;

int count_of(TypeId t) { return t == TypeId::point3d ? 3 : 2; }
int count_of(const Cell& c) { return count_of(type_of(c)); }

Cell point_of(TypeId t, const float (&v)[3]) {
    return t == TypeId::point3d ? point_cell::make3(v[0], v[1], v[2]) : point_cell::make2(v[0], v[1]);
}

// Stops at the limit and subtracts exactly what it wrote.
constexpr auto& write = text::write_within;

// A coordinate's text: the float formatter's point style, with ".0" on a whole number so that
// the text reads as a coordinate, never as an integer (2.0, 1.0e20).
float_::Text coordinate_text(float v) {
    float_::Text t = float_::format(double(v), float_::FormatKind::point);
    std::string_view s = t.view();
    if (s.find('.') != std::string_view::npos) return t;
    size_t at = std::min(s.find('e'), s.size());
    std::copy_backward(t.text + at, t.text + t.length, t.text + t.length + 2);
    t.text[at] = '.';
    t.text[at + 1] = '0';
    t.length = uint8_t(t.length + 2);
    return t;
}

bool word_q(const Cell& c) { return type_of(c) >= TypeId::word && type_of(c) <= TypeId::get_word; }

// 1, 2 or 3 for the words x, y and z in any case, or those integers, when the point has that
// coordinate; 0 for anything else.
int coordinate_of(const Cell& element, int count) {
    int i = 0;
    if (is(element, TypeId::integer)) {
        int32_t n = cell::get_integer(element);
        i = n >= 1 && n <= 3 ? int(n) : 0;
    } else if (word_q(element)) {
        uint32_t id = symbol::canonical_id(element.data2);
        if (id == symbol::canonical_id(sym::x)) i = 1;
        else if (id == symbol::canonical_id(sym::y)) i = 2;
        else if (id == symbol::canonical_id(sym::z)) i = 3;
    }
    return i <= count ? i : 0;
}

// [x y] or [x y z]: the first values must be numbers.
Cell from_block(const Cell& spec, TypeId type) {
    const int n = count_of(type);
    SeriesBuffer* b = memory::buffer_of(spec.data2);
    uint32_t length = b->length();
    uint32_t head = std::min(spec.data1, length);
    if (length - head < uint32_t(n)) error::raise(ErrorId::syntax_malconstruct, spec);
    float v[3] = {0, 0, 0};
    for (int i = 0; i < n; ++i) {
        const Cell& c = b->cells()[head + uint32_t(i)];
        if (is(c, TypeId::integer)) v[i] = float(cell::get_integer(c));
        else if (is(c, TypeId::float_)) v[i] = float(cell::get_float(c));
        else error::raise(ErrorId::syntax_malconstruct, spec);
    }
    return point_of(type, v);
}

// The arithmetic core of both types: each coordinate through the float operation, stored as a
// 32-bit float. A number applies to every coordinate; a pair only meets a point2D!.
void core(MathOp op) {
    Cell& left = stack::base[0];
    const Cell right = stack::base[1];
    const TypeId t = type_of(left), rt = type_of(right);
    const int n = count_of(t);
    double operand[3];
    switch (rt) {
        case TypeId::integer: std::fill_n(operand, 3, double(cell::get_integer(right))); break;
        case TypeId::float_:
        case TypeId::percent: std::fill_n(operand, 3, double(float(cell::get_float(right)))); break;
        case TypeId::pair:
            if (t != TypeId::point2d) error::raise(ErrorId::script_invalid_type, cell::datatype(rt));
            operand[0] = double(float(pair_cell::x(right)));
            operand[1] = double(float(pair_cell::y(right)));
            break;
        default:
            if (rt != t) error::raise(ErrorId::script_invalid_type, cell::datatype(rt));
            for (int i = 0; i < n; ++i) operand[i] = double(coordinate(right, i));
    }
    float result[3] = {0, 0, 0};
    for (int i = 0; i < n; ++i) result[i] = float(float_::do_math(double(coordinate(left, i)), operand[i], op));
    for (int i = 0; i < n; ++i) set_coordinate(left, i, result[i]);
}

}  // namespace

namespace point2d {

Cell* push(float x, float y) { return stack::push(point_cell::make2(x, y)); }

Cell* make_in_block(Node block, float x, float y) {
    SeriesBuffer* b = memory::buffer_of(block);
    Cell* c = series::reserve_cell(b);
    *c = point_cell::make2(x, y);
    return c;
}

void do_math(MathOp op) { core(op); }

}  // namespace point2d

namespace point3d {

Cell* push(float x, float y, float z) { return stack::push(point_cell::make3(x, y, z)); }

Cell* make_in_block(Node block, float x, float y, float z) {
    SeriesBuffer* b = memory::buffer_of(block);
    Cell* c = series::reserve_cell(b);
    *c = point_cell::make3(x, y, z);
    return c;
}

void do_math(MathOp op) { core(op); }

}  // namespace point3d

namespace point {

// ---- actions ----

Cell make(const Cell&, const Cell& spec, TypeId type) {
    const TypeId st = type_of(spec);
    if (st == type) return spec;
    switch (st) {
        case TypeId::integer:
        case TypeId::float_: {
            float v = float(is(spec, TypeId::integer) ? double(cell::get_integer(spec)) : cell::get_float(spec));
            return point_of(type, {v, v, v});
        }
        case TypeId::pair:
            return point_of(type, {float(pair_cell::x(spec)), float(pair_cell::y(spec)), 0.0f});
        case TypeId::point2d:
            if (type != TypeId::point3d) break;
            return point_of(type, {coordinate(spec, 0), coordinate(spec, 1), 0.0f});
        case TypeId::block: return from_block(spec, type);
        case TypeId::string: {
            Cell first = string::scan_first(spec);
            if (!is(first, type)) break;
            cell::clear_new_line(first);
            return first;
        }
        default: break;
    }
    error::raise(ErrorId::script_bad_to_arg, cell::datatype(type), spec);
}

void random(Cell& value, bool seed, bool secure, bool) {
    const int n = count_of(value);
    if (seed) {
        kaz::random::seed(murmur3::hash_bytes(&value.data1, size_t(4 * n)));
        value = cell::unset();
        return;
    }
    for (int i = 0; i < n; ++i) {
        float c = coordinate(value, i);
        if (c != 0.0f) set_coordinate(value, i, float(float_::random_value(double(c), secure)));
    }
}

int32_t form(const Cell& value, Node string, const Cell*, int32_t limit) {
    limit = write(string, "(", limit);
    for (int i = 0; i < count_of(value); ++i) {
        if (i > 0) limit = write(string, ", ", limit);
        limit = write(string, coordinate_text(coordinate(value, i)).view(), limit);
    }
    return write(string, ")", limit);
}

int32_t mold(const Cell& value, Node string, bool, bool, bool, const Cell* part, int32_t limit, int32_t) {
    return form(value, string, part, limit);
}

Cell eval_path(const Cell& parent, const Cell& element, const Cell* value, const PathStep& step) {
    int i = coordinate_of(element, count_of(parent));
    if (!i) error::raise(ErrorId::script_invalid_path, step.path ? *step.path : cell::none(), element);
    if (!value) return cell::float_(double(coordinate(parent, i - 1)));
    float v;
    if (is(*value, TypeId::integer)) v = float(cell::get_integer(*value));
    else if (is(*value, TypeId::float_)) v = float(cell::get_float(*value));
    else error::raise(ErrorId::script_invalid_type, cell::datatype(type_of(*value)));
    // The path walk hands over the cell the point lives in and writes it back to its holder.
    set_coordinate(const_cast<Cell&>(parent), i - 1, v);
    return *value;
}

int32_t compare(const Cell& a, const Cell& b, CompareOp op) {
    const TypeId t = type_of(a);
    Cell other = b;
    if (t == TypeId::point2d && is(b, TypeId::pair))
        other = point_cell::make2(float(pair_cell::x(b)), float(pair_cell::y(b)));
    if (!is(other, t)) return kNotComparable;
    const int n = count_of(t);
    switch (op) {
        case CompareOp::equal:
        case CompareOp::not_equal:
            for (int i = 0; i < n; ++i)
                if (!float_::almost_equal32_q(coordinate(a, i), coordinate(other, i))) return 1;
            return 0;
        case CompareOp::strict_equal:
            for (int i = 0; i < n; ++i)
                if (coordinate(a, i) != coordinate(other, i)) return 1;
            return 0;
        case CompareOp::same:
            return a.data1 == other.data1 && a.data2 == other.data2 && (n == 2 || a.data3 == other.data3) ? 0 : 1;
        default: break;
    }
    // Ordered by the first coordinate whose difference is not almost 0.
    float d = 0.0f;
    for (int i = 0; i < n; ++i) {
        d = coordinate(a, i) - coordinate(other, i);
        if (!float_::almost_equal32_q(d, 0.0f)) break;
    }
    return d > 0.0f ? 1 : d < 0.0f ? -1 : 0;
}

void absolute() {
    Cell& p = stack::base[0];
    for (int i = 0; i < count_of(p); ++i) set_coordinate(p, i, std::fabs(coordinate(p, i)));
}

void negate(Cell& value) {
    // 0.0 - c: the negation of 0.0 is 0.0.
    for (int i = 0; i < count_of(value); ++i) set_coordinate(value, i, 0.0f - coordinate(value, i));
}

void add() { core(MathOp::add); }
void subtract() { core(MathOp::subtract); }
void multiply() { core(MathOp::multiply); }
void divide() { core(MathOp::divide); }
void remainder() { core(MathOp::remainder); }

void round(Cell& value, const Cell* scale, bool even, bool down, bool half_down, bool floor,
           bool ceiling, bool half_ceiling) {
    if (scale && is(*scale, TypeId::money))
        error::raise(ErrorId::script_not_related, word::from_c_string("round"), cell::datatype(TypeId::money));
    const int n = count_of(value);
    float result[3] = {0, 0, 0};
    for (int i = 0; i < n; ++i) {
        // A pair or point scale gives each coordinate its own; any other applies to all.
        Cell own_scale;
        const Cell* s = scale;
        if (scale && is(*scale, TypeId::pair)) {
            if (i > 1) error::raise(ErrorId::script_invalid_arg, *scale);
            own_scale = cell::integer(i == 0 ? pair_cell::x(*scale) : pair_cell::y(*scale));
            s = &own_scale;
        } else if (scale && (is(*scale, TypeId::point2d) || is(*scale, TypeId::point3d))) {
            if (i >= count_of(*scale)) error::raise(ErrorId::script_invalid_arg, *scale);
            own_scale = cell::float_(double(coordinate(*scale, i)));
            s = &own_scale;
        }
        Cell c = cell::float_(double(coordinate(value, i)));
        float_::round(c, s, even, down, half_down, floor, ceiling, half_ceiling);
        result[i] = is(c, TypeId::integer) ? float(cell::get_integer(c)) : float(cell::get_float(c));
    }
    for (int i = 0; i < n; ++i) set_coordinate(value, i, result[i]);
}

Cell pick(const Cell& point, int32_t index, const Cell& index_value) {
    const int n = count_of(point);
    if (word_q(index_value)) {
        int i = coordinate_of(index_value, n);
        if (!i) error::raise(ErrorId::script_cannot_use, index_value, point);
        return cell::float_(double(coordinate(point, i - 1)));
    }
    if (index < 1 || index > n) error::raise(ErrorId::script_out_of_range, index_value);
    return cell::float_(double(coordinate(point, int(index) - 1)));
}

void reverse(Cell& point, const Cell*, const Cell*) {
    // x and the last coordinate change places: y of a point3D! stays.
    std::swap(point.data1, is(point, TypeId::point3d) ? point.data3 : point.data2);
}

// ---- registration ----

void init() {
    const OwnActions actions{.make = make, .random = random, .to = make, .form = form, .mold = mold,
                             .eval_path = eval_path, .compare = compare, .absolute = absolute,
                             .add = add, .divide = divide, .multiply = multiply, .negate = negate,
                             .remainder = remainder, .round = round, .subtract = subtract,
                             .pick = pick, .reverse = reverse};
    registry::define(TypeId::point2d, actions);
    registry::define(TypeId::point3d, actions);
}

}  // namespace point
}  // namespace kaz
