// string! — text series of 1, 2 or 4 bytes per code point; widens in place.
#include "datatypes/string.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "datatypes/hooks.h"
#include "datatypes/integer.h"
#include "datatypes/internal.h"
#include "datatypes/ownership.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/symbol.h"
#include "runtime/case_fold.h"
#include "runtime/error.h"
#include "runtime/float_text.h"
#include "runtime/gc.h"
#include "runtime/heap.h"
#include "runtime/number.h"
#include "runtime/sort.h"
#include "runtime/stack.h"
#include "runtime/text.h"

namespace kaz::string {


namespace {

// ---- helpers ----

// Largest byte size of a series buffer.
constexpr uint64_t kMaxBytes = 0xFFFF'0000ULL;

uint32_t checked_bytes(uint64_t bytes) {
    if (bytes > kMaxBytes) error::raise(ErrorId::internal_no_memory);
    return uint32_t(bytes);
}

// Positions and lengths are 32-bit signed integers in the language: a text may not grow past
// the largest of them, whatever its unit.
uint32_t checked_units(uint64_t units) {
    if (units > uint64_t(INT32_MAX)) error::raise(ErrorId::internal_no_memory);
    return uint32_t(units);
}

inline SeriesBuffer* buffer(const Cell& c) { return memory::buffer_of(c.data2); }
inline uint8_t* unit_at(SeriesBuffer* b, uint32_t i) { return b->head + size_t(i) * b->unit(); }
inline uint32_t read(SeriesBuffer* b, uint32_t i) { return get_char(unit_at(b, i), b->unit()); }

// Sets a head past the tail to the tail; returns the head.
uint32_t clamp_head(Cell& s) {
    uint32_t n = buffer(s)->length();
    if (s.data1 > n) s.data1 = n;
    return s.data1;
}

// The unit add_code_point needs for cp (unit 1 keeps ASCII only).
constexpr uint32_t append_unit(uint32_t cp) { return cp < 0x80 ? 1 : cp < 0x10000 ? 2 : 4; }

// Makes room for `bytes` bytes from the head: the buffer grows to twice that when short.
SeriesBuffer* ensure_bytes(SeriesBuffer* b, uint64_t bytes) {
    checked_bytes(bytes);
    if (uint64_t(b->end() - b->head) >= bytes) return b;
    uint64_t want = std::min<uint64_t>(bytes * 2, kMaxBytes);
    return series::expand(b, memory::align(uint32_t(want), 16));
}

// Copies n code points from src (unit su) to dst (unit du >= every code point's need).
void copy_units(uint8_t* dst, uint32_t du, const uint8_t* src, uint32_t su, uint32_t n) {
    if (du == su) {
        std::memmove(dst, src, size_t(n) * du);
        return;
    }
    // Units of different sizes never share a buffer here.
    for (uint32_t i = n; i-- > 0;) put_char(dst + size_t(i) * du, du, get_char(src + size_t(i) * su, su));
}

// The refinement word named in refinement errors.
Cell skip_word() { return series_::skip_word(); }

bool notify(const Cell& s, const Cell& action, const Cell* value, uint32_t index, uint32_t count) {
    return series_::notify(s, action, value, int32_t(index), int32_t(count));
}

// Forms any value into a string node through its type's form action.
void form_into(Node out, const Cell& value) {
    FormAction f = registry::actions(type_of(value)).form;
    if (!f) error::raise(ErrorId::script_invalid_arg, value);
    f(value, out, nullptr, INT32_MAX);
}

// A new string holding the formed text of a value.
Cell formed(const Cell& value) {
    Cell s = make_cell(16);
    form_into(s.data2, value);
    return s;
}

// The name string of a symbol! read from index 0; any other text as it is.
Cell text_of(const Cell& value) {
    if (!is(value, TypeId::symbol)) return value;
    Cell s = value;
    symbol::make_string(s);  // a copy when the table has not made it yet
    return cell::make(TypeId::string, 0, s.data2, 0);
}

}  // namespace

// ---- buffer helpers ----

uint32_t length_from_head(Cell& string) {
    uint32_t n = buffer(string)->length();
    if (string.data1 > n) string.data1 = n;
    return n - string.data1;
}

uint8_t* head_pointer(Cell& string) {
    clamp_head(string);
    return unit_at(buffer(string), string.data1);
}

bool at_tail_q(const Cell& string) { return string.data1 >= buffer(string)->length(); }

uint32_t char_at(const Cell& string, uint32_t index) { return read(buffer(string), index); }

int32_t find_char(const Cell& string, uint32_t cp) {
    SeriesBuffer* b = buffer(string);
    uint32_t n = b->length();
    for (uint32_t i = std::min(string.data1, n); i < n; ++i)
        if (read(b, i) == cp) return int32_t(i - string.data1);
    return -1;
}

Cell& reset(Cell& string) {
    SeriesBuffer* b = buffer(string);
    b->tail = b->head;
    b->flags = (b->flags & ~series_flag::unit_mask) | 1;
    string.data1 = 0;
    return string;
}

Cell& init_cell(Cell& c, uint32_t capacity) {
    Node n = series::alloc_units(capacity == 0 ? 1 : capacity, 1);
    c = cell::make(TypeId::string, 0, n, 0);
    return c;
}

Cell make_cell(uint32_t capacity, TypeId type) {
    Cell c;
    init_cell(c, capacity);
    return cell::set_type(c, type);
}

Cell from_utf8(std::string_view utf8, TypeId type) {
    Cell s = make_cell(uint32_t(utf8.size()), type);
    text::append_utf8(s.data2, utf8);
    return s;
}

SeriesBuffer* truncate_buffer(SeriesBuffer* b, uint32_t count) {
    uint64_t end = uint64_t(count) * b->unit();
    if (end <= uint64_t(b->end() - b->head) && b->head + end < b->tail) b->tail = b->head + end;
    return b;
}

Cell& remove_units(Cell& string, uint32_t index, uint32_t count) {
    SeriesBuffer* b = buffer(string);
    uint32_t n = b->length();
    if (index >= n || count == 0) return string;
    count = std::min(count, n - index);
    uint32_t u = b->unit();
    uint8_t* p = unit_at(b, index);
    std::memmove(p, p + size_t(count) * u, size_t(n - index - count) * u);
    b->tail -= size_t(count) * u;
    return string;
}

SeriesBuffer* add_code_point(SeriesBuffer* b, uint32_t cp) {
    b = widen_to(b, append_unit(cp));
    uint32_t u = b->unit();
    put_char(series::reserve_bytes(b, u), u, cp);
    return b;
}

SeriesBuffer* write_char(SeriesBuffer* b, uint8_t* p, uint32_t cp) {
    uint32_t u = b->unit();
    if (unit_for(cp) > u) {
        uint32_t index = uint32_t(p - b->head) / u;
        b = widen_to(b, unit_for(cp));
        u = b->unit();
        p = unit_at(b, index);
    }
    put_char(p, u, cp);
    return b;
}

SeriesBuffer* poke_char(SeriesBuffer* b, uint32_t index, uint32_t cp) {
    b = widen_to(b, unit_for(cp));
    uint32_t u = b->unit();
    uint32_t n = b->length();
    if (index >= n) {
        b = ensure_bytes(b, (uint64_t(index) + 1) * u);
        // Units between the old tail and the stored one are zeroed, never left undefined.
        std::memset(b->tail, 0, size_t(index - n) * u);
        b->tail = unit_at(b, index + 1);
    }
    put_char(unit_at(b, index), u, cp);
    return b;
}

SeriesBuffer* insert_char(SeriesBuffer* b, uint32_t index, uint32_t cp) {
    b = widen_to(b, append_unit(cp));
    uint32_t u = b->unit();
    uint32_t n = b->length();
    index = std::min(index, n);
    series::reserve_bytes(b, u);
    uint8_t* p = unit_at(b, index);
    std::memmove(p + u, p, size_t(n - index) * u);
    put_char(p, u, cp);
    return b;
}

SeriesBuffer* concatenate(Cell& destination, const Cell& source, int32_t part, uint32_t offset,
                          bool per_char, ConcatMode mode) {
    Cell src = text_of(source);
    uint32_t sh = clamp_head(src);
    uint32_t n = buffer(src)->length() - sh;
    if (part >= 0 && uint32_t(part) < n) n = uint32_t(part);
    // Copying a string into itself reads from a copy: moving the destination's units would
    // move the source's too.
    if (src.data2 == destination.data2) {
        src = cell::make(TypeId::string, 0, series::copy_range(src.data2, sh, n), 0);
        sh = 0;
    }
    uint32_t su = buffer(src)->unit();
    uint32_t need = su;
    if (per_char) {
        need = 1;
        SeriesBuffer* s = buffer(src);
        for (uint32_t i = 0; i < n; ++i) {
            uint32_t cp = read(s, sh + i);
            need = std::max(need, mode == ConcatMode::append ? append_unit(cp) : unit_for(cp));
        }
    }
    uint32_t dh = clamp_head(destination);
    SeriesBuffer* d = widen_to(buffer(destination), need);
    uint32_t du = d->unit();
    uint32_t len = d->length();
    uint32_t pos = mode == ConcatMode::append ? len : std::min<uint64_t>(uint64_t(dh) + offset, len);
    uint64_t new_len = mode == ConcatMode::overwrite ? std::max<uint64_t>(len, uint64_t(pos) + n)
                                                     : uint64_t(len) + n;
    d = ensure_bytes(d, new_len * du);
    if (mode == ConcatMode::insert)
        std::memmove(unit_at(d, pos + n), unit_at(d, pos), size_t(len - pos) * du);
    SeriesBuffer* s = buffer(src);
    copy_units(unit_at(d, pos), du, unit_at(s, sh), su, n);
    d->tail = d->head + new_len * du;
    return d;
}

SeriesBuffer* append_c_string(Node string, const char* bytes) {
    uint32_t n = uint32_t(std::strlen(bytes));
    append_bytes(string, reinterpret_cast<const uint8_t*>(bytes), n);
    return memory::buffer_of(string);
}

void append_bytes(Node string, const uint8_t* bytes, uint32_t count) {
    // The bytes may lie in a series: widen and grow first, then read them.
    uint32_t need = 1;
    for (uint32_t i = 0; i < count; ++i) need = std::max(need, append_unit(bytes[i]));
    std::vector<uint8_t> copy(bytes, bytes + count);
    SeriesBuffer* b = widen_to(memory::buffer_of(string), need);
    uint32_t u = b->unit();
    uint8_t* p = series::reserve_bytes(b, checked_bytes(uint64_t(count) * u));
    for (uint32_t i = 0; i < count; ++i) put_char(p + size_t(i) * u, u, copy[i]);
}

void move_units_into(Cell& source, Cell& destination, uint32_t count) {
    uint32_t sh = clamp_head(source);
    count = std::min(count, buffer(source)->length() - sh);
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t cp = read(buffer(source), sh + i);
        uint32_t at = clamp_head(destination) + i;
        insert_char(buffer(destination), at, cp);
        // Inserting before the source's head in the same buffer moved the source's units up.
        if (source.data2 == destination.data2 && at <= sh + i) ++sh;
    }
    remove_units(source, sh, count);
}

