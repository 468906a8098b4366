#include "evaluator/natives_gc.h"

#include "datatypes/context.h"
#include "datatypes/ownership.h"
#include "datatypes/symbol.h"
#include "evaluator/interp.h"
#include "evaluator/lexer.h"
#include "evaluator/natives.h"
#include "runtime/gc.h"
#include "runtime/stack.h"

namespace kaz::natives {
namespace {

// recycle: /on and /off switch automatic collection; without them a collection runs at once,
// even when switched off, and the bytes in use are returned as stats returns them.
void recycle_(const int32_t* refs) {
    if (stack::data_top == stack::base) stack::push(cell::unset());  // reserve the return slot
    if (given(refs, 0) || given(refs, 1)) {
        if (given(refs, 0)) gc::set_enabled(true);
        if (given(refs, 1)) gc::set_enabled(false);
        stack::base[0] = cell::unset();
        return;
    }
    gc::collect();
    uint64_t used = gc::bytes_in_use();
    stack::base[0] = used <= 0x7FFFFFFFull ? cell::integer(int32_t(used)) : cell::float_(double(used));
}

// The tracer and the block being evaluated live in the interpreter's state, outside any series.
void mark_interpreter() {
    gc::mark_cell(interp::state.tracer);
    gc::mark_cell(interp::state.current_block);
}

// The values, sources and callbacks of every running lexer scan.
void mark_lexer_scans() {
    lexer::for_each_live([](const Cell& c, void*) { gc::mark_cell(c); }, nullptr);
}

}  // namespace

void init_gc() { define(Number::recycle, recycle_); }

void register_gc_roots() {
    gc::add_root(symbol::table, gc::Root::table);    // every symbol's name, by the symbol table
    gc::add_root(context::global, gc::Root::block);  // the global context and its values
    gc::set_ownership_table(ownership::table);       // held weakly
    gc::add_mark_callback(mark_interpreter);
    gc::add_mark_callback(mark_lexer_scans);
}

}  // namespace kaz::natives
