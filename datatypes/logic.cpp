// unset!, none! and logic! — the three smallest datatypes, with the truth test.
#include "datatypes/logic.h"

#include "datatypes/registry.h"
#include "datatypes/word.h"
#include "runtime/error.h"
#include "runtime/memory.h"
#include "runtime/random.h"
#include "runtime/stack.h"
#include "runtime/text.h"

namespace kaz {
namespace {

// ---- helpers ----

Cell* append_to_block(Node block, const Cell& value) {
    SeriesBuffer* b = memory::buffer_of(block);
    Cell* c = series::reserve_cell(b);
    *c = value;
    return c;
}

using text::write;

}  // namespace

namespace unset {

void set_return() { stack::set_return(value); }
Cell* make_in_block(Node block) { return append_to_block(block, value); }
Cell* push() { return stack::push(value); }

Cell make(const Cell&, const Cell&, TypeId) { return value; }

int32_t form(const Cell&, Node, const Cell*, int32_t limit) { return limit; }

int32_t mold(const Cell&, Node string, bool, bool all, bool, const Cell*, int32_t limit, int32_t) {
    return write(string, all ? "#(unset)" : "unset", limit);
}

int32_t compare(const Cell&, const Cell& b, CompareOp op) {
    if (!is(b, TypeId::unset)) return kNotComparable;
    return equality_or_sort_q(op) ? 0 : kNotComparable;
}

void init() {
    registry::define(TypeId::unset, {.make = make, .to = make, .form = form, .mold = mold,
                                     .compare = compare});
}

}  // namespace unset

namespace none {

void set_return() { stack::set_return(value); }
Cell* make_in_block(Node block) { return append_to_block(block, value); }
Cell* push() { return stack::push(value); }

Cell make(const Cell&, const Cell&, TypeId) { return value; }

int32_t form(const Cell&, Node string, const Cell*, int32_t limit) {
    return write(string, "none", limit);
}

int32_t mold(const Cell&, Node string, bool, bool all, bool, const Cell*, int32_t limit, int32_t) {
    return write(string, all ? "#(none)" : "none", limit);
}

int32_t compare(const Cell&, const Cell& b, CompareOp op) {
    if (!is(b, TypeId::none)) return kNotComparable;
    return equality_or_sort_q(op) ? 0 : kNotComparable;
}

void clear(Cell& series) { series = value; }
Cell find(const Cell&, const Cell&, const FindOptions&) { return value; }
int32_t length_q(const Cell&) { return -1; }
void remove(Cell& series, const Cell*, const Cell*) { series = value; }
Cell take(const Cell&, const Cell*, bool, bool) { return value; }

void init() {
    registry::define(TypeId::none, {.make = make, .to = make, .form = form, .mold = mold,
                                    .compare = compare, .clear = clear, .find = find,
                                    .length_q = length_q, .remove = remove, .select = find,
                                    .take = take});
}

}  // namespace none

namespace logic {

void set_return(uint32_t truth) { stack::set_return(cell::logic(truth != 0)); }
Cell* make_in_block(Node block, uint32_t truth) {
    return append_to_block(block, cell::logic(truth != 0));
}
Cell* push(uint32_t truth) { return stack::push(cell::logic(truth != 0)); }

bool cell_true_q(const Cell& c, bool check_unset) {
    switch (type_of(c)) {
        case TypeId::none: return false;
        case TypeId::logic: return get(c) != 0;
        case TypeId::unset:
            if (check_unset) error::raise(ErrorId::script_no_value, c);
            return true;
        default: return true;
    }
}

bool top_true_q() { return cell_true_q(*stack::top(), false); }
bool top_false_q() { return !top_true_q(); }

bool return_true_q() {
    if (is(*stack::base, TypeId::unset)) error::raise(ErrorId::script_no_return);
    return cell_true_q(*stack::base, false);
}
bool return_false_q() { return !cell_true_q(*stack::base, false); }

Cell to(const Cell&, const Cell& spec, TypeId) {
    if (is(spec, TypeId::logic)) return spec;
    return is(spec, TypeId::none) ? false_ : true_;
}

Cell make(const Cell& proto, const Cell& spec, TypeId type) {
    switch (type_of(spec)) {
        case TypeId::integer: return cell::logic(cell::get_integer(spec) != 0);
        case TypeId::float_:
        case TypeId::percent: return cell::logic(cell::get_float(spec) != 0.0);  // NaN is true
        default: return to(proto, spec, type);
    }
}

void random(Cell& value, bool seed, bool secure, bool) {
    if (seed) {
        random::seed(get(value));
        value = unset::value;
        return;
    }
    // Bit 30 of a 31-bit draw decides, as the secure source gives 31 bits: true for half of
    // the draws from either source.
    uint32_t n = (secure ? uint32_t(random::next_secure()) : random::next()) & 0x7FFFFFFF;
    value = cell::logic(n > 0x3FFFFFFF);
}

int32_t form(const Cell& value, Node string, const Cell*, int32_t limit) {
    return write(string, get(value) ? "true" : "false", limit);
}

int32_t mold(const Cell& value, Node string, bool, bool all, bool, const Cell*, int32_t limit,
             int32_t) {
    if (all) return write(string, get(value) ? "#(true)" : "#(false)", limit);
    return form(value, string, nullptr, limit);
}

int32_t compare(const Cell& a, const Cell& b, CompareOp op) {
    if (!is(b, TypeId::logic) || !equality_or_sort_q(op)) return kNotComparable;
    return int32_t(get(a)) - int32_t(get(b));
}

namespace {

// and~, or~, xor~: the second argument must be a logic! too.
template <typename Op>
void bitwise(Op op) {
    Cell& a = stack::base[0];
    const Cell& b = stack::base[1];
    if (!is(b, TypeId::logic)) {
        error::raise(ErrorId::script_expect_arg, frame::function_word(),
                     cell::datatype(type_of(b)), word::from_c_string("value2"));
    }
    a.data1 = op(get(a), get(b));
}

}  // namespace

void and_() { bitwise([](uint32_t x, uint32_t y) { return x & y; }); }
void or_() { bitwise([](uint32_t x, uint32_t y) { return x | y; }); }
void xor_() { bitwise([](uint32_t x, uint32_t y) { return x ^ y; }); }

Cell complement(const Cell& value) { return cell::logic(get(value) == 0); }

void init() {
    registry::define(TypeId::logic, {.make = make, .random = random, .to = to, .form = form,
                                     .mold = mold, .compare = compare, .and_ = and_,
                                     .complement = complement, .or_ = or_, .xor_ = xor_});
}

}  // namespace logic
}  // namespace kaz