Cell* push(const Cell& string) { return stack::push(string); }

Hex byte_to_hex(uint8_t byte) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    Hex h{};
    h.text[0] = kDigits[byte >> 4];
    h.text[1] = kDigits[byte & 15];
    h.length = 2;
    return h;
}

Hex int_to_hex(int32_t value, bool trim) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    Hex h{};
    auto v = uint32_t(value);
    for (int i = 7; i >= 0; --i, v >>= 4) h.text[i] = kDigits[v & 15];
    h.length = 8;
    if (!trim) return h;
    if (value == 0) {
        h.text[0] = h.text[1] = '0';
        h.text[2] = 0;
        h.length = 2;
        return h;
    }
    char pad = value < 0 ? 'F' : '0';
    int skip = 0;
    while (skip < 7 && h.text[skip] == pad) ++skip;
    std::memmove(h.text, h.text + skip, size_t(8 - skip));
    h.length = uint8_t(8 - skip);
    h.text[h.length] = 0;
    return h;
}

double scan_float(const char* text, uint32_t length, int32_t& error) {
    size_t left = 0;
    double d = float_text::parse(text, text + length, 0, left);
    if (left != 0 || length == 0) {
        error = -1;
        return 0.0;
    }
    return d;
}

Cell scan_first(const Cell& text) {
    Cell t = text;
    int32_t length = -1;
    const char* utf8 = to_utf8(t, length);
    // The lexer allocates, and the conversion cache may then move: it reads a copy.
    std::string copy(utf8, size_t(length));
    if (!datatype_hooks.load_first) error::raise(ErrorId::internal_not_done);
    return datatype_hooks.load_first(copy.data(), uint32_t(copy.size()));
}

Cell load_encoded(const uint8_t* text, uint32_t length, const Cell& target, int32_t encoding) {
    Node into = any_string_q(type_of(target)) ? target.data2 : kNoNode;
    SeriesBuffer* b;
    if (encoding == 0) {
        uint32_t left;
        b = load_utf8_buffer(text, length, into, left, false);
    } else if (encoding == -1) {
        b = load_utf16le(text, length / 2, into, false);
    } else {
        // An unknown encoding is a caller's fault the program can report, not a reason to end.
        error::raise(ErrorId::internal_feature_na);
    }
    if (into) {
        Cell c = target;
        c.data1 = 0;
        return c;
    }
    return cell::make(TypeId::string, 0, b->node, 0);
}

Cell* load_encoded_in_block(Node block, const uint8_t* text, uint32_t length, int32_t encoding) {
    Cell s = load_encoded(text, length, cell::none(), encoding);
    SeriesBuffer* b = memory::buffer_of(block);
    Cell* c = series::reserve_cell(b);
    *c = s;
    return c;
}

Cell* load_encoded_push(const uint8_t* text, uint32_t length, int32_t encoding) {
    return stack::push(load_encoded(text, length, cell::none(), encoding));
}

void rotate_regions(uint8_t* a, uint32_t na, uint32_t nb) { std::rotate(a, a + na, a + na + nb); }

// ---- molding ----

namespace {

// The caret escapes of the code points below 0x5F; 0 where there is none.
struct EscapeTable {
    char entry[0x5F];
    constexpr EscapeTable() : entry{} {
        entry[0x00] = '@';
        for (int c = 0x01; c <= 0x08; ++c) entry[c] = char('A' + c - 1);
        entry[0x09] = '-';
        entry[0x0A] = '/';
        for (int c = 0x0B; c <= 0x1D; ++c) entry[c] = char(c + 0x40);
        entry[0x1E] = '^';
        entry[0x1F] = '_';
        entry[0x22] = '"';
        entry[0x5E] = '^';
    }
};
constexpr EscapeTable kEscapes;

// Writes ASCII text through add_code_point; returns its length.
uint32_t put_ascii(Node out, std::string_view text) {
    SeriesBuffer* b = memory::buffer_of(out);
    for (char c : text) b = add_code_point(b, uint8_t(c));
    return uint32_t(text.size());
}

}  // namespace

uint32_t mold_char(Node out, uint32_t cp, bool all) {
    if (cp == 0x1E || (cp >= 0x80 && cp <= 0x9F) || (all && cp > 0x7F)) {
        Hex h = int_to_hex(int32_t(cp), true);
        return put_ascii(out, "^(") + put_ascii(out, h.view()) + put_ascii(out, ")");
    }
    if (cp < 0x5F && kEscapes.entry[cp]) {
        char esc[2] = {'^', kEscapes.entry[cp]};
        return put_ascii(out, {esc, 2});
    }
    if (cp == 0x7F) return put_ascii(out, "^~");
    add_code_point(memory::buffer_of(out), cp);
    return 1;
}

