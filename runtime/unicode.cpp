#include "runtime/unicode.h"

#include <algorithm>
#include <cstring>

#include "runtime/error.h"
#include "runtime/heap.h"

namespace kaz {
namespace {

// Largest byte size of a series buffer.
constexpr uint64_t kMaxBytes = 0xFFFF'0000ULL;

uint32_t checked_bytes(uint64_t bytes) {
    if (bytes > kMaxBytes) error::raise(ErrorId::internal_no_memory);
    return uint32_t(bytes);
}

[[noreturn]] void raise_invalid_char(uint32_t cp) {
    error::raise(ErrorId::script_invalid_char, cell::integer(int32_t(cp)));
}

// Raises access invalid-utf8 with the first n (at most 4) bytes at p as a binary!. They are
// copied first: making the binary may move the buffer they come from.
[[noreturn]] void raise_invalid_utf8(const uint8_t* p, uint32_t n) {
    uint8_t bytes[4];
    n = std::min(n, 4u);
    std::memcpy(bytes, p, n);
    Node node = series::alloc_bytes(n);
    SeriesBuffer* b = memory::buffer_of(node);
    std::memcpy(b->head, bytes, n);
    b->tail = b->head + n;
    error::raise(ErrorId::access_invalid_utf8, cell::make(TypeId::binary, 0, node, 0));
}

// The lenient decoder's automaton: 256 byte classes, then transitions indexed by state (a
// multiple of 12) plus class. State 0 means a code point is complete, 12 that the sequence is
// refused; the others count the continuation bytes still due and their allowed range.
struct Utf8Automaton {
    uint8_t table[256 + 9 * 12];

    static constexpr uint8_t kAccept = 0, kReject = 12;

