// word! family — making words, reading and writing values, molds and comparison.
#include "datatypes/word.h"

#include "datatypes/context.h"
#include "datatypes/hooks.h"
#include "datatypes/internal.h"
#include "datatypes/object.h"
#include "datatypes/registry.h"
#include "datatypes/symbol.h"
#include "runtime/error.h"
#include "runtime/gc.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/text.h"
#include "runtime/unicode.h"

#include <string>

namespace kaz::word {


// ---- making ----

Cell& init_global_cell(uint32_t symbol, Cell& c) {
    Cell w = cell::make(TypeId::word, context::global, symbol, 0);
    w.data3 = context::add_unset_word(context::global, w);
    c.header = (c.header & ~cell_flag::type_mask) | uint32_t(TypeId::word);
    c.data1 = w.data1;
    c.data2 = w.data2;
    c.data3 = w.data3;
    return c;
}

Cell* make_in_block(uint32_t symbol, Node block) {
    Cell w = cell::unset();
    init_global_cell(symbol, w);
    SeriesBuffer* b = memory::buffer_of(block);
    Cell* c = series::reserve_cell(b);
    *c = w;
    return c;
}

Cell* push_symbol(uint32_t symbol) {
    Cell w = cell::unset();
    init_global_cell(symbol, w);
    return stack::push(w);
}

Cell from_c_string(const char* name) {
    return context::find_or_add_global(symbol::intern(name), true, true);
}

Cell from_symbol(uint32_t symbol) { return context::find_or_add_global(symbol, false, true); }

Cell refinement_from_c_string(const char* name) {
    return cell::make(TypeId::refinement, 0, symbol::intern(name), kNoIndex);
}

// ---- reading and writing ----


Cell* get_in_context(const Cell& word, Node ctx) {
    if (word.data3 != kNoIndex && ctx) {
        Cell* slot = context::value_at(ctx, word.data3);
        if (!slot) error::raise(ErrorId::script_not_in_context, word);
        return slot;
    }
    if (ctx && word.data2 == sym::self) return &context::owner_of(ctx);
    error::raise(ErrorId::script_no_value, word);
}

Cell* set(Cell& word, const Cell& value) { return set_in_context(word, value, word.data1, true); }

Cell* set_in_context(Cell& word, const Cell& value, Node ctx, bool notify) {
    Cell v = value;  // the value may live in a buffer that adding the word moves
    if (!ctx) error::raise(ErrorId::script_not_defined, word);
    if (word.data3 == kNoIndex) {
        int32_t i = context::find_symbol(ctx, word.data2, false);
        word.data3 = i >= 0 ? uint32_t(i) : context::add_unset_word(ctx, word);
    }
    uint32_t index = word.data3;
    Cell* slot = context::value_at(ctx, index);
    if (!slot) error::raise(ErrorId::script_not_defined, word);
    if (context::on_stack_q(ctx)) {
        *slot = v;
        return slot;
    }
    if (context::kind_of(ctx) == context::object) {
        context::word_at(ctx, index)->header |= cell_flag::assigned;
        const Cell& owner = context::owner_of(ctx);
        if (notify && owner.data3 != 0) {
            Cell* saved_top = stack::data_top;
            Cell* old = stack::push(*slot);
            *context::value_at(ctx, index) = v;
            Cell owner_copy = context::owner_of(ctx);
            object::fire_on_change(owner_copy, word, *old, v);
            stack::data_top = saved_top;
            return context::value_at(ctx, index);
        }
    }
    *slot = v;
    return slot;
}

void set_from_args(Cell word) {
    Cell value = stack::base[1];
    if (is(value, TypeId::unset)) error::raise(ErrorId::script_need_value, word);
    set(word, value);
    stack::base[0] = value;
}

Cell* get_value(const Cell& word) {
    Cell v = *get(word);
    if (is(v, TypeId::unset)) error::raise(ErrorId::script_no_value, word);
    return stack::push(v);
}

// ---- actions ----

// make and to: the result's header is exactly the target type, flags dropped.
Cell make(const Cell&, const Cell& spec, TypeId type) {
    auto retyped = [type](Cell w) {
        w.header = uint32_t(type);
        return w;
    };
    switch (type_of(spec)) {
        case TypeId::word:
        case TypeId::set_word:
        case TypeId::lit_word:
        case TypeId::get_word:
            return retyped(spec);
        case TypeId::datatype:
            return retyped(registry::type_name(TypeId(spec.data1)).word);
        case TypeId::logic:
            return retyped(from_symbol(spec.data1 ? sym::true_ : sym::false_));
        case TypeId::refinement:
        case TypeId::issue: {
            // The name read as source: a word kind loads bound to the global context.
            std::string name(symbol::name(spec.data2));
            Cell first = datatype_hooks.load_first ? datatype_hooks.load_first(name.data(), uint32_t(name.size())) : cell::unset();
            TypeId t = type_of(first);
            if (t != TypeId::word && t != TypeId::set_word && t != TypeId::get_word && t != TypeId::lit_word)
                error::raise(ErrorId::script_bad_to_arg, cell::datatype(type), spec);
            Cell w = cell::make(TypeId::word, 0, spec.data2, kNoIndex);
            context::bind_word(context::global, w);
            return retyped(w);
        }
        case TypeId::string:
        case TypeId::char_: {
            // The first value the text loads as must be of a word kind.
            std::string text;
            if (is(spec, TypeId::char_)) {
                uint8_t buf[4];
                text.assign(reinterpret_cast<char*>(buf), utf8::encode_char(spec.data2, buf));
            } else {
                Cell s = spec;
                int32_t length = -1;
                const char* t = string::to_utf8(s, length);
                text.assign(t, size_t(length));
            }
            Cell first = datatype_hooks.load_first ? datatype_hooks.load_first(text.data(), uint32_t(text.size())) : cell::unset();
            if (!any_word_type_q(type_of(first))) error::raise(ErrorId::script_invalid_chars);
            return retyped(first);
        }
        default:
            error::raise(ErrorId::script_bad_to_arg, cell::datatype(type), spec);
    }
}

int32_t form(const Cell& value, Node string, const Cell*, int32_t limit) {
    return limit - int32_t(text::append_utf8(string, symbol::name(value.data2)));
}

int32_t mold(const Cell& value, Node string, bool, bool, bool, const Cell* part, int32_t limit,
             int32_t) {
    const char* before = nullptr;
    const char* after = nullptr;
    switch (type_of(value)) {
        case TypeId::lit_word: before = "'"; break;
        case TypeId::get_word: before = ":"; break;
        case TypeId::refinement: before = "/"; break;
        case TypeId::set_word: after = ":"; break;
        default: break;
    }
    if (before) {
        text::append_ascii(string, before);
        --limit;
    }
    limit = form(value, string, part, limit);
    if (after) {
        text::append_ascii(string, after);
        --limit;
    }
    return limit;
}

int32_t compare(const Cell& a, const Cell& b, CompareOp op) {
    TypeId ta = type_of(a), tb = type_of(b);
    if (!any_word_type_q(tb) || (tb == TypeId::issue && ta != TypeId::issue)) return kNotComparable;
    auto literal_pair = [&] {
        return (ta == TypeId::word && tb == TypeId::lit_word) || (ta == TypeId::lit_word && tb == TypeId::word);
    };
    auto same_canonical = [&] { return symbol::canonical_id(a.data2) == symbol::canonical_id(b.data2); };
    switch (op) {
        case CompareOp::same:
            return ta == tb && a.data1 == b.data1 && a.data2 == b.data2 ? 0 : 1;
        case CompareOp::strict_equal:
            return ta == tb && a.data2 == b.data2 ? 0 : 1;
        case CompareOp::match_case:
            if (literal_pair()) return a.data2 == b.data2 ? 0 : 1;
            return ta == tb && a.data2 == b.data2 ? 0 : 1;
        case CompareOp::match:
            if (literal_pair()) return same_canonical() ? 0 : 1;
            return ta == tb && same_canonical() ? 0 : 1;
        case CompareOp::equal:
        case CompareOp::not_equal:
        case CompareOp::find:
            return same_canonical() ? 0 : 1;
        default:
            return symbol::compare_names(a.data2, b.data2, op);
    }
}

void index_q() {
    Cell& w = stack::base[0];
    w = w.data3 == kNoIndex ? cell::none() : cell::integer(int32_t(w.data3) + 1);
}

void init() {
    // A bound word names its context record.
    for (TypeId t : {TypeId::word, TypeId::set_word, TypeId::lit_word, TypeId::get_word, TypeId::refinement})
        gc::define_refs(t, {.data1 = gc::Ref::block_opt});
    registry::define(TypeId::word, {.make = make, .to = make, .form = form, .mold = mold,
                                    .compare = compare, .index_q = index_q});
    // mold writes each kind's mark from the cell's type.
    registry::define(TypeId::set_word, {});
    registry::define(TypeId::lit_word, {});
    registry::define(TypeId::get_word, {});
    registry::define(TypeId::refinement, {.index_q = lacks});
}

}  // namespace kaz::word
