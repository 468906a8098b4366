// binary! — bytes in a series of 1-byte units: conversions, text form, comparison, insertion,
// trimming and the bitwise actions; everything else is string!'s and series!'s.
#include "datatypes/binary.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "datatypes/base_codec.h"
#include "datatypes/bitset.h"
#include "datatypes/internal.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "runtime/cycles.h"
#include "runtime/error.h"
#include "runtime/gc.h"
#include "runtime/heap.h"
#include "runtime/stack.h"
#include "runtime/text.h"
#include "runtime/unicode.h"

namespace kaz::binary {
namespace {

// ---- helpers ----

// Positions and lengths are 32-bit signed integers in the language: no binary grows past them.
constexpr uint64_t kMaxBytes = INT32_MAX;

inline SeriesBuffer* buffer(const Cell& c) { return memory::buffer_of(c.data2); }

uint32_t clamped_head(const Cell& c) { return std::min(c.data1, buffer(c)->used()); }

[[noreturn]] void raise_too_long() { error::raise(ErrorId::internal_no_memory); }

// Makes room for `bytes` bytes from the head: a full buffer grows to twice its capacity when
// that is enough, else to the exact need.
SeriesBuffer* ensure_room(SeriesBuffer* b, uint64_t bytes) {
    if (bytes > kMaxBytes) raise_too_long();
    if (uint64_t(b->end() - b->head) >= bytes) return b;
    uint64_t want = std::max<uint64_t>(uint64_t(b->capacity) * 2, bytes);
    return series::expand(b, memory::align(uint32_t(std::min<uint64_t>(want, kMaxBytes)), 16));
}

// A tuple! holds its byte count in header bits 19-22 and its bytes from data1's lowest byte on.
std::span<const uint8_t> tuple_bytes(const Cell& tuple) {
    uint32_t n = std::min<uint32_t>((tuple.header >> 19) & 0xF, 12);
    return {reinterpret_cast<const uint8_t*>(&tuple.data1), n};
}

void put_be(uint8_t* out, uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i, value >>= 8) out[i] = uint8_t(value);
}

// The UTF-8 of a text value from its head, at most `room` bytes of it.
void append_text(std::string& out, const Cell& text, uint64_t room) {
    SeriesBuffer* b = buffer(text);
    uint32_t unit = b->unit();
    uint32_t length = b->length();
    uint8_t utf8[4];
    for (uint32_t i = std::min(text.data1, length); i < length && room > 0; ++i) {
        if (unit == 1 && b->head[i] < 0x80) {
            // A run of ASCII is its own UTF-8.
            uint32_t end = i;
            while (end < length && end - i < room && b->head[end] < 0x80) ++end;
            out.append(reinterpret_cast<const char*>(b->head + i), end - i);
            room -= end - i;
            i = end - 1;
            continue;
        }
        uint32_t n = utf8::encode_char(string::get_char(b->head + size_t(i) * unit, unit), utf8);
        n = uint32_t(std::min<uint64_t>(n, room));
        out.append(reinterpret_cast<const char*>(utf8), n);
        room -= n;
    }
}

// The formed text of a value as UTF-8 (what change writes for values without bytes of their own).
void append_formed(std::string& out, const Cell& value, uint64_t room) {
    FormAction form_of = registry::actions(type_of(value)).form;
    if (!form_of) error::raise(ErrorId::script_invalid_arg, value);
    Cell text = string::make_cell(16);
    form_of(value, text.data2, nullptr, INT32_MAX);
    append_text(out, text, room);
}

bool list_q(TypeId t) { return t == TypeId::block || t == TypeId::paren || t == TypeId::hash; }

// The bytes of one value that is not a list, at most `room` of them.
void append_value(std::string& out, const Cell& v, uint64_t room, bool form_others) {
    switch (type_of(v)) {
        case TypeId::char_: {
            uint8_t utf8[4];
            uint32_t n = utf8::encode_char(v.data2, utf8);
            out.append(reinterpret_cast<const char*>(utf8), std::min<uint64_t>(n, room));
            return;
        }
        case TypeId::integer: {
            int32_t i = cell::get_integer(v);
            if (i < -128 || i > 255) error::raise(ErrorId::script_invalid_arg, v);
            if (room) out += char(uint8_t(i));
            return;
        }
        case TypeId::binary: {
            uint32_t n = uint32_t(std::min<uint64_t>(byte_count(v), room));
            out.append(reinterpret_cast<const char*>(head_pointer(v)), n);
            return;
        }
        case TypeId::tuple: {
            std::span<const uint8_t> bytes = tuple_bytes(v);
            out.append(reinterpret_cast<const char*>(bytes.data()), std::min<uint64_t>(bytes.size(), room));
            return;
        }
        default:
            if (string::any_string_q(type_of(v))) return append_text(out, v, room);
            if (!form_others) error::raise(ErrorId::script_bad_make_arg, cell::datatype(TypeId::binary), v);
            return append_formed(out, v, room);
    }
}

// What one copy of an inserted value writes: a binary's bytes read in place from its buffer,
// or bytes made here.
struct Bytes {
    Node node = kNoNode;
    uint32_t start = 0;
    uint32_t count = 0;
    std::string made;

