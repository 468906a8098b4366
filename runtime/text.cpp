#include "runtime/text.h"

#include <algorithm>
#include <cstring>

#include "runtime/memory.h"
#include "runtime/unicode.h"

namespace kaz::text {

void append_ascii(Node string, std::string_view ascii) {
    if (ascii.empty()) return;  // an empty view may hold no pointer at all
    SeriesBuffer* b = memory::buffer_of(string);
    uint32_t unit = b->unit();
    uint8_t* p = series::reserve_bytes(b, uint32_t(ascii.size() * unit));
    if (unit == 1) {
        std::memcpy(p, ascii.data(), ascii.size());
        return;
    }
    for (char c : ascii) {
        uint32_t u = uint8_t(c);
        if (unit == 2) {
            uint16_t v = uint16_t(u);
            std::memcpy(p, &v, 2);
        } else {
            std::memcpy(p, &u, 4);
        }
        p += unit;
    }
}

}  // namespace kaz::text

namespace kaz::text {

uint32_t append_utf8(Node string, std::string_view utf8) {
    auto p = reinterpret_cast<const uint8_t*>(utf8.data());
    auto end = p + utf8.size();
    SeriesBuffer* b = memory::buffer_of(string);
    // Most text is ASCII: its leading ASCII run is one code point a byte, stored as it is.
    const uint8_t* ascii_end = p;
    while (ascii_end < end && *ascii_end < 0x80) ++ascii_end;
    uint32_t unit = b->unit();
    if (ascii_end > p) {
        uint32_t n = uint32_t(ascii_end - p);
        uint8_t* out = series::reserve_bytes(b, n * unit);
        if (unit == 1) {
            std::memcpy(out, p, n);
        } else {
            for (const uint8_t* q = p; q < ascii_end; ++q, out += unit) string::put_char(out, unit, *q);
        }
        p = ascii_end;
        if (p == end) return n;
        return n + append_utf8(string, {reinterpret_cast<const char*>(p), size_t(end - p)});
    }
    // Widen once for the widest code point, then store them all. A refused sequence is
    // written as U+FFFD.
    uint32_t count = 0;
    for (const uint8_t* q = p; q < end; ++count) {
        int32_t cp;
        q = utf8::decode_char(q, end, cp);
        unit = std::max(unit, string::unit_for(cp < 0 ? 0xFFFD : uint32_t(cp)));
    }
    b = string::widen_to(b, unit);
    uint8_t* out = series::reserve_bytes(b, count * unit);
    while (p < end) {
        int32_t cp;
        p = utf8::decode_char(p, end, cp);
        string::put_char(out, unit, cp < 0 ? 0xFFFD : uint32_t(cp));
        out += unit;
    }
    return count;
}

}  // namespace kaz::text
