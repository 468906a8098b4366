// The comparison natives: equality and order, identity, type, sign, zero, max and min.
#include "evaluator/natives_compare.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "datatypes/bitset.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/file.h"
#include "datatypes/function.h"
#include "datatypes/internal.h"
#include "datatypes/issue.h"
#include "datatypes/map.h"
#include "datatypes/money.h"
#include "datatypes/object.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/typeset.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/interp.h"
#include "evaluator/natives.h"
#include "evaluator/natives_frame.h"
#include "platform/os.h"
#include "runtime/case_fold.h"
#include "runtime/console.h"
#include "runtime/error.h"
#include "runtime/hashtable.h"
#include "runtime/heap.h"
#include "runtime/memory.h"
#include "runtime/number.h"
#include "runtime/resource.h"
#include "runtime/stack.h"
#include "runtime/text.h"
#include "runtime/throw.h"
#include "runtime/unicode.h"

namespace kaz::natives {

namespace compare {

// ---- comparison ----

template <CompareOp Op>
void comparison(const int32_t*) {
    actions::compare_to_logic(Op);
}

bool series_cell_q(TypeId t) { return series_::series_type_q(t); }

uint32_t tuple_length(const Cell& c) { return (c.header >> 19) & 0xF; }

bool same_q(const Cell& a, const Cell& b) {
    TypeId t = type_of(a);
    if (t != type_of(b)) return false;
    if (series_cell_q(t)) return a.data2 == b.data2 && a.data1 == b.data1;
    switch (t) {
        case TypeId::datatype:
        case TypeId::logic:
        case TypeId::object: return a.data1 == b.data1;
        case TypeId::char_:
        case TypeId::integer:
        case TypeId::bitset: return a.data2 == b.data2;
        case TypeId::float_:
        case TypeId::percent:
        case TypeId::pair:
        case TypeId::time: return a.data2 == b.data2 && a.data3 == b.data3;
        case TypeId::tuple:
            return tuple_length(a) == tuple_length(b) && a.data1 == b.data1 && a.data2 == b.data2 &&
                   a.data3 == b.data3;
        case TypeId::none:
        case TypeId::unset: return true;
        case TypeId::money: return actions::compare(a, b, CompareOp::same) == 0;
        case TypeId::native:
        case TypeId::action:
        case TypeId::point2d: return a.data1 == b.data1 && a.data2 == b.data2;
        case TypeId::op: return a.data2 == b.data2 && a.data3 == b.data3;
        default: return a.data1 == b.data1 && a.data2 == b.data2 && a.data3 == b.data3;
    }
}

void same(const int32_t*) { arg(0) = cell::logic(same_q(arg(0), arg(1))); }

void not_(const int32_t*) { arg(0) = cell::logic(!interp::true_q(arg(0), false)); }

void type_q(const int32_t* refs) {
    TypeId t = type_of(arg(0));
    arg(0) = given(refs, 0) ? registry::type_name(t).word : cell::datatype(t);
}

// ---- signs ----

// -1, 0 or 1; a NaN has no sign.
int32_t sign_of(const Cell& v) {
    switch (type_of(v)) {
        case TypeId::integer: return integer::sign(cell::get_integer(v));
        case TypeId::float_:
        case TypeId::percent:
        case TypeId::time: {
            double d = cell::get_float(v);
            return d > 0 ? 1 : d < 0 ? -1 : 0;
        }
        case TypeId::money: return money::sign(v);
        default: raise_expect_arg(v, "number");
    }
}

void negative_q(const int32_t*) { arg(0) = cell::logic(sign_of(arg(0)) < 0); }
void positive_q(const int32_t*) { arg(0) = cell::logic(sign_of(arg(0)) > 0); }
void sign_q(const int32_t*) { arg(0) = cell::integer(sign_of(arg(0))); }

float f32(uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

bool zero_value_q(const Cell& v) {
    switch (type_of(v)) {
        case TypeId::char_:
        case TypeId::integer: return v.data2 == 0;
        case TypeId::float_:
        case TypeId::percent:
        case TypeId::time: return cell::get_float(v) == 0.0;
        case TypeId::pair: return v.data2 == 0 && v.data3 == 0;
        case TypeId::tuple: {
            uint32_t length = (v.header >> 19) & 0xF;
            const uint32_t words[3] = {v.data1, v.data2, v.data3};
            for (uint32_t i = 0; i < length; ++i)
                if ((words[i / 4] >> (8 * (i % 4))) & 0xFF) return false;
            return true;
        }
        case TypeId::money: return money::zero_q(v);
        case TypeId::point2d: return f32(v.data1) == 0.0f && f32(v.data2) == 0.0f;
        case TypeId::point3d: return f32(v.data1) == 0.0f && f32(v.data2) == 0.0f && f32(v.data3) == 0.0f;
        default: return false;
    }
}

void zero_q(const int32_t*) { result(cell::logic(zero_value_q(arg(0)))); }

void value_q(const int32_t*) {
    const Cell& v = arg(0);
    bool has;
    if (plain_word_q(type_of(v))) {
        // A word with no slot in its context has no value (self reads its context's owner).
        if (!v.data1 || (v.data3 == word::kNoIndex && v.data2 != sym::self)) has = false;
        else has = !is(*word::get(v), TypeId::unset);
    } else {
        has = !is(v, TypeId::unset);
    }
    result(cell::logic(has));
}

// ---- max/min helpers ----

bool number_q(TypeId t) { return t == TypeId::integer || t == TypeId::float_ || t == TypeId::percent; }
double number_value(const Cell& c) {
    return is(c, TypeId::integer) ? double(cell::get_integer(c)) : cell::get_float(c);
}
bool nan_number_q(const Cell& c) {
    return (is(c, TypeId::float_) || is(c, TypeId::percent)) && std::isnan(cell::get_float(c));
}

float get_f32(uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}
uint32_t put_f32(float f) {
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

// One point component against the operand's: a NaN operand wins.
float pick_f32(float mine, float other, bool max) {
    if (std::isnan(other)) return other;
    return max ? (other > mine ? other : mine) : (other < mine ? other : mine);
}
int32_t pick_i32(int32_t mine, int32_t other, bool max) { return max ? std::max(mine, other) : std::min(mine, other); }

Cell pair_to_point(const Cell& pair) {
    return cell::make(TypeId::point2d, put_f32(float(int32_t(pair.data2))), put_f32(float(int32_t(pair.data3))), 0);
}

uint8_t tuple_byte(const Cell& t, uint32_t i) {
    uint32_t word = i < 4 ? t.data1 : i < 8 ? t.data2 : t.data3;
    return uint8_t(word >> (8 * (i % 4)));
}
void set_tuple_byte(Cell& t, uint32_t i, uint8_t b) {
    uint32_t& word = i < 4 ? t.data1 : i < 8 ? t.data2 : t.data3;
    uint32_t shift = 8 * (i % 4);
    word = (word & ~(0xFFu << shift)) | (uint32_t(b) << shift);
}

// Component-wise max/min of a pair, point or tuple `v` with `o`; false when the two are not
// such a combination.
bool compound(Cell& v, const Cell& o, bool max) {
    TypeId vt = type_of(v), ot = type_of(o);
    switch (vt) {
        case TypeId::pair: {
            if (ot == TypeId::pair) {
                v.data2 = uint32_t(pick_i32(int32_t(v.data2), int32_t(o.data2), max));
                v.data3 = uint32_t(pick_i32(int32_t(v.data3), int32_t(o.data3), max));
                return true;
            }
            int32_t n;
            if (ot == TypeId::integer) {
                n = cell::get_integer(o);
            } else if (ot == TypeId::float_ && number::fits_int32(cell::get_float(o))) {
                n = int32_t(cell::get_float(o));
            } else if (ot == TypeId::float_ || ot == TypeId::point2d) {
                v = pair_to_point(v);
                return compound(v, o, max);
            } else {
                return false;
            }
            v.data2 = uint32_t(pick_i32(int32_t(v.data2), n, max));
            v.data3 = uint32_t(pick_i32(int32_t(v.data3), n, max));
            return true;
        }
        case TypeId::point2d:
        case TypeId::point3d: {
            uint32_t count = vt == TypeId::point2d ? 2 : 3;
            uint32_t* mine[3] = {&v.data1, &v.data2, &v.data3};
            const uint32_t theirs[3] = {o.data1, o.data2, o.data3};
            if (ot == vt) {
                for (uint32_t i = 0; i < count; ++i)
                    *mine[i] = put_f32(pick_f32(get_f32(*mine[i]), get_f32(theirs[i]), max));
                return true;
            }
            if (!number_q(ot)) return false;
            float n = float(number_value(o));
            for (uint32_t i = 0; i < count; ++i) *mine[i] = put_f32(pick_f32(get_f32(*mine[i]), n, max));
            return true;
        }
        case TypeId::tuple: {
            uint32_t count = tuple_length(v);
            if (number_q(ot)) {
                double d = number_value(o);
                uint8_t n = std::isnan(d) || d <= 0 ? 0 : d >= 255 ? 255 : uint8_t(d);
                for (uint32_t i = 0; i < count; ++i)
                    set_tuple_byte(v, i, uint8_t(pick_i32(tuple_byte(v, i), n, max)));
                return true;
            }
            if (ot != TypeId::tuple || tuple_length(o) != count) return false;
            for (uint32_t i = 0; i < count; ++i)
                set_tuple_byte(v, i, uint8_t(pick_i32(tuple_byte(v, i), tuple_byte(o, i), max)));
            return true;
        }
        default: return false;
    }
}

bool compound_type_q(TypeId t) {
    return t == TypeId::pair || t == TypeId::point2d || t == TypeId::point3d || t == TypeId::tuple;
}

// ---- max and min ----

void max_(const int32_t*) { max_min(true); }
void min_(const int32_t*) { max_min(false); }

}  // namespace compare

void max_min(bool max) {
    using namespace compare;
    Cell v1 = arg(0), v2 = arg(1);
    if (nan_number_q(v1) && number_q(type_of(v2))) return;
    if (nan_number_q(v2) && number_q(type_of(v1))) {
        arg(0) = v2;
        return;
    }
    if (compound_type_q(type_of(v2)) && number_q(type_of(v1))) std::swap(v1, v2);
    if (compound(v1, v2, max)) {
        arg(0) = v1;
        return;
    }
    bool less = actions::compare_values(v1, v2, CompareOp::lesser);
    arg(0) = max ? (less ? v2 : v1) : (less ? v1 : v2);
}

void init_compare() {
    define(Number::equal_q, compare::comparison<CompareOp::equal>);
    define(Number::not_equal_q, compare::comparison<CompareOp::not_equal>);
    define(Number::strict_equal_q, compare::comparison<CompareOp::strict_equal>);
    define(Number::lesser_q, compare::comparison<CompareOp::lesser>);
    define(Number::greater_q, compare::comparison<CompareOp::greater>);
    define(Number::lesser_or_equal_q, compare::comparison<CompareOp::lesser_or_equal>);
    define(Number::greater_or_equal_q, compare::comparison<CompareOp::greater_or_equal>);
    define(Number::same_q, compare::same);
    define(Number::not_, compare::not_);
    define(Number::type_q, compare::type_q);
    define(Number::negative_q, compare::negative_q);
    define(Number::positive_q, compare::positive_q);
    define(Number::sign_q, compare::sign_q);
    define(Number::zero_q, compare::zero_q);
    define(Number::value_q, compare::value_q);
    define(Number::max, compare::max_);
    define(Number::min, compare::min_);
}

}  // namespace kaz::natives