int32_t form(const Cell& value, Node out, const Cell* part, int32_t limit) {
    Cell v = value;
    uint32_t len = length_from_head(v);
    uint32_t n = len;
    if (part) n = limit <= 0 ? 0 : std::min<uint32_t>(len, uint32_t(limit));
    Cell dest = cell::make(TypeId::string, 0, out, 0);
    if (n) concatenate(dest, v, int32_t(n), 0, false, ConcatMode::append);
    return limit - int32_t(n);
}

int32_t mold(const Cell& value, Node out, bool, bool all, bool, const Cell* part, int32_t limit,
             int32_t) {
    Cell v = value;
    uint32_t head = clamp_head(v);
    uint32_t whole = buffer(v)->length() - head;
    uint32_t end = head + whole;
    if (part) end = limit <= 0 ? head : head + std::min<uint32_t>(whole, uint32_t(limit));

    // The delimiters: braces when the text would read badly between double quotes.
    uint32_t quotes = 0, newlines = 0;
    {
        SeriesBuffer* b = buffer(v);
        for (uint32_t i = head; i < end; ++i) {
            uint32_t cp = read(b, i);
            quotes += cp == '"';
            newlines += cp == '\n';
        }
    }
    bool braces = newlines >= 3 || quotes > 0 || whole >= 50;

    // In brace form a "{" is written plain while every "{" so far is closed within the
    // range; from the first unclosed one on, every "{" is escaped.
    uint32_t first_unclosed = UINT32_MAX;
    if (braces) {
        SeriesBuffer* b = buffer(v);
        uint32_t depth = 0, bottom = 0;
        for (uint32_t i = head; i < end; ++i) {
            uint32_t cp = read(b, i);
            if (cp == '{') {
                if (depth++ == 0) bottom = i;
            } else if (cp == '}' && depth > 0) {
                --depth;
            }
        }
        if (depth > 0) first_unclosed = bottom;
    }

    uint32_t written = put_ascii(out, braces ? "{" : "\"");
    uint32_t open = 0;
    for (uint32_t i = head; i < end; ++i) {
        uint32_t cp = read(buffer(v), i);
        if (braces) {
            if (cp == '{') {
                if (i < first_unclosed) {
                    ++open;
                    written += put_ascii(out, "{");
                } else {
                    written += put_ascii(out, "^{");
                }
                continue;
            }
            if (cp == '}') {
                if (open > 0) {
                    --open;
                    written += put_ascii(out, "}");
                } else {
                    written += put_ascii(out, "^}");
                }
                continue;
            }
            if (cp == '"') {
                written += put_ascii(out, "\"");
                continue;
            }
        }
        written += mold_char(out, cp, all);
    }
    written += put_ascii(out, braces ? "}" : "\"");
    return limit - int32_t(written);
}

// ---- comparison ----

int32_t compare_strings(const Cell& first, const Cell& second, CompareOp op, bool prefix) {
    if (first.data2 == second.data2 && first.data1 == second.data1 && equality_q(op)) return 0;
    if (op == CompareOp::same) return first.data2 == second.data2 && first.data1 == second.data1 ? 0 : -1;
    Cell a = text_of(first), b = text_of(second);
    uint32_t len1 = length_from_head(a), len2 = length_from_head(b);
    uint32_t n;
    if (prefix) {
        if (len2 == 0) return op == CompareOp::find ? 1 : 0;
        if (len1 < len2) return 1;
        n = len2;
    } else {
        if (len1 != len2) {
            if (op == CompareOp::equal || op == CompareOp::not_equal || op == CompareOp::strict_equal ||
                op == CompareOp::find || len2 == 0)
                return 1;
        }
        if (len1 == 0 && len2 == 0) return 0;
        n = std::min(len1, len2);
    }
    bool fold = op != CompareOp::strict_equal && op != CompareOp::case_sort;
    SeriesBuffer* ba = buffer(a);
    SeriesBuffer* bb = buffer(b);
    // Equal code points are equal folded too: folding is only needed where they differ.
    uint32_t i = 0;
    if (ba->unit() == 1 && bb->unit() == 1) {
        const uint8_t* pa = ba->head + a.data1;
        const uint8_t* pb = bb->head + b.data1;
        // Equal texts, what a lookup mostly meets, are settled in one pass.
        if (!prefix && len1 == len2 && std::memcmp(pa, pb, n) == 0) return 0;
        while (i < n && pa[i] == pb[i]) ++i;
    }
    for (; i < n; ++i) {
        uint32_t x = read(ba, a.data1 + i), y = read(bb, b.data1 + i);
        if (x == y) continue;
        if (fold) {
            x = case_::upper_char(x);
            y = case_::upper_char(y);
        }
        if (x != y) return x > y ? 1 : -1;
    }
    if (prefix) return 0;
    return len1 > len2 ? 1 : len1 == len2 ? 0 : -1;
}

int32_t compare(const Cell& a, const Cell& b, CompareOp op) {
    if (type_of(a) != type_of(b)) {
        bool equality = op == CompareOp::equal || op == CompareOp::not_equal;
        if (!(equality && any_string_q(type_of(b)))) return kNotComparable;
    }
    return compare_strings(a, b, op, false);
}

// ---- PARSE helpers ----

bool tag_at_head_q(const Cell& input, const Cell& tag) {
    Cell in = input, t = tag;
    uint32_t len = length_from_head(in);
    uint32_t tlen = length_from_head(t);
    if (len < tlen + 2) return false;
    return char_at(in, in.data1) == '<' && char_at(in, in.data1 + tlen + 1) == '>';
}

bool head_in_bitset_q(const Cell& input, const Cell& bitset) {
    Cell in = input;
    if (length_from_head(in) == 0) return false;
    uint32_t cp = char_at(in, in.data1);
    SeriesBuffer* bits = buffer(bitset);
    if ((cp >> 3) >= bits->used()) return (bits->flags & series_flag::complement) != 0;
    return (bits->head[cp >> 3] & (0x80 >> (cp & 7))) != 0;
}

bool match_at_head(const Cell& input, const Cell& value, CompareOp op) {
    switch (type_of(value)) {
        case TypeId::string: case TypeId::file: case TypeId::url: case TypeId::email: case TypeId::ref:
            return compare_strings(input, value, op, true) == 0;
        case TypeId::char_: {
            Cell in = input;
            if (length_from_head(in) == 0) return false;
            uint32_t cp = char_at(in, in.data1), c = value.data2;
            if (op != CompareOp::strict_equal) {
                cp = case_::upper_char(cp);
                c = case_::upper_char(c);
            }
            return cp == c;
        }
        case TypeId::tag: {
            if (!tag_at_head_q(input, value)) return false;
            Cell inside = input;
            inside.data1 = clamp_head(inside) + 1;
            Cell t = value;
            cell::set_type(t, TypeId::string);
            return compare_strings(inside, t, op, true) == 0;
        }
        default:
            return false;
    }
}


// ---- make and to ----

Cell make(const Cell& proto, const Cell& spec, TypeId type) {
    if (is(spec, TypeId::integer) || is(spec, TypeId::float_)) {
        int32_t n = is(spec, TypeId::integer)
                        ? cell::get_integer(spec)
                        : number::to_int32(cell::get_float(spec), ErrorId::script_out_of_range, spec);
        if (n < 0) error::raise(ErrorId::script_out_of_range, spec);
        Node node = series::alloc_units(memory::align(n == 0 ? 16 : uint32_t(n), 16), 1);
        return cell::make(type, 0, node, 0);
    }
    if (type == TypeId::binary) {
        if (is(spec, TypeId::money)) error::raise(ErrorId::script_bad_make_arg, cell::datatype(type), spec);
        MakeAction binary_to = registry::actions(TypeId::binary).to;
        if (binary_to && binary_to != to) return binary_to(proto, spec, type);
    }
    return to(proto, spec, type);
}

