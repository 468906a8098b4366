#include "datatypes/ownership.h"

#include "datatypes/cells.h"
#include "datatypes/context.h"
#include "datatypes/internal.h"
#include "datatypes/object.h"
#include "runtime/case_fold.h"
#include "runtime/cycles.h"
#include "runtime/hashtable.h"

namespace kaz::ownership {

Node table = kNoNode;

namespace {

constexpr uint32_t kOwnerContext = 1u << 16;  // context! header: its object has a deep-change hook

bool block_family(TypeId t) {
    return t == TypeId::block || t == TypeId::paren || t == TypeId::hash ||
           (t >= TypeId::path && t <= TypeId::get_path);
}

// Types whose series can be owned (bitset! is recorded but not walked into).
bool ownable(TypeId t) {
    switch (t) {
        case TypeId::string: case TypeId::file: case TypeId::url: case TypeId::tag:
        case TypeId::email: case TypeId::ref: case TypeId::binary: case TypeId::vector:
        case TypeId::image: case TypeId::bitset:
            return true;
        default:
            return block_family(t);
    }
}

bool owner_context_q(Node ctx) { return (context::cell_of(ctx).header & kOwnerContext) != 0; }

template <typename F>
void each_cell(const Cell& block, F f) {
    for (uint32_t i = series_cell::head(block);; ++i) {
        SeriesBuffer* b = memory::buffer_of(series_cell::node(block));
        if (i >= b->length()) break;
        Cell c = b->cells()[i];
        f(c);
    }
}

}  // namespace

void init() {
    table = hashtable::make(1000, nullptr, hashtable::kOwnership, 3);
    case_::part_word = words::part_refinement;
}

void set_deep(const Cell& value, const Cell& owner, const Cell& word) {
    TypeId t = type_of(value);
    if (t == TypeId::object) {
        Node ctx = object_cell::context(value);
        if (owner_context_q(ctx) || cycles::find_q(ctx)) return;
        cycles::push(ctx);
        for (uint32_t i = 0; i < context::word_count(ctx); ++i) {
            Cell field = *context::value_at(ctx, i);
            if (is(field, TypeId::object) && object_cell::context(field) == object_cell::context(owner)) continue;
            Cell field_word = *context::word_at(ctx, i);
            set_deep(field, owner, field_word);
        }
        cycles::pop();
        return;
    }
    Node n = series_cell::node(value);
    if (!ownable(t) || !n) return;
    SeriesBuffer* b = memory::buffer_of(n);
    if (!(b->flags & series_flag::owned)) {
        b->flags |= series_flag::owned;
        Cell v = value, o = owner, w = word;
        Cell* record = hashtable::put_int_key(table, n);
        record[0] = v;
        record[1] = o;
        record[2] = w;
    }
    if (block_family(t) && !cycles::find_q(n)) {
        cycles::push(n);
        each_cell(value, [&](const Cell& c) { set_deep(c, owner, word); });
        cycles::pop();
    }
}

void set_owner(const Cell& value, const Cell& owner, const Cell& word) {
    set_deep(value, owner, word);
    context::cell_of(object_cell::context(owner)).header |= kOwnerContext;
}

void unset_deep(const Cell& value) {
    TypeId t = type_of(value);
    if (t == TypeId::object) {
        Node ctx = object_cell::context(value);
        if (owner_context_q(ctx) || cycles::find_q(ctx)) return;
        cycles::push(ctx);
        for (uint32_t i = 0; i < context::word_count(ctx); ++i) unset_deep(*context::value_at(ctx, i));
        cycles::pop();
        return;
    }
    Node n = series_cell::node(value);
    if (!ownable(t) || !n) return;
    SeriesBuffer* b = memory::buffer_of(n);
    if (!(b->flags & series_flag::owned)) return;  // unowned: nothing below is either
    b->flags &= ~series_flag::owned;
    if (Cell* record = hashtable::delete_int_key(table, n))
        record[0] = record[1] = record[2] = cell::unset();
    if (block_family(t)) each_cell(value, [](const Cell& c) { unset_deep(c); });
}

void unset_range(const Cell& block, uint32_t index, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        SeriesBuffer* b = memory::buffer_of(series_cell::node(block));
        if (index + i >= b->length()) break;
        unset_deep(b->cells()[index + i]);
    }
}

void case_changed(const Cell& string, bool upper, int32_t index, int32_t count) {
    if (owned_q(string)) notify_change(string, upper ? words::uppercase : words::lowercase, nullptr, index, count);
}

const Cell* owner_of(Node node) {
    Cell* record = hashtable::get_int_key(table, node);
    return record ? record + 1 : nullptr;
}

bool notify_change(const Cell& value, const Cell& action, const Cell* new_value, int32_t index,
                   int32_t part) {
    Node n = is(value, TypeId::object) ? object_cell::context(value) : series_cell::node(value);
    const Cell* owner = owner_of(n);
    if (!owner || !object_cell::notifies_q(owner[0])) return false;
    Cell o = owner[0], w = owner[1], v = value, a = action;
    Cell nv = new_value ? *new_value : cell::none();
    object::fire_on_deep_change(o, w, v, a, nv, index, part);
    return true;
}

}  // namespace kaz::ownership
