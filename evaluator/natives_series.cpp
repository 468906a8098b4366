// The series, set and context natives: reduce, compose, bind and in, the set operations, extend,
// construct, the new-line marker, unset, context?, as and size?.
#include "evaluator/natives_series.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "datatypes/bitset.h"
#include "datatypes/block.h"
#include "datatypes/calendar.h"
#include "datatypes/context.h"
#include "datatypes/file.h"
#include "datatypes/function.h"
#include "datatypes/internal.h"
#include "datatypes/issue.h"
#include "datatypes/map.h"
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

namespace series_natives {

// Inserts the values of `values` (a block) at the position of `target`, an any-block, through
// the target's insert action; the position after them is the native's result.
void insert_into(const Cell& target, const Cell& values, bool only) {
    TypeId t = type_of(target);
    InsertAction fn = registry::actions(t).insert;
    if (!fn) actions::raise_lacks(t, actions::Slot::insert);
    arg(0) = fn(target, values, -1, only, 1, false);
}

// ---- reduce ----

// A block! target takes reduced values at its tail, its owner told once of an insert of that
// many values there; the result is the target past them.
void append_results(const Cell& target, const Cell& values) {
    uint32_t count = length_of(values.data2);
    uint32_t old_tail = length_of(target.data2);
    series_::notify(target, gwords::insert, &values, int32_t(old_tail), int32_t(count));
    for (uint32_t i = 0; i < count; ++i) block::append_cell(target, buffer(values.data2)->cells()[i]);
    Cell past = target;
    past.data1 = length_of(target.data2);
    arg(0) = past;
}

// Evaluates `block` from its index, expression by expression, appending each result with its
// new-line marker cleared to `out` (a block held on the data stack). False when an unwind is
// pending.
bool reduce_into(const Cell& block, const Cell& out) {
    Node code = block.data2;
    Cell saved_current = interp::state.current_block;
    interp::state.current_block = block;
    for (uint32_t pos = std::min(block.data1, length_of(code)); pos < length_of(code);) {
        interp::state.current_block.data1 = pos;
        Cell* top = stack::data_top;
        pos = interp::eval_expression(code, pos, length_of(code), false, true, false);
        if (pending()) return false;
        Cell v = *top;
        stack::data_top = top;
        cell::clear_new_line(v);
        block::append_cell(out, v);
    }
    interp::state.current_block = saved_current;
    return true;
}

// Evaluates a value that is not a block as one expression; callables come back as they are.
// False when an unwind is pending; the result is the newest value otherwise.
bool reduce_one(const Cell& value) {
    if (callable_q(type_of(value))) {
        stack::push(value);
        return true;
    }
    Node code = series::alloc_cells(1);
    SeriesBuffer* b = buffer(code);
    *series::reserve_cell(b) = value;
    interp::eval_expression(code, 0, 1, false, true, false);
    return !pending();
}

void reduce(const int32_t* refs) {
    Cell value = arg(0);
    const Cell* into = ref_arg(refs, 0);
    if (is(value, TypeId::block)) {
        uint32_t n = series_::length_from_head(value);
        Cell* out = block::push_new(int32_t(n));
        if (!reduce_into(value, *out)) return;
        if (into && is(*into, TypeId::block)) return append_results(*into, *out);
        if (into) return insert_into(*into, *out, false);
        arg(0) = *out;
        return;
    }
    Cell* top = stack::data_top;
    if (!reduce_one(value)) return;
    Cell result = *top;
    stack::data_top = top;
    if (!into) {
        arg(0) = result;
        return;
    }
    Cell* one = block::push_new(1);
    block::append_cell(*one, result);
    if (is(*into, TypeId::block)) append_results(*into, *one);
    else insert_into(*into, *one, false);
}

// ---- compose ----

// Deeper nesting than this is taken for a block that contains itself.
constexpr uint32_t kMaxComposeDepth = 1000;

// Appends the composed values of `block` to `out` (a block held on the data stack). False when
// an unwind is pending.
bool compose_into(const Cell& block, const Cell& out, bool deep, bool only, uint32_t depth) {
    if (depth >= kMaxComposeDepth) error::raise(ErrorId::internal_too_deep);
    Node code = block.data2;
    for (uint32_t i = block.data1; i < length_of(code); ++i) {
        Cell v = buffer(code)->cells()[i];
        if (is(v, TypeId::block) && deep) {
            Cell* inner = block::push_new(int32_t(series_::length_from_head(v)));
            if (!compose_into(v, *inner, deep, only, depth + 1)) return false;
            Cell composed = *inner;
            composed.header = v.header;  // the nested block keeps its flags
            stack::data_top = inner;
            block::append_cell(out, composed);
        } else if (is(v, TypeId::paren)) {
            Cell* top = stack::data_top;
            interp::eval_block(cell::set_type(v, TypeId::block), false);
            if (pending()) return false;
            Cell r = *top;
            stack::data_top = top;
            if (is(r, TypeId::unset)) continue;
            if (is(r, TypeId::block) && !only) {
                // Spliced: each value of the result in turn (none for an empty block).
                for (uint32_t k = r.data1; k < length_of(r.data2); ++k)
                    block::append_cell(out, buffer(r.data2)->cells()[k]);
            } else {
                block::append_cell(out, r);
            }
        } else {
            block::append_cell(out, v);
        }
    }
    return true;
}

void compose(const int32_t* refs) {
    Cell value = arg(0);
    if (!is(value, TypeId::block))
        error::raise(ErrorId::script_expect_val, cell::datatype(TypeId::block), cell::datatype(type_of(value)));
    series_::clamp_head(value);
    Cell* out = block::push_new(int32_t(series_::length_from_head(value)));
    if (!compose_into(value, *out, given(refs, 0), given(refs, 1), 0)) return;
    if (const Cell* into = ref_arg(refs, 2)) return insert_into(*into, *out, false);
    arg(0) = *out;
}

// ---- bind and in ----

void bind(const int32_t* refs) {
    Cell target = arg(0);
    const Cell& where = arg(1);
    TypeId wt = type_of(where);
    Node ctx = where.data1;
    bool self = wt == TypeId::object;
    if (!ctx) return;  // a word bound to nothing: nothing to bind to
    if (word::any_word_type_q(type_of(target))) {
        context::bind_word(ctx, target);
        arg(0) = target;
        return;
    }
    if (given(refs, 0)) target = *block::duplicate(target, true, true);
    context::bind_block(target, ctx, self);
    arg(0) = target;
}

// The word of `symbol` among a context's words block, bound as the block holds it.
std::optional<Cell> find_in_words(Node words, uint32_t symbol) {
    uint32_t canonical = symbol::canonical_id(symbol);
    for (uint32_t i = 0; i < length_of(words); ++i) {
        Cell w = buffer(words)->cells()[i];
        if (symbol::canonical_id(w.data2) == canonical) return w;
    }
    return std::nullopt;
}

void in(const int32_t*) {
    const Cell& holder = arg(0);
    Cell w = arg(1);
    if (is(w, TypeId::refinement)) cell::set_type(w, TypeId::word);
    TypeId ht = type_of(holder);
    if (ht == TypeId::native || ht == TypeId::action || ht == TypeId::op) {
        // Natives and actions keep their context's cell in their more-block.
        const Cell& ctx_cell = buffer(holder.data3)->cells()[0];
        std::optional<Cell> found = find_in_words(hashtable::record(ctx_cell.data1).block, w.data2);
        if (!found) {
            arg(0) = cell::none();
            return;
        }
        w.data1 = found->data1;
        w.data3 = found->data3;
        arg(0) = w;
        return;
    }
    Node ctx = holder.data1;
    int32_t i = context::find_symbol(ctx, w.data2, true);
    if (i < 0) {
        arg(0) = cell::none();
        return;
    }
    w.data1 = ctx;
    w.data3 = uint32_t(i);
    arg(0) = w;
}

// ---- set operations ----

TypeId set_kind(TypeId t) { return t == TypeId::hash ? TypeId::block : t; }

template <MathOp Op>
void set_operation(const int32_t* refs) {
    bool case_ = given(refs, 0);
    const Cell* skip = ref_arg(refs, 1);
    Cell& first = arg(0);
    TypeId t = type_of(first);
    bool two = Op != MathOp::unique;
    if (two && set_kind(t) != set_kind(type_of(arg(1))))
        error::raise(ErrorId::script_expect_val, cell::datatype(t), cell::datatype(type_of(arg(1))));
    switch (t) {
        case TypeId::block:
        case TypeId::hash: block::set_operation(Op, case_, skip); return;
        case TypeId::string: first = string::set_operation(first, two ? &arg(1) : nullptr, Op, case_, skip); return;
        case TypeId::bitset:
            if (!two) break;
            first = bitset::set_operation(first, arg(1), Op);
            return;
        case TypeId::typeset:
            if (!two) break;
            typeset::set_operation(Op);
            return;
        case TypeId::date:
            if (Op != MathOp::difference) break;
            date::difference(first, arg(1));
            return;
        default: break;
    }
    raise_expect_arg(first, two ? "set1" : "set");
}

void complement_q(const int32_t*) {
    if (!is(arg(0), TypeId::bitset)) raise_expect_arg(arg(0), "bits");
    arg(0) = cell::logic(bitset::complement_q(arg(0)));
}

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
        every = cell::get_integer(*ref_arg(refs, 1));
        if (every < 1) error::raise(ErrorId::script_out_of_range, *ref_arg(refs, 1));
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

void construct(const int32_t* refs) {
    Cell spec = arg(0);
    const Cell* prototype = given(refs, 0) ? ref_arg(refs, 0) : nullptr;
    result(object::construct(spec, prototype, given(refs, 1)));
}

}  // namespace series_natives