namespace {

// Decodes the bytes of a binary! from its head as UTF-8 into a new string; bytes that do not
// decode raise access invalid-utf8 with a binary! of the bytes from the first of them to the
// end.
Cell decode_binary(const Cell& bin) {
    Cell b = bin;
    uint32_t h = clamp_head(b);
    uint32_t n = buffer(b)->length() - h;
    // First pass: the unit needed and where decoding fails.
    uint32_t unit = 1, chars = 0, bad = n;
    {
        const uint8_t* start = unit_at(buffer(b), h);
        const uint8_t* p = start;
        const uint8_t* end = start + n;
        if (n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) p += 3;
        while (p < end) {
            int32_t cp;
            const uint8_t* q = utf8::decode_char(p, end, cp);
            if (cp < 0) {
                bad = uint32_t(p - start);
                break;
            }
            unit = std::max(unit, unit_for(uint32_t(cp)));
            ++chars;
            p = q;
        }
    }
    if (bad < n) {
        Node rest = series::copy_range(b.data2, h + bad, n - bad);
        error::raise(ErrorId::access_invalid_utf8, cell::make(TypeId::binary, 0, rest, 0));
    }
    Node out = series::alloc_units(chars, unit);
    SeriesBuffer* o = memory::buffer_of(out);
    const uint8_t* start = unit_at(buffer(b), h);
    const uint8_t* p = start;
    const uint8_t* end = start + n;
    if (n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) p += 3;
    for (uint32_t i = 0; i < chars; ++i) {
        int32_t cp;
        p = utf8::decode_char(p, end, cp);
        put_char(o->head + size_t(i) * unit, unit, uint32_t(cp));
    }
    o->tail = o->head + size_t(chars) * unit;
    return cell::make(TypeId::string, 0, out, 0);
}

}  // namespace

Cell to(const Cell&, const Cell& spec, TypeId type) {
    Cell result;
    TypeId t = type_of(spec);
    switch (t) {
        case TypeId::none:
            error::raise(ErrorId::script_bad_to_arg, cell::datatype(TypeId::string), spec);
        case TypeId::block: case TypeId::paren: case TypeId::hash: {
            result = make_cell(16);
            result = append(result, spec, -1, false, 1, true);
            break;
        }
        case TypeId::refinement: {
            result = make_cell(16);
            const ActionTable& a = registry::actions(t);
            if (type == TypeId::string)
                a.form(spec, result.data2, nullptr, INT32_MAX);
            else
                a.mold(spec, result.data2, false, false, false, nullptr, INT32_MAX, 0);
            break;
        }
        case TypeId::binary:
            result = decode_binary(spec);
            break;
        default:
            if (any_string_q(t)) {
                Cell s = spec;
                uint32_t h = clamp_head(s);
                Node copy = series::copy_range(s.data2, h, buffer(s)->length() - h);
                result = cell::make(TypeId::string, 0, copy, 0);
            } else {
                result = formed(spec);
            }
            break;
    }
    result.data1 = 0;
    result.data3 = 0;
    return cell::set_type(result, type);
}

// ---- paths ----

Cell eval_path(const Cell& parent, const Cell& element, const Cell* value, const PathStep& step) {
    Cell path = step.path ? *step.path : cell::none();
    if (is(element, TypeId::integer)) {
        int32_t i = cell::get_integer(element);
        return value ? series_::poke(parent, i, element, *value) : series_::pick(parent, i, element);
    }
    if (is(element, TypeId::word)) error::raise(ErrorId::script_invalid_path, path, element);
    if (!value) return select(parent, element, FindOptions{});
    Cell found = find(parent, element, FindOptions{});
    if (is(found, TypeId::none)) error::raise(ErrorId::script_bad_path_set, path, element);
    return series_::poke(found, 2, cell::integer(2), *value);
}

// ---- appending, inserting, changing ----

namespace {

// What one copy of an inserted value writes: units of a series, or one code point, with the
// angle brackets of a tag!.
struct Insertion {
    Node node = kNoNode;  // the text's series; none for a single code point
    uint32_t start = 0;   // absolute unit index in it
    uint32_t count = 0;   // units of text (brackets excluded)
    uint32_t cp = 0;
    bool single = false;
    bool brackets = false;

