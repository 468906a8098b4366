// The action dispatch layer: one entry per action slot, the comparison core and the fast paths.
#include "evaluator/actions.h"

#include <algorithm>
#include <optional>

#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "evaluator/natives.h"
#include "runtime/error.h"
#include "runtime/memory.h"
#include "runtime/number.h"
#include "runtime/stack.h"
#include "runtime/throw.h"

namespace kaz::actions {
namespace {

// ---- lookup ----

// The first argument of each action, as its spec names it; errors about a type lacking the
// action name it.
constexpr const char* kFirstArgument[] = {
    nullptr,
#define KAZ_ACTION(slot, cname, name, signature, first, ...) first,
#include "datatypes/actions.def"
#undef KAZ_ACTION
};

template <typename F>
F need(F fn, TypeId t, Slot slot) {
    if (!fn) raise_lacks(t, slot);
    return fn;
}

// The function of a slot for a type, raising when the type lacks it.
#define KAZ_LOOKUP(member, type) need(registry::actions(type).member, (type), Slot::member)

// ---- frame access ----

Cell& arg(uint32_t i) { return stack::base[i]; }
bool flag(const int32_t* refs, int k) { return refs[k] >= 0; }
// A refinement's argument, or null when the refinement is absent.
Cell* ref_arg(const int32_t* refs, int k) { return refs[k] >= 0 ? &stack::base[refs[k]] : nullptr; }

// Whether none of the first N refinements was given: an absent one is -1, so the AND of them
// all keeps the sign bit only when every one is absent.
template <int N>
bool none_given(const int32_t* refs) {
    int32_t all = -1;
    for (int k = 0; k < N; ++k) all &= refs[k];
    return all < 0;
}

// A count given as integer! or float! (truncated toward zero, checked).
int32_t count_of(const Cell& c) {
    if (is(c, TypeId::integer)) return cell::get_integer(c);
    return number::to_int32(cell::get_float(c), ErrorId::script_type_limit, cell::datatype(TypeId::integer));
}

// ---- entries by family ----

// The family templates (plain, directed, predicate) and, named after their slots, the entries
// of their own; actions.def says which slot takes which.
namespace entry {

// Plain: the type's function reads the frame and writes the return slot.
template <FrameAction ActionTable::*Member, Slot S>
void plain(const int32_t*) {
    TypeId t = type_of(arg(0));
    need(registry::actions(t).*Member, t, S)();
}

// make and to: a datatype! names the type to dispatch on; any other value is a prototype.
template <MakeAction ActionTable::*Member, Slot S>
void directed(const int32_t*) {
    const Cell& first = arg(0);
    TypeId t = is(first, TypeId::datatype) ? TypeId(first.data1) : type_of(first);
    arg(0) = need(registry::actions(t).*Member, t, S)(first, arg(1), t);
}

void random(const int32_t* refs) {
    TypeId t = type_of(arg(0));
    KAZ_LOOKUP(random, t)(arg(0), flag(refs, 0), flag(refs, 1), flag(refs, 2));
}

void reflect(const int32_t*) {
    TypeId t = type_of(arg(0));
    arg(0) = KAZ_LOOKUP(reflect, t)(arg(0), arg(1).data2);
}

// form and mold: the text goes into a new string reserved above the return slot, cut to
// exactly the /part limit when the writers went past it.
void format(const int32_t* refs, bool mold) {
    const Cell* part = ref_arg(refs, mold ? 3 : 0);
    int32_t limit = 0x7FFFFFFF;
    if (part) {
        limit = cell::get_integer(*part);
        if (limit <= 0) {
            arg(0) = string::make_cell(0);
            return;
        }
    }
    Cell* out = stack::push(string::make_cell(16));
    if (mold) actions::mold(arg(0), out->data2, flag(refs, 0), flag(refs, 1), flag(refs, 2), part, limit, 0);
    else actions::form(arg(0), out->data2, part, limit);
    string::truncate_buffer(memory::buffer_of(out->data2), uint32_t(limit));
    arg(0) = *out;
}

void form(const int32_t* refs) { format(refs, false); }
void mold(const int32_t* refs) { format(refs, true); }

void eval_path(const int32_t* refs) {
    PathStep step;
    step.last = true;  // the element is the whole path
    arg(0) = actions::eval_path(arg(0), arg(1), flag(refs, 0) ? &arg(2) : nullptr, step);
}

void negate(const int32_t*) {
    TypeId t = type_of(arg(0));
    KAZ_LOOKUP(negate, t)(arg(0));
}

void round(const int32_t* refs) {
    TypeId t = type_of(arg(0));
    KAZ_LOOKUP(round, t)(arg(0), ref_arg(refs, 0), flag(refs, 1), flag(refs, 2), flag(refs, 3), flag(refs, 4),
                         flag(refs, 5), flag(refs, 6));
}

template <PredicateAction ActionTable::*Member, Slot S>
void predicate(const int32_t*) {
    TypeId t = type_of(arg(0));
    arg(0) = cell::logic(need(registry::actions(t).*Member, t, S)(arg(0)));
}

void complement(const int32_t*) {
    TypeId t = type_of(arg(0));
    arg(0) = KAZ_LOOKUP(complement, t)(arg(0));
}

// A value whose cell is a series cell (or a map!, whose cell holds its block): what a /part
// length may measure.
bool part_measurable_q(TypeId t) { return series_::series_type_q(t) || t == TypeId::map; }

// append, insert and change: /part length, /only, /dup count. For append and insert /part
// limits what is taken of the value; for change, how much of the target is replaced.
template <Slot slot>
constexpr InsertAction ActionTable::*kInsertMember = slot == Slot::append   ? &ActionTable::append
                                                     : slot == Slot::insert ? &ActionTable::insert
                                                                            : &ActionTable::change;

// With /part or /dup: the counts measured and checked first. Kept out of line so that the plain
// call below stays a short one.
template <Slot slot>
[[gnu::noinline]] void insertion_counted(const int32_t* refs) {
    Cell& target = arg(0);
    Cell& value = arg(1);
    int32_t length = -1;
    const Cell* part = ref_arg(refs, 0);
    if (part && slot == Slot::change) {
        if (is(*part, TypeId::integer)) {
            length = std::max(cell::get_integer(*part), 0);
        } else if (part_measurable_q(type_of(target)) && series_::same_series_q(*part, target)) {
            series_::clamp_head(target);
            length = std::max(int32_t(part->data1) - int32_t(target.data1), 0);
        } else {
            error::raise(ErrorId::script_invalid_part, *part);
        }
    } else if (part) {
        if (!part_measurable_q(type_of(value)) || !value.data2 || !memory::live_node_q(value.data2))
            error::raise(ErrorId::script_invalid_part, *part);
        series_::clamp_head(value);
        if (is(*part, TypeId::integer)) {
            length = cell::get_integer(*part);
        } else if (series_::same_series_q(*part, value)) {
            length = int32_t(part->data1) - int32_t(value.data1);
        } else {
            error::raise(ErrorId::script_invalid_refine_arg, series_::part_word(), *part);
        }
        if (length < 1) {
            if (length == 0 || value.data1 == 0) return;  // nothing to insert: the target is the result
            // A negative length takes the items before the value's position.
            uint32_t back = std::min<uint32_t>(value.data1, uint32_t(-int64_t(length)));
            value.data1 -= back;
            length = int32_t(back);
        }
    }
    int32_t dup = 1;
    if (const Cell* count = ref_arg(refs, 2)) {
        dup = count_of(*count);
        if (dup < 1) return;
    }
    TypeId t = type_of(target);
    InsertAction fn = need(registry::actions(t).*kInsertMember<slot>, t, slot);
    target = fn(target, value, length, flag(refs, 1), dup, slot == Slot::append);
}

template <Slot slot>
void insertion(const int32_t* refs) {
    if (refs[0] >= 0 || refs[2] >= 0) return insertion_counted<slot>(refs);
    Cell& target = arg(0);
    TypeId t = type_of(target);
    InsertAction fn = need(registry::actions(t).*kInsertMember<slot>, t, slot);
    target = fn(target, arg(1), -1, flag(refs, 1), 1, slot == Slot::append);
}

void append(const int32_t* refs) { insertion<Slot::append>(refs); }
void insert(const int32_t* refs) { insertion<Slot::insert>(refs); }
void change(const int32_t* refs) { insertion<Slot::change>(refs); }

void clear(const int32_t*) {
    TypeId t = type_of(arg(0));
    KAZ_LOOKUP(clear, t)(arg(0));
}

void copy(const int32_t* refs) {
    Cell* result = stack::push(cell::unset());
    actions::copy(arg(0), *result, ref_arg(refs, 0), flag(refs, 1), ref_arg(refs, 2));
    arg(0) = *result;
}

// find and select share their refinements up to /reverse; find adds /tail and /match.
// The refinements find_options reads for select; find has two more.
constexpr int kSelectRefinements = 9;

FindOptions find_options(const int32_t* refs, bool find) {
    FindOptions o;
    o.part = ref_arg(refs, 0);
    o.only = flag(refs, 1);
    o.case_ = flag(refs, 2);
    o.same = flag(refs, 3);
    o.any = flag(refs, 4);
    o.with = ref_arg(refs, 5);
    o.skip = ref_arg(refs, 6);
    o.last = flag(refs, 7);
    o.reverse = flag(refs, 8);
    if (find) {
        o.tail = flag(refs, 9);
        o.match = flag(refs, 10);
    }
    return o;
}

void find(const int32_t* refs) { arg(0) = actions::find(arg(0), arg(1), find_options(refs, true)); }

void select(const int32_t* refs) {
    TypeId t = type_of(arg(0));
    FindAction fn = KAZ_LOOKUP(select, t);
    static constexpr FindOptions kPlain{};
    if (none_given<kSelectRefinements>(refs)) arg(0) = fn(arg(0), arg(1), kPlain);
    else arg(0) = fn(arg(0), arg(1), find_options(refs, false));
}

void length_q(const int32_t*) {
    TypeId t = type_of(arg(0));
    int32_t n = KAZ_LOOKUP(length_q, t)(arg(0));
    arg(0) = n < 0 ? cell::none() : cell::integer(n);
}

void move(const int32_t* refs) {
    TypeId t = type_of(arg(0));
    arg(0) = KAZ_LOOKUP(move, t)(arg(0), arg(1), ref_arg(refs, 0));
}

void pick(const int32_t*) {
    TypeId t = type_of(arg(0));
    arg(0) = KAZ_LOOKUP(pick, t)(arg(0), index_argument(arg(1)), arg(1));
}

void poke(const int32_t*) { arg(0) = actions::poke(arg(0), arg(1), arg(2)); }

void put(const int32_t* refs) {
    TypeId t = type_of(arg(0));
    arg(0) = KAZ_LOOKUP(put, t)(arg(0), arg(1), arg(2), flag(refs, 0));
}

void remove(const int32_t* refs) {
    TypeId t = type_of(arg(0));
    KAZ_LOOKUP(remove, t)(arg(0), ref_arg(refs, 0), ref_arg(refs, 1));
}

void reverse(const int32_t* refs) {
    TypeId t = type_of(arg(0));
    KAZ_LOOKUP(reverse, t)(arg(0), ref_arg(refs, 0), ref_arg(refs, 1));
}

void sort(const int32_t* refs) {
    SortOptions o;
    o.case_ = flag(refs, 0);
    o.skip = ref_arg(refs, 1);
    o.compare = ref_arg(refs, 2);
    o.part = ref_arg(refs, 3);
    o.all = flag(refs, 4);
    o.reverse = flag(refs, 5);
    o.stable = flag(refs, 6);
    TypeId t = type_of(arg(0));
    arg(0) = KAZ_LOOKUP(sort, t)(arg(0), o);
}

void swap(const int32_t*) {
    TypeId t = type_of(arg(0));
    KAZ_LOOKUP(swap, t)(arg(0), arg(1));
}

void take(const int32_t* refs) {
    TypeId t = type_of(arg(0));
    arg(0) = KAZ_LOOKUP(take, t)(arg(0), ref_arg(refs, 0), flag(refs, 1), flag(refs, 2));
}

void trim(const int32_t* refs) {
    TrimOptions o;
    o.head = flag(refs, 0);
    o.tail = flag(refs, 1);
    o.auto_ = flag(refs, 2);
    o.lines = flag(refs, 3);
    o.all = flag(refs, 4);
    o.with = ref_arg(refs, 5);
    TypeId t = type_of(arg(0));
    KAZ_LOOKUP(trim, t)(arg(0), o);
}

void modify(const int32_t* refs) {
    TypeId t = type_of(arg(0));
    arg(0) = KAZ_LOOKUP(modify, t)(arg(0), arg(1), arg(2), flag(refs, 0));
}

// read: /part length, /seek index, /binary, /lines, /info, /as encoding.
void read(const int32_t* refs) {
    ReadOptions o;
    o.part = ref_arg(refs, 0);
    o.seek = ref_arg(refs, 1);
    o.binary = flag(refs, 2);
    o.lines = flag(refs, 3);
    o.info = flag(refs, 4);
    o.as = ref_arg(refs, 5);
    TypeId t = type_of(arg(0));
    arg(0) = KAZ_LOOKUP(read, t)(arg(0), o);
}

// write: /binary, /lines, /info, /append, /part length, /seek index, /allow access, /as encoding.
void write(const int32_t* refs) {
    WriteOptions o;
    o.binary = flag(refs, 0);
    o.lines = flag(refs, 1);
    o.info = flag(refs, 2);
    o.append = flag(refs, 3);
    o.part = ref_arg(refs, 4);
    o.seek = ref_arg(refs, 5);
    o.allow = ref_arg(refs, 6);
    o.as = ref_arg(refs, 7);
    TypeId t = type_of(arg(0));
    arg(0) = KAZ_LOOKUP(write, t)(arg(0), arg(1), o);
}

}  // namespace entry

// ---- fast-path helpers ----

// Runs the entry of `slot` in a native frame named by `name` over copies of `args`; returns
// the result's cell, left as the newest value.
Cell* run_entry(Slot slot, const Cell& name, std::initializer_list<Cell> args) {
    Cell copies[3];
    uint32_t n = 0;
    for (const Cell& a : args) copies[n++] = a;  // the arguments may lie where the frame goes
    Cell word = name;
    frame::push_native(word);
    for (uint32_t i = 0; i < n; ++i) stack::push(copies[i]);
    int32_t refs[16];
    std::fill(std::begin(refs), std::end(refs), -1);
    actions::at(uint32_t(slot))(refs);
    frame::raise_pending();
    Cell* result = stack::base;
    frame::pop();
    return result;
}

}  // namespace

// ---- lookup ----

void raise_lacks(TypeId type, Slot slot) {
    const char* name = kFirstArgument[uint32_t(slot)];
    error::raise(ErrorId::script_expect_arg, frame::function_word(), cell::datatype(type),
                 name ? word::from_c_string(name) : cell::none());
}

int32_t index_argument(const Cell& index) {
    switch (type_of(index)) {
        case TypeId::integer: return cell::get_integer(index);
        case TypeId::char_: return int32_t(index.data2);
        case TypeId::logic: return index.data1 ? 1 : 2;
        case TypeId::float_: return count_of(index);
        default: return 0;
    }
}

// ---- typed dispatchers ----

int32_t form(const Cell& value, Node string, const Cell* part, int32_t limit) {
    TypeId t = type_of(value);
    return KAZ_LOOKUP(form, t)(value, string, part, limit);
}

int32_t mold(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
             int32_t limit, int32_t indent) {
    TypeId t = type_of(value);
    return KAZ_LOOKUP(mold, t)(value, string, only, all, flat, part, limit, indent);
}

void copy(const Cell& value, Cell& result, const Cell* part, bool deep, const Cell* kind) {
    if (kind && !is(*kind, TypeId::datatype) && !is(*kind, TypeId::typeset))
        error::raise(ErrorId::script_expect_arg, frame::function_word(), cell::datatype(type_of(*kind)),
                     word::from_c_string("kind"));
    TypeId t = type_of(value);
    KAZ_LOOKUP(copy, t)(value, result, part, deep, kind);
}

Cell find(const Cell& series, const Cell& value, const FindOptions& options) {
    TypeId t = type_of(series);
    return KAZ_LOOKUP(find, t)(series, value, options);
}

Cell poke(const Cell& series, const Cell& index, const Cell& value) {
    TypeId t = type_of(series);
    return KAZ_LOOKUP(poke, t)(series, index_argument(index), index, value);
}

Cell eval_path(const Cell& parent, const Cell& element, const Cell* value, const PathStep& step) {
    TypeId t = type_of(parent);
    EvalPathAction fn = registry::actions(t).eval_path;
    if (!fn) {
        if (!step.path) error::raise(ErrorId::script_bad_path_type2, element, cell::datatype(t));
        const Cell& path = *step.path;
        // The path as far as the element that failed.
        Node cut = series::copy_range(path.data2, 0, uint32_t(step.index) + 1);
        Cell shown = cell::make(type_of(path), path.data1, cut, 0);
        error::raise(ErrorId::script_bad_path_type, path, cell::datatype(t), shown);
    }
    return fn(parent, element, value, step);
}

// ---- comparison ----

int32_t compare(const Cell& a, const Cell& b, CompareOp op) {
    TypeId t = type_of(a);
    CompareAction fn = registry::actions(t).compare;
    if (!fn) raise_lacks(t, Slot::compare);
    return fn(a, b, op);
}

bool compare_values(const Cell& a, const Cell& b, CompareOp op) {
    int32_t r = compare(a, b, op);
    switch (op) {
        case CompareOp::equal:
        case CompareOp::strict_equal:
        case CompareOp::same:
        case CompareOp::match_case:
        case CompareOp::match:
        case CompareOp::find: return r == 0;
        case CompareOp::not_equal: return r != 0;
        default: break;
    }
    if (r == kNotComparable) error::raise(ErrorId::script_invalid_compare, a, b);
    switch (op) {
        case CompareOp::lesser: return r < 0;
        case CompareOp::lesser_or_equal: return r <= 0;
        case CompareOp::greater: return r > 0;
        case CompareOp::greater_or_equal: return r >= 0;
        default: runtime::no_switch_matched(KAZ_CALLER_ADDRESS());
    }
}

void compare_to_logic(CompareOp op) { stack::base[0] = cell::logic(compare_values(stack::base[0], stack::base[1], op)); }

// ---- fast paths ----

Cell* math_op(MathOp op, const Cell& name, const Cell& left, const Cell& right) {
    Cell l = left, r = right;
    if (is(l, TypeId::integer) && is(r, TypeId::integer)) {
        int32_t a = cell::get_integer(l), b = cell::get_integer(r), v = 0;
        bool overflow = false;
        double exact = 0;
        switch (op) {
            case MathOp::add:
                overflow = __builtin_add_overflow(a, b, &v);
                exact = double(a) + double(b);
                break;
            case MathOp::subtract:
                overflow = __builtin_sub_overflow(a, b, &v);
                exact = double(a) - double(b);
                break;
            case MathOp::multiply:
                overflow = __builtin_mul_overflow(a, b, &v);
                exact = double(a) * double(b);
                break;
            case MathOp::or_: v = a | b; break;
            case MathOp::and_: v = a & b; break;
            case MathOp::xor_: v = a ^ b; break;
            default: runtime::no_switch_matched(KAZ_CALLER_ADDRESS());
        }
        return stack::push(overflow ? cell::float_(exact) : cell::integer(v));
    }
    Slot slot;
    switch (op) {
        case MathOp::add: slot = Slot::add; break;
        case MathOp::subtract: slot = Slot::subtract; break;
        case MathOp::multiply: slot = Slot::multiply; break;
        case MathOp::or_: slot = Slot::or_; break;
        case MathOp::and_: slot = Slot::and_; break;
        case MathOp::xor_: slot = Slot::xor_; break;
        default: runtime::no_switch_matched(KAZ_CALLER_ADDRESS());
    }
    if (is(l, TypeId::float_) && is(r, TypeId::float_) && uint8_t(op) <= uint8_t(MathOp::multiply)) {
        double a = cell::get_float(l), b = cell::get_float(r);
        double v = op == MathOp::add ? a + b : op == MathOp::subtract ? a - b : a * b;
        return stack::push(cell::float_(v));
    }
    return run_entry(slot, name, {l, r});
}

Cell* compare_op(CompareOp op, const Cell& name, const Cell& left, const Cell& right) {
    Cell l = left, r = right;
    if (is(l, TypeId::integer) && is(r, TypeId::integer)) {
        int32_t a = cell::get_integer(l), b = cell::get_integer(r);
        bool v;
        switch (op) {
            case CompareOp::equal:
            case CompareOp::strict_equal:
            case CompareOp::same:
            case CompareOp::match_case:
            case CompareOp::match:
            case CompareOp::find: v = a == b; break;
            case CompareOp::not_equal: v = a != b; break;
            case CompareOp::lesser: v = a < b; break;
            case CompareOp::lesser_or_equal: v = a <= b; break;
            case CompareOp::greater: v = a > b; break;
            case CompareOp::greater_or_equal: v = a >= b; break;
            default: runtime::no_switch_matched(KAZ_CALLER_ADDRESS());
        }
        return stack::push(cell::logic(v));
    }
    Cell word = name;
    frame::push_native(word);
    stack::push(l);
    stack::push(r);
    compare_to_logic(op);
    Cell* result = stack::base;
    frame::pop();
    return result;
}

Cell* series_op(SeriesOp op, const Cell& value, const Cell& name) {
    Cell v = value;
    if (is(v, TypeId::block)) {
        uint32_t tail = memory::buffer_of(v.data2)->length();
        uint32_t index = v.data1;
        switch (op) {
            case SeriesOp::length_q: return stack::push(cell::integer(int32_t(index < tail ? tail - index : 0)));
            case SeriesOp::index_q: return stack::push(cell::integer(int32_t(index + 1)));
            case SeriesOp::head_q: return stack::push(cell::logic(index == 0));
            case SeriesOp::tail_q: return stack::push(cell::logic(index >= tail));
            case SeriesOp::next: v.data1 = index < tail ? index + 1 : tail; break;
            case SeriesOp::back: v.data1 = std::min(index, tail) == 0 ? 0 : std::min(index, tail) - 1; break;
            case SeriesOp::head: v.data1 = 0; break;
            case SeriesOp::tail: v.data1 = tail; break;
        }
        return stack::push(v);
    }
    Slot slot;
    switch (op) {
        case SeriesOp::length_q: slot = Slot::length_q; break;
        case SeriesOp::index_q: slot = Slot::index_q; break;
        case SeriesOp::head_q: slot = Slot::head_q; break;
        case SeriesOp::tail_q: slot = Slot::tail_q; break;
        case SeriesOp::next: slot = Slot::next; break;
        case SeriesOp::back: slot = Slot::back; break;
        case SeriesOp::head: slot = Slot::head; break;
        case SeriesOp::tail: slot = Slot::tail; break;
        default: runtime::no_switch_matched(KAZ_CALLER_ADDRESS());
    }
    return run_entry(slot, name, {v});
}

Cell* eval_path_index(const Cell& value, int32_t n, const Cell& name) {
    Cell v = value;
    if (is(v, TypeId::block)) {
        SeriesBuffer* b = memory::buffer_of(v.data2);
        int64_t at = int64_t(v.data1) + n - 1;
        if (n < 1 || at >= int64_t(b->length())) return stack::push(cell::none());
        return stack::push(b->cells()[at]);
    }
    return run_entry(Slot::eval_path, name, {v, cell::integer(n)});
}

// ---- registration ----

void init_entries() {
    // Each slot's entry, by the kind actions.def gives it.
#define KAZ_ENTRY_plain(cname) entry::plain<&ActionTable::cname, Slot::cname>
#define KAZ_ENTRY_directed(cname) entry::directed<&ActionTable::cname, Slot::cname>
#define KAZ_ENTRY_predicate(cname) entry::predicate<&ActionTable::cname, Slot::cname>
#define KAZ_ENTRY_own(cname) entry::cname
#define KAZ_ENTRY_none(cname) nullptr
#define KAZ_ACTION(slot, cname, name, signature, first, kind) define(slot, KAZ_ENTRY_##kind(cname));
#include "datatypes/actions.def"
#undef KAZ_ACTION
#undef KAZ_ENTRY_none
#undef KAZ_ENTRY_own
#undef KAZ_ENTRY_predicate
#undef KAZ_ENTRY_directed
#undef KAZ_ENTRY_plain
}

#undef KAZ_LOOKUP

}  // namespace kaz::actions
