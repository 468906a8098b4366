// typeset! — sets of datatypes in one cell: construction, set operations, membership, mold.
#include "datatypes/typeset.h"

#include <initializer_list>

#include "datatypes/logic.h"
#include "datatypes/registry.h"
#include "datatypes/word.h"
#include "runtime/error.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/text.h"
#include "runtime/throw.h"

namespace kaz::typeset {
namespace {

// ---- helpers ----

// The word of the 12 bytes that holds byte `index`.
uint32_t& word_of_byte(Cell& ts, uint32_t index) {
    switch (index / 4) {
        case 0: return ts.data1;
        case 1: return ts.data2;
        default: return ts.data3;
    }
}
uint32_t word_of_byte(const Cell& ts, uint32_t index) {
    return index < 4 ? ts.data1 : index < 8 ? ts.data2 : ts.data3;
}

// The bit of type t inside its word: byte t / 8 of the little-endian words, mask 0x80 >> t % 8.
uint32_t mask_of(uint32_t t) { return (0x80u >> (t % 8)) << (8 * ((t / 8) % 4)); }

Cell make_of(std::initializer_list<TypeId> types) {
    Cell ts = cell::make(TypeId::typeset);
    for (TypeId t : types) set_bit(ts, t);
    return ts;
}

Cell union_of(std::initializer_list<Cell> sets) {
    Cell ts = cell::make(TypeId::typeset);
    for (const Cell& s : sets) init_cell(ts, ts.data1 | s.data1, ts.data2 | s.data2, ts.data3 | s.data3);
    return ts;
}

// A word element stands for its value; a word without one raises no-value.
Cell value_of_word(const Cell& word) {
    Cell value = *word::get(word);
    if (is(value, TypeId::unset)) error::raise(ErrorId::script_no_value, word);
    return value;
}

Cell* append(Node block, const Cell& value) {
    SeriesBuffer* b = memory::buffer_of(block);
    Cell* c = series::reserve_cell(b);
    *c = value;
    return c;
}

// Molds every member's name; the wrapper "make typeset! [...]" unless `only`.
int32_t mold_core(const Cell& value, Node string, bool only, const Cell* part, int32_t limit) {
    if (!only) {
        text::append_ascii(string, "make typeset! [");
        limit -= 15;
    }
    bool any = false;
    for (int t = 1; t <= int(registry::max_id()); ++t) {
        if (!has_q(value, TypeId(t))) continue;
        if (part && limit < 0) return limit;
        std::string_view name = registry::name_of(TypeId(t));
        text::append_ascii(string, name);
        text::append_ascii(string, " ");
        limit -= int32_t(name.size()) + 1;
        any = true;
    }
    if (any) {
        // The trailing space goes: dropped with /only, else it becomes the closing bracket.
        SeriesBuffer* b = memory::buffer_of(string);
        b->tail -= b->unit();
        if (only) return limit + 1;
        text::append_ascii(string, "]");
        return limit;
    }
    if (only) return limit;
    text::append_ascii(string, "]");
    return limit - 1;
}

}  // namespace

void clear(Cell& ts) { init_cell(ts, 0, 0, 0); }

void init_cell(Cell& ts, uint32_t d1, uint32_t d2, uint32_t d3) {
    cell::set_type(ts, TypeId::typeset);
    ts.data1 = d1;
    ts.data2 = d2;
    ts.data3 = d3;
}

bool has_q(const Cell& ts, TypeId t) {
    auto id = uint32_t(t);
    if (id >= 96) return false;
    return (word_of_byte(ts, id / 8) & mask_of(id)) != 0;
}

void set_bit(Cell& ts, TypeId t) {
    auto id = uint32_t(t);
    if (id < 96) word_of_byte(ts, id / 8) |= mask_of(id);
}

Cell* make_default_in_block(Node block) {
    Cell ts = cell::make(TypeId::typeset, ~0u, ~0u, ~0u);
    word_of_byte(ts, uint32_t(TypeId::unset) / 8) &= ~mask_of(uint32_t(TypeId::unset));
    return append(block, ts);
}

Cell* make_from_spec_in_block(Node block, const Cell& spec) {
    Cell ts = cell::make(TypeId::typeset);
    for (uint32_t i = spec.data1;; ++i) {
        SeriesBuffer* s = memory::buffer_of(spec.data2);
        if (i >= s->length()) break;
        Cell element = s->cells()[i];
        if (is(element, TypeId::word)) element = value_of_word(element);
        switch (type_of(element)) {
            case TypeId::datatype: set_bit(ts, TypeId(element.data1)); break;
            case TypeId::typeset: ts = union_of({ts, element}); break;
            case TypeId::word: set_bit(ts, TypeId::object); break;
            case TypeId::block: break;
            default: error::raise(ErrorId::script_invalid_type_spec, element);
        }
    }
    return append(block, ts);
}

void add_type(Cell& ts, const Cell& value) {
    Cell element = is(value, TypeId::word) ? value_of_word(value) : value;
    switch (type_of(element)) {
        case TypeId::typeset: ts = union_of({ts, element}); break;
        case TypeId::datatype: set_bit(ts, TypeId(element.data1)); break;
        default: error::raise(ErrorId::script_invalid_arg, element);
    }
}

uint32_t count(const Cell& ts) {
    uint32_t n = 0;
    for (int t = 1; t <= int(registry::max_id()); ++t) n += has_q(ts, TypeId(t));
    return n;
}

void to_block(const Cell& ts, Node block) {
    for (int t = 1; t <= int(registry::max_id()); ++t)
        if (has_q(ts, TypeId(t))) datatype::make_in_block(block, TypeId(t));
}

void set_operation(MathOp op) {
    Cell& left = stack::base[0];
    if (op == MathOp::unique) return;  // a typeset has no duplicates
    Cell right = stack::base[1];
    if (is(right, TypeId::datatype)) right = make_of({TypeId(right.data1)});
    else if (!is(right, TypeId::typeset)) error::raise(ErrorId::script_invalid_arg, right);
    auto apply = [&](auto f) {
        init_cell(left, f(left.data1, right.data1), f(left.data2, right.data2),
                  f(left.data3, right.data3));
    };
    switch (op) {
        case MathOp::or_:
        case MathOp::union_: apply([](uint32_t a, uint32_t b) { return a | b; }); break;
        case MathOp::and_:
        case MathOp::intersect: apply([](uint32_t a, uint32_t b) { return a & b; }); break;
        case MathOp::xor_:
        case MathOp::difference: apply([](uint32_t a, uint32_t b) { return a ^ b; }); break;
        case MathOp::exclude: apply([](uint32_t a, uint32_t b) { return a & ~b; }); break;
        default: runtime::no_switch_matched(KAZ_CALLER_ADDRESS());
    }
}

std::optional<Cell> standard(std::string_view name) {
    using enum TypeId;
    const Cell internal = make_of({unset});
    const Cell external = make_of({event});
    const Cell number = make_of({integer, float_, percent});
    const Cell planar = make_of({pair, point2d});
    const Cell any_point = make_of({point2d, point3d});
    const Cell scalar = union_of({number, any_point, make_of({money, char_, pair, tuple, time, date})});
    const Cell any_word = make_of({word, set_word, lit_word, get_word});
    const Cell all_word = union_of({any_word, make_of({refinement, issue})});
    const Cell any_list = make_of({block, paren, hash});
    const Cell any_path = make_of({path, lit_path, set_path, get_path});
    const Cell any_block = union_of({any_path, any_list});
    const Cell any_function = make_of({native, action, op, function, routine});
    const Cell any_object = make_of({object, error, port});
    const Cell any_string = make_of({string, file, url, tag, email, ref});
    const Cell series_ = union_of({any_block, any_string, make_of({binary, image, vector})});
    const Cell immediate = union_of(
        {scalar, all_word, make_of({none, logic, datatype, typeset, handle, date})});
    const Cell default_ = union_of(
        {series_, immediate, any_object, external, any_function, make_of({map, bitset})});
    const Cell any_type = union_of({default_, internal});
    const Cell all[] = {internal,   external,   number,       planar,     any_point, scalar,
                        any_word,   all_word,   any_list,     any_path,   any_block, any_function,
                        any_object, any_string, series_,      immediate,  default_,  any_type};
    static_assert(std::size(all) == std::size(kStandardNames));
    for (size_t i = 0; i < std::size(all); ++i)
        if (kStandardNames[i] == name) return all[i];
    return std::nullopt;
}

// ---- actions ----

Cell make(const Cell&, const Cell& spec, TypeId) {
    if (is(spec, TypeId::typeset)) return spec;
    if (!is(spec, TypeId::block))
        error::raise(ErrorId::script_bad_to_arg, cell::datatype(TypeId::typeset), spec);
    Cell ts = cell::make(TypeId::typeset);
    for (uint32_t i = spec.data1;; ++i) {
        SeriesBuffer* s = memory::buffer_of(spec.data2);
        if (i >= s->length()) break;
        add_type(ts, s->cells()[i]);
    }
    return ts;
}

int32_t form(const Cell& value, Node string, const Cell* part, int32_t limit) {
    return mold_core(value, string, false, part, limit);
}

int32_t mold(const Cell& value, Node string, bool only, bool, bool, const Cell* part,
             int32_t limit, int32_t) {
    return mold_core(value, string, only, part, limit);
}

int32_t compare(const Cell& a, const Cell& b, CompareOp op) {
    if (!is(b, TypeId::typeset)) return kNotComparable;
    if (equality_q(op)) return a.data1 == b.data1 && a.data2 == b.data2 && a.data3 == b.data3 ? 0 : 1;
    if (!equality_or_sort_q(op)) return kNotComparable;
    uint32_t x = count(a), y = count(b);
    return x < y ? -1 : x > y ? 1 : 0;
}

void and_() { set_operation(MathOp::and_); }
void or_() { set_operation(MathOp::or_); }
void xor_() { set_operation(MathOp::xor_); }

Cell complement(const Cell& value) {
    return cell::make(TypeId::typeset, ~value.data1, ~value.data2, ~value.data3);
}

Cell find(const Cell& ts, const Cell& value, const FindOptions&) {
    if (!is(value, TypeId::datatype)) error::raise(ErrorId::script_invalid_arg, value);
    return cell::logic(has_q(ts, TypeId(value.data1)));
}

void init() {
    registry::define(TypeId::typeset, {.make = make, .to = make, .form = form, .mold = mold,
                                       .compare = compare, .and_ = and_, .complement = complement,
                                       .or_ = or_, .xor_ = xor_, .find = find});
}

}  // namespace kaz::typeset
