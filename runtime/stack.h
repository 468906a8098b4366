// The data stack, on which natives, actions and the interpreter exchange values, and the
// call-frame stack that records every call, with the unwinders behind break, continue,
// return, exit, throw and raised errors.
#pragma once

#include <cstdint>

#include "runtime/cell.h"
#include "runtime/memory.h"
#include "runtime/throw.h"

namespace kaz {

enum class FrameKind : uint8_t {
    function = 1,    // function call
    native = 2,      // native or action call, compiled function body
    trap = 4,        // error trap: try, attempt, load
    trap_all = 5,    // try/all: a barrier break, continue, return, exit and throw may not cross
    catch_ = 6,      // target of throw
    eval_block = 7,  // the interpreter evaluating a block
    loop = 8,        // target of break and continue
};

// One record per call. Bases are cell indexes into the data stack, which never moves.
struct CallFrame {
    uint32_t header;          // bits 24-27 kind, bit 28 return target, bits 29-30 tracing left on
                              // return (set, on), bit 31 pushed by the interpreter
    uint32_t symbol;          // symbol id of the called word
    uint32_t saved_base;      // the caller's base
    Node word_context;        // context of the called word
    Node function_context;    // context of the called function, or 0
    uint32_t saved_values;    // that context's values before the call

    FrameKind kind() const { return FrameKind((header >> 24) & 0xF); }
    bool return_target_q() const { return (header & (1u << 28)) != 0; }
    bool interpreted_q() const { return (header & (1u << 31)) != 0; }
};

namespace frame_bits {
inline constexpr uint32_t return_target = 1u << 28;
// A function that switched tracing (`trace true`/`false`) leaves it so when it returns, instead
// of restoring what its caller had.
inline constexpr uint32_t tracing_set = 1u << 29;
inline constexpr uint32_t tracing_on = 1u << 30;
inline constexpr uint32_t interpreted = 1u << 31;
constexpr uint32_t kind(FrameKind k) { return uint32_t(k) << 24; }
}  // namespace frame_bits

namespace stack {

inline constexpr uint32_t kDataCells = 20'000;
inline constexpr uint32_t kFrameRecords = 12'000;
// Cells of the block that holds the call-frame records.
inline constexpr uint32_t kFrameCells = kFrameRecords * sizeof(CallFrame) / sizeof(Cell);

extern Cell* data_begin;
extern Cell* data_end;
extern Cell* data_top;  // next free cell
extern Cell* base;  // the current frame's return slot; its arguments follow it
extern CallFrame* frames_begin;
extern CallFrame* frames_end;
extern CallFrame* frames_top;  // next free record

// Symbols the walks need: frames named <body> or <anon> are skipped; <not-found> names the
// word a walk returns when every frame was skipped. Set once the symbols exist.
struct WalkSymbols {
    uint32_t body, anon, not_found;
};
extern WalkSymbols walk_symbols;

// Sets both stacks over the two blocks made at boot (their buffers never move).
void init(Node data_block, Node frames_block);
bool ready();

inline uint32_t index_of(const Cell* c) { return uint32_t(c - data_begin); }
inline Cell* at(uint32_t index) { return data_begin + index; }

Cell* reset();        // data_top = base
Cell* keep_return();  // data_top = base + 1
[[noreturn]] void overflow(Cell* new_top);
// The next cell; a full stack raises internal stack-overflow. Inline: the interpreter pushes
// every value it evaluates.
inline Cell* reserve_cell() {
    Cell* c = data_top;
    if (c + 1 >= data_end) [[unlikely]] overflow(c + 1);
    data_top = c + 1;
    return c;
}
// A cell's 16 bytes as one vector: moved by one load and one store, never rebuilt from words.
using CellBits = uint32_t __attribute__((vector_size(16), may_alias));
inline Cell* push(const Cell& value) {
    CellBits copy = *reinterpret_cast<const CellBits*>(&value);  // the value may live on the stack itself
    Cell* c = reserve_cell();
    *reinterpret_cast<CellBits*>(c) = copy;
    return c;
}
void pop(uint32_t n);
void pop_into_below();
Cell* top();  // the newest cell (data_begin when empty)
TypeId top_type();
bool top_function_q();
void set_return(const Cell& c);
void set_return_only(const Cell& c);
void trap_result();

}  // namespace stack

namespace frame {

[[noreturn]] void overflow();
// The values of a function context live in data2 of the context's first cell. Inline: every
// function call saves and restores them.
inline uint32_t& context_values(Node context) { return memory::buffer_of(context)->cells()[0].data2; }

// Pushes a record named by `word` (a word cell); returns the new base. A full call-frame
// stack raises internal stack-overflow. Inline: every call the interpreter makes pushes one.
inline Cell* push(const Cell& word, uint32_t bits) {
    using namespace stack;
    if (frames_top >= frames_end) [[unlikely]] overflow();
    CallFrame* f = frames_top++;
    f->header = bits;
    f->symbol = word.data2;
    f->saved_base = index_of(base);
    f->word_context = word.data1;
    f->function_context = 0;
    f->saved_values = 0;
    base = data_top;
    return base;
}
inline Cell* push_function(const Cell& word, Node function_context) {
    Cell* b = push(word, frame_bits::kind(FrameKind::function));
    if (function_context) {
        CallFrame* f = stack::frames_top - 1;
        f->function_context = function_context;
        f->saved_values = context_values(function_context);
    }
    return b;
}
inline Cell* push_interp_function(const Cell& word, Node function_context) {
    Cell* b = push_function(word, function_context);
    stack::frames_top[-1].header |= frame_bits::interpreted;
    return b;
}
inline Cell* push_native(const Cell& word) { return push(word, frame_bits::kind(FrameKind::native)); }
inline Cell* push_interp_native(const Cell& word) {
    return push(word, frame_bits::kind(FrameKind::native) | frame_bits::interpreted);
}
Cell* push_function_body(const Cell& word, Node context);
Cell* push_trap(const Cell& word);
Cell* push_trap_all(const Cell& word);
Cell* push_catch(const Cell& word);
Cell* push_eval_block(const Cell& word);
Cell* push_loop(const Cell& word);

void set_top(CallFrame* record);
void set_return_target(bool on);
void mark_interpreted();
CallFrame* mark_caller_return_target();
void clear_return_target(CallFrame* f);
CallFrame* top();  // null when empty
bool empty_q();
bool interpreted_q(const CallFrame* from, bool just_one);

// Pops the top record; the popped frame's return slot stays as the newest cell. With
// `restore`, a function record gives its context back its previous values; with
// `copy_return`, the return slot is also copied into the caller's.
inline void pop_record(bool restore, bool copy_return) {
    using namespace stack;
    CallFrame* f = --frames_top;
    if (restore && f->function_context) context_values(f->function_context) = f->saved_values;
    Cell* popped_base = base;
    Cell* saved = at(f->saved_base);
    if (copy_return) *saved = *popped_base;
    data_top = popped_base + 1;
    base = saved;
}
inline void pop() { pop_record(false, false); }
inline void pop_function() { pop_record(true, false); }
inline void pop_return() { pop_record(false, true); }
inline void pop_function_return() { pop_record(true, true); }
void pop_reset();
void pop_function_reset();
void pop_discard();
void pop_drop_top();

// Pops records down to the nearest one of `kind` (or a try/all barrier, or the bottom),
// which stays the top frame; returns it.
CallFrame* unwind_to(FrameKind kind, bool keep);
CallFrame* unwind_loop(bool keep);
CallFrame* return_to(FrameKind kind);

// The unwinders of the control natives. Each leaves the target frame on top with the value in
// its return slot and sets `unwinding` to its code: the unwind then travels as pending state
// through the interpreter, which checks it after every evaluation and leaves each level until
// the target takes it. Where it must cross other C++ code it travels as Throw (raise_pending).
// With no target frame, or across a try/all barrier, each raises the throw error of its kind
// with the stacks as they were.
void unwind_break(bool value_given, bool continue_);
void unwind_return(bool with_value, bool skip_own_frame);
void unwind_throw(uint32_t code);
// The general case of return_at_once below: its target found by walking the frames.
bool return_at_once_walk(const Cell& value, bool with_value);

// The code of the unwind in flight as pending state (0 when none).
extern uint32_t unwinding;

// A return or exit whose call pushed no frame: the unwind unwind_return would make from its
// frame, made from the top one. False, with nothing changed, when it has no target (its
// call must raise the error that names it).
inline bool return_at_once(const Cell& value, bool with_value) {
    using namespace stack;
    CallFrame* f = frames_top - 1;
    // Mostly the return stands in its function's own body: the target is the top frame, and
    // settling on it only resets the data stack to its base.
    if (f < frames_begin || !f->return_target_q() || f->kind() == FrameKind::trap_all) [[unlikely]]
        return return_at_once_walk(value, with_value);
    Cell v = with_value ? value : cell::unset();  // the value may live on the stack
    data_top = base;
    *base = v;
    unwinding = runtime::pending_code = with_value ? throw_code::return_ : throw_code::exit;
    return true;
}

// Turns a pending unwind into the C++ exception, for callers that cannot check for one.
inline void raise_pending() {
    if (unwinding) {
        uint32_t code = unwinding;
        unwinding = 0;
        throw Throw{code};
    }
}
// Takes a raised error to the nearest trap, or ends the process when there is none.
[[noreturn]] void throw_error(const Cell& error);

// The word of the nearest named frame, or <not-found>.
Cell function_word();
void rename(const Cell& word);
// Appends, from the top frame down, each frame's word and the index of its saved base.
void collect_calls(Node block);

// The top frame recorded by the last throw unwinding, consumed by function_word.
extern CallFrame* thrown_at;

}  // namespace frame
}  // namespace kaz
