// The math natives: trigonometry, logarithms and roots, NaN?, shift, the coordinate builders
// as-pair, as-point2D and as-point3D, and as-money.
#include "evaluator/natives_math.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "datatypes/bitset.h"
#include "datatypes/block.h"
#include "datatypes/cells.h"
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
#include "evaluator/routines.h"
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

namespace math_ {

constexpr double kPi = 3.141592653589793;
constexpr double kHalfPi = kPi / 2;
// Below this a sine or cosine is taken for the zero it approximates (sine 180 is 0.0).
constexpr double kEpsilon = 2.220446049250313e-16;
constexpr double kLn2 = 0.6931471805599453;
constexpr double kE = 2.718281828459045;

// ---- trigonometry and logarithms ----

void sine(const int32_t* refs) {
    double r = std::sin(trig_arg(given(refs, 0), Trig::sine));
    result(cell::float_(std::fabs(r) < kEpsilon ? 0.0 : r));
}

void cosine(const int32_t* refs) {
    double r = std::cos(trig_arg(given(refs, 0), Trig::cosine));
    result(cell::float_(std::fabs(r) < kEpsilon ? 0.0 : r));
}

void tangent(const int32_t* refs) {
    double a = trig_arg(given(refs, 0), Trig::tangent);
    constexpr double inf = std::numeric_limits<double>::infinity();
    result(cell::float_(a == kHalfPi ? inf : a == -kHalfPi ? -inf : std::tan(a)));
}

void arcsine(const int32_t* refs) { result(cell::float_(inverse_trig(given(refs, 0), InverseTrig::arc_sine))); }
void arccosine(const int32_t* refs) { result(cell::float_(inverse_trig(given(refs, 0), InverseTrig::arc_cosine))); }
void arctangent(const int32_t* refs) {
    result(cell::float_(inverse_trig(given(refs, 0), InverseTrig::arc_tangent)));
}

void arctangent2(const int32_t* refs) {
    double r = std::atan2(number_to_double(arg(0)), number_to_double(arg(1)));
    if (!given(refs, 0)) r *= 180.0 / kPi;
    result(cell::float_(r));
}

void NaN_q(const int32_t*) {
    const Cell& v = arg(0);
    bool nan = (is(v, TypeId::float_) || is(v, TypeId::percent)) && std::isnan(cell::get_float(v));
    result(cell::logic(nan));
}

void log_2(const int32_t*) { result(cell::float_(std::log(float_arg()) / kLn2)); }
void log_10(const int32_t*) { result(cell::float_(std::log10(float_arg()))); }
void log_e(const int32_t*) { result(cell::float_(std::log(float_arg()))); }
void exp_(const int32_t*) { result(cell::float_(std::pow(kE, float_arg()))); }
void square_root(const int32_t*) { result(cell::float_(std::sqrt(float_arg()))); }

// ---- bits and hex ----

void shift(const int32_t* refs) {
    int32_t data = cell::get_integer(arg(0));
    int32_t bits = std::max(cell::get_integer(arg(1)), 0);
    auto u = uint32_t(data);
    int32_t r;
    if (given(refs, 0)) r = bits >= 32 ? 0 : int32_t(u << bits);
    else if (given(refs, 1)) r = bits >= 32 ? 0 : int32_t(u >> bits);
    else r = bits >= 32 ? (data < 0 ? -1 : 0) : data >> bits;
    arg(0) = cell::integer(r);
}

// ---- coordinates ----

void as_pair(const int32_t*) {
    int32_t xy[2];
    for (uint32_t i = 0; i < 2; ++i)
        xy[i] = is(arg(i), TypeId::integer)
                    ? cell::get_integer(arg(i))
                    : number::to_int32(cell::get_float(arg(i)), ErrorId::script_invalid_arg, arg(i));
    result(pair_cell::make(xy[0], xy[1]));
}

void as_point2D(const int32_t*) {
    result(point_cell::make2(float(number_to_double(arg(0))), float(number_to_double(arg(1)))));
}

void as_point3D(const int32_t*) {
    result(point_cell::make3(float(number_to_double(arg(0))), float(number_to_double(arg(1))),
                             float(number_to_double(arg(2)))));
}

// ---- money ----

// An amount in a currency: the code must be in the list, and a float! amount may not have more
// fraction digits than money holds.
void as_money(const int32_t*) {
    const Cell& code = arg(0);
    uint8_t currency = money::currency_index(code.data2);
    if (!currency) error::raise(ErrorId::script_bad_make_arg, cell::datatype(TypeId::money), code);
    const Cell& amount = arg(1);
    Cell m = is(amount, TypeId::integer) ? money::from_integer(cell::get_integer(amount))
                                         : money::from_float(cell::get_float(amount), true);
    money::set_currency(m, currency);
    result(m);
}

}  // namespace math_

