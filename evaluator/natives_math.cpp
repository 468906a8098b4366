// The math and system natives.
#include "evaluator/natives_math.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/file.h"
#include "datatypes/function.h"
#include "datatypes/internal.h"
#include "datatypes/map.h"
#include "datatypes/object.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/interp.h"
#include "evaluator/natives.h"
#include "platform/os.h"
#include "runtime/case_fold.h"
#include "runtime/error.h"
#include "runtime/heap.h"
#include "runtime/memory.h"
#include "runtime/number.h"
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

Cell& arg(uint32_t i) { return stack::base[i]; }
void result(const Cell& v) { stack::base[0] = v; }
Cell& ref_arg(const int32_t* refs, int k) { return stack::base[refs[k]]; }

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

// ---- values and words ----

void construct(const int32_t* refs) {
    Cell spec = arg(0);
    const Cell* prototype = given(refs, 0) ? &ref_arg(refs, 0) : nullptr;
    result(object::construct(spec, prototype, given(refs, 1)));
}

bool plain_word_q(TypeId t) {
    return t == TypeId::word || t == TypeId::set_word || t == TypeId::lit_word || t == TypeId::get_word;
}

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

void change_case(const int32_t* refs, bool upper) {
    Cell value = arg(0);
    Cell limit = cell::none();
    if (given(refs, 0)) {
        limit = ref_arg(refs, 0);
        if (is(limit, TypeId::float_) || is(limit, TypeId::percent)) limit = cell::integer(number_to_integer(limit));
    }
    case_::change_string(value, &limit, upper);
    result(value);
}

void uppercase(const int32_t* refs) { change_case(refs, true); }
void lowercase(const int32_t* refs) { change_case(refs, false); }

void extend(const int32_t* refs) {
    Cell target = arg(0), spec = arg(1);
    if (!is(target, TypeId::map)) error::raise(ErrorId::internal_not_done);
    if (is(spec, TypeId::map)) spec = map::reflect(spec, sym::body);
    map::extend(target, spec, given(refs, 0));
    result(target);
}

void unset(const int32_t*) {
    Cell target = arg(0);
    if (is(target, TypeId::block)) {
        // Setting may add a word to its context, which may move the block's buffer.
        for (uint32_t i = series_::clamp_head(target); i < series_::total_length(target); ++i) {
            Cell w = *block::cell_at(target, i);
            if (plain_word_q(type_of(w))) word::set(w, cell::unset());
        }
    } else {
        word::set(target, cell::unset());
    }
    result(cell::unset());
}

void new_line(const int32_t* refs) {
    Cell position = arg(0);
    bool on = arg(1).data1 != 0;
    uint32_t head = series_::clamp_head(position);
    uint32_t tail = series_::total_length(position);
    int32_t every = 0;
    if (given(refs, 1)) {
        every = cell::get_integer(ref_arg(refs, 1));
        if (every < 1) error::raise(ErrorId::script_out_of_range, ref_arg(refs, 1));
    }
    uint32_t end = every || given(refs, 0) ? tail : std::min(head + 1, tail);
    Cell* cells = series_::buffer(position)->cells();
    for (uint32_t i = head; i < end; ++i) {
        bool mark = every ? ((i - head) % uint32_t(every) == 0) == on : on;
        if (mark) cells[i].header |= cell_flag::new_line;
        else cell::clear_new_line(cells[i]);
    }
    result(position);
}

void new_line_q(const int32_t*) {
    Cell position = arg(0);
    uint32_t head = series_::clamp_head(position);
    bool marked = head < series_::total_length(position) && cell::new_line_q(series_::buffer(position)->cells()[head]);
    result(cell::logic(marked));
}

void context_q(const int32_t*) {
    const Cell& w = arg(0);
    if (!w.data1) return result(cell::none());
    Cell owner = context::owner_of(w.data1);
    result(is(owner, TypeId::unset) ? cell::none() : owner);
}

// ---- the process environment ----

