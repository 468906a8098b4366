// The output, comparison, reduction and set natives, with the max/min core.
#include "evaluator/natives_output.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <string>

#include "datatypes/bitset.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/file.h"
#include "datatypes/internal.h"
#include "datatypes/issue.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/typeset.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/interp.h"
#include "evaluator/natives.h"
#include "runtime/console.h"
#include "runtime/error.h"
#include "runtime/hashtable.h"
#include "runtime/heap.h"
#include "runtime/memory.h"
#include "runtime/number.h"
#include "runtime/resource.h"
#include "runtime/stack.h"
#include "runtime/text.h"
#include "runtime/unicode.h"

namespace kaz::natives {

bool last_output_new_line = false;

namespace output {

// ---- frame access ----

Cell& arg(uint32_t i) { return stack::base[i]; }
bool flag(const int32_t* refs, int k) { return refs[k] >= 0; }
Cell* ref_arg(const int32_t* refs, int k) { return refs[k] >= 0 ? &stack::base[refs[k]] : nullptr; }
bool pending() { return frame::unwinding != 0; }

[[noreturn]] void raise_expect_arg(const Cell& value, const char* argument) {
    error::raise(ErrorId::script_expect_arg, frame::function_word(), cell::datatype(type_of(value)),
                 word::from_c_string(argument));
}

SeriesBuffer* buffer(Node n) { return memory::buffer_of(n); }
uint32_t length_of(Node n) { return buffer(n)->length(); }

bool callable_q(TypeId t) {
    return t == TypeId::native || t == TypeId::action || t == TypeId::op || t == TypeId::function ||
           t == TypeId::routine;
}

// Inserts the values of `values` (a block) at the position of `target`, an any-block, through
// the target's insert action; the position after them is the native's result.
void insert_into(const Cell& target, const Cell& values, bool only) {
    TypeId t = type_of(target);
    InsertAction fn = registry::actions(t).insert;
    if (!fn) actions::raise_lacks(t, actions::Slot::insert);
    arg(0) = fn(target, values, -1, only, 1, false);
}

// ---- reduce ----

// A block! target takes reduced values at its tail, its owner told once of an insert of that
// many values there; the result is the target past them.
void append_results(const Cell& target, const Cell& values) {
    uint32_t count = length_of(values.data2);
    uint32_t old_tail = length_of(target.data2);
    series_::notify(target, gwords::insert, &values, int32_t(old_tail), int32_t(count));
    for (uint32_t i = 0; i < count; ++i) block::append_cell(target, buffer(values.data2)->cells()[i]);
    Cell past = target;
    past.data1 = length_of(target.data2);
    arg(0) = past;
}

// Evaluates `block` from its index, expression by expression, appending each result with its
// new-line marker cleared to `out` (a block held on the data stack). False when an unwind is
// pending.
bool reduce_into(const Cell& block, const Cell& out) {
    Node code = block.data2;
    Cell saved_current = interp::state.current_block;
    interp::state.current_block = block;
    for (uint32_t pos = std::min(block.data1, length_of(code)); pos < length_of(code);) {
        interp::state.current_block.data1 = pos;
        Cell* top = stack::data_top;
        pos = interp::eval_expression(code, pos, length_of(code), false, true, false);
        if (pending()) return false;
        Cell v = *top;
        stack::data_top = top;
        cell::clear_new_line(v);
        block::append_cell(out, v);
    }
    interp::state.current_block = saved_current;
    return true;
}

// Evaluates a value that is not a block as one expression; callables come back as they are.
// False when an unwind is pending; the result is the newest value otherwise.
bool reduce_one(const Cell& value) {
    if (callable_q(type_of(value))) {
        stack::push(value);
        return true;
    }
    Node code = series::alloc_cells(1);
    SeriesBuffer* b = buffer(code);
    *series::reserve_cell(b) = value;
    interp::eval_expression(code, 0, 1, false, true, false);
    return !pending();
}

void reduce(const int32_t* refs) {
    Cell value = arg(0);
    const Cell* into = ref_arg(refs, 0);
    if (is(value, TypeId::block)) {
        uint32_t n = series_::length_from_head(value);
        Cell* out = block::push_new(int32_t(n));
        if (!reduce_into(value, *out)) return;
        if (into && is(*into, TypeId::block)) return append_results(*into, *out);
        if (into) return insert_into(*into, *out, false);
        arg(0) = *out;
        return;
    }
    Cell* top = stack::data_top;
    if (!reduce_one(value)) return;
    Cell result = *top;
    stack::data_top = top;
    if (!into) {
        arg(0) = result;
        return;
    }
    Cell* one = block::push_new(1);
    block::append_cell(*one, result);
    if (is(*into, TypeId::block)) append_results(*into, *one);
    else insert_into(*into, *one, false);
}

// ---- compose ----

// Deeper nesting than this is taken for a block that contains itself.
constexpr uint32_t kMaxComposeDepth = 1000;

// Appends the composed values of `block` to `out` (a block held on the data stack). False when
// an unwind is pending.
bool compose_into(const Cell& block, const Cell& out, bool deep, bool only, uint32_t depth) {
    if (depth >= kMaxComposeDepth) error::raise(ErrorId::internal_too_deep);
    Node code = block.data2;
    for (uint32_t i = block.data1; i < length_of(code); ++i) {
        Cell v = buffer(code)->cells()[i];
        if (is(v, TypeId::block) && deep) {
            Cell* inner = block::push_new(int32_t(series_::length_from_head(v)));
            if (!compose_into(v, *inner, deep, only, depth + 1)) return false;
            Cell composed = *inner;
            composed.header = v.header;  // the nested block keeps its flags
            stack::data_top = inner;
            block::append_cell(out, composed);
        } else if (is(v, TypeId::paren)) {
            Cell* top = stack::data_top;
            interp::eval_block(cell::set_type(v, TypeId::block), false);
            if (pending()) return false;
            Cell r = *top;
            stack::data_top = top;
            if (is(r, TypeId::unset)) continue;
            if (is(r, TypeId::block) && !only) {
                // Spliced: each value of the result in turn (none for an empty block).
                for (uint32_t k = r.data1; k < length_of(r.data2); ++k)
                    block::append_cell(out, buffer(r.data2)->cells()[k]);
            } else {
                block::append_cell(out, r);
            }
        } else {
            block::append_cell(out, v);
        }
    }
    return true;
}

void compose(const int32_t* refs) {
    Cell value = arg(0);
    if (!is(value, TypeId::block))
        error::raise(ErrorId::script_expect_val, cell::datatype(TypeId::block), cell::datatype(type_of(value)));
    series_::clamp_head(value);
    Cell* out = block::push_new(int32_t(series_::length_from_head(value)));
    if (!compose_into(value, *out, flag(refs, 0), flag(refs, 1), 0)) return;
    if (const Cell* into = ref_arg(refs, 2)) return insert_into(*into, *out, false);
    arg(0) = *out;
}

// ---- print ----

void print(const int32_t*) {
    if (print_value(arg(0), true)) arg(0) = cell::unset();
}
void prin(const int32_t*) {
    if (print_value(arg(0), false)) arg(0) = cell::unset();
}

// ---- comparison ----

template <CompareOp Op>
void comparison(const int32_t*) {
    actions::compare_to_logic(Op);
}

bool series_cell_q(TypeId t) { return series_::series_type_q(t); }

uint32_t tuple_length(const Cell& c) { return (c.header >> 19) & 0xF; }

bool same_q(const Cell& a, const Cell& b) {
    TypeId t = type_of(a);
    if (t != type_of(b)) return false;
    if (series_cell_q(t)) return a.data2 == b.data2 && a.data1 == b.data1;
    switch (t) {
        case TypeId::datatype:
        case TypeId::logic:
        case TypeId::object: return a.data1 == b.data1;
        case TypeId::char_:
        case TypeId::integer:
        case TypeId::bitset: return a.data2 == b.data2;
        case TypeId::float_:
        case TypeId::percent:
        case TypeId::pair:
        case TypeId::time: return a.data2 == b.data2 && a.data3 == b.data3;
        case TypeId::tuple:
            return tuple_length(a) == tuple_length(b) && a.data1 == b.data1 && a.data2 == b.data2 &&
                   a.data3 == b.data3;
        case TypeId::none:
        case TypeId::unset: return true;
        case TypeId::money: return actions::compare(a, b, CompareOp::same) == 0;
        case TypeId::native:
        case TypeId::action:
        case TypeId::point2d: return a.data1 == b.data1 && a.data2 == b.data2;
        case TypeId::op: return a.data2 == b.data2 && a.data3 == b.data3;
        default: return a.data1 == b.data1 && a.data2 == b.data2 && a.data3 == b.data3;
    }
}

void same(const int32_t*) { arg(0) = cell::logic(same_q(arg(0), arg(1))); }

void not_(const int32_t*) { arg(0) = cell::logic(!interp::true_q(arg(0), false)); }

void type_q(const int32_t* refs) {
    TypeId t = type_of(arg(0));
    arg(0) = flag(refs, 0) ? registry::type_name(t).word : cell::datatype(t);
}

// ---- stats ----

// A count as integer!, or float! above the largest integer!.
Cell number_cell(uint64_t n) {
    return n <= 0x7FFFFFFFull ? cell::integer(int32_t(n)) : cell::float_(double(n));
}

// Bytes in use: node slots taken, series frame space used, and every big frame.
uint64_t bytes_in_use() {
    uint64_t total = 0;
    for (NodeFrame* f = memory::state.node_first; f; f = f->next) total += uint64_t(f->used) * sizeof(uintptr_t);
    for (SeriesFrame* f = memory::state.series_first; f; f = f->next) total += uint64_t(f->next_free - f->start());
    for (BigFrame* f = memory::state.big_first; f; f = f->next) total += f->size;
    return total;
}

// A block of three counts [free used total], marked to mold on a new line.
void append_figures(const Cell& block, uint64_t used, uint64_t total) {
    Cell* figures = block::push_new(3);
    block::append_cell(*figures, number_cell(total - used));
    block::append_cell(*figures, number_cell(used));
    block::append_cell(*figures, number_cell(total));
    Cell f = *figures;
    f.header |= cell_flag::new_line;
    stack::pop(1);
    block::append_cell(block, f);
}

// [node frames] [series frames] [big frame sizes] footprint heap: the allocator's figures in
// bytes (node frames in node slots).
Cell memory_figures() {
    Cell* result = block::push_new(5);
    Cell* nodes = block::push_new(4);
    Cell* frames = block::push_new(4);
    Cell* bigs = block::push_new(4);
    uint64_t footprint = 0;
    for (NodeFrame* f = memory::state.node_first; f; f = f->next) {
        append_figures(*nodes, f->used, f->capacity);
        footprint += uint64_t(f->capacity) * sizeof(uintptr_t) + sizeof(NodeFrame);
    }
    for (SeriesFrame* f = memory::state.series_first; f; f = f->next) {
        append_figures(*frames, uint64_t(f->next_free - f->start()), uint64_t(f->end - f->start()));
        footprint += f->size;
    }
    for (BigFrame* f = memory::state.big_first; f; f = f->next) {
        Cell size = number_cell(f->size);
        size.header |= cell_flag::new_line;
        block::append_cell(*bigs, size);
        footprint += f->size;
    }
    uint64_t heap_bytes = heap::bytes_held();
    for (Cell* part : {nodes, frames, bigs}) block::append_cell(*result, *part);
    block::append_cell(*result, number_cell(footprint + heap_bytes));
    block::append_cell(*result, number_cell(heap_bytes));
    return *result;
}

void stats(const int32_t* refs) {
    if (stack::data_top == stack::base) stack::push(cell::unset());  // no argument: reserve the return slot
    if (flag(refs, 0)) {
        Cell w = word::from_c_string("show-memory-stats");
        Cell fn = *word::get(w);
        if (!callable_q(type_of(fn))) error::raise(ErrorId::script_no_value, w);
        interp::call(fn, nullptr, 0);
        arg(0) = cell::unset();
        return;
    }
    // No collection may run while the frame lists are read.
    bool gc = memory::gc_enabled;
    memory::gc_enabled = false;
    Cell result = flag(refs, 1) ? memory_figures() : number_cell(bytes_in_use());
    memory::gc_enabled = gc;
    arg(0) = result;
}

// ---- bind and in ----

void bind(const int32_t* refs) {
    Cell target = arg(0);
    const Cell& where = arg(1);
    TypeId wt = type_of(where);
    Node ctx = where.data1;
    bool self = wt == TypeId::object;
    if (!ctx) return;  // a word bound to nothing: nothing to bind to
    if (word::any_word_type_q(type_of(target))) {
        context::bind_word(ctx, target);
        arg(0) = target;
        return;
    }
    if (flag(refs, 0)) target = *block::duplicate(target, true, true);
    context::bind_block(target, ctx, self);
    arg(0) = target;
}

// The word of `symbol` among a context's words block, bound as the block holds it.
std::optional<Cell> find_in_words(Node words, uint32_t symbol) {
    uint32_t canonical = symbol::canonical_id(symbol);
    for (uint32_t i = 0; i < length_of(words); ++i) {
        Cell w = buffer(words)->cells()[i];
        if (symbol::canonical_id(w.data2) == canonical) return w;
    }
    return std::nullopt;
}

void in(const int32_t*) {
    const Cell& holder = arg(0);
    Cell w = arg(1);
    if (is(w, TypeId::refinement)) cell::set_type(w, TypeId::word);
    TypeId ht = type_of(holder);
    if (ht == TypeId::native || ht == TypeId::action || ht == TypeId::op) {
        // Natives and actions keep their context's cell in their more-block.
        const Cell& ctx_cell = buffer(holder.data3)->cells()[0];
        std::optional<Cell> found = find_in_words(hashtable::record(ctx_cell.data1).block, w.data2);
        if (!found) {
            arg(0) = cell::none();
            return;
        }
        w.data1 = found->data1;
        w.data3 = found->data3;
        arg(0) = w;
        return;
    }
    Node ctx = holder.data1;
    int32_t i = context::find_symbol(ctx, w.data2, true);
    if (i < 0) {
        arg(0) = cell::none();
        return;
    }
    w.data1 = ctx;
    w.data3 = uint32_t(i);
    arg(0) = w;
}

// ---- set operations ----

TypeId set_kind(TypeId t) { return t == TypeId::hash ? TypeId::block : t; }

template <MathOp Op>
void set_operation(const int32_t* refs) {
    bool case_ = flag(refs, 0);
    const Cell* skip = ref_arg(refs, 1);
    Cell& first = arg(0);
    TypeId t = type_of(first);
    bool two = Op != MathOp::unique;
    if (two && set_kind(t) != set_kind(type_of(arg(1))))
        error::raise(ErrorId::script_expect_val, cell::datatype(t), cell::datatype(type_of(arg(1))));
    switch (t) {
        case TypeId::block:
        case TypeId::hash: block::set_operation(Op, case_, skip); return;
        case TypeId::string: first = string::set_operation(first, two ? &arg(1) : nullptr, Op, case_, skip); return;
        case TypeId::bitset:
            if (!two) break;
            first = bitset::set_operation(first, arg(1), Op);
            return;
        case TypeId::typeset:
            if (!two) break;
            typeset::set_operation(Op);
            return;
        case TypeId::date:
            if (Op != MathOp::difference) break;
            error::raise(ErrorId::internal_not_done);  // date! is not built yet
        default: break;
    }
    raise_expect_arg(first, two ? "set1" : "set");
}

void complement_q(const int32_t*) {
    if (!is(arg(0), TypeId::bitset)) raise_expect_arg(arg(0), "bits");
    arg(0) = cell::logic(bitset::complement_q(arg(0)));
}

// ---- percent encoding ----

void dehex(const int32_t*) {
    Cell source = arg(0);
    Cell* out = stack::push(string::make_cell(series_::length_from_head(source)));
    url::percent_decode(source, out->data2);
    arg(0) = *out;
}

void enhex(const int32_t*) {
    Cell source = arg(0);
    Cell* out = stack::push(string::make_cell(series_::length_from_head(source)));
    // A string! is escaped strictly; the other text types keep what URLs allow.
    uint32_t kind = is(source, TypeId::string) ? url::kStrict : uint32_t(type_of(source));
    url::percent_encode(source, out->data2, kind);
    arg(0) = *out;
}

// ---- signs ----

// -1, 0 or 1; a NaN has no sign.
int32_t sign_of(const Cell& v) {
    switch (type_of(v)) {
        case TypeId::integer: return integer::sign(cell::get_integer(v));
        case TypeId::float_:
        case TypeId::percent:
        case TypeId::time: {
            double d = cell::get_float(v);
            return d > 0 ? 1 : d < 0 ? -1 : 0;
        }
        default: raise_expect_arg(v, "number");
    }
}

void negative_q(const int32_t*) { arg(0) = cell::logic(sign_of(arg(0)) < 0); }
void positive_q(const int32_t*) { arg(0) = cell::logic(sign_of(arg(0)) > 0); }
void sign_q(const int32_t*) { arg(0) = cell::integer(sign_of(arg(0))); }

// ---- max and min ----

void max_(const int32_t*) { max_min(true); }
void min_(const int32_t*) { max_min(false); }

// ---- bits and hex ----

void shift(const int32_t* refs) {
    int32_t data = cell::get_integer(arg(0));
    int32_t bits = std::max(cell::get_integer(arg(1)), 0);
    auto u = uint32_t(data);
    int32_t r;
    if (flag(refs, 0)) r = bits >= 32 ? 0 : int32_t(u << bits);
    else if (flag(refs, 1)) r = bits >= 32 ? 0 : int32_t(u >> bits);
    else r = bits >= 32 ? (data < 0 ? -1 : 0) : data >> bits;
    arg(0) = cell::integer(r);
}

void to_hex(const int32_t* refs) {
    string::Hex hex = string::int_to_hex(cell::get_integer(arg(0)), false);
    int32_t n = 8;
    if (const Cell* size = ref_arg(refs, 0)) {
        n = cell::get_integer(*size);
        if (n <= 0) error::raise(ErrorId::script_invalid_arg, *size);
        n = std::min(n, 8);
    }
    std::string digits(hex.view().substr(size_t(8 - n)));
    arg(0) = issue::from_c_string(digits.c_str());
}

// ---- base encodings ----

// The bytes of a binary! from its head, or the UTF-8 bytes of a string.
std::string bytes_of(const Cell& value) {
    std::string out;
    Cell v = value;
    series_::clamp_head(v);
    if (is(v, TypeId::binary)) {
        SeriesBuffer* b = buffer(v.data2);
        out.assign(reinterpret_cast<const char*>(b->head) + v.data1, b->length() - v.data1);
        return out;
    }
    for (uint32_t i = v.data1; i < series_::total_length(v); ++i) {
        uint8_t utf8[4];
        uint32_t n = utf8::encode_char(string::char_at(v, i), utf8);
        out.append(reinterpret_cast<const char*>(utf8), n);
    }
    return out;
}

constexpr char kBase58Digits[] = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";
constexpr char kBase64Digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

void encode_base2(const std::string& in, std::string& out) {
    for (unsigned char c : in)
        for (int bit = 7; bit >= 0; --bit) out += char('0' + ((c >> bit) & 1));
}

void encode_base16(const std::string& in, std::string& out) {
    for (unsigned char c : in) out += string::byte_to_hex(c).view();
}

// Repeated division by 58 of the number the bytes spell, most significant first.
void encode_base58(const std::string& in, std::string& out) {
    size_t zeros = 0;
    while (zeros < in.size() && in[zeros] == 0) ++zeros;
    std::string number = in.substr(zeros);
    std::string digits;
    size_t first = 0;
    while (first < number.size()) {
        uint32_t remainder = 0;
        for (size_t i = first; i < number.size(); ++i) {
            uint32_t v = remainder * 256 + uint8_t(number[i]);
            number[i] = char(v / 58);
            remainder = v % 58;
        }
        digits += kBase58Digits[remainder];
        while (first < number.size() && number[first] == 0) ++first;
    }
    out.append(zeros, '1');
    out.append(digits.rbegin(), digits.rend());
}

void encode_base64(const std::string& in, std::string& out) {
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        uint32_t v = uint32_t(uint8_t(in[i])) << 16 | uint32_t(uint8_t(in[i + 1])) << 8 | uint8_t(in[i + 2]);
        for (int k = 18; k >= 0; k -= 6) out += kBase64Digits[(v >> k) & 63];
    }
    size_t rest = in.size() - i;
    if (rest == 0) return;
    uint32_t v = uint32_t(uint8_t(in[i])) << 16 | (rest == 2 ? uint32_t(uint8_t(in[i + 1])) << 8 : 0);
    out += kBase64Digits[(v >> 18) & 63];
    out += kBase64Digits[(v >> 12) & 63];
    out += rest == 2 ? kBase64Digits[(v >> 6) & 63] : '=';
    out += '=';
}

// The text a decoder reads: the code points of the string from its head, with `;` comments
// (up to the next line feed) left out.
std::u32string decoder_text(const Cell& value) {
    Cell v = value;
    series_::clamp_head(v);
    std::u32string text;
    bool comment = false;
    for (uint32_t i = v.data1; i < series_::total_length(v); ++i) {
        char32_t cp = string::char_at(v, i);
        if (comment) {
            comment = cp != '\n';
            continue;
        }
        if (cp == ';') comment = true;
        else text += cp;
    }
    return text;
}

int hex_digit(char32_t c) {
    if (c >= '0' && c <= '9') return int(c - '0');
    if (c >= 'A' && c <= 'F') return int(c - 'A' + 10);
    if (c >= 'a' && c <= 'f') return int(c - 'a' + 10);
    return -1;
}

// The characters base 58 and base 64 text may hold between digits.
bool layout_char_q(char32_t c) { return c == 8 || c == 9 || c == 10 || c == 12 || c == 13 || c == 32 || c == 39; }

std::optional<std::string> decode_base2(const std::u32string& text) {
    std::string out;
    uint32_t bits = 0, count = 0;
    for (char32_t c : text) {
        if (c <= 32) continue;
        if (c != '0' && c != '1') return std::nullopt;
        bits = bits << 1 | uint32_t(c - '0');
        if (++count == 8) {
            out += char(bits);
            bits = count = 0;
        }
    }
    if (count) return std::nullopt;
    return out;
}

// A character beyond ASCII is no digit (it is not read modulo 128 as an ASCII one).
std::optional<std::string> decode_base16(const std::u32string& text) {
    std::string out;
    int high = -1;
    for (char32_t c : text) {
        if (c <= 32) continue;
        int d = hex_digit(c);
        if (d < 0) return std::nullopt;
        if (high < 0) {
            high = d;
        } else {
            out += char(high << 4 | d);
            high = -1;
        }
    }
    return out;
}

std::optional<std::string> decode_base58(const std::u32string& text) {
    std::string number;  // base-256 digits, most significant first
    size_t ones = 0;
    bool leading = true;
    for (char32_t c : text) {
        if (layout_char_q(c)) continue;
        if (c > 127) break;
        const char* at = std::strchr(kBase58Digits, int(c));
        if (!at || c == 0) return std::nullopt;
        uint32_t carry = uint32_t(at - kBase58Digits);
        if (leading && carry == 0) {
            ++ones;
            continue;
        }
        leading = false;
        for (size_t i = number.size(); i-- > 0;) {
            carry += uint32_t(uint8_t(number[i])) * 58;
            number[i] = char(carry & 0xFF);
            carry >>= 8;
        }
        while (carry) {
            number.insert(number.begin(), char(carry & 0xFF));
            carry >>= 8;
        }
    }
    return std::string(ones, '\0') + number;
}

std::optional<std::string> decode_base64(const std::u32string& text) {
    std::string out;
    uint32_t group = 0, count = 0;
    for (char32_t c : text) {
        if (layout_char_q(c)) continue;
        if (c == '=') {
            if (count == 3) {
                out += char(group >> 10);
                out += char(group >> 2);
            } else if (count == 2) {
                out += char(group >> 4);
            } else {
                return std::nullopt;
            }
            return out;
        }
        const char* at = c > 127 || c == 0 ? nullptr : std::strchr(kBase64Digits, int(c));
        if (!at) return std::nullopt;
        group = group << 6 | uint32_t(at - kBase64Digits);
        if (++count == 4) {
            out += char(group >> 16);
            out += char(group >> 8);
            out += char(group);
            group = count = 0;
        }
    }
    return out;  // an unfinished last group is dropped
}

int32_t base_argument(const int32_t* refs, int32_t fallback) {
    const Cell* base = ref_arg(refs, 0);
    if (!base) return fallback;
    int32_t b = cell::get_integer(*base);
    if (b != 2 && b != 16 && b != 58 && b != 64) error::raise(ErrorId::script_invalid_arg, *base);
    return b;
}

void debase(const int32_t* refs) {
    int32_t base = base_argument(refs, 64);
    std::u32string text = decoder_text(arg(0));
    std::optional<std::string> bytes = base == 2    ? decode_base2(text)
                                       : base == 16 ? decode_base16(text)
                                       : base == 58 ? decode_base58(text)
                                                    : decode_base64(text);
    if (!bytes) {
        arg(0) = cell::none();
        return;
    }
    Node n = series::alloc_bytes(uint32_t(bytes->size()));
    SeriesBuffer* b = buffer(n);
    std::memcpy(series::reserve_bytes(b, uint32_t(bytes->size())), bytes->data(), bytes->size());
    arg(0) = cell::make(TypeId::binary, 0, n, 0);
}

void enbase(const int32_t* refs) {
    int32_t base = base_argument(refs, 64);
    std::string bytes = bytes_of(arg(0));
    // The room the text needs, checked before anything is made.
    uint64_t n = bytes.size();
    uint64_t size = base == 64   ? (n + 2) / 3 * 4 + n / 48 * 2 + 4
                    : base == 58 ? n * 2 + 1
                    : base == 16 ? n * 2 + n / 32 + 32
                                 : n * 8 + n / 8 * 2 + 4;
    if (size > 0x7FFFFFFF) error::raise(ErrorId::script_too_long);
    std::string out;
    out.reserve(size_t(size));
    if (base == 2) encode_base2(bytes, out);
    else if (base == 16) encode_base16(bytes, out);
    else if (base == 58) encode_base58(bytes, out);
    else encode_base64(bytes, out);
    Cell* text = stack::push(string::make_cell(uint32_t(out.size())));
    text::append_ascii(text->data2, out);
    arg(0) = *text;
}

// ---- max/min helpers ----

bool number_q(TypeId t) { return t == TypeId::integer || t == TypeId::float_ || t == TypeId::percent; }
double number_value(const Cell& c) {
    return is(c, TypeId::integer) ? double(cell::get_integer(c)) : cell::get_float(c);
}
bool nan_number_q(const Cell& c) {
    return (is(c, TypeId::float_) || is(c, TypeId::percent)) && std::isnan(cell::get_float(c));
}

float get_f32(uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}
uint32_t put_f32(float f) {
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

// One point component against the operand's: a NaN operand wins.
float pick_f32(float mine, float other, bool max) {
    if (std::isnan(other)) return other;
    return max ? (other > mine ? other : mine) : (other < mine ? other : mine);
}
int32_t pick_i32(int32_t mine, int32_t other, bool max) { return max ? std::max(mine, other) : std::min(mine, other); }

Cell pair_to_point(const Cell& pair) {
    return cell::make(TypeId::point2d, put_f32(float(int32_t(pair.data2))), put_f32(float(int32_t(pair.data3))), 0);
}

uint8_t tuple_byte(const Cell& t, uint32_t i) {
    uint32_t word = i < 4 ? t.data1 : i < 8 ? t.data2 : t.data3;
    return uint8_t(word >> (8 * (i % 4)));
}
void set_tuple_byte(Cell& t, uint32_t i, uint8_t b) {
    uint32_t& word = i < 4 ? t.data1 : i < 8 ? t.data2 : t.data3;
    uint32_t shift = 8 * (i % 4);
    word = (word & ~(0xFFu << shift)) | (uint32_t(b) << shift);
}

// Component-wise max/min of a pair, point or tuple `v` with `o`; false when the two are not
// such a combination.
bool compound(Cell& v, const Cell& o, bool max) {
    TypeId vt = type_of(v), ot = type_of(o);
    switch (vt) {
        case TypeId::pair: {
            if (ot == TypeId::pair) {
                v.data2 = uint32_t(pick_i32(int32_t(v.data2), int32_t(o.data2), max));
                v.data3 = uint32_t(pick_i32(int32_t(v.data3), int32_t(o.data3), max));
                return true;
            }
            int32_t n;
            if (ot == TypeId::integer) {
                n = cell::get_integer(o);
            } else if (ot == TypeId::float_ && number::fits_int32(cell::get_float(o))) {
                n = int32_t(cell::get_float(o));
            } else if (ot == TypeId::float_ || ot == TypeId::point2d) {
                v = pair_to_point(v);
                return compound(v, o, max);
            } else {
                return false;
            }
            v.data2 = uint32_t(pick_i32(int32_t(v.data2), n, max));
            v.data3 = uint32_t(pick_i32(int32_t(v.data3), n, max));
            return true;
        }
        case TypeId::point2d:
        case TypeId::point3d: {
            uint32_t count = vt == TypeId::point2d ? 2 : 3;
            uint32_t* mine[3] = {&v.data1, &v.data2, &v.data3};
            const uint32_t theirs[3] = {o.data1, o.data2, o.data3};
            if (ot == vt) {
                for (uint32_t i = 0; i < count; ++i)
                    *mine[i] = put_f32(pick_f32(get_f32(*mine[i]), get_f32(theirs[i]), max));
                return true;
            }
            if (!number_q(ot)) return false;
            float n = float(number_value(o));
            for (uint32_t i = 0; i < count; ++i) *mine[i] = put_f32(pick_f32(get_f32(*mine[i]), n, max));
            return true;
        }
        case TypeId::tuple: {
            uint32_t count = tuple_length(v);
            if (number_q(ot)) {
                double d = number_value(o);
                uint8_t n = std::isnan(d) || d <= 0 ? 0 : d >= 255 ? 255 : uint8_t(d);
                for (uint32_t i = 0; i < count; ++i)
                    set_tuple_byte(v, i, uint8_t(pick_i32(tuple_byte(v, i), n, max)));
                return true;
            }
            if (ot != TypeId::tuple || tuple_length(o) != count) return false;
            for (uint32_t i = 0; i < count; ++i)
                set_tuple_byte(v, i, uint8_t(pick_i32(tuple_byte(v, i), tuple_byte(o, i), max)));
            return true;
        }
        default: return false;
    }
}

bool compound_type_q(TypeId t) {
    return t == TypeId::pair || t == TypeId::point2d || t == TypeId::point3d || t == TypeId::tuple;
}

}  // namespace output

bool print_value(const Cell& value, bool new_line) {
    using namespace output;
    Cell* saved = stack::data_top;
    Cell v = value;
    if (is(v, TypeId::block)) {
        Cell* reduced = block::push_new(int32_t(series_::length_from_head(v)));
        if (!reduce_into(v, *reduced)) return false;
        v = *reduced;
    }
    Cell text = v;
    if (!is(v, TypeId::string)) {
        Cell* out = stack::push(string::make_cell(16));
        actions::form(v, out->data2, nullptr, 0x7FFFFFFF);
        text = *out;
    }
    SeriesBuffer* b = buffer(text.data2);
    uint32_t head = std::min(text.data1, b->length());
    uint32_t unit = b->unit();
    console::write_units(b->head + size_t(head) * unit, size_t(b->length() - head) * unit, unit, new_line);
    print_hooks::call_value(text, new_line);
    last_output_new_line = new_line;
    stack::data_top = saved;
    return true;
}

void max_min(bool max) {
    using namespace output;
    Cell v1 = arg(0), v2 = arg(1);
    if (nan_number_q(v1) && number_q(type_of(v2))) return;
    if (nan_number_q(v2) && number_q(type_of(v1))) {
        arg(0) = v2;
        return;
    }
    if (compound_type_q(type_of(v2)) && number_q(type_of(v1))) std::swap(v1, v2);
    if (compound(v1, v2, max)) {
        arg(0) = v1;
        return;
    }
    bool less = actions::compare_values(v1, v2, CompareOp::lesser);
    arg(0) = max ? (less ? v2 : v1) : (less ? v1 : v2);
}

void init_output() {
    define(Number::print, output::print);
    define(Number::prin, output::prin);
    define(Number::equal_q, output::comparison<CompareOp::equal>);
    define(Number::not_equal_q, output::comparison<CompareOp::not_equal>);
    define(Number::strict_equal_q, output::comparison<CompareOp::strict_equal>);
    define(Number::lesser_q, output::comparison<CompareOp::lesser>);
    define(Number::greater_q, output::comparison<CompareOp::greater>);
    define(Number::lesser_or_equal_q, output::comparison<CompareOp::lesser_or_equal>);
    define(Number::greater_or_equal_q, output::comparison<CompareOp::greater_or_equal>);
    define(Number::same_q, output::same);
    define(Number::not_, output::not_);
    define(Number::type_q, output::type_q);
    define(Number::reduce, output::reduce);
    define(Number::compose, output::compose);
    define(Number::stats, output::stats);
    define(Number::bind, output::bind);
    define(Number::in, output::in);
    define(Number::union_, output::set_operation<MathOp::union_>);
    define(Number::intersect, output::set_operation<MathOp::intersect>);
    define(Number::unique, output::set_operation<MathOp::unique>);
    define(Number::difference, output::set_operation<MathOp::difference>);
    define(Number::exclude, output::set_operation<MathOp::exclude>);
    define(Number::complement_q, output::complement_q);
    define(Number::dehex, output::dehex);
    define(Number::enhex, output::enhex);
    define(Number::negative_q, output::negative_q);
    define(Number::positive_q, output::positive_q);
    define(Number::max, output::max_);
    define(Number::min, output::min_);
    define(Number::shift, output::shift);
    define(Number::to_hex, output::to_hex);
    define(Number::debase, output::debase);
    define(Number::enbase, output::enbase);
    define(Number::sign_q, output::sign_q);
}

}  // namespace kaz::natives
