// native!, action!, op!, function! and routine!: making, spec checks, reflection, text forms
// and comparison. Calling them is the interpreter's.
#include "datatypes/function.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/cells.h"
#include "datatypes/context.h"
#include "datatypes/hooks.h"
#include "datatypes/internal.h"
#include "datatypes/registry.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "runtime/cycles.h"
#include "runtime/error.h"
#include "runtime/gc.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/text.h"

namespace kaz {
namespace {

// ---- helpers ----

Cell* cells_of(Node n) { return memory::buffer_of(n)->cells(); }
uint32_t length_of(Node n) { return memory::buffer_of(n)->length(); }
Cell block_over(Node n) { return cell::make(TypeId::block, 0, n, 0); }

bool word_kind(TypeId t) { return t >= TypeId::word && t <= TypeId::refinement; }
bool block_kind(TypeId t) {
    return t == TypeId::block || t == TypeId::paren || (t >= TypeId::path && t <= TypeId::get_path);
}
uint32_t canon(uint32_t symbol) { return symbol::canonical_id(symbol); }
bool names(const Cell& c, uint32_t symbol) { return canon(c.data2) == canon(symbol); }
bool local_q(const Cell& c) {
    return is(c, TypeId::refinement) && names(c, words::local_refinement.data2);
}
bool extern_q(const Cell& c) {
    return is(c, TypeId::refinement) && names(c, words::extern_refinement.data2);
}

using text::write;

int32_t mold_value(const Cell& v, Node string, bool all, bool flat, const Cell* part, int32_t limit,
                   int32_t indent) {
    MoldAction m = registry::actions(type_of(v)).mold;
    if (!m) error::raise(ErrorId::internal_not_done);
    return m(v, string, false, all, flat, part, limit, indent);
}

// The spec's node when the spec stands at its head, else a copy of its cells from its index.
Node spec_from_head(const Cell& spec) {
    if (spec.data1 == 0) return spec.data2;
    Cell copy = *block::duplicate(spec, false, false);
    stack::pop(1);
    return copy.data2;
}

// A block of `cells` cells given in order.
Node cells_block(std::initializer_list<Cell> cells) {
    Node n = series::alloc_cells(uint32_t(cells.size()));
    SeriesBuffer* b = memory::buffer_of(n);
    for (const Cell& c : cells) *series::reserve_cell(b) = c;
    return n;
}

Cell integer_or_unset(uint32_t v) { return v ? cell::integer(int32_t(v)) : cell::unset(); }

// The body stored in a more-block: a deep copy of a block (bound to a context made here), any
// other given value as it stands, none! when absent.
Cell stored_body(const Cell* body, bool copy, Node bind_to) {
    if (!body || is(*body, TypeId::none)) return cell::none();
    if (!block_kind(type_of(*body))) return *body;
    Cell b = *body;
    if (copy) {
        // A function the environment's code makes as it runs is environment code too.
        struct Marking {
            uint32_t saved = memory::allocation_flags;
            ~Marking() { memory::allocation_flags = saved; }
        } marking;
        memory::allocation_flags |= memory::buffer_of(b.data2)->flags & series_flag::environment;
        b = *block::duplicate(b, true, true);
        stack::pop(1);
    }
    if (bind_to) context::bind_block(b, bind_to, false);
    return b;
}

Node make_function(const Cell& spec, const Cell* body, bool copy_body, Node ctx, uint32_t code,
                   Node defining_context, uint32_t flags) {
    bool made = ctx == kNoNode;
    // A given context was made from the spec given with it, which its maker keeps unchanged.
    Node spec_node = made ? function::own_spec(spec) : spec_from_head(spec);
    if (made) ctx = context::make_from_spec(block_over(spec_node), true, false, context::function);
    Cell b = stored_body(body, copy_body, made ? ctx : kNoNode);
    Node more = cells_block({b, cell::unset(), integer_or_unset(code), cell::unset(),
                             integer_or_unset(defining_context)});
    Cell fn = cell::make(TypeId::function, ctx, spec_node, more);
    fn.header |= flags & function::kTraceFlags;
    context::owner_of(ctx) = fn;
    stack::push(fn);
    return ctx;
}

// Every entry of a type block must be a word whose value is a datatype!, a typeset! or a word!.
void check_type_block(const Cell& types) {
    for (uint32_t i = types.data1; i < length_of(types.data2); ++i) {
        Cell entry = cells_of(types.data2)[i];
        if (!is(entry, TypeId::word)) error::raise(ErrorId::script_invalid_type_spec, entry);
        Cell v = *word::get(entry);
        if (is(v, TypeId::unset)) error::raise(ErrorId::script_no_value, entry);
        TypeId t = type_of(v);
        if (t != TypeId::datatype && t != TypeId::typeset && t != TypeId::word)
            error::raise(ErrorId::script_invalid_type_spec, entry);
    }
}

// The word kinds the interpreter names a callable's arguments with, until a set-word, /local
// or /extern: an op! needs exactly two, and its left one evaluated.
bool fits_an_op(Node spec) {
    int count = 0;
    bool seen_word = false;
    for (uint32_t i = 0; i < length_of(spec); ++i) {
        Cell c = cells_of(spec)[i];
        TypeId t = type_of(c);
        if (t == TypeId::set_word || local_q(c) || extern_q(c)) break;
        if (t == TypeId::refinement) return false;
        if (t == TypeId::word) {
            seen_word = true;
            ++count;
        } else if (t == TypeId::lit_word || t == TypeId::get_word) {
            if (!seen_word) return false;
            ++count;
        }
    }
    return count == 2;
}

// The type a value behaves as: an op! as the callable it wraps.
TypeId callable_type(const Cell& value) {
    return is(value, TypeId::op) ? function::op_source_type(value) : type_of(value);
}

}  // namespace

namespace function {


// ---- what the interpreter reads ----

Cell* more_cell(const Cell& callable, uint32_t index) {
    SeriesBuffer* b = memory::buffer_of(callable.data3);
    return index < b->length() ? b->cells() + index : nullptr;
}

Node context_of(const Cell& callable) {
    TypeId t = callable_type(callable);
    if (t == TypeId::native || t == TypeId::action) return cells_of(callable.data3)[0].data3;
    return callable.data1;
}

Cell unwrap_op(const Cell& op) {
    TypeId t = op_source_type(op);
    if (t == TypeId::function || t == TypeId::routine) {
        const Cell* source = more_cell(op, more_op_source);
        if (source && is(*source, t)) return *source;
    }
    Cell c = op;
    c.header = uint32_t(t);
    return c;
}

// ---- making ----

Node own_spec(const Cell& spec) {
    Cell copy = *block::duplicate(spec, false, false);
    stack::pop(1);
    // One level is enough: a spec holds no deeper blocks that a call reads. Copying no deeper
    // also ends at once on a block that holds itself.
    for (uint32_t i = 0; i < length_of(copy.data2); ++i) {
        Cell c = cells_of(copy.data2)[i];
        if (!is(c, TypeId::block)) continue;
        Cell inner = *block::duplicate(c, false, false);
        stack::pop(1);
        inner.header = c.header;
        cells_of(copy.data2)[i] = inner;
    }
    return copy.data2;
}

Node make_value(const Cell& spec, const Cell* body, Node context, uint32_t code,
                Node defining_context, uint32_t flags, bool copy_body) {
    return make_function(spec, body, copy_body, context, code, defining_context, flags);
}

uint32_t validate_spec(const Cell& spec) {
    const Cell s = spec;
    auto refuse = [&s] { error::raise(ErrorId::script_bad_func_def, s); };
    auto at = [&s](uint32_t i) { return cells_of(s.data2)[i]; };
    const uint32_t n = length_of(s.data2);
    uint32_t i = s.data1;
    uint32_t flags = 0;

    if (i < n && is(at(i), TypeId::block)) {
        Cell attributes = at(i);
        for (uint32_t k = attributes.data1; k < length_of(attributes.data2); ++k) {
            Cell a = cells_of(attributes.data2)[k];
            if (!is(a, TypeId::word)) refuse();
            if (names(a, sym::trace)) flags |= kTrace;
            else if (names(a, sym::no_trace)) flags |= kNoTrace;
        }
        ++i;
    }

    std::vector<uint32_t> seen;  // canonical ids of the names so far
    auto check_duplicate = [&seen](const Cell& c) {
        uint32_t id = canon(c.data2);
        if (std::find(seen.begin(), seen.end(), id) != seen.end())
            error::raise(ErrorId::script_dup_vars, c);
        seen.push_back(id);
    };
    bool past_return = false, past_local = false;
    while (i < n) {
        Cell c = at(i);
        switch (type_of(c)) {
            case TypeId::word:
            case TypeId::lit_word:
            case TypeId::get_word:
                if (past_local && !is(c, TypeId::word)) refuse();
                if (past_return && !past_local) refuse();
                check_duplicate(c);
                ++i;
                // Only here and after return: may a block stand: a type block after the doc
                // string is refused as any other stray block.
                if (i < n && is(at(i), TypeId::block)) check_type_block(at(i++));
                break;
            case TypeId::string:
                ++i;
                break;
            case TypeId::set_word:
                if (!names(c, sym::return_) || past_return || past_local) refuse();
                past_return = true;
                if (++i >= n || !is(at(i), TypeId::block)) refuse();
                check_type_block(at(i++));
                if (i < n && !is(at(i), TypeId::refinement) && !is(at(i), TypeId::string)) refuse();
                break;
            case TypeId::refinement:
                if (local_q(c)) past_local = true;
                else if (past_return || past_local) refuse();
                check_duplicate(c);
                ++i;
                if (i < n && !word_kind(type_of(at(i))) && !is(at(i), TypeId::string)) refuse();
                break;
            default:
                refuse();
        }
    }
    return flags;
}

int32_t count_local_slots(Node spec, uint32_t start, bool strict) {
    uint32_t n = length_of(spec);
    uint32_t i = start;
    while (i < n && !local_q(cells_of(spec)[i])) ++i;
    if (i >= n) return strict ? -1 : 0;
    int32_t count = 1;
    for (++i; i < n; ++i) {
        TypeId t = type_of(cells_of(spec)[i]);
        if (t == TypeId::set_word || t == TypeId::refinement) break;
        if (t == TypeId::word) ++count;
    }
    return count;
}

void push_inactive_refinement(uint32_t n) {
    if (n == 0) return;
    stack::push(cell::logic(false));
    for (uint32_t i = 1; i < n; ++i) stack::push(cell::none());
}

void fill_frame(Node ctx, uint32_t locals) {
    const uint32_t words = context::word_count(ctx);
    auto cells = [] { return uint32_t(stack::data_top - stack::base); };
    while (cells() + locals < words) stack::push(cell::none());
    push_inactive_refinement(locals);
    while (cells() < words) stack::push(cell::none());
}

Cell collect_locals(const Cell& spec, const Cell& body) {
    const Cell s = spec;
    const uint32_t end = length_of(s.data2);
    const uint32_t head = std::min(s.data1, end);

    uint32_t cut = end;
    for (uint32_t i = head; i < end; ++i)
        if (extern_q(cells_of(s.data2)[i])) {
            cut = i;
            break;
        }

    Cell collection;
    block::init_cell(collection, 8);
    auto collected_q = [&collection](uint32_t id) {
        for (uint32_t k = 0; k < length_of(collection.data2); ++k)
            if (canon(cells_of(collection.data2)[k].data2) == id) return true;
        return false;
    };
    auto take = [&](const Cell& w) {
        if (collected_q(canon(w.data2))) return;
        Cell plain = w;
        plain.header = uint32_t(TypeId::word);
        block::append_cell(collection, plain);
    };

    if (cut < end) {
        for (uint32_t i = head; i < end; ++i) {
            Cell c = cells_of(s.data2)[i];
            TypeId t = type_of(c);
            if (!(t >= TypeId::word && t <= TypeId::refinement) && t != TypeId::block &&
                t != TypeId::string)
                error::raise(ErrorId::script_bad_func_extern, c);
        }
        // Locals declared after the externs are kept, after the spec's new /local.
        bool in_local = false;
        for (uint32_t i = cut + 1; i < end; ++i) {
            Cell c = cells_of(s.data2)[i];
            if (is(c, TypeId::refinement)) in_local = local_q(c);
            else if (in_local && is(c, TypeId::word)) take(c);
        }
    }

    // Every name the whole spec gives (externs included), whatever its word kind.
    std::vector<uint32_t> known;
    for (uint32_t i = head; i < end; ++i) {
        Cell c = cells_of(s.data2)[i];
        if (word_kind(type_of(c)) || is(c, TypeId::set_word)) known.push_back(canon(c.data2));
    }
    auto add = [&](const Cell& w) {
        if (std::find(known.begin(), known.end(), canon(w.data2)) == known.end()) take(w);
    };
    auto loop_word_q = [](const Cell& c) {
        return is(c, TypeId::word) &&
               (names(c, sym::foreach) || names(c, sym::repeat) || names(c, sym::remove_each));
    };

    auto walk = [&](auto& self, const Cell& block) -> void {
        if (cycles::find_q(block.data2)) return;
        cycles::push(block.data2);
        for (uint32_t i = block.data1; i < length_of(block.data2); ++i) {
            Cell c = cells_of(block.data2)[i];
            TypeId t = type_of(c);
            if (t == TypeId::set_word) {
                add(c);
            } else if (loop_word_q(c) && i + 1 < length_of(block.data2)) {
                Cell next = cells_of(block.data2)[i + 1];
                if (is(next, TypeId::word) || is(next, TypeId::set_word)) add(next);
                if (names(c, sym::foreach) && is(next, TypeId::block)) {
                    for (uint32_t k = next.data1; k < length_of(next.data2); ++k) {
                        Cell w = cells_of(next.data2)[k];
                        TypeId wt = type_of(w);
                        if (wt == TypeId::word || wt == TypeId::lit_word || wt == TypeId::get_word) add(w);
                    }
                }
            } else if (t == TypeId::block || t == TypeId::paren) {
                self(self, c);
            }
        }
        cycles::pop();
    };
    if (block_kind(type_of(body))) walk(walk, body);

    Cell result;
    block::init_cell(result, int32_t(cut - head + length_of(collection.data2) + 1));
    for (uint32_t i = head; i < cut; ++i) block::append_cell(result, cells_of(s.data2)[i]);
    if (length_of(collection.data2) > 0) {
        bool has_local = false;
        for (uint32_t i = 0; i < length_of(result.data2); ++i) has_local |= local_q(cells_of(result.data2)[i]);
        if (!has_local) block::append_cell(result, words::local_refinement);
        block::append_all(result, collection);
    }
    return result;
}

// ---- actions ----

Cell make(const Cell&, const Cell& spec, TypeId) {
    Cell s = spec;
    bool fit = is(s, TypeId::block) && s.data1 + 2 <= length_of(s.data2) &&
               is(cells_of(s.data2)[s.data1], TypeId::block) &&
               is(cells_of(s.data2)[s.data1 + 1], TypeId::block);
    if (!fit) error::raise(ErrorId::script_bad_func_def, s);
    Cell fspec = cells_of(s.data2)[s.data1];
    Cell body = cells_of(s.data2)[s.data1 + 1];
    uint32_t flags = validate_spec(fspec);
    make_value(fspec, &body, kNoNode, 0, kNoNode, flags);
    Cell fn = *stack::top();
    stack::pop(1);
    return fn;
}

Cell reflect(const Cell& value, uint32_t field) {
    TypeId t = type_of(value);
    TypeId source = callable_type(value);
    uint32_t f = canon(field);
    // A copy: the calls rely on the spec the callable was made from.
    if (f == canon(sym::spec)) return block_over(own_spec(block_over(value.data2)));
    if (f == canon(sym::body)) {
        if (source == TypeId::function || source == TypeId::routine) {
            // A copy, so that changing it cannot change what the function runs.
            Cell body = cells_of(value.data3)[more_body];
            if (!is(body, TypeId::block)) return body;
            Cell copy = *block::duplicate(body, true, true);
            stack::pop(1);
            return copy;
        }
        return cell::integer(int32_t(value.data1));
    }
    if (f == canon(sym::words) && (t == TypeId::function || t == TypeId::routine)) {
        Node ctx = value.data1;
        Cell words = *block::duplicate(block_over(context::words_node(ctx)), false, false);
        stack::pop(1);
        SeriesBuffer* b = memory::buffer_of(words.data2);
        for (Cell* w = b->cells(); w < b->cells_end(); ++w) {
            w->data1 = ctx;
            w->header &= ~cell_flag::assigned;
        }
        return words;
    }
    error::raise(ErrorId::internal_not_done);
}

int32_t form(const Cell& value, Node string, const Cell*, int32_t limit) {
    switch (type_of(value)) {
        case TypeId::native: return write(string, "?native?", limit);
        case TypeId::action: return write(string, "?action?", limit);
        case TypeId::op: return write(string, "?op?", limit);
        case TypeId::routine: return write(string, "?routine?", limit);
        default: return write(string, "?function?", limit);
    }
}

int32_t mold(const Cell& value, Node string, bool, bool all, bool flat, const Cell* part,
             int32_t limit, int32_t indent) {
    Cell v = value;
    Cell spec = block_over(v.data2);
    auto spec_in_brackets = [&](std::string_view before) {
        limit = write(string, before, limit);
        limit = mold_value(spec, string, all, flat, part, limit, indent);
        return write(string, "]", limit);
    };
    auto spec_and_body = [&](std::string_view before) {
        limit = write(string, before, limit);
        limit = mold_value(spec, string, all, flat, part, limit, indent);
        Cell body = cells_of(v.data3)[more_body];
        if (is(body, TypeId::none)) return write(string, " none", limit);
        if (!is(body, TypeId::block)) limit = write(string, " ", limit);
        return mold_value(body, string, all, flat, part, limit, indent);
    };
    switch (type_of(v)) {
        case TypeId::native: return spec_in_brackets("make native! [");
        case TypeId::action: return spec_in_brackets("make action! [");
        case TypeId::op:
            if (op_source_type(v) == TypeId::function) return spec_and_body("make op! func ");
            return spec_in_brackets("make op! [");
        case TypeId::routine: return spec_and_body("routine ");
        default: return spec_and_body("func ");
    }
}

int32_t compare(const Cell& a, const Cell& b, CompareOp op) {
    TypeId t = type_of(a);
    if (type_of(b) != t) return kNotComparable;
    if (!equality_or_sort_q(op)) return kNotComparable;
    bool by_more = t == TypeId::function || t == TypeId::routine;
    uint32_t x = by_more ? a.data3 : a.data1, y = by_more ? b.data3 : b.data1;
    return x < y ? -1 : x > y ? 1 : 0;
}

void init() {
    // The spec and the more-block; functions and routines also their context, and an op! its
    // source's context when the source had one.
    for (TypeId t : {TypeId::native, TypeId::action})
        gc::define_refs(t, {.data2 = gc::Ref::block, .data3 = gc::Ref::block});
    for (TypeId t : {TypeId::function, TypeId::routine})
        gc::define_refs(t, {.data1 = gc::Ref::block, .data2 = gc::Ref::block, .data3 = gc::Ref::block});
    gc::define_refs(TypeId::op, {.visit = [](const Cell& c, const gc::RefVisitor& v) {
                        v.block(callable_cell::spec(c));
                        v.block(callable_cell::more(c));
                        TypeId source = function::op_source_type(c);
                        if (source == TypeId::function || source == TypeId::routine)
                            v.block(callable_cell::context(c));
                    }});
    registry::define(TypeId::native, {.make = native::make, .reflect = reflect, .form = form,
                                      .mold = mold, .compare = compare});
    // The forms, molds and comparisons read the type from the cell: the children share them.
    registry::define(TypeId::action, {});
    registry::define(TypeId::op, {.make = op::make});
    registry::define(TypeId::function, {.make = make, .reflect = reflect, .form = form,
                                        .mold = mold, .compare = compare});
    registry::define(TypeId::routine, {.make = lacks});
}

}  // namespace function

namespace native {

namespace {

// The argument tables of the built-ins, by type and table number, made at start-up.
Node builtin_tables[2][kTableSlots + 1];

Node& builtin_table(TypeId type, uint32_t number) {
    return builtin_tables[type == TypeId::action ? 1 : 0][number];
}

void mark_builtin_tables() {
    for (const auto& tables : builtin_tables)
        for (Node n : tables)
            if (n) gc::mark_block(n);
}

bool type_value_q(const Cell& entry) {
    if (!is(entry, TypeId::word)) return false;
    const Cell* v = word::bound_slot(entry);
    return v && (is(*v, TypeId::datatype) || is(*v, TypeId::typeset));
}

// The shapes a native's spec may take: argument words (plain, lit or get), each with an optional
// block of type words, refinements, doc strings, and `return:` with its type block; no name twice.
// Anything else could not agree with a built-in's.
bool native_spec_q(const Cell& spec) {
    const Node n = spec.data2;
    std::vector<uint32_t> seen;
    for (uint32_t i = spec.data1; i < length_of(n);) {
        Cell c = cells_of(n)[i++];
        TypeId t = type_of(c);
        if (t == TypeId::string) continue;
        bool argument = t == TypeId::word || t == TypeId::lit_word || t == TypeId::get_word;
        bool returns = t == TypeId::set_word && names(c, sym::return_);
        if (!argument && !returns && t != TypeId::refinement) return false;
        if (!returns) {
            if (std::find(seen.begin(), seen.end(), canon(c.data2)) != seen.end()) return false;
            seen.push_back(canon(c.data2));
        }
        if (t == TypeId::refinement) continue;
        if (i < length_of(n) && is(cells_of(n)[i], TypeId::block)) {
            Cell types = cells_of(n)[i++];
            for (uint32_t k = types.data1; k < length_of(types.data2); ++k)
                if (!type_value_q(cells_of(types.data2)[k])) return false;
        } else if (returns) {
            return false;
        }
    }
    return true;
}

// Two argument tables agree when they take the same arguments of the same kinds and types, in
// the same places, with the same refinements and the same return type.
bool same_table(Node a, Node b) {
    if (length_of(a) != length_of(b)) return false;
    for (uint32_t i = 0; i < length_of(a); ++i) {
        Cell x = cells_of(a)[i], y = cells_of(b)[i];
        if (type_of(x) != type_of(y)) return false;
        bool same = is(x, TypeId::refinement)
                        ? canon(x.data2) == canon(y.data2) && x.data3 == y.data3
                        : (x.header & ~cell_flag::new_line) == (y.header & ~cell_flag::new_line) &&
                              x.data1 == y.data1 && x.data2 == y.data2 && x.data3 == y.data3;
        if (!same) return false;
    }
    return true;
}

Cell make_callable(const Cell& spec, uint32_t number, TypeId type) {
    Node spec_node = function::own_spec(spec);
    Node ctx = context::make_from_spec(block_over(spec_node), true, false, context::function);
    Cell context_cell = context::cell_of(ctx);
    context_cell.data3 = ctx;
    Node more = cells_block({context_cell, cell::none()});
    Cell made = cell::make(type, number, spec_node, more);
    // Built now, while the spec's type words mean what they mean now: a built-in trusts the types
    // its table lets through.
    if (datatype_hooks.build_argument_table) datatype_hooks.build_argument_table(made);
    return made;
}

}  // namespace

Cell define(const Cell& spec, uint32_t number, TypeId type) {
    static bool marked = false;  // the tables outlive any word that names their built-in
    if (!marked) {
        gc::add_mark_callback(mark_builtin_tables);
        marked = true;
    }
    Cell made = make_callable(spec, number, type);
    Cell table = cells_of(made.data3)[function::more_arg_table];
    builtin_table(type, number) = is(table, TypeId::block) ? table.data2 : kNoNode;
    return made;
}

Node builtin_arguments(TypeId type, uint32_t number) {
    return number <= kTableSlots ? builtin_table(type, number) : kNoNode;
}

Cell make(const Cell& proto, const Cell& spec, TypeId type) {
    Cell s = spec;
    const uint32_t slots = type == TypeId::action ? uint32_t(kActionCount) : kTableSlots;
    bool fit = is(s, TypeId::block) && s.data1 + 2 == length_of(s.data2) &&
               is(cells_of(s.data2)[s.data1], TypeId::block) &&
               is(cells_of(s.data2)[s.data1 + 1], TypeId::integer);
    int32_t index = fit ? cell::get_integer(cells_of(s.data2)[s.data1 + 1]) : 0;
    auto refuse = [&] { error::raise(ErrorId::script_bad_make_arg, proto, s); };
    if (index < 1 || uint32_t(index) > slots) refuse();
    const Node builtin = builtin_table(type, uint32_t(index));
    const Cell given = cells_of(s.data2)[s.data1];
    if (!builtin || !native_spec_q(given)) refuse();
    Cell made = make_callable(given, uint32_t(index), type);
    Cell table = cells_of(made.data3)[function::more_arg_table];
    if (!is(table, TypeId::block) || !same_table(table.data2, builtin)) refuse();
    return made;
}

}  // namespace native

namespace op {

Cell make(const Cell&, const Cell& spec, TypeId) {
    TypeId t = type_of(spec);
    if (t != TypeId::native && t != TypeId::action && t != TypeId::function && t != TypeId::routine)
        error::raise(ErrorId::script_invalid_type, cell::datatype(t));
    if (!fits_an_op(spec.data2)) error::raise(ErrorId::script_bad_op_spec);
    Cell source = spec;
    if (t == TypeId::function || t == TypeId::routine) {
        Cell* slot = function::more_cell(source, function::more_op_source);
        if (slot) *slot = source;
    }
    Cell result = source;
    result.header = uint32_t(TypeId::op) | (uint32_t(t) << 16);
    return result;
}

}  // namespace op

namespace routine {

Cell* make_value(const Cell& spec, const Cell* body, uint32_t code, uint32_t return_type,
                 bool variant) {
    // Each call reads the argument positions and types from the spec.
    Node spec_node = function::own_spec(spec);
    Node ctx = context::make_from_spec(block_over(spec_node), true, false, context::function);
    Cell b = stored_body(body, true, ctx);
    Node more = cells_block({b, cell::unset(), cell::integer(int32_t(code)), cell::unset(),
                             cell::integer(int32_t(return_type))});
    Cell r = cell::make(TypeId::routine, ctx, spec_node, more);
    if (variant) r.header |= kVariant;
    set_arity(r);
    context::owner_of(ctx) = r;
    return stack::push(r);
}

uint32_t arity(const Cell& routine) { return (routine.header & kArityMask) >> kArityShift; }

void set_arity(Cell& routine) {
    uint32_t count = 0;
    for (uint32_t i = 0; i < length_of(routine.data2); ++i)
        if (is(cells_of(routine.data2)[i], TypeId::word)) ++count;
    routine.header = (routine.header & ~kArityMask) | (std::min<uint32_t>(count, 31) << kArityShift);
}

}  // namespace routine
}  // namespace kaz