// The UTF-8 text of a name (a word or a string) or of a value; nothing when it holds a NUL,
// where the system would end it and so read another name.
std::optional<std::string> os_text(const Cell& v) {
    if (word::any_word_type_q(type_of(v))) return std::string(symbol::name(v.data2));
    Cell s = v;
    int32_t length = -1;
    const char* text = string::to_utf8(s, length);
    std::string out(text, size_t(length));
    if (out.find('\0') != std::string::npos) return std::nullopt;
    return out;
}

// A name the environment can hold: not empty, no "=" and no NUL.
std::optional<std::string> env_name(const Cell& v) {
    std::optional<std::string> name = os_text(v);
    if (!name || name->empty() || name->find('=') != std::string::npos) return std::nullopt;
    return name;
}


void set_env(const int32_t*) {
    Cell var = arg(0), value = arg(1);
    std::optional<std::string> name = env_name(var);
    if (!name) error::raise(ErrorId::script_invalid_arg, var);
    bool done;
    if (is(value, TypeId::none)) {
        done = platform::set_env(name->c_str(), nullptr);
    } else {
        std::optional<std::string> text = os_text(value);
        if (!text) error::raise(ErrorId::script_invalid_arg, value);
        done = platform::set_env(name->c_str(), text->c_str());
    }
    if (!done) error::raise(ErrorId::script_invalid_arg, var);
    result(value);
}

void get_env(const int32_t*) {
    std::optional<std::string> name = env_name(arg(0));
    std::optional<std::string> value = name ? platform::get_env(name->c_str()) : std::nullopt;
    if (!value || value->empty()) return result(cell::none());
    result(string::from_utf8(*value));
}

void list_env(const int32_t*) {
    if (stack::data_top == stack::base) stack::push(cell::unset());  // no argument: reserve the return slot
    auto variables = platform::list_env();
    Cell* env = stack::push(cell::none());
    map::init_cell(*env, nullptr, uint32_t(variables.size()));
    for (const auto& [name, value] : variables) {
        // Names that differ only in case are distinct variables: each keeps its own entry.
        Cell* key = stack::push(string::from_utf8(name));
        Cell* text = stack::push(string::from_utf8(value));
        map::put(*env, *key, *text, true);
        stack::pop(2);
    }
    result(*env);
}

// ---- coercion and predicates ----

enum class Coercion { none, block, text };

Coercion coercion_of(TypeId t) {
    if (t == TypeId::block || t == TypeId::paren || (t >= TypeId::path && t <= TypeId::get_path))
        return Coercion::block;
    if (string::any_string_q(t)) return Coercion::text;
    return Coercion::none;
}

void as(const int32_t*) {
    const Cell& type = arg(0);
    Cell spec = arg(1);
    TypeId target = is(type, TypeId::datatype) ? TypeId(type.data1) : type_of(type);
    TypeId source = type_of(spec);
    Coercion kind = coercion_of(source);
    if (kind == Coercion::none || kind != coercion_of(target))
        error::raise(ErrorId::script_not_same_class, cell::datatype(source), cell::datatype(target));
    result(cell::set_type(spec, target));
}

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
        case TypeId::money: error::raise(ErrorId::internal_not_done);  // money! is not built yet
        case TypeId::point2d: return f32(v.data1) == 0.0f && f32(v.data2) == 0.0f;
        case TypeId::point3d: return f32(v.data1) == 0.0f && f32(v.data2) == 0.0f && f32(v.data3) == 0.0f;
        default: return false;
    }
}

void zero_q(const int32_t*) { result(cell::logic(zero_value_q(arg(0)))); }

// ---- files, waiting and the desktop ----

void to_local_file(const int32_t* refs) {
    Cell path = arg(0);
    Cell* out = stack::push(string::make_cell(series_::length_from_head(path) + 1));
    file::to_os_path(path, out->data2, given(refs, 0));
    result(*out);
}

void size_q(const int32_t*) {
    Cell target = arg(0);
    uint32_t head = series_::clamp_head(target), tail = series_::total_length(target);
    // A path written as a directory is one, whatever the system holds there.
    if (tail > head && string::char_at(target, tail - 1) == '/') return result(cell::none());
    std::optional<int64_t> size = platform::file_size(file::to_os_c_string(target));
    if (!size) return result(cell::none());
    // A size past integer! is given as a float!, never wrapped to a wrong integer.
    result(*size <= INT32_MAX ? cell::integer(int32_t(*size)) : cell::float_(double(*size)));
}

