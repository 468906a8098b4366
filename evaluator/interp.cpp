// The interpreter: blocks, expressions, infix operators, calls with their arguments and
// refinements, paths, and the trace events.
#include "evaluator/interp.h"


#include <array>
#include <cstring>
#include <memory>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/function.h"
#include "datatypes/internal.h"
#include "datatypes/logic.h"
#include "datatypes/registry.h"
#include "datatypes/symbol.h"
#include "datatypes/typeset.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/natives.h"
#include "evaluator/routines.h"
#include "platform/simd.h"
#include "runtime/error.h"
#include "runtime/hashtable.h"
#include "runtime/memory.h"
#include "runtime/stack.h"

namespace kaz::interp {

State state;

namespace {

// ---- reading code ----

SeriesBuffer* buf(Node code) { return memory::buffer_of(code); }
// Code is a series of cells: its length is its byte count over 16, with no unit to look up.
uint32_t tail_of(Node code) {
    SeriesBuffer* b = buf(code);
    return uint32_t(b->tail - b->head) / sizeof(Cell);
}
Cell at(Node code, uint32_t pos) { return buf(code)->cells()[pos]; }

bool callable_type(TypeId t) {
    return t == TypeId::native || t == TypeId::action || t == TypeId::function || t == TypeId::routine;
}

// Where a result goes: pushed as the newest value, or into the frame's return slot.
void deliver(const Cell& v, bool push) {
    if (push) stack::push(v);
    else *stack::base = v;
}

bool unwinding() { return frame::unwinding != 0; }

// ---- callables ----

// The auxiliary block: for functions and routines their more-block; for natives and actions
// the 2-cell block (context cell, argument-table cache).
Cell* more_cells(const Cell& callable) { return buf(callable.data3)->cells(); }

// The types eval_expression does more with than push them: paren!, the words but refinement!,
// issue!, the callables and the paths.
constexpr uint64_t kEvaluated =
    (1ull << uint32_t(TypeId::paren)) | (1ull << uint32_t(TypeId::word)) |
    (1ull << uint32_t(TypeId::set_word)) | (1ull << uint32_t(TypeId::lit_word)) |
    (1ull << uint32_t(TypeId::get_word)) | (1ull << uint32_t(TypeId::issue)) |
    (1ull << uint32_t(TypeId::native)) | (1ull << uint32_t(TypeId::action)) |
    (1ull << uint32_t(TypeId::op)) | (1ull << uint32_t(TypeId::function)) |
    (1ull << uint32_t(TypeId::path)) | (1ull << uint32_t(TypeId::lit_path)) |
    (1ull << uint32_t(TypeId::set_path)) | (1ull << uint32_t(TypeId::get_path)) |
    (1ull << uint32_t(TypeId::routine));
constexpr bool evaluated_type(TypeId t) { return uint32_t(t) < 64 && ((kEvaluated >> uint32_t(t)) & 1); }

constexpr uint64_t kCalledOrRefused =
    (1ull << uint32_t(TypeId::unset)) | (1ull << uint32_t(TypeId::native)) |
    (1ull << uint32_t(TypeId::action)) | (1ull << uint32_t(TypeId::op)) |
    (1ull << uint32_t(TypeId::function)) | (1ull << uint32_t(TypeId::routine));

// Values whose fields a path sets in the cell itself, not in a series or context it names;
// and email!, whose user and host are set in its text but count as a change of the value.
bool held_in_cell(TypeId t) {
    switch (t) {
        case TypeId::time: case TypeId::pair: case TypeId::tuple: case TypeId::date:
        case TypeId::money: case TypeId::point2d: case TypeId::point3d: case TypeId::email:
            return true;
        default:
            return false;
    }
}

bool function_like(TypeId t) { return t == TypeId::function || t == TypeId::routine; }

// The words of a callable's context, in spec order.
Node context_words(const Cell& callable) {
    if (function_like(type_of(callable))) return context::words_node(callable.data1);
    const Cell& ctx_cell = more_cells(callable)[0];
    return hashtable::record(ctx_cell.data1).block;
}

Cell arg_word(const Cell& callable, uint32_t index) {
    SeriesBuffer* w = buf(context_words(callable));
    return index < w->length() ? w->cells()[index] : words::anon_tag;
}

// Type t's bit is 0x80 >> t % 8 in byte t / 8 of the little-endian words: bit (t % 32) ^ 7
// of its word.
constexpr bool in_typeset(const Cell& ts, TypeId t) {
    uint32_t id = uint32_t(t);
    uint32_t word = id < 32 ? ts.data1 : id < 64 ? ts.data2 : ts.data3;
    return (word >> ((id & 31) ^ 7)) & 1;
}

}  // namespace

// The infix loop from the op! found at `pos` (its value's slot).
uint32_t eval_infix_from(const Cell* op, Node code, uint32_t pos, uint32_t end, Cell* left);
inline uint32_t infix_after(Node code, uint32_t pos, uint32_t end, Cell* left);
inline bool fast_infix(const Cell& op, Cell& left, const Cell& right_code);
[[gnu::always_inline]] inline uint32_t eval_pushed(Node code, uint32_t pos, uint32_t end, bool no_infix,
                                                   bool callables_as_values);

// ---- argument tables ----

namespace {

namespace shape {
inline constexpr uint32_t plain = 1u << 31;
constexpr uint32_t walk(uint32_t s) { return s & 0xFF; }
constexpr uint32_t refinements(uint32_t s) { return (s >> 8) & 0xFF; }
constexpr uint32_t locals(uint32_t s) { return (s >> 16) & 0xFF; }
}  // namespace shape

// What a call needs to know of a table when no path or apply gives refinements, kept in data3
// of the cached table cell: the entries to walk (the arguments before the first refinement or
// count), the refinement count of a native, the local-group size of a function. Zero when
// such a call must take the general walk (a function with refinements, a table too long).
uint32_t table_shape(Node table, bool native_like, uint32_t refinements, uint32_t locals) {
    uint32_t n = tail_of(table), walk = 0;
    while (walk < n && is(at(table, walk), TypeId::typeset)) ++walk;
    bool plain = native_like || walk == n || (walk + 1 == n && locals > 0);
    if (!plain || walk > 0xFF || refinements > 0xFF || locals > 0xFF) return 0;
    return shape::plain | walk | (refinements << 8) | (locals << 16);
}

}  // namespace

Node argument_table(const Cell& callable) {
    Cell* more = more_cells(callable);
    if (is(more[1], TypeId::block)) return more[1].data2;

    TypeId t = type_of(callable);
    bool native_like = !function_like(t);
    Node spec = callable.data2;
    Node table = series::alloc_cells(buf(spec)->length() + 2);
    uint32_t refinements = 0, arguments = 0;
    uint32_t locals = 0;
    bool in_locals = false;
    for (uint32_t i = 0; i < tail_of(spec); ++i) {
        Cell c = at(spec, i);
        TypeId ct = type_of(c);
        if (in_locals) {
            if (ct == TypeId::word) ++locals;
            else if (ct == TypeId::set_word) in_locals = false;
            if (in_locals) continue;
        }
        if (ct == TypeId::word || ct == TypeId::get_word || ct == TypeId::lit_word) {
            uint32_t kind = ct == TypeId::word ? normal : ct == TypeId::get_word ? get : literal;
            ++arguments;
            Cell* ts;
            if (i + 1 < tail_of(spec) && is(at(spec, i + 1), TypeId::block) &&
                block::length_from_head(at(spec, i + 1)) > 0) {
                Cell types = at(spec, i + 1);
                ts = typeset::make_from_spec_in_block(table, types);
            } else {
                ts = typeset::make_default_in_block(table);
            }
            ts->header = (ts->header & ~(3u << 20)) | (kind << 20);
        } else if (ct == TypeId::refinement) {
            if (c.data2 == words::local_refinement.data2 ||
                symbol::canonical_id(c.data2) == symbol::canonical_id(words::local_refinement.data2)) {
                in_locals = true;
                locals = 1;
                continue;
            }
            Cell r = c;
            r.data3 = native_like ? ++refinements : 0;
            SeriesBuffer* b = buf(table);
            *series::reserve_cell(b) = r;
        } else if (ct == TypeId::set_word) {
            if (symbol::canonical_id(c.data2) != symbol::canonical_id(sym::return_))
                error::raise(ErrorId::script_bad_func_def, c);
            Cell types = i + 1 < tail_of(spec) && is(at(spec, i + 1), TypeId::block) ? at(spec, i + 1)
                                                                                        : cell::none();
            Cell* ts = is(types, TypeId::block) ? typeset::make_from_spec_in_block(table, types)
                                                 : typeset::make_default_in_block(table);
            ts->header = (ts->header & ~(3u << 20)) | (uint32_t(return_type) << 20);
        }
    }
    if (refinements > kMaxRefinements || (t == TypeId::routine && arguments > kMaxRoutineArguments))
        error::raise(ErrorId::internal_limit_hit, callable.data2 ? cell::make(TypeId::block, 0, spec, 0) : cell::none());
    SeriesBuffer* b = buf(table);
    if (locals > 0) *series::reserve_cell(b) = cell::integer(int32_t(locals));
    if (native_like && refinements > 0) *series::reserve_cell(b) = cell::integer(int32_t(refinements));
    more = more_cells(callable);
    more[1] = cell::make(TypeId::block, 0, table, table_shape(table, native_like, refinements, locals));
    return table;
}

void push_inactive_refinement(uint32_t n) {
    stack::push(cell::logic(false));
    for (uint32_t i = 1; i < n; ++i) stack::push(cell::none());
}

void raise_no_value(const Cell& value) { error::raise(ErrorId::script_no_value, value); }

// ---- tracing ----

namespace {

// The word of each event, at the position of its bit.
constexpr const Cell* kEventWords[] = {
#define KAZ_EVENT(bit, cname, word) &word,
#include "evaluator/trace_events.def"
#undef KAZ_EVENT
};
constexpr uint32_t kEventBits[] = {
#define KAZ_EVENT(bit, cname, word) bit,
#include "evaluator/trace_events.def"
#undef KAZ_EVENT
};
static_assert(bits_from_one(kEventBits), "trace_events.def gives each event the next bit");
// The mask of a tracer that names no events.
constexpr uint32_t kEveryEvent = 0x1FFFF;

}  // namespace

uint32_t event_mask(const Cell& tracer) {
    Cell body = more_cells(tracer)[0];
    if (!is(body, TypeId::block) || block::length_from_head(body) == 0) return kEveryEvent;
    Cell first = at(body.data2, body.data1);
    if (!is(first, TypeId::block)) return kEveryEvent;
    uint32_t mask = 0;
    for (uint32_t i = first.data1; i < tail_of(first.data2); ++i) {
        Cell w = at(first.data2, i);
        if (!word::any_word_type_q(type_of(w))) continue;
        for (size_t k = 0; k < std::size(kEventWords); ++k)
            if (symbol::canonical_id(w.data2) == symbol::canonical_id(kEventWords[k]->data2)) mask |= kEventBits[k];
    }
    return mask;
}

void fire_event(Event event, Node code, int32_t pos, const Cell* ref, const Cell* value) {
    if (!is(state.tracer, TypeId::function) || !(state.mask & event)) return;
    // The environment's own code is not shown: its functions are single steps to the tracers.
    if (code != kNoNode && (memory::buffer_of(code)->flags & series_flag::environment)) return;
    Cell event_word = *kEventWords[__builtin_ctz(uint32_t(event))];
    uint32_t base_index = stack::index_of(stack::base);
    uint32_t top_index = stack::index_of(stack::data_top);
    Cell* saved_top = stack::data_top;
    Cell* saved_base = stack::base;
    CallFrame* saved_frames = stack::frames_top;
    stack::data_top++;  // the reported value stays below the tracer's frame

    Cell tracer = state.tracer;
    Cell* more = more_cells(tracer);
    Node defining = is(more[4], TypeId::integer) ? Node(cell::get_integer(more[4])) : context::global;
    (void)defining;
    // Off before anything is pushed: with a stack full, the push raises stack-overflow, and
    // that error's own event would call for the tracer again, without end.
    state.tracing = false;
    frame::push_function(words::interp_callback_tag, tracer.data1);
    stack::push(event_word);
    Cell code_cell = code ? cell::make(TypeId::block, 0, code, 0) : cell::none();
    stack::push(code_cell);
    int32_t offset = -1;
    if (code && pos >= 0 && uint32_t(pos) <= tail_of(code)) offset = pos;
    stack::push(cell::integer(offset));
    stack::push(value ? *value : cell::none());
    bool with_ref = event == ev_set || event == ev_prolog || event == ev_epilog ||
                    event == ev_return || event == ev_call;
    stack::push(with_ref && ref ? *ref : cell::none());
    stack::push(cell::make(TypeId::pair, 0, base_index, top_index));
    function::fill_frame(tracer.data1, state.tracer_locals);
    // An unwind in flight (the epilog of a function left by return, the end of a traced do)
    // waits while the tracer runs: the tracer's own evaluation must not take it.
    uint32_t in_flight = frame::unwinding;
    frame::unwinding = 0;
    call_function(tracer, words::interp_callback_tag);
    frame::raise_pending();
    frame::unwinding = in_flight;
    state.tracing = true;
    stack::frames_top = saved_frames;
    stack::base = saved_base;
    stack::data_top = saved_top;
}

namespace {

inline void fire(Event e, Node code, int32_t pos, const Cell* ref, const Cell* value) {
    if (state.tracing) fire_event(e, code, pos, ref, value);
}

// ---- argument fetching ----

struct Call {
    Cell callable;       // with its own type (an op! turned back into its source)
    Node code;
    uint32_t pos;
    uint32_t end;
    const Cell* path;    // the path that named it, when it came through one
    uint32_t path_next;  // the first path element after the callable's
    Cell name;
    uint32_t apply;
    bool infix;
    bool dropping = false;  // fetching the arguments of a refinement given as false
};

[[noreturn]] void no_arg(const Call& c, uint32_t index) {
    error::raise(ErrorId::script_no_arg, c.name, arg_word(c.callable, index));
}

void check_type(const Call& c, const Cell& ts, const Cell& value, uint32_t index) {
    if (!in_typeset(ts, type_of(value)))
        error::raise(ErrorId::script_expect_arg, c.name, cell::datatype(type_of(value)),
                     arg_word(c.callable, index));
}

// Fetches one argument by its kind onto the stack. At the end of input an argument that may be
// left out is pushed as unset! (none! in an apply); any other raises.
void fetch_one(Call& c, const Cell& ts, uint32_t index, bool right_of_infix) {
    ArgKind kind = arg_kind(ts);
    if (c.pos >= c.end) {
        if (kind == literal && in_typeset(ts, TypeId::unset)) {
            stack::push(cell::unset());
            return;
        }
        if (c.apply) {
            // A native or action reads its arguments unchecked: it is given none! only where
            // its spec lets none! in.
            if (!c.dropping && !function_like(type_of(c.callable)) && !in_typeset(ts, TypeId::none))
                no_arg(c, index);
            stack::push(cell::none());
            return;
        }
        no_arg(c, index);
    }
    if (kind == normal) {
        uint32_t end = (c.apply & single_values) ? c.pos + 1 : c.end;
        c.pos = eval_expression(c.code, c.pos, end, right_of_infix, true, false);
        if (unwinding()) return;
    } else {
        Cell v = at(c.code, c.pos);
        if (kind == literal) {
            switch (type_of(v)) {
                case TypeId::paren:
                    eval_block(cell::set_type(v, TypeId::block), false);
                    if (unwinding()) return;
                    ++c.pos;
                    check_type(c, ts, stack::data_top[-1], index);
                    return;
                case TypeId::get_word:
                    v = *word::get(v);
                    break;
                case TypeId::get_path:
                    c.pos = eval_path(v, c.code, c.pos + 1, c.end, false, true, true, false);
                    if (unwinding()) return;
                    check_type(c, ts, stack::data_top[-1], index);
                    return;
                default:
                    break;
            }
        }
        stack::push(v);
        ++c.pos;
    }
    check_type(c, ts, stack::data_top[-1], index);
}

// Fetches every argument and refinement of the call into the current frame; fills `refs`
// for natives and actions. Returns 0 when an unwind is pending, else 1 + the size of the
// function's local group.
uint32_t fetch_args(Call& c, int32_t* refs) {
    // Entries are read through the node each time: evaluating arguments may move the buffer.
    const Node table_node = argument_table(c.callable);
    auto table = [table_node](uint32_t i) { return buf(table_node)->cells()[i]; };
    const uint32_t n = buf(table_node)->length();
    bool native_like = !function_like(type_of(c.callable));
    uint32_t ref_count = 0, locals = 0;
    if (native_like && n > 0 && is(table(n - 1), TypeId::integer)) {
        ref_count = uint32_t(cell::get_integer(table(n - 1)));
        for (uint32_t i = 0; i < ref_count; ++i) refs[i] = -1;
    }
    bool taking = true;
    bool first = true;
    for (uint32_t i = 0; i < n; ++i) {
        Cell entry = table(i);
        switch (type_of(entry)) {
            case TypeId::typeset:
                if (arg_kind(entry) == return_type) break;
                if (taking) {
                    if (first && c.infix) {
                        check_type(c, entry, stack::base[0], i);
                    } else {
                        fetch_one(c, entry, i, c.infix);
                        if (unwinding()) return 0;
                    }
                    first = false;
                } else {
                    // Under apply, the values standing for an inactive refinement's
                    // arguments are consumed and dropped (one value each, unevaluated, in
                    // single-value mode).
                    if ((c.apply & from_block) && c.pos < c.end) {
                        if (c.apply & single_values) {
                            ++c.pos;
                        } else {
                            Cell* before = stack::data_top;
                            c.pos = eval_expression(c.code, c.pos, c.end, false, true, false);
                            if (unwinding()) return 0;
                            stack::data_top = before;
                        }
                    }
                    if (!native_like) stack::push(cell::none());
                }
                break;
            case TypeId::refinement:
                if (c.apply & from_block) {
                    // The refinement's truth is the next value of the block, a logic!.
                    bool truth = false;
                    if (c.pos < c.end) {
                        Cell* before = stack::data_top;
                        uint32_t end = (c.apply & single_values) ? c.pos + 1 : c.end;
                        c.pos = eval_expression(c.code, c.pos, end, false, true, false);
                        if (unwinding()) return 0;
                        Cell t = before[0];
                        stack::data_top = before;
                        if (!is(t, TypeId::logic))
                            error::raise(ErrorId::script_expect_arg, c.name, cell::datatype(type_of(t)),
                                         arg_word(c.callable, i));
                        truth = t.data1 != 0;
                    }
                    if (!native_like) stack::push(cell::logic(truth));
                    else if (truth) refs[entry.data3 - 1] = int32_t(stack::data_top - stack::base);
                    taking = truth;
                    break;
                }
                if (!native_like) stack::push(cell::logic(false));
                taking = false;
                break;
            case TypeId::integer:
                if (i + 1 < n || !native_like || ref_count == 0) locals = uint32_t(cell::get_integer(entry));
                break;
            default:
                break;
        }
    }

    // Refinements given by the path, or under apply by the rest of the block: refinement!
    // values, each followed by a value evaluated for its truth, then the refinement's arguments.
    for (int pass = 0; pass < 2; ++pass) {
        bool by_block = pass == 1;
        if (by_block ? !(c.apply & refinements_as_values) : !c.path) continue;
        Node elements = by_block ? c.code : c.path->data2;
        uint32_t p = by_block ? c.pos : c.path_next;
        for (; p < (by_block ? c.end : tail_of(elements)); p = by_block ? c.pos : p + 1) {
            Cell e = at(elements, p);
            bool enabled = true;
            if (by_block) {
                if (!is(e, TypeId::refinement)) error::raise(ErrorId::script_bad_refine, e);
                c.pos = p + 1;
                if (c.pos < c.end) {
                    Cell* before = stack::data_top;
                    c.pos = eval_expression(c.code, c.pos, c.end, false, true, false);
                    if (unwinding()) return 0;
                    enabled = true_q(before[0], false);
                    stack::data_top = before;
                } else {
                    enabled = false;
                }
            } else if (is(e, TypeId::get_word)) {
                enabled = true_q(*word::get(e), false);
            } else if (!is(e, TypeId::word)) {
                error::raise(ErrorId::script_bad_refine, e);
            }
            // Find the refinement in the table by its name.
            uint32_t slot = n;
            for (uint32_t i = 0; i < n; ++i) {
                Cell r = table(i);
                if (is(r, TypeId::refinement) && symbol::canonical_id(r.data2) == symbol::canonical_id(e.data2)) {
                    slot = i;
                    break;
                }
            }
            if (slot == n) error::raise(ErrorId::script_no_refine, c.name, e);
            Cell r = table(slot);
            Cell* marker = nullptr;
            if (native_like) {
                uint32_t k = r.data3 - 1;
                if (refs[k] >= 0) error::raise(ErrorId::script_dup_refine, c.path ? *c.path : e);
                if (enabled) refs[k] = int32_t(stack::data_top - stack::base);
            } else {
                marker = stack::base + slot;
                if (marker->data1) error::raise(ErrorId::script_dup_refine, c.path ? *c.path : e);
                if (enabled) *marker = cell::logic(true);
            }
            Cell* saved_top = stack::data_top;
            uint32_t fetched = 0;
            for (uint32_t i = slot + 1; i < n && is(table(i), TypeId::typeset); ++i) {
                Cell ts = table(i);
                if (arg_kind(ts) == return_type) break;
                Cell* before = stack::data_top;
                c.dropping = !enabled;
                fetch_one(c, ts, i, c.infix);
                c.dropping = false;
                if (unwinding()) return 0;
                ++fetched;
                if (!native_like) {
                    Cell v = before[0];
                    stack::data_top = before;
                    if (enabled) stack::base[i] = v;
                }
            }
            if (native_like && !enabled) stack::data_top = saved_top;
            (void)fetched;
        }
    }
    return 1 + locals;
}

// The op! value of the word at `pos` of the code's cells, when there is one: an infix operator
// follows.
inline const Cell* infix_op_in(const Cell* cells, uint32_t pos, uint32_t end) {
    if (pos >= end) return nullptr;
    const Cell& next = cells[pos];
    const Cell* slot = is(next, TypeId::word) ? word::bound_slot(next) : nullptr;
    return slot && is(*slot, TypeId::op) ? slot : nullptr;
}
inline const Cell* infix_op_at(Node code, uint32_t pos, uint32_t end) {
    return infix_op_in(buf(code)->cells(), pos, end);
}

// The value at `pos` when it needs no evaluation of its own: a literal, or the value of a word
// holding anything but a callable or unset!. Null for the rest.
inline const Cell* plain_value_in(const Cell* v) {
    TypeId t = type_of(*v);
    if (t == TypeId::word) {
        const Cell* slot = word::bound_slot(*v);
        if (!slot) return nullptr;
        TypeId st = type_of(*slot);
        if (uint32_t(st) < 64 && ((kCalledOrRefused >> uint32_t(st)) & 1)) return nullptr;
        return slot;
    }
    return evaluated_type(t) ? nullptr : v;
}
inline const Cell* plain_value(Node code, uint32_t pos) { return plain_value_in(buf(code)->cells() + pos); }

// Pushes the value at `pos` when it needs no evaluation of its own; false, with nothing
// pushed, for the rest.
inline bool push_plain(Node code, uint32_t pos) {
    const Cell* v = plain_value(code, pos);
    if (!v) return false;
    stack::push(*v);
    return true;
}

// The cached argument table's cell (its node in data2, its shape in data3), built on first use.
Cell table_cell(const Cell& callable) {
    const Cell& cached = more_cells(callable)[1];
    if (is(cached, TypeId::block)) [[likely]] return cached;
    argument_table(callable);
    return more_cells(callable)[1];
}

// The arguments of a call given no refinements (no path, no apply): the table's entries
// before its first refinement, in order; a native's refinements are all absent. Returns as
// fetch_args does.
uint32_t fetch_plain(Call& c, int32_t* refs) {
    Cell cached = table_cell(c.callable);
    uint32_t sh = cached.data3;
    if (!(sh & shape::plain)) return fetch_args(c, refs);
    Node table = cached.data2;
    for (uint32_t i = 0, n = shape::refinements(sh); i < n; ++i) refs[i] = -1;
    bool left_in_place = c.infix;
    for (uint32_t i = 0, n = shape::walk(sh); i < n; ++i) {
        Cell entry = at(table, i);  // through the node: evaluating arguments may move it
        ArgKind kind = arg_kind(entry);
        if (kind == return_type) continue;
        if (left_in_place) {
            left_in_place = false;
            check_type(c, entry, stack::base[0], i);
        } else if (kind == normal && c.pos < c.end) [[likely]] {
            Cell* top = stack::data_top;
            if (!state.tracing && push_plain(c.code, c.pos)) {
                ++c.pos;
                if (!c.infix)
                    if (const Cell* op = infix_op_at(c.code, c.pos, c.end))
                        c.pos = eval_infix_from(op, c.code, c.pos, c.end, top);
                if (unwinding()) return 0;
            } else {
                c.pos = eval_expression(c.code, c.pos, c.end, c.infix, true, false);
                if (unwinding()) return 0;
            }
            check_type(c, entry, stack::data_top[-1], i);
        } else {
            fetch_one(c, entry, i, c.infix);
            if (unwinding()) return 0;
        }
    }
    return 1 + shape::locals(sh);
}

void call_native(const Cell& callable, const int32_t* refs);

// The refinement positions of a call given none: every one absent.
constexpr std::array<int32_t, kMaxRefinements> kAbsent = [] {
    std::array<int32_t, kMaxRefinements> a{};
    for (int32_t& r : a) r = -1;
    return a;
}();
const int32_t* const kNoRefinements = kAbsent.data();

// The conditionals, return and exit, run here while the word still holds their native: the
// frame and its arguments are the ones the native's own call has (errors name it, unwinds walk
// past it), only the trip through the natives table is saved. False for any other callable.
inline bool run_control(const Cell& callable) {
    if (!is(callable, TypeId::native)) return false;
    Cell* a = stack::base;
    switch (callable.data1) {
        case natives::if_:
            if (true_q(a[0], false)) eval_block(a[1], true);
            else a[0] = cell::none();
            return true;
        case natives::unless:
            if (!true_q(a[0], false)) eval_block(a[1], true);
            else a[0] = cell::none();
            return true;
        case natives::either:
            eval_block(true_q(a[0], true) ? a[1] : a[2], true);
            return true;
        case natives::return_:
            frame::unwind_return(true, true);
            return true;
        case natives::exit:
            frame::unwind_return(false, true);
            return true;
        default:
            return false;
    }
}

// The tracing a function call leaves behind: its caller's, unless the function switched it.
inline bool tracing_after(const CallFrame* me, bool saved) {
    if (me->header & frame_bits::tracing_set) [[unlikely]]
        return (me->header & frame_bits::tracing_on) != 0;
    return saved;
}

void eval_function_body(const Cell& body);

// The body of a function whose frame is pushed and arguments fetched, run with its context
// reading the frame's cells; kept in the body of the word-named call.
[[gnu::always_inline]] inline void run_function(const Cell& fn, const Cell& name) {
    Node ctx = fn.data1;
    uint32_t saved_values = context::cell_of(ctx).data2;
    context::cell_of(ctx).data2 = stack::index_of(stack::base) + 1;
    CallFrame* me = stack::frames_top - 1;  // the frame its caller pushed
    me->header |= frame_bits::return_target;
    bool saved_tracing = state.tracing;
    if (fn.header & function::kTraceFlags) [[unlikely]]
        state.tracing = (fn.header & function::kTrace) ? state.trace_enable : false;
    Cell body = more_cells(fn)[0];
    if (state.tracing) fire_event(ev_prolog, body.data2, -1, &name, &fn);
    try {
        if (is(body, TypeId::block)) eval_function_body(body);
        else *stack::base = cell::unset();
    } catch (const Throw& t) {
        state.tracing = tracing_after(me, saved_tracing);
        if (t.code == throw_code::error) {
            context::cell_of(ctx).data2 = saved_values;
            throw;
        }
        frame::unwinding = t.code;
    }
    if (state.tracing) {
        uint32_t pending = runtime::pending_code;
        fire_event(ev_epilog, body.data2, -1, &name, &fn);
        runtime::pending_code = pending;
    }
    state.tracing = tracing_after(me, saved_tracing);
    uint32_t u = frame::unwinding;
    if (u) [[unlikely]] {
        if ((u == throw_code::return_ || u == throw_code::exit) && stack::frames_top - 1 == me) {
            frame::unwinding = 0;
            stack::data_top = stack::base + 1;
        } else {
            return;
        }
    }
    me->header &= ~frame_bits::return_target;
    context::cell_of(ctx).data2 = saved_values;
}

// A call named by a word with no tracer running, of a native, action or function whose
// argument table is plain (no refinement given, no argument left for the general walk): the
// protocol of eval_code without its record, arguments fetched straight into the new frame.
// Frames, checks, errors and results are eval_code's.
template <bool function_call>
[[gnu::always_inline]] inline uint32_t eval_plain_call_as(const Cell& callable, const Cell& cached, Node code,
                                                         uint32_t pos, uint32_t end, const Cell& name) {
    const uint32_t sh = cached.data3;
    const Node table = cached.data2;
    Cell* result_at = stack::push(callable);
    if constexpr (function_call) frame::push_interp_function(name, callable.data1);
    else frame::push_interp_native(name);
    // The table's and the code's cells are read in hand until something is evaluated: only
    // evaluation can move their buffers.
    const Cell* entries = buf(table)->cells();
    const Cell* cells = buf(code)->cells();
    for (uint32_t i = 0, n = shape::walk(sh); i < n; ++i) {
        const ArgKind kind = arg_kind(entries[i]);
        if (kind == return_type) continue;
        if (kind == normal && pos < end) [[likely]] {
            Cell* top = stack::data_top;
            const Cell* plain = state.tracing ? nullptr : plain_value_in(cells + pos);
            if (plain) [[likely]] {
                stack::push(*plain);
                ++pos;
                while (const Cell* op = infix_op_in(cells, pos, end)) {
                    if (pos + 1 < end && fast_infix(*op, *top, cells[pos + 1])) {
                        pos += 2;
                        continue;
                    }
                    pos = infix_after(code, pos, end, top);
                    if (unwinding()) return pos;
                    entries = buf(table)->cells();
                    cells = buf(code)->cells();
                    break;
                }
            } else {
                pos = eval_pushed(code, pos, end, false, false);
                if (unwinding()) return pos;
                entries = buf(table)->cells();
                cells = buf(code)->cells();
            }
            const TypeId got = type_of(stack::data_top[-1]);
            if (!in_typeset(entries[i], got)) [[unlikely]]
                error::raise(ErrorId::script_expect_arg, name, cell::datatype(got), arg_word(callable, i));
        } else {
            Call c{callable, code, pos, end, nullptr, 0, name, 0, false};
            fetch_one(c, entries[i], i, false);
            pos = c.pos;
            if (unwinding()) return pos;
            entries = buf(table)->cells();
            cells = buf(code)->cells();
        }
    }
    if constexpr (function_call) {
        if (uint32_t locals = shape::locals(sh)) push_inactive_refinement(locals);
        fire(ev_call, code, int32_t(pos), &name, &callable);
        run_function(callable, name);
        if (unwinding()) return pos;
        frame::pop();  // run_function gave the context its values back
    } else {
        fire(ev_call, code, int32_t(pos), &name, &callable);
        if (!run_control(callable)) call_native(callable, kNoRefinements);
        if (unwinding()) return pos;
        frame::pop();
    }
    // The result replaces the callable placeholder.
    Cell result = stack::data_top[-1];
    *result_at = result;
    stack::data_top = result_at + 1;
    fire(ev_return, code, int32_t(pos), &name, &result);
    return pos;
}

// Function calls and native calls each in a body of their own: neither carries the other's
// registers and branches.
[[gnu::noinline]] uint32_t eval_plain_call(const Cell& callable, const Cell& cached, Node code, uint32_t pos,
                                           uint32_t end, const Cell& name) {
    return eval_plain_call_as<false>(callable, cached, code, pos, end, name);
}
[[gnu::noinline]] uint32_t eval_function_call(const Cell& callable, const Cell& cached, Node code, uint32_t pos,
                                              uint32_t end, const Cell& name) {
    return eval_plain_call_as<true>(callable, cached, code, pos, end, name);
}

// Runs a routine whose frame is pushed and arguments fetched: a cell routine gets the argument
// cells; a plain one gets each argument checked against the first word of its type block and
// converted, and its result converted by the declared return type (none: the return slot
// stays as it is).
void call_routine(const Cell& routine, const Cell& name) {
    const Cell* more = more_cells(routine);
    uint32_t code = is(more[2], TypeId::integer) ? uint32_t(cell::get_integer(more[2])) : 0;
    TypeId returns = is(more[4], TypeId::integer) ? TypeId(cell::get_integer(more[4])) : TypeId(0);
    Node spec = routine.data2;
    // The argument slots in spec order, each with the spec position of its type block.
    struct Slot { uint32_t index; int32_t types; };
    Slot slots[kMaxRoutineArguments];
    uint32_t count = 0, index = 0;
    for (uint32_t i = 0; i < tail_of(spec); ++i) {
        TypeId t = type_of(at(spec, i));
        if (t == TypeId::refinement) {
            ++index;
        } else if (t == TypeId::word || t == TypeId::get_word || t == TypeId::lit_word) {
            bool typed = i + 1 < tail_of(spec) && is(at(spec, i + 1), TypeId::block);
            slots[count++] = {index, typed ? int32_t(i + 1) : -1};  // counted by argument_table
            ++index;
        }
    }
    if (routine.header & routine::kVariant) {
        Cell* cells[kMaxRoutineArguments];
        for (uint32_t k = 0; k < count; ++k) cells[k] = stack::base + slots[k].index;
        *stack::base = *routines::call_cells(code, cells, count);
        return;
    }
    routines::Arg args[kMaxRoutineArguments];
    for (uint32_t k = count; k-- > 0;) {
        const Cell& value = stack::base[slots[k].index];
        if (slots[k].types >= 0) {
            Cell types = at(spec, uint32_t(slots[k].types));
            Cell first = block::length_from_head(types) > 0 ? at(types.data2, types.data1) : cell::none();
            if (!is(first, TypeId::word)) error::raise(ErrorId::script_invalid_type_spec, first);
            if (symbol::canonical_id(first.data2) != symbol::canonical_id(sym::any_type_type)) {
                Cell declared = *word::get(first);
                bool fits = is(declared, TypeId::datatype) ? TypeId(declared.data1) == type_of(value)
                            : is(declared, TypeId::typeset) && in_typeset(declared, type_of(value));
                if (!fits)
                    error::raise(ErrorId::script_expect_arg, name, cell::datatype(type_of(value)),
                                 at(spec, uint32_t(slots[k].types) - 1));
            }
        }
        switch (type_of(value)) {
            case TypeId::logic: args[k].integer = value.data1 != 0; break;
            case TypeId::integer: args[k].integer = cell::get_integer(value); break;
            case TypeId::float_: args[k].number = cell::get_float(value); break;
            default: args[k].cell = &value; break;
        }
    }
    routines::Result r = routines::call(code, args, count);
    switch (returns) {
        case TypeId::logic: *stack::base = cell::logic(r.integer != 0); break;
        case TypeId::integer: *stack::base = cell::integer(int32_t(r.integer)); break;
        case TypeId::float_: *stack::base = cell::float_(r.number); break;
        default: break;
    }
}

// Runs a native or action whose frame is pushed and arguments fetched.
void call_native(const Cell& callable, const int32_t* refs) {
    natives::NativeFn fn = is(callable, TypeId::native) ? natives::at(callable.data1) : actions::at(callable.data1);
    fn(refs);
}

}  // namespace

// ---- the numeric fast path ----

// The operand a literal number or a word holding one stands for; false for anything else.
inline bool plain_number(const Cell& v, Cell& out) {
    TypeId t = type_of(v);
    if (t == TypeId::integer || t == TypeId::float_) {
        out = v;
        return true;
    }
    const Cell* slot = t == TypeId::word ? word::bound_slot(v) : nullptr;
    if (!slot) return false;
    TypeId st = type_of(*slot);
    if (st != TypeId::integer && st != TypeId::float_) return false;
    out = *slot;
    return true;
}

// Integer and float arithmetic and comparison of two plain numbers, computed in place of the
// call when nothing can observe the difference (no tracer; these operations cannot fail).
// The results are those of the actions and natives: integer overflow gives the exact float.
// Writes a cell in one 16-byte store (the next reader loads it whole).
inline void store_whole(Cell& destination, const Cell& value) {
    platform::store_words(&destination, value.header, value.data1, value.data2, value.data3);
}

// Whether `op` is one of the operators computed in place when both operands are numbers.
inline bool numeric_op(const Cell& op) {
    TypeId source = TypeId((op.header >> 16) & 0xFF);
    uint32_t number = op.data1;
    if (source == TypeId::action)
        return number == uint32_t(actions::Slot::add) || number == uint32_t(actions::Slot::subtract) ||
               number == uint32_t(actions::Slot::multiply);
    return source == TypeId::native && number >= natives::lesser_q && number <= natives::greater_or_equal_q;
}

inline bool number_q(const Cell& v) { return is(v, TypeId::integer) || is(v, TypeId::float_); }

// `left op right` for two numbers (`right` must be one), into `left`; false (nothing written)
// where the operation must be called (a float comparison, an operator not computed here).
inline bool numeric_result(const Cell& op, Cell& left, const Cell& right) {
    TypeId source = TypeId((op.header >> 16) & 0xFF);
    uint32_t number = op.data1;
    TypeId lt = type_of(left);
    if (lt != TypeId::integer && lt != TypeId::float_) return false;
    bool both_int = lt == TypeId::integer && is(right, TypeId::integer);
    auto as_double = [](const Cell& c) {
        return is(c, TypeId::integer) ? double(cell::get_integer(c)) : cell::get_float(c);
    };
    if (source == TypeId::action) {
        constexpr uint32_t add = uint32_t(actions::Slot::add), subtract = uint32_t(actions::Slot::subtract),
                           multiply = uint32_t(actions::Slot::multiply);
        if (number != add && number != subtract && number != multiply) return false;
        if (both_int) {
            int32_t a = cell::get_integer(left), b = cell::get_integer(right), r;
            bool overflow = number == add        ? __builtin_add_overflow(a, b, &r)
                            : number == subtract ? __builtin_sub_overflow(a, b, &r)
                                                 : __builtin_mul_overflow(a, b, &r);
            if (!overflow) {
                store_whole(left, cell::integer(r));
                return true;
            }
        }
        double a = as_double(left), b = as_double(right);
        store_whole(left, cell::float_(number == add ? a + b : number == subtract ? a - b : a * b));
        return true;
    }
    if (source == TypeId::native && number >= natives::lesser_q && number <= natives::greater_or_equal_q && both_int) {
        int32_t a = cell::get_integer(left), b = cell::get_integer(right);
        bool r = number == natives::lesser_q ? a < b
                 : number == natives::greater_q ? a > b
                 : number == natives::lesser_or_equal_q ? a <= b : a >= b;
        store_whole(left, cell::logic(r));
        return true;
    }
    return false;
}

inline bool fast_infix(const Cell& op, Cell& left, const Cell& right_code) {
    Cell right;
    if (!plain_number(right_code, right)) return false;
    return numeric_result(op, left, right);
}

// What the at-once paths return where the call must be made as usual (nothing changed).
inline constexpr uint32_t kCalled = ~0u;
namespace {
uint32_t pure_operand(const Cell* cells, uint32_t pos, uint32_t end, Cell& out);

// The return or exit native a word met in code holds (its value decides, not its name), or null.
[[gnu::always_inline]] inline const Cell* return_native(const Cell& word) {
    const Cell* slot = is(word, TypeId::word) ? word::bound_slot(word) : nullptr;
    return slot && is(*slot, TypeId::native) && (slot->data1 == natives::return_ || slot->data1 == natives::exit)
               ? slot
               : nullptr;
}

// The value of that return (unset! for exit) when it needs no evaluation of its own, its
// operand from `pos`: the position after it, or kCalled. A native's spec block is its
// built-in's (make native! refuses any other): return's value is any-type!, so a pure operand
// always fits.
[[gnu::always_inline]] inline uint32_t return_value(const Cell& native, const Cell* cells, uint32_t pos,
                                                    uint32_t end, Cell& value) {
    value = cell::unset();
    return native.data1 == natives::return_ ? pure_operand(cells, pos, end, value) : pos;
}
}  // namespace

static uint32_t numeric_infix_call(const Cell& op, Node code, uint32_t pos, uint32_t end, Cell* left);

// The operator `op` at `pos` after the value at `left`, while no tracer runs: computed in place
// when both operands are plain numbers, or by numeric_infix_call when a number meets a numeric
// operator whose right operand is an expression (an unwind may then be pending). kCalled where
// the operator takes its general call.
[[gnu::always_inline]] inline uint32_t numeric_step(const Cell& op, Node code, uint32_t pos, uint32_t end,
                                                    Cell* left) {
    if (state.tracing || pos + 1 >= end) [[unlikely]]
        return kCalled;
    if (fast_infix(op, *left, at(code, pos + 1))) return pos + 2;
    if (number_q(*left) && numeric_op(op)) return numeric_infix_call(op, code, pos, end, left);
    return kCalled;
}

// The operators that follow the value at `left` (the newest cell): numeric steps here, the
// rest by eval_infix_from.
[[gnu::always_inline]] inline uint32_t infix_after(Node code, uint32_t pos, uint32_t end, Cell* left) {
    while (const Cell* op = infix_op_at(code, pos, end)) {
        stack::data_top = left + 1;
        const uint32_t next = numeric_step(*op, code, pos, end, left);
        if (next == kCalled) return eval_infix_from(op, code, pos, end, left);
        pos = next;
        if (unwinding()) return pos;
    }
    return pos;
}

// A numeric operator whose right operand is an expression (a paren, a call): the operator's
// frame is pushed as its call pushes it, the operand is evaluated into it, and two numbers are
// computed in place; anything else is given to the operator as its call would. `pos` is the
// operator word's; returns the position after the operand.
[[gnu::noinline]] static uint32_t numeric_infix_call(const Cell& op, Node code, uint32_t pos, uint32_t end,
                                              Cell* left) {
    Cell name = at(code, pos);
    stack::data_top = left;
    frame::push_interp_native(name);
    ++stack::data_top;  // the left operand is the first argument, in place
    pos = eval_pushed(code, pos + 1, end, true, false);
    if (unwinding()) return pos;
    if (!state.tracing && number_q(stack::base[1]) && numeric_result(op, stack::base[0], stack::base[1])) {
        frame::pop();
        return pos;
    }
    Cell callable = op;
    callable.header = (callable.header >> 16) & 0xFF;
    Node table = argument_table(callable);
    const Cell& ts = buf(table)->cells()[1];
    const Cell right = stack::base[1];
    if (!in_typeset(ts, type_of(right)))
        error::raise(ErrorId::script_expect_arg, name, cell::datatype(type_of(right)), arg_word(callable, 1));
    fire(ev_call, code, int32_t(pos), &name, &callable);
    int32_t refs[kMaxRefinements];
    call_native(callable, refs);  // these operators take no refinements
    if (unwinding()) return pos;
    frame::pop();
    Cell result = stack::data_top[-1];
    fire(ev_return, code, int32_t(pos), &name, &result);
    return pos;
}

// ---- blocks and expressions ----

namespace {

// The rest of a block from `pos` (after the expression that ended there, whose result is at
// `top`, when `stepped`) while a tracer runs: every step is an event.
[[gnu::noinline]] void eval_block_traced(const Cell& block, uint32_t pos, Cell* top, const Cell& saved_current,
                                         bool into_return, bool stepped) {
    const Node code = block.data2;
    if (stepped) fire(ev_expr, code, int32_t(pos), nullptr, top);
    // The tail is read again after every expression: the code may have changed.
    for (uint32_t tail; pos < (tail = tail_of(code));) {
        stack::data_top = top;
        // The whole cell: a trapped error inside may have left another block there.
        state.current_block = block;
        state.current_block.data1 = pos;
        pos = eval_pushed(code, pos, tail, false, false);
        if (unwinding()) return;
        fire(ev_expr, code, int32_t(pos), nullptr, top);
    }
    stack::data_top = top + 1;
    fire(ev_exit, code, int32_t(tail_of(code)), nullptr, top);
    state.current_block = saved_current;
    if (into_return) *stack::base = *top;
}

// In a function body's own steps, run with the function's frame on top as the return target:
// `return` (or `exit`) whose value is a pure operand reaching the body's tail. Its unwind would
// only leave that value as the body's result, so the value is pushed as the body's last one, with
// no unwind. False, with nothing done, for anything else.
inline constexpr uint32_t kTailReturnCells = 6;
[[gnu::always_inline]] inline bool tail_return(Node code, uint32_t pos, uint32_t tail) {
    // Short tails only (a value and two operators at most), then the name: the word's value is
    // looked at only where it may be one of them, so other steps pay next to nothing.
    if (tail - pos > kTailReturnCells) return false;
    const Cell* cells = buf(code)->cells();
    const Cell& head = cells[pos];
    if (!is(head, TypeId::word) || (head.data2 != sym::return_ && head.data2 != sym::exit)) return false;
    const Cell* native = return_native(head);
    Cell value;
    if (!native || return_value(*native, cells, pos + 1, tail, value) != tail) return false;
    stack::push(value);
    return true;
}

// A block is evaluated on the caller's frame: each expression's result is pushed where the
// block began and dropped when the next one starts, so the last stays as the block's result.
// Only calls, loops, traps and catches push frames: those are what unwinds and stack walks
// look for. A function's body is run by the instance that knows it is one.
template <bool kFunctionBody>
[[gnu::always_inline]] inline void eval_block_as(const Cell& block, bool into_return) {
    // How deep the C++ stack is, by a local's address: the frame address would cost a frame
    // pointer in this, the most run function.
    char depth;
    if (reinterpret_cast<uintptr_t>(&depth) < reinterpret_cast<uintptr_t>(state.stack_floor)) [[unlikely]]
        frame::overflow();
    const Cell saved_current = state.current_block;
    const Node code = block.data2;
    Cell* const top = stack::data_top;
    uint32_t pos = block.data1;
    uint32_t tail = tail_of(code);
    if (state.tracing) [[unlikely]] {
        fire_event(ev_enter, code, int32_t(pos), nullptr, nullptr);
        if (pos >= tail) stack::push(cell::unset());
        return eval_block_traced(block, pos, top, saved_current, into_return, false);
    }
    if (pos >= tail) {
        stack::push(cell::unset());
    } else {
        do {
            stack::data_top = top;
            // The whole cell: a trapped error inside may have left another block there.
            state.current_block = block;
            state.current_block.data1 = pos;
            if constexpr (kFunctionBody) {
                if (tail_return(code, pos, tail)) break;
            }
            pos = eval_pushed(code, pos, tail, false, false);
            if (unwinding()) return;
            // A step may have started a tracer: the rest of the block is traced.
            if (state.tracing) [[unlikely]]
                return eval_block_traced(block, pos, top, saved_current, into_return, true);
            // The tail is read again after every expression: the code may have changed.
        } while (pos < (tail = tail_of(code)));
    }
    stack::data_top = top + 1;
    state.current_block = saved_current;
    if (into_return) *stack::base = *top;
}

// A function's body, into the return slot.
[[gnu::noinline]] void eval_function_body(const Cell& body) { eval_block_as<true>(body, true); }

}  // namespace

void eval_block(const Cell& block, bool into_return) { eval_block_as<false>(block, into_return); }

uint32_t eval_next(const Cell& block) {
    Node code = block.data2;
    if (block.data1 >= tail_of(code)) {
        *stack::base = cell::unset();
        return block.data1;
    }
    return eval_expression(code, block.data1, tail_of(code), false, false, false);
}

namespace {

// The operand at `pos` when computing it can neither fail nor run code: a literal or a word's
// value, then operators computed in place, up to a value no operator follows. Returns the
// position after it, or kCalled.
[[gnu::always_inline]] inline uint32_t pure_operand(const Cell* cells, uint32_t pos, uint32_t end, Cell& out) {
    const Cell* v = pos < end ? plain_value_in(cells + pos) : nullptr;
    if (!v) return kCalled;
    out = *v;
    const Cell* op;
    ++pos;
    while ((op = infix_op_in(cells, pos, end)) && pos + 1 < end && fast_infix(*op, out, cells[pos + 1]))
        pos += 2;
    return op ? kCalled : pos;
}

// A return or exit met with no tracer running, whose value is a pure operand: nothing can fail
// nor see its frame, so it leaves for its target at once, as its native would. kCalled where it
// must be called: a value to evaluate, or no target (the error names it).
[[gnu::noinline]] uint32_t return_at_once(const Cell& callable, Node code, uint32_t pos, uint32_t end) {
    Cell value;
    if ((pos = return_value(callable, buf(code)->cells(), pos, end, value)) == kCalled) return kCalled;
    return frame::return_at_once(value, callable.data1 == natives::return_) ? pos : kCalled;
}

// `if`, `unless` or `either` met with no tracer running, whose condition is a pure operand
// (not unset!, whose truth either refuses) and whose branches are blocks given as they stand:
// the choice is made without the call. A branch that runs runs inside the frame the call
// would have pushed, its arguments in place, so errors and unwinds inside see what they
// would. kCalled, with nothing changed, for anything else.
[[gnu::noinline]] uint32_t conditional_at_once(const Cell& callable, Node code, uint32_t pos, uint32_t end,
                                               const Cell& name) {
    const uint32_t branches = callable.data1 == natives::either ? 2 : 1;
    const Cell* cells = buf(code)->cells();
    Cell cond;
    const uint32_t first = pure_operand(cells, pos, end, cond);
    if (first == kCalled || is(cond, TypeId::unset) || end - first < branches) return kCalled;
    const uint32_t after = first + branches;
    // The native's spec block is the built-in's: the condition is any-type!, the branches block!.
    if (!is(cells[first], TypeId::block) || (branches == 2 && !is(cells[first + 1], TypeId::block)) ||
        infix_op_in(cells, after, end))
        return kCalled;
    bool truth = true_q(cond, false);
    if (callable.data1 == natives::unless) truth = !truth;
    if (branches == 1 && !truth) {
        stack::push(cell::none());
        return after;
    }
    const Cell branch = cells[first + (truth ? 0 : 1)];
    // A branch that begins with return or exit leaving at once needs no frame: the unwind
    // passes over the conditional's.
    const SeriesBuffer* bb = buf(branch.data2);
    const uint32_t branch_end = uint32_t(bb->tail - bb->head) / sizeof(Cell);
    if (branch.data1 < branch_end) {
        const Cell* native = return_native(reinterpret_cast<const Cell*>(bb->head)[branch.data1]);
        if (native && return_at_once(*native, branch.data2, branch.data1 + 1, branch_end) != kCalled) return after;
    }
    Cell* result_at = stack::push(callable);
    frame::push_interp_native(name);
    stack::push(cond);
    for (uint32_t b = 0; b < branches; ++b) stack::push(buf(code)->cells()[first + b]);
    eval_block(branch, true);
    if (unwinding()) return after;
    frame::pop();
    Cell result = stack::data_top[-1];
    *result_at = result;
    stack::data_top = result_at + 1;
    return after;
}

// The value a word! met in code stands for: its value pushed, or the call it names made.
inline uint32_t eval_word(const Cell& word, Node code, uint32_t pos, uint32_t end) {
    const Cell& value = *word::get(word);
    TypeId t = type_of(value);
    if (uint32_t(t) >= 64 || !((kCalledOrRefused >> uint32_t(t)) & 1)) [[likely]] {
        stack::push(value);
        return pos;
    }
    if (t == TypeId::unset) error::raise(ErrorId::script_no_value, word);
    if (t == TypeId::op) error::raise(ErrorId::script_no_op_arg, word);
    Cell callable = value;
    if (!state.tracing && t != TypeId::routine) {
        const Cell& cached = more_cells(callable)[1];
        if (is(cached, TypeId::block) && (cached.data3 & shape::plain)) [[likely]] {
            if (t == TypeId::native) {
                uint32_t next = kCalled;
                switch (callable.data1) {
                    case natives::if_: case natives::unless: case natives::either:
                        next = conditional_at_once(callable, code, pos, end, word);
                        break;
                    case natives::return_: case natives::exit:
                        next = return_at_once(callable, code, pos, end);
                        break;
                    default:
                        break;
                }
                if (next != kCalled) return next;
            }
            if (t == TypeId::function) return eval_function_call(callable, cached, code, pos, end, word);
            return eval_plain_call(callable, cached, code, pos, end, word);
        }
    }
    return eval_code(callable, code, pos, end, nullptr, word, nullptr, 0, false);
}

// A word of the global context or of a running function's context is set by writing its slot:
// neither notifies anyone of the change. False when the word must be set by word::set.
inline bool set_slot(const Cell& word, const Cell& value) {
    Cell* slot = is(value, TypeId::unset) ? nullptr : word::bound_slot(word);
    if (!slot || (word.data1 != context::global && !context::on_stack_q(word.data1))) return false;
    *slot = value;
    return true;
}

// A set-word! whose value needs no evaluation (a literal, a word's value), with no tracer.
// Followed by nothing or by operators computed in place, it cannot fail nor run other code:
// nothing can see the set-word's frame, so none is pushed. Anything else finds the frame under
// the value, as if pushed first. Returns the position after the expression.
[[gnu::noinline]] uint32_t eval_plain_set_word(const Cell& v, const Cell& plain, Node code, uint32_t pos,
                                               uint32_t end) {
    Cell* top = stack::push(plain);
    uint32_t next = pos + 2;
    const Cell* op;
    // Computing in place runs no code: the buffer stays where it is, its cells read in hand.
    const Cell* cells = buf(code)->cells();
    while ((op = infix_op_in(cells, next, end)) && next + 1 < end && fast_infix(*op, *top, cells[next + 1]))
        next += 2;
    if (!op && set_slot(v, *top)) return next;
    Cell value = *top;
    stack::data_top = top;
    frame::push_interp_native(v);
    stack::push(v);
    stack::push(value);
    if (op) {
        next = eval_infix_from(op, code, next, end, stack::base + 1);
        if (unwinding()) return next;
        fire(ev_set, code, int32_t(next), &v, &stack::base[1]);
    }
    if (set_slot(v, stack::base[1])) stack::base[0] = stack::base[1];
    else word::set_from_args(v);
    frame::pop();
    return next;
}

// A set-word! and the expression after it, in a frame named by the set-word.
[[gnu::noinline]] uint32_t eval_set_word(const Cell& v, Node code, uint32_t pos, uint32_t end) {
    frame::push_interp_native(v);
    stack::push(v);
    fire(ev_push, code, int32_t(pos), nullptr, &v);
    if (++pos >= end) error::raise(ErrorId::script_need_value, v);
    pos = eval_pushed(code, pos, end, false, false);
    if (unwinding()) return pos;
    fire(ev_set, code, int32_t(pos), &v, &stack::base[1]);
    if (set_slot(v, stack::base[1])) [[likely]] stack::base[0] = stack::base[1];
    else word::set_from_args(v);
    frame::pop();
    return pos;
}

// Every value eval_expression does not push or read as a word or set-word; `pos` is the
// value's own.
[[gnu::noinline]] uint32_t eval_other(const Cell& v_in, Node code, uint32_t pos, uint32_t end,
                                      bool callables_as_values) {
    Cell v = v_in;
    switch (type_of(v)) {
        case TypeId::paren:
            eval_block(cell::set_type(v, TypeId::block), false);
            return pos + 1;
        case TypeId::set_path: {
            fire(ev_push, code, int32_t(pos), nullptr, &v);
            if (++pos >= end) error::raise(ErrorId::script_need_value, v);
            frame::push_interp_native(words::set_path);
            pos = eval_expression(code, pos, end, false, true, false);
            if (unwinding()) return pos;
            fire(ev_set, code, int32_t(pos), &v, &stack::base[0]);
            eval_path(v, code, 0, 0, true, false, false, false);
            if (unwinding()) return pos;
            frame::pop();
            return pos;
        }
        case TypeId::get_word:
            stack::push(*word::get(v));
            return pos + 1;
        case TypeId::lit_word:
            v.header = uint32_t(TypeId::word);
            stack::push(v);
            return pos + 1;
        case TypeId::path:
            return eval_path(v, code, pos + 1, end, false, false, true, false);
        case TypeId::get_path:
            return eval_path(v, code, pos + 1, end, false, true, true, false);
        case TypeId::lit_path:
            v.header = uint32_t(TypeId::path);
            v.data3 = 0;
            stack::push(v);
            return pos + 1;
        case TypeId::op:
            error::raise(ErrorId::internal_not_done);
        case TypeId::native:
        case TypeId::action:
        case TypeId::function:
        case TypeId::routine:
            if (callables_as_values) {
                stack::push(v);
                return pos + 1;
            }
            return eval_code(v, code, pos + 1, end, nullptr, words::anon_tag, nullptr, 0, false);
        case TypeId::issue: {
            uint32_t canon = symbol::canonical_id(v.data2);
            if ((canon == symbol::canonical_id(sym::system) || canon == symbol::canonical_id(sym::system_global)) &&
                pos + 1 < end && is(at(code, pos + 1), TypeId::block))
                error::raise(ErrorId::internal_kaz_system);
            stack::push(v);
            return pos + 1;
        }
        default:
            stack::push(v);
            return pos + 1;
    }
}

}  // namespace

namespace {

// eval_body's quick path: the leading pure expressions, then the rest by eval_block.
[[gnu::noinline]] bool eval_body_pure(const Cell& block, bool& quick) {
    // Pure operands, and set-words given one whose slot is written directly. Nothing they do
    // allocates, so the cells stay where they are.
    const Node code = block.data2;
    const uint32_t end = tail_of(code);
    const Cell* cells = buf(code)->cells();
    // Each value is made in the return slot itself, the last one staying as the result. Where an
    // expression stops midway, eval_block runs from there and sets the slot in its turn.
    Cell& value = *stack::base;
    uint32_t pos = block.data1;
    while (pos < end) {
        const bool setting = is(cells[pos], TypeId::set_word);
        uint32_t next = pure_operand(cells, setting ? pos + 1 : pos, end, value);
        if (next == kCalled || (setting && !set_slot(cells[pos], value))) break;
        pos = next;
    }
    if (pos == block.data1) {
        quick = false;
        eval_block(block, true);
        return false;
    }
    if (pos == end) return true;
    // The rest as eval_block would run it: it names the same block at each expression.
    Cell rest = block;
    rest.data1 = pos;
    eval_block(rest, true);
    return false;
}

}  // namespace

bool eval_body(const Cell& block, bool& quick) {
    if (quick && !state.tracing) return eval_body_pure(block, quick);
    eval_block(block, true);
    return false;
}

namespace {

// An expression whose result goes to the return slot: evaluated as a pushed one, then moved.
[[gnu::noinline]] uint32_t eval_expression_into_return(Node code, uint32_t pos, uint32_t end, bool no_infix,
                                                      bool callables_as_values) {
    Cell* saved_top = stack::data_top;
    pos = eval_expression(code, pos, end, no_infix, true, callables_as_values);
    if (unwinding()) return pos;
    Cell result = stack::data_top[-1];
    stack::data_top = saved_top;
    *stack::base = result;
    if (state.tracing) fire_event(ev_expr, code, int32_t(pos), nullptr, &result);
    return pos;
}

}  // namespace

// One expression whose result is pushed: the step of every block, kept in the caller's body.
[[gnu::always_inline]] inline uint32_t eval_pushed(Node code, uint32_t pos, uint32_t end, bool no_infix,
                                                   bool callables_as_values) {
    Cell* saved_top = stack::data_top;
    Cell v = at(code, pos);
    if (state.tracing) [[unlikely]]
        fire_event(ev_fetch, code, int32_t(pos), nullptr, &v);
    TypeId t = type_of(v);
    if (t == TypeId::word) {
        pos = eval_word(v, code, pos + 1, end);
    } else if (t == TypeId::set_word) {
        // The set-word's own expression took every operator that follows: none is left.
        const Cell* plain = !state.tracing && pos + 1 < end ? plain_value(code, pos + 1) : nullptr;
        return plain ? eval_plain_set_word(v, *plain, code, pos, end) : eval_set_word(v, code, pos, end);
    } else if (!evaluated_type(t)) {
        stack::push(v);
        ++pos;
    } else if (t == TypeId::paren) {
        eval_block(cell::set_type(v, TypeId::block), false);
        ++pos;
    } else {
        pos = eval_other(v, code, pos, end, callables_as_values);
    }
    if (unwinding()) return pos;
    if (no_infix) return pos;
    return infix_after(code, pos, end, saved_top);
}

uint32_t eval_expression(Node code, uint32_t pos, uint32_t end, bool no_infix, bool push,
                         bool callables_as_values) {
    if (!push) [[unlikely]]
        return eval_expression_into_return(code, pos, end, no_infix, callables_as_values);
    return eval_pushed(code, pos, end, no_infix, callables_as_values);
}

// Infix operators, strictly from the left, after the value at `left` (the newest cell).
uint32_t eval_infix(Node code, uint32_t pos, uint32_t end, Cell* left) {
    return eval_infix_from(infix_op_at(code, pos, end), code, pos, end, left);
}

uint32_t eval_infix_from(const Cell* slot, Node code, uint32_t pos, uint32_t end, Cell* left) {
    Cell* saved_top = left;
    for (; slot; slot = infix_op_at(code, pos, end)) {
        Cell op = *slot;
        stack::data_top = saved_top + 1;  // the left value is the newest cell
        if (const uint32_t next = numeric_step(op, code, pos, end, saved_top); next != kCalled) {
            pos = next;
            if (unwinding()) return pos;
            continue;
        }
        Cell next = at(code, pos);
        fire(ev_fetch, code, int32_t(pos), nullptr, &next);
        op.header = (op.header >> 16) & 0xFF;
        pos = eval_code(op, code, pos + 1, end, nullptr, next, nullptr, 0, true);
        if (unwinding()) return pos;
    }
    return pos;
}

// ---- calls ----

uint32_t eval_code(const Cell& callable_in, Node code, uint32_t pos, uint32_t end,
                   const Cell* path, const Cell& name_in, const Cell* defining_object,
                   uint32_t apply_flags, bool infix) {
    Cell callable = callable_in;
    Cell name = is(name_in, TypeId::word) ? name_in : words::anon_tag;
    fire(ev_open, code, int32_t(pos), nullptr, &name);

    Cell* result_at;
    if (infix) {
        result_at = stack::data_top - 1;
        stack::data_top = result_at;
    } else {
        result_at = stack::push(callable);
    }
    TypeId t = type_of(callable);
    int32_t refs[kMaxRefinements];
    // A path names the callable at its head index; the elements after it are refinements.
    Call c{callable, code, pos, end, path, path ? path->data1 + 1 : 0, name, apply_flags, infix};
    bool plain = !path && !apply_flags;

    if (t == TypeId::native || t == TypeId::action || t == TypeId::routine) {
        frame::push_interp_native(name);
        if (infix) ++stack::data_top;
        if (!(plain ? fetch_plain(c, refs) : fetch_args(c, refs))) return c.pos;
        fire(ev_call, code, int32_t(c.pos), &name, &callable);
        if (t == TypeId::routine) call_routine(callable, name);
        else call_native(callable, refs);
        if (unwinding()) return c.pos;
        frame::pop();
    } else if (t == TypeId::function) {
        (void)defining_object;  // a function's own context holds its arguments and locals
        Node ctx = callable.data1;
        frame::push_interp_function(name, ctx);
        if (infix) ++stack::data_top;
        uint32_t locals = plain ? fetch_plain(c, refs) : fetch_args(c, refs);
        if (!locals) return c.pos;
        if (locals > 1) push_inactive_refinement(locals - 1);
        fire(ev_call, code, int32_t(c.pos), &name, &callable);
        call_function(callable, name);
        if (unwinding()) return c.pos;
        frame::pop_function();
    } else {
        runtime::no_switch_matched(KAZ_CALLER_ADDRESS());
    }
    // The result replaces the callable placeholder.
    Cell result = stack::data_top[-1];
    *result_at = result;
    stack::data_top = result_at + 1;
    fire(ev_return, code, int32_t(c.pos), &name, &result);
    return c.pos;
}

void call_function(const Cell& fn, const Cell& name) { run_function(fn, name); }

// ---- paths ----

uint32_t eval_path(const Cell& path_in, Node code, uint32_t pos, uint32_t end, bool set, bool get,
                   bool push, bool case_) {
    Cell path = path_in;
    Node elements = path.data2;
    uint32_t head = path.data1;
    uint32_t n = tail_of(elements);
    if (head >= n) error::raise(ErrorId::script_empty_path);
    Cell first = at(elements, head);
    fire(ev_enter, elements, int32_t(head), nullptr, nullptr);
    fire(ev_fetch, elements, int32_t(head), nullptr, &first);
    if (!is(first, TypeId::word)) error::raise(ErrorId::script_word_first, path);
    Cell* saved_top = stack::data_top;
    Cell value = *word::get(first);
    TypeId vt = type_of(value);
    if (callable_type(vt)) {
        if (set) error::raise(ErrorId::script_invalid_path_set, path);
        if (get) error::raise(ErrorId::script_invalid_path_get, path);
        Cell named = path;
        named.data1 = head;
        pos = eval_code(value, code, pos, end, &named, first, nullptr, 0, false);
        if (unwinding()) return pos;
        Cell result = stack::data_top[-1];
        fire(ev_exit, elements, int32_t(n), nullptr, &result);
        stack::data_top = saved_top;
        deliver(result, push);
        return pos;
    }
    if (vt == TypeId::unset) error::raise(ErrorId::script_unset_path, path, first);

    Cell parent = value;
    Cell grandparent = cell::none();
    Cell previous = first;
    bool owner = false;
    // The step before, for writing a changed value back into what holds it.
    Cell held_selector = first, held_grandparent = cell::none(), held_previous = cell::none();
    bool held_owner = false;
    for (uint32_t i = head + 1; i < n; ++i) {
        Cell element = at(elements, i);
        fire(ev_fetch, elements, int32_t(i), nullptr, &element);
        Cell selector = element;
        if (is(element, TypeId::get_word)) {
            selector = *word::get(element);
        } else if (is(element, TypeId::paren)) {
            eval_block(cell::set_type(element, TypeId::block), false);
            if (unwinding()) return pos;
            selector = stack::data_top[-1];
            --stack::data_top;
        }
        fire(ev_push, elements, int32_t(i), nullptr, &selector);
        if (is(selector, TypeId::unset)) error::raise(ErrorId::script_invalid_path, path, element);
        bool last = i + 1 == n;
        TypeId pt = type_of(parent);
        owner = pt == TypeId::block || pt == TypeId::paren || pt == TypeId::hash ||
                (pt >= TypeId::path && pt <= TypeId::get_path) ||
                (pt == TypeId::object && parent.data3 != 0);
        EvalPathAction act = registry::actions(pt).eval_path;
        if (!act) error::raise(ErrorId::script_bad_path_type2, element, cell::datatype(pt));
        PathStep step{&path, &grandparent, &previous, int32_t(i), case_, get, last, owner};
        const Cell* to_set = set && last ? &stack::base[0] : nullptr;
        Cell result = act(parent, selector, to_set, step);
        if (to_set && held_in_cell(pt)) {
            // A value held in its cell (a time's hour...) changed in place: it goes back where
            // it came from, through that holder's own setting, which notifies as a set does.
            if (i == head + 1) {
                Cell w = first;
                word::set(w, parent);
            } else {
                TypeId ht = type_of(grandparent);
                EvalPathAction set_back = registry::actions(ht).eval_path;
                PathStep back{&path, &held_grandparent, &held_previous, int32_t(i - 1), case_, false, true, held_owner};
                if (set_back) set_back(grandparent, held_selector, &parent, back);
            }
        }
        if (!set && !get && callable_type(type_of(result))) {
            // A function reached through the path: the rest of the path is its refinements.
            Cell named = path;
            named.data1 = i;
            Cell name = is(element, TypeId::word) ? element : words::anon_tag;
            pos = eval_code(result, code, pos, end, &named, name, &parent, 0, false);
            if (unwinding()) return pos;
            parent = stack::data_top[-1];
            break;
        }
        held_grandparent = grandparent;
        held_previous = previous;
        held_selector = selector;
        held_owner = owner;
        grandparent = parent;
        parent = result;
        previous = element;
    }
    fire(ev_exit, elements, int32_t(n), nullptr, &parent);
    stack::data_top = saved_top;
    deliver(parent, push);
    return pos;
}

// ---- entry points for C++ callers ----

void init() {
    const char* floor = state.stack_floor;  // set by the runtime thread before the boot
    state = State{};
    state.stack_floor = floor;
    state.tracer = cell::unset();
    state.current_block = cell::unset();
}

void on_raising(Cell& e) {
    Cell& near = error::field(e, error::near);
    if (is(near, TypeId::none) && is(state.current_block, TypeId::block)) near = state.current_block;
    if (state.tracing) {
        uint32_t pending = runtime::pending_code;
        fire_event(ev_error, 0, -1, nullptr, &e);
        runtime::pending_code = pending;
    }
}

Cell do_block(const Cell& block) {
    Cell* saved_top = stack::data_top;
    eval_block(block, false);
    frame::raise_pending();
    Cell result = stack::data_top[-1];
    stack::data_top = saved_top;
    return result;
}

Cell call(const Cell& callable_in, const Cell* args, uint32_t count) {
    Cell callable = callable_in;
    if (is(callable, TypeId::op)) callable.header = (callable.header >> 16) & 0xFF;
    // `args` stays valid across the argument table's allocation: a pointer into a series buffer
    // held here pins that buffer for any collection.
    Cell* result_at = stack::push(callable);
    TypeId t = type_of(callable);
    Node table = argument_table(callable);
    uint32_t n = tail_of(table);
    bool native_like = !function_like(t);
    if (t == TypeId::function) frame::push_function(words::anon_tag, callable.data1);
    else frame::push_native(words::anon_tag);
    // The given values fill the arguments in order; what is left takes its default.
    uint32_t given = 0, locals = 0, ref_count = 0;
    bool in_refinements = false;
    for (uint32_t i = 0; i < n; ++i) {
        Cell e = at(table, i);
        if (is(e, TypeId::typeset)) {
            if (arg_kind(e) == return_type) continue;
            if (!in_refinements && given < count) stack::push(args[given++]);
            else if (!native_like || !in_refinements) stack::push(cell::none());
            else continue;
            // A native or action reads its arguments unchecked: a comparator or callback that
            // is one is given only what its spec lets in.
            TypeId got = type_of(stack::data_top[-1]);
            if (native_like && !in_typeset(e, got))
                error::raise(ErrorId::script_expect_arg, words::anon_tag, cell::datatype(got), arg_word(callable, i));
        } else if (is(e, TypeId::refinement)) {
            in_refinements = true;
            if (!native_like) stack::push(cell::logic(false));
        } else if (is(e, TypeId::integer)) {
            if (native_like) ref_count = uint32_t(cell::get_integer(e));
            else locals = uint32_t(cell::get_integer(e));
        }
    }
    if (t == TypeId::routine) {
        call_routine(callable, words::anon_tag);
        frame::raise_pending();
        frame::pop();
    } else if (native_like) {
        int32_t refs[kMaxRefinements];
        for (uint32_t i = 0; i < ref_count; ++i) refs[i] = -1;
        call_native(callable, refs);
        frame::raise_pending();
        frame::pop();
    } else {
        if (locals) push_inactive_refinement(locals);
        call_function(callable, words::anon_tag);
        frame::raise_pending();
        frame::pop_function();
    }
    Cell result = stack::data_top[-1];
    stack::data_top = result_at;
    return result;
}

}  // namespace kaz::interp
