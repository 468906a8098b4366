// object! — making from specs and prototypes, copying, paths, reflection, text forms,
// comparison and the change notifications.
#include "datatypes/object.h"

#include <algorithm>
#include <string_view>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/function.h"
#include "datatypes/hooks.h"
#include "datatypes/internal.h"
#include "datatypes/logic.h"
#include "datatypes/ownership.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/symbol.h"
#include "datatypes/typeset.h"
#include "datatypes/word.h"
#include "runtime/cycles.h"
#include "runtime/error.h"
#include "runtime/gc.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/text.h"

namespace kaz::object {

uint32_t class_counter = 1;

namespace {

// ---- helpers ----

// context! header bit 16: the object's series are marked as owned by it.
constexpr uint32_t kOwnerContext = 1u << 16;

Cell* cells_of(Node n) { return memory::buffer_of(n)->cells(); }
uint32_t length_of(Node n) { return memory::buffer_of(n)->length(); }
uint32_t field_count(Node ctx) { return context::word_count(ctx); }
Cell* slot(Node ctx, uint32_t i) { return context::value_at(ctx, i); }
uint32_t canon(uint32_t symbol) { return symbol::canonical_id(symbol); }
bool handler_name_q(uint32_t symbol) {
    uint32_t s = canon(symbol);
    return s == canon(words::on_change_star.data2) || s == canon(words::on_deep_change_star.data2);
}

using text::write;

bool block_kind(TypeId t) { return series_::any_block_q(t); }
// The values that making an object copies deeply: every series.
bool made_copy_kind(TypeId t) { return series_::series_type_q(t); }
// The values copy/deep copies deeply.
bool deep_copy_kind(TypeId t) {
    return (block_kind(t) && t != TypeId::hash) || series_::any_string_q(t);
}

// A deep copy by the value's own copy action, keeping the cell's flags.
Cell deep_copy(const Cell& value) {
    Cell v = value;
    CopyAction cp = registry::actions(type_of(v)).copy;
    if (!cp) return v;
    Cell* reserved = stack::push(cell::unset());
    cp(v, *reserved, nullptr, true, nullptr);
    Cell fresh = *reserved;
    stack::pop(1);
    fresh.header = (fresh.header & cell_flag::type_mask) | (v.header & ~cell_flag::type_mask);
    return fresh;
}

Cell plain_word(Node ctx, uint32_t index) {
    Cell w = *context::word_at(ctx, index);
    return cell::make(TypeId::word, ctx, w.data2, index);
}

// A new object over a clone of the source's word table, its values copied as they stand;
// same type, class and handler info.
Cell clone(const Cell& source) {
    Cell src = source;
    Node sctx = src.data1;
    uint32_t n = field_count(sctx);
    Node ctx = context::make(n, false, true, sctx, context::object);
    for (uint32_t i = 0; i < n; ++i) *slot(ctx, i) = *slot(sctx, i);
    Cell obj = src;
    obj.header = uint32_t(type_of(src));
    obj.data1 = ctx;
    store(obj);
    return obj;
}

void rebind_functions(Node ctx) {
    for (uint32_t i = 0; i < field_count(ctx); ++i)
        if (is(*slot(ctx, i), TypeId::function)) rebind_function(ctx, i);
}

void clear_marks(Node ctx) {
    for (uint32_t i = 0; i < field_count(ctx); ++i) context::word_at(ctx, i)->header &= ~cell_flag::assigned;
}

struct Handler {
    uint32_t position;
    uint32_t locals;
    Node spec;
};

Handler handler_of(const Cell& object, uint32_t which) {
    if (!object.data3) return {kNoHandler, 0, kNoNode};
    Cell c = cells_of(object.data3)[which];
    return {c.data2 >> 16, c.data2 & 0xFFFF, c.data3};
}

Cell handler_cell(uint32_t position, uint32_t locals, Node spec) {
    return cell::make(TypeId(kHandlerInfoType), 0, (position << 16) | (locals & 0xFFFF), spec);
}

void build_handlers(Cell& object, Handler change, Handler deep) {
    Node info = series::alloc_cells(2);
    SeriesBuffer* b = memory::buffer_of(info);
    *series::reserve_cell(b) = handler_cell(change.position, change.locals, change.spec);
    *series::reserve_cell(b) = handler_cell(deep.position, deep.locals, deep.spec);
    object.data3 = info;
    store(object);
    if (deep.position == kNoHandler) return;
    Node ctx = object.data1;
    for (uint32_t i = 0; i < field_count(ctx); ++i) {
        Cell v = *slot(ctx, i);
        ownership::set_owner(v, object, plain_word(ctx, i));
    }
}

// Finds on-change* and on-deep-change*; each must hold a function! or routine!.
void attach_handlers(Cell& object) {
    Node ctx = object.data1;
    Handler found[2] = {{kNoHandler, 0, kNoNode}, {kNoHandler, 0, kNoNode}};
    const Cell* names[2] = {&words::on_change_star, &words::on_deep_change_star};
    for (int k = 0; k < 2; ++k) {
        int32_t p = context::find_symbol(ctx, names[k]->data2, true);
        if (p < 0) continue;
        Cell fn = *slot(ctx, uint32_t(p));
        if (!is(fn, TypeId::function) && !is(fn, TypeId::routine))
            error::raise(ErrorId::script_bad_field_set, plain_word(ctx, uint32_t(p)),
                         cell::datatype(type_of(fn)));
        int32_t locals = function::count_local_slots(fn.data2, 0, false);
        found[k] = {uint32_t(p), uint32_t(locals), fn.data2};
    }
    if (found[0].position == kNoHandler && found[1].position == kNoHandler) {
        object.data3 = 0;
        store(object);
        return;
    }
    build_handlers(object, found[0], found[1]);
}

// Runs handler `which` of the object with the arguments pushed by `push_args`.
template <typename PushArgs>
void fire(const Cell& object, uint32_t which, PushArgs push_args) {
    Cell obj = object;
    Handler h = handler_of(obj, which);
    if (h.position == kNoHandler) return;
    Node ctx = obj.data1;
    Cell fn = *slot(ctx, h.position);
    if (!is(fn, TypeId::function)) error::raise(ErrorId::script_invalid_obj_evt, fn);
    if (h.spec != fn.data2) {
        h.locals = uint32_t(function::count_local_slots(fn.data2, 0, false));
        h.spec = fn.data2;
        cells_of(obj.data3)[which] = handler_cell(h.position, h.locals, h.spec);
    }
    if (!datatype_hooks.call_handler) error::raise(ErrorId::internal_not_done);
    Cell name = plain_word(ctx, h.position);
    Cell* saved_top = stack::data_top;
    frame::push_function(name, fn.data1);
    push_args();
    function::fill_frame(fn.data1, h.locals);
    datatype_hooks.call_handler(fn, ctx, name);
    frame::pop_function();
    stack::data_top = saved_top;
}

// The field word bound to the object, unless it belongs to it already.
Cell bound_to(const Cell& word, Node ctx) {
    Cell w = word;
    w.header = uint32_t(TypeId::word);
    if (w.data1 != ctx) {
        int32_t p = context::find_symbol(ctx, w.data2, true);
        if (p >= 0) {
            w.data1 = ctx;
            w.data3 = uint32_t(p);
        }
    }
    return w;
}

// Sets field `p` as a word would, without its own notification; with handlers, the old value
// is kept on the data stack for the on-change* call.
void set_field_notified(const Cell& object, uint32_t p, const Cell& word, const Cell& value) {
    Cell obj = object;
    Node ctx = obj.data1;
    Cell w = cell::make(TypeId::word, ctx, word.data2, p);
    Cell v = value;
    if (!obj.data3) {
        word::set_in_context(w, v, ctx, false);
        return;
    }
    Cell* saved_top = stack::data_top;
    Cell* old = stack::push(*slot(ctx, p));
    word::set_in_context(w, v, ctx, false);
    fire_on_change(obj, w, *old, v);
    stack::data_top = saved_top;
}

}  // namespace

// ---- helpers ----

uint32_t new_class_id() { return ++class_counter; }

Cell& init_cell(Cell& c, uint32_t capacity) {
    Node ctx = context::make(capacity, false, true, kNoNode, context::object);
    c = cell::make(TypeId::object, ctx, 0, 0);
    store(c);
    return c;
}

Cell* push(Node context, uint32_t class_id, Node handlers) {
    Cell c = cell::make(TypeId::object, context, class_id, handlers);
    store(c);
    return stack::push(c);
}

void store(const Cell& object) {
    Cell c = object;
    context::owner_of(c.data1) = c;
}

const Cell* value_of_word(const Cell& object, const Cell& word) {
    int32_t p = context::find_symbol(object.data1, word.data2, true);
    return p < 0 ? &none::value : slot(object.data1, uint32_t(p));
}

Cell word_at(Node context, uint32_t index) { return plain_word(context, index); }

Cell system_field(std::initializer_list<const char*> names) {
    Cell value = *word::get(word::from_c_string("system"));
    for (const char* name : names) {
        if (!is(value, TypeId::object)) return none::value;
        value = *value_of_word(value, word::from_c_string(name));
    }
    return value;
}

void set_change_handlers(Cell& object, uint32_t on_change, uint32_t on_change_locals,
                         uint32_t on_deep_change, uint32_t on_deep_change_locals) {
    build_handlers(object, {on_change, on_change_locals, kNoNode},
                   {on_deep_change, on_deep_change_locals, kNoNode});
}

void fire_on_change(const Cell& object, const Cell& word, const Cell& old_value,
                    const Cell& new_value) {
    Cell w = bound_to(word, object.data1), old = old_value, v = new_value;
    fire(object, 0, [&] {
        stack::push(w);
        stack::push(old);
        stack::push(v);
    });
}

void fire_on_deep_change(const Cell& owner, const Cell& word, const Cell& target,
                         const Cell& action, const Cell& value, int32_t index, int32_t part) {
    Cell o = owner, w = bound_to(word, owner.data1), t = target, a = action, v = value;
    fire(o, 1, [&] {
        stack::push(o);
        stack::push(w);
        stack::push(t);
        stack::push(a);
        stack::push(v);
        stack::push(cell::integer(index));
        stack::push(cell::integer(part));
    });
}

Cell construct(const Cell& spec, const Cell* prototype, bool only) {
    Cell s = spec;
    Cell result;
    if (prototype && is(*prototype, TypeId::object)) {
        Cell* reserved = stack::push(cell::unset());
        copy(*prototype, *reserved, nullptr, true, nullptr);
        result = *reserved;
        stack::pop(1);
    } else {
        init_cell(result, 4);
        result.data2 = new_class_id();
        store(result);
    }
    Node ctx = result.data1;
    auto literal = [only](const Cell& v) {
        if (only || !is(v, TypeId::word)) return v;
        uint32_t c = canon(v.data2);
        if (c == canon(sym::true_) || c == canon(sym::yes) || c == canon(sym::on)) return cell::logic(true);
        if (c == canon(sym::false_) || c == canon(sym::no) || c == canon(sym::off)) return cell::logic(false);
        if (c == canon(sym::none)) return cell::none();
        return v;
    };
    uint32_t i = s.data1;
    while (i < length_of(s.data2)) {
        uint32_t run = i;
        while (i < length_of(s.data2) && is(cells_of(s.data2)[i], TypeId::set_word)) ++i;
        Cell v = i < length_of(s.data2) ? literal(cells_of(s.data2)[i]) : cell::none();
        for (uint32_t k = run; k < i; ++k) {
            const Cell field_word = cells_of(s.data2)[k];
            context::put_value(ctx, field_word, v);
        }
        ++i;
    }
    return result;
}

void set_fields(const Cell& object, const Cell& value, bool any, bool whole, bool some) {
    const Cell obj = context::owner_of(object.data1);
    const Cell v = value;
    Node ctx = obj.data1;
    const uint32_t n = field_count(ctx);
    const bool from_block = !whole && is(v, TypeId::block);
    const bool from_object = !whole && object_type_q(type_of(v));
    const uint32_t head = from_block ? std::min(v.data1, length_of(v.data2)) : 0;
    auto source_position = [&](uint32_t p) {
        return context::find_symbol(v.data1, context::word_at(ctx, p)->data2, true);
    };

    if (!some && !any) {
        for (uint32_t p = 0; p < n; ++p) {
            Cell item;
            if (from_block) {
                if (head + p >= length_of(v.data2)) break;
                item = cells_of(v.data2)[head + p];
            } else if (from_object) {
                int32_t sp = source_position(p);
                if (sp < 0) continue;
                item = *slot(v.data1, uint32_t(sp));
            } else {
                break;
            }
            if (is(item, TypeId::unset)) error::raise(ErrorId::script_need_value, plain_word(ctx, p));
        }
    }

    const uint32_t change = handler_of(obj, 0).position, deep = handler_of(obj, 1).position;
    for (uint32_t p = 0; p < n; ++p) {
        Cell item = v;
        if (from_block) {
            item = head + p < length_of(v.data2) ? cells_of(v.data2)[head + p] : cell::none();
        } else if (from_object) {
            int32_t sp = source_position(p);
            if (sp < 0) continue;
            item = *slot(v.data1, uint32_t(sp));
        }
        if (some && (from_block || from_object) && is(item, TypeId::none)) continue;
        if (obj.data3 && (p == change || p == deep)) {
            context::word_at(ctx, p)->header |= cell_flag::assigned;
            continue;
        }
        set_field_notified(obj, p, *context::word_at(ctx, p), item);
    }
}

void copy_values(Node source, Node destination, bool copy_all) {
    for (uint32_t i = 0; i < field_count(source); ++i) {
        Cell v = *slot(source, i);
        TypeId t = type_of(v);
        if (made_copy_kind(t)) {
            Cell c = deep_copy(v);
            if (block_kind(t)) context::bind_block(c, destination, true);
            *slot(destination, i) = c;
        } else if (copy_all) {
            *slot(destination, i) = v;
        }
    }
}

void rebind_function(Node context, uint32_t index) {
    Cell fn = *slot(context, index);
    Cell body = cells_of(fn.data3)[function::more_body];
    if (is(body, TypeId::none)) error::raise(ErrorId::script_bad_func_def, fn);
    Cell spec = cell::make(TypeId::block, 0, fn.data2, 0);
    Node fctx = series::clone_buffer(memory::buffer_of(fn.data1));
    context::cell_of(fctx).data2 = 0;  // a copy is not running, whatever its source does
    Cell copy = *block::duplicate(body, true, true);
    stack::pop(1);
    context::bind_block(copy, context, true);
    context::bind_block(copy, fctx, false);
    function::make_value(spec, &copy, fctx, 0, kNoNode, fn.header & function::kTraceFlags, false);
    *slot(context, index) = *stack::top();
    stack::pop(1);
}

int32_t mold_fields(const Cell& object, Node string, bool only, bool all, bool flat,
                    bool indenting, const Cell* part, int32_t limit, int32_t indent) {
    Node ctx = object.data1;
    const uint32_t n = field_count(ctx);
    auto shown = [&](uint32_t i) { return all || !handler_name_q(context::word_at(ctx, i)->data2); };
    uint32_t last = n;
    for (uint32_t i = n; i-- > 0;)
        if (shown(i)) {
            last = i;
            break;
        }
    // The newline goes before the first field: an object with none shows none.
    if (!flat && !only && last != n) limit = write(string, "\n", limit);
    cycles::push(ctx);
    for (uint32_t i = 0; i < n; ++i) {
        if (!shown(i)) continue;
        if (indenting) limit = kaz::mold::indent(string, indent, limit);
        Cell w = plain_word(ctx, i);
        limit = word::mold(w, string, false, all, flat, part, limit, indent);
        limit = write(string, ": ", limit);
        Cell v = *slot(ctx, i);
        if (is(v, TypeId::word)) limit = write(string, "'", limit);
        if (type_of(v) == TypeId::invalid) v = cell::unset();
        MoldAction m = registry::actions(type_of(v)).mold;
        if (!m) {
            cycles::pop();
            error::raise(ErrorId::internal_not_done);
        }
        limit = m(v, string, false, all, flat, part, limit, indent);
        if (indenting || i != last) limit = write(string, flat ? " " : "\n", limit);
        if (part && limit <= 0) break;
    }
    cycles::pop();
    return limit;
}

// ---- actions ----

Cell make(const Cell& proto, const Cell& spec, TypeId) {
    const Cell s = spec;
    TypeId st = type_of(s);
    if (st != TypeId::object && st != TypeId::block) error::raise(ErrorId::syntax_malconstruct, s);
    const bool from_proto = is(proto, TypeId::object);
    const Cell p = from_proto ? proto : cell::none();
    Cell result;
    if (from_proto) {
        result = clone(p);
        // With a spec object every function is rebound below, after the merge.
        if (st == TypeId::block) rebind_functions(result.data1);
    } else {
        init_cell(result, 4);
    }
    Node ctx = result.data1;

    if (st == TypeId::object) {
        uint32_t before = field_count(ctx);
        Node sctx = s.data1;
        for (uint32_t i = 0; i < field_count(sctx); ++i) {
            Cell w = *context::word_at(sctx, i), v = *slot(sctx, i);
            context::put_value(ctx, w, v);
        }
        bool added = field_count(ctx) > before;
        result.data2 = added || !from_proto ? new_class_id() : p.data2;
        store(result);
        for (uint32_t i = 0; i < field_count(ctx); ++i) {
            Cell v = *slot(ctx, i);
            if (made_copy_kind(type_of(v))) *slot(ctx, i) = deep_copy(v);
        }
        rebind_functions(ctx);
    } else {
        bool added = context::collect_set_words(ctx, s);
        result.data2 = added || !from_proto ? new_class_id() : p.data2;
        store(result);
        context::bind_block(s, ctx, true);
        if (from_proto) copy_values(p.data1, ctx, false);
        if (!datatype_hooks.eval_block) error::raise(ErrorId::internal_not_done);
        datatype_hooks.eval_block(s);
        for (uint32_t i = 0; i < field_count(ctx); ++i) cell::clear_new_line(*slot(ctx, i));
    }
    attach_handlers(result);
    clear_marks(ctx);
    return result;
}

Cell reflect(const Cell& value, uint32_t field) {
    const Cell obj = value;
    Node ctx = obj.data1;
    const uint32_t f = canon(field);
    const uint32_t n = field_count(ctx);
    if (f == canon(sym::words)) {
        Cell result;
        block::init_cell(result, int32_t(n));
        for (uint32_t i = 0; i < n; ++i) block::append_cell(result, plain_word(ctx, i));
        return result;
    }
    if (f == canon(sym::values)) return cell::make(TypeId::block, 0, context::cell_of(ctx).data2, 0);
    if (f == canon(sym::body)) {
        Cell result;
        block::init_cell(result, int32_t(2 * n));
        for (uint32_t i = 0; i < n; ++i) {
            Cell w = plain_word(ctx, i);
            w.header = uint32_t(TypeId::set_word) | cell_flag::new_line;
            block::append_cell(result, w);
            Cell v = *slot(ctx, i);
            if (is(v, TypeId::word)) cell::set_type(v, TypeId::lit_word);
            else if (is(v, TypeId::path)) cell::set_type(v, TypeId::lit_path);
            block::append_cell(result, v);
        }
        return result;
    }
    if (f == canon(sym::class_)) return cell::integer(int32_t(obj.data2));
    if (f == canon(words::changed.data2)) {
        Cell result;
        block::init_cell(result, 4);
        for (uint32_t i = 0; i < n; ++i) {
            Cell w = *context::word_at(ctx, i);
            if (w.header & cell_flag::assigned) block::append_cell(result, w);
        }
        return result;
    }
    if (f == canon(sym::owner)) return cell::logic((context::cell_of(ctx).header & kOwnerContext) != 0);
    if (f == canon(sym::events_q)) return cell::logic(context::owner_of(ctx).data3 != 0);
    error::raise(ErrorId::internal_not_done);
}

int32_t form(const Cell& value, Node string, const Cell* part, int32_t limit) {
    if (cycles::find_q(value.data1)) return write(string, "...", limit);
    return mold_fields(value, string, true, false, false, false, part, limit, 0);
}

int32_t mold(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
             int32_t limit, int32_t indent) {
    if (cycles::find_q(value.data1)) return write(string, "make object! [...]", limit);
    limit = write(string, "make object! [", limit);
    int32_t before = limit;
    limit = mold_fields(value, string, only, all, flat, !flat, part, limit, indent + 1);
    if (!flat && limit != before) limit = kaz::mold::indent(string, indent, limit);
    return write(string, "]", limit);
}

Cell eval_path(const Cell& parent, const Cell& element, const Cell* value, const PathStep& step) {
    Node ctx = parent.data1;
    const Cell path = step.path ? *step.path : element;
    TypeId et = type_of(element);
    if (et != TypeId::word && et != TypeId::set_word && et != TypeId::lit_word && et != TypeId::get_word)
        error::raise(ErrorId::script_invalid_path, path, element);
    // Rebinding the element in place spares the next walk of this path the lookup.
    Cell& el = const_cast<Cell&>(element);
    int32_t p;
    if (el.data1 == ctx && el.data3 != word::kNoIndex && el.data3 < field_count(ctx)) {
        p = int32_t(el.data3);
    } else {
        p = context::find_symbol(ctx, el.data2, true);
        if (p >= 0) {
            el.data1 = ctx;
            el.data3 = uint32_t(p);
        }
    }
    const Cell e = el;
    auto missing = [&]() -> Cell {
        if (!step.last) error::raise(ErrorId::script_unset_path, path, e);
        if (step.get && !value) return cell::unset();
        error::raise(ErrorId::script_invalid_path, path, e);
    };
    if (p < 0) return missing();
    if (value) {
        Cell v = *value;
        set_field_notified(context::owner_of(ctx), uint32_t(p), e, v);
        return v;
    }
    Cell v = *slot(ctx, uint32_t(p));
    if (is(v, TypeId::unset)) return missing();
    return v;
}

int32_t compare(const Cell& a, const Cell& b, CompareOp op) {
    if (type_of(a) != type_of(b)) return kNotComparable;
    Node x = a.data1, y = b.data1;
    if (op == CompareOp::same) return x == y ? 0 : 1;
    if (x == y) return 0;
    // An object met again inside itself equals only itself.
    if (cycles::find_q(x) || cycles::find_q(y)) return x < y ? -1 : 1;
    const bool equality = op == CompareOp::equal || op == CompareOp::not_equal ||
                          op == CompareOp::strict_equal || op == CompareOp::find;
    const CompareOp inner = op == CompareOp::not_equal ? CompareOp::equal : op;
    uint32_t n = field_count(x), m = field_count(y);
    if (n != m) return n < m ? -1 : 1;
    cycles::push(x);
    int32_t result = 0;
    for (uint32_t i = 0; i < n && result == 0; ++i) {
        uint32_t sx = context::word_at(x, i)->data2, sy = context::word_at(y, i)->data2;
        bool same_name = op == CompareOp::strict_equal ? sx == sy : canon(sx) == canon(sy);
        if (!same_name) {
            result = equality ? 1 : symbol::compare_names(sx, sy, inner);
            break;
        }
        Cell vx = *slot(x, i), vy = *slot(y, i);
        TypeId tx = type_of(vx), ty = type_of(vy);
        if (tx != ty) {
            result = equality ? 1 : tx < ty ? -1 : 1;
            break;
        }
        CompareAction c = registry::actions(tx).compare;
        int32_t r = c ? c(vx, vy, inner) : kNotComparable;
        if (r == kNotComparable) r = equality ? 1 : 0;
        result = r;
    }
    cycles::pop();
    return result;
}

void copy(const Cell& value, Cell& result, const Cell* part, bool deep, const Cell* types) {
    if (part) error::raise(ErrorId::script_invalid_refine_arg, series_::part_word(), *part);
    Cell obj = clone(value);
    Node ctx = obj.data1;
    if (deep) {
        for (uint32_t i = 0; i < field_count(ctx); ++i) {
            Cell v = *slot(ctx, i);
            TypeId t = type_of(v);
            if (!deep_copy_kind(t)) continue;
            if (types && !(is(*types, TypeId::datatype) ? TypeId(types->data1) == t : typeset::has_q(*types, t)))
                continue;
            *slot(ctx, i) = deep_copy(v);
        }
    }
    rebind_functions(ctx);
    // Handler info of its own: with on-deep-change*, the copy owns the series it holds
    // (a shared series stays with its first owner).
    if (obj.data3) build_handlers(obj, handler_of(obj, 0), handler_of(obj, 1));
    result = obj;
}

Cell put(const Cell& series, const Cell& key, const Cell& value, bool) {
    if (!word::any_word_type_q(type_of(key)))
        error::raise(ErrorId::script_invalid_type, cell::datatype(type_of(key)));
    Cell k = key;
    cell::set_type(k, TypeId::word);
    PathStep step;
    step.last = true;
    return eval_path(series, k, &value, step);
}

Cell select(const Cell& series, const Cell& value, const FindOptions&) {
    if (!word::any_word_type_q(type_of(value)))
        error::raise(ErrorId::script_invalid_type, cell::datatype(type_of(value)));
    return *value_of_word(series, value);
}

Cell modify(const Cell& target, const Cell& field, const Cell& value, bool) {
    Cell obj = context::owner_of(target.data1);
    Node ctx = obj.data1;
    uint32_t f = word::any_word_type_q(type_of(field)) ? canon(field.data2) : 0;
    if (f && f == canon(words::changed.data2)) {
        clear_marks(ctx);
    } else if (f && f == canon(sym::owner)) {
        if (logic::cell_true_q(value, false)) {
            for (uint32_t i = 0; i < field_count(ctx); ++i) {
                Cell v = *slot(ctx, i);
                ownership::set_owner(v, obj, plain_word(ctx, i));
            }
        } else {
            for (uint32_t i = 0; i < field_count(ctx); ++i) {
                Cell v = *slot(ctx, i);
                ownership::unset_deep(v);
            }
            context::cell_of(ctx).header &= ~kOwnerContext;
        }
    } else if (f && f == canon(sym::owned)) {
        // As for a series: none releases the object's fields from their owner, a block
        // [owner word] gives them one.
        Cell owned = field;
        owned.data2 = sym::owned;
        series_::modify(target, owned, value, false);
    } else {
        error::raise(ErrorId::script_invalid_arg, field);
    }
    return target;
}

void init() {
    // The context record, and the change-handler information when there is some.
    gc::define_refs(TypeId::object, {.data1 = gc::Ref::block, .data3 = gc::Ref::series_opt});
    registry::define(TypeId::object, {.make = make, .reflect = reflect, .form = form, .mold = mold,
                                      .eval_path = eval_path, .compare = compare, .copy = copy,
                                      .put = put, .select = select, .modify = modify});
}

}  // namespace kaz::object