void wait(const int32_t*) {
    const Cell& v = arg(0);
    double seconds;
    switch (type_of(v)) {
        case TypeId::integer: seconds = cell::get_integer(v); break;
        case TypeId::float_:
        case TypeId::time: seconds = cell::get_float(v); break;
        default: error::raise(ErrorId::script_invalid_arg, v);
    }
    platform::wait(seconds);
    result(cell::none());
}

void browse(const int32_t*) {
    Cell target = arg(0);
    std::optional<std::string> text;
    if (is(target, TypeId::file)) {
        // The full form: the opener gets no relative path that could pass for an option.
        Cell* path = stack::push(string::make_cell(series_::length_from_head(target) + 1));
        file::to_os_path(target, path->data2, true);
        text = os_text(*path);
    } else {
        text = os_text(target);
    }
    if (!text || text->empty() || (*text)[0] == '-') error::raise(ErrorId::script_invalid_arg, target);
    platform::open_with_desktop(text->c_str());
    result(cell::unset());
}

// ---- apply ----

bool callable_q(TypeId t) {
    return t == TypeId::native || t == TypeId::action || t == TypeId::function || t == TypeId::routine;
}

void apply(const int32_t* refs) {
    Cell fn = arg(0), args = arg(1);
    Cell name = words::applied_tag;
    Cell value = fn;
    std::optional<Cell> path;
    std::optional<Cell> owner;
    if (plain_word_q(type_of(fn))) {
        name = fn;
        name.header = uint32_t(TypeId::word);
        value = *word::get(name);
    } else if (is(fn, TypeId::path)) {
        // As the interpreter walks a path: object fields down to the function, whose element
        // names it; the elements after that one are its refinements.
        Cell walk = fn;
        uint32_t tail = series_::total_length(walk);
        uint32_t i = series_::clamp_head(walk);
        if (i >= tail || !is(*block::cell_at(walk, i), TypeId::word)) error::raise(ErrorId::script_invalid_arg, fn);
        name = *block::cell_at(walk, i);
        value = *word::get(name);
        while (object::object_type_q(type_of(value)) && i + 1 < tail && is(*block::cell_at(walk, i + 1), TypeId::word)) {
            owner = value;
            name = *block::cell_at(walk, ++i);
            value = *object::value_of_word(*owner, name);
        }
        walk.data1 = i;
        path = walk;
    }
    if (is(value, TypeId::op)) value = function::unwrap_op(value);
    if (!callable_q(type_of(value))) error::raise(ErrorId::script_invalid_arg, fn);

    uint32_t flags = given(refs, 0) ? interp::from_block : interp::refinements_as_values;
    if (given(refs, 1)) flags |= interp::single_values;
    uint32_t pos = series_::clamp_head(args);
    Cell* result_at = stack::data_top;
    interp::eval_code(value, args.data2, pos, series_::total_length(args), path ? &*path : nullptr, name,
                      owner ? &*owner : nullptr, flags, false);
    if (frame::unwinding) return;
    result(*result_at);
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
    define(Number::construct, math_::construct);
    define(Number::value_q, math_::value_q);
    define(Number::uppercase, math_::uppercase);
    define(Number::lowercase, math_::lowercase);
    define(Number::extend, math_::extend);
    define(Number::to_local_file, math_::to_local_file);
    define(Number::wait, math_::wait);
    define(Number::unset, math_::unset);
    define(Number::new_line, math_::new_line);
    define(Number::new_line_q, math_::new_line_q);
    define(Number::context_q, math_::context_q);
    define(Number::set_env, math_::set_env);
    define(Number::get_env, math_::get_env);
    define(Number::list_env, math_::list_env);
    define(Number::as, math_::as);
    define(Number::zero_q, math_::zero_q);
    define(Number::size_q, math_::size_q);
    define(Number::browse, math_::browse);
    define(Number::apply, math_::apply);
}

}  // namespace kaz::natives