    constexpr Utf8Automaton() : table{} {
        for (int b = 0; b < 256; ++b) {
            uint8_t c = b < 0x80 ? 0 : b < 0x90 ? 1 : b < 0xA0 ? 9 : b < 0xC0 ? 7
                      : b < 0xC2 ? 8 : b < 0xE0 ? 2 : b == 0xE0 ? 10 : b == 0xED ? 4
                      : b < 0xF0 ? 3 : b == 0xF0 ? 11 : b < 0xF4 ? 6 : b == 0xF4 ? 5 : 8;
            table[b] = c;
        }
        for (int i = 256; i < 256 + 9 * 12; ++i) table[i] = kReject;
        auto go = [this](int state, int cls, int next) { table[256 + state + cls] = uint8_t(next); };
        // From a complete code point: ASCII, or a lead byte choosing the state.
        go(0, 0, 0);
        go(0, 2, 24);   // C2-DF: one more byte
        go(0, 3, 36);   // E1-EC, EE-EF: two more
        go(0, 10, 48);  // E0: A0-BF next, else overlong
        go(0, 4, 60);   // ED: 80-9F next, else a surrogate
        go(0, 11, 72);  // F0: 90-BF next, else overlong
        go(0, 6, 84);   // F1-F3: three more
        go(0, 5, 96);   // F4: 80-8F next, else above 0x10FFFF
        for (int cls : {1, 7, 9}) {
            go(24, cls, 0);
            go(36, cls, 24);
            go(84, cls, 36);
        }
        go(48, 7, 24);
        go(60, 1, 24);
        go(60, 9, 24);
        go(72, 7, 36);
        go(72, 9, 36);
        go(96, 1, 36);
    }
};
constexpr Utf8Automaton kUtf8;

inline uint16_t load_le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

}  // namespace

// ---- UTF-8 ----

namespace utf8 {

const uint8_t* decode_char(const uint8_t* p, const uint8_t* end, int32_t& cp) {
    uint32_t state = Utf8Automaton::kAccept;
    uint32_t code = 0;
    const uint8_t* q = p;
    do {
        uint8_t byte = *q;
        uint32_t cls = kUtf8.table[byte];
        // The class of a lead byte also masks its payload bits.
        code = state != Utf8Automaton::kAccept ? (code << 6) | (byte & 0x3Fu) : (0xFFu >> cls) & byte;
        uint32_t next = kUtf8.table[256 + state + cls];
        if (next == Utf8Automaton::kReject) {
            // The offending byte may start the next sequence: leave it unless it is the first.
            cp = -1;
            return q == p ? p + 1 : q;
        }
        state = next;
        ++q;
    } while (state != Utf8Automaton::kAccept && q < end);
    cp = state == Utf8Automaton::kAccept ? int32_t(code) : -1;
    return q;
}

int32_t decode_char_checked(const uint8_t* p, uint32_t& bytes) {
    uint32_t available = bytes;
    bytes = 0;
    if (available == 0) return -1;
    uint8_t lead = p[0];
    if (lead < 0x80) {
        bytes = 1;
        return lead;
    }
    uint32_t n, cp, least;
    if (lead >= 0xC2 && lead <= 0xDF) {
        n = 2, cp = lead & 0x1Fu, least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        n = 3, cp = lead & 0x0Fu, least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF7) {
        n = 4, cp = lead & 0x07u, least = 0x10000;
    } else {
        raise_invalid_utf8(p, 1);  // a continuation byte, or C0/C1 which only start overlong forms
    }
    // Bytes already there are checked even when the sequence is cut: a cut is only reported
    // for text that more input can complete.
    uint32_t present = std::min(n, available);
    for (uint32_t i = 1; i < present; ++i) {
        if ((p[i] & 0xC0) != 0x80) raise_invalid_utf8(p, i + 1);
        cp = (cp << 6) | (p[i] & 0x3Fu);
    }
    if (available < n) return -1;
    // Only the DC00-DCFF block of the surrogates is refused: lone surrogates from UTF-16
    // text round-trip through the other blocks.
    if (cp < least || cp > 0x10FFFF || (cp >= 0xDC00 && cp <= 0xDCFF)) raise_invalid_utf8(p, n);
    bytes = n;
    return int32_t(cp);
}

namespace {
inline uint32_t step_at(const uint8_t* p, const uint8_t* end) {
    uint32_t n = std::max(lead_length(*p), 1u);
    return std::min(n, uint32_t(end - p));
}
}  // namespace

uint32_t count_chars(const uint8_t* start, const uint8_t* end) {
    uint32_t n = 0;
    for (const uint8_t* p = start; p < end; p += step_at(p, end)) ++n;
    return n;
}

const uint8_t* skip_chars(const uint8_t* p, const uint8_t* end, uint32_t n) {
    for (; n > 0 && p < end; --n) p += step_at(p, end);
    return p;
}

uint32_t char_size(uint32_t cp) {
    if (cp < 0x80) return 1;
    if (cp < 0x800) return 2;
    if (cp < 0x10000) return 3;
    if (cp <= 0x10FFFF) return 4;
    raise_invalid_char(cp);
}

uint64_t range_size(const uint8_t* start, const uint8_t* end, uint32_t unit) {
    uint64_t size = 0;
    if (unit == 1) {
        for (const uint8_t* p = start; p < end; ++p) size += 1 + (*p >> 7);
        return size;
    }
    for (const uint8_t* p = start; p < end; p += unit) size += char_size(string::get_char(p, unit));
    return size;
}

uint32_t encode_char(uint32_t cp, uint8_t* dest) {
    if (cp < 0x80) {
        dest[0] = uint8_t(cp);
        return 1;
    }
    if (cp < 0x800) {
        dest[0] = uint8_t(0xC0 | cp >> 6);
        dest[1] = uint8_t(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        dest[0] = uint8_t(0xE0 | cp >> 12);
        dest[1] = uint8_t(0x80 | ((cp >> 6) & 0x3F));
        dest[2] = uint8_t(0x80 | (cp & 0x3F));
        return 3;
    }
    if (cp > 0x10FFFF) raise_invalid_char(cp);
    dest[0] = uint8_t(0xF0 | cp >> 18);
    dest[1] = uint8_t(0x80 | ((cp >> 12) & 0x3F));
    dest[2] = uint8_t(0x80 | ((cp >> 6) & 0x3F));
    dest[3] = uint8_t(0x80 | (cp & 0x3F));
    return 4;
}

uint32_t encode_char_bounded(uint32_t cp, uint8_t* dest, uint32_t room) {
    if (char_size(cp) > room) return 0;
    return encode_char(cp, dest);
}

}  // namespace utf8

// ---- UTF-16 ----

namespace utf16 {

uint32_t unit_needed(const uint8_t* text, uint32_t count) {
    uint32_t unit = 1;
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t high = text[2 * i + 1];
        if (high >= 0xD8 && high <= 0xDF) return 4;
        if (high != 0) unit = 2;
    }
    return unit;
}

uint32_t extra_size(const uint8_t* start, const uint8_t* end, uint32_t unit) {
    uint32_t extra = 0;
    for (const uint8_t* p = start; p < end; p += unit) {
        uint32_t cp = string::get_char(p, unit);
        if (cp == '\n' || cp >= 0x10000) extra += 2;
    }
    return extra;
}

uint32_t from_ascii(const char* ascii, uint16_t* dest) {
    uint32_t n = 0;
    for (; ascii[n]; ++n) dest[n] = uint8_t(ascii[n]);
    dest[n] = 0;
    return n;
}

uint32_t encode_char(uint32_t cp, uint16_t* dest) {
    if (cp < 0x10000) {
        dest[0] = uint16_t(cp);
        return 1;
    }
    if (cp > 0x10FFFF) raise_invalid_char(cp);
    cp -= 0x10000;
    dest[0] = uint16_t(0xD800 | cp >> 10);
    dest[1] = uint16_t(0xDC00 | (cp & 0x3FF));
    return 2;
}

}  // namespace utf16

// ---- string buffers ----

namespace string {
namespace {

// The code points of a string cell from its head (clamped to the tail) to the tail.
struct Span {
    SeriesBuffer* buffer;
    uint32_t unit;
    uint8_t* start;
    uint32_t count;
};

Span span_of(const Cell& string) {
    SeriesBuffer* b = memory::buffer_of(string.data2);
    uint32_t unit = b->unit();
    uint32_t length = b->length();
    uint32_t index = std::min(string.data1, length);
    return {b, unit, b->head + index * unit, length - index};
}

// The number of code points a conversion of `length` (-1: all) takes from the span.
uint32_t take(const Span& s, int32_t length) {
    return length < 0 ? s.count : std::min(uint32_t(length), s.count);
}

constexpr uint32_t largest_in(uint32_t unit) {
    return unit == 1 ? 0xFF : unit == 2 ? 0xFFFF : 0xFFFF'FFFF;
}

// Makes room for `count` units at the target's head, dropping its content, and sets its
// unit to `unit` when wider.
SeriesBuffer* prepare_target(Node target, uint32_t count, uint32_t unit) {
    SeriesBuffer* b = memory::buffer_of(target);
    unit = std::max(unit, b->unit());
    uint32_t need = checked_bytes(uint64_t(count) * unit);
    if (uint64_t(b->end() - b->head) < need) b = series::reallocate(b, memory::align(need, 16));
    b->tail = b->head;
    b->flags = (b->flags & ~series_flag::unit_mask) | unit;
    return b;
}

SeriesBuffer* widen(SeriesBuffer* b, uint32_t to) {
    uint32_t from = b->unit();
    if (to <= from) return b;
    uint32_t n = b->used() / from;
    uint64_t offset = uint64_t(b->head - b->data());
    uint32_t need = checked_bytes(uint64_t(n) * to);
    if (offset + need > b->capacity) b = series::expand(b, memory::align(need, 16));
    // From the last unit down: each unit's new place lies at or above its old one.
    uint8_t* h = b->head;
    for (uint32_t i = n; i-- > 0;) put_char(h + i * to, to, get_char(h + i * from, from));
    b->tail = h + uint64_t(n) * to;
    b->flags = (b->flags & ~series_flag::unit_mask) | to;
    return b;
}

}  // namespace

SeriesBuffer* widen_1_to_2(SeriesBuffer* buffer) { return widen(buffer, 2); }
SeriesBuffer* widen_1_to_4(SeriesBuffer* buffer) { return widen(buffer, 4); }
SeriesBuffer* widen_2_to_4(SeriesBuffer* buffer) { return widen(buffer, 4); }
SeriesBuffer* widen_to(SeriesBuffer* buffer, uint32_t unit) { return widen(buffer, unit); }

SeriesBuffer* load_utf8_buffer(const uint8_t* bytes, uint32_t count, Node target, uint32_t& left,
                               bool crlf) {
    left = 0;
    SeriesBuffer* b = target ? prepare_target(target, count, 1)
                             : memory::buffer_of(series::alloc_units(count, 1));
    uint32_t unit = b->unit();
    uint32_t written = 0;
    uint32_t i = 0;
    if (count >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) i = 3;
    while (i < count) {
        uint32_t cp = bytes[i];
        if (cp < 0x80) {
            ++i;
            if (crlf && cp == '\r' && i < count && bytes[i] == '\n') continue;
        } else {
            uint32_t used = count - i;
            int32_t c = utf8::decode_char_checked(bytes + i, used);
            if (c < 0) {
                left = count - i;
                break;
            }
            i += used;
            cp = uint32_t(c);
            if (cp > largest_in(unit)) {
                b->tail = b->head + written * unit;
                b = widen(b, unit_for(cp));
                unit = b->unit();
            }
        }
        if (b->head + uint64_t(written + 1) * unit > b->end()) {
            // Each code point still to come takes at least one input byte.
            b->tail = b->head + written * unit;
            uint32_t want = checked_bytes((uint64_t(written) + 1 + (count - i)) * unit);
            b = series::expand(b, memory::align(want, 16));
        }
        put_char(b->head + written * unit, unit, cp);
        ++written;
    }
    b->tail = b->head + written * unit;
    return b;
}

SeriesBuffer* load_utf8_into(const uint8_t* bytes, uint32_t count, const Cell& string,
                             uint32_t& left) {
    return load_utf8_buffer(bytes, count, string.data2, left, false);
}

Node load_utf8(const uint8_t* bytes, uint32_t count) {
    uint32_t left;
    Node node = load_utf8_buffer(bytes, count, kNoNode, left, false)->node;
    // No more input will come to complete a cut sequence: dropping it would lose text unseen.
    if (left > 0) raise_invalid_utf8(bytes + count - left, left);
    return node;
}

SeriesBuffer* load_utf16le(const uint8_t* text, uint32_t count, Node target, bool drop_cr) {
    uint32_t needed = utf16::unit_needed(text, count);
    SeriesBuffer* b = target ? prepare_target(target, count, needed)
                             : memory::buffer_of(series::alloc_units(count, needed));
    uint32_t unit = b->unit();
    uint8_t* out = b->head;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t cp = load_le16(text + 2 * i);
        if (drop_cr && cp == '\r') continue;
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < count) {
            uint32_t low = load_le16(text + 2 * i + 2);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                cp = (((cp & 0x3FF) << 10) | (low & 0x3FF)) + 0x10000;
                ++i;
            }
        }
        put_char(out, unit, cp);
        out += unit;
    }
    b->tail = out;
    return b;
}