    uint32_t length() const { return single ? 1 : count + (brackets ? 2 : 0); }
    uint32_t unit() const { return single ? append_unit(cp) : memory::buffer_of(node)->unit(); }
};

// What a value inserts; `limit` (-1: none) cuts formed text, which is made in a new string.
Insertion insertion_of(const Cell& value, int32_t limit) {
    Insertion p;
    TypeId t = type_of(value);
    if (any_string_q(t)) {
        Cell v = value;
        p.node = v.data2;
        p.start = clamp_head(v);
        p.count = buffer(v)->length() - p.start;
        p.brackets = t == TypeId::tag;
        return p;
    }
    if (t == TypeId::char_) {
        p.single = true;
        p.cp = value.data2;
        return p;
    }
    Cell text = make_cell(16);
    if (t == TypeId::block || t == TypeId::paren || t == TypeId::hash) {
        // Each value formed with no separator; the loop stops once the limit is used up.
        for (uint32_t i = value.data1;; ++i) {
            SeriesBuffer* b = buffer(value);
            if (i >= b->length()) break;
            if (limit >= 0 && buffer(text)->length() >= uint32_t(limit)) break;
            Cell item = b->cells()[i];
            form_into(text.data2, item);
        }
    } else {
        form_into(text.data2, value);
    }
    if (limit >= 0) truncate_buffer(buffer(text), uint32_t(limit));
    p.node = text.data2;
    p.count = buffer(text)->length();
    return p;
}

// Replaces `removed` units at absolute index `pos` of the series with `dup` copies of the
// insertion cut to `limit` units (-1: whole); returns the units written.
uint32_t splice(const Cell& series, uint32_t pos, uint32_t removed, Insertion ins, int32_t limit,
                uint32_t dup) {
    uint32_t one = ins.length();
    if (limit >= 0) one = std::min(one, uint32_t(limit));
    if (!ins.single && ins.node == series.data2) {
        ins.node = series::copy_range(ins.node, ins.start, ins.count);
        ins.start = 0;
    }
    uint64_t total = uint64_t(one) * dup;
    SeriesBuffer* d = buffer(series);
    uint32_t len = d->length();
    uint64_t new_len = uint64_t(len) - removed + total;
    checked_units(new_len);
    checked_bytes(new_len * std::max(d->unit(), ins.unit()));
    d = widen_to(d, ins.unit());
    uint32_t u = d->unit();
    d = ensure_bytes(d, new_len * u);
    std::memmove(unit_at(d, pos) + total * u, unit_at(d, pos + removed), size_t(len - pos - removed) * u);
    uint8_t* out = unit_at(d, pos);
    if (ins.single) {
        if (one) put_char(out, u, ins.cp);
    } else {
        uint32_t k = 0;
        if (ins.brackets && k < one) put_char(out + size_t(k++) * u, u, '<');
        uint32_t n = std::min(ins.count, one - k);
        SeriesBuffer* s = memory::buffer_of(ins.node);
        copy_units(out + size_t(k) * u, u, unit_at(s, ins.start), s->unit(), n);
        k += n;
        if (ins.brackets && k < one) put_char(out + size_t(k++) * u, u, '>');
    }
    if (dup > 1) memory::replicate(out, size_t(one) * u, dup);
    d->tail = d->head + new_len * u;
    return uint32_t(total);
}

enum class InsertMode { append, insert, change };

// Grows the string's buffer for `n` more code points of unit `su` as splice does (same checks,
// widening and growth); returns it with the old tail, where they go.
SeriesBuffer* room_at_tail(Cell& s, uint32_t n, uint32_t su) {
    SeriesBuffer* d = buffer(s);
    uint64_t new_len = uint64_t(d->length()) + n;
    checked_units(new_len);
    checked_bytes(new_len * std::max(d->unit(), su));
    if (su > d->unit()) d = widen_to(d, su);
    uint64_t bytes = new_len * d->unit();
    return uint64_t(d->end() - d->head) >= bytes ? d : ensure_bytes(d, bytes);
}

// The common append — one whole copy of text, a character or an integer at the tail of a string
// no one owns — done without the general planning: no handler can run, so nothing is planned
// twice, and an integer's digits need no text of their own. False when the general path must
// do it.
// The commonest of all: one-byte text or an integer's digits onto a one-byte string no one
// owns that has the room already. False when another path must do it.
inline bool append_in_place(const Cell& s, const Cell& value) {
    SeriesBuffer* target = buffer(s);
    if ((target->flags & (series_flag::owned | series_flag::unit_mask)) != 1) return false;
    TypeId t = type_of(value);
    if (t == TypeId::integer) {
        int32_t v = cell::get_integer(value);
        uint32_t size = integer::decimal_size(v);
        if (uint64_t(target->used()) + size > uint64_t(INT32_MAX) || uint64_t(target->end() - target->tail) < size)
            return false;
        integer::write_decimal(reinterpret_cast<char*>(target->tail), v, size);
        target->tail += size;
        return true;
    }
    if (!any_string_q(t) || t == TypeId::tag || value.data2 == s.data2) return false;
    SeriesBuffer* src = buffer(value);
    if (src->unit() != 1) return false;
    uint32_t total = src->used();
    uint32_t from = std::min(value.data1, total);
    uint32_t n = total - from;
    if (uint64_t(target->used()) + n > uint64_t(INT32_MAX) || uint64_t(target->end() - target->tail) < n) return false;
    uint8_t* to = target->tail;
    memory::copy_bytes(to, src->head + from, n);
    target->tail = to + n;
    return true;
}

bool append_plainly(Cell& s, const Cell& value) {
    if (ownership::owned_q(s)) return false;
    TypeId t = type_of(value);
    if (t == TypeId::integer) {
        int32_t v = cell::get_integer(value);
        uint32_t size = integer::decimal_size(v);
        SeriesBuffer* d = room_at_tail(s, size, 1);
        uint32_t u = d->unit();
        if (u == 1) {
            integer::write_decimal(reinterpret_cast<char*>(d->tail), v, size);
        } else {
            integer::Decimal digits = integer::format_decimal(v);
            for (uint32_t i = 0; i < size; ++i) put_char(d->tail + size_t(i) * u, u, uint8_t(digits.text[i]));
        }
        d->tail += size_t(size) * u;
        return true;
    }
    if (t == TypeId::char_) {
        uint32_t cp = value.data2;
        SeriesBuffer* d = room_at_tail(s, 1, append_unit(cp));
        put_char(d->tail, d->unit(), cp);
        d->tail += d->unit();
        return true;
    }
    if (!any_string_q(t) || t == TypeId::tag || value.data2 == s.data2) return false;
    uint32_t total = buffer(value)->length();
    uint32_t from = std::min(value.data1, total);
    uint32_t n = total - from;
    SeriesBuffer* d = room_at_tail(s, n, buffer(value)->unit());
    SeriesBuffer* src = buffer(value);  // growing may have moved any buffer
    if (src->unit() == d->unit())
        std::memcpy(d->tail, unit_at(src, from), size_t(n) * d->unit());
    else
        copy_units(d->tail, d->unit(), unit_at(src, from), src->unit(), n);
    d->tail += size_t(n) * d->unit();
    return true;
}

Cell insert_value(const Cell& series, const Cell& value, int32_t part, int32_t dup, InsertMode mode) {
    Cell s = series;
    uint32_t head = clamp_head(s);
    if (mode == InsertMode::change && head >= buffer(s)->length()) {
        insert_value(s, value, -1, dup, InsertMode::append);
        s.data1 = buffer(s)->length();
        return s;
    }
    if (dup < 1) dup = 0;
    // For change, /part is the range replaced, not a cut of the new text.
    int32_t limit = mode == InsertMode::change ? -1 : part;
    Insertion ins;
    uint64_t total = 0;
    uint32_t pos = 0, removed = 0;
    // What goes where, from the series and the value as they stand: planned again after the
    // owner's handler, which may change either.
    auto plan = [&] {
        head = clamp_head(s);
        uint32_t len = buffer(s)->length();
        ins = insertion_of(value, limit);
        uint32_t one = ins.length();
        if (limit >= 0) one = std::min(one, uint32_t(limit));
        total = uint64_t(one) * uint32_t(dup);
        checked_units(total);
        pos = mode == InsertMode::append ? len : head;
        if (mode == InsertMode::change) {
            uint64_t want = part >= 0 ? uint64_t(part) : total;
            removed = uint32_t(std::min<uint64_t>(want, len - head));
        }
    };
    plan();
    const Cell& before = mode == InsertMode::append ? words::append
                         : mode == InsertMode::insert ? gwords::insert : words::change;
    const Cell& after = mode == InsertMode::append ? words::appended
                        : mode == InsertMode::insert ? words::inserted : words::changed;
    if (notify(s, before, &value, pos, uint32_t(total))) plan();
    uint32_t written = splice(s, pos, removed, ins, limit, uint32_t(dup));
    notify(s, after, &value, pos, written);
    if (mode == InsertMode::append) {
        s.data1 = 0;
    } else {
        s.data1 = std::min(head + written, buffer(s)->length());
    }
    return s;
}

}  // namespace

namespace {
[[gnu::noinline]] Cell append_generally(const Cell& series, const Cell& value, int32_t part, int32_t dup) {
    if (part < 0 && dup == 1) {
        Cell s = series;
        if (append_plainly(s, value)) {
            s.data1 = 0;
            return s;
        }
    }
    return insert_value(series, value, part, dup, InsertMode::append);
}
}  // namespace

Cell append(const Cell& series, const Cell& value, int32_t part, bool, int32_t dup, bool) {
    if (part < 0 && dup == 1 && append_in_place(series, value)) {
        Cell s = series;
        s.data1 = 0;
        return s;
    }
    return append_generally(series, value, part, dup);
}

Cell insert(const Cell& series, const Cell& value, int32_t part, bool only, int32_t dup, bool append_) {
    if (append_) return append(series, value, part, only, dup, append_);
    return insert_value(series, value, part, dup, InsertMode::insert);
}

Cell change(const Cell& series, const Cell& value, int32_t part, bool, int32_t dup, bool) {
    return insert_value(series, value, part, dup, InsertMode::change);
}


// ---- searching ----