    const uint8_t* data() const {
        return node ? memory::buffer_of(node)->head + start : reinterpret_cast<const uint8_t*>(made.data());
    }
};

// The bytes of a value, cut by a /part count (-1: none) in the given unit. Blocks are walked
// with an explicit stack; a block met again while it is being walked brings nothing.
Bytes bytes_of(const Cell& value, int32_t part, PartUnit unit, bool form_others, Node target) {
    Bytes out;
    const uint64_t room = part < 0 ? UINT64_MAX : uint64_t(part);
    TypeId t = type_of(value);
    if (t == TypeId::binary && value.data2 != target) {
        out.node = value.data2;
        out.start = clamped_head(value);
        out.count = uint32_t(std::min<uint64_t>(buffer(value)->used() - out.start, room));
        return out;
    }
    if (!list_q(t)) {
        append_value(out.made, value, room, form_others);
    } else {
        struct Level {
            Node node;
            uint32_t index;
        };
        std::vector<Level> levels{{value.data2, std::min(value.data1, buffer(value)->length())}};
        uint64_t values_left = room;
        while (!levels.empty()) {
            Level& top = levels.back();
            SeriesBuffer* b = memory::buffer_of(top.node);
            uint64_t bytes_left = unit == PartUnit::bytes && room != UINT64_MAX ? room - out.made.size() : UINT64_MAX;
            if (top.index >= b->length() || bytes_left == 0) {
                levels.pop_back();
                continue;
            }
            bool outermost = levels.size() == 1;
            if (outermost && unit == PartUnit::values) {
                if (values_left == 0) break;
                --values_left;
            }
            Cell item = b->cells()[top.index++];
            if (list_q(type_of(item))) {
                bool walking = std::any_of(levels.begin(), levels.end(),
                                           [&](const Level& l) { return l.node == item.data2; });
                if (!walking) levels.push_back({item.data2, std::min(item.data1, buffer(item)->length())});
                continue;
            }
            append_value(out.made, item, bytes_left, form_others);
        }
    }
    if (out.made.size() > kMaxBytes) raise_too_long();
    out.count = uint32_t(out.made.size());
    return out;
}

// Replaces `removed` bytes at `pos` with `dup` copies of the bytes; returns the bytes written.
uint32_t splice(const Cell& series, uint32_t pos, uint32_t removed, const Bytes& bytes, uint32_t dup) {
    uint64_t total = uint64_t(bytes.count) * dup;
    SeriesBuffer* b = buffer(series);
    uint32_t len = b->used();
    uint64_t new_len = uint64_t(len) - removed + total;
    if (total > kMaxBytes) raise_too_long();
    b = ensure_room(b, new_len);
    std::memmove(b->head + pos + total, b->head + pos + removed, len - pos - removed);
    uint8_t* out = b->head + pos;
    if (bytes.count) std::memcpy(out, bytes.data(), bytes.count);
    if (dup > 1) memory::replicate(out, bytes.count, dup);
    b->tail = b->head + new_len;
    return uint32_t(total);
}

// The owner notification pair around an insertion, by mode.
const Cell& before_word(InsertMode m) {
    return m == InsertMode::append ? words::append : m == InsertMode::insert ? gwords::insert : words::change;
}
const Cell& after_word(InsertMode m) {
    return m == InsertMode::append ? words::appended : m == InsertMode::insert ? words::inserted : words::changed;
}

// ---- the text form ----

using text::write;

using mold::new_line;

// ---- the bitwise actions ----

void bitwise(MathOp op) {
    Cell a = stack::base[0], b = stack::base[1];
    if (!is(b, TypeId::binary)) error::raise(ErrorId::script_invalid_arg, b);
    uint32_t na = byte_count(a), nb = byte_count(b);
    uint32_t shorter = std::min(na, nb), longer = std::max(na, nb);
    Cell result = make_cell(longer);
    uint8_t* out = buffer(result)->head;
    const uint8_t* x = head_pointer(a);
    const uint8_t* y = head_pointer(b);
    for (uint32_t i = 0; i < shorter; ++i) {
        switch (op) {
            case MathOp::and_: out[i] = x[i] & y[i]; break;
            case MathOp::or_: out[i] = x[i] | y[i]; break;
            default: out[i] = x[i] ^ y[i]; break;
        }
    }
    // Past the shorter operand it reads as zeros.
    const uint8_t* rest = na > nb ? x : y;
    if (op == MathOp::and_) std::memset(out + shorter, 0, longer - shorter);
    else std::memcpy(out + shorter, rest + shorter, longer - shorter);
    buffer(result)->tail = out + longer;
    stack::base[0] = result;
}

}  // namespace