uint8_t* cache_buffer(Cell& string, uint32_t size) {
    SeriesBuffer* b;
    if (string.data3 == kNoNode) {
        Node n = series::alloc_bytes(size);
        string.data3 = n;
        b = memory::buffer_of(n);
    } else {
        b = memory::buffer_of(string.data3);
        if (b->capacity < size) b = series::reallocate(b, memory::align(size, 16));
    }
    b->head = b->tail = b->data();
    return b->head;
}

Node to_utf8_cache(Cell& string, int32_t& length, bool crlf) {
    Span s = span_of(string);
    uint32_t n = take(s, length);
    uint8_t* end = s.start + n * s.unit;
    uint64_t size = utf8::range_size(s.start, end, s.unit) + 1;
    if (crlf)
        for (uint8_t* p = s.start; p < end; p += s.unit) size += get_char(p, s.unit) == '\n';
    uint8_t* out = cache_buffer(string, checked_bytes(size));
    s = span_of(string);
    uint8_t* p = s.start;
    uint8_t* q = out;
    for (uint32_t i = 0; i < n; ++i, p += s.unit) {
        uint32_t cp = get_char(p, s.unit);
        if (crlf && cp == '\n') *q++ = '\r';
        q += utf8::encode_char(cp, q);
    }
    *q = 0;
    memory::buffer_of(string.data3)->tail = q;
    length = int32_t(q - out);
    return string.data3;
}