// ---- numeric arguments ----

int32_t number_to_integer(const Cell& number) {
    if (is(number, TypeId::integer)) return cell::get_integer(number);
    return number::to_int32(cell::get_float(number), ErrorId::script_type_limit, cell::datatype(TypeId::integer));
}

double number_to_double(const Cell& number) {
    return is(number, TypeId::integer) ? double(cell::get_integer(number)) : cell::get_float(number);
}

double float_arg() {
    Cell& first = stack::base[0];
    if (is(first, TypeId::integer)) first = cell::float_(double(cell::get_integer(first)));
    else cell::set_type(first, TypeId::float_);
    return cell::get_float(first);
}

double trig_arg(bool radians, Trig kind) {
    double angle = float_arg();
    return radians ? angle : math::degrees_to_radians(angle, int(kind));
}

double inverse_trig(bool radians, InverseTrig op) {
    double x = float_arg();
    double r;
    switch (op) {
        case InverseTrig::arc_tangent: r = std::atan(x); break;
        case InverseTrig::arc_cosine: r = std::acos(x); break;
        case InverseTrig::arc_sine: r = std::asin(x); break;
        default: runtime::no_switch_matched(KAZ_CALLER_ADDRESS());
    }
    return radians ? r : r * 180.0 / math_::kPi;
}

namespace {

// ---- routines ----

// The shift native's code, with its /left and /logical flags (refinements with no arguments:
// their positions only say they are given).
void shift(bool left, bool logical) {
    int32_t refs[2] = {left ? 2 : -1, logical ? 2 : -1};
    natives::at(natives::shift)(refs);
}
routines::Result shift_right(const routines::Arg*, uint32_t) { return shift(false, false), routines::Result{}; }
routines::Result shift_left(const routines::Arg*, uint32_t) { return shift(true, false), routines::Result{}; }
routines::Result shift_logical(const routines::Arg*, uint32_t) { return shift(false, true), routines::Result{}; }

constexpr routines::Definition kRoutines[] = {
    {"shift-right", R"k("Shift bits to the right" data [integer!] bits [integer!])k", shift_right, TypeId(0)},
    {"shift-left", R"k("Shift bits to the left" data [integer!] bits [integer!])k", shift_left, TypeId(0)},
    {"shift-logical", R"k("Shift bits to the right (unsigned)" data [integer!] bits [integer!])k", shift_logical,
     TypeId(0)},
};

}  // namespace

std::span<const routines::Definition> math_routines() { return kRoutines; }

void init_math() {
    define(Number::sine, math_::sine);
    define(Number::cosine, math_::cosine);
    define(Number::tangent, math_::tangent);
    define(Number::arcsine, math_::arcsine);
    define(Number::arccosine, math_::arccosine);
    define(Number::arctangent, math_::arctangent);
    define(Number::arctangent2, math_::arctangent2);
    define(Number::NaN_q, math_::NaN_q);
    define(Number::log_2, math_::log_2);
    define(Number::log_10, math_::log_10);
    define(Number::log_e, math_::log_e);
    define(Number::exp_, math_::exp_);
    define(Number::square_root, math_::square_root);
    define(Number::shift, math_::shift);
    define(Number::as_pair, math_::as_pair);
    define(Number::as_point2D, math_::as_point2D);
    define(Number::as_point3D, math_::as_point3D);
    define(Number::as_money, math_::as_money);
}

}  // namespace kaz::natives
