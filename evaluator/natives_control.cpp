// The control natives: conditionals, loops, functions, switch, case, do, get, set, apply, and
// the control transfers break, continue, exit, return, throw, catch and try.
#include "evaluator/natives_control.h"

#include <algorithm>
#include <optional>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/error.h"
#include "datatypes/function.h"
#include "datatypes/internal.h"
#include "datatypes/map.h"
#include "datatypes/object.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/interp.h"
#include "evaluator/lexer.h"
#include "evaluator/natives.h"
#include "evaluator/natives_frame.h"
#include "runtime/error.h"
#include "runtime/memory.h"
#include "runtime/number.h"
#include "runtime/stack.h"

namespace kaz::natives {


namespace control {

using interp::true_q;

// Evaluates a block into the current frame's return slot.
void eval_into_result(const Cell& block) { interp::eval_block(block, true); }

// ---- loops ----

// A loop frame around the body evaluations; its return slot receives each body's result.
struct Loop {
    CallFrame* frame;
    bool quick_body = true;  // see interp::eval_body
    Loop() {
        frame::push_loop(words::body_tag);
        frame = frame::top();
        stack::push(cell::unset());
    }
};

enum class Step { next, again, stop, leave };

// Runs one evaluation of the body under the loop frame. `next`: go on; `again`: a continue
// cut the body short (go on); `stop`: a break ended the loop; `leave`: an unwind that is not
// this loop's is pending (return at once).
Step run_body(Loop& loop, const Cell& body) {
    stack::data_top = stack::base + 1;
    try {
        if (interp::eval_body(body, loop.quick_body)) return Step::next;
    } catch (const Throw& t) {
        if (t.code == throw_code::error) throw;
        frame::unwinding = t.code;
    }
    uint32_t u = frame::unwinding;
    if (!u) return Step::next;
    if (frame::top() != loop.frame || (u != throw_code::break_ && u != throw_code::continue_))
        return Step::leave;
    frame::unwinding = 0;
    runtime::pending_code = 0;
    return u == throw_code::break_ ? Step::stop : Step::again;
}

// Ends the loop: its result (the loop frame's return slot) becomes the native's.
void finish(const Loop&) { frame::pop_return(); }

int32_t loop_count(const Cell& count) {
    if (is(count, TypeId::float_)) return number::to_int32(cell::get_float(count), ErrorId::script_type_limit,
                                                           cell::datatype(TypeId::integer));
    return cell::get_integer(count);
}

// ---- the natives ----

void if_(const int32_t*) {
    if (true_q(arg(0), false)) eval_into_result(arg(1));
    else result(cell::none());
}

void unless(const int32_t*) {
    if (!true_q(arg(0), false)) eval_into_result(arg(1));
    else result(cell::none());
}

void either(const int32_t*) { eval_into_result(true_q(arg(0), true) ? arg(1) : arg(2)); }

// any and all evaluate their block expression by expression.
void any_all(bool any) {
    Cell block = arg(0);
    Node code = block.data2;
    uint32_t pos = block.data1;
    while (pos < memory::buffer_of(code)->length()) {
        Cell* top = stack::data_top;
        pos = interp::eval_expression(code, pos, memory::buffer_of(code)->length(), false, true, false);
        if (pending()) return;
        Cell v = top[0];
        stack::data_top = top;
        bool truth = true_q(v, false);
        if (any && truth) return result(v);
        if (!any && !truth) return result(cell::none());
        if (!any) result(v);
    }
    if (any || pos == block.data1) result(cell::none());
}

void any(const int32_t*) { any_all(true); }
void all(const int32_t*) { any_all(false); }

void while_(const int32_t*) {
    Cell cond = arg(0), body = arg(1);
    Loop loop;
    bool quick_cond = true;
    for (;;) {
        stack::data_top = stack::base + 1;
        // A condition done without the evaluator left nothing pending.
        if (!interp::eval_body(cond, quick_cond)) {
            if (frame::unwinding == throw_code::break_ || frame::unwinding == throw_code::continue_) {
                if (frame::top() == loop.frame) {
                    frame::unwinding = 0;
                    error::raise(ErrorId::throw__while_cond);
                }
            }
            if (pending()) return;
        }
        if (!true_q(stack::base[0], true)) break;
        Step s = run_body(loop, body);
        if (s == Step::leave) return;
        if (s == Step::stop) break;
    }
    stack::base[0] = cell::unset();
    finish(loop);
    result(cell::unset());
}

void until(const int32_t*) {
    Cell body = arg(0);
    Loop loop;
    for (;;) {
        stack::data_top = stack::base + 1;
        try {
            interp::eval_block(body, true);
        } catch (const Throw& t) {
            if (t.code == throw_code::error) throw;
            frame::unwinding = t.code;
        }
        uint32_t u = frame::unwinding;
        if (u) {
            if (frame::top() != loop.frame || (u != throw_code::break_ && u != throw_code::continue_)) return;
            frame::unwinding = runtime::pending_code = 0;
            if (u == throw_code::break_) break;
            continue;  // the next iteration, without testing
        }
        if (true_q(stack::base[0], true)) break;
    }
    finish(loop);
}

void loop(const int32_t*) {
    int32_t count = loop_count(arg(0));
    Cell body = arg(1);
    if (count < 1) return result(cell::none());
    Loop l;
    for (int32_t i = 0; i < count; ++i) {
        Step s = run_body(l, body);
        if (s == Step::leave) return;
        if (s == Step::stop) break;
    }
    finish(l);
}

void repeat(const int32_t*) {
    Cell w = arg(0);
    int32_t count = loop_count(arg(1));
    Cell body = arg(2);
    if (count < 1) return result(cell::none());
    Loop l;
    for (int32_t i = 1; i <= count; ++i) {
        word::set(w, cell::integer(i));
        Step s = run_body(l, body);
        if (s == Step::leave) return;
        if (s == Step::stop) break;
    }
    finish(l);
}

void forever(const int32_t*) {
    Cell body = arg(0);
    Loop l;
    for (;;) {
        Step s = run_body(l, body);
        if (s == Step::leave) return;
        if (s == Step::stop) break;
    }
    finish(l);
}

// ---- function makers ----

// Makes a function! with no compiled body from a spec and a body; the result of func.
void make_function(Cell spec, Cell body) {
    uint32_t spec_len = memory::buffer_of(spec.data2)->length();
    if (spec.data1 > spec_len) spec.data1 = spec_len;
    uint32_t body_len = memory::buffer_of(body.data2)->length();
    if (body.data1 > body_len) body.data1 = body_len;
    uint32_t flags = function::validate_spec(spec);
    Cell* top = stack::data_top;
    function::make_value(spec, &body, 0, 0, 0, flags);
    Cell made = top[0];
    stack::data_top = top;
    result(made);
}

void func(const int32_t*) { make_function(arg(0), arg(1)); }

void function_(const int32_t*) { make_function(function::collect_locals(arg(0), arg(1)), arg(1)); }

void does(const int32_t*) {
    Cell spec = cell::make(TypeId::block, 0, series::alloc_cells(1), 0);
    make_function(spec, arg(0));
}

void has(const int32_t*) {
    Cell vars = arg(0);
    Node spec = series::alloc_cells(block::length_from_head(vars) + 1);
    SeriesBuffer* b = memory::buffer_of(spec);
    *series::reserve_cell(b) = words::local_refinement;
    for (uint32_t i = vars.data1; i < memory::buffer_of(vars.data2)->length(); ++i) {
        Cell w = memory::buffer_of(vars.data2)->cells()[i];
        b = memory::buffer_of(spec);
        *series::reserve_cell(b) = w;
    }
    make_function(cell::make(TypeId::block, 0, spec, 0), arg(1));
}

// ---- series loops ----

bool series_type(TypeId t) {
    return t == TypeId::block || t == TypeId::paren || t == TypeId::hash ||
           (t >= TypeId::path && t <= TypeId::get_path) || t == TypeId::string || t == TypeId::file ||
           t == TypeId::url || t == TypeId::tag || t == TypeId::email || t == TypeId::ref ||
           t == TypeId::binary || t == TypeId::vector || t == TypeId::image;
}

bool block_type(TypeId t) {
    return t == TypeId::block || t == TypeId::paren || t == TypeId::hash ||
           (t >= TypeId::path && t <= TypeId::get_path);
}

// A block's length? and items, read in place: no block type has a length? or pick of its own.
inline uint32_t cells_left(const Cell& block) {
    uint32_t n = memory::buffer_of(block.data2)->length();
    return block.data1 < n ? n - block.data1 : 0;
}
inline Cell cell_at(const Cell& block, uint32_t offset) {
    SeriesBuffer* b = memory::buffer_of(block.data2);
    uint32_t i = block.data1 + offset;
    return i < b->length() ? b->cells()[i] : cell::none();
}

uint32_t length_of(const Cell& series) {
    if (block_type(type_of(series))) return cells_left(series);
    // An image's length? is its whole size wherever its head is: a loop walks from the head.
    if (is(series, TypeId::image)) {
        Cell s = series;
        return series_::length_from_head(s);
    }
    LengthAction length = registry::actions(type_of(series)).length_q;
    int32_t n = length ? length(series) : 0;
    return n > 0 ? uint32_t(n) : 0;
}

// The item at `offset` past the series' head: the cell itself for blocks, else through pick.
Cell item_at(const Cell& series, uint32_t offset) {
    if (block_type(type_of(series))) return cell_at(series, offset);
    PickAction pick = registry::actions(type_of(series)).pick;
    Cell index = cell::integer(int32_t(offset) + 1);
    return pick ? pick(series, int32_t(offset) + 1, index) : cell::none();
}

// The words a loop sets: one word, or the words of a block.
struct LoopWords {
    Cell spec;
    uint32_t count;
    Cell word(uint32_t i) const {
        if (is(spec, TypeId::word)) return spec;
        return memory::buffer_of(spec.data2)->cells()[spec.data1 + i];
    }
};

LoopWords loop_words(const Cell& spec, const Cell& series) {
    if (is(spec, TypeId::block)) {
        uint32_t n = block::length_from_head(spec);
        if (n == 0) error::raise(ErrorId::script_invalid_arg, spec);
        LoopWords words{spec, n};
        for (uint32_t i = 0; i < n; ++i) {
            TypeId t = type_of(words.word(i));
            if (t != TypeId::word && t != TypeId::set_word && t != TypeId::get_word && t != TypeId::lit_word)
                error::raise(ErrorId::script_invalid_arg, words.word(i));
        }
        return words;
    }
    if (is(series, TypeId::map)) error::raise(ErrorId::script_invalid_arg, spec);
    return {spec, 1};
}

// foreach and remove-each: each iteration sets the words from the next items.
void each(bool remove) {
    Cell spec = arg(0), series = arg(1), body = arg(2);
    LoopWords words = loop_words(spec, series);
    Cell start = series;
    Loop l;
    if (is(series, TypeId::map)) {
        // A map is walked as key/value pairs, removed pairs skipped.
        if (words.count != 2) error::raise(ErrorId::script_invalid_arg, spec);
        while (map::foreach_set_words(spec, series, 2)) {
            Step s = run_body(l, body);
            if (s == Step::leave) return;
            if (s == Step::stop) break;
        }
        return finish(l);
    }
    // A block's cells are read in place; its type stays the same as the loop moves along it.
    bool cells = block_type(type_of(series));
    for (;;) {
        uint32_t available = cells ? cells_left(series) : length_of(series);
        if (available == 0) break;
        for (uint32_t i = 0; i < words.count; ++i) {
            Cell w = words.word(i);
            word::set(w, i >= available ? cell::none() : cells ? cell_at(series, i) : item_at(series, i));
        }
        uint32_t step = std::min(words.count, available);
        Step s = run_body(l, body);
        if (s == Step::leave) return;
        if (s == Step::stop) break;
        // A continue keeps the items: the return slot still holds an earlier body's result.
        if (remove && s == Step::next && true_q(stack::base[0], false)) {
            RemoveAction rm = registry::actions(type_of(series)).remove;
            Cell part = cell::integer(int32_t(step));
            Cell target = series;
            rm(target, &part, nullptr);
        } else {
            series.data1 += step;
        }
    }
    if (remove) stack::base[0] = start;
    finish(l);
}

void foreach(const int32_t*) { each(false); }
void remove_each(const int32_t*) { each(true); }

void forall(const int32_t*) {
    Cell w = arg(0), body = arg(1);
    Cell series = *word::get(w);
    if (!series_type(type_of(series)))
        error::raise(ErrorId::script_expect_arg, frame::function_word(), cell::datatype(type_of(series)), w);
    uint32_t start = series.data1;
    Loop l;
    bool broke = false;
    while (length_of(series) > 0) {
        Step s = run_body(l, body);
        if (s == Step::leave) return;
        Cell now = *word::get(w);
        if (now.data2 != series.data2) error::raise(ErrorId::script_bad_loop_series, now);
        if (s == Step::stop) {
            broke = true;
            break;
        }
        series = now;
        ++series.data1;
        word::set(w, series);
    }
    if (!broke) {
        series.data1 = start;
        word::set(w, series);
    }
    finish(l);
}

void switch_(const int32_t* refs) {
    Cell value = arg(0), cases = arg(1);
    if (!is(value, TypeId::block)) {
        Node code = cases.data2;
        uint32_t n = memory::buffer_of(code)->length();
        for (uint32_t i = cases.data1; i < n; ++i) {
            Cell c = memory::buffer_of(code)->cells()[i];
            if (type_of(c) != type_of(value) || is(c, TypeId::block)) continue;
            CompareAction compare = registry::actions(type_of(c)).compare;
            if (!compare || compare(c, value, CompareOp::equal) != 0) continue;
            for (uint32_t j = i + 1; j < n; ++j) {
                Cell b = memory::buffer_of(code)->cells()[j];
                if (is(b, TypeId::block)) return eval_into_result(b);
            }
            return result(cell::none());
        }
    }
    if (given(refs, 0)) return eval_into_result(arg(uint32_t(refs[0])));
    result(cell::none());
}

void case_(const int32_t* refs) {
    Cell cases = arg(0);
    bool all_cases = given(refs, 0);
    Node code = cases.data2;
    uint32_t pos = cases.data1;
    Cell last = cell::none();
    bool last_true = false;
    auto length = [&] { return memory::buffer_of(code)->length(); };
    while (pos < length()) {
        Cell* top = stack::data_top;
        pos = interp::eval_expression(code, pos, length(), false, true, false);
        if (pending()) return;
        Cell cond = top[0];
        stack::data_top = top;
        if (pos >= length()) error::raise(ErrorId::script_need_value, cond);
        last_true = true_q(cond, true);
        if (!last_true) {
            ++pos;
            continue;
        }
        Cell branch = memory::buffer_of(code)->cells()[pos];
        if (is(branch, TypeId::block)) {
            Cell* t = stack::data_top;
            interp::eval_block(branch, false);
            if (pending()) return;
            last = t[0];
            stack::data_top = t;
            ++pos;
        } else {
            Cell* t = stack::data_top;
            pos = interp::eval_expression(code, pos, length(), false, true, false);
            if (pending()) return;
            last = t[0];
            stack::data_top = t;
        }
        if (!all_cases) return result(last);
    }
    result(all_cases && last_true ? last : cell::none());
}

// do/trace: installs the tracer for the duration of this do, unless one is installed.
struct Tracing {
    bool installed = false;
    CallFrame* caller = nullptr;
    explicit Tracing(const int32_t* refs) {
        if (!given(refs, 3)) return;
        caller = frame::mark_caller_return_target();
        if (interp::state.trace_enable) return;
        Cell callback = arg(uint32_t(refs[3]));
        interp::state.tracer = callback;
        interp::state.tracer_locals = uint32_t(std::max(function::count_local_slots(callback.data2, 0, false), 0));
        interp::state.mask = interp::event_mask(callback);
        interp::state.tracing = interp::state.trace_enable = true;
        installed = true;
        interp::fire_event(interp::ev_init, 0, -1, nullptr, nullptr);
    }
    void end() {
        if (caller) frame::clear_return_target(caller);
        if (!installed) return;
        uint32_t pending = runtime::pending_code;
        if (interp::state.tracing) interp::fire_event(interp::ev_end, 0, -1, nullptr, nullptr);
        runtime::pending_code = pending;
        remove();
    }
    void remove() {
        interp::state.tracer = cell::unset();
        interp::state.tracing = interp::state.trace_enable = false;
        installed = false;
    }
};

void do_value(const int32_t* refs);

// A function of the environment by its word, or its path from a global word ("a/b").
Cell environment_function(std::string_view name) {
    size_t slash = name.find('/');
    Cell value = *word::get(word::from_c_string(std::string(name.substr(0, slash)).c_str()));
    if (slash != std::string_view::npos) {
        if (!is(value, TypeId::object)) error::raise(ErrorId::internal_not_done);
        Cell w = word::from_c_string(std::string(name.substr(slash + 1)).c_str());
        int32_t at = context::find_symbol(value.data1, w.data2, true);
        if (at < 0) error::raise(ErrorId::internal_not_done);
        value = *context::value_at(value.data1, uint32_t(at));
    }
    if (!is(value, TypeId::function)) error::raise(ErrorId::internal_not_done);
    return value;
}

void do_(const int32_t* refs) {
    if (!given(refs, 3)) return do_value(refs);
    Tracing tracing(refs);
    try {
        do_value(refs);
    } catch (...) {
        // An error ends the traced do; the tracer is removed without an end event when the
        // error came from the tracer itself (tracing is off then).
        if (tracing.caller) frame::clear_return_target(tracing.caller);
        if (tracing.installed) tracing.remove();
        throw;
    }
    tracing.end();
    // A return or exit from the traced code stopped at the caller's frame so that the trace
    // could end; it goes on from there to the next return target.
    uint32_t u = frame::unwinding;
    if (tracing.caller && (u == throw_code::return_ || u == throw_code::exit) && frame::top() == tracing.caller) {
        frame::unwinding = 0;
        frame::unwind_return(u == throw_code::return_, false);
    }
}

void do_value(const int32_t* refs) {
    Cell value = arg(0);
    switch (type_of(value)) {
        case TypeId::block:
        case TypeId::paren:
        case TypeId::hash: {
            uint32_t n = memory::buffer_of(value.data2)->length();
            if (value.data1 > n) value.data1 = n;
            if (given(refs, 0)) {
                // The environment's preprocessor rewrites the block in place first.
                Cell expand = environment_function("preprocessor/expand");
                Cell args[2] = {value, cell::none()};
                interp::call(expand, args, 2);
                value = arg(0);
                n = memory::buffer_of(value.data2)->length();
                if (value.data1 > n) value.data1 = n;
            }
            if (given(refs, 2)) {  // /next position
                Cell target = arg(uint32_t(refs[2]));
                uint32_t next = interp::eval_next(value);
                if (pending()) return;
                Cell moved = value;
                moved.data1 = next;
                word::set(target, moved);
                return;
            }
            return interp::eval_block(cell::set_type(value, TypeId::block), true);
        }
        case TypeId::path:
            interp::eval_path(value, 0, 0, 0, false, false, false, false);
            return;
        case TypeId::string:
            return interp::eval_block(lexer::load_text(value), true);
        case TypeId::file:
        case TypeId::url: {
            // Scripts run through the environment's do-file: header, directives, directory.
            Cell args[3] = {value, given(refs, 3) ? arg(uint32_t(refs[3])) : cell::none(),
                            given(refs, 1) ? arg(uint32_t(refs[1])) : cell::none()};
            return result(interp::call(environment_function("do-file"), args, 3));
        }
        case TypeId::error:
            error::raise_value(value);
        default: {
            // One expression starting at the value.
            Node code = series::alloc_cells(1);
            SeriesBuffer* b = memory::buffer_of(code);
            *series::reserve_cell(b) = value;
            interp::eval_expression(code, 0, 1, false, false, false);
            return;
        }
    }
}

void get(const int32_t* refs) {
    Cell w = arg(0);
    bool any_value = given(refs, 0);
    if (word::any_word_type_q(type_of(w))) {
        Cell v = *word::get(w);
        if (is(v, TypeId::unset) && !any_value) error::raise(ErrorId::script_no_value, w);
        return result(v);
    }
    if (is(w, TypeId::path) || is(w, TypeId::get_path) || is(w, TypeId::set_path) || is(w, TypeId::lit_path)) {
        interp::eval_path(w, 0, 0, 0, false, true, false, given(refs, 1));
        return;
    }
    // An object gives the block of its values.
    result(registry::actions(type_of(w)).reflect(w, sym::values));
}

void set(const int32_t* refs) {
    Cell target = arg(0), value = arg(1);
    bool any_value = given(refs, 0);
    if (is(value, TypeId::unset) && !any_value) error::raise(ErrorId::script_need_value, target);
    if (word::any_word_type_q(type_of(target))) {
        word::set(target, value);
        return result(value);
    }
    if (is(target, TypeId::path) || is(target, TypeId::set_path) || is(target, TypeId::get_path) ||
        is(target, TypeId::lit_path)) {
        // The path is walked in set mode with the value in the frame's first cell.
        stack::base[0] = value;
        interp::eval_path(target, 0, 0, 0, true, false, false, given(refs, 1));
        return result(value);
    }
    if (object::object_type_q(type_of(target))) {
        object::set_fields(target, value, any_value, given(refs, 2), given(refs, 3));
        return result(value);
    }
    if (is(target, TypeId::block)) {
        bool only = given(refs, 2), some = given(refs, 3);
        Node words = target.data2;
        uint32_t n = memory::buffer_of(words)->length();
        bool spread = !only && (block_type(type_of(value)) || is(value, TypeId::map));
        auto item = [&](uint32_t i) -> Cell {
            if (!spread) return value;
            uint32_t at = value.data1 + (i - target.data1);
            SeriesBuffer* b = memory::buffer_of(value.data2);
            return at < b->length() ? b->cells()[at] : cell::none();
        };
        for (uint32_t i = target.data1; i < n; ++i) {
            Cell w = memory::buffer_of(words)->cells()[i];
            TypeId t = type_of(w);
            if (t != TypeId::word && t != TypeId::set_word && t != TypeId::get_word && t != TypeId::lit_word)
                error::raise(ErrorId::script_invalid_arg, w);
            if (!any_value && is(item(i), TypeId::unset)) error::raise(ErrorId::script_need_value, w);
        }
        for (uint32_t i = target.data1; i < n; ++i) {
            Cell w = memory::buffer_of(words)->cells()[i];
            Cell v = item(i);
            if (some && is(v, TypeId::none)) continue;
            word::set(w, v);
        }
        return result(value);
    }
    error::raise(ErrorId::internal_not_done);
}

// ---- control transfers ----

void break_(const int32_t* refs) {
    if (given(refs, 0)) stack::base[0] = arg(uint32_t(refs[0]));
    frame::unwind_break(given(refs, 0), false);
}

void continue_(const int32_t*) { frame::unwind_break(false, true); }
void exit_(const int32_t*) { frame::unwind_return(false, true); }
void return_(const int32_t*) { frame::unwind_return(true, true); }

void throw_(const int32_t* refs) {
    Cell value = arg(0);
    Cell name = given(refs, 0) ? arg(uint32_t(refs[0])) : cell::none();
    if (interp::state.tracing) interp::fire_event(interp::ev_throw, 0, -1, nullptr, &value);
    stack::base[0] = value;
    stack::base[1] = name;
    stack::data_top = stack::base + 2;
    frame::unwind_throw(throw_code::throw_);
}

void catch_(const int32_t* refs) {
    Cell block = arg(0);
    Cell want = given(refs, 0) ? arg(uint32_t(refs[0])) : cell::none();
    frame::push_catch(words::catch_);
    CallFrame* me = frame::top();
    stack::push(cell::unset());
    try {
        interp::eval_block(block, true);
    } catch (const Throw& t) {
        if (t.code == throw_code::error) throw;
        frame::unwinding = t.code;
    }
    if (frame::unwinding) {
        if (frame::unwinding != throw_code::throw_ || frame::top() != me) return;
        // The catch frame's base holds the thrown value and its name.
        Cell thrown = stack::base[0], name = stack::base[1];
        bool match = !given(refs, 0);
        if (!match && is(name, TypeId::word)) {
            if (word::any_word_type_q(type_of(want))) {
                match = symbol::canonical_id(want.data2) == symbol::canonical_id(name.data2);
            } else if (is(want, TypeId::block)) {
                for (uint32_t i = want.data1; i < memory::buffer_of(want.data2)->length(); ++i) {
                    Cell w = memory::buffer_of(want.data2)->cells()[i];
                    if (!word::any_word_type_q(type_of(w))) {
                        // The throw ends here: the error replaces it.
                        frame::unwinding = runtime::pending_code = 0;
                        frame::thrown_at = nullptr;
                        error::raise(ErrorId::script_invalid_arg, want);
                    }
                    if (symbol::canonical_id(w.data2) == symbol::canonical_id(name.data2)) match = true;
                }
            }
        }
        if (!match) {
            // Pass the throw on to the next catch frame.
            frame::unwinding = 0;
            frame::pop();
            stack::base[0] = thrown;
            stack::base[1] = name;
            frame::unwind_throw(throw_code::throw_);
            return;
        }
        frame::unwinding = runtime::pending_code = 0;
        frame::thrown_at = nullptr;  // the throw is over: later errors name their own frames
        frame::pop();
        result(thrown);
        if (interp::state.tracing) interp::fire_event(interp::ev_catch, 0, -1, nullptr, &thrown);
        return;
    }
    frame::pop_return();
}

void try_(const int32_t* refs) {
    Cell block = arg(0);
    bool all_codes = given(refs, 0);
    Cell* saved_top = stack::data_top;
    CallFrame* saved_frames = stack::frames_top;
    if (all_codes) frame::push_trap_all(words::try_);
    else frame::push_trap(words::try_);
    CallFrame* me = frame::top();
    stack::push(cell::unset());
    try {
        interp::eval_block(block, true);
    } catch (const Throw& t) {
        if (t.code != throw_code::error) {
            frame::unwinding = t.code;
        } else {
            // The error was pushed where the trap frame stood; it becomes the result.
            Cell e = stack::data_top[-1];
            // The frames the error left are still in place below the stack top: name them now.
            if (given(refs, 1)) error::fill_stack(e);
            stack::frames_top = saved_frames;
            stack::data_top = saved_top;
            runtime::pending_code = 0;
            return result(e);
        }
    }
    if (frame::unwinding) {
        if (!all_codes || frame::top() != me) return;
        // try/all stops every unwind at its barrier.
        frame::unwinding = runtime::pending_code = 0;
    }
    frame::pop_return();
}

// ---- apply ----

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

}  // namespace control

void init_control() {
    define(Number::if_, control::if_);
    define(Number::unless, control::unless);
    define(Number::either, control::either);
    define(Number::any, control::any);
    define(Number::all, control::all);
    define(Number::while_, control::while_);
    define(Number::until, control::until);
    define(Number::loop, control::loop);
    define(Number::repeat, control::repeat);
    define(Number::forever, control::forever);
    define(Number::foreach, control::foreach);
    define(Number::forall, control::forall);
    define(Number::remove_each, control::remove_each);
    define(Number::func, control::func);
    define(Number::function, control::function_);
    define(Number::does, control::does);
    define(Number::has, control::has);
    define(Number::switch_, control::switch_);
    define(Number::case_, control::case_);
    define(Number::do_, control::do_);
    define(Number::get, control::get);
    define(Number::set, control::set);
    define(Number::break_, control::break_);
    define(Number::continue_, control::continue_);
    define(Number::exit, control::exit_);
    define(Number::return_, control::return_);
    define(Number::throw_, control::throw_);
    define(Number::catch_, control::catch_);
    define(Number::try_, control::try_);
    define(Number::apply, control::apply);
}

}  // namespace kaz::natives