const char* to_utf8(Cell& string, int32_t& length) {
    return reinterpret_cast<const char*>(memory::buffer_of(to_utf8_cache(string, length, false))->head);
}

const char* to_utf8_crlf(Cell& string, int32_t& length) {
    return reinterpret_cast<const char*>(memory::buffer_of(to_utf8_cache(string, length, true))->head);
}

uint32_t encode_utf8_into(const Cell& string, uint8_t* dest, uint32_t count, bool nul) {
    Span s = span_of(string);
    count = std::min(count, s.count);
    uint8_t* q = dest;
    for (uint32_t i = 0; i < count; ++i) q += utf8::encode_char(get_char(s.start + i * s.unit, s.unit), q);
    if (nul) *q = 0;
    return uint32_t(q - dest);
}

uint32_t encode_utf8_bounded(const Cell& string, uint8_t* dest, uint32_t room, bool nul) {
    Span s = span_of(string);
    uint32_t limit = nul && room > 0 ? room - 1 : room;
    uint32_t written = 0;
    for (uint32_t i = 0; i < s.count; ++i) {
        uint32_t k = utf8::encode_char_bounded(get_char(s.start + i * s.unit, s.unit), dest + written,
                                               limit - written);
        if (k == 0) break;
        written += k;
    }
    if (nul && room > 0) dest[written] = 0;
    return written;
}

const uint16_t* to_wide_len(Cell& string, int32_t& length, bool crlf) {
    Span s = span_of(string);
    uint32_t n = take(s, length);
    uint64_t size = (uint64_t(n) + 1) * 2 + utf16::extra_size(s.start, s.start + n * s.unit, s.unit);
    auto* out = reinterpret_cast<uint16_t*>(cache_buffer(string, checked_bytes(size)));
    s = span_of(string);
    uint16_t* q = out;
    for (uint32_t i = 0; i < n; ++i) {
        uint32_t cp = get_char(s.start + i * s.unit, s.unit);
        if (crlf && cp == '\n') *q++ = '\r';
        q += utf16::encode_char(cp, q);
    }
    *q = 0;
    memory::buffer_of(string.data3)->tail = reinterpret_cast<uint8_t*>(q);
    length = int32_t(q - out);
    return out;
}

const uint16_t* to_wide(Cell& string) {
    int32_t length = -1;
    return to_wide_len(string, length, true);
}

}  // namespace string
}  // namespace kaz