// ---- helpers ----

uint32_t byte_count(const Cell& binary) {
    uint32_t n = buffer(binary)->used();
    return binary.data1 >= n ? 0 : n - binary.data1;
}

uint8_t* head_pointer(const Cell& binary) { return buffer(binary)->head + clamped_head(binary); }

Cell& init_cell(Cell& c, uint32_t capacity) {
    Node n = series::alloc_bytes(memory::align(capacity, 16));
    c = series_cell::make(TypeId::binary, n);
    return c;
}

Cell make_cell(uint32_t capacity) {
    Cell c;
    return init_cell(c, capacity);
}

Cell from_bytes(std::span<const uint8_t> bytes) {
    if (bytes.size() > kMaxBytes) raise_too_long();
    Cell c = make_cell(uint32_t(bytes.size()));
    SeriesBuffer* b = buffer(c);
    if (!bytes.empty()) std::memcpy(b->head, bytes.data(), bytes.size());
    b->tail = b->head + bytes.size();
    return c;
}

Source source_of(const Cell& value) {
    if (is(value, TypeId::binary)) return {value.data2, clamped_head(value), byte_count(value)};
    Cell text = value;
    int32_t length = -1;  // to the tail
    Node cache = string::to_utf8_cache(text, length, false);
    return {cache, 0, uint32_t(length)};
}

Cell insert(const Cell& series, const Cell& value, int32_t part, int32_t dup, InsertMode mode, PartUnit unit) {
    Cell s = series;
    const bool change = mode == InsertMode::change;
    const uint32_t copies = dup < 1 ? 0 : uint32_t(dup);
    // For change, /part is the range replaced, not a cut of the value.
    const int32_t cut = change ? -1 : part;
    Bytes bytes;
    uint32_t head = 0, pos = 0, removed = 0;
    // What goes where, from the series and the value as they stand: planned again after the
    // owner's handler, which may change either.
    auto plan = [&] {
        bytes = bytes_of(value, cut, unit, change, s.data2);
        head = s.data1 = clamped_head(s);
        uint32_t len = buffer(s)->used();
        pos = mode == InsertMode::append ? len : head;
        if (change) removed = uint32_t(std::min<uint64_t>(part >= 0 ? uint64_t(part) : bytes.count, len - head));
    };
    plan();
    uint64_t total = uint64_t(bytes.count) * copies;
    if (total > kMaxBytes) raise_too_long();
    if (series_::notify(s, before_word(mode), &value, int32_t(pos), int32_t(total))) plan();
    uint32_t written = splice(s, pos, removed, bytes, copies);
    series_::notify(s, after_word(mode), &value, int32_t(pos), int32_t(written));
    s.data1 = mode == InsertMode::append ? 0 : std::min(pos + written, buffer(s)->used());
    return s;
}

// ---- actions ----

Cell to(const Cell&, const Cell& spec, TypeId) {
    uint8_t bytes[8];
    switch (type_of(spec)) {
        case TypeId::integer:
            put_be(bytes, uint32_t(cell::get_integer(spec)), 4);
            return from_bytes({bytes, 4});
        case TypeId::float_:
        case TypeId::percent: {
            uint64_t bits;
            double d = cell::get_float(spec);
            std::memcpy(&bits, &d, sizeof bits);
            put_be(bytes, bits, 8);
            return from_bytes({bytes, 8});
        }
        case TypeId::issue: {
            std::string_view digits = symbol::name(spec.data2);
            std::optional<std::string> decoded = decode(Base::base16, Text(digits));
            if (!decoded) error::raise(ErrorId::script_invalid_data, spec);
            return from_bytes({reinterpret_cast<const uint8_t*>(decoded->data()), decoded->size()});
        }
        case TypeId::bitset: {
            std::vector<uint8_t> copy(bitset::bits_pointer(spec), bitset::bits_end(spec));
            return from_bytes(copy);
        }
        default: {
            Cell c = make_cell(16);
            insert(c, spec, -1, 1, InsertMode::append);
            return c;
        }
    }
}