namespace {

// The searched value as the walk tests it.
struct Pattern {
    enum Kind { code_point, bitset, text, element, nothing } kind = nothing;
    uint32_t cp = 0;       // code_point (folded when folding)
    Cell value{};          // bitset: the bitset; text: the string (head at the text)
    uint32_t length = 1;   // units a match covers
    double number = 0;     // element of a vector!
};

bool bit_q(const Cell& bitset, uint32_t cp) {
    SeriesBuffer* bits = buffer(bitset);
    if ((cp >> 3) >= bits->used()) return (bits->flags & series_flag::complement) != 0;
    return (bits->head[cp >> 3] & (0x80 >> (cp & 7))) != 0;
}

double vector_number(SeriesBuffer* b, uint32_t i, TypeId element) {
    Cell c = series_::unit_value(cell::make(TypeId::vector, 0, b->node, uint32_t(element)), i);
    return is(c, TypeId::float_) || is(c, TypeId::percent) ? cell::get_float(c) : double(int32_t(c.data2));
}

Pattern pattern_of(const Cell& series, const Cell& value, bool fold) {
    Pattern p;
    TypeId st = type_of(series);
    TypeId vt = type_of(value);
    if (st == TypeId::vector) {
        // Elements are numbers: only numbers and characters can be one.
        if (vt == TypeId::integer || vt == TypeId::char_) {
            p.kind = Pattern::element;
            p.number = double(int32_t(value.data2));
        } else if (vt == TypeId::float_ || vt == TypeId::percent) {
            p.kind = Pattern::element;
            p.number = cell::get_float(value);
        }
        return p;
    }
    if (vt == TypeId::char_) {
        p.kind = Pattern::code_point;
        p.cp = fold ? case_::upper_char(value.data2) : value.data2;
        return p;
    }
    if (vt == TypeId::bitset) {
        p.kind = Pattern::bitset;
        p.value = value;
        return p;
    }
    if (st == TypeId::binary && vt == TypeId::integer) {
        int32_t v = cell::get_integer(value);
        // A byte never equals a value outside 0-255.
        if (v >= 0 && v <= 255) {
            p.kind = Pattern::code_point;
            p.cp = uint32_t(v);
        }
        return p;
    }
    if (vt == TypeId::binary && st != TypeId::binary) error::raise(ErrorId::script_invalid_arg, value);
    Cell text = any_string_q(vt) || vt == TypeId::binary ? value : formed(value);
    p.kind = Pattern::text;
    p.length = length_from_head(text);
    p.value = text;
    if (p.length == 0) p.kind = Pattern::nothing;
    return p;
}

// Whether the pattern matches at absolute unit index i of the buffer.
bool matches(SeriesBuffer* b, uint32_t i, const Pattern& p, bool fold, TypeId element) {
    switch (p.kind) {
        case Pattern::code_point: {
            uint32_t cp = read(b, i);
            return (fold ? case_::upper_char(cp) : cp) == p.cp;
        }
        case Pattern::bitset:
            return bit_q(p.value, read(b, i));
        case Pattern::element:
            return vector_number(b, i, element) == p.number;
        case Pattern::text: {
            SeriesBuffer* t = buffer(p.value);
            for (uint32_t k = 0; k < p.length; ++k) {
                uint32_t x = read(b, i + k), y = read(t, p.value.data1 + k);
                if (fold) {
                    x = case_::upper_char(x);
                    y = case_::upper_char(y);
                }
                if (x != y) return false;
            }
            return true;
        }
        case Pattern::nothing:
            break;
    }
    return false;
}

struct Found {
    bool hit = false;
    uint32_t at = 0;  // absolute unit index of the match
    Pattern pattern;
};

Found search(const Cell& series, const Cell& value, const FindOptions& o, bool select_mode) {
    Found f;
    Cell s = series;
    SeriesBuffer* b = buffer(s);
    uint32_t total = b->length();
    if (total == 0) return f;
    uint32_t head = clamp_head(s);
    bool reverse = o.reverse;
    if (head >= total && !reverse) return f;
    if (o.any || o.with) error::raise(ErrorId::internal_not_done);
    int32_t step = 1;
    if (o.skip) {
        if (!is(*o.skip, TypeId::integer))
            error::raise(ErrorId::script_invalid_refine_arg, skip_word(), *o.skip);
        step = cell::get_integer(*o.skip);
        if (step < 1) error::raise(ErrorId::script_out_of_range, *o.skip);
    }
    bool match = o.match && !select_mode;
    if (reverse && (head == 0 || match)) return f;
    // The searched window [lower, upper).
    uint32_t room = reverse ? head : total - head;
    uint32_t count = room;
    if (o.part) {
        int32_t n = series_::part_count(s, *o.part);
        if (n < 1) return f;
        count = std::min(uint32_t(n), room);
    }
    uint32_t lower = reverse ? head - count : head;
    uint32_t upper = reverse ? head : head + count;

    TypeId st = type_of(s);
    bool fold = any_string_q(st) && !o.case_ && !o.same;
    f.pattern = pattern_of(s, value, fold);
    const Pattern& p = f.pattern;
    if (p.kind == Pattern::nothing || p.length > upper - lower) return f;
    auto element = TypeId(s.data3);
    b = buffer(s);
    if (reverse || o.last) {
        // Backwards from the last unit; a candidate match ends at the position.
        for (int64_t pos = int64_t(upper) - 1;; pos -= step) {
            int64_t start = pos - (int64_t(p.length) - 1);
            if (start < int64_t(lower)) break;
            if (matches(b, uint32_t(start), p, fold, element)) {
                f.hit = true;
                f.at = uint32_t(start);
                return f;
            }
            if (match) break;
        }
        return f;
    }
    for (uint64_t pos = lower; pos + p.length <= upper; pos += uint32_t(step)) {
        if (matches(b, uint32_t(pos), p, fold, element)) {
            f.hit = true;
            f.at = uint32_t(pos);
            return f;
        }
        if (match) break;
    }
    return f;
}

}  // namespace

Cell find(const Cell& series, const Cell& value, const FindOptions& options) {
    Found f = search(series, value, options, false);
    if (!f.hit) return cell::none();
    Cell s = series;
    s.data1 = f.at + (options.tail ? f.pattern.length : 0);
    return s;
}

Cell select(const Cell& series, const Cell& value, const FindOptions& options) {
    Found f = search(series, value, options, true);
    if (!f.hit) return cell::none();
    uint32_t next = f.at + f.pattern.length;
    if (next >= buffer(series)->length()) return cell::none();
    return series_::unit_value(series, next);
}


// ---- sorting ----

