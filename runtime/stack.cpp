#include "runtime/stack.h"

#include "runtime/cycles.h"
#include "runtime/error.h"
#include "runtime/gc.h"
#include "runtime/memory.h"
#include "runtime/throw.h"

namespace kaz {
namespace stack {

Cell* data_begin = nullptr;
Cell* data_end = nullptr;
Cell* data_top = nullptr;
Cell* base = nullptr;
CallFrame* frames_begin = nullptr;
CallFrame* frames_end = nullptr;
CallFrame* frames_top = nullptr;
WalkSymbols walk_symbols{};

void init(Node data_block, Node frames_block) {
    SeriesBuffer* d = memory::buffer_of(data_block);
    data_begin = reinterpret_cast<Cell*>(d->data());
    data_end = data_begin + kDataCells;
    data_top = base = data_begin;
    SeriesBuffer* f = memory::buffer_of(frames_block);
    frames_begin = reinterpret_cast<CallFrame*>(f->data());
    frames_end = frames_begin + kFrameRecords;
    frames_top = frames_begin;
    frame::thrown_at = nullptr;
}

bool ready() { return data_begin != nullptr; }

Cell* reset() {
    data_top = base;
    return base;
}

Cell* keep_return() {
    data_top = base + 1;
    return base;
}

[[noreturn]] void overflow(Cell* new_top) {
    cycles::reset();
    data_top = new_top - 5 < data_begin ? data_begin : new_top - 5;
    error::raise(ErrorId::internal_stack_overflow);
}

void pop(uint32_t n) { data_top = uint32_t(data_top - data_begin) < n ? data_begin : data_top - n; }

void pop_into_below() {
    --data_top;
    data_top[-1] = *data_top;
}

Cell* top() { return data_top == data_begin ? data_begin : data_top - 1; }
TypeId top_type() { return type_of(*top()); }

bool top_function_q() {
    TypeId t = top_type();
    return t == TypeId::function || t == TypeId::routine;
}

void set_return(const Cell& c) { *base = c; }

void set_return_only(const Cell& c) {
    Cell copy = c;
    data_top = base + 1;
    *base = copy;
}

void trap_result() {
    if (data_top > data_begin && is(data_top[-1], TypeId::error)) *base = data_top[-1];
    data_top = base + 1;
}

}  // namespace stack

namespace frame {

using stack::base;
using stack::data_begin;
using stack::frames_begin;
using stack::frames_top;
using stack::data_top;

CallFrame* thrown_at = nullptr;
uint32_t unwinding = 0;

namespace {

void restore_context(const CallFrame* f) {
    if (f->function_context) context_values(f->function_context) = f->saved_values;
}

// The base the record at `f` was pushed with: the saved base of the record above it, or the
// current base when it is the top record.
Cell* own_base(const CallFrame* f) {
    return f + 1 < frames_top ? stack::at(f[1].saved_base) : base;
}

}  // namespace


void overflow() {
    cycles::reset();
    Cell* t = data_top - 5;
    data_top = t < data_begin ? data_begin : t;
    error::raise(ErrorId::internal_stack_overflow);
}

Cell* push_function_body(const Cell& word, Node context) {
    // The locals of a compiled function live in the caller's frame cells; a running
    // data-stack context holds its first cell's index + 1 (0 means not running).
    context_values(context) = stack::index_of(base) + 1;
    return push(word, frame_bits::kind(FrameKind::native) | frame_bits::return_target);
}

Cell* push_trap(const Cell& word) { return push(word, frame_bits::kind(FrameKind::trap)); }
Cell* push_trap_all(const Cell& word) { return push(word, frame_bits::kind(FrameKind::trap_all)); }
Cell* push_catch(const Cell& word) { return push(word, frame_bits::kind(FrameKind::catch_)); }
Cell* push_eval_block(const Cell& word) {
    return push(word, frame_bits::kind(FrameKind::eval_block) | frame_bits::interpreted);
}
Cell* push_loop(const Cell& word) { return push(word, frame_bits::kind(FrameKind::loop)); }

void set_top(CallFrame* record) { frames_top = record; }

void set_return_target(bool on) {
    CallFrame* f = frames_top - 1;
    if (on) f->header |= frame_bits::return_target;
    else f->header &= ~frame_bits::return_target;
}

void mark_interpreted() { frames_top[-1].header |= frame_bits::interpreted; }

CallFrame* mark_caller_return_target() {
    CallFrame* f = frames_top - 2;
    if (f < frames_begin || f->return_target_q()) return nullptr;
    f->header |= frame_bits::return_target;
    return f;
}

void clear_return_target(CallFrame* f) { f->header &= ~frame_bits::return_target; }

CallFrame* top() { return frames_top > frames_begin ? frames_top - 1 : nullptr; }
bool empty_q() { return frames_top <= frames_begin; }

bool interpreted_q(const CallFrame* from, bool just_one) {
    if (!from) from = top();
    for (const CallFrame* f = from; f && f >= frames_begin; --f) {
        if (f->interpreted_q()) return true;
        if (just_one) return false;
    }
    return false;
}

// ---- pops ----

namespace {

enum class After { reset, discard, drop_top };

// The pops that leave the stacks otherwise than with the popped return slot on top.
void pop_record_then(bool restore, After after) {
    Cell* popped_base = base;
    Cell* old_top = data_top;
    pop_record(restore, false);
    bool now_empty = frames_top == frames_begin;
    switch (after) {
        case After::reset: data_top = base; return;
        case After::discard: data_top = popped_base; break;
        case After::drop_top: data_top = old_top - 1; break;
    }
    if (now_empty) base = data_begin;
}

bool function_frame(const CallFrame* f) { return f->kind() == FrameKind::function; }

}  // namespace

void pop_reset() { pop_record_then(false, After::reset); }
void pop_function_reset() { pop_record_then(true, After::reset); }
void pop_discard() { pop_record_then(function_frame(frames_top - 1), After::discard); }
void pop_drop_top() { pop_record_then(function_frame(frames_top - 1), After::drop_top); }

// ---- unwinding ----

CallFrame* unwind_to(FrameKind kind, bool keep) {
    CallFrame* start = frames_top;
    CallFrame* found;
    do {
        found = --frames_top;
        if (function_frame(found)) restore_context(found);
    } while (found > frames_begin && found->kind() != kind && found->kind() != FrameKind::trap_all);

    if (keep) frames_top = found + 1;
    if (frames_top == start) {
        data_top = base + 1;
    } else if (frames_top == frames_begin) {
        base = data_top = data_begin;
    } else {
        data_top = base + 1;
        base = stack::at(frames_top->saved_base);
    }
    frames_top = found + 1;
    return found;
}

CallFrame* unwind_loop(bool keep) { return unwind_to(FrameKind::loop, keep); }

CallFrame* return_to(FrameKind kind) {
    Cell result = *base;
    CallFrame* start = frames_top;
    Cell* base_before = base;
    CallFrame* found = unwind_to(kind, false);
    Cell* own = found + 1 < start ? stack::at(found[1].saved_base) : base_before;
    *own = result;
    base = data_top = own;
    return found;
}

namespace {

struct Saved {
    Cell* saved_base;
    Cell* saved_top;
    CallFrame* saved_frames_top;
    void restore() const {
        stack::base = saved_base;
        stack::data_top = saved_top;
        stack::frames_top = saved_frames_top;
    }
};

Saved save() { return {base, data_top, frames_top}; }

// Makes `f` the top frame with base and data top at its own return slot.
Cell* settle_at(CallFrame* f) {
    Cell* own = own_base(f);
    for (CallFrame* g = frames_top - 1; g > f; --g)
        if (function_frame(g)) restore_context(g);
    frames_top = f + 1;
    base = data_top = own;
    return own;
}

}  // namespace

void unwind_break(bool value_given, bool continue_) {
    Saved s = save();
    Cell value = *base;  // the native's first argument
    ErrorId no_loop = continue_ ? ErrorId::throw__continue_ : ErrorId::throw__break_;
    CallFrame* f = frames_top - 1;
    for (; f >= frames_begin; --f) {
        if (f->kind() == FrameKind::trap_all) break;
        if (f < frames_top - 1 && f->kind() == FrameKind::loop) break;
    }
    if (f < frames_begin || f->kind() != FrameKind::loop) {
        s.restore();
        error::raise(no_loop);
    }
    Cell* slot = settle_at(f);
    *slot = value_given && !continue_ ? value : cell::unset();
    unwinding = runtime::pending_code = continue_ ? throw_code::continue_ : throw_code::break_;
}

void unwind_return(bool with_value, bool skip_own_frame) {
    Saved s = save();
    Cell value = *base;
    CallFrame* f = frames_top - 1;
    if (skip_own_frame) --f;
    for (; f >= frames_begin; --f)
        if (f->kind() == FrameKind::trap_all || f->return_target_q()) break;
    if (f < frames_begin || f->kind() == FrameKind::trap_all) {
        s.restore();
        error::raise(ErrorId::throw__return_);
    }
    Cell* slot = settle_at(f);
    *slot = with_value ? value : cell::unset();
    unwinding = runtime::pending_code = with_value ? throw_code::return_ : throw_code::exit;
}

bool return_at_once_walk(const Cell& value, bool with_value) {
    CallFrame* f = frames_top - 1;
    for (; f >= frames_begin; --f)
        if (f->kind() == FrameKind::trap_all || f->return_target_q()) break;
    if (f < frames_begin || f->kind() == FrameKind::trap_all) return false;
    Cell v = value;  // the value may live on the stack
    Cell* slot = settle_at(f);
    *slot = with_value ? v : cell::unset();
    unwinding = runtime::pending_code = with_value ? throw_code::return_ : throw_code::exit;
    return true;
}

void unwind_throw(uint32_t code) {
    if (!thrown_at) thrown_at = frames_top - 1;
    Saved s = save();
    Cell value = base[0];
    Cell name = base[1];
    CallFrame* f = frames_top - 1;
    for (; f >= frames_begin; --f)
        if (f->kind() == FrameKind::trap_all || f->kind() == FrameKind::catch_) break;
    if (f < frames_begin || f->kind() == FrameKind::trap_all) {
        s.restore();
        error::raise(ErrorId::throw__throw_, value);
    }
    settle_at(f);
    stack::push(value);
    stack::push(name);
    unwinding = runtime::pending_code = code;
}

void throw_error(const Cell& error) {
    Cell err = error;
    bool trapped = false;
    if (!empty_q()) {
        Cell& where = error::field(err, error::where);
        if (is(where, TypeId::none)) where = function_word();
        Cell& stack_field = error::field(err, error::stack);
        if (!is(stack_field, TypeId::block))
            stack_field = cell::integer(int32_t(frames_top - frames_begin));
        Cell* kept_top = data_top;
        // Stops at a trap, a try/all barrier or the bottom frame; the trap frame goes too.
        CallFrame* found = unwind_to(FrameKind::trap, false);
        --frames_top;
        data_top = kept_top;
        trapped = found->kind() == FrameKind::trap || found->kind() == FrameKind::trap_all;
    }
    if (!trapped) error::show_untrapped(err);
    stack::push(err);
    runtime::throw_code(throw_code::error);
}

// ---- names ----

Cell function_word() {
    CallFrame* f = thrown_at ? thrown_at - 1 : frames_top - 1;
    thrown_at = nullptr;
    const auto& sym = stack::walk_symbols;
    for (; f >= frames_begin; --f) {
        if (f->symbol != sym.body && f->symbol != sym.anon)
            return cell::make(TypeId::word, f->word_context, f->symbol, 0xFFFFFFFF);
    }
    return cell::make(TypeId::word, 0, sym.not_found, 0xFFFFFFFF);
}

void rename(const Cell& word) {
    if (!is(word, TypeId::word)) return;
    CallFrame* f = thrown_at ? thrown_at - 1 : frames_top - 1;
    if (f >= frames_begin) f->symbol = word.data2;
}

void collect_calls(Node block) {
    const auto& sym = stack::walk_symbols;
    for (CallFrame* f = frames_top - 1; f > frames_begin; --f) {
        if (f->symbol == sym.body || f->symbol == sym.anon) continue;
        Node context = f->function_context ? f->function_context : f->word_context;
        SeriesBuffer* b = memory::buffer_of(block);
        *series::reserve_cell(b) = cell::make(TypeId::word, context, f->symbol, 0xFFFFFFFF);
        *series::reserve_cell(b) = cell::integer(int32_t(f->saved_base));
    }
}

void gc_mark() {
    for (const CallFrame* f = frames_begin; f < frames_top; ++f) {
        // Words bound through `self` name the owner's context record: marking it as a context
        // reaches the same cells as marking it as a block.
        gc::mark_context(f->word_context);
        if (!f->function_context || !memory::live_node_q(f->function_context)) continue;
        gc::mark_context(f->function_context);
        // A context whose values are on the data stack saved a cell index, not a series.
        bool on_stack = (memory::buffer_of(f->function_context)->cells()[0].header & 0x400000) != 0;
        if (!on_stack && f->saved_values) gc::mark_block(f->saved_values);
    }
}

}  // namespace frame
}  // namespace kaz
