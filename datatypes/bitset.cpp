// bitset! — sets of non-negative integers, made from a small dialect of values and ranges.
#include "datatypes/bitset.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

#include "datatypes/internal.h"
#include "datatypes/ownership.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "runtime/error.h"
#include "runtime/gc.h"
#include "runtime/number.h"
#include "runtime/stack.h"
#include "runtime/text.h"

namespace kaz::bitset {
namespace {

// ---- helpers ----

// A new bitset of `bytes` stored bytes, each `fill`.
Cell new_bitset(uint32_t bytes, uint8_t fill, bool complemented) {
    Node n = series::alloc_bytes(bytes);
    SeriesBuffer* b = memory::buffer_of(n);
    std::memset(b->head, fill, bytes);
    b->tail = b->head + bytes;
    if (complemented) b->flags |= series_flag::complement;
    return cell::make(TypeId::bitset, 0, n, 0);
}

// A copy of the stored bytes and the complement flag (not the ownership mark).
Cell copy_of(const Cell& bitset) {
    uint32_t bytes = byte_count(bitset);
    Cell c = new_bitset(bytes, 0, complement_q(bitset));
    std::memcpy(bits_pointer(c), bits_pointer(bitset), bytes);
    return c;
}

// Makes the stored bytes at least `bytes` long, filling as ensure_bit does.
SeriesBuffer* cover(const Cell& bitset, uint32_t bytes) {
    SeriesBuffer* b = buffer(bitset);
    if (b->used() >= bytes) return b;
    uint8_t fill = (b->flags & series_flag::complement) ? 0xFF : 0;
    if (b->head + bytes > b->end()) {
        // Growing at least twofold keeps a run of growing pokes linear.
        uint64_t need = uint64_t(b->head - b->data()) + bytes;
        uint64_t capacity = std::max<uint64_t>(need, uint64_t(b->capacity) * 2);
        if (capacity > 0xFFFF'0000ULL) capacity = need;
        b = series::expand(b, uint32_t((capacity + 15) & ~uint64_t(15)));
    }
    std::memset(b->tail, fill, size_t(b->head + bytes - b->tail));
    b->tail = b->head + bytes;
    return b;
}

// Sets or clears the bits low..high, all of them inside the stored bytes.
void fill_bits(uint8_t* bits, uint32_t low, uint32_t high, bool on) {
    auto put = [&](uint32_t n) {
        uint8_t mask = uint8_t(0x80 >> (n & 7));
        bits[n >> 3] = on ? uint8_t(bits[n >> 3] | mask) : uint8_t(bits[n >> 3] & ~mask);
    };
    uint64_t n = low;
    for (; n <= high && (n & 7) != 0; ++n) put(uint32_t(n));
    uint64_t whole = (uint64_t(high) + 1 - n) >> 3;
    if (n <= high && whole) {
        std::memset(bits + (n >> 3), on ? 0xFF : 0, size_t(whole));
        n += whole << 3;
    }
    for (; n <= high; ++n) put(uint32_t(n));
}

// Stops at the limit and subtracts exactly what it wrote.
constexpr auto& write = text::write_within;

bool word_q(const Cell& c, uint32_t symbol) {
    return is(c, TypeId::word) && symbol::canonical_id(c.data2) == symbol;
}

// ---- the bitset dialect ----

struct Walk {
    const Cell* bitset;  // null when measuring
    SpecMode mode;
    SpecCaller caller;
    int64_t highest = -1;  // the highest value met (measure and set)
    bool all = true;       // test: every value met so far is a member
};

[[noreturn]] void unsupported(const Cell& value, SpecCaller caller) {
    switch (caller) {
        case SpecCaller::make: error::raise(ErrorId::script_bad_make_arg, cell::datatype(TypeId::bitset), value);
        case SpecCaller::to: error::raise(ErrorId::script_bad_to_arg, cell::datatype(TypeId::bitset), value);
        default: error::raise(ErrorId::script_invalid_arg, value);
    }
}

// The value of a char!, integer! or float! (truncated toward zero).
int64_t number_of(const Cell& value) {
    switch (type_of(value)) {
        case TypeId::char_: return value.data2;
        case TypeId::integer: return cell::get_integer(value);
        default: return number::to_int32(cell::get_float(value), ErrorId::script_out_of_range, value);
    }
}

// Values low..high (inclusive, low <= high); `source` names them in errors.
void apply_range(Walk& w, int64_t low, int64_t high, const Cell& source) {
    if (w.mode != SpecMode::test && low < 0) error::raise(ErrorId::script_out_of_range, source);
    switch (w.mode) {
        case SpecMode::measure: break;
        case SpecMode::test: {
            if (low < 0) {
                w.all = false;
                break;
            }
            // Past the stored bytes every value answers the same: only the stored part is walked.
            int64_t stored_top = int64_t(byte_count(*w.bitset)) * 8 - 1;
            for (int64_t n = low; n <= std::min(high, stored_top) && w.all; ++n) w.all = member_q(*w.bitset, n);
            if (high > stored_top) w.all = w.all && complement_q(*w.bitset);
            break;
        }
        case SpecMode::set:
        case SpecMode::clear: {
            // Beyond the stored bytes a complemented set already holds every value and a plain
            // one none: only the covered part can change for that kind.
            bool beyond_done = (w.mode == SpecMode::set) == complement_q(*w.bitset);
            int64_t top = high;
            if (beyond_done) top = std::min<int64_t>(high, int64_t(byte_count(*w.bitset)) * 8 - 1);
            if (top >= low) {
                SeriesBuffer* b = ensure_bit(*w.bitset, uint32_t(top));
                fill_bits(b->head, uint32_t(low), uint32_t(top), w.mode == SpecMode::set);
            }
            break;
        }
    }
    w.highest = std::max(w.highest, high);
}

void apply_string(Walk& w, const Cell& string) {
    Cell s = string;
    uint32_t n = series_::length_from_head(s);
    for (uint32_t i = 0; i < n && w.all; ++i) {
        SeriesBuffer* b = memory::buffer_of(s.data2);
        int64_t cp = string::get_char(b->head + size_t(s.data1 + i) * b->unit(), b->unit());
        apply_range(w, cp, cp, string);
    }
}

bool range_end_q(TypeId t) { return t == TypeId::char_ || t == TypeId::integer; }

// One value of the dialect that is not a block.
void apply_value(Walk& w, const Cell& value) {
    switch (type_of(value)) {
        case TypeId::char_:
        case TypeId::integer:
        case TypeId::float_: {
            int64_t n = number_of(value);
            apply_range(w, n, n, value);
            return;
        }
        case TypeId::string: apply_string(w, value); return;
        case TypeId::binary: error::raise(ErrorId::internal_not_done);
        default: unsupported(value, w.caller);
    }
}

// Walks a block and the blocks inside it with an explicit stack. A block met again while it is
// being walked adds nothing, so a block that holds itself is walked once.
void apply_block(Walk& w, const Cell& block) {
    struct Level {
        Node node;
        uint32_t index;
    };
    std::vector<Level> levels;
    levels.push_back({block.data2, block.data1});
    while (!levels.empty() && w.all) {
        Level& top = levels.back();
        SeriesBuffer* b = memory::buffer_of(top.node);
        uint32_t length = b->length();
        if (top.index >= length) {
            levels.pop_back();
            continue;
        }
        const Cell* cells = b->cells();
        Cell value = cells[top.index++];
        TypeId t = type_of(value);
        if (range_end_q(t) && top.index < length && word_q(cells[top.index], sym::minus)) {
            if (top.index + 1 >= length) error::raise(ErrorId::script_past_end);
            Cell high = cells[top.index + 1];
            top.index += 2;
            if (!range_end_q(type_of(high))) error::raise(ErrorId::script_past_end);
            if (type_of(high) != t) error::raise(ErrorId::script_invalid_arg, high);
            int64_t lo = number_of(value), hi = number_of(high);
            if (hi < lo) error::raise(ErrorId::script_past_end);
            apply_range(w, lo, hi, value);
            continue;
        }
        if (t == TypeId::block) {
            bool walking = std::any_of(levels.begin(), levels.end(),
                                       [&](const Level& l) { return l.node == value.data2; });
            if (!walking) levels.push_back({value.data2, value.data1});
            continue;
        }
        apply_value(w, value);
    }
}

// The owner notification pair around a change (nothing for an unowned bitset).
void notify(const Cell& bitset, const Cell& action, const Cell* value) {
    if (ownership::owned_q(bitset)) ownership::notify_change(bitset, action, value, 0, 0);
}

// A falsy poke value clears: none, false, 0 and 0.0.
bool falsy_q(const Cell& v) {
    switch (type_of(v)) {
        case TypeId::none: return true;
        case TypeId::logic: return v.data1 == 0;
        case TypeId::integer: return cell::get_integer(v) == 0;
        case TypeId::float_: return cell::get_float(v) == 0.0;
        default: return false;
    }
}

uint8_t byte_op(uint8_t x, uint8_t y, MathOp op) {
    switch (op) {
        case MathOp::or_:
        case MathOp::union_: return x | y;
        case MathOp::and_:
        case MathOp::intersect: return x & y;
        case MathOp::xor_:
        case MathOp::difference: return x ^ y;
        default: return uint8_t(x & ~y);  // exclude
    }
}

}  // namespace

// ---- helpers ----

bool member_q(const Cell& bitset, int64_t n) {
    if (n < 0) return false;
    if (bit_outside_q(bitset, n)) return complement_q(bitset);
    return (bits_pointer(bitset)[n >> 3] & (0x80 >> (n & 7))) != 0;
}

SeriesBuffer* ensure_bit(const Cell& bitset, uint32_t n) { return cover(bitset, (n >> 3) + 1); }

void invert_bytes(SeriesBuffer* b) {
    for (uint8_t* p = b->head; p < b->tail; ++p) *p = uint8_t(~*p);
}

int64_t process_spec(const Cell& spec, const Cell* bitset, SpecMode mode, SpecCaller caller) {
    Walk w{bitset, mode, caller};
    if (is(spec, TypeId::block)) apply_block(w, spec);
    else apply_value(w, spec);
    if (mode == SpecMode::test) return w.all ? 1 : 0;
    int64_t bytes = std::max<int64_t>((w.highest >> 3) + 1, 1);
    if (mode == SpecMode::measure) return bytes;
    if (mode == SpecMode::set) cover(*bitset, uint32_t(bytes));
    return 0;
}

Cell make_or_to(const Cell& spec, bool to_flag) {
    const SpecCaller caller = to_flag ? SpecCaller::to : SpecCaller::make;
    Cell s = spec;
    bool negated = false;
    if (is(s, TypeId::block)) {
        series_::clamp_head(s);
        SeriesBuffer* b = memory::buffer_of(s.data2);
        if (s.data1 < b->length() && word_q(b->cells()[s.data1], sym::not_)) {
            negated = true;
            ++s.data1;
            if (s.data1 < b->length() && is(b->cells()[s.data1], TypeId::binary)) s = b->cells()[s.data1];
        }
    }
    switch (type_of(s)) {
        case TypeId::integer:
        case TypeId::float_: {
            if (to_flag) error::raise(ErrorId::script_bad_to_arg, cell::datatype(TypeId::bitset), spec);
            int64_t bits = number_of(s);
            if (bits < 0) error::raise(ErrorId::script_out_of_range, spec);
            return new_bitset(uint32_t((bits + 7) >> 3), 0, false);
        }
        case TypeId::bitset: return copy_of(s);
        case TypeId::binary: {
            uint32_t n = series_::length_from_head(s);
            Cell c = new_bitset(n, 0, negated);
            const uint8_t* from = memory::buffer_of(s.data2)->head + s.data1;
            uint8_t* to = bits_pointer(c);
            for (uint32_t i = 0; i < n; ++i) to[i] = negated ? uint8_t(~from[i]) : from[i];
            return c;
        }
        default: {
            auto bytes = uint32_t(process_spec(s, nullptr, SpecMode::measure, caller));
            Cell c = new_bitset(bytes, negated ? 0xFF : 0, negated);
            process_spec(s, &c, negated ? SpecMode::clear : SpecMode::set, caller);
            return c;
        }
    }
}

Cell set_operation(const Cell& first, const Cell& second, MathOp op) {
    if (op == MathOp::unique) return first;
    if (!is(second, TypeId::bitset)) error::raise(ErrorId::script_invalid_type, cell::datatype(type_of(second)));
    const uint32_t la = byte_count(first), lb = byte_count(second);
    const bool fa = complement_q(first), fb = complement_q(second);
    // Beyond its stored bytes an operand reads as its complement flag: every bit set or none.
    const uint8_t beyond_a = fa ? 0xFF : 0, beyond_b = fb ? 0xFF : 0;
    const bool result_flag = byte_op(beyond_a, beyond_b, op) != 0;
    uint32_t length = std::max(la, lb);
    // and~ keeps only the common bytes when the rest is what the result's flag says anyway:
    // past a plain shorter operand the intersection is empty.
    if (op == MathOp::and_ && !(la < lb ? fa : fb)) length = std::min(la, lb);
    Cell r = new_bitset(length, 0, result_flag);
    const uint8_t* a = bits_pointer(first);
    const uint8_t* b = bits_pointer(second);
    uint8_t* out = bits_pointer(r);
    for (uint32_t i = 0; i < length; ++i)
        out[i] = byte_op(i < la ? a[i] : beyond_a, i < lb ? b[i] : beyond_b, op);
    return r;
}

void do_math(MathOp op) { stack::base[0] = set_operation(stack::base[0], stack::base[1], op); }

// ---- actions ----

Cell make(const Cell&, const Cell& spec, TypeId) { return make_or_to(spec, false); }
Cell to(const Cell&, const Cell& spec, TypeId) { return make_or_to(spec, true); }

// "make bitset! #{...}", or "make bitset! [not #{...}]" with the bytes of the plain set that
// the complemented one excludes, so that the text makes the same bitset again.
int32_t form(const Cell& value, Node string, const Cell*, int32_t limit) {
    const bool complemented = complement_q(value);
    limit = write(string, "make bitset! ", limit);
    if (complemented) limit = write(string, "[not ", limit);
    limit = write(string, "#{", limit);
    for (uint32_t i = 0; i < byte_count(value) && limit > 0; ++i) {
        uint8_t byte = bits_pointer(value)[i];
        limit = write(string, string::byte_to_hex(complemented ? uint8_t(~byte) : byte).view(), limit);
    }
    limit = write(string, "}", limit);
    if (complemented) limit = write(string, "]", limit);
    return limit;
}

int32_t mold(const Cell& value, Node string, bool, bool, bool, const Cell* part, int32_t limit,
             int32_t) {
    return form(value, string, part, limit);
}

Cell eval_path(const Cell& parent, const Cell& element, const Cell* value, const PathStep&) {
    if (!is(element, TypeId::integer) && !is(element, TypeId::char_))
        error::raise(ErrorId::script_invalid_type, cell::datatype(type_of(element)));
    if (value) return poke(parent, 0, element, *value);
    return pick(parent, 0, element);
}

int32_t compare(const Cell& a, const Cell& b, CompareOp op) {
    if (!is(b, TypeId::bitset)) return kNotComparable;
    if (op == CompareOp::same) return a.data2 == b.data2 ? 0 : 1;
    const uint32_t la = byte_count(a), lb = byte_count(b);
    if (la != lb) return la > lb ? 1 : -1;
    if (la == 0) return 0;
    const bool fa = complement_q(a), fb = complement_q(b);
    if (fa != fb) return fa ? 1 : -1;
    const uint8_t* x = bits_pointer(a);
    const uint8_t* y = bits_pointer(b);
    for (uint32_t i = la; i-- > 0;)
        if (x[i] != y[i]) return x[i] > y[i] ? 1 : -1;
    return 0;
}

Cell complement(const Cell& value) {
    Cell c = copy_of(value);
    SeriesBuffer* b = buffer(c);
    invert_bytes(b);
    b->flags ^= series_flag::complement;
    return c;
}

void negate(Cell& value) { value = complement(value); }

void and_() { do_math(MathOp::and_); }
void or_() { do_math(MathOp::or_); }
void xor_() { do_math(MathOp::xor_); }

Cell append(const Cell& series, const Cell& value, int32_t, bool, int32_t, bool) {
    Cell v = value;
    notify(series, gwords::insert, &v);
    process_spec(value, &series, SpecMode::set, SpecCaller::series);
    notify(series, words::inserted, &v);
    return series;
}

// Removing every member leaves the empty set, whatever the bitset was: the stored length is
// kept and the complement flag goes.
void clear(Cell& series) {
    notify(series, words::clear, nullptr);
    SeriesBuffer* b = buffer(series);
    std::memset(b->head, 0, b->used());
    b->flags &= ~series_flag::complement;
    notify(series, words::cleared, nullptr);
}

void copy(const Cell& value, Cell& result, const Cell*, bool, const Cell*) { result = copy_of(value); }

Cell find(const Cell& series, const Cell& value, const FindOptions&) {
    bool found = process_spec(value, &series, SpecMode::test, SpecCaller::series) != 0;
    return found ? cell::logic(true) : cell::none();
}

int32_t length_q(const Cell& series) {
    uint64_t bits = uint64_t(byte_count(series)) * 8;
    if (bits > uint64_t(INT32_MAX)) error::raise(ErrorId::math_overflow);
    return int32_t(bits);
}

Cell pick(const Cell& series, int32_t, const Cell& index_value) {
    return cell::logic(process_spec(index_value, &series, SpecMode::test, SpecCaller::series) != 0);
}

Cell poke(const Cell& series, int32_t, const Cell& index_value, const Cell& value) {
    Cell v = value;
    notify(series, words::poke, &v);
    process_spec(index_value, &series, falsy_q(v) ? SpecMode::clear : SpecMode::set, SpecCaller::series);
    notify(series, words::poked, &v);
    return v;
}

// Takes the values of the /part spec out of the set: a complemented bitset gets their bits
// cleared like a plain one (they are members there too).
void remove(Cell& series, const Cell* part, const Cell*) {
    if (!part) error::raise(ErrorId::script_missing_arg);
    Cell spec = *part;
    notify(series, gwords::remove, &spec);
    process_spec(spec, &series, SpecMode::clear, SpecCaller::series);
    notify(series, words::removed, &spec);
}

// ---- registration ----

void init() {
    gc::define_refs(TypeId::bitset, {.data2 = gc::Ref::series});
    registry::define(TypeId::bitset, {.make = make, .reflect = series_::reflect, .to = to,
                                      .form = form, .mold = mold, .eval_path = eval_path,
                                      .compare = compare, .negate = negate, .and_ = and_,
                                      .complement = complement, .or_ = or_, .xor_ = xor_,
                                      .append = append, .clear = clear, .copy = copy, .find = find,
                                      .insert = append, .length_q = length_q, .pick = pick,
                                      .poke = poke, .remove = remove, .modify = series_::modify});
}

}  // namespace kaz::bitset