namespace {

// ---- routines ----

routines::Result set_quiet(const routines::Arg*, uint32_t) {
    Cell w = arg(0), value = arg(1);
    TypeId t = type_of(w);
    if (t != TypeId::word && t != TypeId::set_word && t != TypeId::lit_word && t != TypeId::get_word)
        error::raise(ErrorId::script_expect_arg, word::from_c_string("set-quiet"), cell::datatype(t),
                     word::from_c_string("word"));
    word::set_in_context(w, value, w.data1, false);
    arg(0) = value;
    return {};
}

routines::Result set_slot_quiet(const routines::Arg*, uint32_t) {
    Cell series = arg(0), value = arg(1);
    TypeId t = type_of(series);
    if (t != TypeId::block && t != TypeId::paren && !(t >= TypeId::path && t <= TypeId::get_path))
        error::raise(ErrorId::script_expect_arg, word::from_c_string("set-slot-quiet"), cell::datatype(t),
                     word::from_c_string("series"));
    SeriesBuffer* b = memory::buffer_of(series.data2);
    if (series.data1 < b->length()) b->cells()[series.data1] = value;
    return {};
}

constexpr routines::Definition kRoutines[] = {
    {"set-quiet",
     R"k("Set an object's field to a value without triggering eventual object's events" word [any-type!] value [any-type!] return: [any-type!])k",
     set_quiet, TypeId(0)},
    {"set-slot-quiet",
     R"k("Set a value in series without triggering eventual owner's events" series [any-type!] value [any-type!])k",
     set_slot_quiet, TypeId(0)},
};

}  // namespace

std::span<const routines::Definition> series_routines() { return kRoutines; }

void init_series() {
    define(Number::reduce, series_natives::reduce);
    define(Number::compose, series_natives::compose);
    define(Number::bind, series_natives::bind);
    define(Number::in, series_natives::in);
    define(Number::union_, series_natives::set_operation<MathOp::union_>);
    define(Number::intersect, series_natives::set_operation<MathOp::intersect>);
    define(Number::unique, series_natives::set_operation<MathOp::unique>);
    define(Number::difference, series_natives::set_operation<MathOp::difference>);
    define(Number::exclude, series_natives::set_operation<MathOp::exclude>);
    define(Number::complement_q, series_natives::complement_q);
    define(Number::extend, series_natives::extend);
    define(Number::construct, series_natives::construct);
    define(Number::unset, series_natives::unset);
    define(Number::new_line, series_natives::new_line);
    define(Number::new_line_q, series_natives::new_line_q);
    define(Number::context_q, series_natives::context_q);
    define(Number::as, series_natives::as);
    define(Number::size_q, series_natives::size_q);
}

}  // namespace kaz::natives