int32_t mold(const Cell& value, Node string, bool only, bool, bool flat, const Cell* part, int32_t limit,
             int32_t indent) {
    Cell v = value;
    const uint32_t count = byte_count(v);
    const uint32_t start = clamped_head(v);
    const bool lines = count > 30 && !flat;
    if (!only) limit = write(string, "#{", limit);
    if (lines) limit = new_line(string, indent + 1, limit);
    // Lines of 32 bytes, each written whole; a part limit stops where fewer than 3 remain.
    uint32_t written = 0;
    char digits[64];
    while (written < count) {
        uint32_t n = std::min(32 - written % 32, count - written);
        if (part) n = limit < 3 ? 0 : std::min<uint32_t>(n, uint32_t(limit - 3) / 2 + 1);
        if (n == 0) break;
        encode_base16(digits, buffer(v)->head + start + written, n);
        limit = write(string, {digits, size_t(n) * 2}, limit);
        written += n;
        if (!flat && written % 32 == 0) limit = new_line(string, indent + 1, limit);
    }
    if (written > 30 && written % 32 != 0 && !flat) limit = new_line(string, indent, limit);
    if (!only) limit = write(string, "}", limit);
    return limit;
}

int32_t form(const Cell& value, Node string, const Cell* part, int32_t limit) {
    return mold(value, string, false, false, false, part, limit, 0);
}

int32_t compare(const Cell& a, const Cell& b, CompareOp op) {
    if (!is(b, TypeId::binary)) return kNotComparable;
    if (op == CompareOp::same) return a.data2 == b.data2 && a.data1 == b.data1 ? 0 : -1;
    uint32_t na = byte_count(a), nb = byte_count(b);
    int d = std::memcmp(head_pointer(a), head_pointer(b), std::min(na, nb));
    if (d != 0) return d < 0 ? -1 : 1;
    return na < nb ? -1 : na > nb ? 1 : 0;
}

void and_() { bitwise(MathOp::and_); }
void or_() { bitwise(MathOp::or_); }
void xor_() { bitwise(MathOp::xor_); }

Cell complement(const Cell& value) {
    uint8_t* p = head_pointer(value);
    for (uint8_t* end = buffer(value)->tail; p < end; ++p) *p = uint8_t(~*p);
    return value;
}

Cell append(const Cell& series, const Cell& value, int32_t part, bool, int32_t dup, bool append_) {
    return insert(series, value, part, dup, append_ ? InsertMode::append : InsertMode::insert);
}

Cell change(const Cell& series, const Cell& value, int32_t part, bool, int32_t dup, bool) {
    return insert(series, value, part, dup, InsertMode::change);
}

void trim(Cell& series, const TrimOptions& o) {
    if (o.auto_ || o.lines) error::raise(ErrorId::internal_not_done);
    Cell s = series;
    uint32_t head = clamped_head(s);
    if (series_::notify(s, words::trim, nullptr, int32_t(head), int32_t(buffer(s)->used() - head)))
        head = clamped_head(s);
    // The bytes removed: those of /with, every zero with /all, else zeros at the ends.
    bool removed[256] = {};
    if (o.with) {
        const Cell& w = *o.with;
        if (is(w, TypeId::binary)) {
            for (uint32_t i = 0, n = byte_count(w); i < n; ++i) removed[head_pointer(w)[i]] = true;
        } else if (is(w, TypeId::char_) || is(w, TypeId::integer)) {
            if (w.data2 <= 0xFF) removed[w.data2] = true;
        } else {
            Cell t = w;
            SeriesBuffer* b = buffer(t);
            for (uint32_t i = std::min(t.data1, b->length()); i < b->length(); ++i) {
                uint32_t cp = string::char_at(t, i);
                if (cp <= 0xFF) removed[cp] = true;
            }
        }
    } else {
        removed[0] = true;
    }
    SeriesBuffer* b = buffer(s);
    uint8_t* first = b->head + head;
    uint8_t* end = b->tail;
    uint8_t* kept_end;
    if (o.with || o.all) {
        kept_end = std::remove_if(first, end, [&](uint8_t c) { return removed[c]; });
    } else {
        bool only_head = o.head && !o.tail, only_tail = o.tail && !o.head;
        uint8_t* from = first;
        uint8_t* to = end;
        if (!only_tail) while (from < to && *from == 0) ++from;
        if (!only_head) while (to > from && to[-1] == 0) --to;
        std::memmove(first, from, size_t(to - from));
        kept_end = first + (to - from);
    }
    b->tail = kept_end;
    series_::notify(s, words::trimmed, nullptr, int32_t(head), int32_t(kept_end - first));
    series = s;
}

// ---- registration ----

void init() {
    gc::define_refs(TypeId::binary, {.data2 = gc::Ref::series});
    registry::define(TypeId::binary, {.to = to, .form = form, .mold = mold, .compare = compare,
                                      .and_ = and_, .complement = complement, .or_ = or_,
                                      .xor_ = xor_, .append = append, .change = change,
                                      .insert = append, .trim = trim});
}

}  // namespace kaz::binary
