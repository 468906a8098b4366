// tuple! — 3 to 12 bytes in the cell; arithmetic byte by byte, saturating at 0 and 255.
#include "datatypes/tuple.h"

#include <algorithm>
#include <cmath>
#include <string_view>

#include "datatypes/cells.h"
#include "datatypes/float.h"
#include "datatypes/internal.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "runtime/error.h"
#include "runtime/memory.h"
#include "runtime/random.h"
#include "runtime/stack.h"
#include "runtime/text.h"

namespace kaz::tuple {
namespace {

// ---- helpers ----

using tuple_cell::byte;
using tuple_cell::count;
using tuple_cell::kMaxBytes;
using tuple_cell::set_byte;

constexpr uint32_t kMinBytes = 3;

// Stops at the limit and subtracts exactly what it wrote.
constexpr auto& write = text::write_within;

[[noreturn]] void bad_to_arg(const Cell& spec) {
    error::raise(ErrorId::script_bad_to_arg, cell::datatype(TypeId::tuple), spec);
}

uint8_t clamp(int64_t v) { return uint8_t(std::clamp<int64_t>(v, 0, 255)); }

// A float result truncated toward zero into a byte; NaN gives 0.
uint8_t clamp(double v) {
    if (!(v > 0.0)) return 0;
    return v >= 255.0 ? 255 : uint8_t(v);
}

// A byte of a block spec: an integer, a char's code point or a float truncated toward zero,
// in 0..255.
uint8_t block_byte(const Cell& c, const Cell& spec) {
    double v;
    switch (type_of(c)) {
        case TypeId::integer:
        case TypeId::char_: v = double(int32_t(c.data2)); break;
        case TypeId::float_: v = std::trunc(cell::get_float(c)); break;
        default: bad_to_arg(spec);
    }
    if (!(v >= 0.0 && v <= 255.0)) bad_to_arg(spec);
    return uint8_t(v);
}

Cell from_block(const Cell& spec) {
    SeriesBuffer* b = memory::buffer_of(spec.data2);
    uint32_t length = b->length();
    uint32_t head = std::min(spec.data1, length);
    uint32_t n = length - head;
    if (n > kMaxBytes) bad_to_arg(spec);
    Cell t = tuple_cell::make(std::max(n, kMinBytes));
    for (uint32_t i = 0; i < n; ++i) set_byte(t, i, block_byte(b->cells()[head + i], spec));
    return t;
}

int hex_digit(uint32_t c) {
    if (c >= '0' && c <= '9') return int(c - '0');
    if (c >= 'A' && c <= 'F') return int(c - 'A' + 10);
    if (c >= 'a' && c <= 'f') return int(c - 'a' + 10);
    return -1;
}

// A colour in hexadecimal: #RGB (each digit doubled), #RRGGBB or #RRGGBBAA.
Cell from_issue(const Cell& issue) {
    std::string_view name = symbol::name(issue.data2);
    size_t n = name.size();
    if (n != 3 && n != 6 && n != 8) error::raise(ErrorId::script_invalid_data, issue);
    int digits[8];
    for (size_t i = 0; i < n; ++i) {
        digits[i] = hex_digit(uint8_t(name[i]));
        if (digits[i] < 0) error::raise(ErrorId::script_invalid_data, issue);
    }
    Cell t = tuple_cell::make(n == 8 ? 4 : 3);
    for (uint32_t i = 0; i < count(t); ++i)
        set_byte(t, i, uint8_t(n == 3 ? digits[i] * 17 : digits[2 * i] * 16 + digits[2 * i + 1]));
    return t;
}

// Byte i (1-based) of a path or pick: an index outside the tuple raises script out-of-range.
uint32_t byte_index(const Cell& tuple, int32_t index, const Cell& index_value) {
    if (index < 1 || uint32_t(index) > count(tuple)) error::raise(ErrorId::script_out_of_range, index_value);
    return uint32_t(index - 1);
}

// Reverses bytes [from, to).
void reverse_bytes(Cell& t, uint32_t from, uint32_t to) {
    while (from + 1 < to) {
        uint8_t a = byte(t, from), b = byte(t, --to);
        set_byte(t, from++, b);
        set_byte(t, to, a);
    }
}

int32_t refinement_integer(const Cell& value, const char* name) {
    if (!is(value, TypeId::integer))
        error::raise(ErrorId::script_invalid_refine_arg, word::from_c_string(name), value);
    return cell::get_integer(value);
}

}  // namespace

Cell* push(uint32_t n, uint32_t data1, uint32_t data2, uint32_t data3) {
    Cell t = tuple_cell::make(n);
    t.data1 = data1;
    t.data2 = data2;
    t.data3 = data3;
    return stack::push(t);
}

Cell from_ints(uint32_t n, const int32_t* values) {
    n = std::min(n, kMaxBytes);
    Cell t = tuple_cell::make(std::max(n, kMinBytes));
    for (uint32_t i = 0; i < n; ++i) set_byte(t, i, uint8_t(values[i]));
    return t;
}

Cell from_binary(const Cell& binary) {
    SeriesBuffer* b = memory::buffer_of(binary.data2);
    uint32_t used = b->used();
    uint32_t head = std::min(binary.data1, used);
    uint32_t n = std::min(used - head, kMaxBytes);
    Cell t = tuple_cell::make(std::max(n, kMinBytes));
    for (uint32_t i = 0; i < n; ++i) set_byte(t, i, b->head[head + i]);
    return t;
}

Cell from_colour(int32_t red, int32_t green, int32_t blue, int32_t alpha) {
    const int32_t components[] = {red, green, blue, alpha};
    return from_ints(alpha == -1 ? 3 : 4, components);
}

bool zero_q(const Cell& t) { return t.data1 == 0 && t.data2 == 0 && t.data3 == 0; }

void do_math(MathOp op) {
    if (!is(stack::base[0], TypeId::tuple)) {
        // A number on the left: the tuple takes its place, where only the symmetric
        // operations make sense.
        if (op == MathOp::subtract || op == MathOp::divide)
            error::raise(ErrorId::script_not_related, op == MathOp::subtract ? words::subtract : words::divide,
                         cell::datatype(type_of(stack::base[0])));
        swap_operands();
    }
    Cell& left = stack::base[0];
    const Cell right = stack::base[1];
    Cell result = left;
    const uint32_t n1 = count(left);
    switch (type_of(right)) {
        case TypeId::float_:
        case TypeId::percent: {
            const double f = cell::get_float(right);
            for (uint32_t i = 0; i < n1; ++i) set_byte(result, i, clamp(std::trunc(float_::do_math(byte(left, i), f, op))));
            break;
        }
        case TypeId::integer:
        case TypeId::tuple: {
            const bool bytes = is(right, TypeId::tuple);
            const uint32_t n = bytes ? std::max(n1, count(right)) : n1;
            tuple_cell::set_count(result, n);
            for (uint32_t i = 0; i < n; ++i) {
                // Bytes past a tuple's end are 0 by the cell's invariant.
                const int64_t a = byte(left, i), b = bytes ? byte(right, i) : cell::get_integer(right);
                int64_t r;
                switch (op) {
                    case MathOp::add: r = a + b; break;
                    case MathOp::subtract: r = a - b; break;
                    case MathOp::multiply: r = a * b; break;
                    case MathOp::divide:
                    case MathOp::remainder:
                        if (b == 0) error::raise(ErrorId::math_zero_divide);
                        r = op == MathOp::divide ? a / b : a % b;
                        break;
                    case MathOp::or_: r = int32_t(a) | int32_t(b); break;
                    case MathOp::and_: r = int32_t(a) & int32_t(b); break;
                    case MathOp::xor_: r = int32_t(a) ^ int32_t(b); break;
                    default: runtime::no_switch_matched(KAZ_CALLER_ADDRESS());
                }
                set_byte(result, i, clamp(r));
            }
            break;
        }
        default: error::raise(ErrorId::script_invalid_type, cell::datatype(type_of(right)));
    }
    left = result;
}

// ---- actions ----

Cell make(const Cell&, const Cell& spec, TypeId) {
    switch (type_of(spec)) {
        case TypeId::tuple: return spec;
        case TypeId::block:
        case TypeId::paren:
        case TypeId::hash: return from_block(spec);
        case TypeId::issue: return from_issue(spec);
        case TypeId::binary: return from_binary(spec);
        case TypeId::string:
        case TypeId::file:
        case TypeId::url:
        case TypeId::tag:
        case TypeId::email:
        case TypeId::ref: {
            Cell first = string::scan_first(spec);
            if (!is(first, TypeId::tuple)) bad_to_arg(spec);
            cell::clear_new_line(first);
            return first;
        }
        default: bad_to_arg(spec);
    }
}

void random(Cell& value, bool seed, bool secure, bool) {
    if (seed) {
        kaz::random::seed(value.data1 ^ value.data2 ^ value.data3);
        value = cell::unset();
        return;
    }
    // Each byte b becomes a value in 0..b.
    for (uint32_t i = 0; i < count(value); ++i)
        set_byte(value, i, uint8_t(kaz::random::int_(secure, byte(value, i) + 1) - 1));
}

int32_t form(const Cell& value, Node string, const Cell*, int32_t limit) {
    for (uint32_t i = 0; i < count(value); ++i) {
        if (i > 0) limit = write(string, ".", limit);
        limit = write(string, integer::format_decimal(byte(value, i)).view(), limit);
    }
    return limit;
}

int32_t mold(const Cell& value, Node string, bool, bool, bool, const Cell* part, int32_t limit, int32_t) {
    return form(value, string, part, limit);
}

Cell eval_path(const Cell& parent, const Cell& element, const Cell* value, const PathStep&) {
    if (!is(element, TypeId::integer)) error::raise(ErrorId::script_invalid_type, cell::datatype(type_of(element)));
    uint32_t i = byte_index(parent, cell::get_integer(element), element);
    if (!value) return cell::integer(byte(parent, i));
    // The path walk hands over the cell the tuple lives in and writes it back to its holder.
    Cell& t = const_cast<Cell&>(parent);
    if (is(*value, TypeId::integer)) {
        set_byte(t, i, clamp(int64_t(cell::get_integer(*value))));
    } else if (is(*value, TypeId::none)) {
        // Cut before byte i; a tuple keeps at least 3 bytes, the cut ones 0.
        for (uint32_t j = i; j < count(t); ++j) set_byte(t, j, 0);
        tuple_cell::set_count(t, std::max(i, kMinBytes));
    } else {
        error::raise(ErrorId::script_invalid_type, cell::datatype(type_of(*value)));
    }
    return *value;
}

int32_t compare(const Cell& a, const Cell& b, CompareOp) {
    if (!is(b, TypeId::tuple)) return kNotComparable;
    for (uint32_t i = 0; i < kMaxBytes; ++i) {
        uint8_t x = byte(a, i), y = byte(b, i);
        if (x != y) return x < y ? -1 : 1;
    }
    return 0;
}

void add() { do_math(MathOp::add); }
void subtract() { do_math(MathOp::subtract); }
void multiply() { do_math(MathOp::multiply); }
void divide() { do_math(MathOp::divide); }
void remainder() { do_math(MathOp::remainder); }
void and_() { do_math(MathOp::and_); }
void or_() { do_math(MathOp::or_); }
void xor_() { do_math(MathOp::xor_); }

Cell complement(const Cell& value) {
    Cell t = value;
    for (uint32_t i = 0; i < count(t); ++i) set_byte(t, i, uint8_t(255 - byte(t, i)));
    return t;
}

int32_t length_q(const Cell& tuple) { return int32_t(count(tuple)); }

Cell pick(const Cell& tuple, int32_t index, const Cell& index_value) {
    return cell::integer(byte(tuple, byte_index(tuple, index, index_value)));
}

void reverse(Cell& tuple, const Cell* part, const Cell* skip) {
    uint32_t length = count(tuple);
    if (part) {
        int32_t p = refinement_integer(*part, "part");
        if (p < 0) error::raise(ErrorId::script_out_of_range, *part);
        length = std::min(uint32_t(p), length);
    }
    uint32_t size = 1;
    if (skip) {
        int32_t s = refinement_integer(*skip, "skip");
        if (s >= 0 && uint32_t(s) == length) return;
        if (s < 1) error::raise(ErrorId::script_out_of_range, *skip);
        if (uint32_t(s) > length || length % uint32_t(s) != 0)
            error::raise(ErrorId::script_invalid_refine_arg, word::from_c_string("skip"), *skip);
        size = uint32_t(s);
    }
    // Groups of `size` bytes change places end for end, each keeping its own order: reverse
    // everything, then each group back.
    reverse_bytes(tuple, 0, length);
    if (size > 1)
        for (uint32_t g = 0; g < length; g += size) reverse_bytes(tuple, g, g + size);
}

// ---- registration ----

void init() {
    registry::define(TypeId::tuple, {.make = make, .random = random, .to = make, .form = form,
                                     .mold = mold, .eval_path = eval_path, .compare = compare,
                                     .add = add, .divide = divide, .multiply = multiply,
                                     .remainder = remainder, .subtract = subtract, .and_ = and_,
                                     .complement = complement, .or_ = or_, .xor_ = xor_,
                                     .length_q = length_q, .pick = pick, .reverse = reverse});
}

}  // namespace kaz::tuple
