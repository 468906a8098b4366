// time! — seconds in a double, formed as hours:minutes:seconds.
#include "datatypes/time.h"

#include <charconv>
#include <cmath>
#include <string_view>
#include <utility>

#include "datatypes/block.h"
#include "datatypes/date.h"
#include "datatypes/float.h"
#include "datatypes/hooks.h"
#include "datatypes/integer.h"
#include "datatypes/internal.h"
#include "datatypes/logic.h"
#include "datatypes/object.h"
#include "datatypes/registry.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "runtime/error.h"
#include "runtime/memory.h"
#include "runtime/number.h"
#include "runtime/stack.h"
#include "runtime/text.h"

namespace kaz::time {
namespace {

// ---- helpers ----

Cell of(double seconds) {
    Cell c = cell::make(TypeId::time);
    cell::put_float(c, seconds);
    return c;
}

using text::write;

int32_t to_integer(double d) {
    return number::to_int32(d, ErrorId::script_type_limit, cell::datatype(TypeId::integer));
}

// Whole hours of any size: the exact digits of the double when they do not fit an integer.
int32_t write_hours(Node string, double hours, int32_t limit) {
    if (number::fits_int32(hours))
        return write(string, integer::format_decimal(to_integer(hours)).view(), limit);
    char digits[320];
    auto end = std::to_chars(digits, digits + sizeof digits, hours, std::chars_format::fixed, 0).ptr;
    return write(string, std::string_view(digits, size_t(end - digits)), limit);
}

bool word_q(const Cell& c) {
    TypeId t = type_of(c);
    return t >= TypeId::word && t <= TypeId::refinement;
}

// The time with one field changed. Each field is taken apart as its getter reads it (hours
// truncated, minutes of the magnitude, signed seconds), so that a negative time keeps every
// other field and setting a field to the value it reads changes nothing.
double with_field(double x, int32_t index, const Cell& value) {
    bool integer_q = is(value, TypeId::integer);
    switch (index) {
        case 1:
            if (!integer_q) break;
            return x - (std::trunc(x / kSecondsPerHour) - cell::get_integer(value)) * kSecondsPerHour;
        case 2: {
            if (!integer_q) break;
            double minutes = std::floor(std::fmod(std::fabs(x), kSecondsPerHour) / kSecondsPerMinute);
            double change = (minutes - cell::get_integer(value)) * kSecondsPerMinute;
            return x < 0.0 ? x + change : x - change;
        }
        default: {
            double s;
            if (integer_q) s = cell::get_integer(value);
            else if (is(value, TypeId::float_)) s = cell::get_float(value);
            else break;
            return x - (std::fmod(x, kSecondsPerMinute) - s);
        }
    }
    error::raise(ErrorId::script_invalid_arg, value);
}

// An object that holds the time in a field, and watches its fields, hears of the change.
void notify_owner(const PathStep& step, const Cell& old_value, const Cell& new_value) {
    if (!step.owner || !step.grandparent || !step.previous) return;
    Cell owner = *step.grandparent, field = *step.previous;
    if (is(owner, TypeId::object) && owner.data3 != 0 && word_q(field))
        object::fire_on_change(owner, field, old_value, new_value);
}

// [hours minutes seconds]: 1 to 3 values, none of them negative but the hours, whose sign
// becomes the sign of the whole time.
Cell from_block(const Cell& spec) {
    SeriesBuffer* b = memory::buffer_of(spec.data2);
    uint32_t length = b->length() > spec.data1 ? b->length() - spec.data1 : 0;
    if (length < 1 || length > 3) raise_bad_to_arg(spec);
    const Cell* v = b->cells() + spec.data1;
    double parts[3] = {0.0, 0.0, 0.0};
    for (uint32_t i = 0; i < length; ++i) {
        if (is(v[i], TypeId::integer)) parts[i] = cell::get_integer(v[i]);
        else if (i == 2 && is(v[i], TypeId::float_)) parts[i] = cell::get_float(v[i]);
        else raise_bad_to_arg(spec);
        if (i > 0 && parts[i] < 0.0) raise_bad_to_arg(spec);
    }
    double seconds = std::fabs(parts[0]) * kSecondsPerHour + parts[1] * kSecondsPerMinute + parts[2];
    return of(parts[0] < 0.0 ? -seconds : seconds);
}

// The parity of the whole seconds within the minute (nudged away from zero past
// representation noise): 0 or 1, or NaN, which is neither, for a time that is not finite.
double seconds_parity(const Cell& value) {
    double x = float_::get(value);
    double nudged = x >= 0.0 ? x + kSecondTolerance : x - kSecondTolerance;
    return std::fabs(std::fmod(std::trunc(std::fmod(nudged, kSecondsPerMinute)), 2.0));
}

}  // namespace

Cell* make_in_block(Node block, uint32_t high, uint32_t low) {
    SeriesBuffer* b = memory::buffer_of(block);
    Cell* c = series::reserve_cell(b);
    *c = cell::make(TypeId::time, 0, low, high);
    return c;
}

Cell& init_cell(double seconds, Cell& c) {
    cell::set_type(c, TypeId::time);
    cell::put_float(c, seconds);
    return c;
}

Cell* push(double seconds) { return stack::push(of(seconds)); }

int32_t get_hours(double seconds) { return to_integer(std::trunc(seconds / kSecondsPerHour)); }

int32_t get_minutes(double seconds) {
    return to_integer(std::floor(std::fmod(std::fabs(seconds), kSecondsPerHour) / kSecondsPerMinute));
}

int32_t form_text(double x, Node string, int32_t limit) {
    // Infinities and NaN have no hours to show: they form as floats do.
    if (!std::isfinite(x)) return write(string, float_::format(x, float_::FormatKind::float_).view(), limit);
    if (x < 0.0) {
        limit = write(string, "-", limit);
        x = -x;
    }
    double s = std::fmod(x, kSecondsPerMinute);
    bool whole = s < kSecondTolerance;
    float_::Text seconds{};
    if (!whole) {
        seconds = float_::format(s, float_::FormatKind::time);
        // Seconds that round to 60 carry into the minutes: 59.9999999 seconds is 0:01:00, not
        // 0:00:60. x - s is exact here (x is far below 2^52, s is its exact remainder).
        if (seconds.view() == "60") {
            x = x - s + kSecondsPerMinute;
            whole = true;
        }
    }
    limit = write_hours(string, std::floor(x / kSecondsPerHour), limit);
    limit = write(string, ":", limit);
    int32_t minutes = get_minutes(x);
    if (minutes < 10) limit = write(string, "0", limit);
    limit = write(string, integer::format_decimal(minutes).view(), limit);
    limit = write(string, ":", limit);
    if (whole) return write(string, "00", limit);
    std::string_view digits = seconds.view();
    if (digits.size() == 1 || digits[1] == '.') limit = write(string, "0", limit);
    return write(string, digits, limit);
}

int32_t field_index(const Cell& word, const Cell& value) {
    if (word_q(word)) {
        uint32_t id = symbol::canonical_id(word.data2);
        if (id == symbol::canonical_id(sym::hour)) return 1;
        if (id == symbol::canonical_id(sym::minute)) return 2;
        if (id == symbol::canonical_id(sym::second)) return 3;
    }
    if (is(value, TypeId::time)) error::raise(ErrorId::script_cannot_use, word, value);
    return -1;
}

Cell get_field(const Cell& time, int32_t index) {
    double x = float_::get(time);
    switch (index) {
        case 1: return cell::integer(get_hours(x));
        case 2: return cell::integer(get_minutes(x));
        default: return cell::float_(std::fmod(x, kSecondsPerMinute));
    }
}

void raise_bad_to_arg(const Cell& value) {
    error::raise(ErrorId::script_bad_to_arg, cell::datatype(TypeId::time), value);
}

// ---- actions ----

Cell make(const Cell&, const Cell& spec, TypeId) {
    switch (type_of(spec)) {
        case TypeId::time: return spec;
        case TypeId::block:
        case TypeId::paren:
        case TypeId::hash: return from_block(spec);
        case TypeId::string:
        case TypeId::file:
        case TypeId::url:
        case TypeId::tag:
        case TypeId::email:
        case TypeId::ref: {
            // The text is loaded as source; its first value must be a time.
            if (!datatype_hooks.load_text) error::raise(ErrorId::internal_not_done);
            Cell loaded = datatype_hooks.load_text(spec);
            SeriesBuffer* b = memory::buffer_of(loaded.data2);
            if (loaded.data1 >= b->length() || !is(b->cells()[loaded.data1], TypeId::time)) raise_bad_to_arg(spec);
            return b->cells()[loaded.data1];
        }
        case TypeId::integer: return of(cell::get_integer(spec));
        case TypeId::float_:
        case TypeId::percent: return of(cell::get_float(spec));
        default: raise_bad_to_arg(spec);
    }
}

int32_t form(const Cell& value, Node string, const Cell*, int32_t limit) {
    return form_text(float_::get(value), string, limit);
}

int32_t mold(const Cell& value, Node string, bool, bool, bool, const Cell*, int32_t limit, int32_t) {
    return form_text(float_::get(value), string, limit);
}

Cell eval_path(const Cell& parent, const Cell& element, const Cell* value, const PathStep& step) {
    int32_t index = -1;
    if (is(element, TypeId::integer)) {
        int32_t i = cell::get_integer(element);
        if (i >= 1 && i <= 3) index = i;
    } else {
        index = field_index(element, none::value);
    }
    if (index < 0) error::raise(ErrorId::script_invalid_path, step.path ? *step.path : none::value, element);
    if (!value) return get_field(parent, index);

    // The path walk hands over the cell the time lives in: the change is made there.
    Cell& time = const_cast<Cell&>(parent);
    Cell assigned = *value, old_value = time;
    cell::put_float(time, with_field(float_::get(time), index, assigned));
    notify_owner(step, old_value, time);
    return assigned;
}

void add() {
    if (is(stack::base[1], TypeId::date)) {
        // A time added to a date: the date's core, the date first.
        std::swap(stack::base[0], stack::base[1]);
        date::do_math(MathOp::add);
        return;
    }
    float_::math_core(MathOp::add);
}

void subtract() {
    if (is(stack::base[1], TypeId::date))
        error::raise(ErrorId::script_not_related, words::subtract, cell::datatype(TypeId::time));
    float_::math_core(MathOp::subtract);
}

void multiply() {
    if (is(stack::base[1], TypeId::time))
        error::raise(ErrorId::script_not_related, words::multiply, cell::datatype(TypeId::time));
    float_::math_core(MathOp::multiply);
}

void divide() {
    bool ratio = is(stack::base[1], TypeId::time);
    float_::math_core(MathOp::divide);
    if (ratio) cell::set_type(stack::base[0], TypeId::float_);
}

void round(Cell& value, const Cell* scale, bool even, bool down, bool half_down, bool floor,
           bool ceiling, bool half_ceiling) {
    if (scale && is(*scale, TypeId::money))
        error::raise(ErrorId::script_not_related, cell::datatype(TypeId::money));
    float_::round(value, scale, even, down, half_down, floor, ceiling, half_ceiling);
    if (is(value, TypeId::integer)) cell::put_float(value, cell::get_integer(value));
    cell::set_type(value, TypeId::time);
}

bool even_q(const Cell& value) { return seconds_parity(value) == 0.0; }
bool odd_q(const Cell& value) { return seconds_parity(value) == 1.0; }

Cell pick(const Cell& time, int32_t index, const Cell& index_value) {
    if (word_q(index_value)) return get_field(time, field_index(index_value, time));
    if (index < 1 || index > 3) error::raise(ErrorId::script_out_of_range, index_value);
    return get_field(time, index);
}

// ---- registration ----

void init() {
    registry::define(TypeId::time, {.make = make, .to = make, .form = form, .mold = mold,
                                    .eval_path = eval_path, .add = add, .divide = divide,
                                    .multiply = multiply, .power = lacks, .round = round,
                                    .subtract = subtract, .even_q = even_q, .odd_q = odd_q,
                                    .pick = pick});
}

}  // namespace kaz::time