namespace {

// What the comparators of one sort need. Sorts may nest (a compare function may sort), so
// each sort installs its own and restores the previous one when it ends.
struct SortRun {
    uint32_t unit;        // bytes per code point or element
    uint32_t record;      // units per record
    uint32_t offset;      // unit compared inside a record (without /all)
    bool all;             // compare whole records
    bool reverse;
    bool fold;
    bool ascii_fold;      // unit 1: only A-Z fold, to a-z
    TypeId series_type;
    TypeId element;       // a vector's element type
    const Cell* function; // a compare function, or null
};
SortRun* active_sort = nullptr;

struct ActiveSort {
    SortRun* saved;
    explicit ActiveSort(SortRun* run) : saved(active_sort) { active_sort = run; }
    ~ActiveSort() { active_sort = saved; }
    ActiveSort(const ActiveSort&) = delete;
    ActiveSort& operator=(const ActiveSort&) = delete;
};

uint32_t folded(uint32_t cp, const SortRun& r) {
    if (!r.fold) return cp;
    if (r.ascii_fold) return cp >= 'A' && cp <= 'Z' ? cp + 32 : cp;
    return case_::upper_char(cp);
}

int32_t compare_units(const uint8_t* a, const uint8_t* b, const SortRun& r) {
    if (r.series_type == TypeId::vector) {
        if (r.element == TypeId::float_ || r.element == TypeId::percent) {
            double x, y;
            if (r.unit == 4) {
                float fx, fy;
                std::memcpy(&fx, a, 4);
                std::memcpy(&fy, b, 4);
                x = fx, y = fy;
            } else {
                std::memcpy(&x, a, 8);
                std::memcpy(&y, b, 8);
            }
            return x < y ? -1 : x > y ? 1 : 0;  // unordered values compare as equal
        }
        int32_t x = int32_t(get_char(a, r.unit)), y = int32_t(get_char(b, r.unit));
        if (r.unit == 1) x = int8_t(x), y = int8_t(y);
        if (r.unit == 2) x = int16_t(x), y = int16_t(y);
        return x < y ? -1 : x > y ? 1 : 0;
    }
    int64_t d = int64_t(folded(get_char(a, r.unit), r)) - int64_t(folded(get_char(b, r.unit), r));
    return d < 0 ? -1 : d > 0 ? 1 : 0;
}

int32_t compare_records(const uint8_t* a, const uint8_t* b, int32_t, int32_t) {
    const SortRun& r = *active_sort;
    int32_t d = 0;
    if (r.all) {
        for (uint32_t k = 0; k < r.record && d == 0; ++k)
            d = compare_units(a + size_t(k) * r.unit, b + size_t(k) * r.unit, r);
    } else {
        d = compare_units(a + size_t(r.offset) * r.unit, b + size_t(r.offset) * r.unit, r);
    }
    return r.reverse ? -d : d;
}

// A unit of a record as the value a compare function receives.
Cell unit_cell(const uint8_t* p, const SortRun& r) {
    switch (r.series_type) {
        case TypeId::binary:
            return cell::integer(*p);
        case TypeId::vector: {
            Node n = series::alloc_units(1, r.unit);
            SeriesBuffer* b = memory::buffer_of(n);
            std::memcpy(b->head, p, r.unit);
            b->tail = b->head + r.unit;
            return series_::unit_value(cell::make(TypeId::vector, 0, n, uint32_t(r.element)), 0);
        }
        default:
            return cell::make(TypeId::char_, 0, get_char(p, r.unit), 0);
    }
}

// The items are copied out before the call: the function may move or change any buffer.
int32_t call_compare(const uint8_t* a, const uint8_t* b, int32_t, int32_t) {
    const SortRun& r = *active_sort;
    if (!datatype_hooks.call_function) error::raise(ErrorId::internal_not_done);
    uint32_t width = r.record * r.unit;
    std::vector<uint8_t> first(a, a + width), second(b, b + width);
    Cell args[2];
    const std::vector<uint8_t>& x = r.reverse ? first : second;
    const std::vector<uint8_t>& y = r.reverse ? second : first;
    if (r.all) {
        for (int i = 0; i < 2; ++i) {
            const std::vector<uint8_t>& bytes = i == 0 ? x : y;
            Node n = series::alloc_units(r.record, r.unit);
            SeriesBuffer* s = memory::buffer_of(n);
            std::memcpy(s->head, bytes.data(), width);
            s->tail = s->head + width;
            args[i] = cell::make(r.series_type == TypeId::vector ? TypeId::vector : TypeId::string, 0, n,
                                 r.series_type == TypeId::vector ? uint32_t(r.element) : 0);
            if (r.series_type == TypeId::binary) cell::set_type(args[i], TypeId::binary);
        }
    } else {
        args[0] = unit_cell(x.data() + size_t(r.offset) * r.unit, r);
        args[1] = unit_cell(y.data() + size_t(r.offset) * r.unit, r);
    }
    Cell result = datatype_hooks.call_function(*r.function, args, 2);
    switch (type_of(result)) {
        case TypeId::logic: return result.data1 ? 1 : -1;
        case TypeId::integer: return cell::get_integer(result);
        case TypeId::float_: {
            double d = cell::get_float(result);
            return d > 0.0 ? 1 : d < 0.0 ? -1 : 0;
        }
        case TypeId::none: return -1;
        default: return 1;
    }
}

}  // namespace

Cell sort(const Cell& series, const SortOptions& o) {
    Cell s = series;
    const uint32_t original = s.data1;
    uint32_t start = 0, count = 0;
    // The units sorted, from the series as it stands: measured again after the owner's handler.
    auto measure = [&] {
        s.data1 = original;
        uint32_t head = clamp_head(s);
        start = head;
        count = buffer(s)->length() - head;
        if (o.part) {
            int32_t n = series_::part_count(s, *o.part);
            if (n < 0) {
                start = uint32_t(std::max<int64_t>(int64_t(head) + n, 0));
                count = head - start;
            } else {
                count = std::min(uint32_t(n), count);
            }
        }
        s.data1 = start;
    };
    measure();
    if (o.all && !o.skip) error::raise(ErrorId::script_bad_refines);
    if (count == 0) return s;
    uint32_t record = 1;
    if (o.skip) {
        int32_t n = is(*o.skip, TypeId::integer) ? cell::get_integer(*o.skip) : 0;
        if (n < 1 || count % uint32_t(n) != 0 || count < uint32_t(n))
            error::raise(ErrorId::script_invalid_refine_arg, skip_word(), *o.skip);
        record = uint32_t(n);
    }
    SortRun run{};
    run.unit = buffer(s)->unit();
    run.record = record;
    run.all = o.all;
    run.reverse = o.reverse;
    run.series_type = type_of(s);
    run.element = TypeId(s.data3);
    bool vector = run.series_type == TypeId::vector;
    run.fold = !o.case_ && !vector && run.series_type != TypeId::binary;
    run.ascii_fold = run.unit == 1;
    if (o.compare) {
        if (is(*o.compare, TypeId::integer)) {
            if (!o.skip || o.all) error::raise(ErrorId::script_bad_refines);
            int32_t k = cell::get_integer(*o.compare);
            if (k < 1 || uint32_t(k) > record) error::raise(ErrorId::script_out_of_range, *o.compare);
            run.offset = uint32_t(k - 1);
        } else if (is(*o.compare, TypeId::function)) {
            run.function = o.compare;
        } else {
            error::raise(ErrorId::script_invalid_refine_arg, series_::compare_word(), *o.compare);
        }
    }
    uint32_t records = count / record;
    if (records < 2) return s;
    int32_t op = o.case_ || vector ? int32_t(CompareOp::strict_equal) : int32_t(CompareOp::equal);
    int32_t flags = int32_t(o.reverse) | int32_t(o.all) << 1 |
                    int32_t(o.all ? record : run.offset) << 2;
    if (notify(s, words::sort, nullptr, start, count)) {
        // Whole records only, in the unit the buffer now has.
        measure();
        records = count / record;
        count = records * record;
        run.unit = buffer(s)->unit();
        run.ascii_fold = run.unit == 1;
    }
    if (records > 1) {
        ActiveSort guard(&run);
        uint32_t width = record * run.unit;
        if (run.function) {
            // The function sees private copies of the items, never the series: whatever it
            // does to the series, the sort reads and writes only its own copy, which is then
            // written back over the range as it stands (converted to a wider unit, or cut to a
            // shorter tail).
            Node work = series::copy_range(s.data2, start, count);
            sort::SeriesSpot spot{work, 0};
            if (o.stable)
                sort::merge_sort(sort::items_in(spot), records, width, op, flags, call_compare);
            else
                sort::quick_sort(sort::items_in(spot), records, width, op, flags, call_compare);
            SeriesBuffer* w = memory::buffer_of(work);
            uint32_t wu = w->unit();
            SeriesBuffer* d = buffer(s);
            uint32_t now = d->length();
            uint32_t fit = start < now ? std::min(count, now - start) : 0;
            uint32_t need = 1;
            for (uint32_t i = 0; i < fit; ++i)
                need = std::max(need, unit_for(get_char(w->head + size_t(i) * wu, wu)));
            d = widen_to(d, need);
            w = memory::buffer_of(work);
            copy_units(unit_at(d, start), d->unit(), w->head, wu, fit);
        } else {
            sort::SeriesSpot spot{s.data2, start * run.unit};
            if (o.stable)
                sort::merge_sort(sort::items_in(spot), records, width, op, flags, compare_records);
            else
                sort::quick_sort(sort::items_in(spot), records, width, op, flags, compare_records);
        }
    }
    notify(s, words::sorted, nullptr, start, count);
    return s;
}

// ---- swap, take, trim ----

