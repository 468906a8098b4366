// Unicode text: strings are series buffers of 1, 2 or 4 bytes per code point (little-endian),
// converted to and from the two outside encodings, UTF-8 and UTF-16LE.
//
// A buffer's unit only grows: 1 holds code points up to 0xFF, 2 up to 0xFFFF, 4 the rest. A
// code point that does not fit widens the whole buffer in place; every routine that may widen
// or grow returns the possibly moved buffer.
//
// A string cell is {type string!, data1 head index in units, data2 node, data3 node of the
// conversion cache or 0}. The cache is a byte series that receives the string's UTF-8 or UTF-16
// form; it is made on first use, stored into the cell, reused and overwritten by the next
// conversion of that string. Functions that may make it take the cell by reference.
//
// Every function here that allocates may move any series buffer: pointers into buffers taken
// before the call, the returned text of an earlier conversion included, are invalid after it.
#pragma once

#include <cstdint>

#include "runtime/cell.h"
#include "runtime/memory.h"

namespace kaz::utf8 {

// Decodes one code point leniently, reading no byte at or past `end` (p < end). Refuses the
// forms UTF-8 forbids (overlong, surrogates, above 0x10FFFF, bad continuation): `cp` is then -1,
// as for a sequence cut by `end`. Returns the pointer after the bytes taken; a refused
// sequence takes its bytes up to the offending one, and at least one byte.
const uint8_t* decode_char(const uint8_t* p, const uint8_t* end, int32_t& cp);

// Decodes one code point strictly from the `bytes` available at p; on return `bytes` holds the
// number used. Returns -1 when fewer bytes are available than the sequence needs (nothing is
// used then). A bad lead or continuation byte, an overlong form, a code point in U+DC00-U+DCFF
// or above 0x10FFFF raises access invalid-utf8 with the offending bytes as a binary!.
int32_t decode_char_checked(const uint8_t* p, uint32_t& bytes);

// 4 for 0xF0-0xFF, 3 for 0xE0-0xEF, 2 for 0xC0-0xDF, else 0.
constexpr uint32_t lead_length(uint8_t lead) {
    return lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
}

// Code points in [start, end): each lead byte starts one, any other byte counts alone, and a
// sequence cut by `end` counts once.
uint32_t count_chars(const uint8_t* start, const uint8_t* end);
// The pointer after n code points counted that way, never past `end`.
const uint8_t* skip_chars(const uint8_t* p, const uint8_t* end, uint32_t n);

// Bytes of the UTF-8 form of a code point; above 0x10FFFF raises script invalid-char.
uint32_t char_size(uint32_t cp);
// Bytes of the UTF-8 form of the code points in [start, end) of a buffer of `unit` bytes (64
// bits: a 1-byte buffer's form can be twice the largest buffer). Raises as char_size.
uint64_t range_size(const uint8_t* start, const uint8_t* end, uint32_t unit);

// Writes the UTF-8 form of cp (1 to 4 bytes) and returns its length; above 0x10FFFF raises
// script invalid-char. Surrogate code points are written as three bytes, as they are stored.
uint32_t encode_char(uint32_t cp, uint8_t* dest);
// The same, writing nothing when the form needs more than `room` bytes: a cut sequence would
// leave invalid text behind. Returns the bytes written.
uint32_t encode_char_bounded(uint32_t cp, uint8_t* dest, uint32_t room);

}  // namespace kaz::utf8

namespace kaz::utf16 {

// UTF-16LE text is read as bytes, two per unit, low byte first; it needs no alignment.

// The unit a string needs for `count` units of UTF-16LE: 1 when every unit is below 0x100, 2
// when one is not, 4 as soon as a surrogate (0xD800-0xDFFF) occurs.
uint32_t unit_needed(const uint8_t* text, uint32_t count);

// Extra bytes a UTF-16 form of the buffer range [start, end) of `unit` bytes needs beyond two
// per code point: two for each LF (a CR may be written before it) and for each code point from
// U+10000 up (the second unit of its pair).
uint32_t extra_size(const uint8_t* start, const uint8_t* end, uint32_t unit);

// Copies the NUL-terminated bytes of `ascii` as 16-bit units ending in a 16-bit NUL; returns
// the units written before the NUL.
uint32_t from_ascii(const char* ascii, uint16_t* dest);

// Writes cp as one unit, or a surrogate pair above 0xFFFF; returns the units written. Above
// 0x10FFFF raises script invalid-char.
uint32_t encode_char(uint32_t cp, uint16_t* dest);

}  // namespace kaz::utf16

