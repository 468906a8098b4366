// vector! — packed numbers: construction, element access, arithmetic, comparison and molds.
#include "datatypes/vector.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "datatypes/block.h"
#include "datatypes/char.h"
#include "datatypes/float.h"
#include "datatypes/internal.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "runtime/error.h"
#include "runtime/gc.h"
#include "runtime/number.h"
#include "runtime/stack.h"
#include "runtime/text.h"

namespace kaz::vector {
namespace {

// ---- helpers ----

// The largest byte count a vector may need: beyond it the size no longer fits 32 bits.
constexpr uint64_t kMaxBytes = 0x7FFF'0000ULL;

bool float_kind_q(TypeId element) { return element == TypeId::float_ || element == TypeId::percent; }
bool element_type_q(TypeId t) {
    return t == TypeId::char_ || t == TypeId::integer || t == TypeId::float_ || t == TypeId::percent;
}

SeriesBuffer* buffer(const Cell& vector) { return memory::buffer_of(vector.data2); }
uint8_t* element_at(SeriesBuffer* b, uint32_t i) { return b->head + size_t(i) * b->unit(); }

void store_int(uint8_t* p, int32_t v, uint32_t width) {
    auto u = uint32_t(v);
    std::memcpy(p, &u, width);  // little-endian: the low bytes
}

void store_float(uint8_t* p, double d, uint32_t width) {
    if (width == 4) {
        auto f = float(d);
        std::memcpy(p, &f, 4);
    } else {
        std::memcpy(p, &d, 8);
    }
}

// An integer or char element as the number arithmetic works on.
int32_t int_element(const uint8_t* p, uint32_t width, TypeId element) {
    return element == TypeId::char_ ? int32_t(get_char(p, width)) : get_int(p, width);
}

// A char element of 4 bytes holds a whole code point: a result outside the code points would
// read back as no character at all, so it raises as char! arithmetic does. Narrower char
// elements keep their low bytes, which are always a code point.
void check_char_result(int32_t r, TypeId element, uint32_t width) {
    if (element == TypeId::char_ && width == 4 && (r < 0 || uint32_t(r) > char_::kMaxCodePoint))
        error::raise(ErrorId::math_overflow);
}

bool block_kind_q(TypeId t) { return t == TypeId::block || t == TypeId::paren || t == TypeId::hash; }

// Stops at the limit and subtracts exactly what it wrote.
constexpr auto& write = text::write_within;

std::string_view element_type_name(TypeId element) {
    switch (element) {
        case TypeId::char_: return "char!";
        case TypeId::integer: return "integer!";
        case TypeId::float_: return "float!";
        default: return "percent!";
    }
}

// The text of one element.
int32_t write_element(const Cell& vector, uint32_t i, Node string, bool mold, bool all, int32_t limit) {
    SeriesBuffer* b = buffer(vector);
    const uint8_t* p = element_at(b, i);
    const uint32_t width = b->unit();
    switch (element_type(vector)) {
        case TypeId::char_: {
            uint32_t cp = get_char(p, width);
            if (!mold) {
                if (limit < 1) return limit;
                string::add_code_point(memory::buffer_of(string), cp);
                return limit - 1;
            }
            limit = write(string, "#\"", limit);
            if (limit < 1) return limit;
            limit -= int32_t(string::mold_char(string, cp, all));
            return write(string, "\"", limit);
        }
        case TypeId::integer: return write(string, integer::format_decimal(get_int(p, width)).view(), limit);
        case TypeId::float_: {
            auto kind = width == 8 ? float_::FormatKind::float_ : float_::FormatKind::float32;
            return write(string, float_::format(get_float(p, width), kind).view(), limit);
        }
        default: {
            auto kind = width == 8 ? float_::FormatKind::percent : float_::FormatKind::percent32;
            return write(string, float_::format(get_float(p, width) * 100.0, kind).view(), limit);
        }
    }
}

// The new elements of append, insert and change, checked and encoded at the vector's width
// before the vector changes, so that a bad value leaves it as it was: one value in place,
// several in a scratch series.
struct NewElements {
    uint32_t count = 0;
    Node scratch = kNoNode;
    alignas(8) uint8_t one[8] = {};
    // Valid until the next allocation.
    const uint8_t* data() const { return scratch ? memory::buffer_of(scratch)->head : one; }
};

void check_value(const Cell& value, TypeId element) {
    if (type_of(value) != element) error::raise(ErrorId::script_invalid_arg, value);
}

// The values of a block kind from its head (at most `limit` of them when limit >= 1), or the
// elements of a vector of the same element type when `from_vector`, or the value itself.
NewElements encode(const Cell& vector, const Cell& value, int32_t limit, bool spread_paths, bool from_vector) {
    const TypeId element = element_type(vector);
    const uint32_t width = width_of(vector);
    const TypeId vt = type_of(value);
    NewElements e;
    bool spread = block_kind_q(vt) || (spread_paths && vt >= TypeId::path && vt <= TypeId::get_path);
    if (spread) {
        Cell source = value;
        uint32_t n = series_::length_from_head(source);
        if (limit >= 1) n = std::min(n, uint32_t(limit));
        for (uint32_t i = 0; i < n; ++i) check_value(*block::cell_at(source, source.data1 + i), element);
        if (n == 0) return e;
        e.scratch = series::alloc(n, width, 0);
        SeriesBuffer* to = memory::buffer_of(e.scratch);
        for (uint32_t i = 0; i < n; ++i) set_element(element_at(to, i), *block::cell_at(source, source.data1 + i), width);
        to->tail = to->head + size_t(n) * width;
        e.count = n;
        return e;
    }
    if (from_vector && vt == TypeId::vector) {
        if (element_type(value) != element) error::raise(ErrorId::script_invalid_arg, value);
        Cell source = value;
        uint32_t n = length_from_head(source);
        if (n == 0) return e;
        e.scratch = series::alloc(n, width, 0);
        SeriesBuffer* from = buffer(source);
        SeriesBuffer* to = memory::buffer_of(e.scratch);
        const uint32_t source_width = from->unit();
        for (uint32_t i = 0; i < n; ++i) {
            const uint8_t* p = element_at(from, source.data1 + i);
            if (float_kind_q(element)) store_float(element_at(to, i), get_float(p, source_width), width);
            else store_int(element_at(to, i), int_element(p, source_width, element), width);
        }
        to->tail = to->head + size_t(n) * width;
        e.count = n;
        return e;
    }
    check_value(value, element);
    set_element(e.one, value, width);
    e.count = 1;
    return e;
}

// count x dup elements of `width` bytes, when that fits.
uint32_t total_elements(uint32_t count, int32_t dup, uint32_t width) {
    uint64_t total = uint64_t(count) * uint64_t(dup);
    if (total * width > kMaxBytes) error::raise(ErrorId::internal_no_memory);
    return uint32_t(total);
}

// Writes the new elements at element index `at`, repeated `dup` times.
void put_elements(const Cell& vector, uint32_t at, const NewElements& e, int32_t dup) {
    SeriesBuffer* b = buffer(vector);
    const size_t run = size_t(e.count) * b->unit();
    uint8_t* p = element_at(b, at);
    std::memcpy(p, e.data(), run);
    if (dup > 1) memory::replicate(p, run, size_t(dup));
}

[[noreturn]] void bad_make_arg(const Cell& spec) {
    error::raise(ErrorId::script_bad_make_arg, cell::datatype(TypeId::vector), spec);
}

bool notify(const Cell& vector, const Cell& action, const Cell* value, uint32_t index, uint32_t count) {
    return series_::notify(vector, action, value, int32_t(index), int32_t(count));
}

}  // namespace

// ---- helpers ----

uint32_t length_from_head(Cell& vector) { return series_::length_from_head(vector); }

void clear_from_head(Cell& vector) {
    uint32_t h = series_::clamp_head(vector);
    SeriesBuffer* b = buffer(vector);
    b->tail = element_at(b, h);
}

Cell& init_cell(Cell& c, uint32_t count, TypeId element, uint32_t width) {
    if (uint64_t(count) * width > kMaxBytes) error::raise(ErrorId::internal_no_memory);
    Node n = series::alloc(std::max<uint32_t>(count, 1), width, 0);
    c = cell::make(TypeId::vector, 0, n, uint32_t(element));
    return c;
}

void append_int32(const Cell& vector, int32_t value) {
    SeriesBuffer* b = buffer(vector);
    uint32_t width = b->unit();
    store_int(series::reserve_bytes(b, width), value, width);
}

int32_t get_int(const uint8_t* p, uint32_t width) {
    switch (width) {
        case 1: return int8_t(*p);
        case 2: {
            int16_t v;
            std::memcpy(&v, p, 2);
            return v;
        }
        default: {
            int32_t v;
            std::memcpy(&v, p, 4);
            return v;
        }
    }
}

uint32_t get_char(const uint8_t* p, uint32_t width) { return string::get_char(p, width); }

double get_float(const uint8_t* p, uint32_t width) {
    if (width == 4) {
        float f;
        std::memcpy(&f, p, 4);
        return f;
    }
    double d;
    std::memcpy(&d, p, 8);
    return d;
}

Cell element_to_cell(const Cell& vector, const uint8_t* p) {
    const uint32_t width = width_of(vector);
    switch (const TypeId element = element_type(vector)) {
        case TypeId::char_: return char_::cell_of(get_char(p, width));
        case TypeId::integer: return cell::integer(get_int(p, width));
        default: {
            Cell c = cell::float_(get_float(p, width));
            return cell::set_type(c, element);
        }
    }
}

void set_element(uint8_t* p, const Cell& value, uint32_t width) {
    switch (type_of(value)) {
        case TypeId::char_:
        case TypeId::integer: store_int(p, int32_t(value.data2), width); return;
        case TypeId::float_:
        case TypeId::percent: store_float(p, cell::get_float(value), width); return;
        default: error::raise(ErrorId::script_invalid_type, cell::datatype(type_of(value)));
    }
}

void append_value(const Cell& vector, const Cell& value) {
    check_value(value, element_type(vector));
    SeriesBuffer* b = buffer(vector);
    uint32_t width = b->unit();
    set_element(series::reserve_bytes(b, width), value, width);
}

void append_values(const Cell& vector, const Cell& block) {
    Cell source = block;
    uint32_t n = series_::length_from_head(source);
    for (uint32_t i = 0; i < n; ++i) {
        Cell value = *block::cell_at(source, source.data1 + i);
        append_value(vector, value);
    }
}

Cell to_block(const Cell& vector) {
    Cell v = vector;
    uint32_t n = length_from_head(v);
    Cell b;
    block::init_cell(b, int32_t(n));
    for (uint32_t i = 0; i < n; ++i) {
        Cell element = element_to_cell(v, element_at(buffer(v), v.data1 + i));
        block::append_cell(b, element);
    }
    return b;
}

int32_t int_op(int32_t a, int32_t b, MathOp op) {
    // Without a result cell integer! division truncates instead of turning to float!.
    Cell scratch = cell::integer(0);
    int32_t r = integer::math_op(a, b, op, op == MathOp::divide ? nullptr : &scratch);
    if (is(scratch, TypeId::integer)) return r;
    switch (op) {
        case MathOp::add: return int32_t(uint32_t(a) + uint32_t(b));
        case MathOp::subtract: return int32_t(uint32_t(a) - uint32_t(b));
        case MathOp::multiply: return int32_t(uint32_t(a) * uint32_t(b));
        default: return r;
    }
}

void math_scalar(MathOp op, Cell& vector, const Cell& scalar) {
    const TypeId st = type_of(scalar);
    if (st != TypeId::integer && st != TypeId::float_ && st != TypeId::percent)
        error::raise(ErrorId::internal_not_done);
    const TypeId element = element_type(vector);
    const uint32_t n = length_from_head(vector);
    const uint32_t h = vector.data1;
    const uint32_t width = width_of(vector);
    // x + 0, x - 0, x * 1 and x / 1 change nothing.
    auto identity = [&](bool zero, bool one) {
        return (zero && (op == MathOp::add || op == MathOp::subtract)) ||
               (one && (op == MathOp::multiply || op == MathOp::divide));
    };

    if (float_kind_q(element)) {
        const double s = st == TypeId::integer ? double(cell::get_integer(scalar)) : cell::get_float(scalar);
        if (identity(s == 0.0, s == 1.0)) return;
        for (uint32_t i = 0; i < n; ++i) {
            uint8_t* p = element_at(buffer(vector), h + i);
            double x = get_float(p, width);
            store_float(p, float_::do_math(x, s, op), width);
        }
        return;
    }

    const int32_t s = st == TypeId::integer
                          ? cell::get_integer(scalar)
                          : number::to_int32(cell::get_float(scalar), ErrorId::math_overflow, scalar);
    if (identity(s == 0, s == 1)) return;
    auto result = [&](uint32_t i) {
        int32_t x = int_element(element_at(buffer(vector), h + i), width, element);
        int32_t r = int_op(x, s, op);
        check_char_result(r, element, width);
        return r;
    };
    // Where an element can still raise, every element is tried before any changes, so that an
    // error leaves the vector as it was.
    if (op == MathOp::divide || op == MathOp::remainder || (element == TypeId::char_ && width == 4))
        for (uint32_t i = 0; i < n; ++i) result(i);
    for (uint32_t i = 0; i < n; ++i) {
        int32_t r = result(i);
        store_int(element_at(buffer(vector), h + i), r, width);
    }
}

void do_math(MathOp op) {
    Cell& left = stack::base[0];
    const Cell& right = stack::base[1];
    if (!is(right, TypeId::vector)) {
        math_scalar(op, left, right);
        return;
    }
    const TypeId element = element_type(left);
    if (element_type(right) != element) error::raise(ErrorId::script_not_same_type);
    Cell a = left, b = right;
    const uint32_t n = std::min(length_from_head(a), length_from_head(b));
    const uint32_t wa = width_of(a), wb = width_of(b), width = std::max(wa, wb);
    Cell out;
    init_cell(out, n, element, width);
    SeriesBuffer* o = buffer(out);
    SeriesBuffer* x = buffer(a);
    SeriesBuffer* y = buffer(b);
    for (uint32_t i = 0; i < n; ++i) {
        const uint8_t* p = element_at(x, a.data1 + i);
        const uint8_t* q = element_at(y, b.data1 + i);
        if (float_kind_q(element)) {
            store_float(element_at(o, i), float_::do_math(get_float(p, wa), get_float(q, wb), op), width);
        } else {
            int32_t r = int_op(int_element(p, wa, element), int_element(q, wb, element), op);
            check_char_result(r, element, width);
            store_int(element_at(o, i), r, width);
        }
    }
    o->tail = o->head + size_t(n) * width;
    left = out;
}

void scalar_math(MathOp op) {
    const Cell scalar = stack::base[0];
    Cell& vector = stack::base[1];
    math_scalar(op, vector, scalar);
    stack::base[0] = vector;
}

int32_t mold_core(const Cell& vector, Node string, bool mold, bool all, int32_t limit) {
    Cell v = vector;
    const uint32_t n = length_from_head(v);
    for (uint32_t i = 0; i < n && limit >= 1; ++i) {
        if (i > 0) {
            limit = write(string, " ", limit);
            if (limit < 1) break;
        }
        limit = write_element(v, v.data1 + i, string, mold, all, limit);
    }
    return limit;
}

// ---- actions ----

Cell make(const Cell&, const Cell& spec, TypeId) {
    Cell v;
    switch (type_of(spec)) {
        case TypeId::integer:
        case TypeId::float_: {
            int32_t n = is(spec, TypeId::integer)
                            ? cell::get_integer(spec)
                            : number::to_int32(cell::get_float(spec), ErrorId::script_out_of_range, spec);
            uint32_t count = uint32_t(std::max(n, 0));
            init_cell(v, count, TypeId::integer, 4);
            SeriesBuffer* b = buffer(v);
            std::memset(b->head, 0, size_t(count) * 4);
            b->tail = b->head + size_t(count) * 4;
            return v;
        }
        case TypeId::block: break;
        default: error::raise(ErrorId::internal_not_done);
    }

    Cell s = spec;
    const uint32_t length = series_::length_from_head(s);
    if (length == 0) return init_cell(v, 1, TypeId::integer, 4);
    auto at = [&](uint32_t i) { return *block::cell_at(s, s.data1 + i); };
    const Cell first = at(0);
    if (!is(first, TypeId::word)) {
        const TypeId element = type_of(first);
        if (!element_type_q(element)) error::raise(ErrorId::script_invalid_type, cell::datatype(element));
        init_cell(v, length, element, default_width(element));
        append_values(v, s);
        return v;
    }

    // [type width count-or-values values]
    if (length < 2) bad_make_arg(spec);
    TypeId element;
    const uint32_t name = symbol::canonical_id(first.data2);
    if (name == sym::integer_type) element = TypeId::integer;
    else if (name == sym::char_type) element = TypeId::char_;
    else if (name == sym::float_type) element = TypeId::float_;
    else if (name == sym::percent_type) element = TypeId::percent;
    else bad_make_arg(spec);

    uint32_t i = 1;
    uint32_t width = default_width(element);
    if (is(at(i), TypeId::integer)) {
        const int32_t bits = cell::get_integer(at(i++));
        switch (element) {
            case TypeId::float_:
                if (bits != 32 && bits != 64) bad_make_arg(spec);
                width = uint32_t(bits / 8);
                break;
            case TypeId::percent: break;  // always 64 bits
            default:
                if (bits != 8 && bits != 16 && bits != 32) bad_make_arg(spec);
                width = uint32_t(bits / 8);
                break;
        }
    } else if (element != TypeId::percent) {
        error::raise(ErrorId::script_invalid_spec_field, spec);
    }

    int32_t count = 0;
    Cell values = cell::none();
    if (i < length && is(at(i), TypeId::integer)) {
        count = std::max(cell::get_integer(at(i++)), 0);
        if (i < length && is(at(i), TypeId::block)) values = at(i);
    } else if (i < length && is(at(i), TypeId::block)) {
        values = at(i);
    } else {
        error::raise(ErrorId::script_invalid_spec_field, spec);
    }

    uint32_t given = is(values, TypeId::block) ? series_::length_from_head(values) : 0;
    init_cell(v, std::max(uint32_t(count), given), element, width);
    if (given) append_values(v, values);
    if (uint32_t(count) > given) {
        SeriesBuffer* b = buffer(v);
        size_t zeros = size_t(uint32_t(count) - given) * width;
        std::memset(b->tail, 0, zeros);
        b->tail += zeros;
    }
    return v;
}

int32_t form(const Cell& value, Node string, const Cell*, int32_t limit) {
    return mold_core(value, string, false, false, limit);
}

// "make vector! [1 2 3]" for elements of the default width; otherwise, and when empty, the
// type form "make vector! [integer! 16 [1 2 3]]". /only leaves out the outer frame.
int32_t mold(const Cell& value, Node string, bool only, bool all, bool, const Cell*, int32_t limit,
             int32_t) {
    Cell v = value;
    const TypeId element = element_type(v);
    const uint32_t width = width_of(v);
    if (!only) limit = write(string, "make vector! [", limit);
    if (length_from_head(v) > 0 && width == default_width(element)) {
        limit = mold_core(v, string, true, all, limit);
        return only ? limit : write(string, "]", limit);
    }
    limit = write(string, element_type_name(element), limit);
    limit = write(string, " ", limit);
    limit = write(string, integer::format_decimal(int32_t(width * 8)).view(), limit);
    limit = write(string, " [", limit);
    limit = mold_core(v, string, true, all, limit);
    return write(string, only ? "]" : "]]", limit);
}

int32_t compare(const Cell& a, const Cell& b, CompareOp op) {
    if (!is(b, TypeId::vector)) return kNotComparable;
    const TypeId element = element_type(a);
    if (element_type(b) != element) error::raise(ErrorId::script_not_same_type);
    Cell x = a, y = b;
    const uint32_t nx = length_from_head(x), ny = length_from_head(y);
    const bool equality = op == CompareOp::equal || op == CompareOp::not_equal ||
                          op == CompareOp::strict_equal || op == CompareOp::find;
    if (x.data2 == y.data2 && x.data1 == y.data1) {
        if (op == CompareOp::same || equality) return 0;
    } else if (op == CompareOp::same) {
        return -1;
    }
    if (equality && nx != ny) return 1;
    const uint32_t wx = width_of(x), wy = width_of(y);
    const SeriesBuffer* bx = buffer(x);
    const SeriesBuffer* by = buffer(y);
    for (uint32_t i = 0, n = std::min(nx, ny); i < n; ++i) {
        const uint8_t* p = bx->head + size_t(x.data1 + i) * wx;
        const uint8_t* q = by->head + size_t(y.data1 + i) * wy;
        if (float_kind_q(element)) {
            double l = get_float(p, wx), r = get_float(q, wy);
            if (float_::nan_q(l) || float_::nan_q(r)) return 0;
            if (l != r) return l > r ? 1 : -1;
        } else {
            int32_t l = int_element(p, wx, element), r = int_element(q, wy, element);
            if (l != r) return l > r ? 1 : -1;
        }
    }
    return nx == ny ? 0 : nx < ny ? -1 : 1;
}

void add() { do_math(MathOp::add); }
void divide() { do_math(MathOp::divide); }
void multiply() { do_math(MathOp::multiply); }
void remainder() { do_math(MathOp::remainder); }
void subtract() { do_math(MathOp::subtract); }
void and_() { do_math(MathOp::and_); }
void or_() { do_math(MathOp::or_); }
void xor_() { do_math(MathOp::xor_); }

// append writes at the tail and returns the vector at its head; insert writes at the head and
// returns the vector just past what it inserted. A block's values are always spliced.
Cell append(const Cell& series, const Cell& value, int32_t part, bool, int32_t dup, bool append) {
    Cell v = series;
    uint32_t h = series_::clamp_head(v);
    if (dup < 1) return v;
    const NewElements e = encode(v, value, part, false, false);
    if (e.count == 0) return v;
    const uint32_t total = total_elements(e.count, dup, width_of(v));
    uint32_t at = append ? series_::total_length(v) : h;
    if (notify(v, append ? words::append : gwords::insert, &value, at, total)) {
        h = series_::clamp_head(v);
        at = append ? series_::total_length(v) : h;
    }
    series_::open_gap(v, at, total);
    put_elements(v, at, e, dup);
    notify(v, append ? words::appended : words::inserted, &value, at, total);
    if (!append) v.data1 = h + total;
    return v;
}

// Replaces the /part count of elements at the head (without /part, as many as are written) by
// the new ones; returns the vector just past them.
Cell change(const Cell& series, const Cell& value, int32_t part, bool, int32_t dup, bool) {
    Cell v = series;
    uint32_t h = series_::clamp_head(v);
    if (dup < 1) return v;
    const NewElements e = encode(v, value, -1, true, true);
    const uint32_t total = total_elements(e.count, dup, width_of(v));
    uint32_t replaced = 0;
    // The elements replaced, measured again after the owner's handler.
    auto measure = [&] {
        h = series_::clamp_head(v);
        replaced = std::min(part >= 0 ? uint32_t(part) : total, series_::total_length(v) - h);
    };
    measure();
    if (notify(v, words::change, &value, h, replaced)) measure();
    if (total > replaced) series_::open_gap(v, h + replaced, total - replaced);
    else if (total < replaced) series_::remove_units(v, h + total, replaced - total);
    if (total) put_elements(v, h, e, dup);
    notify(v, words::changed, &value, h, total);
    v.data1 = h + total;
    return v;
}

// ---- registration ----

void init() {
    gc::define_refs(TypeId::vector, {.data2 = gc::Ref::series});
    registry::define(TypeId::vector, {.make = make, .to = lacks, .form = form, .mold = mold,
                                      .compare = compare, .add = add, .divide = divide,
                                      .multiply = multiply, .remainder = remainder,
                                      .subtract = subtract, .and_ = and_, .or_ = or_, .xor_ = xor_,
                                      .append = append, .change = change, .insert = append,
                                      .swap = lacks, .trim = lacks});
    // A char! meeting a vector hands the operation over.
}

}  // namespace kaz::vector