void swap(Cell& series1, const Cell& series2) {
    TypeId t2 = type_of(series2);
    if (!any_string_q(t2) && t2 != TypeId::binary) error::raise(ErrorId::script_invalid_arg, series2);
    Cell a = series1, b = series2;
    uint32_t ha = clamp_head(a), hb = clamp_head(b);
    if (ha >= buffer(a)->length() || hb >= buffer(b)->length()) return;
    // The code points exchanged, read after the owners' handlers, which may change either side.
    auto exchanged = [&](uint32_t& x, uint32_t& y) {
        if (ha >= buffer(a)->length() || hb >= buffer(b)->length()) return false;
        x = read(buffer(a), ha);
        y = read(buffer(b), hb);
        // A binary! holds bytes: it never widens to take a larger code point.
        if ((is(a, TypeId::binary) && y > 0xFF) || (is(b, TypeId::binary) && x > 0xFF))
            error::raise(ErrorId::script_invalid_arg, series2);
        return true;
    };
    uint32_t x = 0, y = 0;
    exchanged(x, y);
    bool ran = notify(a, words::swap, nullptr, ha, 1);
    ran |= notify(b, words::swap, nullptr, hb, 1);
    if (!ran || exchanged(x, y)) {
        write_char(buffer(a), unit_at(buffer(a), ha), y);
        write_char(buffer(b), unit_at(buffer(b), hb), x);
    }
    notify(a, words::swaped, nullptr, ha, 1);
    notify(b, words::swaped, nullptr, hb, 1);
}

Cell take(const Cell& series, const Cell* part, bool deep, bool last) {
    Cell taken = series_::take(series, part, deep, last);
    if (part || is(taken, TypeId::none) || buffer(taken)->length() != 1) return taken;
    return series_::unit_value(taken, 0);
}

namespace {

bool space_q(uint32_t cp) {
    return (cp >= 1 && cp <= 32) || cp == 0x85 || cp == 0xA0 || cp == 0x1680 || cp == 0x180E ||
           (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
           cp == 0x205F || cp == 0x3000;
}

// The white space that trimming lines removes: spaces and tabs, and the list's code points
// that are not controls.
bool blank_q(uint32_t cp) { return cp == ' ' || cp == '\t' || (cp > 0x9F && space_q(cp)); }

std::u32string trimmed(const std::u32string& in, const TrimOptions& o) {
    std::u32string out;
    if (o.all || o.with) {
        std::u32string set;
        if (o.with) {
            const Cell& w = *o.with;
            if (is(w, TypeId::char_) || is(w, TypeId::integer)) {
                set.push_back(w.data2);
            } else {
                Cell t = w;
                SeriesBuffer* b = buffer(t);
                for (uint32_t i = clamp_head(t); i < b->length(); ++i) set.push_back(read(b, i));
            }
        } else {
            set = U"\t\n\r ";
        }
        for (char32_t c : in)
            if (set.find(c) == std::u32string::npos) out.push_back(c);
        return out;
    }
    if (o.lines) {
        bool pending = false;
        for (char32_t c : in) {
            if (space_q(c)) {
                pending = !out.empty();
                continue;
            }
            if (pending) out.push_back(U' ');
            pending = false;
            out.push_back(c);
        }
        return out;
    }
    size_t begin = 0, end = in.size();
    bool only_tail = o.tail && !o.head;
    bool only_head = o.head && !o.tail;
    if (!only_tail)
        while (begin < end && space_q(in[begin])) ++begin;
    bool had_newline = false;
    if (!only_head)
        while (end > begin && space_q(in[end - 1])) had_newline |= in[--end] == U'\n';
    if (o.head || o.tail) return in.substr(begin, end - begin);
    // Each line loses its leading blanks and the blanks before its line feed.
    bool line_start = true;
    for (size_t i = begin; i < end; ++i) {
        char32_t c = in[i];
        if (c == U'\n') {
            while (!out.empty() && blank_q(out.back()) && !line_start) out.pop_back();
            out.push_back(c);
            line_start = true;
            continue;
        }
        if (line_start && blank_q(c)) continue;
        line_start = false;
        out.push_back(c);
    }
    if (had_newline) out.push_back(U'\n');
    return out;
}

}  // namespace

void trim(Cell& series, const TrimOptions& o) {
    if (o.auto_) error::raise(ErrorId::internal_not_done);
    Cell s = series;
    uint32_t head = clamp_head(s);
    if (notify(s, words::trim, nullptr, head, buffer(s)->length() - head)) head = clamp_head(s);
    // The text is read once the owner's handler has run: it may change the string.
    SeriesBuffer* b = buffer(s);
    uint32_t n = b->length() - head;
    std::u32string in;
    in.reserve(n);
    for (uint32_t i = 0; i < n; ++i) in.push_back(read(b, head + i));
    std::u32string out = trimmed(in, o);
    // The result only drops code points or puts spaces and line feeds: it fits the unit.
    b = buffer(s);
    uint32_t u = b->unit();
    for (size_t i = 0; i < out.size(); ++i) put_char(unit_at(b, head + uint32_t(i)), u, out[i]);
    b->tail = unit_at(b, head + uint32_t(out.size()));
    notify(s, words::trimmed, nullptr, head, uint32_t(out.size()));
    series = s;
}

// ---- set operations ----

Cell set_operation(const Cell& first, const Cell* second, MathOp op, bool case_, const Cell* skip) {
    uint32_t record = 1;
    if (skip) {
        int32_t n = is(*skip, TypeId::integer) ? cell::get_integer(*skip) : 0;
        if (n < 1) error::raise(ErrorId::script_invalid_refine_arg, skip_word(), *skip);
        record = uint32_t(n);
    }
    Cell a = first;
    Cell b = second ? *second : first;
    uint32_t len_a = length_from_head(a);
    uint32_t len_b = length_from_head(b);
    bool two_passes = op == MathOp::union_ || op == MathOp::difference;
    Cell result = make_cell(len_a + (two_passes ? len_b : 0));
    auto key = [&](uint32_t cp) { return case_ ? cp : case_::upper_char(cp); };
    // The keys at record starts of a series.
    auto keys_of = [&](const Cell& s, uint32_t len) {
        std::unordered_set<uint32_t> keys;
        SeriesBuffer* sb = buffer(s);
        for (uint32_t i = 0; i < len; i += record) keys.insert(key(read(sb, s.data1 + i)));
        return keys;
    };
    std::unordered_set<uint32_t> kept;
    auto pass = [&](const Cell& from, uint32_t len, const Cell& other, uint32_t other_len, bool keep_found,
                    bool keep_all) {
        std::unordered_set<uint32_t> others;
        if (!keep_all) others = keys_of(other, other_len);
        for (uint32_t i = 0; i < len; i += record) {
            uint32_t k = key(read(buffer(from), from.data1 + i));
            if (!keep_all && (others.count(k) != 0) != keep_found) continue;
            if (!kept.insert(k).second) continue;
            uint32_t n = std::min(record, len - i);
            for (uint32_t j = 0; j < n; ++j)
                add_code_point(buffer(result), read(buffer(from), from.data1 + i + j));
        }
    };
    switch (op) {
        case MathOp::unique: pass(a, len_a, a, 0, false, true); break;
        case MathOp::union_:
            pass(a, len_a, b, len_b, false, true);
            pass(b, len_b, a, len_a, false, true);
            break;
        case MathOp::intersect: pass(a, len_a, b, len_b, true, false); break;
        case MathOp::exclude: pass(a, len_a, b, len_b, false, false); break;
        case MathOp::difference:
            pass(a, len_a, b, len_b, false, false);
            pass(b, len_b, a, len_a, false, false);
            break;
        default:
            error::raise(ErrorId::internal_not_done);
    }
    return cell::set_type(result, type_of(first));
}

// ---- registration ----

void init() {
    // The second node is the UTF-8 or UTF-16 conversion cache, when one was made.
    gc::define_refs(TypeId::string, {.data2 = gc::Ref::series, .data3 = gc::Ref::series_opt});
    registry::define(TypeId::string, {.make = make, .to = to, .form = form, .mold = mold,
                                      .eval_path = eval_path, .compare = compare, .append = append,
                                      .change = change, .find = find, .insert = insert,
                                      .select = select, .sort = sort, .swap = swap, .take = take,
                                      .trim = trim});
}

}  // namespace kaz::string