namespace kaz::string {

// Reads the code point at p in a buffer of `unit` bytes.
inline uint32_t get_char(const uint8_t* p, uint32_t unit) {
    switch (unit) {
        case 1: return *p;
        case 2: return uint32_t(p[0]) | uint32_t(p[1]) << 8;
        default: return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    }
}
// Stores cp at p in a buffer of `unit` bytes; the unit must hold it.
inline void put_char(uint8_t* p, uint32_t unit, uint32_t cp) {
    p[0] = uint8_t(cp);
    if (unit == 1) return;
    p[1] = uint8_t(cp >> 8);
    if (unit == 2) return;
    p[2] = uint8_t(cp >> 16);
    p[3] = uint8_t(cp >> 24);
}
// The smallest unit that holds cp.
constexpr uint32_t unit_for(uint32_t cp) { return cp <= 0xFF ? 1 : cp <= 0xFFFF ? 2 : 4; }

// Rewrites every unit of the buffer at the wider unit, from the last to the first, in place;
// the buffer is first grown when its capacity cannot hold the current units at the new size.
// Returns the (possibly moved) buffer.
SeriesBuffer* widen_1_to_2(SeriesBuffer* buffer);
SeriesBuffer* widen_1_to_4(SeriesBuffer* buffer);
SeriesBuffer* widen_2_to_4(SeriesBuffer* buffer);
// Widens to `unit` when the buffer's unit is smaller; else returns it unchanged.
SeriesBuffer* widen_to(SeriesBuffer* buffer, uint32_t unit);

// Decodes `count` bytes of UTF-8 into a buffer, strictly (utf8::decode_char_checked): into a
// new buffer when `target` is 0, else replacing the content of the target's buffer from its
// head (its unit is kept and may widen). A leading byte-order mark is skipped; with `crlf`, a CR
// directly followed by LF is stored as the LF alone. A sequence cut by the end of the input
// stops the decoding: `left` receives the number of bytes not decoded, to be fed again with
// more input. Returns the buffer holding the code points. Invalid input raises access
// invalid-utf8. `bytes` must not lie in the target's buffer.
SeriesBuffer* load_utf8_buffer(const uint8_t* bytes, uint32_t count, Node target, uint32_t& left,
                               bool crlf);
// The same into the buffer of a string cell.
SeriesBuffer* load_utf8_into(const uint8_t* bytes, uint32_t count, const Cell& string,
                             uint32_t& left);
// The node of a new buffer holding the decoded text, which is whole: a sequence cut by its end
// raises access invalid-utf8 as any invalid sequence does.
Node load_utf8(const uint8_t* bytes, uint32_t count);

// Decodes `count` units of UTF-16LE into a new buffer (`target` 0) or in place of the content
// of the target's buffer, at the unit utf16::unit_needed gives (or the target's, when wider).
// Surrogate pairs are joined; a surrogate without its partner keeps its unit. With `drop_cr`
// every CR is dropped. Returns the buffer.
SeriesBuffer* load_utf16le(const uint8_t* text, uint32_t count, Node target, bool drop_cr);

// The conversion cache's data, at least `size` bytes: made on first use and stored into
// string.data3, grown (without keeping its content) when smaller.
uint8_t* cache_buffer(Cell& string, uint32_t size);

// UTF-8 of `length` code points from the head (-1: to the tail), NUL-terminated, in the
// cache; `length` receives its byte count, NUL excluded. A code point above 0x10FFFF raises
// script invalid-char.
const char* to_utf8(Cell& string, int32_t& length);
// The same with a CR written before each LF.
const char* to_utf8_crlf(Cell& string, int32_t& length);
// The same conversion; returns the cache node.
Node to_utf8_cache(Cell& string, int32_t& length, bool crlf);

// Writes the UTF-8 of `count` code points from the head (fewer when the string is shorter) to
// `dest`, which has room for utf8::range_size of them (plus the NUL when `nul`). Returns the
// bytes written, NUL excluded.
uint32_t encode_utf8_into(const Cell& string, uint8_t* dest, uint32_t count, bool nul);
// Writes as much of the string's UTF-8 as fits whole code points into `room` bytes (one of them
// kept for the NUL when `nul`). Returns the bytes written, NUL excluded.
uint32_t encode_utf8_bounded(const Cell& string, uint8_t* dest, uint32_t room, bool nul);

// UTF-16 of `length` code points from the head (-1: to the tail) in the cache, ending in a
// 16-bit NUL; with `crlf`, a CR is written before each LF. `length` receives the units
// written, NUL excluded.
const uint16_t* to_wide_len(Cell& string, int32_t& length, bool crlf);
// UTF-16 of the whole string with CR before each LF.
const uint16_t* to_wide(Cell& string);

}  // namespace kaz::string
